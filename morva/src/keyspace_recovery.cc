#include "morva/src/keyspace_recovery.h"

#include <charconv>

#include "morva/src/db.h"
#include "morva/src/keyspace_options_reader.h"
#include "morva/src/lock.h"
#include "platform/fs.h"
#include "platform/fs_links.h"
#include "platform/log.h"
#include "platform/utf8.h"

namespace morva {
namespace {

using zv::log::Level;
constexpr std::string_view kLogTarget = kRecoveryLogTarget;

// A keyspace id in decimal, with an optional leading "+"; none otherwise.
std::optional<uint64_t> parse_keyspace_id(std::string_view name) {
  if (name.starts_with('+')) name.remove_prefix(1);
  if (name.empty()) return std::nullopt;
  for (char c : name) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  uint64_t id = 0;
  auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), id);
  if (ec != std::errc() || end != name.data() + name.size()) return std::nullopt;
  return id;
}

MorvaError damaged_folder(const std::string& path, const char* why) {
  ZV_ERROR(kLogTarget, "Cannot recover keyspace folder " + path + ": " + why);
  return MorvaError::unrecoverable();
}

// Removes a keyspace folder; a link is removed itself, never what it points at.
MorvaStatus remove_keyspace_folder(const std::string& path) {
  if (zv::fs::is_dir_entry(path)) {
    ZV_TRY(zv::fs::remove_dir_all(path));
  } else {
    ZV_TRY(zv::fs::remove_file(path));
  }
  return {};
}

}  // namespace

MorvaStatus recover_keyspaces(DatabaseState& db) {
  const std::string folder = zv::fs::join(db.config.path, kKeyspacesFolderName);
  ZV_LOG(Level::kTrace, kLogTarget, "Recovering keyspaces in " + folder);
  auto map_guard = write_unpoisoned(db.keyspaces->lock);
  ZV_ASSIGN_OR_RETURN(std::vector<std::string> names, zv::fs::list_dir(folder));
  uint64_t highest = 1;
  for (const std::string& name : names) {
    const std::string path = zv::fs::join(folder, name);
    // A link to a folder counts as a keyspace folder, as a folder does.
    if (!zv::fs::is_dir(path)) {
      ZV_WARN(kLogTarget, "Found stray file " + path + " in keyspaces folder");
      continue;
    }
    if (!zv::is_valid_utf8(name)) return zv::make_unexpected(damaged_folder(path, "should be valid keyspace name"));
    const std::optional<uint64_t> id = parse_keyspace_id(name);
    if (!id) return zv::make_unexpected(damaged_folder(path, "should be valid integer"));
    if (*id == 0) continue;
    highest = std::max(highest, *id);

    ZV_ASSIGN_OR_RETURN(std::optional<std::string> keyspace_name, db.meta.get_keyspace_name(*id));
    if (!keyspace_name) {
      ZV_LOG(Level::kDebug, kLogTarget, "Deleting unreferenced keyspace id=" + std::to_string(*id));
      ZV_TRY(remove_keyspace_folder(path));
      continue;
    }
    ZV_LOG(Level::kTrace, kLogTarget, "Recovering keyspace " + std::to_string(*id));
    if (!zv::fs::exists(zv::fs::join(path, kTreeCurrentFileName))) {
      ZV_LOG(Level::kDebug, kLogTarget, "Deleting uninitialized keyspace " + *keyspace_name);
      ZV_TRY(remove_keyspace_folder(path));
      continue;
    }
    ZV_ASSIGN_OR_RETURN(KeyspaceCreateOptions options, read_keyspace_options(db.meta, *id));
    // The canonical folder name, whatever spelling ("+7", "007") was listed.
    const std::string tree_folder = zv::fs::join(folder, std::to_string(*id));
    tervik::TreeConfig config = tervik::TreeConfig::create(tree_folder, db.seqno, db.visible_seqno)
                                    .use_descriptor_table(db.config.descriptor_cache)
                                    .use_cache(db.config.cache);
    config = options.apply_to_tree_config(std::move(config));
    ZV_ASSIGN_OR_RETURN(tervik::TreeHandle tree, tervik::open_tree(std::move(config)));
    auto inner = std::make_shared<KeyspaceInner>(*id, *keyspace_name, std::move(options), std::move(tree), db);
    db.keyspaces->map.insert_or_assign(*keyspace_name, Keyspace(std::move(inner)));
    ZV_LOG(Level::kTrace, kLogTarget, "Recovered keyspace " + *keyspace_name);
  }
  db.keyspace_ids.raise_to(highest + 1);
  return {};
}

}  // namespace morva
