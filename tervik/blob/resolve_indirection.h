// Turns an item read from a key-value-separated tree into the user's value:
// an indirection is served from the block cache or read (one positioned
// read), verified and decompressed from the blob file it names. Runs on any
// reading thread at once; all it learns goes into the two shared caches.
#pragma once

#include <cstdint>
#include <utility>

#include "tervik/blob/blob_file.h"
#include "tervik/cache/block_cache.h"
#include "tervik/core/error.h"
#include "tervik/core/internal_value.h"

namespace tervik::vlog {

inline constexpr const char* kFatalNoMatchingBlob =
    ") did not match any blob - this is a bug; version=";

// `blob_files` and `version_id` are those of the version the item was read
// from. A value that is not an indirection comes back unchanged. Errors: a
// truncated indirection (Io "could not read byte"), a read past the file or
// short (Io, unexpected end of file), a wrong marker (InvalidHeader "Blob"),
// a checksum mismatch (logged), a header value length other than the
// indirection's size or an LZ4 block that does not decode to it
// (Decompress Lz4). A failed read caches nothing.
TervikResult<std::pair<UserKey, UserValue>> resolve_indirection(uint64_t tree_id,
                                                                const BlobFileMap& blob_files,
                                                                uint64_t version_id,
                                                                BlockCache& cache,
                                                                const InternalValue& item);

}  // namespace tervik::vlog
