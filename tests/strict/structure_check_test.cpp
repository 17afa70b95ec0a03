// The structure checker against files that each break one format rule by page surgery,
// against the same surgery within the rules, and against the generator's damaged files.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "filetest/rules/ogg_structure_check.h"
#include "filetest/rules/structure_check_file.h"
#include "tests/gen/ogg_gen.h"
#include "tests/gen/strict_gen.h"
#include "tests/support/temp_dir.h"

namespace {

std::string Describe(const StructureReport& report) {
  std::string text;
  for (const StructureWarning& w : report.warnings) text += "\n  " + DescribeWarning(w);
  return text.empty() ? " none" : text;
}

std::multiset<std::string> Names(const StructureReport& report) {
  std::multiset<std::string> names;
  for (const StructureWarning& w : report.warnings) names.insert(StructureRuleName(w.rule));
  return names;
}

TEST(StrictCases, EachNamesExactlyItsRuleAtItsOffsetAndPosition) {
  const TempDir t;
  const auto cases = testgen::StrictCases();
  ASSERT_FALSE(cases.empty());
  for (const testgen::StrictCase& c : cases) {
    ASSERT_FALSE(c.bytes.empty()) << c.fileName << ": the surgery failed";
    const auto path = t / c.fileName;
    ASSERT_TRUE(testgen::WriteBytes(path, c.bytes));
    const StructureReport report = CheckFileStructureWithQuickDecode(path);
    SCOPED_TRACE(c.fileName + ", warnings:" + Describe(report));
    ASSERT_TRUE(report.read);
    ASSERT_EQ(report.warnings.size(), 1 + c.consequences.size());
    const StructureWarning& w = report.warnings[0];
    for (std::size_t i = 0; i < c.consequences.size(); ++i) {
      EXPECT_EQ(StructureRuleName(report.warnings[i + 1].rule), c.consequences[i]);
    }
    EXPECT_EQ(StructureRuleName(w.rule), c.rule);
    EXPECT_EQ(w.byteOffset, c.offset);
    EXPECT_NEAR(w.seconds, c.seconds, std::max(1e-9, c.tolerance));
    EXPECT_FALSE(w.text.empty());
    // What quotes the file is cut, with a marker.
    EXPECT_LE(w.text.size(), kMaxWarningTextBytes + 30);
    EXPECT_EQ(c.fileName.find("long-name") != std::string::npos,
              w.text.find(" more bytes]") != std::string::npos);
  }
}

TEST(StrictCases, EveryRuleHasAFileThatBreaksIt) {
  std::set<std::string> broken;
  for (const testgen::StrictCase& c : testgen::StrictCases()) broken.insert(c.rule);
  // Opus's own rules are broken by Opus files, FLAC's by FLAC files (StrictCodecs).
  const std::set<std::string> opusOnly = {"first-granule-too-small", "pre-skip-too-long",
                                          "comment-length-overrun"};
  for (StructureRule rule : AllStructureRules()) {
    if (opusOnly.count(StructureRuleName(rule)) != 0) continue;
    EXPECT_TRUE(broken.count(StructureRuleName(rule))) << StructureRuleName(rule);
  }
  EXPECT_EQ(broken.size() + opusOnly.size(), AllStructureRules().size());
}

TEST(StrictCases, RuleNamesAreDistinct) {
  std::set<std::string> names;
  for (StructureRule rule : AllStructureRules()) names.insert(StructureRuleName(rule));
  EXPECT_EQ(names.size(), AllStructureRules().size());
}

TEST(StrictClean, SurgeryWithinTheRulesAndCleanEncodesGiveNone) {
  const TempDir t;
  for (const testgen::StrictCase& c : testgen::StrictCleanCases()) {
    ASSERT_FALSE(c.bytes.empty()) << c.fileName;
    const auto path = t / c.fileName;
    ASSERT_TRUE(testgen::WriteBytes(path, c.bytes));
    const StructureReport report = CheckFileStructureWithQuickDecode(path);
    EXPECT_TRUE(report.read);
    // The length rule ran: every clean case decodes to its end.
    EXPECT_TRUE(QuickDecodedPerLink(path).has_value()) << c.fileName;
    EXPECT_TRUE(report.warnings.empty()) << c.fileName << ":" << Describe(report);
  }
}

// The demo library: its clean files give none; each damaged file gives what its damage
// breaks, which the decoder's verdict names as well.
TEST(StrictClean, DemoLibraryGivesWhatItsDamageBreaksAndNoMore) {
  const TempDir t;
  ASSERT_TRUE(testgen::WriteDemoFolder(t.path()));
  using NameSet = std::multiset<std::string>;
  const std::map<std::string, NameSet> damaged = {
      {"dropped-page.ogg", {"sequence-gap"}},
      // The page fails its CRC: the sync skips it as bytes of no page.
      {"flipped-byte.ogg", {"junk-between-pages", "sequence-gap"}},
      {"renumbered-page.ogg", {"sequence-gap", "sequence-gap"}},
      {"cut-last-page.ogg", {"missing-eos"}},
      {"corrupt-last-page.ogg", {"missing-eos"}},
      {"cut-mid-file.ogg", {"missing-eos"}},
      {"headers-only.ogg", {"missing-eos"}},
      {"foreign-page.ogg", {"first-page-not-bos", "missing-eos"}},
      {"chained.ogg", {}},
      {"chain-first-link-no-eos.ogg", {"chain-before-eos"}},
      {"not-ogg.ogg", {}},
      {"empty.ogg", {}},
      {"bad-id-header.ogg", {}},
  };
  int files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(t.path())) {
    const auto& path = entry.path();
    if (!entry.is_regular_file() || path.filename() == "notes.txt") continue;
    ++files;
    const StructureReport report = CheckFileStructureWithQuickDecode(path);
    EXPECT_TRUE(report.read);
    NameSet expected;
    if (path.parent_path().filename() == "damaged") {
      const auto found = damaged.find(path.filename().string());
      ASSERT_NE(found, damaged.end()) << path;
      expected = found->second;
    }
    EXPECT_EQ(Names(report), expected) << path << ":" << Describe(report);
  }
  EXPECT_EQ(files, 8 + static_cast<int>(damaged.size()));
}

TEST(StrictLength, ComesFromTheDecodedCountsOfEachLink) {
  const TempDir t;
  std::map<std::string, testgen::StrictCase> cases;
  for (auto& c : testgen::StrictCases()) cases[c.fileName] = c;
  for (auto& c : testgen::StrictCleanCases()) cases[c.fileName] = c;
  const auto longer = t / "longer.ogg";
  ASSERT_TRUE(testgen::WriteBytes(longer, cases.at("strict-length-too-long.ogg").bytes));
  // Without counts the rule cannot be judged, and is not guessed.
  EXPECT_TRUE(CheckFileStructure(longer).warnings.empty());

  const auto chain = t / "chain.ogg";
  ASSERT_TRUE(testgen::WriteBytes(chain, cases.at("strict-clean-chain.ogg").bytes));
  const auto decoded = QuickDecodedPerLink(chain);
  ASSERT_TRUE(decoded.has_value());
  const testgen::Tone tone = testgen::StrictTone();
  const std::vector<int64_t> expected = {static_cast<int64_t>(tone.seconds * 44100),
                                         static_cast<int64_t>(tone.seconds * 22050)};
  EXPECT_EQ(*decoded, expected);

  // A count that differs in either link is named there, and only there.
  for (std::size_t link = 0; link < 2; ++link) {
    std::vector<int64_t> counts = expected;
    counts[link] -= 100;
    const StructureReport report = CheckFileStructure(chain, &counts);
    ASSERT_EQ(report.warnings.size(), 1u) << Describe(report);
    EXPECT_EQ(report.warnings[0].rule, StructureRule::kLengthMismatch);
    const double linkStart = link == 0 ? 0.0 : tone.seconds;
    const double rate = link == 0 ? 44100.0 : 22050.0;
    EXPECT_NEAR(report.warnings[0].seconds, linkStart + static_cast<double>(counts[link]) / rate,
                1e-9);
  }
  EXPECT_TRUE(CheckFileStructure(chain, &expected).warnings.empty());
}

TEST(StrictCap, ARuleBrokenOnEveryPageKeepsTheFirstAndCountsTheRest) {
  auto pages = testgen::SplitPages(testgen::EncodeTone(testgen::StrictTone()));
  const std::size_t first = testgen::FirstAudioPage(pages);
  for (std::size_t i = first; i < pages.size(); ++i) {
    pages[i].SetGranule(-1);
    pages[i].FixCrc();
  }
  const TempDir t;
  ASSERT_TRUE(testgen::WriteBytes(t / "all.ogg", testgen::JoinPages(pages)));
  const StructureReport report = CheckFileStructure(t / "all.ogg");
  const auto broken = static_cast<int64_t>(pages.size() - first);
  ASSERT_GT(broken, COggStructureCheck::kMaxPerRule);
  EXPECT_EQ(static_cast<int64_t>(report.warnings.size()), COggStructureCheck::kMaxPerRule);
  EXPECT_EQ(report.suppressed, broken - COggStructureCheck::kMaxPerRule);
}

TEST(StrictCap, ThousandsOfStreamsInOneLinkAreCheckedInBoundedWork) {
  const auto clean = testgen::SplitPages(testgen::EncodeTone(testgen::StrictTone()));
  std::vector<testgen::Page> pages;
  constexpr int kStreams = 3000;
  for (int i = 0; i < kStreams; ++i) {
    pages.push_back(clean[0]);
    pages.back().SetSerial(static_cast<uint32_t>(1000 + i));
    pages.back().FixCrc();
  }
  const TempDir t;
  ASSERT_TRUE(testgen::WriteBytes(t / "streams.ogg", testgen::JoinPages(pages)));
  const StructureReport report = CheckFileStructure(t / "streams.ogg");
  ASSERT_EQ(static_cast<int64_t>(report.warnings.size()), COggStructureCheck::kMaxPerRule);
  EXPECT_EQ(report.warnings[0].rule, StructureRule::kMissingEos);
  EXPECT_EQ(report.suppressed, kStreams - COggStructureCheck::kMaxPerRule);
}

TEST(StrictRead, AFileThatCannotBeReadSaysWhyAndWarnsOfNothing) {
  const TempDir t;
  const StructureReport missing = CheckFileStructure(t / "missing.ogg");
  EXPECT_FALSE(missing.read);
  EXPECT_EQ(missing.error, "No such file or directory");
  const StructureReport folder = CheckFileStructure(t.path());
  EXPECT_FALSE(folder.read);
  EXPECT_FALSE(folder.error.empty());
  // Not the reason of the file before it.
  EXPECT_NE(folder.error, missing.error);
  EXPECT_TRUE(folder.warnings.empty());
}

}  // namespace
