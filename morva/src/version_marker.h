// The format marker of a database folder: the file "version" holding "MRV"
// and the format byte. Written once at creation (under a temporary name,
// synced and moved into place, so that a stop half-way never leaves a short
// marker) and checked by every open. Stateless functions.
#pragma once

#include <string>
#include <string_view>

#include "morva/src/error.h"
#include "platform/file_system.h"

namespace morva {

inline constexpr const char* kVersionFileName = "version";
inline constexpr std::string_view kVersionMagic = "MRV";
inline constexpr const char* kV2RefusalMessage =
    "It looks like you are trying to open a V2 database - the database needs a manual migration, a "
    "tool is available at the engine's migration utility, which converts a V2 folder into the "
    "current format.";

// Writes "MRV" and the current format byte to `file` at offset 0.
zv::IoStatus write_version_marker(zv::FsFile& file);
// Writes the marker of `folder` durably: a temporary file is written, synced
// and renamed to "version", then the folder is synced.
MorvaStatus write_version_marker_file(zv::FileSystem& fs, const std::string& folder);
// Checks the marker bytes: only V3 passes; V1, V2 (after an error log) and
// anything that is not a marker are InvalidVersion. Bytes after the fourth
// are ignored.
MorvaStatus check_version_marker(std::string_view content);
// Reads and checks the marker of `folder` (Io when it cannot be read).
MorvaStatus read_version_marker(zv::FileSystem& fs, const std::string& folder);

}  // namespace morva
