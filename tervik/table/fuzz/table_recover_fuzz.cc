// Opens mutated table files and reads everything they offer: recovery, full
// iteration from both ends, point reads, the scanner and the linked blob
// files. Mutations flip block bytes, rewrite block header fields, truncate,
// swap and resize sections; block checksums and the table of contents are
// recomputed afterwards so that the damage reaches the decoders behind them.
// Errors are expected; crashes, out-of-bounds reads and allocations beyond
// the file's size are not.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "tervik/block/bloom_filter.h"
#include "tervik/table/table.h"
#include "tervik/table/testing/block_frames.h"
#include "tervik/table/testing/table_builder.h"

namespace tervik {
namespace {

using testing::Frame;
using testing::frames_of;
using testing::reseal;

struct Seed {
  std::vector<testing::Section> sections;
  std::vector<Frame> frames;
};

std::string key_of(size_t k) {
  char key[16];
  std::snprintf(key, sizeof(key), "k%04zu", k);
  return key;
}

const std::vector<Seed>& seeds() {
  static const std::vector<Seed> all = [] {
    std::vector<Seed> out;
    zv::testing::TempDir dir;
    std::vector<InternalValue> items;
    for (size_t k = 0; k < 120; ++k) {
      for (SeqNo s : {9, 4}) {
        if (k % 3 != 0 && s == 4) continue;
        items.push_back(k % 11 == 0 ? InternalValue::new_tombstone(UserKey(std::string_view(key_of(k))), s)
                                    : InternalValue::new_value(UserKey(std::string_view(key_of(k))),
                                                               UserValue(std::string(k % 30, 'v')), s));
      }
    }
    for (int variant = 0; variant < 4; ++variant) {
      testing::TableOptions o;
      o.block_size = 200;
      o.restart_interval = variant == 1 ? 1 : 4;
      o.partitioned_index = variant >= 2;
      o.partitioned_filter = variant == 3;
      o.bits_per_key = variant == 1 ? 0.0f : 10.0f;
      o.data_compression = variant == 2 ? CompressionType::kLz4 : CompressionType::kNone;
      o.hash_ratio = variant == 0 ? 0.75f : 0.0f;
      if (variant == 3) o.linked_blob_files = {{3, 10, 8, 1}};
      const std::string path = zv::fs::join(dir.path(), std::to_string(variant));
      if (!testing::write_table(path, 7, items, o).ok()) continue;
      Seed seed;
      seed.sections = testing::read_sections(path);
      seed.frames = frames_of(seed.sections);
      out.push_back(std::move(seed));
    }
    return out;
  }();
  return all;
}

using Input = testing::FuzzBytes;

void mutate(Input& in, std::vector<testing::Section>& sections, const std::vector<Frame>& frames) {
  for (int ops = 0; ops < 8 && !in.empty(); ++ops) {
    const uint8_t op = in.u8() % 6;
    if (sections.empty()) return;
    if ((op == 0 || op == 1) && !frames.empty()) {
      const Frame& f = frames[in.u16() % frames.size()];
      std::string& b = sections[f.section].bytes;
      if (f.pos + kBlockHeaderSize > b.size()) continue;
      auto h = BlockHeader::decode(std::string_view(b).substr(f.pos));
      if (!h.ok()) continue;
      if (op == 0) {  // flip payload bytes
        const size_t len = std::min<size_t>(h->data_length, b.size() - f.pos - kBlockHeaderSize);
        if (len == 0) continue;
        b[f.pos + kBlockHeaderSize + in.u16() % len] ^= static_cast<char>(in.u8() | 1);
      } else {  // rewrite a header field
        switch (in.u8() % 3) {
          case 0: h->data_length = in.u32(); break;
          case 1: h->uncompressed_length = in.u32(); break;
          default: h->block_type = static_cast<BlockType>(in.u8() % 4); break;
        }
      }
      reseal(sections, f, *h);
    } else if (op == 2) {  // truncate a section
      auto& s = sections[in.u8() % sections.size()];
      s.bytes.resize(s.bytes.empty() ? 0 : in.u16() % s.bytes.size());
    } else if (op == 3) {  // swap the contents of two sections
      std::swap(sections[in.u8() % sections.size()].bytes, sections[in.u8() % sections.size()].bytes);
    } else if (op == 4) {  // a stored length that says more than the bytes
      sections[in.u8() % sections.size()].stored_len = in.u32();
    } else {  // hide a section under another name (frames keep their indexes)
      sections[in.u8() % sections.size()].name.insert(0, "_");
    }
  }
}

void read_everything(const Table& t) {
  size_t budget = 10000;
  auto it = t.iter();
  for (bool back = false; budget-- > 0; back = !back) {
    ReadItem e = back ? it.next_back() : it.next();
    if (!e || !e->ok()) break;
  }
  auto r = t.range(Bound::included(Slice(std::string_view(key_of(20)))),
                   Bound::excluded(Slice(std::string_view(key_of(90)))));
  while (budget-- > 0) {
    ReadItem e = r.next_back();
    if (!e || !e->ok()) break;
  }
  for (size_t k = 0; k < 130; k += 7) {
    const std::string key = key_of(k);
    (void)t.get(key, 1 + k % 12, BloomFilter::key_hash(key));
  }
  if (auto s = t.scan(); s.ok()) {
    while (budget-- > 0) {
      ReadItem e = s->next();
      if (!e || !e->ok()) break;
    }
  }
  (void)t.linked_blob_bytes();
}

}  // namespace
}  // namespace tervik

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tervik;
  static zv::testing::TempDir dir;
  static const std::string path = zv::fs::join(dir.path(), "table");
  const auto& all = seeds();
  if (all.empty() || size == 0) return 0;
  Input in(data, size);
  const uint8_t control = in.u8();
  const Seed& seed = all[control % all.size()];
  auto sections = seed.sections;
  mutate(in, sections, seed.frames);
  std::string file = testing::build_container(sections);
  if (control & 0x80) file.resize(file.size() - std::min<size_t>(file.size(), in.u8()));
  if (!zv::fs::write_file(path, file).ok()) return 0;

  auto cache = BlockCache::with_shards(64 * 1024, 2);
  auto fds = (control & 0x10) ? std::make_shared<FileDescriptorCache>(1) : nullptr;
  auto t = Table::recover(path, Checksum(), control & 0x20 ? 5 : 0, 1, cache, fds,
                          (control & 0x40) != 0, (control & 0x08) != 0);
  if (t.ok()) read_everything(*t);
  return 0;
}
