// Resolves indirections from the input against blob files whose entries the
// input mutated: every outcome must be a value (the user's bytes or an
// error), never a crash or a buffer sized by damaged stored lengths.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/random.h"
#include "tervik/blob/resolve_indirection.h"
#include "tervik/blob/testing/blob_files.h"

namespace {

struct Seed {
  ~Seed() { (void)zv::fs::remove_dir_all(dir); }
  std::string dir;
  std::string bytes[2];  // None and LZ4 files
  std::vector<tervik::testing::BlobValue> values[2];
};

const Seed& seed() {
  static const Seed s = [] {
    Seed s;
    s.dir = "/tmp/zv-blob-resolve-fuzz-" + std::to_string(zv::os_random_u64());
    (void)zv::fs::create_dir_all(s.dir);
    for (int c = 0; c < 2; ++c) {
      s.values[c] = {{"key", "value"}, {"k2", std::string(3000, 'x') + "y"}, {"k3", ""}};
      auto f = tervik::testing::write_blob_file(
          s.dir, 100 + c, 1, &s.values[c],
          c == 0 ? tervik::CompressionType::kNone : tervik::CompressionType::kLz4);
      s.bytes[c] = *zv::fs::read_file(f->path());
    }
    return s;
  }();
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Seed& s = seed();
  if (size < 3) return 0;
  const int c = data[0] & 1;
  const auto& value = s.values[c][(data[0] >> 1) % s.values[c].size()];
  std::string bytes = s.bytes[c];
  size_t i = 1;
  // (offset, xor) pairs inside or near the chosen entry.
  const size_t edits = data[i++] % 8;
  for (size_t e = 0; e < edits && i + 2 <= size; ++e, i += 2) {
    const size_t at = (value.handle.offset + data[i]) % bytes.size();
    bytes[at] ^= static_cast<char>(data[i + 1]);
  }
  const std::string path = zv::fs::join(s.dir, "m");
  (void)zv::fs::write_file(path, bytes);
  auto file = zv::File::open_read(path);
  if (!file.ok()) return 0;

  tervik::BlobFile::Parts parts;
  parts.id = 7;
  parts.tree_id = 1;
  parts.path = path;
  parts.meta.compression = c == 0 ? tervik::CompressionType::kNone : tervik::CompressionType::kLz4;
  parts.file_length = bytes.size();
  parts.handle = std::make_shared<const zv::File>(std::move(*file));
  tervik::BlobFileMap files;
  files[7] = std::make_shared<tervik::BlobFile>(std::move(parts));

  // The rest: either raw indirection bytes, or the real one with its fields
  // nudged; the file id always names the one file.
  std::string indirection;
  tervik::BlobIndirection real{value.handle, static_cast<uint32_t>(value.value.size())};
  real.vhandle.blob_file_id = 7;
  if (i < size && (data[i++] & 1)) {
    indirection.assign(reinterpret_cast<const char*>(data + i), size - i);
    std::string_view probe = indirection;
    auto decoded = tervik::BlobIndirection::decode(&probe);
    if (decoded.ok() && decoded->vhandle.blob_file_id != 7) return 0;
  } else {
    if (i + 3 <= size) {
      real.vhandle.offset += static_cast<int8_t>(data[i]);
      real.vhandle.on_disk_size ^= uint32_t{data[i + 1]} << (data[i + 2] % 32);
      real.size ^= data[i + 2];
    }
    indirection = real.encode();
  }
  auto cache = tervik::BlockCache::with_shards(1 << 16, 1);
  auto item = tervik::InternalValue::new_indirection(tervik::Slice(value.key), indirection, 1);
  auto r = tervik::vlog::resolve_indirection(1, files, 1, *cache, item);
  if (r.ok() && cache->size() > 1) __builtin_trap();
  return 0;
}
