#include "src/record/filter_debug.h"

#include <gtest/gtest.h>

namespace zv {
namespace {

using FV = FieldValue;

TEST(FilterDebugTest, ItemsListsAndOptionalLists) {
  struct Case {
    MemoryFilterItem item;
    const char* want;
  } cases[] = {
      {{"status", FilterOp::kEq, FV::string("active")},
       R"(MemoryFilterItem { field: "status", op: Eq, value: String("active") })"},
      {{"n", FilterOp::kNeq, FV::integer(-3)}, R"(MemoryFilterItem { field: "n", op: Neq, value: Int(-3) })"},
      {{"n", FilterOp::kGt, FV::floating(0.5)}, R"(MemoryFilterItem { field: "n", op: Gt, value: Float(0.5) })"},
      {{"n", FilterOp::kLt, FV::boolean(true)}, R"(MemoryFilterItem { field: "n", op: Lt, value: Bool(true) })"},
      {{"n", FilterOp::kGte, FV::null()}, R"(MemoryFilterItem { field: "n", op: Gte, value: Null })"},
      {{"n", FilterOp::kLte, FV::list_int({1, 2})}, R"(MemoryFilterItem { field: "n", op: Lte, value: ListInt([1, 2]) })"},
      // Hostile bytes in the field name and the value stay inside their quotes.
      {{std::string("a\"b\\c\n\0d", 8), FilterOp::kEq, FV::string("x\"}, op: Neq")},
       R"(MemoryFilterItem { field: "a\"b\\c\n\0d", op: Eq, value: String("x\"}, op: Neq") })"},
  };
  std::vector<MemoryFilterItem> all;
  std::string joined;
  for (const Case& c : cases) {
    EXPECT_EQ(filter_item_debug(c.item), c.want);
    joined += (all.empty() ? "" : ", ") + std::string(c.want);
    all.push_back(c.item);
  }
  EXPECT_EQ(filter_items_debug(all), "[" + joined + "]");
  EXPECT_EQ(filter_items_debug(std::vector<MemoryFilterItem>{}), "[]");
  EXPECT_EQ(filter_items_debug(std::optional<std::vector<MemoryFilterItem>>()), "None");
  EXPECT_EQ(filter_items_debug(std::optional(std::vector<MemoryFilterItem>{})), "Some([])");
  EXPECT_EQ(filter_items_debug(std::optional(std::vector{cases[1].item})), std::string("Some([") + cases[1].want + "])");
}

}  // namespace
}  // namespace zv
