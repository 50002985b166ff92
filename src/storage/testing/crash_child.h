// The two halves of the storage crash tests. The child is this test binary
// started afresh (fork, then exec, so that no lock or thread pool of earlier
// tests is inherited half-held) with its arguments in an environment
// variable; it reports each step as a line on a pipe ("I <kind> id:version
// ..." before a write, "A" once it is acknowledged). The parent kills it and
// reads what it said.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "src/foundation/node_id.h"

namespace zv::testing {

inline void say(int fd, const std::string& line) {
  const std::string msg = line + "\n";
  (void)!::write(fd, msg.data(), msg.size());
}

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

// A running child and the read end of its pipe; pid -1 when it could not
// be started.
struct ChildProcess {
  pid_t pid = -1;
  int read_fd = -1;
};

// Starts this binary again with `env` set to arg(write end of the pipe).
inline ChildProcess spawn_self(const char* env, const std::function<std::string(int)>& arg) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return {};
  }
  if (pid == 0) {
    ::close(fds[0]);
    ::setenv(env, arg(fds[1]).c_str(), 1);
    char* const argv[] = {const_cast<char*>("zolva_storage_tests"), nullptr};
    ::execv("/proc/self/exe", argv);
    ::_exit(127);
  }
  ::close(fds[1]);
  return {pid, fds[0]};
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

// Reads the child's lines until "R" (its database is open), an error line or
// the end.
inline std::string read_until_ready(const ChildProcess& c) {
  std::string out;
  char buf[4096];
  while (out.find("R\n") == std::string::npos && out.find("E ") == std::string::npos) {
    const ssize_t r = ::read(c.read_fd, buf, sizeof(buf));
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

// Kills the child with SIGKILL, waits for it and appends the rest of what it
// said to `out`; returns the wait status.
inline int kill_and_collect(ChildProcess& c, std::string& out) {
  ::kill(c.pid, SIGKILL);
  int status = 0;
  ::waitpid(c.pid, &status, 0);
  char buf[65536];
  for (ssize_t r; (r = ::read(c.read_fd, buf, sizeof(buf))) > 0;) out.append(buf, static_cast<size_t>(r));
  ::close(c.read_fd);
  c = {};
  return status;
}

}  // namespace zv::testing
