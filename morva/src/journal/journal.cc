#include "morva/src/journal/journal.h"

#include "morva/src/lock.h"
#include "platform/log.h"

namespace morva {
namespace {

constexpr const char* kLogTarget = "morva::journal";

}  // namespace

MorvaResult<std::shared_ptr<Journal>> Journal::create(zv::FileSystem& fs, std::string path) {
  ZV_ASSIGN_OR_RETURN(JournalWriter writer, JournalWriter::create(fs, std::move(path)));
  return std::make_shared<Journal>(fs, std::move(writer));
}

Journal::~Journal() {
  ZV_LOG(zv::log::Level::kTrace, kLogTarget, "Dropping journal, trying to flush");
  auto st = persist(PersistMode::kSyncAll);
  if (st.ok()) {
    ZV_LOG(zv::log::Level::kTrace, kLogTarget, "Flushed journal successfully");
  } else {
    ZV_ERROR(kLogTarget, "Flush error on drop: " + st.error().debug_string());
  }
}

Journal& Journal::with_compression(tervik::CompressionType setting, uint64_t threshold) {
  auto guard = lock_unpoisoned(mutex_);
  writer_.set_compression(setting, threshold);
  return *this;
}

MorvaStatus Journal::persist(PersistMode mode) {
  ZV_ASSIGN_OR_RETURN(auto guard, lock_or_poisoned(mutex_));
  return writer_.persist(mode);
}

MorvaResult<std::string> Journal::active_path() {
  ZV_ASSIGN_OR_RETURN(auto guard, lock_or_poisoned(mutex_));
  return writer_.path();
}

MorvaResult<JournalBatchReader> Journal::get_batch_reader() {
  ZV_ASSIGN_OR_RETURN(std::string path, active_path());
  ZV_ASSIGN_OR_RETURN(JournalReader reader, JournalReader::open(*fs_, path));
  return JournalBatchReader(std::move(reader), JournalBatchReader::Mode::kActive);
}

MorvaResult<Journal::Locked> Journal::lock() {
  ZV_ASSIGN_OR_RETURN(auto guard, lock_or_poisoned(mutex_));
  return Locked(std::move(guard), &writer_);
}

}  // namespace morva
