// The storage crash tests' protocol over the child processes of
// platform/testing/child_process.h: the child says "I <kind> id:version ..."
// before a write and "A" once it is acknowledged; the parent reads the
// intents back.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/testing/child_process.h"
#include "src/foundation/node_id.h"

namespace zv::testing {

// A write the child announced: its kind and the ids with their versions.
struct IntentOp {
  char kind = 'i';
  std::vector<std::pair<NodeId, uint64_t>> items;
};

inline IntentOp parse_intent(const std::string& line) {
  IntentOp op;
  op.kind = line[2];
  std::istringstream in(line.size() > 4 ? line.substr(4) : "");
  std::string tok;
  while (in >> tok) {
    const size_t colon = tok.find(':');
    op.items.emplace_back(static_cast<NodeId>(std::stoull(tok.substr(0, colon))),
                          std::stoull(tok.substr(colon + 1)));
  }
  return op;
}

}  // namespace zv::testing
