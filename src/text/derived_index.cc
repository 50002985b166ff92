#include "src/text/derived_index.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <algorithm>

#include "platform/clock.h"
#include "src/record/binary_form.h"
#include "src/record/node_key.h"
#include "src/text/index_codec_error.h"
#include "src/text/state_record.h"
#include "src/text/text_stats.h"

namespace zv::text {

namespace {

std::string datetime_micros_text(const DateTime& t) {
  const DateTime::Civil c = t.civil();
  char buf[64];
  const char* sign = "";
  int64_t year = c.year;
  if (year < 0 || year > 9999) {
    sign = year < 0 ? "-" : "+";
    year = year < 0 ? -year : year;
  }
  std::snprintf(buf, sizeof(buf), "%s%04" PRId64 "-%02u-%02uT%02u:%02u:%02u.%06uZ", sign, year,
                c.month, c.day, c.hour, c.minute, c.second, c.nanos / 1000);
  return buf;
}

// Calls fn(key) for every payload-index key of the record within the key
// limit, in field order then list order (repeats included); counts the rest.
template <class Fn>
ZolvaStatus for_each_payload_key(const MemoryRecord& r, uint64_t* skipped, Fn&& fn) {
  for (const auto& [field, value] : r.metadata) {
    for (const FieldValue& scalar : value.index_scalars()) {
      ZV_ASSIGN_OR_RETURN(std::string key, scalar_index_key(r.ns, field, scalar));
      if (key.size() + r.key.size() > kMaxIndexKeyBytes) {
        if (skipped != nullptr) ++*skipped;
        continue;
      }
      key.append(r.key);
      fn(std::move(key));
    }
  }
  return {};
}

template <class MakeOp>
ZolvaStatus append_derived_ops(const MemoryRecord& r, uint64_t* skipped, MakeOp make,
                               std::vector<BatchOp>* out) {
  const std::string id = node_key(r.node_id);
  out->push_back(make(Partition::kNamespaceIndex, namespace_index_key(r.ns, r.key), id));
  return for_each_payload_key(r, skipped, [&](std::string key) {
    out->push_back(make(Partition::kPayloadIndex, std::move(key), id));
  });
}

template <class MakeOp>
ZolvaResult<std::vector<BatchOp>> derived_ops(const MemoryRecord& r, uint64_t* skipped,
                                              MakeOp make) {
  std::vector<BatchOp> ops;
  ZV_TRY(append_derived_ops(r, skipped, make, &ops));
  return ops;
}

BatchOp make_put(Partition p, std::string key, const std::string& id) {
  return BatchOp::put(p, std::move(key), id);
}

}  // namespace

std::string namespace_index_key(std::string_view ns, std::string_view record_key) {
  std::string out;
  out.reserve(ns.size() + 1 + record_key.size());
  out.append(ns);
  out.push_back('\0');
  out.append(record_key);
  return out;
}

ZolvaResult<std::string> scalar_index_value_text(const FieldValue& value) {
  switch (value.kind()) {
    case FieldKind::kString:
      return "s:" + *value.if_string();
    case FieldKind::kInt:
      return "i:" + std::to_string(*value.if_int());
    case FieldKind::kFloat: {
      uint64_t bits;
      const double d = *value.if_float();
      std::memcpy(&bits, &d, sizeof(bits));
      char buf[20];
      std::snprintf(buf, sizeof(buf), "f:%016" PRIx64, bits);
      return std::string(buf);
    }
    case FieldKind::kBool:
      return std::string(*value.if_bool() ? "b:1" : "b:0");
    case FieldKind::kDateTime:
      return "d:" + datetime_micros_text(*value.if_date_time());
    case FieldKind::kNull:
      return std::string("n:");
    default:
      return make_unexpected(
          ZolvaError::validation("value", "Cannot encode list value as scalar index key"));
  }
}

ZolvaResult<std::string> scalar_index_key(std::string_view ns, std::string_view field,
                                          const FieldValue& value) {
  ZV_ASSIGN_OR_RETURN(std::string text, scalar_index_value_text(value));
  std::string out;
  out.reserve(ns.size() + field.size() + text.size() + 3);
  out.append(ns);
  out.push_back('\0');
  out.append(field);
  out.push_back('\0');
  out.append(text);
  out.push_back('\0');
  return out;
}

ZolvaResult<std::vector<BatchOp>> derived_index_put_ops(const MemoryRecord& record,
                                                        uint64_t* skipped) {
  return derived_ops(record, skipped, make_put);
}

ZolvaStatus append_derived_index_put_ops(const MemoryRecord& record, std::vector<BatchOp>* out,
                                         uint64_t* skipped) {
  return append_derived_ops(record, skipped, make_put, out);
}

ZolvaResult<std::vector<BatchOp>> derived_index_delete_ops(const MemoryRecord& record) {
  return derived_ops(record, nullptr, [](Partition p, std::string key, const std::string&) {
    return BatchOp::del(p, std::move(key));
  });
}

uint64_t payload_entry_count(const MemoryRecord& record) {
  std::vector<std::string> keys;
  (void)for_each_payload_key(record, nullptr, [&](std::string key) { keys.push_back(std::move(key)); });
  std::sort(keys.begin(), keys.end());
  return static_cast<uint64_t>(std::unique(keys.begin(), keys.end()) - keys.begin());
}

uint64_t payload_entry_count(std::span<const BatchOp> record_ops) {
  std::vector<std::string_view> keys;
  keys.reserve(record_ops.size());
  for (const BatchOp& op : record_ops) {
    if (op.partition == Partition::kPayloadIndex) keys.push_back(op.key);
  }
  std::sort(keys.begin(), keys.end());
  return static_cast<uint64_t>(std::unique(keys.begin(), keys.end()) - keys.begin());
}

DerivedIndexState DerivedIndexState::create(uint64_t record_count, uint64_t namespace_entries,
                                            uint64_t payload_entries) {
  return DerivedIndexState{kDerivedIndexSchemaVersion, now_ms(), record_count, namespace_entries,
                           payload_entries};
}

std::string DerivedIndexState::encode() const {
  std::string out;
  BinaryWriter w(&out);
  w.varint(schema_version);
  w.varint(built_at_ms);
  w.varint(record_count);
  w.varint(namespace_entries);
  w.varint(payload_entries);
  return out;
}

ZolvaResult<DerivedIndexState> DerivedIndexState::decode(std::string_view bytes) {
  BinaryReader r(bytes);
  DerivedIndexState s;
  ZV_INDEX_READ(s.schema_version, r.varint_u32());
  ZV_INDEX_READ(s.built_at_ms, r.varint_u64());
  ZV_INDEX_READ(s.record_count, r.varint_u64());
  ZV_INDEX_READ(s.namespace_entries, r.varint_u64());
  ZV_INDEX_READ(s.payload_entries, r.varint_u64());
  return s;
}

ZolvaResult<std::optional<DerivedIndexState>> DerivedIndexState::read(StorageBackend& backend) {
  return read_state_record<DerivedIndexState>(backend, kDerivedIndexStateKey);
}

ZolvaStatus DerivedIndexState::write(KvService& kv, const DerivedIndexState& state) {
  return kv.kv_put(Partition::kInternalMetadata, kDerivedIndexStateKey, state.encode());
}

ZolvaStatus update_derived_index_state(StorageBackend& backend, KvService& kv,
                                       const MemoryRecord* old_record,
                                       const MemoryRecord* new_record) {
  const RecordPair change{old_record, new_record};
  return update_derived_index_state(backend, kv, std::span<const RecordPair>(&change, 1));
}

ZolvaStatus update_derived_index_state(StorageBackend& backend, KvService& kv,
                                       std::span<const RecordPair> changes) {
  ZV_ASSIGN_OR_RETURN(std::optional<DerivedIndexState> stored, DerivedIndexState::read(backend));
  if (!stored || stored->schema_version != kDerivedIndexSchemaVersion) return {};
  DerivedIndexState& s = *stored;
  for (const auto& [old_record, new_record] : changes) {
    const int64_t records = (new_record ? 1 : 0) - (old_record ? 1 : 0);
    s.record_count = saturating_stat_add(s.record_count, records);
    s.namespace_entries = saturating_stat_add(s.namespace_entries, records);
    if (old_record) {
      s.payload_entries = saturating_stat_add(
          s.payload_entries, -static_cast<int64_t>(payload_entry_count(*old_record)));
    }
    if (new_record) {
      s.payload_entries = saturating_stat_add(
          s.payload_entries, static_cast<int64_t>(payload_entry_count(*new_record)));
    }
  }
  return DerivedIndexState::write(kv, s);
}

}  // namespace zv::text
