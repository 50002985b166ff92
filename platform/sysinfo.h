// What the machine and this process look like: logical processor count, the
// processor's wide vector features (with operating-system support of their
// register state), total physical memory and the process's working set. Used
// by the hardware profile, the configuration defaults and the memory
// governor. Every function is safe to call from any thread.
#pragma once

#include <cstdint>

#include "platform/io_error.h"

namespace zv {

// Logical processors online; 0 when the operating system does not say.
uint64_t logical_processor_count();

// Total physical memory in bytes.
IoResult<uint64_t> total_physical_memory_bytes();

// Bytes of this process currently resident in physical memory.
IoResult<uint64_t> process_working_set_bytes();
// Bytes of address space this process has committed (its whole virtual size:
// every mapping it holds, resident or not).
IoResult<uint64_t> process_committed_bytes();

// The raw processor registers the feature decision reads. All zero where the
// processor cannot be asked (not x86-64) or a leaf is missing; xcr0 is zero
// unless the operating system enables XSAVE (OSXSAVE).
struct CpuidSnapshot {
  uint32_t max_leaf = 0;
  uint32_t leaf1_ecx = 0;
  uint32_t leaf7_ebx = 0;
  uint64_t xcr0 = 0;
};

// Wide vector features usable by this process: the processor has them and
// the operating system saves their registers across context switches.
struct CpuFeatures {
  bool avx2 = false;
  // AVX-512 Foundation together with FMA and F16C.
  bool avx512f = false;
};

CpuidSnapshot read_cpuid();
CpuFeatures cpu_features_from(const CpuidSnapshot& regs);
// read_cpuid then cpu_features_from.
CpuFeatures detect_cpu_features();

}  // namespace zv
