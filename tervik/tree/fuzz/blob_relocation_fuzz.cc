// Relocating compactions over blob files and tables damaged after they were
// written: blob entries with flipped key or value bytes or rewritten header
// fields (the entry checksum recomputed, the container rebuilt), table data
// blocks damaged and re-framed. The run must return an error or install a
// version whose values resolve or fail as values; after an error the version
// is unchanged and no table stays hidden. Panics are faults.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/coding.h"
#include "platform/fs.h"
#include "platform/panic.h"
#include "tervik/blob/blob_entry.h"
#include "tervik/table/testing/block_frames.h"
#include "tervik/tree/testing/blob_fixture.h"
#include "tervik/tree/testing/compaction_fixture.h"

namespace tervik {
namespace {

using Input = testing::FuzzBytes;

std::string key_of(int k) { return "k" + std::to_string(1000 + k); }

// The offsets of the entries of a blob file's data section, as far as their
// headers parse and lie within it.
std::vector<size_t> entry_offsets(const std::string& data) {
  std::vector<size_t> out;
  size_t pos = 0;
  while (data.size() - pos >= kBlobEntryHeaderSize && data.compare(pos, 4, kBlobEntryMagic) == 0) {
    const BlobEntryHeader h = BlobEntryHeader::decode(data.data() + pos);
    const size_t next = pos + kBlobEntryHeaderSize + h.key_length + h.stored_length;
    if (next > data.size()) break;
    out.push_back(pos);
    pos = next;
  }
  return out;
}

// Damages entries of the blob file at `path` in place and reseals each
// damaged entry's checksum, so that the damage passes the scanner's check.
void damage_blob_file(Input& in, const std::string& path) {
  std::vector<testing::Section> sections = testing::read_sections(path);
  if (sections.empty() || sections[0].name != "data") return;
  std::string& data = sections[0].bytes;
  for (int ops = 0; ops < 3 && !in.empty(); ++ops) {
    const std::vector<size_t> entries = entry_offsets(data);
    if (entries.empty()) return;
    const size_t pos = entries[in.u16() % entries.size()];
    BlobEntryHeader h = BlobEntryHeader::decode(data.data() + pos);
    const size_t body = h.key_length + h.stored_length;
    switch (in.u8() % 5) {
      case 0:
        if (body > 0) data[pos + kBlobEntryHeaderSize + in.u16() % body] ^= static_cast<char>(in.u8() | 1);
        break;
      case 1:
        h.key_length = static_cast<uint16_t>(in.u16());
        break;
      case 2:
        h.value_length = in.u32();
        break;
      case 3:
        h.stored_length = in.u32() % (h.stored_length + 64);
        break;
      default:
        h.seqno = in.u32();
        break;
    }
    const size_t key_end = pos + kBlobEntryHeaderSize + h.key_length;
    if (key_end <= data.size()) {
      const size_t stored = std::min<size_t>(h.stored_length, data.size() - key_end);
      h.checksum = blob_entry_checksum(std::string_view(data).substr(pos + kBlobEntryHeaderSize, h.key_length),
                                       std::string_view(data).substr(key_end, stored));
    }
    char header[kBlobEntryHeaderSize];
    h.encode_to(header);
    data.replace(pos, kBlobEntryHeaderSize, header, kBlobEntryHeaderSize);
  }
  if (!zv::fs::write_file(path, testing::build_container(sections)).ok()) zv::panic("fuzz: rewrite blob file");
}

}  // namespace
}  // namespace tervik

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tervik;
  if (size == 0) return 0;
  Input in(data, size);
  const uint8_t control = in.u8();
  testing::TreeDir dir;
  KvSeparationOptions o = testing::blob_options(32, 2048, control & 1 ? CompressionType::kLz4 : CompressionType::kNone);
  o.staleness_threshold = 0.1f;
  const BlobTree t = testing::open_blob_tree(dir, o);
  const Tree& tree = t.index();
  // Two generations over the same keys, the second rewriting half of them;
  // a first merge counts the overwritten values as garbage.
  for (int gen = 0; gen < 2; ++gen) {
    testing::Pairs pairs;
    for (int k = gen; k < 60; k += 1 + gen) {
      pairs.emplace_back(key_of(k), std::string(20 + (k * 7 + gen) % 90, static_cast<char>('a' + gen + k % 7)));
    }
    if (!testing::blob_ingest(t, pairs).ok()) zv::panic("fuzz: ingest");
  }
  std::vector<uint64_t> ids;
  for (const Table& table : tree.current_version().tables()) ids.push_back(table.id());
  if (!tree.compact(testing::scripted(compaction::Merge{testing::input_of(ids, 1)}), UINT64_MAX).ok()) {
    zv::panic("fuzz: first merge");
  }

  for (const auto& [id, file] : tree.current_version().blob_files()) {
    if (control & (2 << (id % 2))) damage_blob_file(in, file->path());
  }
  ids.clear();
  for (const Table& table : tree.current_version().tables()) {
    ids.push_back(table.id());
    if (control & 8) testing::damage_data_blocks(in, table.path());
  }
  const uint64_t version = tree.current_version().id();
  auto st = tree.compact(testing::scripted(compaction::Merge{testing::input_of(ids, 2)}),
                         control & 16 ? UINT64_MAX : 0);
  if (!tree.inner()->hidden.empty()) zv::panic("fuzz: a table stays hidden");
  if (!st.ok()) {
    if (tree.current_version().id() != version) zv::panic("fuzz: a failed compaction changed the version");
    return 0;
  }
  // Every value resolves or fails as a value.
  BlobTreeIter it = t.iter(UINT64_MAX);
  for (int budget = 1000; budget-- > 0;) {
    std::optional<BlobTreeGuard> g = it.next();
    if (!g) break;
    (void)std::move(*g).into_kv();
  }
  return 0;
}
