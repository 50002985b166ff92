// The life of an index beside its file: loading at open (copied or mapped),
// writing at flush through "<name>.bin.tmp" (synced, renamed over the file,
// directory synced, so a crash leaves the old or the new file), remapping
// after a rewrite, and the integrity report of a freshly loaded index. Used
// by HnswIndex's persistence operations and by the storage engine. Writers
// expect the engine's insert lock; loading works on a private index. Every
// open, write, sync, rename and directory sync goes through a FileSystem (the
// operating system's by default); mappings are made on the real files.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/file_system.h"
#include "platform/io_error.h"
#include "platform/mmap.h"
#include "src/index/hnsw_index.h"

namespace zv {

inline constexpr const char* kIndexTempExtension = "bin.tmp";
// A mapped load refuses files below this size.
inline constexpr uint64_t kMinMappedIndexBytes = 64;

inline constexpr const char* kLoadTooSmall = "HNSW index file too small ({} bytes) \xE2\x80\x94 will rebuild";
inline constexpr const char* kLoadMmapFailed = "Failed to mmap HNSW index file \xE2\x80\x94 will rebuild";
inline constexpr const char* kLoadCorrupt = "Corrupt vector_index.bin \xE2\x80\x94 will rebuild and overwrite";
inline constexpr const char* kLoadedMapped = "HNSW cold-start: loaded index from mmap file";
inline constexpr const char* kLoadedCopied = "HNSW cold-start: loaded memory-copied index from file";
inline constexpr const char* kIntegrityViolations =
    "HNSW index has integrity violations after deserialization";
inline constexpr const char* kIntegrityViolation = "HNSW integrity violation";
inline constexpr const char* kPersisted = "HNSW index persisted (streaming)";
inline constexpr const char* kSynced =
    "HNSW MMap synced & zero-copy pointers re-mapped via atomic rename";

// The temporary file of an index file: its extension replaced by "bin.tmp"
// ("vector_index.bin" -> "vector_index.bin.tmp"), in the same directory.
std::string temp_index_path(const std::string& path);

// The index in the file, or none (missing, unreadable or corrupt file; the
// reason goes to a warning event). With use_mmap the index is backed by a
// read-write mapping of the file.
std::unique_ptr<HnswIndex> load_vector_index(const std::string& path, bool use_mmap,
                                             FileSystem& fsys = FileSystem::os());

// Warning events for the integrity violations of a loaded index; changes
// nothing.
void check_loaded_integrity(const HnswIndex& index);

// Streams the index into the temporary file, syncs it, renames it over
// `path` and syncs the directory. A failure before the rename removes the
// temporary file and leaves the old file untouched; a failed directory sync
// is reported after the new file has taken the old one's place.
IoStatus persist_index(const HnswIndex& index, const std::string& path,
                       FileSystem& fsys = FileSystem::os());

// Writes `image` into the temporary file and syncs it; when `verify` is set
// the image is read back from that file and decoded first. Then renames it
// over `path`, syncs the directory and maps `path` for reading and writing.
// Failures leave `path` as persist_index's do.
IoResult<std::shared_ptr<MemoryMap>> replace_and_map(const std::string& image,
                                                     const std::string& path, bool verify,
                                                     FileSystem& fsys = FileSystem::os());

// persist_and_remap: a new index read from the rewritten file and backed by
// its mapping; `index` is unchanged.
IoResult<std::unique_ptr<HnswIndex>> persist_and_remap_index(
    const HnswIndex& index, const std::string& path, FileSystem& fsys = FileSystem::os());

}  // namespace zv
