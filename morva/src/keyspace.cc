#include "morva/src/keyspace.h"

#include <chrono>
#include <thread>

#include "morva/src/db.h"
#include "morva/src/lock.h"
#include "platform/fs.h"
#include "platform/fs_durable.h"
#include "platform/log.h"
#include "tervik/blob/resolve_indirection.h"

namespace morva {
namespace {

using Clock = std::chrono::steady_clock;

zv::IoError invalid_length(const std::string& what) {
  return zv::IoError(zv::IoErrorKind::kInvalidInput, what);
}

}  // namespace

MorvaStatus check_write_lengths(size_t key_length, uint64_t value_length) {
  if (key_length == 0 || key_length > kMaxKeyLength) {
    return zv::make_unexpected(MorvaError::io(invalid_length(
        "key of " + std::to_string(key_length) + " bytes: keys must be 1 to 65535 bytes long")));
  }
  if (value_length > kMaxValueLength) {
    return zv::make_unexpected(MorvaError::io(invalid_length(
        "value of " + std::to_string(value_length) + " bytes: values must be below 4 GiB")));
  }
  return {};
}

KeyspaceInner::KeyspaceInner(uint64_t keyspace_id, std::string keyspace_name, KeyspaceCreateOptions opts,
                             tervik::TreeHandle t, const DatabaseState& db)
    : options(std::move(opts)),
      poisoned(db.poisoned),
      ctx(db.ctx),
      bookkeeping(db.bookkeeping),
      sender(db.pool.sender()),
      lock_file(db.lock_file),
      running_workers(db.running),
      id(keyspace_id),
      name_(std::move(keyspace_name)),
      tree(std::move(t)) {}

KeyspaceInner::~KeyspaceInner() {
  ZV_LOG(zv::log::Level::kTrace, kKeyspaceLogTarget, "Dropping KeyspaceInner: " + name_);
}

MorvaResult<Keyspace> Keyspace::create_new(uint64_t id, const DatabaseState& db, std::string name,
                                           KeyspaceCreateOptions options) {
  ZV_LOG(zv::log::Level::kDebug, kKeyspaceLogTarget,
         "Creating keyspace " + name + "->" + std::to_string(id));
  const std::string folder = zv::fs::join(zv::fs::join(db.config.path, kKeyspacesFolderName), std::to_string(id));
  ZV_TRY(zv::fs::create_dir_all_durably(folder));
  tervik::TreeConfig config = tervik::TreeConfig::create(folder, db.seqno, db.visible_seqno)
                                  .use_cache(db.config.cache)
                                  .use_descriptor_table(db.config.descriptor_cache);
  config = options.apply_to_tree_config(std::move(config));
  ZV_ASSIGN_OR_RETURN(tervik::TreeHandle tree, tervik::open_tree(std::move(config)));
  return Keyspace(std::make_shared<KeyspaceInner>(id, std::move(name), std::move(options), std::move(tree), db));
}

MorvaStatus Keyspace::insert(std::string_view key, std::string_view value) const {
  return write(key, value, tervik::ValueType::kValue);
}

MorvaStatus Keyspace::remove(std::string_view key) const {
  return write(key, {}, tervik::ValueType::kTombstone);
}

MorvaStatus Keyspace::write(std::string_view key, std::string_view value, tervik::ValueType type) const {
  // Checked before the journal: a bad key must never be journaled, where it
  // would stop every replay.
  ZV_TRY(check_write_lengths(key.size(), value.size()));
  KeyspaceInner& in = *inner_;
  WorkerContext& ctx = *in.ctx;
  uint64_t memtable_size = 0;
  {
    ZV_ASSIGN_OR_RETURN(Journal::Locked writer, ctx.journal->lock());
    if (in.poisoned->load()) return zv::make_unexpected(MorvaError::poisoned());
    const tervik::SeqNo seqno = ctx.seqno.next();
    if (auto w = writer->write_single_item(in.id, key, value, type, seqno); !w.ok()) {
      in.poisoned->store(true);
      return zv::make_unexpected(std::move(w).error());
    }
    if (!in.options.manual_journal_persist) {
      if (auto st = writer->persist(PersistMode::kBuffer); !st.ok()) {
        ZV_ERROR(kKeyspaceLogTarget, kPersistFailedMessage + st.error().debug_string());
        in.poisoned->store(true);
        return zv::make_unexpected(std::move(st).error());
      }
    }
    const tervik::Tree& tree = in.tree.index();
    const auto [item_size, new_size] =
        type == tervik::ValueType::kValue
            ? tree.append_entry(tervik::InternalValue::new_value(tervik::Slice(key), tervik::Slice(value), seqno))
            : tree.remove(key, seqno);
    ctx.visible_seqno.raise_to(seqno + 1);
    ctx.write_buffer_size->fetch_add(item_size);
    memtable_size = new_size;
  }
  after_write(memtable_size);
  return {};
}

void Keyspace::after_write(uint64_t memtable_size) const {
  if (memtable_size > inner_->options.max_memtable_size) request_rotation();
  check_write_stall();
}

MorvaResult<std::optional<std::string>> Keyspace::get(std::string_view key, tervik::SeqNo snapshot) const {
  const tervik::TreeHandle& handle = inner_->tree;
  const tervik::SuperVersion sv = handle.index().get_version_for_snapshot(snapshot);
  ZV_ASSIGN_OR_RETURN(std::optional<tervik::InternalValue> item,
                      tervik::Tree::get_from_version(sv, key, snapshot));
  if (!item) return std::optional<std::string>();
  if (item->key.value_type == tervik::ValueType::kIndirection) {
    ZV_ASSIGN_OR_RETURN(auto resolved,
                        tervik::vlog::resolve_indirection(handle.index().id(), sv.version.blob_files(),
                                                          sv.version.id(), *inner_->ctx->config.cache, *item));
    return std::optional<std::string>(std::string(resolved.second.view()));
  }
  return std::optional<std::string>(std::string(item->value.view()));
}

MorvaResult<std::optional<std::string>> Keyspace::get(std::string_view key) const {
  return get(key, inner_->ctx->visible_seqno.get());
}

void Keyspace::request_rotation() const {
  tervik::TreeInner& tree = *inner_->tree.index().inner();
  auto guard = write_unpoisoned(tree.version_history);
  const uint64_t memtable_id = tree.versions.latest().active_memtable->id();
  // A full channel drops the request; the next write over the limit offers
  // it again.
  (void)inner_->sender.try_send(WorkerMessage::rotate(memtable_id, inner_));
}

void Keyspace::check_write_stall() const {
  const KeyspaceInner& in = *inner_;
  const tervik::Tree& tree = in.tree.index();
  // Nobody will flush or compact once the database is poisoned or every
  // worker has ended: the stall ends then (the write has succeeded).
  auto hopeless = [&] { return in.poisoned->load() || in.running_workers->load() == 0; };
  const size_t runs = tree.l0_run_count();
  if (runs < kStallL0Spin && tree.sealed_memtable_count() < kStallSealedMemtables) return;
  const Clock::time_point stall_start = Clock::now();
  if (runs >= kStallL0Spin) {
    if (runs < kStallL0Sleep) {
      for (uint64_t i = 0; i < (runs - kStallL0Spin) * kStallSpinPerRun; ++i) {
        asm volatile("" ::: "memory");
      }
    }
    // A compaction may never have been queued (offers after a flush are
    // dropped when the channel is full): the stalled writer offers one.
    Clock::time_point last_offer{};
    bool offered = false;
    while (tree.l0_run_count() >= kStallL0Sleep && !hopeless()) {
      const Clock::time_point now = Clock::now();
      if (!offered || now - last_offer >= std::chrono::milliseconds(100)) {
        (void)in.sender.try_send(WorkerMessage::compact(inner_));
        last_offer = now;
        offered = true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  while (tree.sealed_memtable_count() >= kStallSealedMemtables && !hopeless()) {
    ZV_LOG(zv::log::Level::kDebug, kKeyspaceLogTarget,
           "Halting writes because we have 4+ sealed memtables in " + in.name_ + " queued up");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  in.stall_nanos.fetch_add(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - stall_start).count());
}

}  // namespace morva
