// The backend factory: a table from BackendKind to the constructor of a
// backend, built afresh at every open, and create_backend, which calls the
// entry of a kind. Pure functions; the table is a plain value.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string_view>

#include "src/backends/storage_backend.h"
#include "src/runtime/config.h"

namespace zv {

using BackendHandle = std::shared_ptr<StorageBackend>;
// Takes the database directory and the configuration.
using BackendConstructor =
    std::function<ZolvaResult<BackendHandle>(std::string_view path, const Config& config)>;
using BackendFactoryTable = std::map<BackendKind, BackendConstructor>;

inline constexpr std::string_view kBackendFeatureField = "backend_feature";
inline constexpr std::string_view kRocksDbUnavailableReason =
    "RocksDB backend requires the 'rocksdb' feature";
inline constexpr std::string_view kBackendKindField = "backend_kind";
inline constexpr std::string_view kNoFactoryTemplate = "no factory registered for backend '{}'";

// "rocksdb", "morva", "memory": the names messages use.
std::string_view backend_factory_name(BackendKind kind);

// Always fails: no backend of this kind exists.
ZolvaResult<BackendHandle> rocksdb_unavailable(std::string_view path, const Config& config);
// The key-value engine backend in the database directory `path`.
ZolvaResult<BackendHandle> open_morva_backend(std::string_view path, const Config& config);
// A new, empty in-memory backend; ignores both arguments.
ZolvaResult<BackendHandle> create_in_memory_backend(std::string_view path, const Config& config);

// The three entries: RocksDb, Morva and InMemory.
BackendFactoryTable factory_registry();
// Calls the kind's constructor; a kind without an entry is a Validation error.
ZolvaResult<BackendHandle> create_backend(const BackendFactoryTable& table, BackendKind kind,
                                          std::string_view path, const Config& config);

}  // namespace zv
