// The quick check against the full one: for each file, the same open, the same steps
// with the same positions, and the same report text.

#include "filetest/codecs/quick_check.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/engine/check_trace.h"
#include "tests/gen/ogg_gen.h"
#include "tests/support/temp_dir.h"

namespace {

using Files = std::vector<std::filesystem::path>;

Files WriteCases(const TempDir& t, const testgen::Tone& tone) {
  Files files;
  for (const auto& c : testgen::AllCases(tone)) {
    files.push_back(t / c.fileName);
    testgen::WriteBytes(files.back(), c.bytes);
  }
  return files;
}

// Damage that keeps every checksum valid, so that it reaches the decoder instead of
// being dropped with its page: a flipped byte inside a packet, and a page's granule
// position lost, moved back or moved on, on each audio page in turn.
Files WritePageEdits(const TempDir& t) {
  const auto clean = testgen::SplitPages(testgen::EncodeTone({.seconds = 4.0}));
  Files files;
  for (std::size_t i = testgen::FirstAudioPage(clean); i < clean.size(); ++i) {
    const std::function<void(testgen::Page&)> edits[] = {
        [](testgen::Page& p) { p.body[p.body.size() / 2] ^= 0x5A; },
        [](testgen::Page& p) { p.body[1] ^= 0xFF; },
        [](testgen::Page& p) { p.SetGranule(-1); },
        [](testgen::Page& p) { p.SetGranule(p.Granule() - 3000); },
        [](testgen::Page& p) { p.SetGranule(p.Granule() + 3000); },
        [](testgen::Page& p) { p.SetEos(true); },
    };
    for (std::size_t e = 0; e < std::size(edits); ++e) {
      auto pages = clean;
      if (pages[i].body.size() < 2) continue;
      edits[e](pages[i]);
      pages[i].FixCrc();
      files.push_back(t / ("page" + std::to_string(i) + "-edit" + std::to_string(e) + ".ogg"));
      testgen::WriteBytes(files.back(), testgen::JoinPages(pages));
    }
  }
  return files;
}

Files WriteShapes(const TempDir& t) {
  const struct {
    const char* name;
    testgen::Tone tone;
  } shapes[] = {
      {"mono-8000.ogg", {.channels = 1, .rate = 8000, .seconds = 3.0, .quality = -0.1f}},
      {"six-channels.ogg", {.channels = 6, .rate = 22050, .seconds = 2.0}},
      {"short.ogg", {.seconds = 0.2, .frequency = 3000, .serial = 7}},
      {"best-quality.ogg", {.channels = 2, .rate = 48000, .seconds = 3.0, .quality = 1.0f}},
  };
  Files files;
  for (const auto& s : shapes) {
    files.push_back(t / s.name);
    testgen::WriteBytes(files.back(), testgen::EncodeTone(s.tone));
  }
  return files;
}

Files WriteDemo(const TempDir& t) {
  testgen::WriteDemoFolder(t.path());
  Files files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(t.path())) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  return files;
}

struct FileSet {
  const char* name;
  std::function<Files(const TempDir&)> write;
};

void PrintTo(const FileSet& set, std::ostream* os) { *os << set.name; }

class QuickCheckAgrees : public testing::TestWithParam<FileSet> {};

}  // namespace

TEST_P(QuickCheckAgrees, StepForStepWithTheFullCheck) {
  TempDir t;
  const Files files = GetParam().write(t);
  ASSERT_FALSE(files.empty());
  COggCheck full;
  COggQuickCheck quick;
  for (const auto& file : files) {
    const CheckTrace expected = TraceCheck(full, file);
    const CheckTrace got = TraceCheck(quick, file);
    ASSERT_TRUE(!got.opened || quick.Tracking())
        << "the loop without synthesis did not run, libvorbis: " << VorbisLibraryVersion();
    EXPECT_EQ(got.text, expected.text) << file;
    EXPECT_TRUE(got == expected) << file << " differs " << FirstDifference(expected, got);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, QuickCheckAgrees,
    testing::Values(FileSet{"DamagedStereo",
                            [](const TempDir& dir) { return WriteCases(dir, {.seconds = 10}); }},
                    FileSet{"DamagedMonoLowQuality",
                            [](const TempDir& dir) {
                              return WriteCases(
                                  dir,
                                  {.channels = 1, .rate = 22050, .seconds = 6, .quality = -0.1f});
                            }},
                    FileSet{"DamagedSixChannels",
                            [](const TempDir& dir) {
                              return WriteCases(dir, {.channels = 6, .rate = 48000, .seconds = 3});
                            }},
                    FileSet{"CleanShapes", WriteShapes}, FileSet{"PageEdits", WritePageEdits},
                    FileSet{"DemoLibrary", WriteDemo}),
    [](const testing::TestParamInfo<FileSet>& param) { return std::string(param.param.name); });

TEST(QuickCheck, RunsOnlyWithALibvorbisItWasComparedWith) {
  const struct {
    const char* version;
    bool verified;
  } cases[] = {
      {"Xiph.Org libVorbis 1.3.7", true},
      {"Xiph.Org libVorbis 1.3.4", true},
      {"Xiph.Org libVorbis 1.3.1", false},  // another read loop
      {"Xiph.Org libVorbis 1.3.70", false},
      {"Xiph.Org libVorbis 1.3.7 ", false},
      {"Xiph.Org libVorbis 1.4.0", false},
      {"Xiph.Org libVorbis I 20200704 (Reducing Environment)", false},
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsVerifiedVorbisVersion(c.version), c.verified) << '"' << c.version << '"';
  }
}
