#include "tervik/version/fragmentation_map.h"

#include <algorithm>
#include <vector>

#include "platform/coding.h"
#include "tervik/version/section_cursor.h"

namespace tervik {

namespace {
constexpr uint64_t kMaxStoredCount = 0xFFFF'FFFFull;
}  // namespace

void FragmentationMap::add(uint64_t blob_file_id, const FragmentationEntry& amounts) {
  FragmentationEntry& e = entries_[blob_file_id];
  e.len += amounts.len;
  e.bytes += amounts.bytes;
  e.on_disk_bytes += amounts.on_disk_bytes;
}

void FragmentationMap::on_dropped(const BlobIndirection& indirection) {
  add(indirection.vhandle.blob_file_id,
      {1, indirection.size, indirection.vhandle.on_disk_size});
}

void FragmentationMap::merge_into(FragmentationMap& target) && {
  for (const auto& [id, entry] : entries_) target.add(id, entry);
  entries_.clear();
}

void FragmentationMap::prune(const BlobFileMap& blob_files) {
  std::erase_if(entries_, [&](const auto& kv) { return !blob_files.contains(kv.first); });
}

const FragmentationEntry* FragmentationMap::find(uint64_t blob_file_id) const {
  auto it = entries_.find(blob_file_id);
  return it == entries_.end() ? nullptr : &it->second;
}

std::string FragmentationMap::debug_string() const {
  std::vector<uint64_t> ids;
  ids.reserve(entries_.size());
  for (const auto& kv : entries_) ids.push_back(kv.first);
  std::sort(ids.begin(), ids.end());
  std::string out = "FragmentationMap({";
  for (size_t i = 0; i < ids.size(); ++i) {
    const FragmentationEntry& e = entries_.at(ids[i]);
    if (i > 0) out += ", ";
    out += std::to_string(ids[i]) + ": FragmentationEntry { len: " + std::to_string(e.len) +
           ", bytes: " + std::to_string(e.bytes) +
           ", on_disk_bytes: " + std::to_string(e.on_disk_bytes) + " }";
  }
  return out + "})";
}

TervikResult<std::string> encode_blob_gc_stats(const FragmentationMap& map) {
  if (map.size() > kMaxStoredCount) {
    return zv::make_unexpected(TervikError(zv::IoError(
        zv::IoErrorKind::kInvalidInput,
        "blob_gc_stats holds " + std::to_string(map.size()) +
            " entries; a version file stores at most 4294967295")));
  }
  std::string out;
  out.reserve(4 + map.size() * kGcStatsEntrySize);
  zv::coding::put_u32_le(&out, static_cast<uint32_t>(map.size()));
  for (const auto& [id, e] : map.entries()) {
    zv::coding::put_u64_le(&out, id);
    zv::coding::put_u32_le(&out, static_cast<uint32_t>(e.len));  // low 32 bits, by format
    zv::coding::put_u64_le(&out, e.bytes);
    zv::coding::put_u64_le(&out, e.on_disk_bytes);
  }
  return out;
}

TervikResult<FragmentationMap> decode_blob_gc_stats(std::string_view section) {
  SectionCursor in(section);
  ZV_ASSIGN_OR_RETURN(uint32_t count, in.u32());
  ZV_TRY(in.expect_records(count, kGcStatsEntrySize));
  FragmentationMap::Entries entries;
  entries.reserve(count);
  for (uint32_t i = 0; i < count; ++i) {
    ZV_ASSIGN_OR_RETURN(uint64_t id, in.u64());
    ZV_ASSIGN_OR_RETURN(uint32_t len, in.u32());
    ZV_ASSIGN_OR_RETURN(uint64_t bytes, in.u64());
    ZV_ASSIGN_OR_RETURN(uint64_t on_disk, in.u64());
    entries[id] = FragmentationEntry{len, bytes, on_disk};
  }
  return FragmentationMap(std::move(entries));
}

}  // namespace tervik
