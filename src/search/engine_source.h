// Where a search step takes its engine: a call that returns a new shared
// reference to the open engine, or NotInitialized once the handle is closed.
// The SDK handle supplies its engine slot; tests supply a fixture's engine.
#pragma once

#include <functional>
#include <memory>

#include "src/foundation/error.h"
#include "src/storage/storage_engine.h"

namespace zv::search {

using EngineSource = std::function<ZolvaResult<std::shared_ptr<StorageEngine>>()>;

}  // namespace zv::search
