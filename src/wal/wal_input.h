// Positioned reads of a log file through a read-ahead window, and the test of
// one candidate frame, shared by the record reader and the valid-end scan
// (through FrameScanner): resynchronising after damage tests a candidate at
// every byte offset, and the window turns those tests into memory reads.
// Single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file_system.h"
#include "src/wal/wal_format.h"

namespace zv::wal {

class WalInput {
 public:
  WalInput(FsFile* file, size_t window) : file_(file), window_(window < 16 ? 16 : window) {}

  // Reads exactly n bytes at offset into dst. False when the file ends first;
  // an error for any other failure.
  IoResult<bool> read(uint64_t offset, size_t n, void* dst);
  // Drops the window (the file may have changed).
  void discard() { buf_.clear(); }

 private:
  FsFile* file_;
  size_t window_;
  std::string buf_;
  uint64_t buf_start_ = 0;
};

// What lies at one offset of a file of a given size.
enum class FrameState : uint8_t {
  kValid,      // a whole frame whose CRC matches and whose payload is accepted
  kShort,      // less than the smallest frame is left before the end
  kBadLength,  // the length field is 0 or above kMaxPayloadSize
  kTorn,       // the length is in range but the frame runs past the end
  kDamaged,    // the frame lies inside the file but fails its CRC or check
};

struct FrameProbe {
  FrameState state = FrameState::kShort;
  uint32_t length = 0;      // the length field (0 for kShort)
  uint64_t end = 0;         // offset just after the frame (kValid, kDamaged)
  bool crc_ok = false;      // kValid, kDamaged
  uint32_t stored_crc = 0;  // kValid, kDamaged
};

// Classifies the frame at offset; on kValid and kDamaged *payload holds the
// payload. An I/O failure other than the end of the file is an error.
IoResult<FrameProbe> probe_frame(WalInput& in, uint64_t offset, uint64_t file_size,
                                 size_t trailer, PayloadValidator validator,
                                 std::string* payload);

}  // namespace zv::wal
