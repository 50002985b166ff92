#include "src/record/float_text.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <limits>

namespace zv {
namespace {

// The 32-bit forms use the float's own shortest digits, not those of its
// widened double (0.1f widens to 0.100000001490116...).
TEST(FloatTextF32, ShortestDigitsOfTheFloatItself) {
  struct Case {
    float v;
    const char* display;
    const char* debug;
  } cases[] = {
      {0.1f, "0.1", "0.1"},
      {0.3f, "0.3", "0.3"},
      {1e-7f, "0.0000001", "1e-7"},
      {1e-4f, "0.0001", "0.0001"},
      {9.9e-5f, "0.000099", "9.9e-5"},
      {1e16f, "10000000000000000", "1e16"},
      {9.9e15f, "9900000000000000", "9900000000000000.0"},
      {1.0f, "1", "1.0"},
      {-0.0f, "-0", "-0.0"},
      {FLT_MAX, "340282350000000000000000000000000000000", "3.4028235e38"},
      {std::numeric_limits<float>::denorm_min(), "0.000000000000000000000000000000000000000000001", "1e-45"},
      {std::numeric_limits<float>::quiet_NaN(), "NaN", "NaN"},
      {-std::numeric_limits<float>::infinity(), "-inf", "-inf"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(float_display_f32(c.v), c.display);
    EXPECT_EQ(float_debug_f32(c.v), c.debug);
  }
  EXPECT_EQ(float_display(0.1), "0.1");
}

}  // namespace
}  // namespace zv
