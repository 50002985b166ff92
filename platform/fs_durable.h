// Folder creation that survives a power loss: the new folders and the
// entries naming them are synced. Stateless; safe from any thread.
#pragma once

#include <functional>
#include <string>

#include "platform/fs.h"

namespace zv::fs {

// Creates `path` and its missing parents, then syncs (through `sync`) the
// parent of each folder it created, up to the first that existed.
IoStatus create_dir_all_durably(const std::string& path,
                                const std::function<IoStatus(const std::string&)>& sync = sync_dir);

}  // namespace zv::fs
