// The storage crash tests' protocol over the child processes of
// platform/testing/child_process.h: the child says "I <kind> id:version ..."
// before a write and "A" once it is acknowledged; the parent reads the
// intents back.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <optional>
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

// What most children are told: the database folder, the round, the write
// end of the pipe and a seed, passed as "<dir> <round> <fd> <seed>".
struct ChildArgs {
  std::string dir;
  int round = 0;
  int fd = -1;
  uint64_t seed = 0;
};

// Starts this binary again with `env` set to the folder, round and seed
// (and the pipe's write end).
inline ChildProcess spawn_child(const char* env, const std::string& dir, int round, uint64_t seed) {
  return spawn_self(env, [&](int fd) {
    return dir + " " + std::to_string(round) + " " + std::to_string(fd) + " " + std::to_string(seed);
  });
}

// In a child started by spawn_child: its arguments; none in the parent.
inline std::optional<ChildArgs> child_args(const char* env) {
  const char* v = std::getenv(env);
  if (v == nullptr) return std::nullopt;
  ChildArgs a;
  std::istringstream in(v);
  in >> a.dir >> a.round >> a.fd >> a.seed;
  return a;
}

}  // namespace zv::testing
