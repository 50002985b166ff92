#include "tervik/blob/blob_entry.h"

#include <cstring>

#include "platform/checksum.h"
#include "platform/coding.h"
#include "platform/file.h"

namespace tervik {

void BlobEntryHeader::encode_to(char out[kBlobEntryHeaderSize]) const {
  std::memcpy(out, kBlobEntryMagic.data(), kBlobEntryMagic.size());
  std::string sum;
  checksum.encode_to(&sum);
  std::memcpy(out + kBlobChecksumOffset, sum.data(), Checksum::kEncodedSize);
  std::string fixed;
  zv::coding::put_u64_le(&fixed, seqno);
  zv::coding::put_u16_le(&fixed, key_length);
  zv::coding::put_u32_le(&fixed, value_length);
  zv::coding::put_u32_le(&fixed, stored_length);
  std::memcpy(out + kBlobSeqNoOffset, fixed.data(), fixed.size());
}

BlobEntryHeader BlobEntryHeader::decode(const char* in) {
  BlobEntryHeader h;
  h.checksum = Checksum::decode(reinterpret_cast<const uint8_t*>(in + kBlobChecksumOffset));
  h.seqno = zv::coding::get_u64_le(in + kBlobSeqNoOffset);
  h.key_length = zv::coding::get_u16_le(in + kBlobKeyLengthOffset);
  h.value_length = zv::coding::get_u32_le(in + kBlobValueLengthOffset);
  h.stored_length = zv::coding::get_u32_le(in + kBlobStoredLengthOffset);
  return h;
}

TervikResult<BlobEntryHeader> BlobEntryHeader::parse(std::string_view bytes) {
  if (bytes.size() < kBlobEntryMagic.size()) return zv::make_unexpected(TervikError::short_read());
  if (bytes.substr(0, kBlobEntryMagic.size()) != kBlobEntryMagic) {
    return zv::make_unexpected(TervikError::invalid_header(kBlobHeaderName));
  }
  if (bytes.size() < kBlobEntryHeaderSize) return zv::make_unexpected(TervikError::short_read());
  return decode(bytes.data());
}

Checksum blob_entry_checksum(std::string_view key, std::string_view stored) {
  zv::Xxh3Hasher128 hasher;
  hasher.update(key);
  hasher.update(stored);
  return Checksum(hasher.digest());
}

}  // namespace tervik
