// Real tables for the strategy tests, fuzz target and benchmark: two keys
// per table with values of a chosen length (so the file size can be steered)
// and, when asked, a chosen creation time written into the meta block.
// Written without folder syncs, so that thousands are quick. Test-only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/coding.h"
#include "platform/fs.h"
#include "platform/panic.h"
#include "tervik/cache/block_cache.h"
#include "tervik/table/table.h"
#include "tervik/table/table_meta.h"
#include "tervik/table/testing/table_builder.h"

namespace tervik::testing {

class StrategyTables {
 public:
  static constexpr uint64_t kTreeId = 5;

  // Creates `folder` (and its parents) for the table files.
  explicit StrategyTables(std::string folder)
      : folder_(std::move(folder)), cache_(BlockCache::with_capacity_bytes(1 << 20)) {
    if (!zv::fs::create_dir_all(folder_).ok()) zv::panic("cannot create " + folder_);
  }

  // Table `id` holding `min` and `max` (one key when equal) with values of
  // `value_len` bytes, referencing the `linked` blob files.
  Table make(uint64_t id, const std::string& min, const std::string& max, size_t value_len = 1,
             std::optional<unsigned __int128> created_at = std::nullopt,
             std::vector<LinkedBlobFile> linked = {}) const {
    const std::string path = zv::fs::join(folder_, std::to_string(id));
    const std::string value(value_len, 'v');
    std::vector<InternalValue> items{InternalValue::new_value(Slice(min), Slice(value), 1)};
    if (max != min) items.push_back(InternalValue::new_value(Slice(max), Slice(value), 1));
    TableOptions options;
    options.linked_blob_files = std::move(linked);
    auto written = write_table(path, id, items, options);
    if (!written.ok()) zv::panic("write table: " + written.error().to_string());
    if (created_at) set_created_at(path, *created_at);
    auto t = Table::recover(path, Checksum(), 0, kTreeId, cache_, nullptr, false, false);
    if (!t.ok()) zv::panic("recover table: " + t.error().to_string());
    return std::move(*t);
  }

 private:
  static void set_created_at(const std::string& path, unsigned __int128 created_at) {
    std::vector<Section> sections = read_sections(path);
    Section* meta = find_section(sections, kSectionMeta);
    if (meta == nullptr) zv::panic("table without meta section");
    MetaProperties props = decode_meta(meta->bytes);
    props[kMetaCreatedAt] = zv::coding::u128_le_bytes(created_at);
    meta->bytes = encode_meta(props);
    if (!zv::fs::write_file(path, build_container(sections)).ok()) zv::panic("rewrite " + path);
  }

  std::string folder_;
  std::shared_ptr<BlockCache> cache_;
};

}  // namespace tervik::testing
