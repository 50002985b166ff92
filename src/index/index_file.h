// The index file `vector_index.bin`: one whole HnswIndex (configuration,
// max_level, entry point, every node with filter bits, storage offset, vector
// and neighbour lists, and the IVF index when it is current), written at
// format version 8 and read at versions 0 to 8. Used by the persistence
// lifecycle (index_persistence.h). The writers read a live index (the caller
// keeps other writers out); the reader builds a private index.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/file_system.h"
#include "platform/io_error.h"
#include "src/index/hnsw_index.h"

namespace zv {

inline constexpr const char* kIndexFileName = "vector_index.bin";
inline constexpr std::array<uint8_t, 4> kIndexMagic = {'Z', 'N', 'D', 'X'};
inline constexpr uint16_t kIndexFileVersion = 8;
// The smallest node record: id, empty bitset, offset, type, length, layers.
inline constexpr uint64_t kMinNodeRecordBytes = 45;
// The streaming writer's buffer.
inline constexpr size_t kIndexStreamBuffer = 8192;

// The header's plausibility limits are the configuration limits of
// hnsw_config.h: a file beyond them is corrupt.

inline constexpr const char* kIndexTooSmall = "Index file too small";
inline constexpr const char* kIndexFormatMismatch = "Index format mismatch";
inline constexpr const char* kMagicHint = "{}: expected magic {}, found {}";
inline constexpr const char* kVersionHint =
    "{}: file version {} is newer than this software (max {})";
inline constexpr const char* kTruncated = "Truncated {}";
inline constexpr const char* kNodeCountImplausible =
    "node_count ({}) exceeds plausible limit for {} remaining bytes";
inline constexpr const char* kLayerCountImplausible = "layer_count ({}) exceeds remaining data";
inline constexpr const char* kLayerCountAboveLevels =
    "layer_count ({}) exceeds max_level + 1 ({})";
inline constexpr const char* kNeighborCountOverflow = "neighbor_count overflow";
inline constexpr const char* kVecLenOverflowF32 = "vec_len overflow (f32)";
inline constexpr const char* kVecLenOverflowBinary = "vec_len overflow (binary)";
inline constexpr const char* kConfigImplausible = "{} ({}) is not plausible";
inline constexpr const char* kMaxLevelImplausible = "max_level ({}) exceeds plausible limit";
inline constexpr const char* kMmapInvalidLen = "MmapFull invalid len in serialize";
inline constexpr const char* kIvfDecodeFailed =
    "Failed to deserialize IVF index data, will rebuild on first search";

// The whole file as one byte image. Fails only on a mapped vector without a
// valid f32 view ("MmapFull invalid len in serialize").
IoResult<std::string> serialize_index(const HnswIndex& index);
// The same bytes written through an 8192-byte buffer into the file from
// `offset` on.
IoStatus stream_index(const HnswIndex& index, FsFile& file, uint64_t offset = 0);
// A new index read from the bytes of a file, with the given backing. Copies
// everything it keeps: the bytes may be released when it returns. Errors are
// I/O errors (invalid data, or unexpected end of input "Truncated <field>").
IoResult<std::unique_ptr<HnswIndex>> deserialize_index(
    std::span<const uint8_t> bytes, IndexBacking backing = IndexBacking::in_memory());

}  // namespace zv
