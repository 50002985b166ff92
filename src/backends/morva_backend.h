// MorvaBackend: the default persistent StorageBackend, one key-value engine
// database in the database directory with one keyspace per Partition (named
// as partition_name gives them). Writes go straight to the engine; every read
// sees one consistent state: a point read or a multi_get reads the newest
// super version at the visible sequence number, and scans hold a registered
// snapshot, so no reader ever sees part of an atomic batch. Engine errors come
// back as the core's Io error ("MorvaError: ..."). Keys must be 1 to 65,535
// bytes; others are refused before anything is written. Thread-safe; holds no
// lock of its own.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>

#include "morva/src/db.h"
#include "morva/src/db_config.h"
#include "morva/src/error.h"
#include "morva/src/keyspace.h"
#include "src/backends/storage_backend.h"
#include "src/runtime/config.h"

namespace zv {

inline constexpr uint64_t kMorvaLimitHint = 65'536;
inline constexpr const char* kMorvaOpenedPrefix = "Morva database opened at '";

// The core's Io error for an engine error: "MorvaError: " + its debug form.
ZolvaError from_morva(const morva::MorvaError& e);

class MorvaBackend final : public StorageBackend {
 public:
  // Opens (or creates) the engine database in `path` with every engine
  // setting at its default; `config` is not consulted.
  static ZolvaResult<std::shared_ptr<MorvaBackend>> open(std::string_view path, const Config& config);
  // The same over chosen engine settings (tests inject failures and keyspace
  // options through them).
  static ZolvaResult<std::shared_ptr<MorvaBackend>> open_with(morva::DatabaseConfig engine_config);

  MorvaBackend(morva::Database db, std::array<morva::Keyspace, kPartitionCount> keyspaces)
      : db_(std::move(db)), keyspaces_(std::move(keyspaces)) {}
  ~MorvaBackend() override;

  ZolvaResult<std::vector<KvPair>> scan_all(Partition p) override;
  ZolvaResult<std::unique_ptr<PrefixIter>> prefix_iter(Partition p, std::string_view prefix) override;
  ZolvaStatus put(Partition p, std::string_view key, std::string_view value) override;
  ZolvaResult<std::optional<std::string>> get(Partition p, std::string_view key) override;
  ZolvaResult<std::vector<KvPair>> multi_get(Partition p, std::span<const std::string> keys) override;
  ZolvaStatus del(Partition p, std::string_view key) override;
  ZolvaStatus write_batch(std::vector<BatchOp> ops) override;
  ZolvaStatus flush() override;
  uint64_t limit_hint() const override { return kMorvaLimitHint; }

  const morva::Database& database() const { return *db_; }
  const morva::Keyspace& keyspace(Partition p) const { return keyspaces_[static_cast<size_t>(p)]; }

 private:
  std::optional<morva::Database> db_;
  std::array<morva::Keyspace, kPartitionCount> keyspaces_;
};

}  // namespace zv
