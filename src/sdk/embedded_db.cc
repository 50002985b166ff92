#include "src/sdk/embedded_db.h"

#include <utility>

#include "platform/log.h"
#include "src/runtime/hardware.h"
#include "src/sdk/index_check.h"

namespace zv {

namespace {

constexpr std::string_view kLogTarget = "zolva::sdk";

}  // namespace

EmbeddedDb::EmbeddedDb(Config config, std::shared_ptr<EngineSlot> slot,
                       std::shared_ptr<std::mutex> supersede_lock,
                       std::shared_ptr<AuditLog> audit_log)
    : config_(std::move(config)),
      slot_(std::move(slot)),
      supersede_lock_(std::move(supersede_lock)),
      audit_log_(std::move(audit_log)) {}

ZolvaResult<EmbeddedDb> EmbeddedDb::open_with_config(Config config, const EngineOpenSeams& seams) {
  log::Span span("open_with_config");
  const Config a = std::move(config);
  init_global_prefetch_mode(a.prefetch);
  auto slot = std::make_shared<EngineSlot>();
  {
    auto engine = StorageEngine::open(a.storage_path, a, seams);
    if (!engine.ok()) {
      ZV_ERROR(kLogTarget, "open_with_config failed", {"error", engine.error().message()});
      return make_unexpected(std::move(engine).error());
    }
    slot->engine = std::move(engine).value();
  }
  EmbeddedDb db(a, std::move(slot), std::make_shared<std::mutex>(), open_configured_audit_log(a));
  if (!a.read_only) {
    ZolvaStatus checked = ensure_derived_indexes(db);
    if (!checked.ok()) {
      ZV_ERROR(kLogTarget, "open_with_config failed", {"error", checked.error().message()});
      // The only references to the engine and the audit log go with the
      // handle: the engine is released and the audit file closed here.
      { EmbeddedDb dropped = std::move(db); }
      return make_unexpected(std::move(checked).error());
    }
  }
  return db;
}

ZolvaResult<std::shared_ptr<StorageEngine>> EmbeddedDb::engine() const {
  std::shared_lock lock(slot_->mu);
  if (!slot_->engine) return make_unexpected(ZolvaError::not_initialized());
  return slot_->engine;
}

ZolvaStatus EmbeddedDb::ensure_writable() const {
  if (!config_.read_only) return {};
  return make_unexpected(ZolvaError::validation(std::string(kReadOnlyHandleField),
                                                std::string(kReadOnlyHandleReason)));
}

ZolvaStatus EmbeddedDb::flush() const {
  log::Span span("flush");
  ZolvaStatus result = [&]() -> ZolvaStatus {
    ZV_TRY(ensure_writable());
    ZV_ASSIGN_OR_RETURN(std::shared_ptr<StorageEngine> engine, this->engine());
    return engine->flush();
  }();
  if (!result.ok()) ZV_ERROR(kLogTarget, "flush failed", {"error", result.error().message()});
  return result;
}

ZolvaStatus EmbeddedDb::close() const {
  log::Span span("close");
  ZolvaStatus flushed = flush();
  if (!flushed.ok()) ZV_WARN(kLogTarget, "flush failed: " + flushed.error().message());
  std::unique_lock lock(slot_->mu);
  // Dropped under the lock: when this is the last reference, the engine's
  // teardown runs before any engine() caller gets past the lock.
  slot_->engine.reset();
  return {};
}

void EmbeddedDb::record_audit(const AuditRecord& record) const {
  zv::record_audit(audit_log_.get(), record);
}

}  // namespace zv
