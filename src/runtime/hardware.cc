#include "src/runtime/hardware.h"

#include <string>

#include "platform/log.h"

namespace zv {

namespace {

constexpr const char* kTarget = "zolva::hardware";
constexpr uint64_t kEnterpriseMemory = uint64_t{16} << 30;
constexpr uint64_t kLowResourceMemory = uint64_t{4} << 30;

uint32_t level_bonus(SimdLevel level) {
  switch (level) {
    case SimdLevel::kAvx512: return 10;
    case SimdLevel::kAvx2: return 5;
    case SimdLevel::kScalar: return 1;
  }
  return 1;
}

PrefetchModeCell& global_prefetch_cell() {
  static PrefetchModeCell cell;
  return cell;
}

}  // namespace

const char* simd_level_name(SimdLevel level) {
  switch (level) {
    case SimdLevel::kAvx512: return "Avx512";
    case SimdLevel::kAvx2: return "Avx2";
    case SimdLevel::kScalar: return "Scalar";
  }
  return "?";
}

const char* hardware_profile_name(HardwareProfile profile) {
  switch (profile) {
    case HardwareProfile::kEnterprise: return "Enterprise";
    case HardwareProfile::kPerformance: return "Performance";
    case HardwareProfile::kLowResource: return "LowResource";
  }
  return "?";
}

SimdLevel simd_level_from(const CpuFeatures& features) {
  if (features.avx512f) return SimdLevel::kAvx512;
  if (features.avx2) return SimdLevel::kAvx2;
  return SimdLevel::kScalar;
}

HardwareProfile classify_profile(SimdLevel level, uint64_t total_memory_bytes) {
  if (level == SimdLevel::kAvx512 && total_memory_bytes >= kEnterpriseMemory)
    return HardwareProfile::kEnterprise;
  if (level == SimdLevel::kScalar || total_memory_bytes < kLowResourceMemory)
    return HardwareProfile::kLowResource;
  return HardwareProfile::kPerformance;
}

uint32_t hardware_score(uint64_t logical_cores, uint64_t total_memory_bytes, SimdLevel level) {
  // Twice the whole GiB: the memory shifted by 29 with its lowest bit cleared.
  uint64_t memory_term = (total_memory_bytes >> 29) & ~uint64_t{1};
  return static_cast<uint32_t>(logical_cores) + static_cast<uint32_t>(memory_term) + level_bonus(level);
}

HardwareCapabilities HardwareCapabilities::from_measurements(uint64_t processors,
                                                             std::optional<uint64_t> memory_bytes,
                                                             SimdLevel level) {
  HardwareCapabilities c;
  c.simd_level = level;
  c.logical_cores = processors == 0 ? 1 : processors;
  c.total_memory_bytes = memory_bytes.value_or(kFallbackMemoryBytes);
  c.profile = classify_profile(level, c.total_memory_bytes);
  c.score = hardware_score(c.logical_cores, c.total_memory_bytes, level);
  return c;
}

HardwareCapabilities HardwareCapabilities::detect() {
  SimdLevel level = simd_level_from(detect_cpu_features());
  auto memory = total_physical_memory_bytes();
  HardwareCapabilities c = from_measurements(
      logical_processor_count(), memory.ok() ? std::optional<uint64_t>(*memory) : std::nullopt, level);
  ZV_LOG(log::Level::kInfo, kTarget,
         std::string("Hardware Profile: ") + hardware_profile_name(c.profile) +
             " | Cores: " + std::to_string(c.logical_cores) +
             " | RAM: " + std::to_string(c.total_memory_bytes >> 30) +
             "GB | Score: " + std::to_string(c.score));
  return c;
}

const HardwareCapabilities& HardwareCapabilities::init_global() {
  static const HardwareCapabilities caps = detect();
  return caps;
}

bool PrefetchModeCell::init(PrefetchMode mode) {
  uint8_t expected = kUnset;
  return mode_.compare_exchange_strong(expected, static_cast<uint8_t>(mode), std::memory_order_acq_rel,
                                       std::memory_order_acquire);
}

std::optional<PrefetchMode> PrefetchModeCell::get() const {
  uint8_t v = mode_.load(std::memory_order_acquire);
  if (v == kUnset) return std::nullopt;
  return static_cast<PrefetchMode>(v);
}

void init_global_prefetch_mode(PrefetchMode mode) { global_prefetch_cell().init(mode); }

PrefetchMode current_prefetch_mode() {
  if (auto stored = global_prefetch_cell().get()) return *stored;
  return Config::from_env().prefetch;
}

}  // namespace zv
