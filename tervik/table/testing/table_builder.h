// Writes small tables for the reader's tests, fuzz target and benchmark, and
// rebuilds table files section by section (with a fresh table of contents
// and trailer, so that the container checks pass) to craft damaged ones.
// Test-only; no gtest dependency.
#pragma once

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "archive/src/reader.h"
#include "archive/src/toc.h"
#include "archive/src/trailer.h"
#include "platform/checksum.h"
#include "platform/fs.h"
#include "tervik/block/block.h"
#include "tervik/block/data_block.h"
#include "tervik/table/table_writer.h"

namespace tervik::testing {

// "k00042": keys of five digits sort in numeric order.
inline std::string numbered_key(size_t k) {
  char key[16];
  std::snprintf(key, sizeof(key), "k%05zu", k);
  return key;
}

struct TableOptions {
  uint32_t block_size = 4096;
  bool partitioned_index = false;
  bool partitioned_filter = false;
  float bits_per_key = 10.0f;  // 0: no filter
  CompressionType data_compression = CompressionType::kNone;
  CompressionType index_compression = CompressionType::kNone;
  uint8_t restart_interval = 16;
  float hash_ratio = 0.0f;
  std::vector<LinkedBlobFile> linked_blob_files;
};

// Writes `items` (internal key order, at least one) as table `id` at `path`.
inline TervikResult<WrittenTable> write_table(const std::string& path, uint64_t id,
                                              const std::vector<InternalValue>& items,
                                              const TableOptions& o = {}) {
  ZV_ASSIGN_OR_RETURN(TableWriter w, TableWriter::create(path, id, 0));
  w.data_block_size = o.block_size;
  w.data_block_restart_interval = o.restart_interval;
  w.data_block_compression = o.data_compression;
  w.data_block_hash_ratio = o.hash_ratio;
  w.use_bloom_policy(FilterPolicyEntry::bits_per_key(o.bits_per_key));
  w.use_index_block_compression(o.index_compression);
  if (o.partitioned_index) w.use_partitioned_index();
  if (o.partitioned_filter) w.use_partitioned_filter();
  for (const auto& i : items) ZV_TRY(w.write(i));
  w.linked_blob_files = o.linked_blob_files;
  ZV_ASSIGN_OR_RETURN(std::optional<WrittenTable> t, std::move(w).finish());
  return *t;
}

struct Section {
  std::string name;
  std::string bytes;
  // Overrides the stored length (to describe more than the bytes).
  std::optional<uint64_t> stored_len;
};

// The sections of a container file, in file order, with their bytes.
inline std::vector<Section> read_sections(const std::string& path) {
  std::vector<Section> out;
  auto toc = zv::archive::ArchiveReader::open(path);
  auto file = zv::fs::read_file(path);
  if (!toc.ok() || !file.ok()) return out;
  for (const auto& e : toc->entries()) {
    if (e.pos > file->size() || file->size() - e.pos < e.len) continue;
    out.push_back({e.name, file->substr(e.pos, e.len), std::nullopt});
  }
  return out;
}

inline Section* find_section(std::vector<Section>& sections, std::string_view name) {
  for (auto& s : sections) {
    if (s.name == name) return &s;
  }
  return nullptr;
}

// A container holding the sections back to back, its table of contents and
// a trailer whose checksum matches.
inline std::string build_container(const std::vector<Section>& sections) {
  std::string file;
  std::vector<zv::archive::TocEntry> entries;
  for (const auto& s : sections) {
    entries.push_back({s.name, file.size(), s.stored_len.value_or(s.bytes.size())});
    file += s.bytes;
  }
  std::string toc;
  zv::archive::encode_toc(entries, &toc);
  zv::archive::Trailer trailer;
  trailer.toc_checksum = zv::xxh3_128(toc);
  trailer.toc_pos = file.size();
  trailer.toc_len = toc.size();
  file += toc;
  trailer.encode_to(&file);
  return file;
}

using MetaProperties = std::map<std::string, std::string>;

// The properties of a framed meta block.
inline MetaProperties decode_meta(const std::string& frame) {
  MetaProperties out;
  auto block = Block::from_frame(Slice(std::string_view(frame)), CompressionType::kNone);
  if (!block.ok()) return out;
  auto d = DataBlockDecoder::open(*block);
  if (!d.ok()) return out;
  for (;;) {
    auto e = d->next();
    if (!e.ok() || !e->has_value()) return out;
    out[std::string((*e)->key.user_key.view())] = std::string((*e)->value.view());
  }
}

// A framed meta block holding `props`, stored with block type `type`.
inline std::string encode_meta(const MetaProperties& props, BlockType type = BlockType::kMeta) {
  std::vector<InternalValue> items;
  for (const auto& [k, v] : props) {
    items.push_back(InternalValue::new_value(UserKey(std::string_view(k)),
                                             UserValue(std::string_view(v)), 0));
  }
  std::string payload;
  (void)DataBlock::encode_into(&payload, items, 1, 0.0f);
  std::string frame;
  (void)Block::write_into(&frame, payload, type, CompressionType::kNone);
  return frame;
}

}  // namespace tervik::testing
