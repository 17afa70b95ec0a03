#pragma once

// Runs harrowbit-cli as a user's shell would, its output caught in files.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

extern char** environ;

struct CliRun {
  std::string out;
  std::string err;
  int status = -1;  // the exit status, or 128 + the signal that ended it
};

inline std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs a command with its output in files; `whileRunning` may act on the process.
inline CliRun RunCommand(const TempDir& t, std::vector<std::string> args,
                         const std::function<void(pid_t)>& whileRunning = {}) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const auto out = t / "stdout";
  const auto err = t / "stderr";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  EXPECT_EQ(posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  if (whileRunning) whileRunning(pid);
  int wstatus = 0;
  ::waitpid(pid, &wstatus, 0);
  CliRun r{ReadAll(out), ReadAll(err)};
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return r;
}

inline CliRun RunCli(const TempDir& t, std::vector<std::string> args,
                     const std::function<void(pid_t)>& whileRunning = {}) {
  args.insert(args.begin(), HARROWBIT_CLI);
  return RunCommand(t, std::move(args), whileRunning);
}
