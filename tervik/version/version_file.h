// The version file of a tree ("v" + id, a table-archive container of eight
// sections) and its 25-byte "current" pointer: the codecs of the sections,
// the writer of a whole file and the reader that recovery uses. Works on the
// persisted form (ids, checksums, sequence offsets), not on open tables.
// Pure functions but for the file I/O; safe to call from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tervik/core/checksum.h"
#include "tervik/core/error.h"
#include "tervik/version/fragmentation_map.h"
#include "tervik/version/tree_type.h"
#include "tervik/version/version_fs.h"

namespace tervik {

inline constexpr std::string_view kSectionFormatVersion = "format_version";
inline constexpr std::string_view kSectionCoreVersion = "core_version";
inline constexpr std::string_view kSectionTreeType = "tree_type";
inline constexpr std::string_view kSectionLevelCount = "level_count";
inline constexpr std::string_view kSectionFilterHashType = "filter_hash_type";
inline constexpr std::string_view kSectionTables = "tables";
inline constexpr std::string_view kSectionBlobFiles = "blob_files";
inline constexpr std::string_view kSectionBlobGcStats = "blob_gc_stats";

inline constexpr uint8_t kVersionFileFormatVersion = 3;
inline constexpr std::string_view kVersionFileCoreVersion = "3.1.10";
inline constexpr uint8_t kVersionFilterHashXxh3 = 0;
inline constexpr uint8_t kVersionChecksumTypeXxh3 = 0;
inline constexpr std::string_view kChecksumTypeTagName = "ChecksumType";

inline constexpr std::string_view kVersionFilePrefix = "v";
inline constexpr std::string_view kCurrentFileName = "current";
// Suffix of the temporary file a version file is written to before its rename.
inline constexpr std::string_view kVersionTempSuffix = ".tmp";
inline constexpr size_t kCurrentFileSize = 25;  // id u64, checksum 16, type u8
inline constexpr size_t kVersionFileBufferSize = 8 * 1024;

// Bytes per stored record, which also bound the counts a decoder accepts.
inline constexpr size_t kPersistedTableSize = 33;     // id, type, checksum, seqno offset
inline constexpr size_t kPersistedBlobFileSize = 25;  // id, type, checksum
inline constexpr size_t kRunHeaderSize = 4;           // u32 table count

inline constexpr const char* kVersionRecoveryTarget = "tervik::version::recovery";
inline constexpr const char* kFatalPersistedRunEmpty = "persisted runs should not be empty";

struct PersistedTable {
  uint64_t id = 0;
  Checksum checksum;
  uint64_t global_seqno = 0;
  bool operator==(const PersistedTable&) const = default;
};
using PersistedRun = std::vector<PersistedTable>;
using PersistedLevel = std::vector<PersistedRun>;

struct PersistedBlobFile {
  uint64_t id = 0;
  Checksum checksum;
  bool operator==(const PersistedBlobFile&) const = default;
};

struct VersionFileContents {
  TreeType tree_type = TreeType::kStandard;
  std::vector<PersistedLevel> levels;
  std::vector<PersistedBlobFile> blob_files;  // recovery sorts them by id
  FragmentationMap gc_stats;
  // The "level_count" section, when the file has one (read, never written
  // from here: the writer stores levels.size()).
  std::optional<uint8_t> level_count;
};

// "v" + id in decimal.
std::string version_file_name(uint64_t id);

// "tables": u8 level count, per level u8 run count, per run u32 table count
// and 33 bytes per table. More than 255 levels or runs in a level, or 2^32 or
// more tables in a run, cannot be stored: Io (invalid input), nothing encoded.
TervikResult<std::string> encode_tables_section(const std::vector<PersistedLevel>& levels);
// Reads "tables" back. Every count is bounded by the bytes left before
// anything is reserved; a short section is Io (unexpected end of file), a
// checksum type other than 0 InvalidTag("ChecksumType"), and a run of zero
// tables or zero levels (neither can be written) is logged and Unrecoverable.
TervikResult<std::vector<PersistedLevel>> decode_tables_section(std::string_view section,
                                                                uint64_t version_id);

// "blob_files": u32 count, then 25 bytes per blob file. 2^32 or more: Io.
TervikResult<std::string> encode_blob_files_section(const std::vector<PersistedBlobFile>& files);
TervikResult<std::vector<PersistedBlobFile>> decode_blob_files_section(std::string_view section);

// The bytes of a whole version file. Counts that do not fit are Io.
TervikResult<std::string> encode_version_file(const VersionFileContents& contents);

// Writes the whole version file at `path` and returns the checksum of all its
// bytes: the bytes go to "<path>.tmp" (creation retried on sharing
// conflicts), which is synced and renamed over `path`, so that `path` always
// holds a complete old or a complete new content. The caller syncs the
// folder. Counts that do not fit fail before any file is created; on a
// failure the temporary file is removed as far as possible.
TervikResult<Checksum> write_version_file(VersionFs& fs, const std::string& path,
                                          const VersionFileContents& contents);

// Reads the sections recovery needs from the version file of `version_id` at
// `path`: "tables", "blob_files", "blob_gc_stats" and "tree_type", in that
// order, and "level_count" when present. A missing one is logged ("... section not found in version #id -
// maybe the file is corrupted?") and Unrecoverable; a tree type of 2 or more
// is InvalidHeader("TreeType").
TervikResult<VersionFileContents> read_version_file(const std::string& path, uint64_t version_id);

// The 25 bytes of "current": id, checksum, checksum type 0.
std::string encode_current(uint64_t version_id, const Checksum& checksum);
struct CurrentPointer {
  uint64_t version_id = 0;
  // The checksum of the whole version file, unless "current" is too short
  // or names another checksum type.
  std::optional<Checksum> checksum;
};
// The version named by the "current" file in `folder`: its first 8 bytes
// are required, the checksum part is read when present.
TervikResult<CurrentPointer> read_current(const std::string& folder);

// The XXH3-128 of the whole file at `path`.
TervikResult<Checksum> checksum_of_file(const std::string& path);

}  // namespace tervik
