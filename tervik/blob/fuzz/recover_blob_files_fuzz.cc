// Recovers a blob folder holding one listed blob file built from a valid one
// and mutated by the input: the meta payload and its block header, the data
// section and the section bounds of the table of contents. The meta block
// and table-of-contents checksums are recomputed after the mutation, so the
// decoding behind them is reached. Every outcome must be a value.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/random.h"
#include "tervik/blob/blob_entry.h"
#include "tervik/blob/blob_file_meta.h"
#include "tervik/blob/recover_blob_files.h"
#include "tervik/blob/testing/blob_files.h"
#include "tervik/block/block.h"

namespace {

// A scratch folder of this process, removed at exit.
struct ScratchDir {
  ScratchDir() : path("/tmp/zv-blob-recover-fuzz-" + std::to_string(zv::os_random_u64())) {
    (void)zv::fs::create_dir_all(path);
  }
  ~ScratchDir() { (void)zv::fs::remove_dir_all(path); }
  std::string path;
};

const std::string& folder() {
  static const ScratchDir scratch;
  return scratch.path;
}

std::string seed_payload() {
  tervik::BlobFileMeta meta;
  meta.id = 1;
  meta.created_at = 123456789;
  meta.key_min = tervik::Slice(std::string_view("a"));
  meta.key_max = tervik::Slice(std::string_view("zz"));
  meta.item_count = 2;
  meta.file_size = 10;
  meta.uncompressed_size = 10;
  return *tervik::encode_blob_meta_payload(meta);
}

struct Input {
  const uint8_t* p;
  size_t n;
  uint8_t byte() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  uint16_t u16() { return static_cast<uint16_t>(byte() << 8 | byte()); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string payload_seed = seed_payload();
  Input in{data, size};
  const uint8_t flags = in.byte();

  std::string payload = payload_seed;
  std::string body = "entries";
  const size_t edits = in.byte() % 16;
  for (size_t i = 0; i < edits; ++i) {
    const uint16_t pos = in.u16();
    const uint8_t value = in.byte();
    std::string& target = (pos & 0x8000) ? body : payload;
    if (!target.empty()) target[(pos & 0x7fff) % target.size()] ^= static_cast<char>(value);
  }
  if (flags & 1) payload.resize(in.u16() % (payload.size() + 1));

  tervik::BlockHeader header;
  header.block_type = tervik::BlockType::kMeta;
  header.checksum = tervik::Checksum::of(payload);
  header.data_length = static_cast<uint32_t>(payload.size());
  header.uncompressed_length = header.data_length;
  if (flags & 2) header.data_length ^= in.u16();  // stored length off its payload
  std::string meta = (flags & 4) ? "MEAT" : "META";
  header.encode_to(&meta);
  meta += payload;

  std::vector<zv::archive::TocEntry> toc = {{"data", 0, body.size()},
                                            {"meta", body.size(), meta.size()}};
  if (flags & 8) toc[1].len = (uint64_t{in.u16()} << (in.byte() % 48));
  if (flags & 16) toc[1].pos = in.u16();
  if (flags & 32) toc[1].name = "mexa";
  std::string file = tervik::testing::archive_with_toc(body + meta, toc);
  if (flags & 64) file.resize(in.u16() % (file.size() + 1));

  const std::string path = zv::fs::join(folder(), "1");
  (void)zv::fs::write_file(path, file);
  auto cache = (flags & 128) ? std::make_shared<tervik::FileDescriptorCache>(2) : nullptr;
  auto r = tervik::vlog::recover_blob_files(folder(), {{1, tervik::Checksum(1, 1)}}, 1, cache);
  if (r.ok() && r->blob_files.size() != 1) __builtin_trap();
  return 0;
}
