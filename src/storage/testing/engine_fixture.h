// Test support for engine reads: a memory-mode engine and a way to store a
// node in its three places (segment 0 record, vector index entry, partition
// 0 record) without the writers. Test-only helpers.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>

#include "src/record/node_codec.h"
#include "src/record/node_key.h"
#include "src/storage/storage_engine.h"

namespace zv::testing {

inline std::shared_ptr<StorageEngine> memory_engine(Config config = Config{}) {
  config.backend = BackendKind::kInMemory;
  return StorageEngine::assemble(StorageEngine::memory_mode_parts(std::move(config)));
}

// Appends the node's record to segment 0, adds it to the index at that
// offset and writes its partition 0 record; returns the storage offset.
inline uint64_t store_node(StorageEngine& engine, const EngineNode& node) {
  uint64_t offset = 0;
  {
    auto lock = engine.lock_segment0();
    EXPECT_TRUE(lock.ok());
    auto p = engine.segments[0]->file.append_node(node);
    EXPECT_TRUE(p.ok()) << p.error().message();
    offset = p.ok() ? *p : 0;
  }
  auto added = engine.vector_index()->add(node.id, FilterBitset(node.bitset), node.vector, offset);
  EXPECT_TRUE(added.ok()) << added.error().message();
  auto put = engine.backend->put(Partition::kDefault, node_key(node.id),
                                 encode_node_metadata(node_metadata_of(node, 1)));
  EXPECT_TRUE(put.ok());
  return offset;
}

inline EngineNode test_node(NodeId id, VectorRepr v = VectorRepr::f32({1.0f, 2.0f})) {
  EngineNode n = EngineNode::create(id);
  n.vector = std::move(v);
  n.set_field("k", FieldValue::string("v" + node_id_to_string(id)));
  return n;
}

}  // namespace zv::testing
