// The flatfile: its header, each record's row, and the rows a resumed run
// keeps.
#include "wavespec/flatfile.hpp"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/centres.h"
#include "core/csv_fields.h"
#include "core/numbers.h"
#include "records/record_io.h"
#include "wavespec/output_file.hpp"

namespace wavespec {
namespace {

// The series of the run, in their columns' order.
std::vector<std::string> series_of(const analysis_options &a) {
  std::vector<std::string> names = {"X", "Y", "Z"};
  if (a.eas)
    names.emplace_back("EAS");
  if (a.hv)
    names.emplace_back("HV");
  return names;
}

// A value in the Konno-Ohmachi file's E14.6 digits, without its blanks.
std::string e14_6(float x) {
  static const records::fixed_layout layout("(E14.6)");
  char text[32];
  const char *end = records::render_fixed_record(layout, std::span(&x, 1), text) - 1;
  const char *begin = text;
  while (begin < end && *begin == ' ')
    ++begin;
  return {begin, end};
}

std::string hz(double f) {
  return core::shortest_digits(static_cast<float>(f));
}

// The facts every row begins with; `usable` and `facts` are none for a
// record that failed before its spectrum was had.
std::string row_start(const run_options &o, const record_outcome &r, const frequency_band *usable,
                      const record_facts *facts) {
  const auto real = [](std::optional<float> v) {
    return v ? core::free_digits(*v) : std::string();
  };
  std::string row = core::csv_field(r.input) + "," + (r.ok() ? "ok" : "failed") + "," +
                    core::csv_field(r.message) + "," + (r.nt ? std::to_string(*r.nt) : "") + "," +
                    real(r.dt) + "," +
                    real(r.grid ? std::optional<float>(r.grid->df) : std::nullopt) + ",";
  row += (facts ? core::csv_field(spectrum_unit(facts->header, o.analysis.op)) : "") + ",";
  row += std::string(operation_name(o.analysis.op)) + "," +
         core::shortest_digits(o.analysis.konno_ohmachi) + ",";
  row += usable ? hz(usable->low) + "," + hz(usable->high) : ",";
  if (o.analysis.hv) {
    row.append(",").append(horizontal_name(o.analysis.horizontal)).append(",");
    row += r.peak ? hz(r.peak->f0) + "," + core::shortest_digits(r.peak->a0) : ",";
  }
  return row;
}

// The value of series q at each of the run's centres, empty where the
// record's values do not reach or its usable band ends.
void append_values(std::string &row, const run_options &o, const spectrum_view &s,
                   const frequency_band &usable) {
  const core::centre_list run_centres(o.analysis);
  const std::size_t n = s.centres.size(),
                    rows = s.konno_ohmachi_values.size() / std::max<std::size_t>(n, 1);
  const std::size_t series = series_of(o.analysis).size();
  for (std::size_t q = 0; q < series; ++q)
    for (std::size_t i = 0, j = 0; i < run_centres.size(); ++i) {
      const bool here = j < n && s.centres[j] == run_centres[i];
      row += ",";
      if (here && usable.holds(run_centres[i]))
        row += e14_6(q < rows ? s.konno_ohmachi_values[q * n + j] : s.hv[j]);
      j += here ? 1 : 0;
    }
}

// The whole of a regular file, or nothing when there is none.
std::optional<std::string> read_whole(const std::string &path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return std::nullopt;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw file_error(errno, path);
  std::string text;
  char block[1 << 16];
  for (ssize_t n; (n = ::read(fd, block, sizeof block)) != 0;) {
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      throw file_error(error, path);
    }
    text.append(block, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

// Column `name`'s field in a row of the header's columns.
const std::string &column(const std::vector<std::string> &names,
                          const std::vector<std::string> &row, std::string_view name) {
  const auto at = std::find(names.begin(), names.end(), name);
  return row[static_cast<std::size_t>(at - names.begin())];
}

} // namespace

// The columns every flatfile begins with.
constexpr std::string_view facts_columns =
    "input,status,message,nt,dt,df_hz,unit,operation,konno_ohmachi_b,usable_min_hz,usable_max_hz";

std::string flatfile_header(const run_options &o) {
  std::string header(facts_columns);
  if (o.analysis.hv)
    header += ",horizontal,f0_hz,a0";
  const core::centre_list centres(o.analysis);
  for (const std::string &series : series_of(o.analysis))
    for (std::size_t i = 0; i < centres.size(); ++i)
      header += "," + series + "_" + hz(centres[i]) + "Hz";
  return header + "\n";
}

std::string flatfile_row(const run_options &o, const record_outcome &r, const spectrum_view &s,
                         const record_facts &facts) {
  const frequency_band usable = usable_band(facts.nt, facts.dt, s.grid);
  std::string row = row_start(o, r, &usable, &facts);
  append_values(row, o, s, usable);
  return row + "\n";
}

std::string flatfile_row(const run_options &o, const record_outcome &r) {
  std::string row = row_start(o, r, nullptr, nullptr);
  const std::size_t cells = series_of(o.analysis).size() * core::centre_list(o.analysis).size();
  row.append(cells, ',');
  return row + "\n";
}

std::string flatfile_text(const run_options &o, run_outcomes outcomes) {
  std::string text = flatfile_header(o);
  for (const std::optional<record_outcome> &r : outcomes)
    if (r)
      text += r->flat_row.empty() ? flatfile_row(o, *r) : r->flat_row;
  return text;
}

// A row is kept when it is whole (all its cells, its line end) and was
// done well; a row done with other options than the run's (the same columns
// but another operation, b or horizontal mean) refuses the file, and a row
// cut short is done again.
std::map<std::string, std::string> flatfile_rows_done(const run_options &o) {
  std::map<std::string, std::string> done;
  const std::optional<std::string> text = read_whole(o.flatfile);
  if (!text || text->empty())
    return done;
  const std::string header = flatfile_header(o);
  const options_error other(o.flatfile + ": written with other options (its columns differ): "
                                         "--resume needs the same");
  if (!text->starts_with(facts_columns))
    throw options_error(o.flatfile + ": not a flatfile (its first line is not a flatfile's "
                                     "columns): --resume would replace it");
  if (!text->starts_with(header))
    throw other;
  const std::vector<std::string> names = core::csv_fields(header.substr(0, header.size() - 1));
  for (std::size_t at = header.size(); at < text->size();) {
    const std::size_t end = core::csv_line_end(*text, at);
    if (end == std::string::npos)
      break; // cut short: done again
    const std::string_view line = std::string_view(*text).substr(at, end - at);
    const std::vector<std::string> row = core::csv_fields(line);
    at = end + 1;
    if (row.size() != names.size() || row[1] != "ok")
      continue;
    if (column(names, row, "operation") != operation_name(o.analysis.op) ||
        column(names, row, "konno_ohmachi_b") != core::shortest_digits(o.analysis.konno_ohmachi) ||
        (o.analysis.hv &&
         column(names, row, "horizontal") != horizontal_name(o.analysis.horizontal)))
      throw other;
    done[row[0]] = std::string(line) + "\n";
  }
  return done;
}

} // namespace wavespec
