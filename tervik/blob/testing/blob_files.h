// Builders for the blob tests and fuzz targets: blob files written through
// the real writer, hand-made meta sections and whole crafted blob files, and
// indirection items. Test-only.
#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "archive/src/testing/archive_files.h"
#include "archive/src/toc.h"
#include "archive/src/trailer.h"
#include "platform/checksum.h"
#include "platform/panic.h"
#include "tervik/blob/blob_file_writer.h"
#include "tervik/block/block.h"
#include "tervik/block/data_block.h"
#include "tervik/core/blob_indirection.h"
#include "tervik/core/internal_value.h"

namespace tervik::testing {

struct BlobValue {
  BlobValue(std::string k, std::string v, SeqNo s = 1)
      : key(std::move(k)), value(std::move(v)), seqno(s) {}
  std::string key;
  std::string value;
  SeqNo seqno = 1;
  ValueHandle handle;  // filled by write_blob_file
};

// Writes `values` into blob file `id` of `dir` and fills their handles.
inline std::shared_ptr<BlobFile> write_blob_file(const std::string& dir, uint64_t id,
                                                 uint64_t tree_id, std::vector<BlobValue>* values,
                                                 CompressionType compression = CompressionType::kNone,
                                                 std::shared_ptr<FileDescriptorCache> cache = nullptr) {
  auto w = BlobFileWriter::create(zv::fs::join(dir, std::to_string(id)), id, tree_id);
  if (!w.ok()) zv::panic("create: " + w.error().to_string());
  (*w)->set_compression(compression);
  for (BlobValue& v : *values) {
    v.handle.blob_file_id = id;
    v.handle.offset = (*w)->bytes_written();
    auto s = (*w)->write(v.key, v.seqno, v.value);
    if (!s.ok()) zv::panic("write: " + s.error().to_string());
    v.handle.on_disk_size = *s;
  }
  auto f = (*w)->finish(std::move(cache));
  if (!f.ok() || !f->has_value()) zv::panic("finish failed");
  return **f;
}

inline InternalValue indirection_item(const BlobValue& v) {
  BlobIndirection ind{v.handle, static_cast<uint32_t>(v.value.size())};
  return InternalValue::new_indirection(Slice(v.key), ind.encode(), v.seqno);
}

using Properties = std::vector<std::pair<std::string, std::string>>;

inline std::string u64_le(uint64_t v) { return std::string(reinterpret_cast<const char*>(&v), 8); }

// The eleven properties of a well-formed meta section.
inline Properties good_properties(uint64_t id = 1) {
  return {{"blob_file_version", std::string(1, '\3')}, {"checksum_type", std::string(1, '\0')},
          {"compression", std::string(1, '\0')},      {"core_version", "3.1.10"},
          {"created_at", std::string(16, '\0')},      {"file_size", u64_le(0)},
          {"id", u64_le(id)},                         {"item_count", u64_le(0)},
          {"key#max", "z"},                           {"key#min", "a"},
          {"uncompressed_size", u64_le(0)}};
}

// "META" and one Meta block holding the properties (sorted here).
inline std::string meta_section(Properties props) {
  std::sort(props.begin(), props.end());
  std::vector<InternalValue> items;
  for (const auto& [k, v] : props) items.push_back(InternalValue::new_value(Slice(k), Slice(v), 0));
  std::string payload;
  if (!DataBlock::encode_into(&payload, items, 1, 0.0f).ok()) zv::panic("encode meta");
  std::string out = "META";
  if (!Block::write_into(&out, payload, BlockType::kMeta, CompressionType::kNone).ok()) {
    zv::panic("frame meta");
  }
  return out;
}

// A container with a "data" and a "meta" section.
inline std::string crafted_blob_file(const std::string& data, const std::string& meta) {
  return zv::archive::testing::build_archive({{"data", data}, {"meta", meta}});
}

// `body` followed by a valid table of contents listing `entries` as given
// (which may point anywhere) and the trailer.
inline std::string archive_with_toc(std::string body,
                                    const std::vector<zv::archive::TocEntry>& entries) {
  std::string toc;
  zv::archive::encode_toc(entries, &toc);
  zv::archive::Trailer trailer;
  trailer.toc_checksum = zv::xxh3_128(toc);
  trailer.toc_pos = body.size();
  trailer.toc_len = toc.size();
  body += toc;
  trailer.encode_to(&body);
  return body;
}

}  // namespace tervik::testing
