#include "morva/src/journal/replay.h"

#include "morva/src/db.h"
#include "morva/src/lock.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/panic.h"

namespace morva {
namespace {

using zv::log::Level;
constexpr const char* kLogTarget = "morva::journal::replay";

MorvaStatus apply_item(const Keyspace& keyspace, const JournalBatchItem& item, tervik::SeqNo seqno) {
  const tervik::Tree& tree = keyspace.tree().index();
  switch (item.value_type) {
    case tervik::ValueType::kValue:
      tree.append_entry(tervik::InternalValue::new_value(tervik::Slice(item.key), tervik::Slice(item.value), seqno));
      return {};
    case tervik::ValueType::kTombstone: tree.remove(item.key, seqno); return {};
    case tervik::ValueType::kWeakTombstone: tree.remove_weak(item.key, seqno); return {};
    default: break;
  }
  ZV_ERROR(kLogTarget, "Journal item of keyspace " + keyspace.name() + " at seqno " + std::to_string(seqno) +
                           " has value type " + std::to_string(static_cast<int>(item.value_type)) +
                           ", which no writer journals");
  return zv::make_unexpected(MorvaError::unrecoverable());
}

template <class Visit>
MorvaStatus for_each_batch(JournalBatchReader& reader, Visit visit) {
  for (;;) {
    ZV_ASSIGN_OR_RETURN(std::optional<JournalBatch> batch, reader.next());
    if (!batch) return {};
    ZV_TRY(visit(*batch));
  }
}

}  // namespace

MorvaResult<const Keyspace*> KeyspaceResolver::resolve(uint64_t id) {
  auto it = known_.find(id);
  if (it == known_.end()) {
    std::optional<Keyspace> keyspace;
    ZV_ASSIGN_OR_RETURN(std::optional<std::string> name, db_.meta.get_keyspace_name(id));
    if (name) {
      if (auto found = db_.keyspaces->map.find(*name); found != db_.keyspaces->map.end()) keyspace = found->second;
    }
    it = known_.emplace(id, std::move(keyspace)).first;
  }
  return it->second ? &*it->second : nullptr;
}

MorvaStatus apply_batch(const JournalBatch& batch, KeyspaceResolver& resolver, bool clear_errors,
                        const std::function<void(const Keyspace&)>& on_keyspace) {
  for (const JournalBatchItem& item : batch.items) {
    ZV_ASSIGN_OR_RETURN(const Keyspace* keyspace, resolver.resolve(item.keyspace_id));
    if (keyspace == nullptr) continue;
    if (on_keyspace) on_keyspace(*keyspace);
    ZV_TRY(apply_item(*keyspace, item, batch.seqno));
  }
  for (uint64_t id : batch.cleared_keyspaces) {
    ZV_ASSIGN_OR_RETURN(const Keyspace* keyspace, resolver.resolve(id));
    if (keyspace == nullptr) continue;
    if (on_keyspace) on_keyspace(*keyspace);
    if (auto st = keyspace->tree().index().clear(); !st.ok() && clear_errors) {
      ZV_ERROR(kLogTarget, "Keyspace clear failed during recovery: " + st.error().debug_string());
      return zv::make_unexpected(MorvaError::storage(std::move(st).error()));
    }
  }
  return {};
}

MorvaStatus recover_sealed_journals(DatabaseState& db, const std::vector<SealedJournalFile>& sealed) {
  WorkerContext& ctx = *db.ctx;
  auto manager_guard = write_unpoisoned(ctx.journal_manager->lock);
  auto map_guard = read_unpoisoned(db.keyspaces->lock);
  KeyspaceResolver resolver(db);
  zv::FileSystem& fs = *db.config.journal_fs;
  for (const SealedJournalFile& file : sealed) {
    ZV_LOG(Level::kDebug, kLogTarget, "Recovering sealed journal: " + file.path);
    ZV_ASSIGN_OR_RETURN(uint64_t size, zv::fs::file_size(file.path));
    ZV_LOG(Level::kDebug, kLogTarget, "Reading sealed journal at " + file.path);
    ZV_ASSIGN_OR_RETURN(JournalReader reader, JournalReader::open(fs, file.path));
    JournalBatchReader batches(std::move(reader), JournalBatchReader::Mode::kSealed);

    // Keyspace id to (keyspace, highest sequence number this journal holds
    // for it).
    std::map<uint64_t, std::pair<Keyspace, tervik::SeqNo>> watermarks;
    ZV_TRY(for_each_batch(batches, [&](const JournalBatch& batch) {
      return apply_batch(batch, resolver, true, [&](const Keyspace& keyspace) {
        auto [it, fresh] = watermarks.try_emplace(keyspace.id(), keyspace, batch.seqno);
        if (!fresh && it->second.second < batch.seqno) it->second.second = batch.seqno;
      });
    }));

    ZV_LOG(Level::kDebug, kLogTarget, "Sealing recovered memtables");
    size_t recovered = 0;
    std::vector<JournalWatermark> listed;
    for (const auto& [id, entry] : watermarks) {
      const auto& [keyspace, watermark] = entry;
      listed.push_back(JournalWatermark{keyspace.inner(), watermark});
      const tervik::Tree& tree = keyspace.tree().index();
      const std::optional<tervik::SeqNo> persisted = tree.get_highest_persisted_seqno();
      if (persisted && *persisted >= watermark) {
        ZV_LOG(Level::kTrace, kLogTarget,
               "Keyspace " + keyspace.name() + " has higher seqno (Some(" + std::to_string(*persisted) +
                   ")), skipping");
        tree.clear_active_memtable();
        continue;
      }
      std::shared_ptr<tervik::Memtable> memtable = tree.rotate_memtable();
      if (!memtable) continue;
      ZV_LOG(Level::kTrace, kLogTarget, "Sealed active memtable of keyspace " + keyspace.name());
      if (memtable->get_highest_seqno() != watermark) {
        zv::panic("memtable lsn does not match what was recovered - this is a bug");
      }
      const tervik::SeqNo highest = std::max<tervik::SeqNo>(*memtable->get_highest_seqno(), persisted.value_or(0));
      db.seqno.raise_to(highest + 1);
      ZV_LOG(Level::kDebug, kLogTarget, "Database seqno is now " + std::to_string(db.seqno.get()));
      ctx.write_buffer_size->fetch_add(memtable->size());
      ++recovered;
    }
    ZV_LOG(Level::kDebug, kLogTarget, "Recovered " + std::to_string(recovered) + " sealed memtables");
    ctx.journal_manager->manager.enqueue(SealedJournal{file.path, std::move(listed), size});
    ZV_LOG(Level::kDebug, kLogTarget, "Requeued sealed journal at " + file.path);
  }
  return {};
}

MorvaStatus recover_active_journal(DatabaseState& db) {
  ZV_LOG(Level::kTrace, kLogTarget, "Recovering active memtables from active journal");
  ZV_ASSIGN_OR_RETURN(JournalBatchReader batches, db.ctx->journal->get_batch_reader());
  KeyspaceResolver resolver(db);
  return for_each_batch(batches, [&](const JournalBatch& batch) { return apply_batch(batch, resolver, false); });
}

}  // namespace morva
