// File creation and whole-file replacement that survive a crash or power
// loss: rewrite_atomic (a reader sees the old or the new content, never a mix)
// and create_new (exclusive creation whose directory entry is made durable).
// Used by table, blob and version files. Thread-safe across different targets.
#pragma once

#include <string>
#include <string_view>

#include "platform/file.h"
#include "platform/io_error.h"

namespace tervik::file {

// Prefix of the temporary files rewrite_atomic creates: ".tmp" and six
// characters of [A-Za-z0-9]. Nothing else of the tree starts with it.
inline constexpr std::string_view kTempPrefix = ".tmp";
inline constexpr size_t kTempRandomChars = 6;
inline constexpr uint32_t kMaxTempAttempts = 0x10000;
inline constexpr const char* kTooManyTempFiles = "too many temporary files exist";

// Replaces the file at `path` (which need not exist) with exactly `content`:
// writes a new temporary file beside it, syncs it, renames it over the target
// and syncs the folder, so that the replacement survives a power loss. On any
// failure after the temporary file was created it is removed again and the
// target is untouched. A path without a parent folder is the fatal error
// "should have a parent".
zv::IoStatus rewrite_atomic(const std::string& path, std::string_view content);

// Creates `path` exclusively (failing when it exists), opened for reading and
// writing, and syncs its folder so that the new entry survives a power loss.
zv::IoResult<zv::File> create_new(const std::string& path);

// True for a file name that rewrite_atomic uses for its temporary files.
bool is_temp_name(std::string_view name);

}  // namespace tervik::file
