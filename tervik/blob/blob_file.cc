#include "tervik/blob/blob_file.h"

#include "platform/fs.h"
#include "platform/log.h"

namespace tervik {

BlobFile::~BlobFile() {
  if (!is_deleted()) return;
  const std::string id = std::to_string(parts_.id);
  ZV_LOG(zv::log::Level::kTrace, kBlobLogTarget,
         "Cleanup deleted blob file " + id + " at " + parts_.path);
  parts_.handle.reset();
  if (auto st = zv::fs::remove_file(parts_.path); !st.ok()) {
    ZV_WARN(kBlobLogTarget, "Failed to cleanup deleted blob file " + id + " at " + parts_.path +
                                ": " + st.error().to_string());
  }
  if (parts_.descriptor_cache) {
    parts_.descriptor_cache->remove(parts_.tree_id, parts_.id, FileKind::kBlob);
  }
}

}  // namespace tervik
