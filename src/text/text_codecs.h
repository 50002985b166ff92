// Value codecs of the text index entries in the compact binary form (LEB128
// varints, fields in order): the posting, the document, term and namespace
// statistics. A decoder fails with Serialization "{label} decode error:
// {reader text}" and never returns a partial record; bytes after the last
// field are ignored. Pure functions, thread-safe.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/foundation/error.h"
#include "src/foundation/node_id.h"

namespace zv::text {

inline constexpr std::string_view kPostingLabel = "text posting";
inline constexpr std::string_view kDocStatsLabel = "text doc stats";
inline constexpr std::string_view kTermStatsLabel = "text term stats";
inline constexpr std::string_view kNamespaceStatsLabel = "text namespace stats";

// At most this many positions are reserved before they are read.
inline constexpr size_t kPositionReserveCap = 262144;

struct TextPosting {
  NodeId node_id = 0;
  uint32_t term_frequency = 0;
  std::vector<uint32_t> positions;
  bool operator==(const TextPosting&) const = default;
};

struct TextDocStats {
  NodeId node_id = 0;
  uint32_t doc_len = 0;
  bool operator==(const TextDocStats&) const = default;
};

struct TextTermStats {
  uint64_t df = 0;
  bool operator==(const TextTermStats&) const = default;
};

struct TextNamespaceStats {
  uint64_t doc_count = 0;
  uint64_t total_doc_len = 0;
  bool operator==(const TextNamespaceStats&) const = default;
};

// The encoders cannot fail with an in-memory buffer; they return the bytes.
std::string encode_text_posting(NodeId node_id, uint32_t term_frequency,
                                const std::vector<uint32_t>& positions);
// Appends to *out (a reused buffer on hot paths).
void append_text_posting(std::string* out, NodeId node_id, uint32_t term_frequency,
                         std::span<const uint32_t> positions);
std::string encode_doc_stats(NodeId node_id, uint32_t doc_len);
std::string encode_term_stats(uint64_t df);
std::string encode_namespace_stats(uint64_t doc_count, uint64_t total_doc_len);

// Without `keep_positions` the positions are still read (an unreadable one
// fails the same way) but not stored, and `positions` stays empty.
ZolvaResult<TextPosting> decode_text_posting(std::string_view bytes, bool keep_positions = true);
ZolvaResult<TextDocStats> decode_doc_stats(std::string_view bytes);
ZolvaResult<TextTermStats> decode_term_stats(std::string_view bytes);
ZolvaResult<TextNamespaceStats> decode_namespace_stats(std::string_view bytes);

}  // namespace zv::text
