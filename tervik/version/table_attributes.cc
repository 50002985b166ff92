#include "tervik/version/table_attributes.h"

namespace tervik {

TervikResult<std::vector<LinkedBlobFile>> table_linked_blob_files(const Table& t) {
  ZV_ASSIGN_OR_RETURN(auto linked, t.linked_blob_files());
  if (!linked) return std::vector<LinkedBlobFile>{};
  return std::move(*linked);
}

}  // namespace tervik
