#include "src/wal/wal_input.h"

#include <algorithm>
#include <cstring>

#include "platform/coding.h"

namespace zv::wal {

IoResult<bool> WalInput::read(uint64_t offset, size_t n, void* dst) {
  if (offset >= buf_start_ && offset + n <= buf_start_ + buf_.size()) {
    std::memcpy(dst, buf_.data() + (offset - buf_start_), n);
    return true;
  }
  if (n >= window_) {
    ZV_ASSIGN_OR_RETURN(size_t got, file_->read_at(dst, n, offset));
    return got == n;
  }
  buf_.resize(window_);
  auto got = file_->read_at(buf_.data(), window_, offset);
  if (!got.ok()) {
    buf_.clear();
    return make_unexpected(std::move(got).error());
  }
  buf_.resize(*got);
  buf_start_ = offset;
  if (*got < n) return false;
  std::memcpy(dst, buf_.data(), n);
  return true;
}

IoResult<FrameProbe> probe_frame(WalInput& in, uint64_t offset, uint64_t file_size,
                                 size_t trailer, PayloadValidator validator,
                                 std::string* payload) {
  FrameProbe probe;
  if (offset + trailer + kFrameOverhead + 1 > file_size) return probe;
  char len_buf[4];
  ZV_ASSIGN_OR_RETURN(bool have_len, in.read(offset, 4, len_buf));
  if (!have_len) return probe;
  probe.length = coding::get_u32_le(len_buf);
  const uint32_t n = probe.length;
  if (n == 0 || n > kMaxPayloadSize) {
    probe.state = FrameState::kBadLength;
    return probe;
  }
  probe.end = offset + kFrameOverhead + n + trailer;
  if (probe.end > file_size) {
    probe.state = FrameState::kTorn;
    return probe;
  }
  payload->resize(n + 4);
  ZV_ASSIGN_OR_RETURN(bool have_body, in.read(offset + 4, n + 4, payload->data()));
  if (!have_body) {  // the file shrank under us: as good as torn
    probe.state = FrameState::kTorn;
    return probe;
  }
  probe.stored_crc = coding::get_u32_le(payload->data() + n);
  payload->resize(n);
  probe.crc_ok = crc32c(payload->data(), n) == probe.stored_crc;
  const bool accepted = probe.crc_ok && payload_accepted(validator, *payload);
  probe.state = accepted ? FrameState::kValid : FrameState::kDamaged;
  return probe;
}

}  // namespace zv::wal
