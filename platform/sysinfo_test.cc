#include "platform/sysinfo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace zv {
namespace {

constexpr uint32_t kFma = 1u << 12, kXsave = 1u << 26, kOsxsave = 1u << 27, kF16c = 1u << 29;
constexpr uint32_t kAvx2 = 1u << 5, kAvx512f = 1u << 16;
constexpr uint64_t kYmm = 0x6, kZmm = 0xE6;  // XCR0 bits 1,2 and 1,2,5,6,7
constexpr uint32_t kAll1 = kFma | kXsave | kOsxsave | kF16c;

TEST(CpuFeaturesTest, DecisionFromRegisters) {
  struct Case {
    const char* name;
    CpuidSnapshot regs;
    bool avx2, avx512f;
  } cases[] = {
      {"nothing", {0, 0, 0, 0}, false, false},
      {"everything", {13, kAll1, kAvx2 | kAvx512f, kZmm | 0x1}, true, true},
      {"max leaf below 7", {6, kAll1, kAvx2 | kAvx512f, kZmm}, false, false},
      {"avx2 only", {7, kXsave | kOsxsave, kAvx2, kYmm}, true, false},
      {"avx2 without os support", {7, kXsave | kOsxsave, kAvx2, 0x2}, false, false},
      {"avx2 without osxsave", {7, kXsave, kAvx2, kYmm}, false, false},
      {"avx2 without xsave", {7, kOsxsave, kAvx2, kYmm}, false, false},
      {"avx512 without zmm state", {7, kAll1, kAvx2 | kAvx512f, kYmm | 0x20 | 0x40}, true, false},
      {"avx512 without opmask", {7, kAll1, kAvx2 | kAvx512f, kYmm | 0x40 | 0x80}, true, false},
      {"avx512 without fma", {7, kAll1 & ~kFma, kAvx2 | kAvx512f, kZmm}, true, false},
      {"avx512 without f16c", {7, kAll1 & ~kF16c, kAvx2 | kAvx512f, kZmm}, true, false},
      {"avx512 without avx2 bit", {7, kAll1, kAvx512f, kZmm}, false, true},
  };
  for (const Case& c : cases) {
    CpuFeatures f = cpu_features_from(c.regs);
    EXPECT_EQ(f.avx2, c.avx2) << c.name;
    EXPECT_EQ(f.avx512f, c.avx512f) << c.name;
  }
}

TEST(SysinfoTest, MachineFiguresArePlausible) {
  EXPECT_GE(logical_processor_count(), 1u);
  auto mem = total_physical_memory_bytes();
  ASSERT_TRUE(mem.ok()) << mem.error().message();
  EXPECT_GE(*mem, uint64_t{64} << 20);
#if defined(__x86_64__)
  // The feature test must agree with the compiler's own probe.
  CpuFeatures f = detect_cpu_features();
  EXPECT_EQ(f.avx2, static_cast<bool>(__builtin_cpu_supports("avx2")));
  if (f.avx512f) {
    EXPECT_TRUE(__builtin_cpu_supports("avx512f"));
  }
#endif
}

TEST(SysinfoTest, WorkingSetGrowsWhenMemoryIsTouched) {
  auto before = process_working_set_bytes();
  ASSERT_TRUE(before.ok()) << before.error().message();
  EXPECT_GT(*before, 0u);
  constexpr size_t kBytes = size_t{64} << 20;
  auto block = std::make_unique<char[]>(kBytes);
  std::memset(block.get(), 1, kBytes);
  auto after = process_working_set_bytes();
  ASSERT_TRUE(after.ok());
  EXPECT_GE(*after, *before + kBytes / 2);
  EXPECT_EQ(block[kBytes - 1], 1);
}

}  // namespace
}  // namespace zv
