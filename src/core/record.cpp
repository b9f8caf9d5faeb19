#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <csignal>
#include <optional>
#include <string>

#include "core/loading.h"
#include "core/numbers.h"
#include "core/workspace.h"

namespace wavespec {
namespace core {
namespace {

// The header's characters kept; the rest of a longer line is passed over.
constexpr std::size_t header_kept = 4096;

// Rows of time, X, Y, Z as they are read. The first two times are kept (they
// give dt); the samples go where `place` says, up to max_samples, and
// records beyond are read and counted but not kept. Every slot is zero
// before its record is read, so that a null value leaves a zero as the
// dialogue's zero-filled storage does.
template <typename Place> class sample_rows final : public records::row_store {
public:
  explicit sample_rows(Place place) : place_(place) {}
  void aim(std::int64_t r, float **row) override {
    row[0] = r < 2 ? &times_[r] : &spare_[0];
    if (r >= max_samples) {
      row[1] = &spare_[1], row[2] = &spare_[2], row[3] = &spare_[3];
      return;
    }
    place_(static_cast<std::size_t>(r), row + 1);
    *row[1] = *row[2] = *row[3] = 0.0f;
  }
  [[nodiscard]] float dt() const { return times_[1] - times_[0]; }

private:
  Place place_;
  float times_[2] = {0.0f, 0.0f};
  float spare_[4] = {};
};

// Into the workspace's columns.
struct into_workspace {
  float *columns[3];
  void operator()(std::size_t r, float **xyz) const {
    for (int c = 0; c < 3; ++c)
      xyz[c] = columns[c] + r;
  }
};

// Into vectors that grow with the record.
struct into_vectors {
  waveform *w;
  void operator()(std::size_t r, float **xyz) const {
    if (r >= w->x.size()) {
      const std::size_t doubled = std::max<std::size_t>(2 * w->x.size(), 4096);
      const std::size_t size = std::max(r + 1, std::min<std::size_t>(doubled, max_samples));
      w->x.resize(size), w->y.resize(size), w->z.resize(size);
    }
    xyz[0] = &w->x[r], xyz[1] = &w->y[r], xyz[2] = &w->z[r];
  }
};

std::size_t kept(std::int64_t count) {
  return static_cast<std::size_t>(std::min<std::int64_t>(count, max_samples));
}

record_error cannot_analyse(record_error::kind k, std::string text) {
  return {k, {std::move(text)}};
}

std::string too_many(std::int64_t nt) {
  return std::to_string(nt) + " samples: at most " + std::to_string(max_samples) +
         " can be analysed";
}

// The first sample that is not a finite float: component 0 (X), 1 or 2,
// and index. The whole record is looked at a word at a time, without
// branches; only a record that holds one is looked at again.
struct bad_sample {
  int component = 0;
  std::size_t index = 0;
  float value = 0.0f;
};

bool all_finite(std::span<const float> v) {
  std::uint32_t worst = 0; // the largest exponent field met
  for (const float x : v)
    worst = std::max(worst, std::bit_cast<std::uint32_t>(x) & 0x7f800000u);
  return worst != 0x7f800000u;
}

std::optional<bad_sample> first_non_finite(waveform_view w) {
  const std::span<const float> xyz[] = {w.x, w.y, w.z};
  std::optional<bad_sample> first;
  for (int c = 0; c < 3; ++c) {
    const auto &v = xyz[c];
    if (all_finite(v))
      continue;
    const auto at = static_cast<std::size_t>(
        std::find_if(v.begin(), v.end(), [](float x) { return !std::isfinite(x); }) - v.begin());
    if (!first || at < first->index)
      first = bad_sample{c, at, v[at]};
  }
  return first;
}

std::string float_text(float x) {
  return std::isnan(x) ? "NaN" : x > 0 ? "+infinity" : "-infinity";
}

const char *const component_names[] = {"X", "Y", "Z"};

template <typename Open> waveform read_with(Open &&open, bool strict) {
  std::int64_t count = 0;
  std::string file;
  records::reading_notes notes;
  waveform w = with_public_errors([&] {
    records::stream_state u(records::waveform_file, true);
    open(u);
    file = u.name;
    waveform loaded = load_waveform(u, count, &notes);
    records::close_stream(u);
    return loaded;
  });
  w.warning = damage_of(notes);
  if (strict && !w.warning.empty())
    throw refused_damage(notes, file);
  (void)check_loaded(
      count, w,
      [&](std::size_t k) {
        return with_public_errors([&] {
          records::stream_state u(records::waveform_file, true);
          open(u);
          return line_of_record(u, k);
        });
      },
      file);
  return w;
}

} // namespace

loaded_record load_records(records::stream_state &u, workspace &ws, records::reading_notes *notes) {
  loaded_record loaded;
  (void)records::read_line_text(u, loaded.header, header_kept); // the header, whatever it holds
  workspace::buffers &b = ws.get();
  sample_rows rows(into_workspace{{b.column(0), b.column(1), b.column(2)}});
  loaded.count = records::read_real_rows(u, 4, rows, notes);
  const std::size_t nt = kept(loaded.count);
  loaded.samples = {{b.column(0), nt}, {b.column(1), nt}, {b.column(2), nt}, rows.dt()};
  return loaded;
}

waveform load_waveform(records::stream_state &u, std::int64_t &count,
                       records::reading_notes *notes) {
  waveform w;
  (void)records::read_line_text(u, w.header, header_kept);
  sample_rows rows(into_vectors{&w});
  count = records::read_real_rows(u, 4, rows, notes);
  const std::size_t nt = kept(count);
  w.x.resize(nt), w.y.resize(nt), w.z.resize(nt);
  w.dt = rows.dt();
  return w;
}

// The first damaged line names what was met there (a number run on, then a
// cut record, then a count of values, when one line has several); the rest
// says how many of each kind the reading met.
std::string damage_of(const records::reading_notes &n) {
  if (n.clean())
    return {};
  struct finding {
    std::int64_t line;
    std::string what;
  };
  std::vector<finding> found;
  std::vector<std::string> all;
  if (n.run_on_values > 0) {
    found.push_back({n.first_run_on_line, "a number runs straight into the next"});
    all.push_back(std::to_string(n.run_on_values) + (n.run_on_values == 1
                                                         ? " number run into the next"
                                                         : " numbers run into the next"));
  }
  if (n.cut_record_line > 0) {
    found.push_back({n.cut_record_line, "the file ends inside the record begun here (dropped)"});
    all.emplace_back("the file ends inside a record");
  }
  if (const records::reading_notes::line_count *usual = n.usual(); n.unusual_lines() > 0) {
    const std::int64_t line = n.first_unusual_line();
    std::string values = "an unusual count of";
    for (std::size_t i = 0; i < n.distinct; ++i)
      if (n.counts[i].first_line == line)
        values = std::to_string(n.counts[i].values);
    found.push_back(
        {line, values + " values where the file's lines hold " + std::to_string(usual->values)});
    all.insert(all.begin(), std::to_string(n.unusual_lines()) +
                                (n.unusual_lines() == 1 ? " line" : " lines") +
                                " whose count of values differs");
  }
  const finding &first =
      *std::min_element(found.begin(), found.end(),
                        [](const finding &a, const finding &b) { return a.line < b.line; });
  std::string text = "line " + std::to_string(first.line) + ": " + first.what + "; in all: ";
  for (std::size_t i = 0; i < all.size(); ++i)
    text += (i > 0 ? ", " : "") + all[i];
  return text;
}

record_error refused_damage(const records::reading_notes &notes, const std::string &file) {
  const std::string text = damage_of(notes);
  std::int64_t line = 0;
  (void)std::from_chars(text.data() + 5, text.data() + text.size(), line); // "line N: ..."
  return {record_error::kind::damaged, {text + " (refused: strict)"}, line, file};
}

std::int64_t line_of_record(records::stream_state &u, std::size_t k) {
  std::string header;
  (void)records::read_line_text(u, header, 0);
  float values[4];
  const records::read_target row[] = {values[0], values[1], values[2], values[3]};
  for (std::size_t r = 0; r <= k; ++r)
    if (records::read_record(u, row, true) == records::read_outcome::end_of_input)
      return 0;
  // After its values the rest of the record's last line is passed over.
  return u.in.end_flag() ? u.in.line_number() : u.in.line_number() - 1;
}

frequency_grid check_loaded(std::int64_t count, waveform_view samples, const record_lines &lines,
                            const std::string &file) {
  if (count > max_samples)
    throw record_error(record_error::kind::too_many_samples, {too_many(count)}, 0, file);
  if (const std::optional<bad_sample> bad = first_non_finite(samples)) {
    const std::int64_t line = lines ? lines(bad->index) : 0;
    const std::string where =
        line > 0 ? "line " + std::to_string(line) : "record " + std::to_string(bad->index + 1);
    throw record_error(record_error::kind::not_finite,
                       {where + ": " + component_names[bad->component] + " reads as " +
                        float_text(bad->value) + ", not a finite 32-bit float"},
                       line, file);
  }
  try {
    return checked_grid(samples);
  } catch (const record_error &e) { // named after the file it was read from
    throw record_error(e.reason(), e.report(), e.line(), file, e.os_error(), e.one_line());
  }
}

// What failed and where, on one line: the reader's own failures by their
// name ("line 1001: invalid number"), the system's with its reason ("open:
// No such file or directory").
std::string brief(const records::failure_report &report) {
  const bool generic = report.cause == records::failures::incomprehensible ||
                       report.cause == records::failures::invalid_integer.cause;
  std::string text = report.line > 0 ? "line " + std::to_string(report.line) + ": " : "";
  text += report.context;
  if (!generic && !report.cause.empty())
    text += ": " + report.cause;
  return text;
}

record_error public_error(const records::failure_report &report) {
  const std::string text = records::render_failure(report);
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return {record_error::kind::unreadable, std::move(lines), report.line,
          report.name.value_or(""),       report.os_error,  brief(report)};
}

} // namespace core

namespace {

std::string named(const std::string &file, const std::string &text) {
  return file.empty() ? text : file + ": " + text;
}

} // namespace

record_error::record_error(kind k, std::vector<std::string> report, std::int64_t line,
                           std::string file, int os_error, std::string brief)
    : std::runtime_error(named(file, brief.empty() && !report.empty() ? report.front() : brief)),
      kind_(k), report_(std::move(report)), line_(line), file_(std::move(file)),
      os_error_(os_error), brief_(brief.empty() && !report_.empty() ? report_.front() : brief) {}

std::string record_error::one_line() const {
  return brief_;
}

void check_waveform(waveform_view w) {
  if (w.y.size() == w.x.size() && w.z.size() == w.x.size())
    if (const std::optional<core::bad_sample> bad = core::first_non_finite(w))
      throw core::cannot_analyse(record_error::kind::not_finite,
                                 std::string(1, static_cast<char>('x' + bad->component)) + "[" +
                                     std::to_string(bad->index) + "] is " +
                                     core::float_text(bad->value) +
                                     ": samples must be finite 32-bit floats");
  (void)core::checked_grid(w);
}

frequency_grid core::checked_grid(waveform_view w) {
  using kind = record_error::kind;
  if (w.y.size() != w.x.size() || w.z.size() != w.x.size())
    throw core::cannot_analyse(kind::unreadable, "the components differ in length (" +
                                                     std::to_string(w.x.size()) + ", " +
                                                     std::to_string(w.y.size()) + ", " +
                                                     std::to_string(w.z.size()) + " samples)");
  const std::int64_t nt = w.nt();
  if (nt > max_samples)
    throw core::cannot_analyse(kind::too_many_samples, core::too_many(nt));
  if (nt < 2)
    throw core::cannot_analyse(kind::too_few_samples, std::to_string(nt) +
                                                          (nt == 1 ? " sample" : " samples") +
                                                          ": at least two are needed");
  if (!(std::isfinite(w.dt) && w.dt > 0.0f))
    throw core::cannot_analyse(kind::bad_interval,
                               "sampling interval " + core::free_digits(w.dt) +
                                   " (the second time less the first): it must be positive "
                                   "and finite");
  // An interval near a float's limits gives a grid of infinities or zeros.
  const frequency_grid g = make_grid(transform_length(nt), w.dt);
  if (!(g.df > 0.0f && std::isfinite(g.highest) && std::isfinite(g.band_max)))
    throw core::cannot_analyse(
        kind::bad_interval,
        "sampling interval " + core::free_digits(w.dt) +
            " s: its frequencies, df = 1 / (nf * dt) = " + core::shortest_digits(g.df) +
            " Hz up to the Nyquist frequency, are not finite and positive");
  return g;
}

waveform read_waveform(const std::filesystem::path &path, bool strict) {
  core::refuse_nul(path.string());
  return core::read_with(
      [&](records::stream_state &u) {
        records::open_stream(u, path.string(), records::open_rule::read_only);
      },
      strict);
}

waveform parse_waveform(std::string_view bytes, std::string_view name, bool strict) {
  return core::read_with(
      [&](records::stream_state &u) { records::open_memory_stream(u, name, bytes); }, strict);
}

waveform read_waveform_stdin(std::string_view name, bool strict) {
  return core::read_with(
      [&](records::stream_state &u) {
        records::open_memory_stream(u, name, {});
        u.in.attach(0);
      },
      strict);
}

} // namespace wavespec
