// Hostile file systems, end to end: what a scan meets in a real tree must give a verdict,
// never a hang or a crash.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <map>

#include "tests/cli/run_cli.h"
#include "tests/gen/ogg_gen.h"
#include "text/path_text.h"

namespace {

// The report's file lines as path -> verdict; the order is the file system's own.
std::map<std::string, std::string> Verdicts(const std::string& report) {
  std::map<std::string, std::string> verdicts;
  std::istringstream in(report);
  for (std::string line; std::getline(in, line);) {
    const auto tab = line.find('\t');
    const auto dots = line.rfind("...");
    if (tab == std::string::npos || dots == std::string::npos) continue;
    verdicts[line.substr(tab + 1, dots - tab - 1)] = line.substr(dots + 3);
  }
  return verdicts;
}

}  // namespace

TEST(HostileTree, EveryOddEntryGetsAVerdictAndNothingBlocks) {
  TempDir t;
  const auto root = t / "tree";
  const testgen::Bytes clean = testgen::EncodeTone({.seconds = 1});
  std::filesystem::create_directories(root / "folder.ogg");
  testgen::WriteBytes(root / "folder.ogg/inside.ogg", clean);
  testgen::WriteBytes(root / "caf\xE9.ogg", clean);
  ASSERT_EQ(::mkfifo((root / "fifo.ogg").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", root / "device.ogg");
  std::filesystem::create_directory_symlink(root, root / "folder.ogg/back-to-top");
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sockPath = (root / "socket.ogg").native();
  std::copy(sockPath.begin(), sockPath.end(), addr.sun_path);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  // Deep enough that the path passes 3,800 bytes, within what the system takes: found,
  // opened by its whole path and checked.
  std::filesystem::path deep = root;
  while (deep.native().size() < 3800) deep /= std::string(200, 'd');
  std::filesystem::create_directories(deep);
  testgen::WriteBytes(deep / "deep.ogg", clean);

  const CliRun r = RunCli(t, {"-j2", root.native()});
  ::close(sock);
  const std::string top = root.native();
  const std::map<std::string, std::string> expected = {
      {top + "/folder.ogg/inside.ogg", "OK"},    {top + "/caf\xEF\xBF\xBD.ogg", "OK"},
      {top + "/fifo.ogg", "ERROR (OPENFILE)"},   {top + "/device.ogg", "ERROR (OPENFILE)"},
      {top + "/socket.ogg", "ERROR (OPENFILE)"}, {(deep / "deep.ogg").native(), "OK"},
  };
  EXPECT_EQ(Verdicts(r.out), expected) << r.out;
  EXPECT_NE(r.out.find("\n6 files, 3 errors ["), std::string::npos) << r.out;
  EXPECT_EQ(r.status, 1);
}

TEST(HostileTree, AFolderOfAHundredThousandEntries) {
  TempDir t;
  const auto big = t / "big";
  std::filesystem::create_directories(big);
  // Links to a few files: making 100,000 new files costs minutes on some file systems.
  for (int s = 0; s < 4; ++s) std::ofstream(t / ("source" + std::to_string(s)));
  for (int i = 0; i < 100000; ++i) {
    const bool ogg = i % 10000 == 0;
    const auto name = (ogg ? "e" : "n") + std::to_string(i) + (ogg ? ".ogg" : ".txt");
    std::filesystem::create_hard_link(t / ("source" + std::to_string(i / 30000)), big / name);
  }
  const CliRun r = RunCli(t, {"-q", big.native()});
  EXPECT_EQ(r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1),
            "10 files, 10 errors [1,2,3,4,5,6,7,8,9,10]\n");
}
