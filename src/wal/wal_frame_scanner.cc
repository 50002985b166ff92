#include "src/wal/wal_frame_scanner.h"

#include <algorithm>
#include <cstdio>

#include "platform/log.h"

namespace zv::wal {
namespace {

constexpr const char* kLogTarget = "zolva::wal";
constexpr const char* kScanEvent =
    "Corrupt record detected in WAL. Entering Scan-Forward mode to locate next valid "
    "transaction...";
constexpr const char* kRecoveredEvent =
    "Scan-forward bypassed corrupt bytes and recovered next transaction.";
constexpr const char* kSkippedEvent =
    "Damaged WAL record skipped; the next record starts where its length says";
constexpr const char* kTornEvent = "Torn WAL record at the end of the file";

std::string hex_prefix(std::string_view payload) {
  std::string out;
  char b[4];
  for (size_t i = 0; i < std::min<size_t>(payload.size(), 16); ++i) {
    std::snprintf(b, sizeof(b), "%02x", static_cast<uint8_t>(payload[i]));
    out += b;
  }
  return out;
}

}  // namespace

FrameScanner::FrameScanner(FsFile* file, size_t window, size_t trailer,
                           PayloadValidator validator, std::string label)
    : in_(file, window), trailer_(trailer), validator_(validator), label_(std::move(label)) {}

void FrameScanner::warn_damaged(const FrameProbe& probe, uint64_t file_size,
                                const std::string& payload) {
  if (probe.state == FrameState::kBadLength) {
    ZV_WARN(kLogTarget,
            "WAL: Bounds check failed for record at pos " + std::to_string(pos_) +
                ": len=" + std::to_string(probe.length) + ", file_len=" +
                std::to_string(file_size),
            {"path", label_});
    return;
  }
  char crcs[64];
  std::snprintf(crcs, sizeof(crcs), "(stored=0x%x)", probe.stored_crc);
  ZV_WARN(kLogTarget,
          "WAL record at current_pos=" + std::to_string(pos_) + " is invalid. len=" +
              std::to_string(probe.length) + ", is_crc_valid=" +
              (probe.crc_ok ? "true " : "false ") + crcs +
              ", is_deser_ok=" + (probe.crc_ok ? "false" : "unknown") +
              ", payload_prefix=" + hex_prefix(payload),
          {"path", label_});
}

IoResult<bool> FrameScanner::next(uint64_t file_size, std::string* payload) {
  for (;;) {
    if (pos_ >= file_size) return false;
    ZV_ASSIGN_OR_RETURN(FrameProbe probe,
                        probe_frame(in_, pos_, file_size, trailer_, validator_, payload));
    switch (probe.state) {
      case FrameState::kValid:
        pos_ = probe.end;
        ++slots_;
        counted_end_ = record_end_ = pos_;
        return true;
      case FrameState::kShort:
        return false;
      case FrameState::kTorn:
        ZV_WARN(kLogTarget, kTornEvent, {"path", label_}, {"offset", std::to_string(pos_)},
                {"len", std::to_string(probe.length)},
                {"file_len", std::to_string(file_size)});
        return false;
      case FrameState::kDamaged: {
        warn_damaged(probe, file_size, *payload);
        if (probe.end == file_size) {
          ++slots_;
          pos_ = counted_end_ = probe.end;
          return false;
        }
        ZV_ASSIGN_OR_RETURN(FrameProbe after, probe_frame(in_, probe.end, file_size, trailer_,
                                                          validator_, &scratch_));
        if (after.state == FrameState::kValid) {
          ZV_WARN(kLogTarget, kSkippedEvent, {"path", label_}, {"offset", std::to_string(pos_)},
                  {"next_offset", std::to_string(probe.end)});
          ++slots_;
          pos_ = counted_end_ = probe.end;
          continue;
        }
        break;
      }
      case FrameState::kBadLength:
        warn_damaged(probe, file_size, *payload);
        break;
    }
    // The frame's own length cannot be trusted: search byte by byte.
    ZV_ASSIGN_OR_RETURN(std::optional<uint64_t> found, resync(file_size));
    if (!found) return false;
    if (!uncertain_from_) uncertain_from_ = pos_;
    ++slots_;
    pos_ = *found;
  }
}

IoResult<std::optional<uint64_t>> FrameScanner::resync(uint64_t file_size) {
  ZV_WARN(kLogTarget, kScanEvent, {"path", label_}, {"offset", std::to_string(pos_)});
  for (uint64_t c = pos_ + 1; c + trailer_ + kFrameOverhead + 1 <= file_size; ++c) {
    ZV_ASSIGN_OR_RETURN(FrameProbe probe,
                        probe_frame(in_, c, file_size, trailer_, validator_, &scratch_));
    if (probe.state != FrameState::kValid) continue;
    ZV_WARN(kLogTarget, kRecoveredEvent, {"corrupt_bytes_skipped", std::to_string(c - pos_)},
            {"recovered_offset", std::to_string(c)});
    return std::optional<uint64_t>(c);
  }
  return std::optional<uint64_t>();
}

}  // namespace zv::wal
