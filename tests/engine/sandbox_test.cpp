// The decoder helper's sandbox from outside: once confined, whatever it tries beyond
// decoding ends it and leaves the file not checked, a fault of the run; a running helper
// shows its filter; where the kernel refuses a filter the run says so once, and with
// --require-sandbox decodes nothing.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "decode/helper_client.h"
#include "decode/helper_server.h"
#include "decode/isolated_tester.h"
#include "decode/parallel_decoder.h"
#include "platform/sanitized.h"
#include "scan/file_list.h"
#include "tests/cli/run_cli.h"
#include "tests/gen/ogg_gen.h"
#include "tests/support/processes.h"

namespace {

// What the confined helper tries with each request: the name of one of the acts below.
constexpr char kActVariable[] = "HARROWBIT_TEST_HELPER_TRIES";
constexpr char kWithoutSeccomp[] = "--run-where-seccomp-is-refused";

// Runs in the confined helper, after it was handed the file and before it checks it.
// Each act returns when the sandbox lets it through; the file is then checked as usual.
void TryWhatTheVariableNames(const std::string& /*path*/) {
  const char* act = std::getenv(kActVariable);
  if (act == nullptr) return;
  const std::string a = act;
  if (a == "open") {
    const int fd = ::open("/etc/hostname", O_RDONLY);
    if (fd >= 0) ::close(fd);
  } else if (a == "stat") {
    struct stat st {};
    ::stat("/etc/hostname", &st);
  } else if (a == "socket") {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd >= 0) ::close(fd);
  } else if (a == "unix-socket") {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd >= 0) ::close(fd);
  } else if (a == "fork") {
    if (::fork() == 0) ::_exit(0);
  } else if (a == "execve") {
    char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
    ::execve("/bin/true", argv, nullptr);
  } else if (a == "write-requests") {
    // A descriptor it holds, but only to read the scan's requests from.
    [[maybe_unused]] const auto n = ::write(kRequestFd, "x", 1);
  } else if (a == "write-stdout") {
    [[maybe_unused]] const auto n = ::write(STDOUT_FILENO, "x", 1);
  } else if (a == "ptrace") {
    ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
  } else if (a == "signal-the-scan") {
    ::kill(::getppid(), SIGCONT);
  } else if (a == "executable-memory") {
    void* p = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS,
                     -1, 0);
    if (p != MAP_FAILED) ::munmap(p, 4096);
  } else if (a == "pipe") {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) == 0) {
      ::close(fds[0]);
      ::close(fds[1]);
    }
  } else if (a == "give-memory-back") {
    // As a decoder gives back what a large file made it take: the decoding thread's heap
    // shrinks.
    std::vector<char*> blocks;
    for (int i = 0; i < 512; ++i) blocks.push_back(static_cast<char*>(std::malloc(64 * 1024)));
    for (char* b : blocks) {
      if (b != nullptr) *static_cast<volatile char*>(b) = 1;
    }
    for (auto b = blocks.rbegin(); b != blocks.rend(); ++b) std::free(*b);
  } else if (a == "stderr") {
    [[maybe_unused]] const auto n = ::write(STDERR_FILENO, "", 0);
  } else if (a == "abort") {
    std::abort();
  }
}

// The kernel of a system without seccomp, as far as a program can tell: every way of
// installing a filter fails with ENOSYS. Then runs the program in argv.
int RunWhereSeccompIsRefused(char** argv) {
  ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
  seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(seccomp), 0);
  seccomp_rule_add(ctx, SCMP_ACT_ERRNO(EINVAL), SCMP_SYS(prctl), 1,
                   SCMP_A0(SCMP_CMP_EQ, PR_SET_SECCOMP));
  if (seccomp_load(ctx) != 0) return 125;
  seccomp_release(ctx);
  ::execv(argv[0], argv);
  return 126;
}

const std::string kSandboxed = "the decoder tried what its sandbox forbids and was ended";

}  // namespace

TEST(Sandbox, EachForbiddenActEndsTheHelperAndItsFileIsAFaultOfTheRun) {
  TempDir t;
  const auto file = t / "clean.ogg";
  testgen::WriteBytes(file, testgen::EncodeTone({.seconds = 1}));
  using S = FileVerdict::Status;
  const struct {
    const char* act;
    S status;
    std::string reason;
  } cases[] = {
      {"open", S::kNotChecked, kSandboxed},
      {"stat", S::kNotChecked, kSandboxed},
      {"socket", S::kNotChecked, kSandboxed},
      {"unix-socket", S::kNotChecked, kSandboxed},
      {"fork", S::kNotChecked, kSandboxed},
      {"execve", S::kNotChecked, kSandboxed},
      {"write-requests", S::kNotChecked, kSandboxed},
      {"write-stdout", S::kNotChecked, kSandboxed},
      {"ptrace", S::kNotChecked, kSandboxed},
      {"signal-the-scan", S::kNotChecked, kSandboxed},
      {"executable-memory", S::kNotChecked, kSandboxed},
      // The sanitizers probe memory through a pipe of their own, which only their builds'
      // filter allows.
      {"pipe", platform_build::kSanitized ? S::kOk : S::kNotChecked,
       platform_build::kSanitized ? "" : kSandboxed},
      // What decoding may do still works, and a crash stays a verdict on the file.
      {"nothing", S::kOk, ""},
      {"stderr", S::kOk, ""},
      {"give-memory-back", S::kOk, ""},
      {"abort", S::kError, "CRASH"},
  };
  // Each act in one helper and among several, each way of checking in turn.
  std::size_t turn = 0;
  for (const auto& c : cases) {
    ::setenv(kActVariable, c.act, 1);
    const CheckMode mode = kEveryCheckMode[turn++ % kEveryCheckMode.size()];
    CIsolatedTester one(CurrentExecutable(), {.mode = mode});
    if (one.Open({0, file})) {
      while (one.DecodeStep() > 0) {
      }
    }
    EXPECT_EQ(one.Verdict().status, c.status) << c.act;
    EXPECT_EQ(one.Verdict().reason, c.reason) << c.act;
    CFileList list;
    list.Append(file);
    list.Append(file);
    CParallelDecoder several(list, 2, CurrentExecutable(), {.mode = mode});
    for (std::size_t i = 0; i < 2; ++i) {
      const FileVerdict v = several.Take({i, file}).verdict;
      EXPECT_EQ(v.status, c.status) << c.act << " among several, file " << i;
      EXPECT_EQ(v.reason, c.reason) << c.act << " among several, file " << i;
    }
  }
  ::unsetenv(kActVariable);
}

TEST(Sandbox, ARunningHelperHasNoNewPrivilegesAndAFilterOnEveryThread) {
  TempDir t;
  const auto file = t / "clean.ogg";
  testgen::WriteBytes(file, testgen::EncodeTone({.seconds = 1}));
  CDecoderHelper helper(CurrentExecutable(), {});
  ASSERT_EQ(helper.Start(), std::error_code());
  ASSERT_TRUE(helper.Request(file));
  // Its first answer comes after it confined itself: it is still there, waiting or at work.
  HelperMessage opened;
  ASSERT_EQ(helper.Next(opened, std::chrono::seconds(60)), CDecoderHelper::Wait::kMessage)
      << "the helper did not answer within a minute";
  const std::string proc = "/proc/" + std::to_string(helper.Pid());
  int threads = 0;
  for (const auto& task : std::filesystem::directory_iterator(proc + "/task")) {
    const std::string status = testsupport::ProcText(task.path() / "status");
    EXPECT_NE(status.find("\nNoNewPrivs:\t1\n"), std::string::npos) << status;
    EXPECT_NE(status.find("\nSeccomp:\t2\n"), std::string::npos) << status;
    ++threads;
  }
  // The one that started it and the one that decodes on the large stack.
  EXPECT_GE(threads, 2);
}

TEST(Sandbox, WhereTheKernelRefusesAFilterTheRunSaysSoOnceOrDecodesNothing) {
  TempDir t;
  const testgen::Bytes clean = testgen::EncodeTone({.seconds = 1});
  std::filesystem::create_directories(t / "lib");
  for (const char* name : {"a.ogg", "b.ogg", "c.ogg"}) testgen::WriteBytes(t / "lib" / name, clean);
  const std::string unconfined = "harrowbit: the decoder helper runs unconfined: ";
  const std::string refused = "--require-sandbox forbids decoding unconfined";
  const struct {
    bool seccompRefused;
    std::vector<std::string> options;
    int status;
    int warnings;  // lines saying the helper runs unconfined
    bool refusal;  // the line saying why nothing was decoded
    std::string summary;
  } cases[] = {
      {false, {"-j2"}, 0, 0, false, "3 files, 0 errors"},
      {false, {"-j1", "--require-sandbox"}, 0, 0, false, "3 files, 0 errors"},
      {true, {"-j2"}, 0, 1, false, "3 files, 0 errors"},
      {true, {"-j1", "--quick", "--all-codecs"}, 0, 1, false, "3 files, 0 errors"},
      {true, {"-j2", "--require-sandbox"}, 2, 0, true, "1 files, 0 errors"},
      {true, {"-j1", "--require-sandbox"}, 2, 0, true, "1 files, 0 errors"},
      {true, {"--in-process"}, 0, 0, false, "3 files, 0 errors"},
      {false, {"--in-process", "--require-sandbox"}, 2, 0, false, ""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args;
    if (c.seccompRefused) args = {CurrentExecutable().native(), kWithoutSeccomp};
    args.push_back(HARROWBIT_CLI);
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back((t / "lib").native());
    const CliRun r = RunCommand(t, args);
    std::string trace = "refused " + std::to_string(c.seccompRefused);
    for (const auto& o : c.options) trace += " " + o;
    EXPECT_EQ(r.status, c.status) << trace << "\n" << r.out << r.err;
    int warnings = 0;
    for (auto at = r.err.find(unconfined); at != std::string::npos;
         at = r.err.find(unconfined, at + 1)) {
      ++warnings;
    }
    EXPECT_EQ(warnings, c.warnings) << trace << "\n" << r.err;
    EXPECT_EQ(r.err.find(refused) != std::string::npos, c.refusal) << trace << "\n" << r.err;
    if (!c.summary.empty()) {
      EXPECT_NE(r.out.find("\n" + c.summary), std::string::npos) << trace << "\n" << r.out;
    }
  }
}

int main(int argc, char** argv) {
  if (argc > 2 && std::strcmp(argv[1], kWithoutSeccomp) == 0) {
    return RunWhereSeccompIsRefused(argv + 2);
  }
  if (const int status = MaybeRunDecoderHelper(argc, argv, TryWhatTheVariableNames); status >= 0) {
    return status;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
