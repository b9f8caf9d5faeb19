#include <algorithm>
#include <ostream>
#include <string>

#include "core/csv_rows.h"
#include "records/interrupt.h"
#include "records/record_io.h"
#include "wavespec/csv.hpp"
#include "wavespec/output_file.hpp"

namespace wavespec {
namespace core {

const records::fixed_layout &csv_row_layout() {
  static const records::fixed_layout row("(F8.4,6(',',E14.6))");
  return row;
}

std::array<float, 7> csv_row(const spectrum_view &s, std::int32_t i) {
  const auto nom = static_cast<std::size_t>(s.grid.nom);
  const float *original = s.original_values.data() + i, *smoothed = s.smoothed_values.data() + i;
  return {s.frequency(i), original[0],       smoothed[0],      original[nom],
          smoothed[nom],  original[2 * nom], smoothed[2 * nom]};
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
  explicit file_sink(output_file &out) : out_(out) {}
  void write(std::string_view bytes) override { out_.write(bytes); }

private:
  output_file &out_;
};

// The three files: the dialogue's; the same with the EAS's two columns; and
// the Konno-Ohmachi file, one row per centre frequency, every field E14.6.
struct file_layout {
  std::string columns;
  const records::fixed_layout *row;
  std::size_t rows;
  std::size_t width; // values per row
};

file_layout layout_of(const spectrum_view &s) {
  static const records::fixed_layout with_eas("(F8.4,8(',',E14.6))");
  static const records::fixed_layout centres3("(E14.6,3(',',E14.6))");
  static const records::fixed_layout centres4("(E14.6,4(',',E14.6))");
  const auto nom = static_cast<std::size_t>(s.grid.nom);
  if (!s.konno_ohmachi_values.empty()) {
    const bool eas = s.konno_ohmachi_values.size() == 4 * s.centres.size();
    return {"freq(Hz),Smoothed X,Smoothed Y,Smoothed Z" + std::string(eas ? ",Smoothed EAS" : ""),
            eas ? &centres4 : &centres3, s.centres.size(), eas ? 5u : 4u};
  }
  if (!s.eas_original.empty())
    return {std::string(core::csv_columns) + ",Original EAS,Smoothed EAS", &with_eas, nom, 9};
  return {std::string(core::csv_columns), &core::csv_row_layout(), nom, 7};
}

void row_values(const spectrum_view &s, std::size_t i, float *v) {
  if (!s.konno_ohmachi_values.empty()) {
    const std::size_t n = s.centres.size();
    v[0] = static_cast<float>(s.centres[i]);
    for (std::size_t q = 0; q * n < s.konno_ohmachi_values.size(); ++q)
      v[1 + q] = s.konno_ohmachi_values[q * n + i];
    return;
  }
  const std::array<float, 7> base = core::csv_row(s, static_cast<std::int32_t>(i));
  std::copy(base.begin(), base.end(), v);
  if (!s.eas_original.empty())
    v[7] = s.eas_original[i], v[8] = s.eas_smoothed[i];
}

} // namespace

void write_csv(const spectrum_view &s, byte_sink &out) {
  const file_layout f = layout_of(s);
  std::string block = records::render_free_record({records::free_item::text(f.columns)});
  const std::size_t row_length = f.row->max_length() + 1;
  std::size_t used = block.size();
  block.resize(block_size + row_length);
  float values[9];
  for (std::size_t i = 0; i < f.rows; ++i) {
    if (used + row_length > block.size()) {
      out.write(std::string_view(block).substr(0, used));
      used = 0;
    }
    row_values(s, i, values);
    used = static_cast<std::size_t>(
        records::render_fixed_record(*f.row, std::span(values, f.width), block.data() + used) -
        block.data());
  }
  out.write(std::string_view(block).substr(0, used));
}

void write_csv(const spectrum_view &s, std::ostream &out) {
  stream_sink sink(out);
  write_csv(s, sink);
}

void write_csv(const spectrum_view &s, const std::filesystem::path &path) {
  output_file file(path.string());
  file_sink sink(file);
  write_csv(s, sink);
  file.commit();
}

} // namespace wavespec
