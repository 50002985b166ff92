// Installs hand-made runs into a test tree: each table written from the
// given entries through the table multi-writer into the tree's tables folder,
// opened as a flush opens its tables and registered as one new level-0 run.
// Test-only.
#pragma once

#include <string>
#include <vector>

#include "platform/panic.h"
#include "tervik/table/multi_writer.h"
#include "tervik/tree/table_openers.h"
#include "tervik/tree/tree.h"

namespace tervik::testing {

// The entries of one table, ascending by internal key.
using TableEntries = std::vector<InternalValue>;

inline InternalValue value_entry(std::string_view key, std::string_view value, SeqNo s) {
  return InternalValue::new_value(Slice(key), Slice(value), s);
}

// Writes each list as one table (in the order given, so the lists must be
// disjoint and ascending) and registers them as one level-0 run.
inline std::vector<Table> add_run(const Tree& tree, const std::vector<TableEntries>& tables) {
  std::vector<WrittenTable> written;
  for (const TableEntries& entries : tables) {
    auto w = MultiWriter::create(tree.tables_folder(), tree.inner()->table_id_counter, 64ull << 20, 0);
    if (!w.ok()) zv::panic("create table: " + w.error().to_string());
    for (const InternalValue& e : entries) {
      if (auto s = w->write(e); !s.ok()) zv::panic("write table: " + s.error().to_string());
    }
    auto done = std::move(*w).finish();
    if (!done.ok()) zv::panic("finish table: " + done.error().to_string());
    written.insert(written.end(), done->begin(), done->end());
  }
  auto opened = tree::open_flushed_table(written, tree.config(), tree.id());
  if (!opened.ok()) zv::panic("open tables: " + opened.error().to_string());
  if (auto s = tree.register_tables(*opened, std::nullopt, std::nullopt, {}, 0); !s.ok()) {
    zv::panic("register tables: " + s.error().to_string());
  }
  return *opened;
}

}  // namespace tervik::testing
