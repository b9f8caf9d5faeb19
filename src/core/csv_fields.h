// Text fields of the run's tables (the summary and the flatfile): how a field
// is quoted on the way out and unquoted on the way back in.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace wavespec::core {

// A field, quoted when it holds a comma, a quote or a line end (quotes
// doubled inside): "a,b" -> "\"a,b\"", "say \"x\"" -> "\"say \"\"x\"\"\"".
[[nodiscard]] std::string csv_field(std::string_view text);

// Where the line that starts at `from` ends: its first line end outside
// quotes, or npos when the text ends first (a line cut short).
[[nodiscard]] std::size_t csv_line_end(std::string_view text, std::size_t from);

// The fields of one line (without its line end), quotes undone.
[[nodiscard]] std::vector<std::string> csv_fields(std::string_view line);

} // namespace wavespec::core
