#include "morva/src/journal/manager.h"

#include "platform/log.h"

namespace morva {
namespace {

constexpr const char* kLogTarget = "morva::journal::manager";

uint64_t add_saturating(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
uint64_t sub_saturating(uint64_t a, uint64_t b) { return a < b ? 0 : a - b; }

}  // namespace

JournalManager::~JournalManager() {
  ZV_LOG(zv::log::Level::kTrace, kLogTarget, "Dropping journal manager");
}

void JournalManager::enqueue(SealedJournal journal) {
  disk_space_ = add_saturating(disk_space_, journal.size);
  sealed_.push_back(std::move(journal));
}

void JournalManager::clear() {
  sealed_.clear();
  disk_space_ = 0;
}

MorvaStatus JournalManager::maintenance() {
  ZV_LOG(zv::log::Level::kDebug, kLogTarget, "Running journal maintenance");
  while (!sealed_.empty()) {
    const SealedJournal& oldest = sealed_.front();
    for (const JournalWatermark& w : oldest.watermarks) {
      const std::optional<uint64_t> persisted = w.keyspace->highest_persisted_seqno();
      if (!persisted) return {};
      if (*persisted < w.seqno) {
        ZV_LOG(zv::log::Level::kTrace, kLogTarget,
               "Keyspace " + w.keyspace->name() + " not flushed enough to evict journal");
        return {};
      }
    }
    ZV_LOG(zv::log::Level::kTrace, kLogTarget, "Removing fully flushed journal at " + oldest.path);
    if (auto st = fs_->remove_file(oldest.path); !st.ok()) {
      ZV_ERROR(kLogTarget, "Failed to clean up stale journal file at " + oldest.path + ": " +
                               st.error().to_string());
      return zv::make_unexpected(std::move(st).error());
    }
    disk_space_ = sub_saturating(disk_space_, oldest.size);
    sealed_.pop_front();
  }
  return {};
}

MorvaStatus rotate_journal(JournalWriter& writer, JournalManager& manager,
                           std::vector<JournalWatermark> watermarks) {
  ZV_ASSIGN_OR_RETURN(RotatedJournal sealed, writer.rotate());
  manager.enqueue(SealedJournal{std::move(sealed.path), std::move(watermarks), sealed.size});
  return {};
}

}  // namespace morva
