// The values of single options and every check of a run's options, with
// each refusal's words (the table of options and its parser are in
// arguments.cpp).
#include "wavespec/options.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <sched.h>
#include <thread>

#include "core/numbers.h"

namespace wavespec {
namespace {

// --- The words of each refusal ----------------------------------------------

std::string in_quotes(std::string_view text) {
  return "'" + std::string(text) + "'";
}

options_error bad_operation(std::string_view written) {
  return options_error("invalid operation " + in_quotes(written) +
                       " (0 none, 1 integrate, 2 double-integrate, 3 differentiate)");
}

options_error bad_band(std::string_view written) {
  return options_error("invalid band " + in_quotes(written) + ": a bandwidth in Hz from 0 to " +
                       core::shortest_digits(std::numeric_limits<float>::max()));
}

options_error bad_coefficient(std::string_view written) {
  return options_error("invalid Konno-Ohmachi coefficient " + in_quotes(written) +
                       ": a number above 0 and at most " +
                       core::shortest_digits(max_konno_ohmachi_coefficient) + ", such as 40");
}

options_error bad_frequencies(std::string_view written) {
  return options_error("invalid frequencies " + in_quotes(written) +
                       ": FMIN:FMAX:N with 0 < FMIN < FMAX, FMAX / FMIN finite, and N from 2 to " +
                       std::to_string(max_centres));
}

options_error bad_centre(double fc) {
  return options_error("invalid centre frequency " + in_quotes(core::shortest_digits(fc)) +
                       ": a frequency in Hz above 0");
}

options_error bad_jobs(std::string_view written) {
  return options_error("invalid jobs " + in_quotes(written) + ": a whole number from 1 to " +
                       std::to_string(max_jobs));
}

const char *const band_with_konno_ohmachi =
    "--konno-ohmachi and a Parzen --band do not go together";
const char *const centres_without_coefficient =
    "--frequencies sets the centres of --konno-ohmachi, which is missing";

// --- Values -----------------------------------------------------------------

// The whole of `text` as a number of type T.
template <typename T> bool whole_number(std::string_view text, T &value) {
  const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
  return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

const char *const operation_names[] = {"none", "integrate", "double-integrate", "differentiate"};

// The rules of FMIN:FMAX:N.
bool spread_holds(const log_spread &s) {
  return s.fmin > 0.0 && s.fmin < s.fmax && std::isfinite(s.fmax / s.fmin) && s.n >= 2 &&
         s.n <= max_centres;
}

} // namespace

std::string_view horizontal_name(horizontal_mean h) {
  return h == horizontal_mean::geometric ? "geometric-mean" : "quadratic-mean";
}

horizontal_mean parse_horizontal(std::string_view text) {
  for (const horizontal_mean h : {horizontal_mean::quadratic, horizontal_mean::geometric})
    if (text == horizontal_name(h))
      return h;
  throw options_error("invalid horizontal combination " + in_quotes(text) +
                      ": quadratic-mean (the default) or geometric-mean");
}

std::string_view operation_name(operation op) {
  const auto i = static_cast<std::size_t>(op);
  return i < std::size(operation_names) ? operation_names[i] : "none";
}

operation parse_operation(std::string_view text) {
  for (std::size_t i = 0; i < std::size(operation_names); ++i)
    if (text == operation_names[i] || text == std::to_string(i))
      return static_cast<operation>(i);
  throw bad_operation(text);
}

// A bandwidth is read as the dialogue reads a decimal: the nearest double,
// then the nearest float.
float parse_band(std::string_view text) {
  double v = 0;
  if (!whole_number(text, v) || !std::isfinite(v) || v < 0 ||
      v > static_cast<double>(std::numeric_limits<float>::max()))
    throw bad_band(text);
  return static_cast<float>(v);
}

double parse_konno_ohmachi(std::string_view text) {
  double v = 0;
  if (!whole_number(text, v) || !std::isfinite(v) || v <= 0 || v > max_konno_ohmachi_coefficient)
    throw bad_coefficient(text);
  return v;
}

log_spread parse_frequencies(std::string_view text) {
  const auto first = text.find(':'), second = text.find(':', first + 1);
  double fmin = 0, fmax = 0;
  long long n = 0;
  if (second != std::string_view::npos && whole_number(text.substr(0, first), fmin) &&
      whole_number(text.substr(first + 1, second - first - 1), fmax) &&
      whole_number(text.substr(second + 1), n) && spread_holds({fmin, fmax, n}))
    return {fmin, fmax, n};
  throw bad_frequencies(text);
}

unsigned processors() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
    return static_cast<unsigned>(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

unsigned parse_jobs(std::string_view text) {
  unsigned v = 0;
  if (!whole_number(text, v) || v == 0 || v > max_jobs)
    throw bad_jobs(text);
  return v;
}

void check_analysis_options(const analysis_options &o) {
  if (!(o.band >= 0.0f) || !std::isfinite(o.band))
    throw bad_band(core::shortest_digits(o.band));
  if (o.konno_ohmachi != 0.0 &&
      (!(o.konno_ohmachi > 0.0) || !(o.konno_ohmachi <= max_konno_ohmachi_coefficient)))
    throw bad_coefficient(core::shortest_digits(o.konno_ohmachi));
  if (o.konno_ohmachi > 0.0 && o.band != 0.0f)
    throw options_error(band_with_konno_ohmachi);
  if ((!o.centres.empty() || o.spread.n != 0) && o.konno_ohmachi == 0.0)
    throw options_error(centres_without_coefficient);
  if (o.spread.n != 0 && !spread_holds(o.spread))
    throw bad_frequencies(core::shortest_digits(o.spread.fmin) + ":" +
                          core::shortest_digits(o.spread.fmax) + ":" + std::to_string(o.spread.n));
  for (const double fc : o.centres)
    if (!(fc > 0.0) || !std::isfinite(fc))
      throw bad_centre(fc);
  // The centres are the rows and columns of the files written: they rise, as
  // FMIN:FMAX:N's always do.
  for (std::size_t k = 1; k < o.centres.size(); ++k)
    if (!(o.centres[k] > o.centres[k - 1]))
      throw options_error("centre frequencies must increase: centre " + std::to_string(k + 1) +
                          ", " + core::shortest_digits(o.centres[k]) + " Hz, follows " +
                          core::shortest_digits(o.centres[k - 1]) + " Hz");
  if (o.hv && o.band == 0.0f && o.konno_ohmachi == 0.0)
    throw options_error("--hv needs smoothing: a Parzen --band or --konno-ohmachi");
  if (!o.hv && o.horizontal != horizontal_mean::quadratic)
    throw options_error("--horizontal sets the combination of --hv, which is missing");
}

} // namespace wavespec
