// The audio hash from inside: every check class gives a file one hash, none for a file
// written to while it was read, and the verdict builder takes it only whole.
// (tests/cli/audio_hash_test.py states what keeps and what changes it.)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <set>

#include "decode/check_choice.h"
#include "decode/helper_verdict.h"
#include "tests/gen/ogg_gen.h"
#include "tests/support/temp_dir.h"

namespace {

// Decodes `path` in `mode` to its end; `meanwhile` runs after the first step.
template <typename Meanwhile>
std::optional<AudioDigest> HashOf(CheckMode mode, const std::filesystem::path& path,
                                  Meanwhile&& meanwhile) {
  return WithCheckOf(mode, [&]<typename Check>() {
    Check check;
    check.SetStrict(mode.strict);
    EXPECT_TRUE(check.Open(path)) << check.m_strError;
    int r = check.DecodeStep();
    meanwhile();
    while (r > 0) r = check.DecodeStep();
    EXPECT_EQ(r, 0) << check.m_strError;
    return check.AudioHash();
  });
}

// Writes the file's first byte again, as it was, and puts its modification time a day
// back: its bytes are the same, but it was written to.
void Touch(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  char first = 0;
  ASSERT_EQ(::pread(fd, &first, 1, 0), 1);
  ASSERT_EQ(::pwrite(fd, &first, 1, 0), 1);
  struct stat st {};
  ASSERT_EQ(::fstat(fd, &st), 0);
  const timespec times[2] = {st.st_atim, {st.st_mtim.tv_sec - 86400, st.st_mtim.tv_nsec}};
  ASSERT_EQ(::futimens(fd, times), 0);
  ::close(fd);
}

}  // namespace

TEST(AudioHash, EveryWayOfCheckingGivesOneHashAndNoneToAFileWrittenMeanwhile) {
  TempDir t;
  const auto chain = t / "chain.ogg";
  testgen::Bytes bytes = testgen::EncodeTone({.seconds = 3.0});
  const testgen::Bytes second = testgen::EncodeTone({.seconds = 2.0, .serial = 7});
  bytes.insert(bytes.end(), second.begin(), second.end());
  ASSERT_TRUE(testgen::WriteBytes(chain, bytes));
  std::set<AudioDigest> hashes;
  for (const CheckMode mode : kEveryCheckMode) {
    const auto hash = HashOf(mode, chain, [] {});
    ASSERT_TRUE(hash) << CheckName(mode) << (mode.everyCodec ? " every codec" : "");
    hashes.insert(*hash);
    EXPECT_FALSE(HashOf(mode, chain, [&] { Touch(chain); }))
        << CheckName(mode) << (mode.everyCodec ? " every codec" : "")
        << (mode.strict ? " strict" : "");
  }
  EXPECT_EQ(hashes.size(), 1u);
  // One link alone is other music.
  const auto first = t / "first.ogg";
  ASSERT_TRUE(testgen::WriteBytes(first, testgen::EncodeTone({.seconds = 3.0})));
  EXPECT_NE(HashOf({}, first, [] {}), *hashes.begin());
}

TEST(AudioHash, TheVerdictTakesAWholeHashOnlyAndLosesItWithAnUnfinishedCheck) {
  const HelperMessage opened{HelperMessage::kOpened, 1, 441000, 10, ""};
  const HelperMessage step{HelperMessage::kStep, 1024, 0, 5, ""};
  const HelperMessage last{HelperMessage::kStep, 0, 0, 10, ""};
  const std::string bytes(kAudioHashBytes, '\x5a');
  const HelperMessage hash{.type = HelperMessage::kAudioHash, .detail = bytes};
  const HelperMessage cut{.type = HelperMessage::kAudioHash, .detail = bytes.substr(1)};
  struct Case {
    const char* name;
    std::vector<HelperMessage> answers;
    bool crashed;
    bool hashed;
  } const cases[] = {
      {"a clean end", {opened, step, hash, last}, false, true},
      {"a hash a byte short is no answer", {opened, step, cut, last}, false, false},
      {"a file that opens starts without one", {opened, hash, opened, last}, false, false},
      {"a crash after it", {opened, step, hash}, true, false},
  };
  for (const Case& c : cases) {
    CVerdictBuilder builder;
    for (const HelperMessage& m : c.answers) {
      const auto taken = builder.Take(m);
      if (m.type != HelperMessage::kAudioHash) continue;
      EXPECT_EQ(taken, m.detail.size() == kAudioHashBytes ? CVerdictBuilder::Taken::kFact
                                                          : CVerdictBuilder::Taken::kUnknown)
          << c.name;
    }
    if (c.crashed) builder.TakeEnd({HelperExit::How::kCrashed, 11, 6});
    const auto& got = builder.Verdict().audioHash;
    EXPECT_EQ(got.has_value(), c.hashed) << c.name;
    if (got) {
      EXPECT_EQ(std::string(got->begin(), got->end()), bytes) << c.name;
    }
  }
}
