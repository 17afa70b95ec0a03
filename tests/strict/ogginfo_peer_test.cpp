// ogginfo (vorbis-tools) as a peer: every file it warns about, the checker warns about
// too, and the clean cases are clean by its reading as well as ours.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "filetest/structure_check_file.h"
#include "tests/gen/strict_gen.h"
#include "tests/support/temp_dir.h"

namespace {

// ogginfo's lines that find fault: "WARNING: ...", "ERROR: ...", in any letter case.
std::vector<std::string> OgginfoComplaints(const std::filesystem::path& path) {
  std::vector<std::string> lines;
#ifdef HARROWBIT_OGGINFO
  const std::string command = std::string(HARROWBIT_OGGINFO) + " '" + path.string() + "' 2>&1";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {"(ogginfo did not start)"};
  std::string line;
  for (int c; (c = std::fgetc(pipe)) != EOF;) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    std::string lower;
    for (char ch : line) lower += static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
    const bool complaint =
        lower.find("warning") != std::string::npos || lower.find("error") != std::string::npos;
    // ogginfo repeats a line per page; once is enough.
    if (complaint && std::find(lines.begin(), lines.end(), line) == lines.end())
      lines.push_back(line);
    line.clear();
  }
  ::pclose(pipe);
#else
  (void)path;
#endif
  return lines;
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
    // The table in the report to the lead comes from these lines.
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
