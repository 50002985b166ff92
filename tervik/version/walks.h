// Walks over a version's levels, runs and tables by table id, each a sequence
// drained with next(): the transforms, version recovery, the choice of blob
// files to relocate and the compaction run stand on them. Walk order is level
// 0 to 6, runs in order, tables in order. Each walk belongs to one thread and
// reads immutable versions only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_set>
#include <vector>

#include "tervik/core/error.h"
#include "tervik/table/linked_blob_file.h"
#include "tervik/version/level.h"
#include "tervik/version/version.h"
#include "tervik/version/version_file.h"

namespace tervik {

class SuperVersions;

inline constexpr const char* kFatalNoSuperVersion = "should always have a SuperVersion";

// True when `id` is in the list (a linear scan, eight ids at a time).
bool contains_id(std::span<const uint64_t> ids, uint64_t id);

// The tables of a version whose ids are listed, in walk order.
class TableIdFilter {
 public:
  TableIdFilter(const Version& version, std::span<const uint64_t> ids);
  std::optional<Table> next();  // none at the end

 private:
  const std::vector<LevelHandle>* levels_;
  std::span<const uint64_t> ids_;
  size_t level_ = 0, run_ = 0, table_ = 0;
  bool done_ = false;
};

// For each run of a level, its tables without the listed ones; runs left
// empty are skipped. With `removed`, the handles of the removed tables are
// appended to it (run order, then table order).
class RunIdFilter {
 public:
  RunIdFilter(std::span<const RunHandle> runs, std::span<const uint64_t> ids,
              std::vector<Table>* removed = nullptr)
      : runs_(runs), ids_(ids), removed_(removed) {}
  std::optional<std::vector<Table>> next();

 private:
  std::span<const RunHandle> runs_;
  std::span<const uint64_t> ids_;
  std::vector<Table>* removed_;
  size_t pos_ = 0;
};

// RunIdFilter that hands the removed tables to the caller.
class RunIdExtractor : public RunIdFilter {
 public:
  RunIdExtractor(std::span<const RunHandle> runs, std::span<const uint64_t> ids,
                 std::vector<Table>* removed)
      : RunIdFilter(runs, ids, removed) {}
};

// For each id in list order, the first table with that id in walk order of
// the latest super version's version. An id found nowhere sets *missing and
// ends the sequence.
class InputTableLookup {
 public:
  InputTableLookup(std::span<const uint64_t> ids, const SuperVersions& versions, bool* missing);
  std::optional<Table> next();

 private:
  std::span<const uint64_t> ids_;
  std::optional<Version> version_;
  bool* missing_;
  size_t pos_ = 0;
  bool done_ = false;
};

// For each id of the set, the linked blob files of that table (tables
// linking none are skipped). An id the version does not hold is the fatal
// error "Table {} should exist"; a read error goes to *error and ends it.
class LinkedBlobFilesIter {
 public:
  LinkedBlobFilesIter(const std::unordered_set<uint64_t>& ids, const Version& version,
                      std::optional<TervikError>* error);
  std::optional<std::vector<LinkedBlobFile>> next();

 private:
  std::vector<uint64_t> ids_;
  const Version* version_;
  std::optional<TervikError>* error_;
  size_t pos_ = 0;
  bool done_ = false;
};

// Runs built from persisted runs and the tables recovery opened. A persisted
// id without an opened table puts Unrecoverable into *error and ends it; so
// does a persisted run without tables (logged at error level).
class PersistedRunBuilder {
 public:
  PersistedRunBuilder(std::span<const PersistedRun> runs, std::span<const Table> opened,
                      std::optional<TervikError>* error)
      : runs_(runs), opened_(opened), error_(error) {}
  RunHandle next();

 private:
  std::span<const PersistedRun> runs_;
  std::span<const Table> opened_;
  std::optional<TervikError>* error_;
  size_t pos_ = 0;
  bool done_ = false;
};

// Levels built from persisted levels with PersistedRunBuilder.
class PersistedLevelBuilder {
 public:
  PersistedLevelBuilder(std::span<const PersistedLevel> levels, std::span<const Table> opened,
                        std::optional<TervikError>* error)
      : levels_(levels), opened_(opened), error_(error) {}
  LevelHandle next();

 private:
  std::span<const PersistedLevel> levels_;
  std::span<const Table> opened_;
  std::optional<TervikError>* error_;
  size_t pos_ = 0;
  bool done_ = false;
};

}  // namespace tervik
