// The structure rules fed from what the checks read (CStrictCheck) against one plain pass
// over the whole file (CheckFileStructureWithQuickDecode), the model: for every generated
// file, both checks must give exactly the model's breaches, in its order, at its places,
// whether the file decodes cleanly, fails on the way or is refused at once.

#include "filetest/rules/strict_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filetest/codecs/ogg_check.h"
#include "filetest/codecs/quick_check.h"
#include "filetest/rules/structure_check_file.h"
#include "tests/gen/ogg_gen.h"
#include "tests/gen/strict_gen.h"
#include "tests/support/temp_dir.h"

namespace {

struct Judged {
  bool opened = false;
  std::vector<std::string> warnings;  // DescribeWarning of each
  int64_t suppressed = 0;
};

std::vector<std::string> Described(const std::vector<StructureWarning>& warnings) {
  std::vector<std::string> described;
  for (const StructureWarning& w : warnings) described.push_back(DescribeWarning(w));
  return described;
}

template <typename Check>
Judged CheckToEnd(CStrictCheck<Check>& check, const std::filesystem::path& path) {
  Judged j;
  j.opened = check.Open(path);
  while (j.opened && check.DecodeStep() > 0) {
  }
  j.warnings = Described(check.Warnings());
  j.suppressed = check.Suppressed();
  return j;
}

// Every kind of file the generator makes: each rule broken, the same surgery within the
// rules, each kind of damage, a zero-filled tail and junk after the end.
std::vector<std::pair<std::string, testgen::Bytes>> AllFiles() {
  std::vector<std::pair<std::string, testgen::Bytes>> files;
  for (auto& c : testgen::StrictCases()) files.emplace_back(c.fileName, c.bytes);
  for (auto& c : testgen::StrictCleanCases()) files.emplace_back(c.fileName, c.bytes);
  for (auto& c : testgen::AllCases({.seconds = 4})) files.emplace_back(c.fileName, c.bytes);
  testgen::Bytes tail = testgen::MakeCase(testgen::Damage::kClean, {.seconds = 4});
  testgen::Bytes zeros = tail;
  zeros.resize(zeros.size() + 300000, 0);
  files.emplace_back("zero-tail.ogg", zeros);
  testgen::Bytes junk = tail;
  for (int i = 0; i < 70000; ++i) junk.push_back(static_cast<unsigned char>('O' + i % 3));
  files.emplace_back("junk-tail.ogg", junk);
  testgen::Bytes cut = testgen::MakeCase(testgen::Damage::kDropPage, {.seconds = 4});
  cut.insert(cut.begin() + static_cast<long>(cut.size() / 2), 999, 'x');
  files.emplace_back("hole-and-junk.ogg", cut);
  return files;
}

TEST(StrictCheck, BothChecksFindWhatOnePassOverTheWholeFileFinds) {
  const TempDir t;
  CStrictCheck<COggQuickCheck> quick;
  CStrictCheck<COggCheck> full;
  quick.SetStrict(true);
  full.SetStrict(true);
  int compared = 0;
  for (const auto& [name, bytes] : AllFiles()) {
    if (bytes.empty()) continue;
    const auto path = t / name;
    ASSERT_TRUE(testgen::WriteBytes(path, bytes));
    SCOPED_TRACE(name);
    const Judged q = CheckToEnd(quick, path);
    const Judged f = CheckToEnd(full, path);
    EXPECT_EQ(q.opened, f.opened);
    const StructureReport model = CheckFileStructureWithQuickDecode(path);
    ASSERT_TRUE(model.read);
    EXPECT_EQ(q.warnings, Described(model.warnings)) << "quick";
    EXPECT_EQ(f.warnings, Described(model.warnings)) << "full";
    EXPECT_EQ(q.suppressed, model.suppressed);
    EXPECT_EQ(f.suppressed, model.suppressed);
    ++compared;
  }
  EXPECT_GT(compared, 40);
}

TEST(StrictCheck, OneObjectServesFileAfterFileAndForgetsEach) {
  const TempDir t;
  std::vector<std::filesystem::path> paths;
  for (const auto& c : testgen::StrictCases()) {
    paths.push_back(t / c.fileName);
    ASSERT_TRUE(testgen::WriteBytes(paths.back(), c.bytes));
  }
  CStrictCheck<COggQuickCheck> reused;
  reused.SetStrict(true);
  for (const auto& path : paths) {
    CStrictCheck<COggQuickCheck> fresh;
    fresh.SetStrict(true);
    const Judged a = CheckToEnd(fresh, path);
    const Judged b = CheckToEnd(reused, path);
    EXPECT_EQ(a.warnings, b.warnings) << path;
    EXPECT_FALSE(a.warnings.empty()) << path;
  }
}

TEST(StrictCheck, WithoutStrictOrBeforeTheEndNothingIsJudged) {
  const TempDir t;
  testgen::StrictCase c;
  for (auto& each : testgen::StrictCases()) {
    if (each.rule == "granule-missing") c = each;
  }
  ASSERT_TRUE(testgen::WriteBytes(t / "a.ogg", c.bytes));
  CStrictCheck<COggQuickCheck> plain;
  EXPECT_TRUE(CheckToEnd(plain, t / "a.ogg").warnings.empty());
  EXPECT_FALSE(plain.Judged());
  CStrictCheck<COggQuickCheck> strict;
  strict.SetStrict(true);
  ASSERT_TRUE(strict.Open(t / "a.ogg"));
  ASSERT_GT(strict.DecodeStep(), 0);
  EXPECT_FALSE(strict.Judged());
  EXPECT_TRUE(strict.Warnings().empty());
}

}  // namespace
