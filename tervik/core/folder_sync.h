// How a writer makes the names of the files it created in a folder durable:
// the platform's directory sync by default. The table and blob multi-writers
// hold one; tests swap in a recorder to prove when (and that) it runs.
// A plain callable: thread safety is that of the function it wraps.
#pragma once

#include <functional>
#include <string>

#include "platform/fs.h"
#include "platform/io_error.h"

namespace tervik {

using FolderSync = std::function<zv::IoStatus(const std::string& folder)>;

inline FolderSync default_folder_sync() {
  return [](const std::string& folder) { return zv::fs::sync_dir(folder); };
}

}  // namespace tervik
