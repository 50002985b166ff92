// Crash tests' child processes: the child is the test binary started afresh
// (fork, then exec, so that no lock or thread pool of earlier tests is
// inherited half-held) with its arguments in an environment variable; it
// reports each step as a line on a pipe ("R" once its database is open,
// "E ..." on an error), and the parent kills it with SIGKILL at a moment of
// its choosing and reads everything it said. Test-only.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace zv::testing {

inline void say(int fd, const std::string& line) {
  const std::string msg = line + "\n";
  (void)!::write(fd, msg.data(), msg.size());
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
    char* const argv[] = {const_cast<char*>("crash-child"), nullptr};
    ::execv("/proc/self/exe", argv);
    ::_exit(127);
  }
  ::close(fds[1]);
  return {pid, fds[0]};
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
