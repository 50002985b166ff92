// Directory entries seen without following symbolic links: whether an entry
// is itself a folder (a link to a folder is not one), and making a link.
// Used by clean-ups that remove links like files, and by their tests.
// Stateless; safe from any thread.
#pragma once

#include <string>

#include "platform/io_error.h"

namespace zv::fs {

// True only when the entry at `path` is a folder itself; false for a link
// (to anything), a file, or a missing entry.
bool is_dir_entry(const std::string& path);

// Creates the symbolic link `link` pointing at `target`.
IoStatus create_symlink(const std::string& target, const std::string& link);

}  // namespace zv::fs
