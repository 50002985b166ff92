// The text index state record under "text_index_state" in the internal
// metadata partition: schema, tokenizer and key layout of the index and the
// counts of its entries, and the per-record count update. A plain value; its
// reads and writes go through the backend and KvService given, which are
// thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "src/backends/storage_backend.h"
#include "src/foundation/error.h"
#include "src/record/kv_service.h"

namespace zv::text {

inline constexpr std::string_view kTextIndexStateKey = "text_index_state";
inline constexpr uint32_t kTextIndexSchemaVersion = 3;
// 21 characters: each \0 is a backslash and a zero digit, not a NUL byte.
inline constexpr std::string_view kTextKeyFormat = "namespace\\0token\\0key";

struct TextIndexState {
  uint32_t schema_version = kTextIndexSchemaVersion;
  std::string tokenizer;
  uint32_t tokenizer_version = 0;
  std::string key_format;
  uint64_t built_at_ms = 0;
  uint64_t record_count = 0;
  uint64_t posting_entries = 0;
  uint64_t doc_stats_entries = 0;
  uint64_t term_stats_entries = 0;
  uint64_t namespace_stats_entries = 0;

  bool operator==(const TextIndexState&) const = default;

  // A fresh state of the current layout, built now.
  static TextIndexState create(uint64_t record_count, uint64_t posting_entries,
                               uint64_t doc_stats_entries, uint64_t term_stats_entries,
                               uint64_t namespace_stats_entries);

  std::string encode() const;
  // Serialization with the reader's text (no label) when it does not decode.
  static ZolvaResult<TextIndexState> decode(std::string_view bytes);

  // None when no state is stored.
  static ZolvaResult<std::optional<TextIndexState>> read(StorageBackend& backend);
  // Through kv_put, so a read-only database refuses it.
  static ZolvaStatus write(KvService& kv, const TextIndexState& state);

  // Schema 3, this tokenizer and version, this key format; counts and build
  // time play no part.
  bool is_compatible() const;
};

// The five counts of the text index: records and the entries of each kind.
struct TextIndexCounts {
  uint64_t record_count = 0;
  uint64_t posting_entries = 0;
  uint64_t doc_stats_entries = 0;
  uint64_t term_stats_entries = 0;
  uint64_t namespace_stats_entries = 0;
};

// The entry deltas of one record change besides its postings.
struct TextEntryDeltas {
  int64_t doc_stats_entries = 0;
  int64_t term_stats_entries = 0;
  int64_t namespace_stats_entries = 0;
};

// Moves the stored counts for one record change: the old record's posting
// count (none for an insert), the new record's (none for a delete), each the
// number of its distinct indexed tokens. Writes nothing when no state is
// stored or it is incompatible; every count saturates.
ZolvaStatus update_text_index_state(StorageBackend& backend, KvService& kv,
                                    std::optional<uint64_t> old_postings,
                                    std::optional<uint64_t> new_postings,
                                    const TextEntryDeltas& deltas);

// The count moves of one record change, as the update above takes them.
struct TextStateMove {
  std::optional<uint64_t> old_postings;
  std::optional<uint64_t> new_postings;
  TextEntryDeltas deltas;
};

// The same for several changes: one read, each move in list order (so
// saturation acts as it would change by change), one write.
ZolvaStatus update_text_index_state(StorageBackend& backend, KvService& kv,
                                    std::span<const TextStateMove> moves);

}  // namespace zv::text
