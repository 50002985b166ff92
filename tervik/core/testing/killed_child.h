// The parent's half of a crash test: forks a child that runs `child` (which
// reports on the pipe it is given and never returns), kills it with SIGKILL
// after `delay_us` and collects what it reported. Test-only.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>

#include "platform/panic.h"

namespace tervik::testing {

struct KilledChild {
  std::string reports;  // everything the child wrote to its pipe
  bool killed = false;  // false: it exited on its own first
  int exit_code = 0;    // when not killed
};

inline KilledChild run_and_kill(const std::function<void(int fd)>& child, uint64_t delay_us) {
  int fds[2];
  if (::pipe(fds) != 0) zv::panic("crash test: pipe");
  const pid_t pid = ::fork();
  if (pid < 0) zv::panic("crash test: fork");
  if (pid == 0) {
    ::close(fds[0]);
    child(fds[1]);
    ::_exit(0);
  }
  ::close(fds[1]);
  ::usleep(static_cast<useconds_t>(delay_us));
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  KilledChild out;
  out.killed = WIFSIGNALED(status);
  out.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof(buf))) > 0;) out.reports.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  return out;
}

}  // namespace tervik::testing
