// COpusCheck, CFlacOggCheck and CAnyOggCheck on generated files: each kind of damage with
// its exact text and position, shapes from mono to 8 channels, chains whose links mix
// codecs, streams no check decodes, and the open rules COggCheck keeps.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <functional>

#include "filetest/codecs/any_ogg_check.h"
#include "filetest/codecs/flac_ogg_check.h"
#include "filetest/codecs/ogg_check.h"
#include "filetest/codecs/opus_check.h"
#include "filetest/codecs/quick_check.h"
#include "tests/gen/codec_gen.h"
#include "tests/support/io_count.h"
#include "tests/support/temp_dir.h"

using testgen::Codec;
using testgen::CodecDamage;

namespace {

const testgen::Tone kTenSeconds{.channels = 2, .rate = 44100, .seconds = 10.0};

struct Outcome {
  bool opened = false;
  std::string text;  // the reason, or "OK"
  int64_t decoded = 0;
  int64_t total = 0;
  double position = 0;  // after the last step
  double totalSeconds = 0;
  int biggestStep = 0;
  bool positionsRise = true;
};

template <typename Check>
Outcome CheckFile(Check& check, const std::filesystem::path& path) {
  Outcome o;
  o.opened = check.Open(path);
  o.total = check.m_nTotalSamples;
  if (!o.opened) {
    o.text = check.m_strError;
    return o;
  }
  EXPECT_TRUE(check.m_strError.empty()) << path;
  o.totalSeconds = check.TotalSeconds();
  int r = 0;
  double last = 0;
  while ((r = check.DecodeStep()) > 0) {
    o.decoded += r;
    o.biggestStep = std::max(o.biggestStep, r);
    o.positionsRise = o.positionsRise && check.PositionSeconds() >= last;
    last = check.PositionSeconds();
  }
  o.position = check.PositionSeconds();
  o.text = r == 0 ? "OK" : check.m_strError;
  EXPECT_EQ(r == 0, check.m_strError.empty()) << path << ": " << check.m_strError;
  return o;
}

struct DamageCase {
  CodecDamage damage;
  const char* text;
};

// Every case of `codec` through its own check and through CAnyOggCheck: the same verdict.
template <typename Check>
void ExpectVerdicts(Codec codec, const std::vector<DamageCase>& expected) {
  TempDir t;
  const auto made = testgen::AllCodecCases(codec, kTenSeconds);
  ASSERT_EQ(made.size(), expected.size());
  Check own;
  CAnyOggCheck any;
  for (std::size_t i = 0; i < made.size(); ++i) {
    ASSERT_EQ(made[i].damage, expected[i].damage);
    const auto path = t / made[i].fileName;
    ASSERT_FALSE(made[i].bytes.empty()) << path;
    ASSERT_TRUE(testgen::WriteBytes(path, made[i].bytes));
    const Outcome viaAny = CheckFile(any, path);
    EXPECT_EQ(viaAny.text, expected[i].text) << path;
    EXPECT_LE(viaAny.biggestStep, kSamplesPerStep) << path;
    EXPECT_TRUE(viaAny.positionsRise) << path;
    if (made[i].damage == CodecDamage::kChained) continue;  // the own check takes one link
    const Outcome viaOwn = CheckFile(own, path);
    EXPECT_EQ(viaOwn.text, expected[i].text) << path;
    EXPECT_EQ(viaOwn.decoded, viaAny.decoded) << path;
  }
}

}  // namespace

TEST(CodecCheck, EachKindOfOpusDamageGivesItsText) {
  ExpectVerdicts<COpusCheck>(
      Codec::kOpus, {
                        {CodecDamage::kClean, "OK"},
                        {CodecDamage::kDropPage, "OP_HOLE @ 0m 04s"},
                        {CodecDamage::kFlipByte, "OP_HOLE @ 0m 04s"},
                        // Opus packets carry no checksum: a mended page decodes to other sound.
                        {CodecDamage::kMendedFlip, "OK"},
                        {CodecDamage::kCutLastPage, "TRUNCATED @ 0m 09s"},
                        {CodecDamage::kCutMidFile, "TRUNCATED @ 0m 04s"},
                        // No audio page means no last granule position to check the first against.
                        {CodecDamage::kCutAfterHeaders, "OP_EBADTIMESTAMP"},
                        {CodecDamage::kNoEos, "TRUNCATED @ 0m 10s"},
                        {CodecDamage::kChained, "OK"},
                        {CodecDamage::kBadHeader, "OP_EVERSION"},
                        {CodecDamage::kBadTimestamp, "OP_EBADTIMESTAMP"},
                    });
}

TEST(CodecCheck, EachKindOfFlacDamageGivesItsText) {
  ExpectVerdicts<CFlacOggCheck>(
      Codec::kFlac, {
                        {CodecDamage::kClean, "OK"},
                        // A lost page is a gap where the audio before it ends (0m 04.91s).
                        {CodecDamage::kDropPage, "FLAC_LOST_SYNC @ 0m 04s"},
                        {CodecDamage::kFlipByte, "FLAC_LOST_SYNC @ 0m 04s"},
                        {CodecDamage::kMendedFlip, "FLAC_LOST_SYNC @ 0m 04s"},
                        {CodecDamage::kCutLastPage, "TRUNCATED @ 0m 09s"},
                        {CodecDamage::kCutMidFile, "TRUNCATED @ 0m 04s"},
                        {CodecDamage::kCutAfterHeaders, "TRUNCATED @ 0m 00s"},
                        {CodecDamage::kNoEos, "TRUNCATED @ 0m 10s"},
                        {CodecDamage::kChained, "OK"},
                        {CodecDamage::kBadHeader, "FLAC_ABORTED"},
                        {CodecDamage::kWrongMd5, "FLAC_MD5_MISMATCH"},
                        {CodecDamage::kNoMd5, "OK"},
                    });
}

TEST(CodecCheck, FaultsArePlacedWhereTheAudioBeforeThemEnds) {
  TempDir t;
  const struct {
    Codec codec;
    CodecDamage damage;
  } cases[] = {
      {Codec::kOpus, CodecDamage::kDropPage},
      {Codec::kFlac, CodecDamage::kDropPage},
      {Codec::kFlac, CodecDamage::kCutMidFile},
  };
  for (const auto& c : cases) {
    const testgen::Bytes clean = testgen::EncodeCodecTone(c.codec, kTenSeconds);
    const testgen::Bytes bytes = testgen::MakeCodecCase(c.codec, c.damage, kTenSeconds);
    // The first page that differs follows the last intact one.
    const auto before = testgen::SplitPages(clean);
    const auto after = testgen::SplitPages(bytes);
    std::size_t same = 0;
    while (same < after.size() && after[same].header == before[same].header &&
           after[same].body == before[same].body) {
      ++same;
    }
    ASSERT_GT(same, 0u);
    const double rate = c.codec == Codec::kOpus ? kOpusRate : static_cast<double>(kTenSeconds.rate);
    // Opus granules count the pre-skip of 312 samples that play time leaves out.
    const double skip = c.codec == Codec::kOpus ? 312 : 0;
    const double end = (static_cast<double>(before[same - 1].Granule()) - skip) / rate;
    const auto path = t / testgen::CodecCaseFileName(c.codec, c.damage);
    ASSERT_TRUE(testgen::WriteBytes(path, bytes));
    CAnyOggCheck check;
    const Outcome o = CheckFile(check, path);
    EXPECT_NEAR(o.position, end, 1e-9) << path;
    EXPECT_EQ(o.decoded, std::llround(end * rate)) << path;
  }
}

TEST(CodecCheck, EveryShapeChecksCleanToItsLastSample) {
  TempDir t;
  const struct {
    Codec codec;
    testgen::Tone tone;
  } shapes[] = {
      {Codec::kOpus, {.channels = 1, .rate = 48000, .seconds = 0.1, .serial = 3}},
      {Codec::kOpus, {.channels = 2, .rate = 44100, .seconds = 3.0, .serial = 4}},
      {Codec::kOpus, {.channels = 6, .rate = 48000, .seconds = 2.0, .serial = 5}},
      {Codec::kOpus, {.channels = 8, .rate = 16000, .seconds = 1.5, .serial = 6}},
      {Codec::kOpus, {.channels = 2, .rate = 48000, .seconds = 60.0, .serial = 7}},
      {Codec::kFlac, {.channels = 1, .rate = 8000, .seconds = 0.1, .serial = 8}},
      {Codec::kFlac, {.channels = 2, .rate = 96000, .seconds = 2.0, .serial = 9}},
      {Codec::kFlac, {.channels = 6, .rate = 48000, .seconds = 1.0, .serial = 10}},
      {Codec::kFlac, {.channels = 8, .rate = 44100, .seconds = 1.5, .serial = 11}},
      {Codec::kFlac, {.channels = 2, .rate = 44100, .seconds = 60.0, .serial = 12}},
  };
  for (const auto& shape : shapes) {
    const auto path = t / ("shape-" + std::to_string(shape.tone.serial) + ".ogg");
    ASSERT_TRUE(testgen::WriteBytes(path, testgen::EncodeCodecTone(shape.codec, shape.tone)));
    CAnyOggCheck check;
    const Outcome o = CheckFile(check, path);
    EXPECT_EQ(o.text, "OK") << path;
    const double rate =
        shape.codec == Codec::kOpus ? kOpusRate : static_cast<double>(shape.tone.rate);
    EXPECT_EQ(o.decoded, std::llround(shape.tone.seconds * rate)) << path;
    EXPECT_EQ(o.total, o.decoded) << path;
    EXPECT_NEAR(o.totalSeconds, shape.tone.seconds, 1e-9) << path;
    EXPECT_NEAR(o.position, shape.tone.seconds, 1e-9) << path;
    EXPECT_LE(o.biggestStep, kSamplesPerStep) << path;
    EXPECT_EQ(check.Codec(), shape.codec == Codec::kOpus ? OggCodec::kOpus : OggCodec::kFlac);
  }
}

TEST(CodecCheck, ChainsThatMixCodecsAreCheckedLinkByLink) {
  TempDir t;
  const auto vorbis =
      testgen::EncodeTone({.channels = 1, .rate = 44100, .seconds = 3.0, .serial = 50});
  const auto opus = testgen::EncodeCodecTone(
      Codec::kOpus, {.channels = 6, .rate = 48000, .seconds = 2.0, .serial = 51});
  const auto flac = testgen::EncodeCodecTone(
      Codec::kFlac, {.channels = 2, .rate = 44100, .seconds = 4.0, .serial = 52});
  const auto speex = testgen::MakeForeignStream("Speex   ", 53);
  const auto flacHole =
      testgen::MakeCodecCase(Codec::kFlac, CodecDamage::kDropPage, {.seconds = 4.0, .serial = 54});
  const auto opusCut =
      testgen::MakeCodecCase(Codec::kOpus, CodecDamage::kNoEos, {.seconds = 2.0, .serial = 55});
  const auto vorbisCut =
      testgen::MakeCase(testgen::Damage::kCutMidFile, {.seconds = 2.0, .serial = 56});
  const struct {
    const char* name;
    testgen::Bytes bytes;
    const char* text;
    double totalSeconds;  // -1: not compared
    std::vector<OggCodec> skipped;
  } cases[] = {
      {"vorbis-opus-speex-flac",
       testgen::Chain({vorbis, opus, speex, flac}),
       "OK",
       9.0,
       {OggCodec::kSpeex}},
      {"opus-then-vorbis", testgen::Chain({opus, vorbis}), "OK", 5.0, {}},
      // Positions count on from the links before: 3 s of Vorbis, 2 of Opus, then the gap.
      {"flac-hole-after-two",
       testgen::Chain({vorbis, opus, flacHole}),
       "FLAC_LOST_SYNC @ 0m 06s",
       9.0,
       {}},
      // Only the file's last link can be cut short: one that another follows ends there,
      // whatever its last page's flag says, in a mixed chain as in a chain of one codec.
      {"opus-link-without-end", testgen::Chain({opusCut, flac}), "OK", 6.0, {}},
      {"vorbis-cut-before-opus", testgen::Chain({opus, vorbisCut}), "TRUNCATED @ 0m 02s", -1, {}},
  };
  CAnyOggCheck check;
  for (const auto& c : cases) {
    const auto path = t / (std::string(c.name) + ".ogg");
    ASSERT_TRUE(testgen::WriteBytes(path, c.bytes));
    const Outcome o = CheckFile(check, path);
    EXPECT_EQ(o.text, c.text) << c.name;
    EXPECT_TRUE(o.positionsRise) << c.name;
    EXPECT_LE(o.biggestStep, kSamplesPerStep) << c.name;
    EXPECT_TRUE(check.Checked()) << c.name;
    EXPECT_EQ(check.SkippedLinks(), c.skipped) << c.name;
    if (c.totalSeconds >= 0) {
      EXPECT_NEAR(o.totalSeconds, c.totalSeconds, 1e-9) << c.name;
    }
    if (o.text == "OK") {
      EXPECT_NEAR(o.position, c.totalSeconds, 1e-9) << c.name;
    }
  }
}

TEST(CodecCheck, VorbisFilesGetExactlyTheVorbisCheck) {
  TempDir t;
  COggCheck vorbis;
  CAnyOggCheck any;
  for (const auto& made : testgen::AllCases(kTenSeconds)) {
    const auto path = t / made.fileName;
    ASSERT_TRUE(testgen::WriteBytes(path, made.bytes));
    std::vector<std::pair<int, double>> viaVorbis, viaAny;
    const bool opened = vorbis.Open(path);
    ASSERT_EQ(any.Open(path), opened) << path;
    EXPECT_EQ(any.m_strError, vorbis.m_strError) << path;
    EXPECT_EQ(any.m_nTotalSamples, vorbis.m_nTotalSamples) << path;
    if (!opened) continue;
    EXPECT_EQ(any.TotalSeconds(), ov_time_total(&vorbis.Vf(), -1)) << path;
    for (int r = 1; r > 0;) {
      r = vorbis.DecodeStep();
      viaVorbis.emplace_back(r, ov_time_tell(&vorbis.Vf()));
    }
    for (int r = 1; r > 0;) {
      r = any.DecodeStep();
      viaAny.emplace_back(r, any.PositionSeconds());
    }
    EXPECT_EQ(viaAny, viaVorbis) << path;
    EXPECT_EQ(any.m_strError, vorbis.m_strError) << path;
    EXPECT_TRUE(any.Checked());
  }
}

TEST(CodecCheck, TheQuickCheckOfEveryCodecIsQuickForVorbisOnlyWithTheSameVerdicts) {
  TempDir t;
  std::vector<std::pair<std::filesystem::path, bool>> files;  // and whether it is Vorbis
  for (const auto& made : testgen::AllCases({.channels = 1, .rate = 8000, .seconds = 3})) {
    files.emplace_back(t / made.fileName, made.damage != testgen::Damage::kNotOgg);
    ASSERT_TRUE(testgen::WriteBytes(files.back().first, made.bytes));
  }
  for (const Codec codec : {Codec::kOpus, Codec::kFlac}) {
    for (const auto& made : testgen::AllCodecCases(codec, {.channels = 1, .rate = 8000})) {
      files.emplace_back(t / made.fileName, false);
      ASSERT_TRUE(testgen::WriteBytes(files.back().first, made.bytes));
    }
  }
  const auto run = [](CAnyOggCheck& check, const std::filesystem::path& path, bool& tracked) {
    std::vector<std::pair<int, double>> steps{{check.Open(path) ? 1 : -1, check.TotalSeconds()}};
    tracked = false;
    for (int r = steps.back().first; r > 0;) {
      r = check.DecodeStep();
      tracked = tracked || check.Tracking();
      steps.emplace_back(r, check.PositionSeconds());
    }
    return std::pair(steps, check.m_strError);
  };
  CAnyOggCheck full;
  CAnyOggQuickCheck quick;
  for (const auto& [path, vorbis] : files) {
    bool fullTracked = false, quickTracked = false;
    EXPECT_EQ(run(quick, path, quickTracked), run(full, path, fullTracked)) << path;
    EXPECT_FALSE(fullTracked) << path;
    // A file that never opens has nothing to track.
    if (quick.m_nTotalSamples > 0) {
      EXPECT_EQ(quickTracked, vorbis && QuickCheckSupported()) << path;
    }
  }
}

TEST(CodecCheck, StreamsNoCheckDecodesAreNeverDamage) {
  TempDir t;
  const struct {
    const char* name;
    testgen::Bytes bytes;
    OggCodec codec;
  } cases[] = {
      {"speex.spx", testgen::MakeForeignStream("Speex   ", 1), OggCodec::kSpeex},
      {"theora.ogv", testgen::MakeForeignStream("\x80theora", 2), OggCodec::kTheora},
      {"other.ogg", testgen::MakeForeignStream("fishead", 3), OggCodec::kUnknown},
      {"two-speex.ogg",
       testgen::Chain(
           {testgen::MakeForeignStream("Speex   ", 4), testgen::MakeForeignStream("Speex   ", 5)}),
       OggCodec::kSpeex},
  };
  CAnyOggCheck check;
  for (const auto& c : cases) {
    const auto path = t / c.name;
    ASSERT_TRUE(testgen::WriteBytes(path, c.bytes));
    const Outcome o = CheckFile(check, path);
    EXPECT_TRUE(o.opened) << c.name;
    EXPECT_EQ(o.text, "OK") << c.name;
    EXPECT_FALSE(check.Checked()) << c.name;
    EXPECT_EQ(check.Codec(), c.codec) << c.name;
    EXPECT_EQ(o.total, 0) << c.name;
  }
  // A Vorbis file after all is checked again on the same object.
  const auto vorbis = t / "vorbis.ogg";
  ASSERT_TRUE(testgen::WriteBytes(vorbis, testgen::EncodeTone({.seconds = 1.0})));
  EXPECT_EQ(CheckFile(check, vorbis).text, "OK");
  EXPECT_TRUE(check.Checked());
}

TEST(CodecCheck, TheFirstPacketNamesTheCodec) {
  const struct {
    std::string packet;
    OggCodec codec;
  } cases[] = {
      {std::string("\x01vorbis\0\0\0\0", 11), OggCodec::kVorbis},
      {"OpusHead\x01\x02", OggCodec::kOpus},
      {"\x7F"
       "FLAC\x01\x00",
       OggCodec::kFlac},
      {"Speex   1.2", OggCodec::kSpeex},
      {"\x80theora\x03", OggCodec::kTheora},
      {"\x01vorbi", OggCodec::kUnknown},  // cut short
      {"OpusTags", OggCodec::kUnknown},   // a second packet is no first one
      {"\x03vorbis", OggCodec::kUnknown},
      {"", OggCodec::kUnknown},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CodecOfFirstPacket(reinterpret_cast<const unsigned char*>(c.packet.data()),
                                 c.packet.size()),
              c.codec)
        << c.packet;
  }
}

TEST(CodecCheck, AFlacStreamWithoutMd5SaysSo) {
  TempDir t;
  const struct {
    CodecDamage damage;
    bool missing;
  } cases[] = {
      {CodecDamage::kClean, false}, {CodecDamage::kNoMd5, true}, {CodecDamage::kWrongMd5, false}};
  for (const auto& c : cases) {
    const auto path = t / testgen::CodecCaseFileName(Codec::kFlac, c.damage);
    ASSERT_TRUE(testgen::WriteBytes(
        path, testgen::MakeCodecCase(Codec::kFlac, c.damage, {.seconds = 1.0})));
    CFlacOggCheck flac;
    CheckFile(flac, path);
    EXPECT_EQ(flac.Md5Missing(), c.missing) << path;
    CAnyOggCheck any;
    CheckFile(any, path);
    EXPECT_EQ(any.Md5Missing(), c.missing) << path;
  }
}

TEST(CodecCheck, OnlyRegularFilesOpenAndPathsAreOpenedWhole) {
  TempDir t;
  ASSERT_EQ(::mkfifo((t / "fifo.opus").c_str(), 0600), 0);
  std::filesystem::create_directory(t / "folder.oga");
  const auto opus = testgen::EncodeCodecTone(Codec::kOpus, {.seconds = 0.5});
  // 259 bytes of path name the file; a longer path that begins with them names nothing.
  std::string dir = t.path().native();
  const std::string name = std::string(259 - dir.size() - 1 - 5, 'n') + ".opus";
  ASSERT_TRUE(testgen::WriteBytes(dir + "/" + name, opus));
  const long long readBefore = testsupport::BytesReadSoFar();
  COpusCheck opusCheck;
  CFlacOggCheck flacCheck;
  CAnyOggCheck anyCheck;
  for (const auto& p : {t / "fifo.opus", t / "folder.oga", std::filesystem::path("/dev/zero"),
                        t / "missing.opus"}) {
    EXPECT_FALSE(opusCheck.Open(p)) << p;
    EXPECT_EQ(opusCheck.m_strError, "OPENFILE") << p;
    EXPECT_FALSE(flacCheck.Open(p)) << p;
    EXPECT_EQ(flacCheck.m_strError, "OPENFILE") << p;
    EXPECT_FALSE(anyCheck.Open(p)) << p;
    EXPECT_EQ(anyCheck.m_strError, "OPENFILE") << p;
  }
  EXPECT_LT(testsupport::BytesReadSoFar() - readBefore, 4096);
  const std::string exact = dir + "/" + name;
  ASSERT_EQ(exact.size(), 259u);
  EXPECT_TRUE(opusCheck.Open(exact));
  EXPECT_FALSE(opusCheck.Open(exact + "-tail"));
  EXPECT_FALSE(anyCheck.Open(exact + "-tail"));
}

// Every check, each on a clean file of its codec under a path of more than 259 bytes (an
// album three folders deep with long names) whose first 259 bytes name a file that is
// not Ogg at all: the long path's own verdict, OK, and the short one's, an error. A path
// longer than the system takes is the path's fault, named as such.
TEST(CodecCheck, EveryCheckOpensALongPathWholeAndNamesAPathTooLong) {
  TempDir t;
  const std::string dir = t.path().native();
  const auto vorbisFile = testgen::EncodeTone({.seconds = 0.5});
  const auto opusFile = testgen::EncodeCodecTone(Codec::kOpus, {.seconds = 0.5});
  const auto flacFile = testgen::EncodeCodecTone(Codec::kFlac, {.seconds = 0.5});
  struct Case {
    const testgen::Bytes& clean;
    const char* ext;
    std::function<Outcome(const std::string&)> check;
  };
  COggCheck vorbis;
  COggQuickCheck quick;
  COpusCheck opus;
  CFlacOggCheck flac;
  CAnyOggCheck any;
  const std::vector<Case> cases = {
      {vorbisFile, ".ogg", [&](const std::string& p) { return CheckFile(vorbis, p); }},
      {vorbisFile, ".ogg", [&](const std::string& p) { return CheckFile(quick, p); }},
      {opusFile, ".opus", [&](const std::string& p) { return CheckFile(opus, p); }},
      {flacFile, ".oga", [&](const std::string& p) { return CheckFile(flac, p); }},
      {opusFile, ".opus", [&](const std::string& p) { return CheckFile(any, p); }},
      {flacFile, ".oga", [&](const std::string& p) { return CheckFile(any, p); }},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const std::string folder = dir + "/" + std::to_string(i) + "/" + std::string(100, 'f');
    ASSERT_TRUE(std::filesystem::create_directories(folder));
    const std::string shortName = std::string(259 - folder.size() - 1 - 4, 's') + ".ogg";
    const std::string shortPath = folder + "/" + shortName;
    ASSERT_EQ(shortPath.size(), 259u);
    ASSERT_TRUE(testgen::WriteBytes(shortPath, testgen::Bytes(4096, 'x')));
    const std::string album = shortPath + " (Deluxe Edition)/" + std::string(60, 'd') + "/";
    ASSERT_TRUE(std::filesystem::create_directories(album));
    const std::string longPath = album + std::string(40, 't') + c.ext;
    ASSERT_GT(longPath.size(), 300u);
    ASSERT_TRUE(testgen::WriteBytes(longPath, c.clean));
    EXPECT_EQ(c.check(longPath).text, "OK") << i;
    EXPECT_NE(c.check(shortPath).text, "OK") << i;
    EXPECT_EQ(c.check(std::string(5000, 'p')).text, "OPENFILE: path too long") << i;
    // A folder refused after a path too long: the refusal is this path's, not the last.
    EXPECT_EQ(c.check(folder).text, "OPENFILE") << i;
    EXPECT_EQ(c.check(dir + "/missing").text, "OPENFILE") << i;
  }
}

TEST(CodecCheck, AZeroTailCostsNothingAndIsNoDamage) {
  TempDir t;
  const auto opus = t / "tail.opus";
  const auto flac = t / "tail.oga";
  ASSERT_TRUE(testgen::WriteBytes(opus, testgen::EncodeCodecTone(Codec::kOpus, {.seconds = 1.0})));
  ASSERT_TRUE(testgen::WriteBytes(flac, testgen::EncodeCodecTone(Codec::kFlac, {.seconds = 1.0})));
  for (const auto& p : {opus, flac}) {
    // 64 GiB of hole after the data, as a preallocated download leaves it.
    const int fd = ::open(p.c_str(), O_WRONLY | O_CLOEXEC);
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    ASSERT_EQ(::ftruncate(fd, st.st_size + (off_t{1} << 36)), 0);
    ::close(fd);
    const long long readBefore = testsupport::BytesReadSoFar();
    CAnyOggCheck check;
    EXPECT_EQ(CheckFile(check, p).text, "OK") << p;
    EXPECT_LT(testsupport::BytesReadSoFar() - readBefore, 1 << 20) << p;
  }
}

TEST(CodecCheck, AnOpusPacketOpusfileDropsIsABadPacketWhereItWas) {
  TempDir t;
  // In this file the flipped byte spoils a packet's table of contents (opusinfo: "Invalid
  // packet TOC"); opusfile drops the packet and says nothing.
  const auto path = t / "bad-toc.opus";
  ASSERT_TRUE(testgen::WriteBytes(
      path, testgen::MakeCodecCase(Codec::kOpus, CodecDamage::kMendedFlip, {.seconds = 3.0})));
  COpusCheck check;
  const Outcome o = CheckFile(check, path);
  EXPECT_EQ(o.text, "OP_EBADPACKET @ 0m 01s");
  // 68808 samples of play time had been handed out before the dropped packet's gap.
  EXPECT_EQ(o.decoded, 68808);
  EXPECT_NEAR(o.position, 68808.0 / kOpusRate, 1e-9);
}

TEST(CodecCheck, AFreshOrClosedCheckClaimsNothing) {
  COpusCheck opus;
  CFlacOggCheck flac;
  CAnyOggCheck any;
  EXPECT_FALSE(flac.Md5Missing());
  EXPECT_FALSE(any.Md5Missing());
  EXPECT_TRUE(any.Checked());
  EXPECT_EQ(any.Codec(), OggCodec::kNone);
  for (int round = 0; round < 2; ++round) {
    EXPECT_LT(opus.DecodeStep(), 0);
    EXPECT_EQ(opus.m_strError, kNotOpen);
    EXPECT_EQ(flac.DecodeStep(), kFlacFault);
    EXPECT_EQ(flac.m_strError, kNotOpen);
    EXPECT_EQ(any.DecodeStep(), kLinkOpenFault);
    EXPECT_EQ(any.m_strError, kNotOpen);
    opus.Close();
    flac.Close();
    any.Close();
  }
}

TEST(CodecCheck, OneObjectStartsEachFileAfresh) {
  TempDir t;
  const testgen::Tone tone{.seconds = 1.0};
  const auto clean = testgen::EncodeCodecTone(Codec::kFlac, tone);
  // The first metadata block made PADDING: a FLAC stream with no STREAMINFO.
  auto pages = testgen::SplitPages(clean);
  pages[0].body[13] = static_cast<unsigned char>((pages[0].body[13] & 0x80) | 1);
  pages[0].FixCrc();
  const struct {
    const char* name;
    testgen::Bytes bytes;
    const char* text;
    bool md5Missing;
  } files[] = {
      {"clean.oga", clean, "OK", false},
      {"no-streaminfo.oga", testgen::JoinPages(pages), "FLAC_NO_STREAMINFO", false},
      {"no-md5.oga", testgen::MakeCodecCase(Codec::kFlac, CodecDamage::kNoMd5, tone), "OK", true},
      {"clean-again.oga", clean, "OK", false},
  };
  CFlacOggCheck flac;
  CAnyOggCheck any;
  for (const auto& f : files) {
    const auto path = t / f.name;
    ASSERT_TRUE(testgen::WriteBytes(path, f.bytes));
    EXPECT_EQ(CheckFile(flac, path).text, f.text) << f.name;
    EXPECT_EQ(flac.Md5Missing(), f.md5Missing) << f.name;
    EXPECT_EQ(CheckFile(any, path).text, f.text) << f.name;
    EXPECT_EQ(any.Md5Missing(), f.md5Missing) << f.name;
  }
}

namespace {

int OpenDescriptorCount() {
  int n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++n;
  return n;
}

// After a good file, a path that does not open and a file that fails to open: nothing of
// either is left open, and nothing is decoded.
template <typename Check>
void ExpectFailedOpensLeaveNothing(Codec codec) {
  TempDir t;
  const testgen::Tone tone{.seconds = 0.5};
  const auto good = t / "good.ogg";
  const auto bad = t / "bad.ogg";
  ASSERT_TRUE(testgen::WriteBytes(good, testgen::EncodeCodecTone(codec, tone)));
  ASSERT_TRUE(
      testgen::WriteBytes(bad, testgen::MakeCodecCase(codec, CodecDamage::kBadHeader, tone)));
  Check check;
  const int before = OpenDescriptorCount();
  for (const auto& failing : {t / "missing.ogg", bad}) {
    ASSERT_TRUE(check.Open(good));
    EXPECT_FALSE(check.Open(failing)) << failing;
    EXPECT_EQ(OpenDescriptorCount(), before) << failing;
    EXPECT_LT(check.DecodeStep(), 0) << failing;
    EXPECT_EQ(check.m_strError, kNotOpen) << failing;
  }
}

}  // namespace

TEST(CodecCheck, AFailedOpenLeavesNothingOpenAndNothingToDecode) {
  ExpectFailedOpensLeaveNothing<COpusCheck>(Codec::kOpus);
  ExpectFailedOpensLeaveNothing<CFlacOggCheck>(Codec::kFlac);
  ExpectFailedOpensLeaveNothing<CAnyOggCheck>(Codec::kOpus);
  ExpectFailedOpensLeaveNothing<CAnyOggCheck>(Codec::kFlac);
}
