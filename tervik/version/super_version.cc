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

void SuperVersions::publish(SuperVersion next, const SeqNoCounter& visible_seqno) {
  const SeqNo s = next.seqno;
  list_.push_back(std::move(next));
  visible_seqno.raise_to(s + 1);
}

std::vector<uint64_t> SuperVersions::take_collectable(SeqNo watermark) {
  std::vector<uint64_t> ids;
  if (watermark == 0 || list_.size() < 2) return ids;
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
    ids.push_back(oldest.version.id());
    list_.pop_front();
  }
  trace("Manifest GC done, version length now " + std::to_string(list_.size()));
  return ids;
}

TervikStatus SuperVersions::delete_version_files(const std::string& folder,
                                                 const std::vector<uint64_t>& ids, VersionFs& fs) {
  for (uint64_t id : ids) {
    const std::string path = zv::fs::join(folder, version_file_name(id));
    ZV_ASSIGN_OR_RETURN(bool present, fs.exists(path));
    if (present) ZV_TRY(with_sharing_retry(fs, [&] { return fs.remove(path); }));
  }
  return {};
}

TervikStatus SuperVersions::gc(const std::string& folder, SeqNo watermark, VersionFs& fs) {
  return delete_version_files(folder, take_collectable(watermark), fs);
}

}  // namespace tervik
