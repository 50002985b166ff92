// The write path and the installs of derived versions.
#include <algorithm>

#include "platform/fs.h"
#include "platform/log.h"
#include "tervik/tree/tree.h"
#include "tervik/tree/version_install.h"
#include "tervik/version/recovery.h"

namespace tervik {

namespace {

using LogLevel = zv::log::Level;

void trace(const char* target, const std::string& message) { ZV_LOG(LogLevel::kTrace, target, message); }

TervikStatus install(TreeInner& in, const std::function<Version(const SuperVersion&)>& derive,
                     const std::function<SuperVersion(const SuperVersion&, Version, SeqNo)>& build,
                     std::optional<SeqNo> gc_watermark) {
  return install_version(*in.shared, derive, build, gc_watermark);
}

}  // namespace

std::pair<uint64_t, uint64_t> Tree::append_entry(InternalValue entry) const {
  // The read side of version_history keeps a rotation from sealing the
  // memtable while this insert is under way.
  auto read = inner_->version_history.read();
  return inner_->versions.latest().active_memtable->insert(std::move(entry));
}

std::pair<uint64_t, uint64_t> Tree::remove(std::string_view key, SeqNo seqno) const {
  return append_entry(InternalValue::new_tombstone(Slice(key), seqno));
}

std::pair<uint64_t, uint64_t> Tree::remove_weak(std::string_view key, SeqNo seqno) const {
  return append_entry(InternalValue::new_weak_tombstone(Slice(key), seqno));
}

SuperVersion Tree::latest_super_version() const {
  auto read = inner_->version_history.read();
  return inner_->versions.latest();
}

size_t Tree::super_version_count() const {
  auto read = inner_->version_history.read();
  return inner_->versions.size();
}

std::shared_ptr<Memtable> Tree::active_memtable() const { return latest_super_version().active_memtable; }

Version Tree::current_version() const { return latest_super_version().version; }

size_t Tree::sealed_memtable_count() const { return latest_super_version().sealed_memtables->size(); }

size_t Tree::l0_run_count() const {
  const Version v = current_version();
  return v.level_count() == 0 ? 0 : v.l0().run_count();
}

std::shared_ptr<Memtable> Tree::rotate_memtable() const {
  auto write = inner_->version_history.write();
  const SuperVersion& latest = inner_->versions.latest();
  if (latest.active_memtable->is_empty()) return nullptr;
  auto sealed = latest.active_memtable;
  SuperVersion next{Memtable::create(inner_->memtable_id_counter.next()),
                    latest.sealed_memtables->with_added(sealed), latest.version, latest.seqno};
  inner_->versions.replace_latest(std::move(next));
  trace(kTreeTarget, "rotate: added memtable id=" + std::to_string(sealed->id()) + " to sealed memtables");
  return sealed;
}

void Tree::clear_active_memtable() const {
  auto write = inner_->version_history.write();
  const SuperVersion& latest = inner_->versions.latest();
  if (latest.active_memtable->is_empty()) return;
  SuperVersion next{Memtable::create(inner_->memtable_id_counter.next()), latest.sealed_memtables,
                    latest.version, latest.seqno};
  inner_->versions.replace_latest(std::move(next));
  trace(kTreeTarget, "cleared active memtable");
}

TervikStatus Tree::clear() const {
  TreeInner& in = *inner_;
  auto installing = in.install_lock.lock();
  const TreeType type = in.config.kv_separation_opts ? TreeType::kBlob : TreeType::kStandard;
  return install(
      in, [&](const SuperVersion& latest) { return Version::create(latest.version.id() + 1, type); },
      [&](const SuperVersion&, Version v, SeqNo s) {
        return SuperVersion{Memtable::create(in.memtable_id_counter.next()),
                            std::make_shared<const SealedMemtables>(), std::move(v), s};
      },
      std::nullopt);
}

TervikStatus Tree::register_tables(std::vector<Table> tables,
                                   std::optional<std::vector<BlobFileHandle>> blob_files,
                                   std::optional<FragmentationMap> gc_diff,
                                   const std::vector<uint64_t>& sealed_ids, SeqNo watermark) const {
  TreeInner& in = *inner_;
  trace(kTreeTarget, "Registering " + std::to_string(tables.size()) + " tables, " +
                         std::to_string(blob_files ? blob_files->size() : 0) + " blob files");
  auto hidden = in.hidden_tables.lock();
  auto installing = in.install_lock.lock();
  {
    // Only installs remove sealed memtables, and they are serialised with
    // this one by install_lock: what is found here is still there at publish.
    auto read = in.version_history.read();
    const SealedMemtables& sealed = *in.versions.latest().sealed_memtables;
    for (uint64_t id : sealed_ids) {
      if (!sealed.contains(id)) {
        ZV_LOG(LogLevel::kDebug, kTreeTarget,
               "Not registering tables because flush task processed some sealed memtables which do "
               "not exist (anymore)");
        return {};
      }
    }
  }
  if (gc_diff && gc_diff->empty()) gc_diff.reset();
  return install(
      in,
      [&](const SuperVersion& latest) {
        return latest.version.with_new_l0_run(std::move(tables), std::move(blob_files), std::move(gc_diff));
      },
      [&](const SuperVersion& latest, Version v, SeqNo s) {
        SealedMemtablesHandle remaining = latest.sealed_memtables;
        for (uint64_t id : sealed_ids) {
          trace(kTreeTarget, "releasing sealed memtable #" + std::to_string(id));
          remaining = remaining->without(id);
        }
        return SuperVersion{latest.active_memtable, std::move(remaining), std::move(v), s};
      },
      watermark);
}

std::optional<SeqNo> Tree::get_highest_memtable_seqno() const {
  const SuperVersion sv = latest_super_version();
  std::optional<SeqNo> out = sv.active_memtable->get_highest_seqno();
  if (auto sealed = sv.sealed_memtables->highest_seqno(); sealed && (!out || *sealed > *out)) out = sealed;
  return out;
}

std::optional<SeqNo> Tree::get_highest_persisted_seqno() const { return current_version().highest_seqno(); }

std::optional<SeqNo> Tree::get_highest_seqno() const {
  const std::optional<SeqNo> memtable = get_highest_memtable_seqno();
  const std::optional<SeqNo> persisted = get_highest_persisted_seqno();
  if (memtable && (!persisted || *persisted < *memtable)) return memtable;
  return persisted;
}

std::string Tree::tables_folder() const {
  return zv::fs::join(inner_->config.path, std::string(kTablesFolderName));
}

}  // namespace tervik
