#pragma once

// Child processes for the database tests: each run of a real program has its own process,
// and a test must never wait on one without a limit.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

// A child process running `body`, forked at once. It never returns into the test runner.
// Forked only while the test is single-threaded: ThreadSanitizer cannot follow a fork
// from a process with threads.
class CChild {
 public:
  explicit CChild(const std::function<int()>& body) : m_pid(::fork()) {
    if (m_pid == 0) ::_exit(body());
  }
  ~CChild() {
    if (m_pid > 0) Wait(std::chrono::milliseconds(0));
  }
  CChild(const CChild&) = delete;
  CChild& operator=(const CChild&) = delete;
  pid_t Pid() const { return m_pid; }

  // The exit status, 128 + the signal that ended it, or -1 when it outlived `limit` (it
  // is killed then).
  int Wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(m_pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    m_pid = -1;
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
  }

 private:
  pid_t m_pid;
};

inline int RunChild(const std::function<int()>& body, std::chrono::milliseconds limit) {
  return CChild(body).Wait(limit);
}

// Root passes every permission check, so a test of a read-only file drops to "nobody".
inline bool DropRoot() {
  if (::geteuid() != 0) return true;
  return ::setgid(65534) == 0 && ::setuid(65534) == 0;
}
