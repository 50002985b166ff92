// The meta keyspace (keyspace 0): the names and option entries of every
// other keyspace. Writes a new keyspace's entries by one ingestion followed by
// a maintenance compaction, and reads entries back at the highest sequence
// number. Reads are safe from any thread; create_keyspace runs under the
// journal writer lock and then the keyspace-map write lock: the first keeps
// the visible sequence number its ingestion raises from passing a write
// still in progress, the second serialises creations.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "morva/src/error.h"
#include "morva/src/keyspace_options.h"
#include "morva/src/meta_keys.h"
#include "morva/src/meta_tree.h"

namespace morva {

inline constexpr std::string_view kMetaKeyspaceLogTarget = "morva::meta_keyspace";
inline constexpr const char* kMaintenanceFailedMessage = "Meta keyspace maintenance failed: ";
inline constexpr const char* kNameNotUtf8Message = "should be utf-8";
inline constexpr const char* kFatalUnsupportedStrategy = "Invalid/unsupported compaction strategy: ";
inline constexpr const char* kFatalStrategyKeyNotUtf8 = "compaction strategy should return UTF-8 key";
inline constexpr uint8_t kStoredOptionsVersion = 3;

// Every entry a keyspace's creation writes, sorted by key: the fixed
// options, the strategy's own entries, the blob entries when values are
// separated, and the name entry. A strategy that is neither leveled nor FIFO,
// or that returns a key that is not UTF-8, is a broken invariant.
std::vector<MetaEntry> keyspace_meta_entries(KeyspaceId id, std::string_view name,
                                             const KeyspaceCreateOptions& options);

class MetaKeyspace {
 public:
  explicit MetaKeyspace(std::shared_ptr<MetaTree> tree) : tree_(std::move(tree)) {}

  static std::string config_key(KeyspaceId id, std::string_view option_name) {
    return morva::config_key(id, option_name);
  }

  // Stores the keyspace's entries by one ingestion (an error is returned and
  // leaves no entry), calls `on_stored` (the caller registers the keyspace),
  // then runs the maintenance compaction, whose failure is only logged.
  MorvaStatus create_keyspace(KeyspaceId id, std::string_view name, const KeyspaceCreateOptions& options,
                              const std::function<void()>& on_stored = {});
  // One leveled compaction of the meta tree (ratio 20, l0 threshold 2),
  // collecting every shadowed version; a failure is logged at warn level.
  void run_maintenance();

  // One option entry's value; none when the entry does not exist.
  MorvaResult<std::optional<std::string>> get_config(KeyspaceId id, std::string_view option_name) const;
  // The keyspace's name; none without a name entry, Unrecoverable when the
  // stored name is not UTF-8.
  MorvaResult<std::optional<std::string>> get_keyspace_name(KeyspaceId id) const;
  // Every option entry of the keyspace as (option name, value), ascending.
  MorvaResult<std::vector<MetaEntry>> scan_config(KeyspaceId id) const;

  MetaTree& tree() { return *tree_; }

 private:
  std::shared_ptr<MetaTree> tree_;
};

}  // namespace morva
