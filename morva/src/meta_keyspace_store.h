// The meta keyspace (keyspace 0) over its tree: writes a new keyspace's
// entries by one ingestion followed by a maintenance compaction, and reads
// names and options back at the highest sequence number. Reads are safe from
// any thread; create_keyspace runs under the database's keyspace-map write
// lock, which serialises creations.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "morva/src/error.h"
#include "morva/src/keyspace_options.h"
#include "morva/src/meta_keyspace.h"
#include "morva/src/meta_tree.h"

namespace morva {

inline constexpr std::string_view kMetaKeyspaceLogTarget = "morva::meta_keyspace";
inline constexpr const char* kMaintenanceFailedMessage = "Meta keyspace maintenance failed: ";
inline constexpr const char* kNameNotUtf8Message = "should be utf-8";

class MetaKeyspace {
 public:
  explicit MetaKeyspace(std::shared_ptr<MetaTree> tree) : tree_(std::move(tree)) {}

  static std::string config_key(uint64_t keyspace_id, std::string_view option_name) {
    return meta_config_key(keyspace_id, option_name);
  }

  // Stores the keyspace's entries by one ingestion (an error is returned as
  // Storage and leaves no entry), calls `on_stored` (where the caller
  // registers the keyspace), then runs the maintenance compaction.
  MorvaStatus create_keyspace(uint64_t keyspace_id, std::string_view name, const KeyspaceCreateOptions& options,
                              const std::function<void()>& on_stored = {});
  // One leveled compaction of the meta tree (ratios [20], level-0 threshold
  // 2, 64 MiB tables) collecting every shadowed version; a failure is only
  // logged at warn level.
  void run_maintenance();

  // One option entry's value; none when the entry does not exist.
  MorvaResult<std::optional<std::string>> get_config(uint64_t keyspace_id, std::string_view option_name) const;
  // The keyspace's name; none without a name entry. A stored name that is
  // not UTF-8 is logged and Unrecoverable.
  MorvaResult<std::optional<std::string>> get_keyspace_name(uint64_t keyspace_id) const;
  // Every option entry of the keyspace as (option name, value), ascending,
  // from one prefix scan.
  MorvaResult<std::vector<MetaEntry>> scan_config(uint64_t keyspace_id) const;

 private:
  std::shared_ptr<MetaTree> tree_;
};

// A keyspace's whole options read back from one prefix scan of its entries.
MorvaResult<KeyspaceCreateOptions> read_keyspace_options(const MetaKeyspace& meta, uint64_t keyspace_id);
// Its five blob entries, by point reads.
MorvaResult<tervik::KvSeparationOptions> read_kv_separation(const MetaKeyspace& meta, uint64_t keyspace_id);

}  // namespace morva
