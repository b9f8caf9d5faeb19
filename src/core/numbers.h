// Numbers in the library's messages, in the digits the dialogue shows.
#pragma once

#include <string>

namespace wavespec::core {

// The dialogue's free-format digits of a real without its leading blanks:
//   0.0905422345f -> "0.0905422345"   5.0f -> "5."   1e9f -> "1.E+009"
[[nodiscard]] std::string free_digits(float x);

// The shortest digits that read back as x: 5.0f -> "5", 0.5f -> "0.5".
[[nodiscard]] std::string shortest_digits(float x);
[[nodiscard]] std::string shortest_digits(double x);

} // namespace wavespec::core
