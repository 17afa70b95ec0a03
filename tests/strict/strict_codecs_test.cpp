// --strict over every codec (CAnyOggCheck held to the rules): each generated Opus and FLAC
// file that breaks one rule gets exactly that warning at its place, in the full check and
// the quick one; the Vorbis cases give what the plain pass over the file gives; clean
// encodes and chains of all three codecs give none; and opusinfo, where it finds fault
// with a file, is not alone in it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "filetest/codecs/any_ogg_check.h"
#include "filetest/rules/structure_check_file.h"
#include "tests/gen/codec_gen.h"
#include "tests/gen/strict_gen.h"
#include "tests/strict/peer_complaints.h"
#include "tests/support/temp_dir.h"

namespace {

struct Judged {
  bool opened = false;
  int last = 0;  // DecodeStep's last result
  std::vector<StructureWarning> warnings;
};

Judged CheckToEnd(CAnyOggCheck& check, const std::filesystem::path& path) {
  Judged j;
  j.opened = check.Open(path);
  while (j.opened && (j.last = check.DecodeStep()) > 0) {
  }
  j.warnings = check.Warnings();
  return j;
}

std::string Describe(const std::vector<StructureWarning>& warnings) {
  std::string text;
  for (const StructureWarning& w : warnings) text += "\n  " + DescribeWarning(w);
  return text.empty() ? " none" : text;
}

std::vector<testgen::StrictCase> BrokenCases() {
  std::vector<testgen::StrictCase> cases = testgen::StrictOpusCases();
  for (auto& c : testgen::StrictFlacCases()) cases.push_back(std::move(c));
  return cases;
}

TEST(StrictCodecs, EachOpusAndFlacCaseNamesExactlyItsRuleAtItsPlace) {
  const TempDir t;
  const auto cases = BrokenCases();
  ASSERT_GE(cases.size(), 20u);
  CAnyOggCheck full;
  CAnyOggQuickCheck quick;
  full.SetStrict(true);
  quick.SetStrict(true);
  for (const testgen::StrictCase& c : cases) {
    ASSERT_FALSE(c.bytes.empty()) << c.fileName << ": the surgery failed";
    const auto path = t / c.fileName;
    ASSERT_TRUE(testgen::WriteBytes(path, c.bytes));
    for (CAnyOggCheck* check : {&full, static_cast<CAnyOggCheck*>(&quick)}) {
      const Judged j = CheckToEnd(*check, path);
      SCOPED_TRACE(c.fileName + " (" + check->m_strError + "), warnings:" + Describe(j.warnings));
      ASSERT_TRUE(check->Judged());
      ASSERT_EQ(j.warnings.size(), 1u);
      const StructureWarning& w = j.warnings[0];
      EXPECT_EQ(StructureRuleName(w.rule), c.rule);
      EXPECT_EQ(w.byteOffset, c.offset);
      EXPECT_NEAR(w.seconds, c.seconds, 1e-9);
      EXPECT_FALSE(w.text.empty());
    }
  }
}

TEST(StrictCodecs, EveryRuleHasAnOpusVorbisOrFlacFileThatBreaksIt) {
  std::set<std::string> broken;
  for (const auto& c : testgen::StrictCases()) broken.insert(c.rule);
  for (const auto& c : BrokenCases()) broken.insert(c.rule);
  for (StructureRule rule : AllStructureRules()) {
    EXPECT_TRUE(broken.count(StructureRuleName(rule))) << StructureRuleName(rule);
  }
}

// The check of every codec gives a file of Vorbis alone what the plain pass over it gives.
TEST(StrictCodecs, VorbisFilesGetWhatOnePassOverTheFileFinds) {
  const TempDir t;
  CAnyOggQuickCheck quick;
  quick.SetStrict(true);
  std::vector<testgen::StrictCase> cases = testgen::StrictCases();
  for (auto& c : testgen::StrictCleanCases()) cases.push_back(std::move(c));
  for (const testgen::StrictCase& c : cases) {
    const auto path = t / c.fileName;
    ASSERT_TRUE(testgen::WriteBytes(path, c.bytes));
    const Judged j = CheckToEnd(quick, path);
    const StructureReport model = CheckFileStructureWithQuickDecode(path);
    EXPECT_EQ(Describe(j.warnings), Describe(model.warnings)) << c.fileName;
  }
}

TEST(StrictCodecs, CleanEncodesAndChainsOfEveryCodecGiveNone) {
  const TempDir t;
  CAnyOggCheck full;
  CAnyOggQuickCheck quick;
  CAnyOggCheck plain;
  full.SetStrict(true);
  quick.SetStrict(true);
  EXPECT_FALSE(full.Judged()) << "judged before any file was opened";
  for (const testgen::StrictCase& c : testgen::StrictCodecCleanCases()) {
    ASSERT_FALSE(c.bytes.empty()) << c.fileName;
    const auto path = t / c.fileName;
    ASSERT_TRUE(testgen::WriteBytes(path, c.bytes));
    for (CAnyOggCheck* check : {&full, static_cast<CAnyOggCheck*>(&quick)}) {
      const Judged j = CheckToEnd(*check, path);
      EXPECT_TRUE(j.opened && j.last == 0) << c.fileName << ": " << check->m_strError;
      EXPECT_TRUE(check->Judged()) << c.fileName;
      EXPECT_TRUE(j.warnings.empty()) << c.fileName << ":" << Describe(j.warnings);
    }
    // A check that is not strict judges nothing.
    CheckToEnd(plain, path);
    EXPECT_FALSE(plain.Judged());
  }
}

// Close leaves nothing to judge: a step after it finds no file and names no breach of
// the file closed before.
TEST(StrictCodecs, CloseLeavesNoBreachesBehind) {
  const TempDir t;
  for (const testgen::StrictCase& c : testgen::StrictOpusCases()) {
    if (c.rule != "junk-between-pages") continue;
    const auto path = t / c.fileName;
    ASSERT_TRUE(testgen::WriteBytes(path, c.bytes));
    CAnyOggCheck check;
    check.SetStrict(true);
    ASSERT_TRUE(check.Open(path));
    ASSERT_GT(check.DecodeStep(), 0);
    check.Close();
    EXPECT_LT(check.DecodeStep(), 0);
    EXPECT_TRUE(check.Warnings().empty()) << Describe(check.Warnings());
    return;
  }
  FAIL() << "no Opus junk case";
}

// A decoded length that differs from the declared one is named for the link it belongs
// to: the last link of a chain of Vorbis, Opus and FLAC, made to declare too much.
TEST(StrictCodecs, TheLengthRuleNamesTheLinkOfAMixedChainThatDeclaresTooMuch) {
  const TempDir t;
  const testgen::Tone base = testgen::StrictTone();
  testgen::Tone next = base;
  next.serial = base.serial + 2;
  std::vector<testgen::Page> flac =
      testgen::SplitPages(testgen::EncodeCodecTone(testgen::Codec::kFlac, next));
  ASSERT_GT(flac.size(), 4u);
  flac.back().SetGranule(flac.back().Granule() + 4410);
  flac.back().FixCrc();
  const testgen::Bytes before = testgen::Chain(
      {testgen::EncodeTone(base), testgen::EncodeCodecTone(testgen::Codec::kOpus, base)});
  const testgen::Bytes flacBytes = testgen::JoinPages(flac);
  const int64_t lastOffset = static_cast<int64_t>(
      before.size() + flacBytes.size() - flac.back().header.size() - flac.back().body.size());
  const auto path = t / "last-link-too-long.ogg";
  ASSERT_TRUE(testgen::WriteBytes(path, testgen::Chain({before, flacBytes})));
  CAnyOggQuickCheck check;
  check.SetStrict(true);
  const Judged j = CheckToEnd(check, path);
  EXPECT_EQ(j.last, 0) << check.m_strError;
  ASSERT_EQ(j.warnings.size(), 1u) << Describe(j.warnings);
  EXPECT_EQ(StructureRuleName(j.warnings[0].rule), std::string("length-mismatch"));
  EXPECT_EQ(j.warnings[0].byteOffset, lastOffset);
}

std::vector<std::string> OpusinfoComplaints(const std::filesystem::path& path) {
#ifdef HARROWBIT_OPUSINFO
  return PeerComplaints(HARROWBIT_OPUSINFO, path);
#else
  (void)path;
  return {};
#endif
}

TEST(OpusinfoPeer, EveryOpusFileOpusinfoWarnsAboutTheCheckerWarnsAboutToo) {
#ifndef HARROWBIT_OPUSINFO
  GTEST_SKIP() << "opusinfo (opus-tools) is not installed";
#endif
  const TempDir t;
  std::vector<testgen::StrictCase> cases = testgen::StrictOpusCases();
  for (auto& c : testgen::StrictCodecCleanCases()) {
    if (c.fileName.ends_with(".opus")) cases.push_back(std::move(c));
  }
  CAnyOggCheck check;
  check.SetStrict(true);
  int opusinfoWarned = 0;
  for (const testgen::StrictCase& c : cases) {
    const auto path = t / c.fileName;
    ASSERT_TRUE(testgen::WriteBytes(path, c.bytes));
    const std::vector<std::string> complaints = OpusinfoComplaints(path);
    const Judged j = CheckToEnd(check, path);
    // What the peer says of each case, to read beside what the checker says.
    std::cout << c.fileName << " [" << (c.rule.empty() ? "clean" : c.rule) << "]\n";
    for (const std::string& line : complaints) std::cout << "  opusinfo: " << line << "\n";
    if (c.rule.empty()) {
      EXPECT_TRUE(complaints.empty()) << c.fileName << ": " << complaints.front();
      continue;
    }
    if (!complaints.empty()) {
      ++opusinfoWarned;
      EXPECT_FALSE(j.warnings.empty()) << c.fileName << ": opusinfo says " << complaints.front();
    }
  }
  EXPECT_GE(opusinfoWarned, 6);
}

}  // namespace
