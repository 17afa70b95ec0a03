// ogginfo (vorbis-tools) as a peer: every file it warns about, the checker warns about
// too, and the clean cases are clean by its reading as well as ours.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "filetest/rules/structure_check_file.h"
#include "tests/gen/strict_gen.h"
#include "tests/strict/peer_complaints.h"
#include "tests/support/temp_dir.h"

namespace {

std::vector<std::string> OgginfoComplaints(const std::filesystem::path& path) {
#ifdef HARROWBIT_OGGINFO
  return PeerComplaints(HARROWBIT_OGGINFO, path);
#else
  (void)path;
  return {};
#endif
}

TEST(OgginfoPeer, EveryFileOgginfoWarnsAboutTheCheckerWarnsAboutToo) {
#ifndef HARROWBIT_OGGINFO
  GTEST_SKIP() << "ogginfo (vorbis-tools) is not installed";
#endif
  const TempDir t;
  std::vector<testgen::StrictCase> cases = testgen::StrictCases();
  for (auto& c : testgen::StrictCleanCases()) cases.push_back(c);
  int ogginfoWarned = 0;
  for (const testgen::StrictCase& c : cases) {
    const auto path = t / c.fileName;
    ASSERT_TRUE(testgen::WriteBytes(path, c.bytes));
    const std::vector<std::string> complaints = OgginfoComplaints(path);
    const StructureReport report = CheckFileStructureWithQuickDecode(path);
    // What the peer says of each case, to read beside what the checker says.
    std::cout << c.fileName << " [" << (c.rule.empty() ? "clean" : c.rule) << "]\n";
    for (const std::string& line : complaints) std::cout << "  ogginfo: " << line << "\n";
    if (c.rule.empty()) {
      EXPECT_TRUE(complaints.empty()) << c.fileName << ": " << complaints.front();
      continue;
    }
    if (!complaints.empty()) {
      ++ogginfoWarned;
      EXPECT_FALSE(report.warnings.empty())
          << c.fileName << ": ogginfo says " << complaints.front();
    }
  }
  // The peer is not asleep: it finds a good share of the breaches.
  EXPECT_GE(ogginfoWarned, 8);
}

}  // namespace
