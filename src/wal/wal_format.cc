#include "src/wal/wal_format.h"

#include <cstdio>

#include "platform/clock.h"
#include "platform/coding.h"
#include "platform/log.h"

namespace zv::wal {
namespace {

constexpr const char* kLogTarget = "zolva::wal";
constexpr const char* kBadSizeTemplate = "Invalid WAL header size: expected %zu, got %zu";
constexpr const char* kNewerSerializerWarning =
    "WAL records were written with a newer serializer version and may fail to decode";
constexpr const char* kTooLargeField = "wal_record";
constexpr const char* kTooLargeTemplate =
    "record payload of %zu bytes is too large for the write-ahead log (limit %u bytes)";

Magic magic_bytes(uint32_t magic) {
  return {static_cast<uint8_t>(magic), static_cast<uint8_t>(magic >> 8),
          static_cast<uint8_t>(magic >> 16), static_cast<uint8_t>(magic >> 24)};
}

uint32_t magic_word(const Magic& m) { return coding::get_u32_le(m.data()); }

// %#x prints plain 0 for zero; the log's messages always carry the prefix.
std::string hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "0x%x", v);
  return buf;
}

}  // namespace

WalHeader WalHeader::make(uint16_t format_version) {
  WalHeader h;
  h.magic = magic_word(kWalMagic);
  h.format_version = format_version;
  h.serializer_version = kSerializerVersion;
  h.created_at_ms = now_ms();
  std::string bytes = h.encode();
  h.crc = crc32c(bytes.data(), 16);
  return h;
}

std::string WalHeader::encode() const {
  std::string out;
  out.reserve(kHeaderSize);
  coding::put_u32_le(&out, magic);
  coding::put_u16_le(&out, format_version);
  coding::put_u16_le(&out, serializer_version);
  coding::put_u64_le(&out, created_at_ms);
  coding::put_u32_le(&out, crc);
  return out;
}

ZolvaResult<WalHeader> WalHeader::validate(std::string_view bytes) {
  if (bytes.size() != kHeaderSize) {
    char buf[96];
    std::snprintf(buf, sizeof(buf), kBadSizeTemplate, kHeaderSize, bytes.size());
    return make_unexpected(ZolvaError::wal(buf));
  }
  WalHeader h;
  h.magic = coding::get_u32_le(bytes.data());
  h.format_version = coding::get_u16_le(bytes.data() + 4);
  h.serializer_version = coding::get_u16_le(bytes.data() + 6);
  h.created_at_ms = coding::get_u64_le(bytes.data() + 8);
  h.crc = coding::get_u32_le(bytes.data() + 16);
  const Magic found = magic_bytes(h.magic);
  if (found != kWalMagic) {
    return make_unexpected(ZolvaError::incompatible_format(
        kWalMagic, kCurrentFormatVersion, found, h.format_version,
        std::string(kWalFormatLabel) + ": expected magic " + magic_byte_list(kWalMagic) +
            ", found " + magic_byte_list(found)));
  }
  if (h.format_version > kCurrentFormatVersion) {
    return make_unexpected(ZolvaError::incompatible_format(
        kWalMagic, kCurrentFormatVersion, found, h.format_version,
        std::string(kWalFormatLabel) + ": file version " + std::to_string(h.format_version) +
            " is newer than this software (max " + std::to_string(kCurrentFormatVersion) +
            ")"));
  }
  if (h.format_version == 0) {
    return make_unexpected(
        ZolvaError::wal_version_mismatch(kCurrentFormatVersion, 0, kVersionZeroHint));
  }
  const uint32_t computed = crc32c(bytes.data(), 16);
  if (computed != h.crc) {
    return make_unexpected(ZolvaError::wal("WAL header CRC mismatch: stored=" + hex(h.crc) +
                                           ", computed=" + hex(computed)));
  }
  if (h.serializer_version > kSerializerVersion) {
    ZV_WARN(kLogTarget, kNewerSerializerWarning,
            {"serializer_version", std::to_string(h.serializer_version)});
  }
  return h;
}

void append_frame(std::string* out, std::string_view payload, uint16_t format_version,
                  ChainValue* chain, Sha256Hasher* hasher) {
  const size_t start = out->size();
  const uint32_t crc = crc32c(payload.data(), payload.size());
  coding::put_u32_le(out, static_cast<uint32_t>(payload.size()));
  out->append(payload);
  coding::put_u32_le(out, crc);
  if (format_version < kChainFormatVersion) return;
  hasher->update(chain->data(), chain->size());
  hasher->update(out->data() + start, out->size() - start);
  const ChainValue hash = hasher->finish();
  out->append(reinterpret_cast<const char*>(chain->data()), chain->size());
  out->append(reinterpret_cast<const char*>(hash.data()), hash.size());
  *chain = hash;
}

ZolvaError payload_too_large(size_t size) {
  char buf[160];
  std::snprintf(buf, sizeof(buf), kTooLargeTemplate, size, kMaxPayloadSize);
  return ZolvaError::validation(kTooLargeField, buf);
}

}  // namespace zv::wal
