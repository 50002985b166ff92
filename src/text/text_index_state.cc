#include "src/text/text_index_state.h"

#include "platform/clock.h"
#include "src/record/binary_form.h"
#include "src/text/index_codec_error.h"
#include "src/text/state_record.h"
#include "src/text/text_stats.h"
#include "src/text/text_tokenizer.h"
#include "platform/saturating.h"

namespace zv::text {

TextIndexState TextIndexState::create(uint64_t record_count, uint64_t posting_entries,
                                      uint64_t doc_stats_entries, uint64_t term_stats_entries,
                                      uint64_t namespace_stats_entries) {
  TextIndexState s;
  s.schema_version = kTextIndexSchemaVersion;
  s.tokenizer = std::string(kTokenizerName);
  s.tokenizer_version = kTokenizerVersion;
  s.key_format = std::string(kTextKeyFormat);
  s.built_at_ms = now_ms();
  s.record_count = record_count;
  s.posting_entries = posting_entries;
  s.doc_stats_entries = doc_stats_entries;
  s.term_stats_entries = term_stats_entries;
  s.namespace_stats_entries = namespace_stats_entries;
  return s;
}

std::string TextIndexState::encode() const {
  std::string out;
  BinaryWriter w(&out);
  w.varint(schema_version);
  w.str(tokenizer);
  w.varint(tokenizer_version);
  w.str(key_format);
  w.varint(built_at_ms);
  w.varint(record_count);
  w.varint(posting_entries);
  w.varint(doc_stats_entries);
  w.varint(term_stats_entries);
  w.varint(namespace_stats_entries);
  return out;
}

ZolvaResult<TextIndexState> TextIndexState::decode(std::string_view bytes) {
  BinaryReader r(bytes);
  TextIndexState s;
  ZV_INDEX_READ(s.schema_version, r.varint_u32());
  ZV_INDEX_READ(s.tokenizer, r.str());
  ZV_INDEX_READ(s.tokenizer_version, r.varint_u32());
  ZV_INDEX_READ(s.key_format, r.str());
  ZV_INDEX_READ(s.built_at_ms, r.varint_u64());
  ZV_INDEX_READ(s.record_count, r.varint_u64());
  ZV_INDEX_READ(s.posting_entries, r.varint_u64());
  ZV_INDEX_READ(s.doc_stats_entries, r.varint_u64());
  ZV_INDEX_READ(s.term_stats_entries, r.varint_u64());
  ZV_INDEX_READ(s.namespace_stats_entries, r.varint_u64());
  return s;
}

ZolvaResult<std::optional<TextIndexState>> TextIndexState::read(StorageBackend& backend) {
  return read_state_record<TextIndexState>(backend, kTextIndexStateKey);
}

ZolvaStatus TextIndexState::write(KvService& kv, const TextIndexState& state) {
  return kv.kv_put(Partition::kInternalMetadata, kTextIndexStateKey, state.encode());
}

bool TextIndexState::is_compatible() const {
  return schema_version == kTextIndexSchemaVersion && tokenizer == kTokenizerName &&
         tokenizer_version == kTokenizerVersion && key_format == kTextKeyFormat;
}

ZolvaStatus update_text_index_state(StorageBackend& backend, KvService& kv,
                                    std::optional<uint64_t> old_postings,
                                    std::optional<uint64_t> new_postings,
                                    const TextEntryDeltas& deltas) {
  const TextStateMove move{old_postings, new_postings, deltas};
  return update_text_index_state(backend, kv, std::span<const TextStateMove>(&move, 1));
}

ZolvaStatus update_text_index_state(StorageBackend& backend, KvService& kv,
                                    std::span<const TextStateMove> moves) {
  ZV_ASSIGN_OR_RETURN(std::optional<TextIndexState> stored, TextIndexState::read(backend));
  if (!stored || !stored->is_compatible()) return {};
  TextIndexState& s = *stored;
  for (const auto& [old_postings, new_postings, deltas] : moves) {
    if (old_postings && !new_postings) s.record_count = saturating_stat_add(s.record_count, -1);
    if (!old_postings && new_postings) s.record_count = saturating_stat_add(s.record_count, 1);
    if (old_postings) s.posting_entries = sat_sub_u64(s.posting_entries, *old_postings);
    if (new_postings) s.posting_entries = sat_add_u64(s.posting_entries, *new_postings);
    s.doc_stats_entries = saturating_stat_add(s.doc_stats_entries, deltas.doc_stats_entries);
    s.term_stats_entries = saturating_stat_add(s.term_stats_entries, deltas.term_stats_entries);
    s.namespace_stats_entries =
        saturating_stat_add(s.namespace_stats_entries, deltas.namespace_stats_entries);
  }
  return TextIndexState::write(kv, s);
}

}  // namespace zv::text
