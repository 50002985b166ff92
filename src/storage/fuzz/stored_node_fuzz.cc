// Random partition 0 values and random segment bytes, read back through the
// engine's single read, batch read and scan: they may find nodes, skip them
// or fail, but never crash or read outside the segment.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/coding.h"
#include "src/backends/in_memory_backend.h"
#include "src/index/hnsw_index.h"
#include "src/record/node_key.h"
#include "src/storage/storage_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zv;
  if (size < 8) return 0;
  // Layout: four storage offsets (u16 each, widened), a value length (u16),
  // the value bytes for node 1 (others get slices of it), then segment bytes.
  uint64_t offsets[4];
  for (int i = 0; i < 4; ++i) offsets[i] = coding::get_u16_le(data + 2 * i);
  size_t pos = 8;
  size_t value_len = 0;
  if (size >= pos + 2) {
    value_len = coding::get_u16_le(data + pos) % 4096;
    pos += 2;
  }
  value_len = std::min(value_len, size - pos);
  const std::string value(reinterpret_cast<const char*>(data + pos), value_len);
  pos += value_len;

  Config config;
  config.backend = BackendKind::kInMemory;
  EngineParts parts;  // memory mode with a segment of the input's size
  parts.config = config;
  parts.backend = std::make_shared<InMemoryBackend>();
  parts.vector_index = std::make_shared<HnswIndex>(HnswConfig{}, IndexBacking::in_memory());
  const size_t seg_bytes = size - pos;
  parts.segments.push_back(VFile::in_memory(64 + seg_bytes));
  auto out = parts.segments[0].bytes_mut();
  if (!out.ok()) return 0;
  std::memcpy(out->data() + 64, data + pos, seg_bytes);
  auto engine = StorageEngine::assemble(std::move(parts));

  std::vector<NodeId> ids;
  for (int i = 0; i < 4; ++i) {
    // The id the header at the offset names, when there is one, so that the
    // reads get past the id check.
    const uint64_t header = offsets[i] & ~uint64_t{63};
    NodeId id = static_cast<NodeId>(i + 1);
    if (header + 16 <= out->size())
      id = make_node_id(coding::get_u64_le(out->data() + header + 8),
                        coding::get_u64_le(out->data() + header));
    ids.push_back(id);
    (void)engine->vector_index()->add(id, FilterBitset(), VectorRepr::none(), offsets[i]);
    (void)engine->backend->put(Partition::kDefault, node_key(id), value.substr(0, value.size() >> i));
  }
  (void)engine->backend->put(Partition::kDefault, std::string(3, 'x'), value);
  for (NodeId id : ids) (void)engine->read_stored_node(id);
  (void)engine->get_many(ids);
  (void)engine->scan_all_nodes();
  (void)engine->scan_nodes_page(value.substr(0, 40), 2);
  return 0;
}
