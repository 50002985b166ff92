#include "morva/src/meta_keyspace_store.h"

#include <algorithm>

#include "morva/src/keyspace_options_reader.h"
#include "platform/log.h"
#include "platform/utf8.h"
#include "tervik/compaction/leveled.h"

namespace morva {
namespace {

constexpr float kMaintenanceLevelRatio = 20.0f;
constexpr uint8_t kMaintenanceL0Threshold = 2;

}  // namespace

MorvaStatus MetaKeyspace::create_keyspace(uint64_t keyspace_id, std::string_view name,
                                          const KeyspaceCreateOptions& options,
                                          const std::function<void()>& on_stored) {
  const std::vector<MetaEntry> entries = keyspace_meta_entries(keyspace_id, name, options);
  if (auto st = tree_->ingest(entries); !st.ok()) return zv::make_unexpected(MorvaError::storage(std::move(st).error()));
  if (on_stored) on_stored();
  run_maintenance();
  return {};
}

void MetaKeyspace::run_maintenance() {
  tervik::LeveledOptions o;
  o.level_ratio_policy = {kMaintenanceLevelRatio};
  o.l0_threshold = kMaintenanceL0Threshold;
  auto strategy = std::make_shared<const tervik::compaction::Leveled>(std::move(o));
  if (auto st = tree_->compact(std::move(strategy), 0); !st.ok())
    ZV_WARN(kMetaKeyspaceLogTarget, kMaintenanceFailedMessage + st.error().to_string());
}

MorvaResult<std::optional<std::string>> MetaKeyspace::get_config(uint64_t keyspace_id,
                                                                 std::string_view option_name) const {
  ZV_ASSIGN_OR_RETURN(std::optional<std::string> v,
                      tree_->get(meta_config_key(keyspace_id, option_name), kReadAllSeqNo));
  return v;
}

MorvaResult<std::optional<std::string>> MetaKeyspace::get_keyspace_name(uint64_t keyspace_id) const {
  ZV_ASSIGN_OR_RETURN(std::optional<std::string> v, tree_->get(meta_name_key(keyspace_id), kReadAllSeqNo));
  if (v && !zv::is_valid_utf8(*v)) {
    ZV_ERROR(kMetaKeyspaceLogTarget, kNameNotUtf8Message);
    return zv::make_unexpected(MorvaError::unrecoverable());
  }
  return v;
}

MorvaResult<std::vector<MetaEntry>> MetaKeyspace::scan_config(uint64_t keyspace_id) const {
  const std::string prefix = meta_config_key(keyspace_id, "");
  std::vector<MetaEntry> out;
  const MetaTree::Visitor collect = [&](std::string_view key, std::string_view value) {
    out.emplace_back(std::string(key.substr(prefix.size())), std::string(value));
  };
  ZV_TRY(tree_->scan_prefix(prefix, kReadAllSeqNo, collect));
  return out;
}

MorvaResult<KeyspaceCreateOptions> read_keyspace_options(const MetaKeyspace& meta, uint64_t keyspace_id) {
  ZV_ASSIGN_OR_RETURN(const std::vector<MetaEntry> entries, meta.scan_config(keyspace_id));
  return read_keyspace_options([&](std::string_view option) -> MorvaResult<std::optional<std::string>> {
    auto it = std::lower_bound(entries.begin(), entries.end(), option,
                               [](const MetaEntry& e, std::string_view name) { return e.first < name; });
    if (it == entries.end() || it->first != option) return std::optional<std::string>();
    return std::optional<std::string>(it->second);
  });
}

MorvaResult<tervik::KvSeparationOptions> read_kv_separation(const MetaKeyspace& meta, uint64_t keyspace_id) {
  return read_kv_separation([&](std::string_view option) { return meta.get_config(keyspace_id, option); });
}

}  // namespace morva
