#include "src/backends/morva_backend.h"

#include "platform/log.h"
#include "src/backends/morva_read_view.h"
#include "tervik/core/key_range.h"
#include "tervik/tree/tree_iter.h"

namespace zv {
namespace {

constexpr const char* kLogTarget = "zivir::backends::morva";

ZolvaError from_tervik(const tervik::TervikError& e) { return from_morva(morva::MorvaError::storage(e)); }

ZolvaStatus converted(const morva::MorvaStatus& st) {
  if (!st.ok()) return make_unexpected(from_morva(st.error()));
  return {};
}

// A lazy prefix scan over one super version at its snapshot's number. Holds
// no handle of the database: once the backend is gone it goes on reading the
// tables and memtables of its super version, which it keeps alive.
class MorvaPrefixIter final : public PrefixIter {
 public:
  MorvaPrefixIter(std::string prefix, tervik::TreeIter iter, morva::Snapshot snapshot, uint64_t tree_id,
                  std::shared_ptr<tervik::BlockCache> cache)
      : prefix_(std::move(prefix)),
        iter_(std::move(iter)),
        snapshot_(std::move(snapshot)),
        tree_id_(tree_id),
        cache_(std::move(cache)) {}

  std::optional<ZolvaResult<KvPair>> next() override {
    if (done_) return std::nullopt;
    tervik::ReadItem item = iter_.next();
    if (!item) return end();
    if (!item->ok()) return ZolvaResult<KvPair>(make_unexpected(from_tervik(item->error())));
    // Keys come in ascending order: the first one outside the prefix ends it.
    if (!item->value().key.user_key.view().starts_with(prefix_)) return end();
    auto pair = resolve_pair(tree_id_, iter_.state(), *cache_, item->value());
    if (!pair.ok()) return ZolvaResult<KvPair>(make_unexpected(from_tervik(pair.error())));
    return ZolvaResult<KvPair>(std::move(pair).value());
  }

 private:
  std::optional<ZolvaResult<KvPair>> end() {
    done_ = true;
    return std::nullopt;
  }

  std::string prefix_;
  tervik::TreeIter iter_;
  morva::Snapshot snapshot_;
  uint64_t tree_id_;
  std::shared_ptr<tervik::BlockCache> cache_;
  bool done_ = false;
};

}  // namespace

ZolvaError from_morva(const morva::MorvaError& e) { return ZolvaError::from_engine(e.debug_string()); }

ZolvaResult<std::shared_ptr<MorvaBackend>> MorvaBackend::open(std::string_view path, const Config&) {
  // The engine takes an empty path for a broken invariant; here it is bad input.
  if (path.empty()) {
    return make_unexpected(
        ZolvaError::io(IoError(IoErrorKind::kInvalidInput, "the database directory path is empty")));
  }
  return open_with(morva::DatabaseConfig(std::string(path)));
}

ZolvaResult<std::shared_ptr<MorvaBackend>> MorvaBackend::open_with(morva::DatabaseConfig engine_config) {
  const std::string path = engine_config.path;
  auto db = morva::Database::open(std::move(engine_config));
  if (!db.ok()) return make_unexpected(from_morva(db.error()));
  std::array<morva::Keyspace, kPartitionCount> keyspaces;
  for (uint8_t p = 0; p < kPartitionCount; ++p) {
    auto ks = db->keyspace(partition_name(static_cast<Partition>(p)));
    if (!ks.ok()) return make_unexpected(from_morva(ks.error()));
    keyspaces[p] = std::move(ks).value();
  }
  ZV_LOG(log::Level::kInfo, kLogTarget, kMorvaOpenedPrefix + path + "'");
  return std::make_shared<MorvaBackend>(std::move(db).value(), std::move(keyspaces));
}

MorvaBackend::~MorvaBackend() {
  // The database handle goes first, then the keyspaces in partition order;
  // the engine shuts down with the last of them.
  db_.reset();
  for (morva::Keyspace& ks : keyspaces_) ks = morva::Keyspace();
}

ZolvaResult<std::vector<KvPair>> MorvaBackend::scan_all(Partition p) {
  const morva::Keyspace& ks = keyspace(p);
  const tervik::Tree& tree = ks.tree().index();
  auto& tracker = *db_->state()->ctx->snapshots;
  auto [sv, snapshot] = pinned_view(tree, [&] { return tracker.open(); });
  tervik::BlockCache& cache = *db_->state()->config.cache;
  tervik::TreeIter iter = tervik::TreeIter::create_range(sv, tervik::KeyRange::all(), snapshot.seqno());
  std::vector<KvPair> out;
  while (tervik::ReadItem item = iter.next()) {
    if (!item->ok()) return make_unexpected(from_tervik(item->error()));
    auto pair = resolve_pair(tree.id(), sv, cache, item->value());
    if (!pair.ok()) return make_unexpected(from_tervik(pair.error()));
    out.push_back(std::move(pair).value());
  }
  return out;
}

ZolvaResult<std::unique_ptr<PrefixIter>> MorvaBackend::prefix_iter(Partition p, std::string_view prefix) {
  const morva::Keyspace& ks = keyspace(p);
  const tervik::Tree& tree = ks.tree().index();
  auto& tracker = *db_->state()->ctx->snapshots;
  auto [sv, snapshot] = pinned_view(tree, [&] { return tracker.open(); });
  std::string owned(prefix);
  const tervik::KeyRange from_prefix{tervik::Bound::included(tervik::Slice(std::string_view(owned))),
                                     tervik::Bound::unbounded()};
  tervik::TreeIter iter = tervik::TreeIter::create_range(std::move(sv), from_prefix, snapshot.seqno());
  return std::unique_ptr<PrefixIter>(std::make_unique<MorvaPrefixIter>(
      std::move(owned), std::move(iter), std::move(snapshot), tree.id(), db_->state()->config.cache));
}

ZolvaStatus MorvaBackend::put(Partition p, std::string_view key, std::string_view value) {
  return converted(keyspace(p).insert(key, value));
}

ZolvaStatus MorvaBackend::del(Partition p, std::string_view key) { return converted(keyspace(p).remove(key)); }

ZolvaResult<std::optional<std::string>> MorvaBackend::get(Partition p, std::string_view key) {
  const tervik::Tree& tree = keyspace(p).tree().index();
  const tervik::SeqNoCounter& visible = db_->state()->visible_seqno;
  auto [sv, seqno] = pinned_view(tree, [&] { return visible.get(); });
  auto item = tervik::Tree::get_from_version(sv, key, seqno);
  if (!item.ok()) return make_unexpected(from_tervik(item.error()));
  if (!item->has_value()) return std::optional<std::string>();
  auto value = resolve_value(tree.id(), sv, *db_->state()->config.cache, **item);
  if (!value.ok()) return make_unexpected(from_tervik(value.error()));
  return std::optional<std::string>(std::move(value).value());
}

ZolvaResult<std::vector<KvPair>> MorvaBackend::multi_get(Partition p, std::span<const std::string> keys) {
  std::vector<KvPair> out;
  if (keys.empty()) return out;
  const tervik::Tree& tree = keyspace(p).tree().index();
  const tervik::SeqNoCounter& visible = db_->state()->visible_seqno;
  // One view for every key: the answer is one state of the partition.
  auto [sv, seqno] = pinned_view(tree, [&] { return visible.get(); });
  tervik::BlockCache& cache = *db_->state()->config.cache;
  for (const std::string& key : keys) {
    auto item = tervik::Tree::get_from_version(sv, key, seqno);
    if (!item.ok()) return make_unexpected(from_tervik(item.error()));
    if (!item->has_value()) continue;
    auto value = resolve_value(tree.id(), sv, cache, **item);
    if (!value.ok()) return make_unexpected(from_tervik(value.error()));
    out.push_back(KvPair{key, std::move(value).value()});
  }
  return out;
}

ZolvaStatus MorvaBackend::write_batch(std::vector<BatchOp> ops) {
  if (ops.empty()) return {};
  morva::Batch batch = db_->batch();
  for (const BatchOp& op : ops) {
    const morva::Keyspace& ks = keyspace(op.partition);
    if (op.kind == BatchOp::Kind::kPut) {
      batch.insert(ks, op.key, op.value);
    } else {
      batch.remove(ks, op.key);
    }
  }
  ops.clear();
  ops.shrink_to_fit();
  return converted(batch.commit());
}

ZolvaStatus MorvaBackend::flush() { return converted(db_->persist(morva::PersistMode::kSyncAll)); }

}  // namespace zv
