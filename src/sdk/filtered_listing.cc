#include "src/sdk/filtered_listing.h"

#include "src/storage/filtered_records.h"

namespace zv {

ZolvaResult<std::vector<MemoryRecord>> list_filtered_records(const EmbeddedDb& db,
                                                             std::string_view ns,
                                                             const FieldMap& filter) {
  ZV_ASSIGN_OR_RETURN(std::shared_ptr<StorageEngine> engine, db.engine());
  return list_filtered_records(*engine, ns, filter);
}

}  // namespace zv
