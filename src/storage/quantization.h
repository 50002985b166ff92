// The 8-bit form of index vectors (one signed code a component and an f32
// scale) and the summary of quantization maintenance, the flush step that
// moves cold nodes' index vectors to that form and hot ones back to full
// precision. Plain values and pure functions.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "src/vector/vector_repr.h"

namespace zv {

// What one run of quantization maintenance did.
struct QuantizationSummary {
  uint64_t examined = 0;  // candidates handled
  uint64_t quantized = 0;
  uint64_t promoted = 0;
};

// The 8-bit form: scale m = the largest |x[i]| (1.0 when below 2^-23 or the
// vector is empty), code[i] = x[i] * 127 / m rounded half away from zero and
// clamped to -127..127.
Sq8Code quantize_sq8(std::span<const float> x);

}  // namespace zv
