#include "src/backends/backend_factory.h"

#include "platform/fill_message.h"
#include "src/backends/in_memory_backend.h"
#include "src/backends/morva_backend.h"

namespace zv {

std::string_view backend_factory_name(BackendKind kind) {
  switch (kind) {
    case BackendKind::kRocksDb: return "rocksdb";
    case BackendKind::kMorva: return "morva";
    case BackendKind::kInMemory: return "memory";
  }
  return "unknown";
}

ZolvaResult<BackendHandle> rocksdb_unavailable(std::string_view, const Config&) {
  return make_unexpected(ZolvaError::validation(std::string(kBackendFeatureField),
                                                std::string(kRocksDbUnavailableReason)));
}

ZolvaResult<BackendHandle> open_morva_backend(std::string_view path, const Config& config) {
  ZV_ASSIGN_OR_RETURN(std::shared_ptr<MorvaBackend> backend, MorvaBackend::open(path, config));
  return BackendHandle(std::move(backend));
}

ZolvaResult<BackendHandle> create_in_memory_backend(std::string_view, const Config&) {
  return BackendHandle(std::make_shared<InMemoryBackend>());
}

BackendFactoryTable factory_registry() {
  BackendFactoryTable t;
  t.emplace(BackendKind::kRocksDb, rocksdb_unavailable);
  t.emplace(BackendKind::kMorva, open_morva_backend);
  t.emplace(BackendKind::kInMemory, create_in_memory_backend);
  return t;
}

ZolvaResult<BackendHandle> create_backend(const BackendFactoryTable& table, BackendKind kind,
                                          std::string_view path, const Config& config) {
  auto it = table.find(kind);
  if (it == table.end()) {
    std::string reason = fill(kNoFactoryTemplate, {backend_factory_name(kind)});
    return make_unexpected(ZolvaError::validation(std::string(kBackendKindField), std::move(reason)));
  }
  return it->second(path, config);
}

}  // namespace zv
