// Diagnostic texts of filter conditions, as the spans of the operations that
// take them record their parameters:
//   MemoryFilterItem { field: "n", op: Gte, value: Int(1) }
// a list of items in square brackets, an absent list as None and a present
// one as Some([...]). Pure.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "src/record/validation.h"

namespace zv {

// "Eq", "Neq", "Gt", "Lt", "Gte" or "Lte".
std::string_view filter_op_name(FilterOp op);
std::string filter_item_debug(const MemoryFilterItem& item);
std::string filter_items_debug(const std::vector<MemoryFilterItem>& items);
std::string filter_items_debug(const std::optional<std::vector<MemoryFilterItem>>& items);

}  // namespace zv
