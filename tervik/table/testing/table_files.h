// Reads written table files back for the table writers' tests: sections
// through the archive reader, blocks through the block decoders, meta values
// by point read. Test-only; failures surface as gtest failures.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "archive/src/reader.h"
#include "platform/coding.h"
#include "platform/file.h"
#include "tervik/block/block.h"
#include "tervik/block/data_block.h"
#include "tervik/block/index_block.h"
#include "tervik/table/table_meta.h"

namespace tervik::testing {

inline zv::archive::Toc sections_of(const std::string& path) {
  auto toc = zv::archive::ArchiveReader::open(path);
  EXPECT_TRUE(toc.ok()) << path << ": " << (toc.ok() ? "" : toc.error().to_string());
  return toc.ok() ? std::move(*toc) : zv::archive::Toc();
}

inline Block read_block(const std::string& path, BlockHandle handle, CompressionType compression) {
  auto file = zv::File::open_read(path);
  EXPECT_TRUE(file.ok());
  auto block = Block::from_file(*file, handle, compression);
  EXPECT_TRUE(block.ok()) << handle.debug_string() << ": "
                          << (block.ok() ? "" : block.error().to_string());
  return block.ok() ? std::move(*block) : Block();
}

inline BlockHandle section_handle(const zv::archive::TocEntry& e) {
  return BlockHandle{e.pos, static_cast<uint32_t>(e.len)};
}

inline std::vector<IndexBlockEntry> index_entries(const Block& block) {
  std::vector<IndexBlockEntry> out;
  auto dec = IndexBlockDecoder::open(block);
  EXPECT_TRUE(dec.ok());
  if (!dec.ok()) return out;
  for (;;) {
    auto e = dec->next();
    EXPECT_TRUE(e.ok());
    if (!e.ok() || !e->has_value()) return out;
    out.push_back(std::move(**e));
  }
}

inline std::vector<InternalValue> data_items(const Block& block) {
  std::vector<InternalValue> out;
  auto dec = DataBlockDecoder::open(block);
  EXPECT_TRUE(dec.ok());
  if (!dec.ok()) return out;
  for (;;) {
    auto e = dec->next();
    EXPECT_TRUE(e.ok());
    if (!e.ok() || !e->has_value()) return out;
    out.push_back(std::move(**e));
  }
}

// The "meta" block of a table, decoded.
inline DataBlock meta_block(const std::string& path) {
  const auto toc = sections_of(path);
  const auto* meta = toc.section(kSectionMeta);
  EXPECT_NE(meta, nullptr);
  return DataBlock(meta ? read_block(path, section_handle(*meta), CompressionType::kNone) : Block());
}

inline std::optional<std::string> meta_value(const DataBlock& meta, std::string_view key) {
  auto v = meta.point_read(key, ~SeqNo{0});
  EXPECT_TRUE(v.ok());
  if (!v.ok() || !v->has_value()) return std::nullopt;
  return std::string((*v)->value.view());
}

inline uint64_t meta_u64(const DataBlock& meta, std::string_view key) {
  auto v = meta_value(meta, key);
  EXPECT_TRUE(v.has_value() && v->size() == 8) << key;
  return v && v->size() == 8 ? zv::coding::get_u64_le(v->data()) : ~uint64_t{0};
}

}  // namespace tervik::testing
