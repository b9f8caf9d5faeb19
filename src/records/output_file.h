// The whole-or-nothing writer is the library's own (wavespec/output_file.hpp);
// this name stays for the converter until it includes that header itself.
#pragma once

#include "wavespec/output_file.hpp"

namespace wavespec::records {
using wavespec::output_file;
} // namespace wavespec::records
