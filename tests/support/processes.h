#pragma once

// Other processes as /proc shows them: what a test needs to act on a run from outside.

#include <sys/types.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

inline std::string ProcText(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The decoder helpers of `parent` once they run as such: a child stopped before its exec
// would hold its parent inside posix_spawn.
inline std::vector<pid_t> HelpersOf(pid_t parent) {
  std::vector<pid_t> helpers;
  std::error_code ec;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(parent) + "/task", ec)) {
    std::istringstream in(ProcText(task.path() / "children"));
    for (pid_t child; in >> child;) {
      if (ProcText("/proc/" + std::to_string(child) + "/cmdline").find("--decoder-helper") !=
          std::string::npos) {
        helpers.push_back(child);
      }
    }
  }
  return helpers;
}

// Gone, or a zombie its parent has not waited for yet.
inline bool HasEnded(pid_t pid) {
  const std::string stat = ProcText("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z' ||
         stat[close + 2] == 'X';
}

// Whether `pid` runs `executable` now: a wrapper (setpriv) execs it under the same pid.
inline bool Runs(pid_t pid, const std::filesystem::path& executable) {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec);
  return !ec && exe == std::filesystem::canonical(executable, ec);
}

}  // namespace testsupport
