#include <algorithm>
#include <cmath>
#include <csignal>
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

template <typename Open> waveform read_with(Open &&open) {
  std::int64_t count = 0;
  waveform w = with_public_errors([&] {
    records::stream_state u(records::waveform_file, true);
    open(u);
    waveform loaded = load_waveform(u, count);
    records::close_stream(u);
    return loaded;
  });
  check_loaded(count, w);
  return w;
}

} // namespace

loaded_record load_records(records::stream_state &u, workspace &ws) {
  loaded_record loaded;
  (void)records::read_line_text(u, loaded.header, header_kept); // the header, whatever it holds
  workspace::buffers &b = ws.get();
  sample_rows rows(into_workspace{{b.column(0), b.column(1), b.column(2)}});
  loaded.count = records::read_real_rows(u, 4, rows);
  const std::size_t nt = kept(loaded.count);
  loaded.samples = {{b.column(0), nt}, {b.column(1), nt}, {b.column(2), nt}, rows.dt()};
  return loaded;
}

waveform load_waveform(records::stream_state &u, std::int64_t &count) {
  waveform w;
  (void)records::read_line_text(u, w.header, header_kept);
  sample_rows rows(into_vectors{&w});
  count = records::read_real_rows(u, 4, rows);
  const std::size_t nt = kept(count);
  w.x.resize(nt), w.y.resize(nt), w.z.resize(nt);
  w.dt = rows.dt();
  return w;
}

void check_loaded(std::int64_t count, waveform_view samples) {
  if (count > max_samples)
    throw cannot_analyse(record_error::kind::too_many_samples, too_many(count));
  check_waveform(samples);
}

record_error public_error(const records::failure_report &report) {
  const std::string text = records::render_failure(report);
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return {record_error::kind::unreadable, std::move(lines), report.line, report.name.value_or(""),
          report.os_error};
}

} // namespace core

namespace {

std::string join(const std::vector<std::string> &lines) {
  std::string s;
  for (const std::string &l : lines)
    s += (s.empty() ? "" : "; ") + l;
  return s;
}

} // namespace

record_error::record_error(kind k, std::vector<std::string> report, std::int64_t line,
                           std::string file, int os_error)
    : std::runtime_error(join(report)), kind_(k), report_(std::move(report)), line_(line),
      file_(std::move(file)), os_error_(os_error) {}

std::string record_error::one_line() const {
  return join(report_);
}

void check_waveform(waveform_view w) {
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
                                   " (the second time less the first): it must be positive");
}

waveform read_waveform(const std::filesystem::path &path) {
  return core::read_with([&](records::stream_state &u) {
    records::open_stream(u, path.string(), records::open_rule::read_only);
  });
}

waveform parse_waveform(std::string_view bytes, std::string_view name) {
  return core::read_with(
      [&](records::stream_state &u) { records::open_memory_stream(u, name, bytes); });
}

waveform read_waveform_stdin(std::string_view name) {
  return core::read_with([&](records::stream_state &u) {
    records::open_memory_stream(u, name, {});
    u.in.attach(0);
  });
}

} // namespace wavespec
