// get, del and put of EmbeddedDb, and the small rules they share.
#include "src/sdk/memory.h"

#include <utility>

#include "platform/log.h"
#include "platform/saturating.h"
#include "platform/utf8.h"
#include "src/record/node_codec.h"
#include "src/record/node_key.h"
#include "src/record/version_history.h"
#include "src/sdk/embedded_db.h"
#include "src/sdk/provenance.h"
#include "src/sdk/record_index.h"
#include "src/storage/shred_record.h"

namespace zv {

namespace memory {

std::optional<uint64_t> effective_ttl_ms(const std::map<std::string, uint64_t>& defaults,
                                         std::string_view ns, std::optional<uint64_t> ttl_ms) {
  if (ttl_ms) return ttl_ms;
  auto it = defaults.find(std::string(ns));
  if (it == defaults.end()) return std::nullopt;
  return it->second;
}

ZolvaResult<uint64_t> resolve_valid_at_ms(std::optional<uint64_t> valid_at_ms,
                                          uint64_t created_at_ms) {
  if (!valid_at_ms) return created_at_ms;
  if (*valid_at_ms == 0) {
    return make_unexpected(
        ZolvaError::validation(std::string(kFieldValidAt), std::string(kValidAtZero)));
  }
  return *valid_at_ms;
}

namespace {

bool value_is_utf8(const FieldValue& v) {
  if (const std::string* text = v.if_string()) return is_valid_utf8(*text);
  if (const std::vector<std::string>* list = v.if_list_string()) {
    for (const std::string& text : *list) {
      if (!is_valid_utf8(text)) return false;
    }
  }
  return true;
}

ZolvaError not_utf8(std::string_view field, std::string_view reason) {
  return ZolvaError::validation(std::string(field), std::string(reason));
}

}  // namespace

ZolvaStatus validate_text_encoding(const MemoryInput& input) {
  if (!is_valid_utf8(input.key)) return make_unexpected(not_utf8(kFieldKey, kKeyNotUtf8));
  if (!is_valid_utf8(input.payload)) {
    return make_unexpected(not_utf8(kFieldPayload, kPayloadNotUtf8));
  }
  for (const auto& [name, value] : input.metadata) {
    if (!is_valid_utf8(name) || !value_is_utf8(value)) {
      return make_unexpected(not_utf8(kFieldMetadata, kMetadataNotUtf8));
    }
  }
  return {};
}

QuarantineState quarantine_state_of(const MemoryRecord& record) {
  return QuarantineState{record.quarantined_at_ms, record.quarantine_review_due_ms,
                         record.quarantine_reason, record.quarantined_by};
}

void apply_quarantine_state(MemoryRecord& record, QuarantineState state) {
  record.quarantined_at_ms = state.quarantined_at_ms;
  record.quarantine_review_due_ms = state.quarantine_review_due_ms;
  record.quarantine_reason = std::move(state.quarantine_reason);
  record.quarantined_by = std::move(state.quarantined_by);
}

namespace {

std::optional<uint64_t> positive_int(const FieldMap& fields, std::string_view name) {
  auto it = fields.find(name);
  if (it == fields.end()) return std::nullopt;
  const int64_t* v = it->second.if_int();
  if (v == nullptr || *v <= 0) return std::nullopt;
  return static_cast<uint64_t>(*v);
}

}  // namespace

ZolvaResult<std::optional<QuarantineState>> read_quarantine_state(StorageEngine& engine,
                                                                  NodeId id) {
  ZV_ASSIGN_OR_RETURN(std::optional<std::string> stored,
                      engine.backend->get(Partition::kDefault, node_key(id)));
  if (!stored) return std::optional<QuarantineState>();
  ZolvaResult<NodeMetadata> meta = decode_node_metadata(*stored);
  if (!meta.ok()) return std::optional<QuarantineState>();
  const FieldMap& fields = meta->fields;
  std::optional<uint64_t> at = positive_int(fields, kZolvaQuarantinedAt);
  if (!at) return std::optional<QuarantineState>();
  return std::optional<QuarantineState>(
      QuarantineState{at, positive_int(fields, kZolvaQuarantineReviewDue),
                      metadata_string(fields, kZolvaQuarantineReason),
                      metadata_string(fields, kZolvaQuarantinedBy)});
}

}  // namespace memory

namespace {

constexpr std::string_view kLogTarget = "zolva::sdk";
constexpr std::string_view kDeleteReason = "memory delete";
constexpr std::string_view kOpPut = "put";
constexpr std::string_view kOpDelete = "delete";
constexpr std::string_view kOpQuarantineEnter = "quarantine_enter";
constexpr std::string_view kOutcomeOk = "ok";
constexpr std::string_view kOutcomeErr = "err";
// Where a put pauses, when a test asks, between its read of the stored
// record and the rest of its work.
constexpr std::string_view kPutReadStep = "put: existing record read";

// The record stored under the id for a reader: none when nothing is stored,
// the node holds no live memory record, or the record has expired; a record
// of another namespace or key is a collision.
ZolvaResult<std::optional<MemoryRecord>> lookup(StorageEngine& engine, std::string_view ns,
                                                std::string_view key, NodeId id) {
  ZV_ASSIGN_OR_RETURN(std::optional<EngineNode> node, engine.get(id));
  if (!node) return std::optional<MemoryRecord>();
  std::optional<MemoryRecord> record = MemoryRecord::from_node(*node, /*exclude_expired=*/true);
  if (!record) return std::optional<MemoryRecord>();
  if (record->ns != ns || record->key != key) {
    return make_unexpected(ZolvaError::node_id_collision(id));
  }
  return record;
}

void log_failure(const ZolvaError& error) {
  ZV_ERROR(kLogTarget, "operation failed", {"error", error.message()});
}

}  // namespace

ZolvaResult<std::optional<MemoryRecord>> EmbeddedDb::get(std::string_view ns,
                                                         std::string_view key) const {
  log::Span span("get", {{"namespace", std::string(ns)}, {"key", std::string(key)}});
  auto result = [&]() -> ZolvaResult<std::optional<MemoryRecord>> {
    ZV_TRY(validate_namespace(ns));
    ZV_TRY(validate_key(key));
    const NodeId id = record_node_id(ns, key);
    ZV_ASSIGN_OR_RETURN(std::shared_ptr<StorageEngine> engine, this->engine());
    return lookup(*engine, ns, key, id);
  }();
  if (!result.ok()) log_failure(result.error());
  return result;
}

ZolvaResult<bool> EmbeddedDb::del(std::string_view ns, std::string_view key) const {
  log::Span span("delete", {{"namespace", std::string(ns)}, {"key", std::string(key)}});
  auto result = [&]() -> ZolvaResult<bool> {
    ZV_TRY(ensure_writable());
    ZV_TRY(validate_namespace(ns));
    ZV_TRY(validate_key(key));
    const NodeId id = record_node_id(ns, key);
    ZV_ASSIGN_OR_RETURN(std::shared_ptr<StorageEngine> engine, this->engine());
    // From the lookup to the history removal: a put of the key cannot slip
    // between them and leave entries (or a record) the delete removed.
    text::RecordWriteGuard guard(engine->index_locks, id);
    ZV_ASSIGN_OR_RETURN(std::optional<MemoryRecord> old, lookup(*engine, ns, key, id));
    if (!old) return false;
    ZolvaStatus deleted = engine->delete_node(id, kDeleteReason);
    if (deleted.ok()) {
      ZolvaStatus changed = apply_record_change(*engine, &*old, nullptr);
      if (!changed.ok()) {
        engine->index_locks.repair_mark.set();
        return make_unexpected(std::move(changed).error());
      }
      (void)delete_versions(*engine, ns, key);
    }
    record_audit(AuditRecord::create(kOpDelete, ns, key, deleted.ok() ? kOutcomeOk : kOutcomeErr,
                                     std::string(kDeleteReason)));
    if (!deleted.ok()) return make_unexpected(std::move(deleted).error());
    return true;
  }();
  if (!result.ok()) log_failure(result.error());
  return result;
}

ZolvaResult<MemoryRecord> EmbeddedDb::put(MemoryInput input) const {
  log::Span span("put");
  const std::string audit_ns = input.ns;
  const std::string audit_key = input.key;
  bool quarantined_anew = false;
  auto result = [&]() -> ZolvaResult<MemoryRecord> {
    ZV_TRY(ensure_writable());
    ZV_TRY(validate_namespace(input.ns));
    ZV_TRY(validate_key(input.key));
    ZV_TRY(validate_metadata_keys(&input.metadata));
    ZV_TRY(memory::validate_text_encoding(input));
    ZV_ASSIGN_OR_RETURN(std::shared_ptr<StorageEngine> engine, this->engine());
    const NodeId id = record_node_id(input.ns, input.key);

    // Held from the read of the stored record to the end of the index
    // update, so two puts of one key store consecutive versions and each
    // record change starts from the record it replaces.
    text::RecordWriteGuard guard(engine->index_locks, id);
    ZV_ASSIGN_OR_RETURN(std::optional<EngineNode> node, engine->get(id));
    std::optional<MemoryRecord> existing;
    if (node) {
      existing = MemoryRecord::from_node(*node, /*exclude_expired=*/true);
      if (!existing || existing->ns != input.ns || existing->key != input.key) {
        return make_unexpected(ZolvaError::node_id_collision(id));
      }
    }
    if (engine->maintenance_seams.at_step) engine->maintenance_seams.at_step(kPutReadStep);
    const uint64_t now = record_now_ms();

    MemoryRecord record;
    record.created_at_ms = existing ? existing->created_at_ms : now;
    record.version = existing ? memory::next_version(existing->version) : 1;
    if (std::optional<uint64_t> ttl =
            memory::effective_ttl_ms(config_.memory_default_ttl_ms, input.ns, input.ttl_ms)) {
      record.expires_at_ms = sat_add_u64(now, *ttl);
    }
    ZV_ASSIGN_OR_RETURN(memory::Provenance provenance, memory::resolve_provenance(*this, input));
    ZV_ASSIGN_OR_RETURN(record.valid_at_ms,
                        memory::resolve_valid_at_ms(input.valid_at_ms, record.created_at_ms));
    memory::QuarantineState quarantine =
        existing ? memory::quarantine_state_of(*existing) : memory::QuarantineState{};
    if (input.quarantine && !quarantine.quarantined_at_ms) {
      quarantined_anew = true;
      quarantine.quarantined_at_ms = now;
      quarantine.quarantine_reason = std::string(memory::kExplicitWriteReason);
      quarantine.quarantined_by = std::string(memory::kPutQuarantineAuthor);
      const uint32_t days = config_.quarantine_review_default_days;
      if (days != 0) quarantine.quarantine_review_due_ms = sat_add_u64(now, sat_mul_u64(days, memory::kMsPerDay));
    }

    record.ns = std::move(input.ns);
    record.key = std::move(input.key);
    record.payload = std::move(input.payload);
    record.metadata = std::move(input.metadata);
    record.updated_at_ms = now;
    record.node_id = id;
    record.vector = nonzero_vector(std::move(input.vector));
    record.sparse_vector = std::move(input.sparse_vector);
    record.confidence_class = provenance.confidence_class;
    record.confidence = provenance.confidence;
    record.derived_from = std::move(provenance.derived_from);
    memory::apply_quarantine_state(record, std::move(quarantine));

    ZV_TRY(engine->insert(record.into_node()));
    if (!record.metadata.empty()) (void)shred_record::put(id, record.metadata, *engine->backend);
    (void)record_version(*engine, record, config_.version_history_limit);
    ZolvaStatus changed = apply_record_change(*engine, existing ? &*existing : nullptr, &record);
    if (!changed.ok()) {
      engine->index_locks.repair_mark.set();
      return make_unexpected(std::move(changed).error());
    }
    return record;
  }();
  if (result.ok() && quarantined_anew) {
    record_audit(AuditRecord::create(kOpQuarantineEnter, result->ns, result->key, kOutcomeOk,
                                     std::string(memory::kExplicitWriteReason)));
  }
  if (!result.ok()) log_failure(result.error());
  record_audit(AuditRecord::create(kOpPut, audit_ns, audit_key,
                                   result.ok() ? kOutcomeOk : kOutcomeErr, std::nullopt));
  return result;
}

}  // namespace zv
