// The open of a database: the seams a caller may replace (the backend
// factory table and the log's options, used by tests to inject a durable
// test backend, a fault-injecting file layer or a small rotation size) and
// the names of the files the open creates or reads. StorageEngine::open is
// declared with the engine; it runs on the calling thread.
#pragma once

#include <optional>

#include "src/backends/backend_factory.h"
#include "src/wal/sharded_wal.h"

namespace zv {

inline constexpr const char* kLockFileName = ".zolva.lock";
inline constexpr const char* kDataDirName = "data";
inline constexpr const char* kIndexFileName = "vector_index.bin";
inline constexpr const char* kLegacyStoreName = "vector_store.zolva";
inline constexpr const char* kWalFileName = "zolva.wal";
inline constexpr uint64_t kMapBelowMemoryBytes = uint64_t{16} << 30;
inline constexpr uint64_t kMemoryWarningMinNodes = 10001;
// Debug event at the end of an open: one field per step, its milliseconds.
inline constexpr const char* kOpenStepTimesEvent = "Storage open step times";

struct EngineOpenSeams {
  BackendFactoryTable factories = factory_registry();
  // None: the configuration's settings.
  std::optional<wal::ShardedWalOptions> wal_options;
};

// Whether the open warns that the index is large against the memory limit:
// from 10,001 nodes on, when the estimate exceeds half the limit.
bool index_memory_warning_due(uint64_t nodes, uint64_t estimate, uint64_t memory_limit);

// "vstore_L0.zolva" .. "vstore_L3.zolva".
std::string tier_file_name(uint32_t tier);

}  // namespace zv
