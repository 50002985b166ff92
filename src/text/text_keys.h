// Key layouts of the text index in the text-index partition: postings
// (namespace 0x00 token 0x00 record key) and the three statistics keys, which
// begin with a 15-byte marker no posting key can start with (0xFF). Builders,
// the two statistics key parsers and the namespace test the audits use. Pure
// functions, thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "src/record/kv_service.h"
#include "src/text/key_limit.h"

namespace zv::text {

// 0xFF, "zolva_text_v3", 0x00.
inline constexpr std::string_view kStatsMarker{"\xFFzolva_text_v3\0", 15};
// Marker, "term", 0x00 (20 bytes); marker, "ns", 0x00 (18 bytes); marker,
// "doc", 0x00 (19 bytes).
inline constexpr std::string_view kTermStatsPrefix{"\xFFzolva_text_v3\0term\0", kTermStatsPrefixBytes};
inline constexpr std::string_view kNamespaceStatsPrefix{"\xFFzolva_text_v3\0ns\0", 18};
inline constexpr std::string_view kDocStatsPrefix{"\xFFzolva_text_v3\0doc\0", 19};

std::string posting_key(std::string_view ns, std::string_view token, std::string_view record_key);
// Namespace, 0x00, token, 0x00: a prefix scan lists the token's postings in
// record-key order.
std::string posting_prefix(std::string_view ns, std::string_view token);
std::string doc_stats_key(std::string_view ns, std::string_view record_key);
std::string term_stats_key(std::string_view ns, std::string_view token);
std::string namespace_stats_key(std::string_view ns);

// (namespace, token) of a term-statistics key; none for any other key or
// for parts that are not UTF-8 (a warning event names the part).
std::optional<std::pair<std::string, std::string>> parse_term_stats_key(std::string_view key);
// The namespace of a namespace-statistics key; none otherwise.
std::optional<std::string> parse_namespace_stats_key(std::string_view key);

// Whether a text-index key belongs to the namespace: a posting of it, or one
// of its term, document or namespace statistics. "a" owns nothing of "ab".
bool key_in_namespace(std::string_view key, std::string_view ns);

// One delete of the posting of every distinct index token of the payload,
// in token order (the old payload is tokenized again; the index is not read).
// Tokens too long to index (token_fits) have no posting and get no delete.
std::vector<BatchOp> posting_delete_ops(std::string_view ns, std::string_view record_key,
                                        std::string_view payload);

}  // namespace zv::text
