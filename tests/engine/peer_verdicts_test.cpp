// Harrowbit's verdicts beside those of the tools people already trust, on the same
// generated files: opusinfo (opus-tools) for Opus, `flac -t` for Ogg FLAC. Where the two
// part, the table says so and why; a change on either side fails here.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "filetest/codecs/any_ogg_check.h"
#include "tests/gen/codec_gen.h"
#include "tests/support/temp_dir.h"

using testgen::Codec;
using testgen::CodecDamage;

namespace {

// Exit status of `command` with its output discarded; -1 when it did not run.
int Status(const std::string& command) {
  const int status = std::system((command + " >/dev/null 2>&1").c_str());
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Quoted(const std::filesystem::path& path) { return "'" + path.native() + "'"; }

bool HarrowbitFindsDamage(const std::filesystem::path& path) {
  CAnyOggCheck check;
  if (!check.Open(path)) return true;
  int r = 0;
  while ((r = check.DecodeStep()) > 0) {
  }
  return r < 0;
}

}  // namespace

TEST(PeerVerdicts, OpusinfoAndFlacTestAgreeSaveWhereTheTableSays) {
  ASSERT_EQ(Status("command -v opusinfo"), 0) << "opusinfo (opus-tools) is not installed";
  ASSERT_EQ(Status("command -v flac"), 0) << "flac is not installed";
  TempDir t;
  const struct {
    Codec codec;
    CodecDamage damage;
    bool damaged;      // Harrowbit's verdict
    bool peerDamaged;  // opusinfo's or flac -t's
  } cases[] = {
      {Codec::kOpus, CodecDamage::kClean, false, false},
      {Codec::kOpus, CodecDamage::kDropPage, true, true},
      {Codec::kOpus, CodecDamage::kFlipByte, true, true},
      // Here the flip spoils a packet's table of contents; opusfile drops the packet, and
      // Harrowbit sees play time run ahead of the samples.
      {Codec::kOpus, CodecDamage::kMendedFlip, true, true},
      {Codec::kOpus, CodecDamage::kCutLastPage, true, true},
      {Codec::kOpus, CodecDamage::kCutMidFile, true, true},
      {Codec::kOpus, CodecDamage::kCutAfterHeaders, true, true},
      {Codec::kOpus, CodecDamage::kNoEos, true, true},
      {Codec::kOpus, CodecDamage::kChained, false, false},
      {Codec::kOpus, CodecDamage::kBadHeader, true, true},
      {Codec::kOpus, CodecDamage::kBadTimestamp, true, true},
      {Codec::kFlac, CodecDamage::kClean, false, false},
      // flac -t finds these by the MD5 at the end; Harrowbit by the gap, where it is.
      {Codec::kFlac, CodecDamage::kDropPage, true, true},
      {Codec::kFlac, CodecDamage::kFlipByte, true, true},
      {Codec::kFlac, CodecDamage::kMendedFlip, true, true},
      {Codec::kFlac, CodecDamage::kCutLastPage, true, true},
      {Codec::kFlac, CodecDamage::kCutMidFile, true, true},
      {Codec::kFlac, CodecDamage::kCutAfterHeaders, true, true},
      // Every sample and the MD5 are there; flac -t does not look at the Ogg pages, while
      // Harrowbit holds a stream without its end-of-stream page cut, as for Vorbis.
      {Codec::kFlac, CodecDamage::kNoEos, true, false},
      {Codec::kFlac, CodecDamage::kChained, false, false},
      {Codec::kFlac, CodecDamage::kBadHeader, true, true},
      {Codec::kFlac, CodecDamage::kWrongMd5, true, true},
      // Both pass it; flac -t warns, Harrowbit flags it (Md5Missing).
      {Codec::kFlac, CodecDamage::kNoMd5, false, false},
  };
  const testgen::Tone base{.channels = 2, .rate = 44100, .seconds = 3.0};
  for (const auto& c : cases) {
    const auto path = t / testgen::CodecCaseFileName(c.codec, c.damage);
    ASSERT_TRUE(testgen::WriteBytes(path, testgen::MakeCodecCase(c.codec, c.damage, base)));
    EXPECT_EQ(HarrowbitFindsDamage(path), c.damaged) << path;
    const int peer = Status((c.codec == Codec::kOpus ? "opusinfo " : "flac -t -s ") + Quoted(path));
    ASSERT_NE(peer, -1) << path;
    EXPECT_EQ(peer != 0, c.peerDamaged) << path;
  }
}
