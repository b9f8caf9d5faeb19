// Decimal renderings of 32-bit reals, rounded from the exact binary value with
// exact halfway cases rounded away from zero.
#pragma once

#include <string>

namespace wavespec::records {

// Appends the free-format rendering of a real item: a blank, a sign column
// ("-" or blank), then the digits part with 9 significant digits.
//   1.0f -> "  1."   0.01f -> "  0.00999999978"   1e-4f -> "  9.99999975E-005"
// Infinities and NaN: "  Infinity", " -Infinity", "  NaN".
void append_free_real(std::string &out, float x);

// Appends an 8-column fixed-point field with 4 decimals:
//   0.5f -> "  0.5000"   -1.5f -> " -1.5000"   1000.0f -> "********"
void append_f8_4(std::string &out, float x);

// Appends a 14-column exponent field with 6 significant digits:
//   1.2345678f -> "  0.123457E+01"   0.0f -> "  0.000000E+00"
void append_e14_6(std::string &out, float x);

// The same two fields written at `p`; each returns the end (p + 8, p + 14).
char *put_f8_4(char *p, float x);
char *put_e14_6(char *p, float x);

} // namespace wavespec::records
