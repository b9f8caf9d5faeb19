#include "records/failure.h"

namespace wavespec::records {

std::string render_failure(const failure_report &r) {
  std::string s = r.cause.empty() ? r.context + "\n" : r.context + ": " + r.cause + "\n";
  s += "apparent state: unit " + std::to_string(r.unit) + " ";
  s += r.name ? "named " + *r.name : std::string("(unnamed)");
  s += "\n";
  if (r.format)
    s += "last format: " + *r.format + "\n";
  s += r.writing ? "lately writing" : "lately reading";
  s += " sequential formatted external IO\n";
  return s;
}

} // namespace wavespec::records
