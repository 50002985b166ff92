#include "platform/fs_durable.h"

namespace zv::fs {

IoStatus create_dir_all_durably(const std::string& path,
                                const std::function<IoStatus(const std::string&)>& sync) {
  std::vector<std::string> missing;
  for (std::string p = path; !p.empty() && !exists(p); p = parent(p)) {
    missing.push_back(p);
    if (parent(p) == p) break;
  }
  if (missing.empty()) return {};
  ZV_TRY(create_dir_all(path));
  for (const std::string& created : missing) {
    const std::string up = parent(created);
    if (!up.empty()) ZV_TRY(sync(up));
  }
  return {};
}

}  // namespace zv::fs
