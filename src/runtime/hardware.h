// What this process knows about the machine: processors, memory, the usable
// vector instruction level, the machine class and a rough score, detected once
// per process and then read without locks; plus the process-wide prefetch
// mode, set once by the first database opened. Safe from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "platform/sysinfo.h"
#include "src/runtime/config.h"

namespace zv {

// Best first. kAvx512: AVX-512 Foundation usable (with FMA, F16C and OS
// register-state support); kAvx2: AVX2 usable but not AVX-512F; kScalar:
// neither (the 4-lane baseline every x86-64 has).
enum class SimdLevel : uint8_t { kAvx512 = 0, kAvx2 = 1, kScalar = 2 };

enum class HardwareProfile : uint8_t { kEnterprise = 0, kPerformance = 1, kLowResource = 2 };

const char* simd_level_name(SimdLevel level);            // "Avx512", "Avx2", "Scalar"
const char* hardware_profile_name(HardwareProfile profile);  // "Enterprise", ...

SimdLevel simd_level_from(const CpuFeatures& features);
// Enterprise: Avx512 with at least 16 GiB; LowResource: Scalar or under
// 4 GiB; otherwise Performance.
HardwareProfile classify_profile(SimdLevel level, uint64_t total_memory_bytes);
// cores + 2 * whole GiB + level bonus (10, 5, 1), in wrapping 32-bit arithmetic.
uint32_t hardware_score(uint64_t logical_cores, uint64_t total_memory_bytes, SimdLevel level);

struct HardwareCapabilities {
  static constexpr uint64_t kFallbackMemoryBytes = uint64_t{1} << 30;

  uint64_t logical_cores = 1;
  uint64_t total_memory_bytes = kFallbackMemoryBytes;
  uint32_t score = 0;
  SimdLevel simd_level = SimdLevel::kScalar;
  HardwareProfile profile = HardwareProfile::kLowResource;

  // Queries the machine and emits the start-up info event.
  static HardwareCapabilities detect();
  // The record for given measurements: a processor count of 0 counts as 1, a
  // failed memory query (nullopt) as 1 GiB.
  static HardwareCapabilities from_measurements(uint64_t processors,
                                                std::optional<uint64_t> memory_bytes,
                                                SimdLevel level);
  // The process-wide record, detected on first call.
  static const HardwareCapabilities& init_global();

  bool operator==(const HardwareCapabilities&) const = default;
};

// A prefetch mode that can be set once; later sets are ignored.
class PrefetchModeCell {
 public:
  // Stores the mode unless one is stored already; true when this call stored.
  bool init(PrefetchMode mode);
  std::optional<PrefetchMode> get() const;

 private:
  static constexpr uint8_t kUnset = 0xFF;
  std::atomic<uint8_t> mode_{kUnset};
};

// The process-wide prefetch cell: set by the first database opened.
void init_global_prefetch_mode(PrefetchMode mode);
// The stored mode; while none is stored, the mode the environment gives now
// (read afresh on every call, nothing stored).
PrefetchMode current_prefetch_mode();
// False only for Disabled.
inline bool prefetch_allowed(PrefetchMode mode) { return mode != PrefetchMode::kDisabled; }

}  // namespace zv
