#include "morva/src/worker.h"

#include <chrono>
#include <thread>

#include "morva/src/flush.h"
#include "morva/src/lock.h"
#include "morva/src/tree_compaction.h"
#include "platform/clock.h"
#include "platform/log.h"

namespace morva {
namespace {

using zv::log::Level;

class Worker {
 public:
  Worker(WorkerThread& t, const std::shared_ptr<WorkerContext>& ctx) : t_(t), ctx_(*ctx) {}

  MorvaStatus handle(WorkerMessage& msg) {
    switch (msg.tag) {
      case WorkerMessageTag::kFlush: return handle_flush();
      case WorkerMessageTag::kRotate: return handle_rotate(msg);
      case WorkerMessageTag::kCompact: return handle_compact(msg);
      case WorkerMessageTag::kClose: return {};
    }
    return {};
  }

 private:
  static std::optional<Keyspace> resolve(const std::shared_ptr<KeyspaceHandle>& handle) {
    auto inner = std::dynamic_pointer_cast<KeyspaceInner>(handle);
    if (!inner) return std::nullopt;
    return Keyspace(std::move(inner));
  }

  std::string index() const { return std::to_string(t_.index); }

  // One task of the flush queue: journal check, flush, compaction offers,
  // journal maintenance. An empty queue does nothing.
  MorvaStatus handle_flush() {
    std::optional<std::shared_ptr<FlushTask>> task = ctx_.flush_rx.try_recv();
    if (!task) return {};
    ZV_TRY(journal_check());
    std::optional<Keyspace> keyspace = resolve((*task)->keyspace);
    if (!keyspace) return {};
    ZV_TRY(flush_and_offer_compaction(*keyspace));
    return maintenance();
  }

  MorvaStatus flush_and_offer_compaction(const Keyspace& keyspace) {
    if (ctx_.config.hooks.before_flush) ctx_.config.hooks.before_flush(keyspace.name());
    ZV_TRY(flush_sealed_memtables(keyspace, *ctx_.write_buffer_size, *ctx_.snapshots));
    for (size_t i = 0; i < t_.thread_count; ++i) {
      (void)t_.sender.try_send(WorkerMessage::compact(keyspace.inner()));
    }
    return {};
  }

  MorvaStatus maintenance() {
    auto guard = write_unpoisoned(ctx_.journal_manager->lock);
    return ctx_.journal_manager->manager.maintenance();
  }

  // Rotates the journal once its write position is past the threshold.
  MorvaStatus journal_check() {
    ZV_LOG(Level::kTrace, kWorkerLogTarget, "acquiring journal lock to maybe rotate journal");
    ZV_ASSIGN_OR_RETURN(Journal::Locked writer, ctx_.journal->lock());
    ZV_TRY(writer->flush_buffer());
    if (writer->position() <= ctx_.config.journal_rotation_threshold) return {};
    return rotate_journal_locked(*writer);
  }

  MorvaStatus rotate_journal_locked(JournalWriter& writer) {
    auto manager_guard = write_unpoisoned(ctx_.journal_manager->lock);
    JournalManager& manager = ctx_.journal_manager->manager;
    std::vector<JournalWatermark> watermarks;
    {
      auto map_guard = write_unpoisoned(ctx_.keyspaces->lock);
      for (const auto& [name, keyspace] : ctx_.keyspaces->map) {
        if (auto seqno = keyspace.tree().index().get_highest_memtable_seqno()) {
          watermarks.push_back(JournalWatermark{keyspace.inner(), *seqno});
        }
      }
    }
    ZV_LOG(Level::kDebug, kWorkerLogTarget, "Sealing active journal at " + writer.path());
    ZV_TRY(rotate_journal(writer, manager, std::move(watermarks)));
    ZV_LOG(Level::kDebug, kWorkerLogTarget, "Rotating active journal to " + writer.path());
    if (manager.disk_space_used() >= ctx_.config.journal_size_limit && manager.sealed_journal_count() > 0) {
      for (const JournalWatermark& w : manager.sealed_journals().front().watermarks) {
        const std::optional<uint64_t> persisted = w.keyspace->highest_persisted_seqno();
        if (persisted && *persisted >= w.seqno) continue;
        auto keyspace = resolve(std::const_pointer_cast<KeyspaceHandle>(w.keyspace));
        if (!keyspace) continue;
        ZV_LOG(Level::kInfo, kWorkerLogTarget, "Rotating " + keyspace->name() + " to try to reduce journal size");
        keyspace->request_rotation();
      }
    }
    return {};
  }

  MorvaStatus handle_rotate(const WorkerMessage& msg) {
    std::optional<Keyspace> keyspace = resolve(msg.keyspace);
    if (!keyspace) return {};
    {
      ZV_LOG(Level::kTrace, kWorkerLogTarget, "acquiring journal lock");
      ZV_ASSIGN_OR_RETURN(Journal::Locked writer, ctx_.journal->lock());
      ZV_LOG(Level::kDebug, kWorkerLogTarget, "Rotating keyspace " + keyspace->name());
      const tervik::Tree& tree = keyspace->tree().index();
      if (tree.active_memtable()->id() != msg.memtable_id) return {};
      if (tree.rotate_memtable() == nullptr) {
        ZV_LOG(Level::kDebug, kWorkerLogTarget, "Got no sealed memtable, someone beat us to it");
        return {};
      }
    }
    // Only workers empty these channels, so no worker waits for room: with
    // the flush queue full this worker flushes the keyspace itself, and with
    // the worker channel full it takes one flush task itself.
    if (!ctx_.flush_tx.try_send(std::make_shared<FlushTask>(FlushTask{keyspace->inner()}))) {
      ZV_TRY(flush_and_offer_compaction(*keyspace));
    } else if (!t_.sender.try_send(WorkerMessage::flush())) {
      ZV_TRY(handle_flush());
    }
    ctx_.snapshots->pullup();
    ctx_.snapshots->gc();
    collect_version_history();
    return maintenance();
  }

  void collect_version_history() {
    auto map_guard = read_unpoisoned(ctx_.keyspaces->lock);
    const tervik::SeqNo watermark = ctx_.snapshots->watermark();
    for (const auto& [name, keyspace] : ctx_.keyspaces->map) {
      tervik::TreeInner& tree = *keyspace.tree().index().inner();
      auto guard = write_unpoisoned(tree.version_history);
      if (auto st = tree.versions.gc(tree.config.path, watermark, tree.fs); !st.ok()) {
        ZV_WARN(kWorkerLogTarget,
                "Version history GC failed for keyspace " + keyspace.name() + ": " + st.error().to_string());
      }
    }
  }

  MorvaStatus handle_compact(WorkerMessage& msg) {
    std::optional<Keyspace> keyspace = resolve(msg.keyspace);
    if (!keyspace) return {};
    // Worker 0 leaves compactions to the others while any other runs; a
    // message that does not fit back is compacted here.
    if (t_.index == 0 && t_.thread_count >= 2 && t_.running->load() > 1) {
      if (t_.sender.try_send(std::move(msg))) return {};
    }
    ZV_LOG(Level::kTrace, kWorkerLogTarget, "Checking compaction strategy for keyspace " + keyspace->name());
    tervik::compaction::StrategyHandle strategy = keyspace->options().compaction_strategy;
    WorkerBookkeeping& stats = *t_.bookkeeping;
    stats.compactions_running.fetch_add(1);
    ZV_LOG(Level::kDebug, kWorkerLogTarget, "Compacting keyspace " + keyspace->name());
    const uint64_t start = zv::monotonic_ns();
    const tervik::SeqNo watermark = ctx_.snapshots->watermark();
    const tervik::Tree& tree = keyspace->tree().index();
    auto st = ctx_.config.hooks.compact ? ctx_.config.hooks.compact(tree, strategy, watermark)
                                        : compact_tree(tree, strategy, watermark);
    if (!st.ok()) {
      ZV_ERROR(kWorkerLogTarget, "Compaction failed: " + st.error().to_string());
      stats.compactions_running.fetch_sub(1);
      return zv::make_unexpected(MorvaError::storage(std::move(st).error()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stats.compaction_micros.fetch_add((zv::monotonic_ns() - start) / 1000);
    stats.compactions_running.fetch_sub(1);
    stats.compactions_completed.fetch_add(1);
    return {};
  }

  WorkerThread& t_;
  WorkerContext& ctx_;
};

}  // namespace

MorvaStatus run_worker(WorkerThread& thread, const std::shared_ptr<WorkerContext>& ctx,
                       const std::shared_ptr<std::atomic<bool>>& poisoned) {
  Worker worker(thread, ctx);
  const std::string index = std::to_string(thread.index);
  for (;;) {
    std::optional<WorkerMessage> msg = thread.receiver.recv();
    if (!msg) return {};
    ZV_LOG(Level::kTrace, kWorkerLogTarget, "Worker #" + index + " got message: " + msg->to_string());
    if (msg->tag == WorkerMessageTag::kClose) {
      ZV_LOG(Level::kDebug, kWorkerLogTarget, "Worker #" + index + " closes because DB is dropping");
      return {};
    }
    if (auto st = worker.handle(*msg); !st.ok()) {
      ZV_ERROR(kWorkerLogTarget, "Worker #" + index + " crashed: " + st.error().to_string());
      poisoned->store(true);
      return st;
    }
  }
}

}  // namespace morva
