#include "tervik/version/walks.h"

#include "platform/log.h"
#include "platform/panic.h"
#include "tervik/version/super_version.h"

namespace tervik {

bool contains_id(std::span<const uint64_t> ids, uint64_t id) {
  size_t i = 0;
  for (; i + 8 <= ids.size(); i += 8) {
    bool hit = false;
    for (size_t k = 0; k < 8; ++k) hit |= ids[i + k] == id;
    if (hit) return true;
  }
  for (; i < ids.size(); ++i) {
    if (ids[i] == id) return true;
  }
  return false;
}

TableIdFilter::TableIdFilter(const Version& version, std::span<const uint64_t> ids)
    : levels_(&version.levels()), ids_(ids) {}

std::optional<Table> TableIdFilter::next() {
  while (!done_ && level_ < levels_->size()) {
    const std::vector<RunHandle>& runs = (*levels_)[level_]->runs();
    if (run_ >= runs.size()) {
      ++level_;
      run_ = 0;
      table_ = 0;
      continue;
    }
    const Run& run = *runs[run_];
    if (table_ >= run.size()) {
      ++run_;
      table_ = 0;
      continue;
    }
    const Table& t = run[table_++];
    if (contains_id(ids_, table_id(t))) return t;
  }
  done_ = true;
  return std::nullopt;
}

std::optional<std::vector<Table>> RunIdFilter::next() {
  while (pos_ < runs_.size()) {
    const Run& run = *runs_[pos_++];
    std::vector<Table> kept;
    kept.reserve(run.size());
    for (const Table& t : run.tables()) {
      if (!contains_id(ids_, table_id(t))) {
        kept.push_back(t);
      } else if (removed_ != nullptr) {
        removed_->push_back(t);
      }
    }
    if (!kept.empty()) return kept;
  }
  return std::nullopt;
}

InputTableLookup::InputTableLookup(std::span<const uint64_t> ids, const SuperVersions& versions,
                                   bool* missing)
    : ids_(ids), missing_(missing) {
  ZV_CHECK(versions.size() > 0, kFatalNoSuperVersion);
  version_ = versions.latest().version;
}

std::optional<Table> InputTableLookup::next() {
  if (done_ || pos_ >= ids_.size()) {
    done_ = true;
    return std::nullopt;
  }
  std::optional<Table> t = version_->find_table(ids_[pos_++]);
  if (!t) {
    *missing_ = true;
    done_ = true;
  }
  return t;
}

LinkedBlobFilesIter::LinkedBlobFilesIter(const std::unordered_set<uint64_t>& ids,
                                         const Version& version, std::optional<TervikError>* error)
    : ids_(ids.begin(), ids.end()), version_(&version), error_(error) {}

std::optional<std::vector<LinkedBlobFile>> LinkedBlobFilesIter::next() {
  while (!done_ && pos_ < ids_.size()) {
    const uint64_t id = ids_[pos_++];
    ZV_CHECK(version_->level_count() > 0, "Table " + std::to_string(id) + " should exist");
    std::optional<Table> t = version_->find_table(id);
    if (!t) zv::panic("Table " + std::to_string(id) + " should exist");
    auto linked = table_linked_blob_files(*t);
    if (!linked.ok()) {
      *error_ = std::move(linked).error();
      break;
    }
    if (!linked->empty()) return std::move(linked).value();
  }
  done_ = true;
  return std::nullopt;
}

RunHandle PersistedRunBuilder::next() {
  if (done_ || pos_ >= runs_.size()) {
    done_ = true;
    return nullptr;
  }
  const PersistedRun& persisted = runs_[pos_++];
  if (persisted.empty()) {
    // Cannot be written; a damaged file must not stop the process.
    ZV_ERROR(kVersionRecoveryTarget, kFatalPersistedRunEmpty);
    *error_ = TervikError::unrecoverable();
    done_ = true;
    return nullptr;
  }
  std::vector<Table> tables;
  tables.reserve(persisted.size());
  for (const PersistedTable& p : persisted) {
    const Table* found = nullptr;
    for (const Table& t : opened_) {
      if (table_id(t) == p.id) {
        found = &t;
        break;
      }
    }
    if (found == nullptr) {
      *error_ = TervikError::unrecoverable();
      done_ = true;
      return nullptr;
    }
    tables.push_back(*found);
  }
  return std::make_shared<const Run>(std::move(tables));
}

LevelHandle PersistedLevelBuilder::next() {
  if (done_ || pos_ >= levels_.size()) {
    done_ = true;
    return nullptr;
  }
  PersistedRunBuilder runs(levels_[pos_++], opened_, error_);
  std::vector<RunHandle> built;
  while (RunHandle r = runs.next()) built.push_back(std::move(r));
  if (*error_) {
    done_ = true;
    return nullptr;
  }
  return std::make_shared<const Level>(std::move(built));
}

}  // namespace tervik
