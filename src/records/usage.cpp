#include "records/usage.h"

#include <string_view>

namespace wavespec::records {

std::string refused_option(char **argv, int optind, int optopt, const option *long_options,
                           bool missing_value) {
  const std::string arg = argv[optind - 1];
  const bool is_long = arg.starts_with("--");
  const std::string written =
      is_long ? arg.substr(0, arg.find('=')) : std::string("-") + static_cast<char>(optopt);
  if (missing_value)
    return "option " + written + " needs a value";
  std::string matches;
  int count = 0;
  if (is_long)
    for (const option *o = long_options; o->name != nullptr; ++o)
      if (std::string_view(o->name).starts_with(std::string_view(written).substr(2)))
        matches += (count++ > 0 ? ", --" : "--") + std::string(o->name);
  if (count > 1)
    return "option " + written + " is ambiguous (" + matches + ")";
  return "unrecognized option " + written;
}

} // namespace wavespec::records
