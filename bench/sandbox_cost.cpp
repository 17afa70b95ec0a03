// What the decoder helper's sandbox costs a check: the CLI -j1 over the given files with
// its helpers confined, against the same with the kernel refusing them a filter (so that
// they decode unconfined), in full and with --quick. Both sides run under one seccomp
// filter of this program's (allowing all, or refusing seccomp itself), so that the
// difference is the helper's own sandbox: its setting up and its filter on every system
// call. Rounds alternate; the best of each counts. Fails past 1 % of a full check or 2 %
// of a quick one.
//
//   sandbox-cost CLI [--rounds N] FILE...

#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kUnder[] = "--under";

// Runs argv under a filter that lets everything through, or that answers seccomp as a
// kernel without it would.
int ExecUnder(const char* how, char** argv) {
  ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
  const bool refuse = std::strcmp(how, "refused") == 0;
  // The same shape either way: one rule, on a call the CLI never makes when allowed.
  seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), refuse ? SCMP_SYS(seccomp) : SCMP_SYS(acct), 0);
  if (seccomp_load(ctx) != 0) return 125;
  seccomp_release(ctx);
  ::execv(argv[0], argv);
  return 126;
}

double TimeRun(const char* self, const char* how, const std::vector<std::string>& command) {
  std::vector<char*> argv{const_cast<char*>(self), const_cast<char*>(kUnder),
                          const_cast<char*>(how)};
  for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::fflush(stdout);  // or the child writes what this process printed once more
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::freopen("/dev/null", "w", stdout);
    ::freopen("/dev/null", "w", stderr);
    ::execv(self, argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "sandbox-cost: the check %s failed (status %d)\n", how, status);
    std::exit(2);
  }
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 3 && std::strcmp(argv[1], kUnder) == 0) return ExecUnder(argv[2], argv + 3);
  if (argc < 3) {
    std::fprintf(stderr, "usage: sandbox-cost CLI [--rounds N] FILE...\n");
    return 2;
  }
  int rounds = 5;
  std::vector<std::string> files;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else {
      files.emplace_back(argv[i]);
    }
  }
  const std::string self = "/proc/self/exe";
  char exe[4096] = {};
  if (::readlink(self.c_str(), exe, sizeof exe - 1) < 0) return 2;
  bool ok = true;
  for (const auto& [name, limit] : {std::pair{"full", 1.01}, std::pair{"--quick", 1.02}}) {
    std::vector<std::string> command{argv[1], "-j1"};
    if (std::strcmp(name, "--quick") == 0) command.emplace_back("--quick");
    command.insert(command.end(), files.begin(), files.end());
    double confined = 1e30;
    double unconfined = 1e30;
    for (int r = 0; r < rounds; ++r) {
      confined = std::min(confined, TimeRun(exe, "allowed", command));
      unconfined = std::min(unconfined, TimeRun(exe, "refused", command));
    }
    const double ratio = confined / unconfined;
    const bool within = ratio <= limit;
    std::printf("  %-8s confined %.3f s, unconfined %.3f s: %.4f (at most %.2f)  %s\n", name,
                confined, unconfined, ratio, limit, within ? "ok" : "MISSED");
    ok &= within;
  }
  return ok ? 0 : 1;
}
