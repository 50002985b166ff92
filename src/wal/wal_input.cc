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

IoResult<uint32_t> valid_record_at(WalInput& in, uint64_t offset, uint64_t file_size,
                                   size_t trailer, PayloadValidator validator,
                                   std::string* payload) {
  if (offset + trailer + kFrameOverhead > file_size) return 0u;
  char len_buf[4];
  ZV_ASSIGN_OR_RETURN(bool have_len, in.read(offset, 4, len_buf));
  if (!have_len) return 0u;
  const uint32_t n = coding::get_u32_le(len_buf);
  if (n == 0 || n > kMaxPayloadSize || offset + trailer + kFrameOverhead + n > file_size)
    return 0u;
  payload->resize(n + 4);
  ZV_ASSIGN_OR_RETURN(bool have_body, in.read(offset + 4, n + 4, payload->data()));
  if (!have_body) return 0u;
  const uint32_t stored = coding::get_u32_le(payload->data() + n);
  payload->resize(n);
  if (crc32c(payload->data(), n) != stored) return 0u;
  if (!payload_accepted(validator, *payload)) return 0u;
  return n;
}

}  // namespace zv::wal
