#include "tervik/version/super_version.h"

#include "platform/fs.h"
#include "platform/log.h"
#include "platform/panic.h"
#include "tervik/version/walks.h"

namespace tervik {

namespace {
void trace(const std::string& message) {
  ZV_LOG(zv::log::Level::kTrace, kSuperVersionTarget, message);
}
}  // namespace

SuperVersions::SuperVersions(Version first) {
  list_.push_back(SuperVersion{Memtable::create(0), std::make_shared<const SealedMemtables>(),
                               std::move(first), 0});
}

const SuperVersion& SuperVersions::latest() const {
  ZV_CHECK(!list_.empty(), kFatalNoSuperVersion);
  return list_.back();
}

SuperVersion SuperVersions::find_for_snapshot(SeqNo snapshot) const {
  if (snapshot == 0 && !list_.empty()) return list_.front();
  if (snapshot != 0) {
    for (auto it = list_.rbegin(); it != list_.rend(); ++it) {
      if (it->seqno < snapshot) return *it;
    }
  }
  ZV_ERROR(kSuperVersionTarget,
           "Failed to find a SuperVersion for snapshot with seqno=" + std::to_string(snapshot));
  ZV_ERROR(kSuperVersionTarget, "SuperVersions:");
  for (auto it = list_.rbegin(); it != list_.rend(); ++it) {
    ZV_ERROR(kSuperVersionTarget, "-> " + std::to_string(it->version.id()) +
                                      ", seqno=" + std::to_string(it->seqno));
  }
  zv::panic(kFatalFindSuperVersion);
}

void SuperVersions::replace_latest(SuperVersion next) {
  ZV_CHECK(!list_.empty(), kFatalNoSuperVersion);
  list_.back() = std::move(next);
}

TervikResult<SeqNo> SuperVersions::append_version(const std::string& folder, const SeqNoCounter& seqno,
                                                  const SeqNoCounter& visible_seqno, Version version,
                                                  std::shared_ptr<Memtable> active,
                                                  SealedMemtablesHandle sealed, VersionFs& fs) {
  const SeqNo s = seqno.next();
  trace("Next version seqno=" + std::to_string(s));
  ZV_TRY(version.persist(folder, fs));
  list_.push_back(SuperVersion{std::move(active), std::move(sealed), std::move(version), s});
  visible_seqno.raise_to(s + 1);
  return s;
}

TervikStatus SuperVersions::gc(const std::string& folder, SeqNo watermark, VersionFs& fs) {
  if (watermark == 0 || list_.size() < 2) return {};
  trace("Running manifest GC with watermark=" + std::to_string(watermark));
  size_t keep_from = 0;  // position of the newest super version below the watermark
  for (size_t i = list_.size(); i-- > 0;) {
    if (list_[i].seqno < watermark) {
      keep_from = i;
      break;
    }
  }
  for (size_t n = 0; n < keep_from && !list_.empty(); ++n) {
    const SuperVersion& oldest = list_.front();
    trace("Removing version #" + std::to_string(oldest.version.id()) +
          " (seqno=" + std::to_string(oldest.seqno) + ")");
    const std::string path = zv::fs::join(folder, version_file_name(oldest.version.id()));
    ZV_ASSIGN_OR_RETURN(bool present, fs.exists(path));
    if (present) ZV_TRY(with_sharing_retry(fs, [&] { return fs.remove(path); }));
    list_.pop_front();
  }
  trace("Manifest GC done, version length now " + std::to_string(list_.size()));
  return {};
}

}  // namespace tervik
