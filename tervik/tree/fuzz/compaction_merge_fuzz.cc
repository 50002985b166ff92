// Merges tables whose data blocks were damaged after they were written:
// payload bytes flipped or header fields rewritten, the block checksum
// recomputed so that the damage reaches the decoders. The run must return an
// error or install a version whose tables read back; after an error the
// version is unchanged and no table stays hidden. Panics, out-of-bounds
// reads and allocations beyond a file's size are faults.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/panic.h"
#include "platform/testing/temp_dir.h"
#include "tervik/table/testing/block_frames.h"
#include "tervik/tree/testing/compaction_fixture.h"
#include "tervik/tree/testing/tree_fixture.h"

namespace tervik {
namespace {

using Input = testing::FuzzBytes;

std::string key_of(size_t k) {
  char key[16];
  std::snprintf(key, sizeof(key), "k%04zu", k);
  return key;
}

// Reads every table of the version from start to end.
void read_back(const Version& v) {
  for (const Table& t : v.tables()) {
    auto s = t.scan();
    if (!s.ok()) continue;
    for (size_t budget = 100000; budget-- > 0;) {
      ReadItem e = s->next();
      if (!e || !e->ok()) break;
    }
  }
}

}  // namespace
}  // namespace tervik

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tervik;
  if (size == 0) return 0;
  Input in(data, size);
  const uint8_t control = in.u8();
  testing::TreeDir dir;
  TreeConfig config = dir.config();
  config.data_block_size_policy = BlockSizePolicy::all(256);
  if (control & 1) config.data_block_compression_policy = CompressionPolicy{CompressionType::kLz4};
  auto opened = Tree::open(std::move(config));
  if (!opened.ok()) zv::panic("fuzz: open tree");
  const Tree tree = *opened;
  std::vector<uint64_t> ids;
  SeqNo s = 1;
  for (int table = 0; table < 2; ++table) {
    for (size_t k = table; k < 150; k += 1 + table) {
      if (k % 13 == 0) {
        tree.remove(key_of(k), s++);
      } else {
        testing::put(tree, key_of(k), std::string(k % 40, static_cast<char>('a' + table)), s++);
      }
    }
    ids.push_back(testing::flush(tree));
  }
  for (const Table& t : tree.current_version().tables()) {
    if (control & (2 << (t.id() % 2))) testing::damage_data_blocks(in, t.path());
  }
  const uint64_t version = tree.current_version().id();
  const uint8_t dest = (control & 8) ? 6 : 1;
  auto st = tree.compact(testing::scripted(compaction::Merge{testing::input_of(ids, dest)}), control & 16 ? s : 0);
  if (!tree.inner()->hidden.empty()) zv::panic("fuzz: a table stays hidden");
  if (!st.ok()) {
    if (tree.current_version().id() != version) zv::panic("fuzz: a failed merge changed the version");
    return 0;
  }
  read_back(tree.current_version());
  return 0;
}
