// Writing one waveform file from three components.
#pragma once

#include <string>
#include <vector>

#include "merge/formats.h"

namespace wavespec::merge {

struct merge_options {
  bool demean = false; // remove each component's mean
  bool trim = false;   // cut the components to the shortest
  bool force = false;  // merge components of different sites or start times
};

// The three components of a record in the order X, Y, Z: as given when
// `as_given` (every file gave one component), else horizontal before
// vertical, north (N-S, ...N, ...1) before east (E-W, ...E, ...2), and
// otherwise as met. Throws merge_error when they are not three.
[[nodiscard]] std::vector<series> order_components(std::vector<series> parts, bool as_given);

// Checks that the three components agree (interval, length unless trimmed,
// units, and unless forced their site, start time, sensor place and
// processing, and that no channel comes twice) and returns the number of samples to write;
// throws merge_error with what differs and by how much.
[[nodiscard]] std::size_t check_components(const std::vector<series> &xyz, const merge_options &o);

// The time of sample i (from 0) as an exact decimal with the decimals of dt:
// i = 1, dt = 0.005 gives "0.005"; read as a float, the first two times give
// back float(dt) exactly.
[[nodiscard]] std::string time_text(std::size_t i, double dt);

// Writes the header line and the rows "t,x,y,z" (values with 7 significant
// digits) to `out` whole or not at all ("-": standard output; a device or
// the target of a link is written through).
void write_waveform(const std::string &out, std::vector<series> xyz, std::size_t n,
                    const merge_options &o);

} // namespace wavespec::merge
