#pragma once

// Child processes for the database tests: each run of a real program has its own process,
// and a test must never wait on one without a limit.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

// Runs `body` in a child process and returns its exit status, or -1 when it outlived
// `limit` (it is killed then). The child never returns into the test runner.
inline int RunChild(const std::function<int()>& body, std::chrono::milliseconds limit,
                    std::atomic<pid_t>* started = nullptr) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  if (started != nullptr) started->store(pid);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

// Root passes every permission check, so a test of a read-only file drops to "nobody".
inline bool DropRoot() {
  if (::geteuid() != 0) return true;
  return ::setgid(65534) == 0 && ::setuid(65534) == 0;
}
