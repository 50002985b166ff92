#include "platform/sysinfo.h"

#include <fcntl.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace zv {

namespace {

// Leaf 1, ECX.
constexpr uint32_t kLeaf1Fma = 1u << 12;
constexpr uint32_t kLeaf1Xsave = 1u << 26;
constexpr uint32_t kLeaf1Osxsave = 1u << 27;
constexpr uint32_t kLeaf1F16c = 1u << 29;
// Leaf 7 sub-leaf 0, EBX.
constexpr uint32_t kLeaf7Avx2 = 1u << 5;
constexpr uint32_t kLeaf7Avx512f = 1u << 16;
// XCR0 state components: SSE (1), AVX upper halves (2), opmask (5), upper
// halves of ZMM0-15 (6), ZMM16-31 (7).
constexpr uint64_t kXcr0Avx = (1u << 1) | (1u << 2);
constexpr uint64_t kXcr0Avx512 = kXcr0Avx | (1u << 5) | (1u << 6) | (1u << 7);

constexpr const char* kStatmPath = "/proc/self/statm";

}  // namespace

uint64_t logical_processor_count() {
  long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<uint64_t>(n) : 0;
}

IoResult<uint64_t> total_physical_memory_bytes() {
  struct ::sysinfo info {};
  if (::sysinfo(&info) != 0) return make_unexpected(IoError::from_errno(errno, "sysinfo"));
  uint64_t unit = info.mem_unit == 0 ? 1 : info.mem_unit;
  return static_cast<uint64_t>(info.totalram) * unit;
}

namespace {

// Field `index` of /proc/self/statm ("size resident shared text lib data dt",
// counted in pages), in bytes.
IoResult<uint64_t> statm_field_bytes(size_t index) {
  int fd = ::open(kStatmPath, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return make_unexpected(IoError::from_errno(errno, kStatmPath));
  char buf[256];
  ssize_t n;
  do {
    n = ::read(fd, buf, sizeof(buf) - 1);
  } while (n < 0 && errno == EINTR);
  int read_errno = errno;
  ::close(fd);
  if (n < 0) return make_unexpected(IoError::from_errno(read_errno, kStatmPath));
  std::string_view text(buf, static_cast<size_t>(n));
  for (size_t i = 0; i < index; ++i) {
    size_t space = text.find(' ');
    if (space == std::string_view::npos)
      return make_unexpected(IoError(IoErrorKind::kInvalidData, "malformed /proc/self/statm"));
    text.remove_prefix(space + 1);
  }
  uint64_t pages = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), pages);
  if (ec != std::errc() || end == text.data())
    return make_unexpected(IoError(IoErrorKind::kInvalidData, "malformed /proc/self/statm"));
  long page = ::sysconf(_SC_PAGESIZE);
  return pages * static_cast<uint64_t>(page > 0 ? page : 4096);
}

}  // namespace

IoResult<uint64_t> process_working_set_bytes() { return statm_field_bytes(1); }

IoResult<uint64_t> process_committed_bytes() { return statm_field_bytes(0); }

CpuidSnapshot read_cpuid() {
  CpuidSnapshot s;
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  s.max_leaf = __get_cpuid_max(0, nullptr);
  if (s.max_leaf >= 1 && __get_cpuid(1, &eax, &ebx, &ecx, &edx)) s.leaf1_ecx = ecx;
  if (s.max_leaf >= 7 && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) s.leaf7_ebx = ebx;
  // XGETBV faults unless the operating system has enabled XSAVE.
  if (s.leaf1_ecx & kLeaf1Osxsave) {
    uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    s.xcr0 = (static_cast<uint64_t>(hi) << 32) | lo;
  }
#endif
  return s;
}

CpuFeatures cpu_features_from(const CpuidSnapshot& regs) {
  CpuFeatures f;
  if (regs.max_leaf < 7) return f;
  const bool xsave = (regs.leaf1_ecx & kLeaf1Xsave) && (regs.leaf1_ecx & kLeaf1Osxsave);
  f.avx2 = xsave && (regs.leaf7_ebx & kLeaf7Avx2) && (regs.xcr0 & kXcr0Avx) == kXcr0Avx;
  f.avx512f = xsave && (regs.leaf7_ebx & kLeaf7Avx512f) && (regs.leaf1_ecx & kLeaf1Fma) &&
              (regs.leaf1_ecx & kLeaf1F16c) && (regs.xcr0 & kXcr0Avx512) == kXcr0Avx512;
  return f;
}

CpuFeatures detect_cpu_features() { return cpu_features_from(read_cpuid()); }

}  // namespace zv
