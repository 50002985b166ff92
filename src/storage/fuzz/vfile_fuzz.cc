// Opens arbitrary bytes as a vector store segment file, both read-only and
// writable: the open, header reads at positions taken from the input (near
// 2^64 too) and the rebuild walk must never crash, read out of bounds or
// allocate beyond the file's size.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/coding.h"
#include "platform/fs.h"
#include "src/index/hnsw_index.h"
#include "src/storage/rebuild_from_store.h"

namespace {

std::string scratch_path() {
  static const std::string p = "/tmp/zv-vfile-fuzz-" + std::to_string(::getpid());
  return p;
}

void exercise(const zv::VFile& f, const uint8_t* data, size_t size) {
  for (size_t i = 0; i + 8 <= size && i < 256; i += 8) {
    const uint64_t pos = zv::coding::get_u64_le(data + i);
    for (uint64_t p : {pos, pos & 0xFFFF, ~pos, pos & ~uint64_t{63}, ~uint64_t{63} - (pos & 0xFC0)}) {
      if (auto h = f.node_header_at(p)) (void)zv::read_stored_vector(f, *h);
      (void)f.disk_node_header_at(p);
    }
  }
  zv::StoreScan scan = zv::scan_store_for_rebuild(f);
  if (scan.items.size() <= 64) {
    zv::HnswIndex index(zv::HnswConfig{}, zv::IndexBacking::in_memory());
    (void)zv::add_rebuild_items(index, scan.items);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = scratch_path();
  if (!zv::fs::write_file(path, std::string_view(reinterpret_cast<const char*>(data), size)).ok())
    return 0;
  for (bool ro : {true, false}) {
    auto f = zv::VFile::open(path, 0, ro);
    if (f.ok()) exercise(*f, data, size);
  }
  // The same bytes as an in-memory segment's contents.
  zv::VFile m = zv::VFile::in_memory(size);
  auto out = m.bytes_mut();
  if (out.ok() && size > 64) {
    std::copy(data + 64, data + size, out->data() + 64);
    m.set_write_offset(zv::round_up_64(size));
    exercise(m, data, size);
  }
  (void)zv::fs::remove_file(path);
  return 0;
}
