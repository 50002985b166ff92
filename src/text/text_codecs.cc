#include "src/text/text_codecs.h"

#include "src/record/binary_form.h"
#include "src/text/index_codec_error.h"

namespace zv::text {

void append_text_posting(std::string* out, NodeId node_id, uint32_t term_frequency,
                         std::span<const uint32_t> positions) {
  coding::put_varint_u128(out, node_id);
  coding::put_varint(out, term_frequency);
  coding::put_varint(out, positions.size());
  for (uint32_t p : positions) coding::put_varint(out, p);
}

std::string encode_text_posting(NodeId node_id, uint32_t term_frequency,
                                const std::vector<uint32_t>& positions) {
  // Room for the longest id and counts, and small positions.
  std::string out;
  out.reserve(29 + positions.size() * 2);
  append_text_posting(&out, node_id, term_frequency, positions);
  return out;
}

std::string encode_doc_stats(NodeId node_id, uint32_t doc_len) {
  std::string out;
  coding::put_varint_u128(&out, node_id);
  coding::put_varint(&out, doc_len);
  return out;
}

std::string encode_term_stats(uint64_t df) {
  std::string out;
  coding::put_varint(&out, df);
  return out;
}

std::string encode_namespace_stats(uint64_t doc_count, uint64_t total_doc_len) {
  std::string out;
  coding::put_varint(&out, doc_count);
  coding::put_varint(&out, total_doc_len);
  return out;
}

ZolvaResult<TextPosting> decode_text_posting(std::string_view bytes, bool keep_positions) {
  BinaryReader r(bytes);
  TextPosting p;
  ZV_INDEX_DECODE(p.node_id, r.varint_u128(), kPostingLabel);
  ZV_INDEX_DECODE(p.term_frequency, r.varint_u32(), kPostingLabel);
  ZV_INDEX_DECODE(uint64_t count, r.count(), kPostingLabel);
  // Never trust the count: nothing is reserved when fewer bytes remain.
  if (keep_positions) p.positions.reserve(r.reserve_hint(count, kPositionReserveCap));
  for (uint64_t i = 0; i < count; ++i) {
    ZV_INDEX_DECODE(uint32_t pos, r.varint_u32(), kPostingLabel);
    if (keep_positions) p.positions.push_back(pos);
  }
  return p;
}

ZolvaResult<TextDocStats> decode_doc_stats(std::string_view bytes) {
  BinaryReader r(bytes);
  TextDocStats s;
  ZV_INDEX_DECODE(s.node_id, r.varint_u128(), kDocStatsLabel);
  ZV_INDEX_DECODE(s.doc_len, r.varint_u32(), kDocStatsLabel);
  return s;
}

ZolvaResult<TextTermStats> decode_term_stats(std::string_view bytes) {
  BinaryReader r(bytes);
  TextTermStats s;
  ZV_INDEX_DECODE(s.df, r.varint_u64(), kTermStatsLabel);
  return s;
}

ZolvaResult<TextNamespaceStats> decode_namespace_stats(std::string_view bytes) {
  BinaryReader r(bytes);
  TextNamespaceStats s;
  ZV_INDEX_DECODE(s.doc_count, r.varint_u64(), kNamespaceStatsLabel);
  ZV_INDEX_DECODE(s.total_doc_len, r.varint_u64(), kNamespaceStatsLabel);
  return s;
}

}  // namespace zv::text
