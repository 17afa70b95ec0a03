#include <fcntl.h>
#include <linux/seccomp.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/sandbox.h"
#include "platform/sanitized.h"

namespace {

struct Rule {
  int call;
  // At most one condition on an argument; a call listed twice is allowed by either.
  unsigned argCount;
  scmp_arg_cmp arg;
};

constexpr scmp_arg_cmp kAny{};
// PROT_EXEC stays off: memory a crafted file writes never runs.
constexpr scmp_arg_cmp kNoExec = SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0);

// Everything a confined helper may do. Decoding needs memory, time, its threads' futexes
// and the descriptors it holds; libc's fstat is newfstatat on "" with AT_EMPTY_PATH, and
// abort() blocks signals and sends itself SIGABRT, so that a crash stays a crash.
std::vector<Rule> AllowedCalls(int replies) {
  const auto self = static_cast<scmp_datum_t>(::getpid());
  return {
      // The requests, the files handed over with them, standard error and the answers.
      {SCMP_SYS(read), 0, kAny},
      {SCMP_SYS(pread64), 0, kAny},
      {SCMP_SYS(readv), 0, kAny},
      {SCMP_SYS(recvmsg), 0, kAny},
      {SCMP_SYS(lseek), 0, kAny},
      {SCMP_SYS(fstat), 0, kAny},
      {SCMP_SYS(newfstatat), 1, SCMP_A3(SCMP_CMP_EQ, AT_EMPTY_PATH)},
      {SCMP_SYS(dup), 0, kAny},
      {SCMP_SYS(close), 0, kAny},
      {SCMP_SYS(write), 1, SCMP_A0(SCMP_CMP_EQ, STDERR_FILENO)},
      {SCMP_SYS(write), 1, SCMP_A0(SCMP_CMP_EQ, static_cast<scmp_datum_t>(replies))},
      {SCMP_SYS(writev), 1, SCMP_A0(SCMP_CMP_EQ, STDERR_FILENO)},
      // Memory.
      {SCMP_SYS(brk), 0, kAny},
      {SCMP_SYS(mmap), 1, kNoExec},
      {SCMP_SYS(mprotect), 1, kNoExec},
      {SCMP_SYS(munmap), 0, kAny},
      {SCMP_SYS(mremap), 0, kAny},
      {SCMP_SYS(madvise), 0, kAny},
      // Threads, time and randomness.
      {SCMP_SYS(futex), 0, kAny},
      {SCMP_SYS(sched_yield), 0, kAny},
      {SCMP_SYS(clock_gettime), 0, kAny},
      {SCMP_SYS(gettimeofday), 0, kAny},
      {SCMP_SYS(clock_nanosleep), 0, kAny},
      {SCMP_SYS(nanosleep), 0, kAny},
      {SCMP_SYS(getrandom), 0, kAny},
      {SCMP_SYS(sysinfo), 0, kAny},  // qsort asks how much memory there is
      {SCMP_SYS(getpid), 0, kAny},
      {SCMP_SYS(gettid), 0, kAny},
      // Signals, its own only; and the end.
      {SCMP_SYS(rt_sigprocmask), 0, kAny},
      {SCMP_SYS(rt_sigaction), 0, kAny},
      {SCMP_SYS(rt_sigreturn), 0, kAny},
      {SCMP_SYS(sigaltstack), 0, kAny},
      {SCMP_SYS(tgkill), 1, SCMP_A0(SCMP_CMP_EQ, self)},
      {SCMP_SYS(restart_syscall), 0, kAny},
      {SCMP_SYS(exit), 0, kAny},
      {SCMP_SYS(exit_group), 0, kAny},
  };
}

// The sanitizers test whether memory is readable by writing it into a pipe of their own:
// under them, pipes, and writes to descriptors above those a helper starts with (the
// standard streams, its requests, answers and shared page), are allowed too. TSan also
// starts a thread of its own beside the decoding thread, and on a busy machine that thread
// may first run after the filter is in place: what glibc does as a thread starts (register
// its rseq area and robust futex list) must not end the helper.
using platform_build::kSanitized;
constexpr scmp_datum_t kLastHeldDescriptor = 5;

void AllowWhatSanitizersNeed(std::vector<Rule>& rules) {
  if (!kSanitized) return;
  rules.push_back({SCMP_SYS(pipe2), 0, kAny});
  rules.push_back({SCMP_SYS(write), 1, SCMP_A0(SCMP_CMP_GT, kLastHeldDescriptor)});
  rules.push_back({SCMP_SYS(rseq), 0, kAny});
  rules.push_back({SCMP_SYS(set_robust_list), 0, kAny});
}

struct FilterFree {
  void operator()(void* ctx) const { seccomp_release(ctx); }
};

std::string Refused(const char* what, int error) {
  return std::string("the kernel refused ") + what + " (" + std::strerror(error) + ")";
}

}  // namespace

std::string SandboxMissing() {
  // Asking whether a filter may end a whole process needs Linux 4.14, which has every
  // other part of the filter too.
  uint32_t action = SECCOMP_RET_KILL_PROCESS;
  if (::syscall(SYS_seccomp, SECCOMP_GET_ACTION_AVAIL, 0, &action) == 0) return {};
  return errno == ENOSYS || errno == EINVAL ? "the kernel has no seccomp filters"
                                            : Refused("seccomp", errno);
}

Confinement ConfineDecoderHelper(int replies) {
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return {false, Refused("no_new_privs", errno)};
  // Anything not listed ends the whole process at once, by SIGSYS.
  std::unique_ptr<void, FilterFree> filter(seccomp_init(SCMP_ACT_KILL_PROCESS));
  if (!filter) return {false, "no seccomp filter could be made"};
  // Every thread, the one waiting for the decoding thread too.
  if (const int r = seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_TSYNC, 1); r != 0) {
    return {false, Refused("a seccomp filter for every thread", -r)};
  }
  std::vector<Rule> rules = AllowedCalls(replies);
  AllowWhatSanitizersNeed(rules);
  // The kernel would also turn off speculative store bypass for a filtered process, which
  // slows decoding by some 8 %: what it guards against needs code of the attacker's
  // running already, which the filter is there to contain.
  seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_SSB, 1);
  for (const Rule& rule : rules) {
    const int r = rule.argCount == 0
                      ? seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, rule.call, 0)
                      : seccomp_rule_add(filter.get(), SCMP_ACT_ALLOW, rule.call, 1, rule.arg);
    if (r != 0) return {false, Refused("a rule of the seccomp filter", -r)};
  }
  if (const int r = seccomp_load(filter.get()); r != 0) {
    return {false, Refused("the seccomp filter", -r)};
  }
  return {true, {}};
}
