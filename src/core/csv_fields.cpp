#include "core/csv_fields.h"

namespace wavespec::core {

std::string csv_field(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos)
    return std::string(text);
  std::string quoted = "\"";
  for (const char c : text) {
    quoted.push_back(c);
    if (c == '"')
      quoted.push_back('"');
  }
  return quoted + "\"";
}

std::size_t csv_line_end(std::string_view text, std::size_t from) {
  bool quoted = false;
  for (std::size_t i = from; i < text.size(); ++i) {
    if (text[i] == '"')
      quoted = !quoted;
    else if (text[i] == '\n' && !quoted)
      return i;
  }
  return std::string_view::npos;
}

std::vector<std::string> csv_fields(std::string_view line) {
  std::vector<std::string> out(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"')
      out.back().push_back(line[++i]);
    else if (c == '"')
      quoted = !quoted;
    else if (c == ',' && !quoted)
      out.emplace_back();
    else
      out.back().push_back(c);
  }
  return out;
}

} // namespace wavespec::core
