// A download folder in one call: the component files of many records,
// grouped into records by what the files say, one waveform file written per
// record into a folder.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "merge/formats.h"
#include "merge/output.h"

namespace wavespec::merge {

struct folder_options {
  std::string outdir;   // where the records go, as NAME.txt
  std::string summary;  // a CSV of every group, when not empty ("-": standard output)
  std::string format;   // --format, when not empty
  read_request request; // what each file is read with
  merge_options merge;  // what each record is written with
};

// One group as the summary lists it.
struct group_outcome {
  std::string record;             // the record's name (NAME of NAME.txt), or the file refused
  std::vector<std::string> files; // its files, as given
  std::string output;             // the file written, or empty
  bool written = false;
  std::string message; // why it was refused
};

// A record's name from what its components say: "NET.STA.LOC.BAND" or the
// station, then "_YYYYMMDDTHHMMSS" (UTC) when the start is known, then the
// variant (borehole, surface, corrected, ...); only letters, digits, '.',
// '-' and '_'.
[[nodiscard]] std::string record_name(const series &s);

// A record name no other record of the run has: `name`, else name-2,
// name-3, ... (a record may itself be named like name-2); taken into `used`.
[[nodiscard]] std::string unused_name(const std::string &name, std::set<std::string> &used);

// The groups of the components read: one per record, in the order of their
// first file. Components that say nothing that groups them stay alone.
[[nodiscard]] std::vector<std::vector<series>> group_components(std::vector<series> parts);

// The components of one file, read in the format named (or found from its
// content), each knowing its file's identity. Throws merge_error.
[[nodiscard]] std::vector<series> read_file(const std::string &path, const std::string &format,
                                            const read_request &request);

// Reads, groups and writes; returns the exit status: 0 every group
// written, 2 any refused, 1 interrupted (the summary then lists what was
// finished). Messages go to standard error.
[[nodiscard]] int convert_folder(const std::vector<std::string> &inputs, const folder_options &o);

} // namespace wavespec::merge
