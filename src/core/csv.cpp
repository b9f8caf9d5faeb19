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

bool konno_ohmachi_file(const spectrum_view &s) {
  return s.options.konno_ohmachi > 0.0 || !s.konno_ohmachi_values.empty();
}

std::size_t nom_of(const spectrum_view &s) {
  return static_cast<std::size_t>(s.grid.nom);
}

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

// The files: the dialogue's, with the EAS's two columns and H/V's one when
// asked; and the Konno-Ohmachi file, one row per centre frequency, every
// field E14.6.
struct file_layout {
  std::string columns;
  const records::fixed_layout *row;
  std::size_t rows;
  std::size_t width; // values per row
};

// The layout of a row of `width` values after the first field.
const records::fixed_layout &row_layout(bool centres, std::size_t width) {
  static const records::fixed_layout grid_rows[] = {
      records::fixed_layout("(F8.4,6(',',E14.6))"), records::fixed_layout("(F8.4,7(',',E14.6))"),
      records::fixed_layout("(F8.4,8(',',E14.6))"), records::fixed_layout("(F8.4,9(',',E14.6))")};
  static const records::fixed_layout centre_rows[] = {
      records::fixed_layout("(E14.6,3(',',E14.6))"), records::fixed_layout("(E14.6,4(',',E14.6))"),
      records::fixed_layout("(E14.6,5(',',E14.6))")};
  return centres ? centre_rows[width - 4] : grid_rows[width - 7];
}

file_layout layout_of(const spectrum_view &s) {
  const bool hv = s.options.hv || !s.hv.empty();
  const std::string hv_column = hv ? ",H/V" : "";
  if (konno_ohmachi_file(s)) {
    const std::size_t n = s.centres.size();
    const bool eas = n > 0 ? s.konno_ohmachi_values.size() == 4 * n : s.options.eas;
    const std::size_t width = eas && hv ? 6 : eas || hv ? 5 : 4;
    return {"freq(Hz),Smoothed X,Smoothed Y,Smoothed Z" + std::string(eas ? ",Smoothed EAS" : "") +
                hv_column,
            &row_layout(true, width), s.centres.size(), width};
  }
  const bool eas = !s.eas_original.empty();
  const std::size_t width = eas && hv ? 10 : eas ? 9 : hv ? 8 : 7;
  if (width == 7)
    return {std::string(core::csv_columns), &core::csv_row_layout(), nom_of(s), 7};
  return {std::string(core::csv_columns) + (eas ? ",Original EAS,Smoothed EAS" : "") + hv_column,
          &row_layout(false, width), nom_of(s), width};
}

void row_values(const spectrum_view &s, std::size_t i, float *v) {
  std::size_t next = 0;
  if (konno_ohmachi_file(s)) {
    const std::size_t n = s.centres.size();
    v[next++] = static_cast<float>(s.centres[i]);
    for (std::size_t q = 0; q * n < s.konno_ohmachi_values.size(); ++q)
      v[next++] = s.konno_ohmachi_values[q * n + i];
  } else {
    const std::array<float, 7> base = core::csv_row(s, static_cast<std::int32_t>(i));
    std::copy(base.begin(), base.end(), v);
    next = 7;
    if (!s.eas_original.empty())
      v[next++] = s.eas_original[i], v[next++] = s.eas_smoothed[i];
  }
  if (!s.hv.empty())
    v[next] = s.hv[i];
}

} // namespace

namespace core {

void write_csv_header(const spectrum_view &s, byte_sink &out) {
  out.write(records::render_free_record({records::free_item::text(layout_of(s).columns)}));
}

void write_csv_rows(const spectrum_view &s, byte_sink &out, std::string block) {
  const file_layout f = layout_of(s);
  const std::size_t row_length = f.row->max_length() + 1;
  std::size_t used = block.size(); // what the block holds already
  block.resize(block_size + row_length);
  float values[10];
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

} // namespace core

void write_csv(const spectrum_view &s, byte_sink &out) {
  // the header shares the rows' first block
  core::write_csv_rows(
      s, out, records::render_free_record({records::free_item::text(layout_of(s).columns)}));
}

void write_csv(const spectrum_view &s, std::ostream &out) {
  stream_sink sink(out);
  write_csv(s, sink);
}

void write_csv(const spectrum_view &s, const std::filesystem::path &path) {
  output_file file(path.string());
  core::file_sink sink(file);
  write_csv(s, sink);
  file.commit();
}

} // namespace wavespec
