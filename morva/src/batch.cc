#include "morva/src/batch.h"

#include <set>

#include "morva/src/db.h"
#include "morva/src/lock.h"
#include "platform/log.h"
#include "platform/panic.h"

namespace morva {
namespace {

constexpr const char* kLogTarget = "morva::batch";

}  // namespace

MorvaResult<BatchItem> BatchItem::new_item(Keyspace keyspace, std::string_view key, std::string_view value,
                                           tervik::ValueType value_type) {
  ZV_TRY(check_write_lengths(key.size(), value.size()));
  return BatchItem{std::move(keyspace), std::string(key), std::string(value), value_type};
}

Batch& Batch::add(MorvaResult<BatchItem> item) {
  if (!item.ok()) {
    if (!refused_) refused_ = std::move(item).error();
  } else {
    items_.push_back(std::move(item).value());
  }
  return *this;
}

Batch& Batch::insert(const Keyspace& keyspace, std::string_view key, std::string_view value) {
  return add(BatchItem::new_item(keyspace, key, value, tervik::ValueType::kValue));
}

Batch& Batch::remove(const Keyspace& keyspace, std::string_view key) {
  return add(BatchItem::new_item(keyspace, key, {}, tervik::ValueType::kTombstone));
}

Batch& Batch::remove_weak(const Keyspace& keyspace, std::string_view key) {
  return add(BatchItem::new_item(keyspace, key, {}, tervik::ValueType::kWeakTombstone));
}

MorvaStatus Batch::commit() {
  if (refused_) {
    MorvaError e = std::move(*refused_);
    refused_.reset();
    items_.clear();
    return zv::make_unexpected(std::move(e));
  }
  const std::vector<BatchItem> items = std::move(items_);
  items_.clear();
  if (items.empty()) return {};
  DatabaseState& db = *db_;
  WorkerContext& ctx = *db.ctx;
  uint64_t batch_size = 0;
  // Keyed by name: the rotation and stall checks run once per keyspace.
  std::map<std::string_view, const Keyspace*> touched;
  {
    ZV_LOG(zv::log::Level::kTrace, kLogTarget, "batch: Acquiring journal writer");
    ZV_ASSIGN_OR_RETURN(Journal::Locked writer, ctx.journal->lock());
    if (db.poisoned->load()) return zv::make_unexpected(MorvaError::poisoned());
    const tervik::SeqNo seqno = ctx.seqno.next();
    std::vector<JournalWriteItem> journal_items;
    journal_items.reserve(items.size());
    for (const BatchItem& item : items) {
      journal_items.push_back(JournalWriteItem{item.keyspace.id(), item.key, item.value, item.value_type});
    }
    if (auto w = writer->write_batch(journal_items, seqno); !w.ok()) {
      ZV_ERROR(kLogTarget, kPersistFailedMessage + w.error().debug_string());
      db.poisoned->store(true);
      return zv::make_unexpected(std::move(w).error());
    }
    if (auto st = writer->persist(durability_); !st.ok()) {
      ZV_ERROR(kLogTarget, kPersistFailedMessage + st.error().debug_string());
      db.poisoned->store(true);
      return zv::make_unexpected(std::move(st).error());
    }
    auto map_guard = read_unpoisoned(ctx.keyspaces->lock);
    ZV_LOG(zv::log::Level::kTrace, kLogTarget,
           "Applying batch (size=" + std::to_string(items.size()) + ") to memtable(s)");
    for (const BatchItem& item : items) {
      const tervik::Tree& tree = item.keyspace.tree().index();
      std::pair<uint64_t, uint64_t> sizes;
      switch (item.value_type) {
        case tervik::ValueType::kValue:
          sizes = tree.append_entry(
              tervik::InternalValue::new_value(tervik::Slice(item.key), tervik::Slice(item.value), seqno));
          break;
        case tervik::ValueType::kTombstone: sizes = tree.remove(item.key, seqno); break;
        case tervik::ValueType::kWeakTombstone: sizes = tree.remove_weak(item.key, seqno); break;
        default: zv::panic("internal error: entered unreachable code");
      }
      batch_size += sizes.first;
      touched.emplace(item.keyspace.name(), &item.keyspace);
    }
    ctx.visible_seqno.raise_to(seqno + 1);
    ZV_LOG(zv::log::Level::kTrace, kLogTarget, "batch: Freed journal writer");
  }
  ctx.write_buffer_size->fetch_add(batch_size);
  for (const auto& [name, keyspace] : touched) {
    keyspace->after_write(keyspace->tree().index().active_memtable()->size());
  }
  return {};
}

}  // namespace morva
