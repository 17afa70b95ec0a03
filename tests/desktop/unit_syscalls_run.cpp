// Runs a command under the system calls the nightly scrub's unit lets it make, as systemd
// would set them up, for a machine where no service manager runs the unit itself.
// Usage: unit_syscalls_run ALLOWED -- COMMAND [ARG...]
// ALLOWED lists the names SystemCallFilter= allows, one per line (what systemd-analyze
// syscall-filter expands them to). Every other call fails with EPERM
// (SystemCallErrorNumber=EPERM). On top, in a second filter as systemd stacks its own:
// MemoryDenyWriteExecute= (no memory both written and run, none made runnable later),
// RestrictNamespaces= (clone3 is ENOSYS, since its flags cannot be looked at: the C
// library falls back to clone) and RestrictAddressFamilies=AF_UNIX.
#include <sched.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace {

int Fail(const char* what, int error) {
  std::fprintf(stderr, "unit_syscalls_run: %s: %s\n", what, std::strerror(error));
  return 125;
}

constexpr uint64_t kNamespaces = CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWUSER |
                                 CLONE_NEWPID | CLONE_NEWNET | CLONE_NEWCGROUP;

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || std::strcmp(argv[2], "--") != 0) {
    std::fprintf(stderr, "usage: unit_syscalls_run ALLOWED -- COMMAND [ARG...]\n");
    return 125;
  }
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return Fail("no_new_privs", errno);

  scmp_filter_ctx allowed = seccomp_init(SCMP_ACT_ERRNO(EPERM));
  std::ifstream names(argv[1]);
  if (!names) return Fail(argv[1], errno);
  int count = 0;
  for (std::string name; std::getline(names, name);) {
    const int nr = seccomp_syscall_resolve_name(name.c_str());
    // Names of other architectures' calls resolve to nothing here, as systemd skips them.
    if (nr == __NR_SCMP_ERROR) continue;
    if (int r = seccomp_rule_add(allowed, SCMP_ACT_ALLOW, nr, 0); r != 0) return Fail("allow", -r);
    ++count;
  }
  if (count < 100) return Fail("too few calls allowed", EINVAL);

  scmp_filter_ctx narrowed = seccomp_init(SCMP_ACT_ALLOW);
  const auto deny = [&](int error, int nr, unsigned n, const scmp_arg_cmp* args) {
    return seccomp_rule_add_array(narrowed, SCMP_ACT_ERRNO(static_cast<uint32_t>(error)), nr, n,
                                  args);
  };
  const scmp_arg_cmp writeAndRun =
      SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_WRITE | PROT_EXEC, PROT_WRITE | PROT_EXEC);
  const scmp_arg_cmp run = SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, PROT_EXEC);
  const scmp_arg_cmp shmRun = SCMP_A2(SCMP_CMP_MASKED_EQ, SHM_EXEC, SHM_EXEC);
  const scmp_arg_cmp otherFamily = SCMP_A0(SCMP_CMP_NE, AF_UNIX);
  int r = deny(EPERM, SCMP_SYS(mmap), 1, &writeAndRun);
  if (r == 0) r = deny(EPERM, SCMP_SYS(mprotect), 1, &run);
  if (r == 0) r = deny(EPERM, SCMP_SYS(pkey_mprotect), 1, &run);
  if (r == 0) r = deny(EPERM, SCMP_SYS(shmat), 1, &shmRun);
  if (r == 0) r = deny(ENOSYS, SCMP_SYS(clone3), 0, nullptr);
  if (r == 0) r = deny(EPERM, SCMP_SYS(unshare), 0, nullptr);
  if (r == 0) r = deny(EPERM, SCMP_SYS(setns), 0, nullptr);
  if (r == 0) r = deny(EAFNOSUPPORT, SCMP_SYS(socket), 1, &otherFamily);
  if (r == 0) r = deny(EAFNOSUPPORT, SCMP_SYS(socketpair), 1, &otherFamily);
  if (r != 0) return Fail("narrow", -r);
  // A clone with any namespace flag, one rule a flag: a rule matches when its comparison
  // holds, and a clone with none is left to the default.
  for (uint64_t flag = 1; flag != 0; flag <<= 1) {
    if ((kNamespaces & flag) == 0) continue;
    const scmp_arg_cmp with = SCMP_A0(SCMP_CMP_MASKED_EQ, flag, flag);
    if (int e = deny(EPERM, SCMP_SYS(clone), 1, &with); e != 0) return Fail("clone", -e);
  }
  // The allow list last: it may not allow seccomp itself.
  if (int e = seccomp_load(narrowed); e != 0) return Fail("load", -e);
  if (int e = seccomp_load(allowed); e != 0) return Fail("load", -e);
  ::execvp(argv[3], argv + 3);
  return Fail(argv[3], errno);
}
