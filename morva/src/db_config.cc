#include "morva/src/db_config.h"

#include <algorithm>

#include "platform/fs.h"
#include "platform/panic.h"
#include "platform/sysinfo.h"

namespace morva {

DatabaseConfig::DatabaseConfig(const std::string& path)
    : DatabaseConfig(path, zv::logical_processor_count()) {}

DatabaseConfig::DatabaseConfig(const std::string& p, uint64_t processor_count)
    : cache(tervik::BlockCache::with_capacity_bytes(tervik::BlockCache::kDefaultDatabaseCapacity)),
      descriptor_cache(std::make_shared<tervik::FileDescriptorCache>(kDefaultDescriptorCacheCapacity)),
      worker_threads(worker_threads_for(processor_count)) {
  if (p.empty()) zv::panic("should be absolute path");
  path = zv::fs::absolute(p);
}

size_t DatabaseConfig::worker_threads_for(uint64_t processor_count) {
  if (processor_count == 0) return 1;
  return static_cast<size_t>(std::min<uint64_t>(processor_count, kMaxDefaultWorkerThreads));
}

}  // namespace morva
