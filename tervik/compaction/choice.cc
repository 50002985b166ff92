#include "tervik/compaction/choice.h"

#include <algorithm>

namespace tervik::compaction {

TableIdSet make_id_set(std::vector<uint64_t> ids) {
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return ids;
}

std::string ids_string(std::span<const uint64_t> ids) {
  std::string out = "[";
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(ids[i]);
  }
  return out + "]";
}

namespace {

std::string input_string(const char* what, const Input& in) {
  return std::string(what) + "(" + ids_string(in.table_ids) + " -> " +
         std::to_string(in.dest_level) + ", canonical " + std::to_string(in.canonical_level) +
         ", target " + std::to_string(in.target_size) + ")";
}

}  // namespace

std::string debug_string(const Choice& choice) {
  struct Printer {
    std::string operator()(const DoNothing&) const { return "DoNothing"; }
    std::string operator()(const Move& m) const { return input_string("Move", m.input); }
    std::string operator()(const Merge& m) const { return input_string("Merge", m.input); }
    std::string operator()(const Drop& d) const { return "Drop(" + ids_string(d.table_ids) + ")"; }
  };
  return std::visit(Printer{}, choice);
}

}  // namespace tervik::compaction
