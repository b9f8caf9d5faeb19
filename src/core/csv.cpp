#include <ostream>
#include <string>

#include "core/csv_rows.h"
#include "records/interrupt.h"
#include "records/output_file.h"
#include "records/record_io.h"
#include "wavespec/csv.hpp"

namespace wavespec {
namespace core {

const records::fixed_layout &csv_row_layout() {
  static const records::fixed_layout row("(F8.4,6(',',E14.6))");
  return row;
}

std::array<float, 7> csv_row(const spectrum_view &s, std::int32_t i) {
  const auto at = static_cast<std::size_t>(i);
  return {s.frequency(i),    s.original(0)[at], s.smoothed(0)[at], s.original(1)[at],
          s.smoothed(1)[at], s.original(2)[at], s.smoothed(2)[at]};
}

} // namespace core

namespace {

// Rows are rendered into a block of about 64 KiB and handed out whole.
constexpr std::size_t block_size = 1 << 16;

class stream_sink final : public byte_sink {
public:
  explicit stream_sink(std::ostream &out) : out_(out) {}
  void write(std::string_view bytes) override {
    out_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out_)
      throw std::ios_base::failure("wavespec::write_csv: the stream failed");
  }

private:
  std::ostream &out_;
};

class file_sink final : public byte_sink {
public:
  explicit file_sink(records::output_file &out) : out_(out) {}
  void write(std::string_view bytes) override { out_.write(bytes); }

private:
  records::output_file &out_;
};

} // namespace

void write_csv(const spectrum_view &s, byte_sink &out) {
  const records::fixed_layout &row = core::csv_row_layout();
  std::string block = records::render_free_record({records::free_item::text(core::csv_columns)});
  const std::size_t row_length = row.max_length() + 1;
  block.resize(block_size + row_length);
  std::size_t used = block.find('\n') + 1;
  for (std::int32_t i = 0; i < s.grid.nom; ++i) {
    if (used + row_length > block.size()) {
      out.write(std::string_view(block).substr(0, used));
      used = 0;
    }
    const std::array<float, 7> values = core::csv_row(s, i);
    used = static_cast<std::size_t>(records::render_fixed_record(row, values, block.data() + used) -
                                    block.data());
  }
  out.write(std::string_view(block).substr(0, used));
}

void write_csv(const spectrum_view &s, std::ostream &out) {
  stream_sink sink(out);
  write_csv(s, sink);
}

void write_csv(const spectrum_view &s, const std::filesystem::path &path) {
  try {
    records::output_file file(path.string());
    file_sink sink(file);
    write_csv(s, sink);
    file.commit();
  } catch (const records::interrupted &signal) {
    throw interrupted(signal.signal);
  }
}

} // namespace wavespec
