#include "src/wal/wal_reader.h"

#include <algorithm>
#include <cstdio>

#include "platform/coding.h"
#include "platform/log.h"

namespace zv::wal {
namespace {

constexpr const char* kLogTarget = "zolva::wal";
constexpr const char* kScanEvent =
    "WalReader detected corrupt record. Scanning forward to recover next valid transaction...";
constexpr const char* kRecoveredEvent =
    "Scan-forward bypassed corrupt bytes and recovered next transaction.";

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

WalReader::WalReader(std::unique_ptr<FsFile> file, size_t trailer, size_t buffer_size,
                     PayloadValidator validator)
    : file_(std::move(file)), in_(file_.get(), buffer_size), trailer_(trailer),
      validator_(validator) {}

ZolvaResult<WalReader> WalReader::open(FileSystem& fs, const std::string& path,
                                       size_t buffer_size, PayloadValidator validator) {
  ZV_ASSIGN_OR_RETURN(auto file, fs.open(path, FsOpenMode::kRead));
  std::string header(kHeaderSize, '\0');
  ZV_TRY(read_exact_at(*file, header.data(), kHeaderSize, 0));
  ZV_ASSIGN_OR_RETURN(WalHeader h, WalHeader::validate(header));
  return WalReader(std::move(file), trailer_size(h.format_version), buffer_size, validator);
}

ZolvaResult<bool> WalReader::next(std::string* payload) {
  ZV_ASSIGN_OR_RETURN(const uint64_t size, file_->size());
  for (;;) {
    if (pos_ >= size) return false;
    char len_buf[4];
    ZV_ASSIGN_OR_RETURN(bool have_len, in_.read(pos_, 4, len_buf));
    if (!have_len) return false;
    const uint32_t n = coding::get_u32_le(len_buf);
    if (n == 0 || n > kMaxPayloadSize || pos_ + n + kFrameOverhead + trailer_ > size) {
      ZV_WARN(kLogTarget,
              "WAL: Bounds check failed for record at pos " + std::to_string(pos_) +
                  ": len=" + std::to_string(n) + ", file_len=" + std::to_string(size));
    } else {
      payload->resize(n + 4);
      ZV_ASSIGN_OR_RETURN(bool have_body, in_.read(pos_ + 4, n + 4, payload->data()));
      if (!have_body) {
        ZV_WARN(kLogTarget,
                "WAL: Failed to read payload of len " + std::to_string(n) + " at pos " +
                    std::to_string(pos_));
      } else {
        const uint32_t stored = coding::get_u32_le(payload->data() + n);
        payload->resize(n);
        const uint32_t computed = crc32c(payload->data(), n);
        const bool crc_ok = stored == computed;
        const bool deser_ok = payload_accepted(validator_, *payload);
        const bool decodes = crc_ok && deser_ok;
        bool trailer_ok = true;
        if (decodes && trailer_ != 0) {
          char trailer[kChainTrailerSize];
          ZV_ASSIGN_OR_RETURN(trailer_ok, in_.read(pos_ + 4 + n + 4, trailer_, trailer));
        }
        if (decodes && trailer_ok) {
          pos_ += n + kFrameOverhead + trailer_;
          ++records_read_;
          return true;
        }
        if (!decodes) {
          char crcs[64];
          std::snprintf(crcs, sizeof(crcs), "(stored=0x%x, computed=0x%x)", stored, computed);
          ZV_WARN(kLogTarget,
                  "WAL record at current_pos=" + std::to_string(pos_) + " is invalid. len=" +
                      std::to_string(n) + ", is_crc_valid=" + (crc_ok ? "true" : "false") +
                      " " + crcs + ", is_deser_ok=" + (deser_ok ? "true" : "false") +
                      ", deser_err=" + (deser_ok ? "none" : "payload does not decode") +
                      ", payload_prefix=" +
                      hex_prefix(*payload));
        }
      }
    }
    ZV_ASSIGN_OR_RETURN(bool found, scan_forward(size));
    if (!found) {
      pos_ = size;
      return false;
    }
  }
}

ZolvaResult<bool> WalReader::scan_forward(uint64_t size) {
  ZV_WARN(kLogTarget, kScanEvent);
  std::string scratch;
  for (uint64_t c = pos_; c + trailer_ + kFrameOverhead + 1 <= size;) {
    ++c;
    ZV_ASSIGN_OR_RETURN(uint32_t n,
                        valid_record_at(in_, c, size, trailer_, validator_, &scratch));
    if (n == 0) continue;
    ZV_WARN(kLogTarget, kRecoveredEvent, {"corrupt_bytes_skipped", std::to_string(c - pos_)},
            {"recovered_offset", std::to_string(c)});
    pos_ = c;
    return true;
  }
  return false;
}

}  // namespace zv::wal
