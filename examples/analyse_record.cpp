// analyse_record FILE OPERATION BAND OUTPUT: the spectrum CSV of one waveform
// file through the installed library, the same bytes as the dialogue given
// the answers FILE, OPERATION (0 none, 1 integrate, 2 double integrate,
// 3 differentiate), BAND (Hz, 0 for none) and OUTPUT. A record that cannot be
// read or analysed gives a message on standard error, status 2 and no file.
#include <charconv>
#include <cstdio>
#include <exception>
#include <string_view>

#include <wavespec/wavespec.hpp>

namespace {

template <typename T> bool parse(std::string_view text, T &value) {
  const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
  return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

} // namespace

int main(int argc, char **argv) {
  int op = 0;
  float band = 0.0f;
  if (argc != 5 || !parse(argv[2], op) || op < 0 || op > 3 || !parse(argv[3], band)) {
    std::fprintf(stderr, "usage: analyse_record FILE OPERATION(0-3) BAND(Hz) OUTPUT\n");
    return 2;
  }
  try {
    const wavespec::waveform record = wavespec::read_waveform(argv[1]);
    const wavespec::spectrum s =
        wavespec::analyse(record, {static_cast<wavespec::operation>(op), band});
    wavespec::write_csv(s, argv[4]);
  } catch (const wavespec::record_error &e) { // "FILE: line 3: invalid number"
    std::fprintf(stderr, "analyse_record: %s\n", e.what());
    return 2;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "analyse_record: %s\n", e.what());
    return 2;
  }
  return 0;
}
