// Comment headers of tens of megabytes are judged in bounded memory. A POSIX test: the bound
// is an address-space limit on a child process.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "filetest/codecs/quick_check.h"
#include "filetest/rules/strict_check.h"
#include "tests/gen/strict_gen.h"
#include "tests/support/temp_dir.h"

namespace {

// The address space this process holds now, in bytes.
uint64_t AddressSpaceNow() {
  std::ifstream statm("/proc/self/statm");
  uint64_t pages = 0;
  statm >> pages;
  return pages * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

// `check` run in a child process whose address space may grow by `extra` bytes at most:
// what it returns, or why the child ended without it.
std::string InBoundedChild(uint64_t extra, const std::function<std::string()>& check) {
  int fds[2];
  if (::pipe(fds) != 0) return "no pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    const rlimit limit{AddressSpaceNow() + extra, RLIM_INFINITY};
    ::setrlimit(RLIMIT_AS, &limit);
    std::string out;
    try {
      out = check();
    } catch (const std::bad_alloc&) {
      out = "out of memory";
    }
    const bool written =
        ::write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size());
    ::_exit(written ? 0 : 1);
  }
  ::close(fds[1]);
  std::string got;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
    got.append(buffer, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return got + " (the child died)";
  return got;
}

}  // namespace

// Comment headers of tens of megabytes, made at test time: a comment larger than a stream
// may hold while it is taken apart is skipped, and the stream's audio and length are still
// found behind it; fifteen million empty comments are listed up to the cap and counted
// past it. The quick check only: the rules are the same in every check, and the cost of
// a case is the decoder's. Each in a child whose address space may grow by little more than the
// decoder itself needs (libvorbis keeps every field, two pointers and a small block each).
TEST(StrictCheck, HugeCommentHeadersAreJudgedWhateverTheirSizeInBoundedMemory) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers reserve more address space than the bound";
#endif
  const TempDir t;
  const testgen::Tone tone{1, 22050, 1.0, 440.0, 0.0f, 31};
  const std::string noEquals = "comment-no-equals @ 0.000 s, byte 58: comment ";
  const struct {
    const char* name;
    std::size_t count;
    std::string field;
    std::string expected;
  } cases[] = {
      {"one comment of 65 MiB", 1, "COMMENT=" + std::string(std::size_t{65} << 20, 'x'),
       "0 listed, 0 more"},
      {"fifteen million empty comments", 15'000'000, "",
       "10 listed, 14999990 more\n" + noEquals + "1 has no \"=\"\n" + noEquals + "10 has no \"=\""},
  };
  for (const auto& c : cases) {
    const auto path = t / "huge.ogg";
    ASSERT_TRUE(testgen::WriteBytes(path, testgen::WithManyComments(c.count, c.field, tone)));
    const auto judge = [&](auto& check) {
      check.SetStrict(true);
      if (!check.Open(path)) return "refused: " + check.m_strError;
      int r = 0;
      while ((r = check.DecodeStep()) > 0) {
      }
      const std::vector<StructureWarning> w = check.Warnings();
      std::string seen = std::to_string(r) + ": " + std::to_string(w.size()) + " listed, " +
                         std::to_string(check.Suppressed()) + " more";
      if (!w.empty()) seen += "\n" + DescribeWarning(w.front()) + "\n" + DescribeWarning(w.back());
      return seen;
    };
    SCOPED_TRACE(c.name);
    EXPECT_EQ(InBoundedChild(uint64_t{1536} << 20,
                             [&] {
                               CStrictCheck<COggQuickCheck> check;
                               return judge(check);
                             }),
              "0: " + c.expected);
  }
}
