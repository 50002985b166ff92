// How a stored node's vector is read back from its record: whether the
// payload a header names is readable (inside the buffer, binary words on an
// 8-byte boundary, a finite 8-bit scale) and its copy by kind. Shared by the
// single and batch reads, the scans and the index rebuild. Pure functions;
// the caller holds the segment's lock.
#pragma once

#include <cstdint>
#include <span>

#include "src/storage/node_record_header.h"
#include "src/vector/vector_repr.h"

namespace zv {

bool payload_readable(std::span<const uint8_t> bytes, const NodeRecordHeader& h);
// The payload by kind: kinds 0 and 1 n f32 values (empty when n is 0),
// 2 words, 3 packed bytes, 4 codes with the scale; no vector for any other
// kind. The payload must be readable.
VectorRepr copy_payload(std::span<const uint8_t> bytes, const NodeRecordHeader& h);

}  // namespace zv
