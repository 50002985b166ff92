// The stored forms of a keyspace's per-level policies and scalar options, as
// kept in the meta keyspace: word policies (count byte, 4-byte little-endian
// elements), byte policies (count byte, one byte each), the filter policy and
// one-byte values, with their encoders and decoders. Decoders ignore trailing
// bytes and report damaged values as errors, never by stopping. Pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "morva/src/error.h"
#include "tervik/config/policy.h"
#include "tervik/config/tree_config.h"

namespace morva {

inline constexpr std::string_view kOptionsLogTarget = "morva::meta_keyspace";

// Messages of damaged stored policies; each comes with Unrecoverable.
inline constexpr const char* kEmptyPolicyMessage = "compression policy may not be empty";
inline constexpr const char* kShortPinningMessage = "cannot fail";
inline constexpr const char* kUnknownFilterKindMessage = "unknown bloom filter policy type: ";
inline constexpr const char* kUnknownFilterTagMessage = "unknown filter policy tag: ";

// Encoders. A policy holds 1 to 255 entries; anything else is a broken invariant.
std::string encode_word_policy(const tervik::BlockSizePolicy& p);
std::string encode_word_policy(const tervik::HashRatioPolicy& p);
std::string encode_byte_policy(const tervik::RestartIntervalPolicy& p);
std::string encode_byte_policy(const tervik::CompressionPolicy& p);
std::string encode_byte_policy(const tervik::PinningPolicy& p);
std::string encode_filter_policy(const tervik::FilterPolicy& p);
std::string encode_byte(uint8_t b);
std::string encode_flag(bool b);
std::string encode_u32(uint32_t v);
std::string encode_u64(uint64_t v);
std::string encode_f32(float v);

// Decoders. A value that ends early is Io "failed to fill whole buffer"
// (Storage holding that I/O error inside a compression list); a count of 0, an
// unknown filter tag or kind and a short pinning value are Unrecoverable.
MorvaResult<tervik::BlockSizePolicy> decode_block_size_policy(std::string_view v);
MorvaResult<tervik::HashRatioPolicy> decode_hash_ratio_policy(std::string_view v);
MorvaResult<tervik::RestartIntervalPolicy> decode_restart_interval_policy(std::string_view v);
MorvaResult<tervik::CompressionPolicy> decode_compression_policy(std::string_view v);
MorvaResult<tervik::PinningPolicy> decode_pinning_policy(std::string_view v);
MorvaResult<tervik::FilterPolicy> decode_filter_policy(std::string_view v);

// Scalar values: the first bytes of the value; a shorter value is Io.
MorvaResult<uint8_t> decode_u8(std::string_view v);
MorvaResult<uint32_t> decode_u32(std::string_view v);
MorvaResult<uint64_t> decode_u64(std::string_view v);
MorvaResult<float> decode_f32(std::string_view v);
// A compression byte: empty is Storage(Io), a byte above 1 Storage(InvalidTag).
MorvaResult<tervik::CompressionType> decode_compression_type(std::string_view v);
// True exactly for the single byte 0x01.
bool decode_flag(std::string_view v);

// The I/O error of a value that ends early.
MorvaError short_value_error();
// Logs `message` at error level under the options target and returns
// Unrecoverable: the answer to stored bytes this engine never writes.
MorvaError damaged_options(std::string_view message, std::string_view target = kOptionsLogTarget);

}  // namespace morva
