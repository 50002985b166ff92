#include "src/record/filter_debug.h"

#include "platform/debug_quote.h"

namespace zv {

std::string_view filter_op_name(FilterOp op) {
  switch (op) {
    case FilterOp::kEq: return "Eq";
    case FilterOp::kNeq: return "Neq";
    case FilterOp::kGt: return "Gt";
    case FilterOp::kLt: return "Lt";
    case FilterOp::kGte: return "Gte";
    case FilterOp::kLte: return "Lte";
  }
  // A byte outside the enumeration (a corrupt caller) still renders.
  return "Unknown";
}

std::string filter_item_debug(const MemoryFilterItem& item) {
  std::string out = "MemoryFilterItem { field: ";
  out += debug_quote(item.field);
  out += ", op: ";
  out += filter_op_name(item.op);
  out += ", value: ";
  out += item.value.debug_string();
  out += " }";
  return out;
}

std::string filter_items_debug(const std::vector<MemoryFilterItem>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out += ", ";
    out += filter_item_debug(items[i]);
  }
  out += "]";
  return out;
}

std::string filter_items_debug(const std::optional<std::vector<MemoryFilterItem>>& items) {
  return items ? "Some(" + filter_items_debug(*items) + ")" : std::string("None");
}

}  // namespace zv
