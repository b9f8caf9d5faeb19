// The sidecar's facts: components and units from the header, the unit of
// the spectrum after each operation, and the smoothing as asked.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <string>

#include "wavespec/metadata.hpp"

namespace wavespec::testing {
namespace {

using json = nlohmann::json;

json sidecar(const std::string &header, operation op, analysis_options options = {}) {
  spectrum_view s{};
  s.grid = make_grid(8192, 0.005f);
  s.options = options;
  s.options.op = op;
  return json::parse(spectrum_metadata({"rec.txt", header, 6001, 0.005f}, s));
}

// The Fourier amplitude of a series in unit U over time is U·s; each
// integration multiplies by s, differentiation divides by it.
TEST(Sidecar, UnitArithmeticOverTheUnitTable) {
  const struct {
    const char *unit;
    operation op;
    const char *spectrum_unit, *quantity;
  } rows[] = {
      {"gal", operation::none, "cm/s", "acceleration"},
      {"gal", operation::integrate, "cm", "velocity"},
      {"gal", operation::double_integrate, "cm·s", "displacement"},
      {"gal", operation::differentiate, "cm/s²", "jerk"},
      {"cm/s^2", operation::integrate, "cm", "velocity"},
      {"m/s/s", operation::double_integrate, "m·s", "displacement"},
      {"g", operation::none, "g·s", "acceleration"},
      {"g", operation::integrate, "g·s²", "velocity"},
      {"cm/s", operation::none, "cm", "velocity"},
      {"m/s", operation::differentiate, "m/s", "acceleration"},
      {"cm", operation::integrate, "cm·s²", "absement"},
      {"nm/s^2", operation::integrate, "nm", "velocity"},
      {"nm/s", operation::none, "nm", "velocity"},
      {"nm", operation::double_integrate, "nm·s³", nullptr},
      {"µm/s", operation::integrate, "um·s", "displacement"},
      {"um/s2", operation::none, "um/s", "acceleration"},
      {"mm/s^2", operation::double_integrate, "mm·s", "displacement"},
      {"cm/s2", operation::none, "cm/s", "acceleration"},
      {"m/s**2", operation::none, "m/s", "acceleration"},
      {"Gal", operation::integrate, "cm", "velocity"},
      {"cm/sec2", operation::integrate, "cm", "velocity"},
      {"M/S/S", operation::integrate, "m", "velocity"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(std::string(r.unit) + " " + std::to_string(static_cast<int>(r.op)));
    const json c = sidecar(std::string("time(s) X(") + r.unit + ")", r.op)["components"][0];
    EXPECT_EQ(c["unit"], r.unit);
    EXPECT_EQ(c["spectrum_unit"], r.spectrum_unit);
    if (r.quantity == nullptr)
      EXPECT_TRUE(c["quantity"].is_null());
    else
      EXPECT_EQ(c["quantity"], r.quantity);
  }
  // A unit the table does not know keeps its name, times s to the power.
  const json odd = sidecar("t V(counts)", operation::integrate)["components"][0];
  EXPECT_EQ(odd["spectrum_unit"], "counts·s²");
  EXPECT_TRUE(odd["quantity"].is_null()); // always there, null when unknown
}

TEST(Sidecar, ComponentsFromTheHeader) {
  const json m = sidecar("time(s),360(gal)\t270(gal) UP(gal)", operation::none);
  ASSERT_EQ(m["components"].size(), 3u);
  EXPECT_EQ(m["components"][1]["name"], "270(gal)");
  const json bare = sidecar("just a header", operation::none);
  EXPECT_EQ(bare["components"][1]["name"], "header"); // the fields after the first
  EXPECT_EQ(bare["components"][2]["name"], "Z");
  EXPECT_EQ(bare["components"][0]["name"], "a");
  EXPECT_FALSE(bare["components"][0].contains("unit"));
  EXPECT_TRUE(bare["components"][0]["quantity"].is_null());
  EXPECT_EQ(sidecar("", operation::none)["components"][1]["name"], "Y");
}

TEST(Sidecar, SmoothingAndGrid) {
  const json parzen = sidecar("t", operation::integrate, {operation::none, 0.5f});
  EXPECT_EQ(parzen["smoothing"], json({{"window", "parzen"}, {"band_hz", 0.5}}));
  EXPECT_EQ(parzen["operation"], "integrate");
  EXPECT_EQ(parzen["nf"], 8192);
  EXPECT_EQ(parzen["df"], 0.024414062);
  EXPECT_EQ(sidecar("t", operation::none)["smoothing"], json({{"window", "none"}}));
  EXPECT_EQ(metadata_path("out/a.csv"), "out/a.json");
  EXPECT_EQ(metadata_path("out/a"), "out/a.json");
}

} // namespace
} // namespace wavespec::testing
