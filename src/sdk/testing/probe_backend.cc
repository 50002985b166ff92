#include "src/sdk/testing/probe_backend.h"

#include "src/backends/testing/durable_test_backend.h"

namespace zv::sdk_testing {

BackendFactoryTable probe_factory_table(std::weak_ptr<ProbeBackend>* made,
                                        std::optional<Partition> refuse_writes_of) {
  BackendFactoryTable table = factory_registry();
  table[BackendKind::kMorva] = [made, refuse_writes_of](std::string_view path,
                                                        const Config&) -> ZolvaResult<BackendHandle> {
    ZV_ASSIGN_OR_RETURN(auto inner, zv::testing::DurableTestBackend::open(std::string(path)));
    auto probe = std::make_shared<ProbeBackend>(std::move(inner));
    probe->refuse_writes_of = refuse_writes_of;
    *made = probe;
    return BackendHandle(probe);
  };
  return table;
}

}  // namespace zv::sdk_testing
