// A flatfile: one CSV for a database of records, one row per record in the
// order given, with its metadata and its Konno-Ohmachi smoothed spectra at
// the run's centre frequencies, each value only where the record supports
// it:
//
//   input,status,message,nt,dt,df_hz,unit,operation,konno_ohmachi_b,usable_min_hz,usable_max_hz,
//   [horizontal,f0_hz,a0,]X_0.1Hz,...,Y_...,Z_...,[EAS_...,][HV_...]
//
// Values are the Konno-Ohmachi file's E14.6 digits without their blanks
// ("0.538097E+01"); a cell is empty at a centre outside the record's usable
// band (wavespec::usable_band) and on a failed record's row. Column names
// say the series and the centre's frequency in its shortest float digits.
#pragma once

#include <map>
#include <string>

#include "wavespec/batch.hpp"

namespace wavespec {

// The header line, its line end included.
[[nodiscard]] std::string flatfile_header(const run_options &options);

// The row of a record analysed as `s` (read with `facts`), its line end
// included; `outcome` gives its status and message.
[[nodiscard]] std::string flatfile_row(const run_options &options, const record_outcome &outcome,
                                       const spectrum_view &s, const record_facts &facts);
// The row of a record that failed: its status, message and what was known.
[[nodiscard]] std::string flatfile_row(const run_options &options, const record_outcome &outcome);

// The header and the rows of the records done, in the order given (a record
// whose outcome carries no row, as one whose worker failed, gets its failed
// row here).
[[nodiscard]] std::string flatfile_text(const run_options &options, run_outcomes outcomes);

// The rows of records done well in the flatfile options.flatfile names, by
// input, for --resume to keep (a row cut short is not kept); none when there
// is no such file. Throws options_error when it was written with other
// options (other columns, or rows of another operation, b or horizontal
// mean), and file_error when it cannot be read.
[[nodiscard]] std::map<std::string, std::string> flatfile_rows_done(const run_options &options);

} // namespace wavespec
