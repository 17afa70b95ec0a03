// COggCheck on generated files: each fault class with its exact text, what is never
// opened, the path cut, and that every stream is closed exactly once.

#include "filetest/codecs/ogg_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <set>
#include <tuple>

#include "filetest/bytes/bounded_file.h"
#include "filetest/bytes/ogg_links.h"
#include "filetest/bytes/ogg_source.h"
#include "tests/gen/codec_gen.h"
#include "tests/gen/ogg_gen.h"
#include "tests/support/io_count.h"
#include "tests/support/temp_dir.h"

using testgen::Damage;

namespace {

const testgen::Tone kTenSeconds{.channels = 2, .rate = 44100, .seconds = 10.0};

struct Outcome {
  bool opened;
  std::string text;  // the reason, or "OK"
  int last;          // the last step result
  int64_t decoded;
};

Outcome Check(COggCheck& check, const std::filesystem::path& path) {
  if (!check.Open(path)) return {false, check.m_strError, 0, 0};
  EXPECT_TRUE(check.m_strError.empty());
  int r = 0;
  int64_t decoded = 0;
  while ((r = check.DecodeStep()) > 0) {
    EXPECT_LE(r, kSamplesPerStep);
    decoded += r;
  }
  return {true, r == 0 ? "OK" : check.m_strError, r, decoded};
}

int OpenDescriptors() {
  int n = 0;
  DIR* d = ::opendir("/proc/self/fd");
  while (::readdir(d) != nullptr) ++n;
  ::closedir(d);
  return n;
}

// A path of exactly `length` bytes under `base`, its folders made, ending in `tail`.
std::filesystem::path PathOfLength(const std::filesystem::path& base, std::size_t length,
                                   const std::string& tail) {
  constexpr std::size_t kFolderName = 200;
  std::string dir = base.native();
  while (length - dir.size() - 1 > kFolderName + tail.size()) {
    dir += '/' + std::string(kFolderName, 'd');
    std::filesystem::create_directories(dir);
  }
  const std::size_t name = length - dir.size() - 1;
  return dir + '/' + std::string(name - tail.size(), 'n') + tail;
}

// `zeros` more zero bytes at the end of the last packet of the last page, CRC mended: a page
// whose last bytes are zero, which a view cut at the last non-zero byte would cut short.
testgen::Bytes EndLastPageInZeros(const testgen::Bytes& file, std::size_t zeros) {
  auto pages = testgen::SplitPages(file);
  testgen::Page& last = pages.back();
  std::size_t lacing = last.header.back();
  last.header.pop_back();
  for (lacing += zeros; lacing >= 255; lacing -= 255) last.header.push_back(255);
  last.header.push_back(static_cast<unsigned char>(lacing));
  last.header[26] = static_cast<unsigned char>(last.header.size() - 27);
  last.body.insert(last.body.end(), zeros, 0);
  last.FixCrc();
  return testgen::JoinPages(pages);
}

// Appends `zeros` zero bytes, written or (sparse) left as a hole.
bool AppendZeros(const std::filesystem::path& path, off_t zeros, bool sparse) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0;
  if (sparse) {
    ok = ok && ::ftruncate(fd, st.st_size + zeros) == 0;
  } else {
    const std::vector<char> block(std::size_t(zeros), 0);
    ok = ok && ::write(fd, block.data(), block.size()) == ssize_t(block.size());
  }
  return ::close(fd) == 0 && ok;
}

}  // namespace

TEST(OggCheck, EachKindOfDamageGivesItsText) {
  TempDir t;
  const struct {
    Damage damage;
    bool opened;
    const char* text;
    int last;
  } cases[] = {
      {Damage::kClean, true, "OK", 0},
      {Damage::kDropPage, true, "OV_HOLE @ 0m 04s", OV_HOLE},
      {Damage::kFlipByte, true, "OV_HOLE @ 0m 04s", OV_HOLE},
      {Damage::kRenumberPage, true, "OV_HOLE @ 0m 04s", OV_HOLE},
      {Damage::kCutLastPage, true, "TRUNCATED @ 0m 09s", kTruncated},
      {Damage::kCorruptLastPage, true, "TRUNCATED @ 0m 09s", kTruncated},
      {Damage::kCutMidFile, true, "TRUNCATED @ 0m 04s", kTruncated},
      {Damage::kCutAfterHeaders, true, "TRUNCATED @ 0m 00s", kTruncated},
      // This libvorbisfile skips pages of streams it did not find at open.
      {Damage::kForeignPage, true, "OK", 0},
      {Damage::kChained, true, "OK", 0},
      // Only the last link's end-of-stream page counts.
      {Damage::kChainFirstLinkNoEos, true, "OK", 0},
      {Damage::kNotOgg, false, "OV_ENOTVORBIS", 0},
      {Damage::kEmpty, false, "OV_ENOTVORBIS", 0},
      {Damage::kBadIdHeader, false, "OV_EBADHEADER", 0},
  };
  for (const auto& made : testgen::AllCases(kTenSeconds)) {
    ASSERT_TRUE(testgen::WriteBytes(t / made.fileName, made.bytes));
  }
  // A stream too long for libvorbisfile to seek in is read front to back, and meets every
  // fault where the seekable read does.
  for (const int64_t mostSeekable : {kMostSeekableBytes, int64_t{0}}) {
    COggCheck check;
    check.SeekOnlyUpTo(mostSeekable);
    for (const auto& c : cases) {
      const auto path = t / testgen::CaseFileName(c.damage);
      const Outcome o = Check(check, path);
      EXPECT_EQ(o.opened, c.opened) << path << " seeking up to " << mostSeekable;
      EXPECT_EQ(o.text, c.text) << path << " seeking up to " << mostSeekable;
      EXPECT_EQ(o.last, c.last) << path << " seeking up to " << mostSeekable;
      if (!c.opened) {
        EXPECT_EQ(check.m_nTotalSamples, 0) << path;
      }
    }
  }
}

// Read front to back, as a stream too long to seek in is, a chain meets each fault where
// the seekable read meets it, and at the same time: a page lost, repeated, broken or left
// without its end flag near either end of each link.
TEST(OggCheck, AChainReadFrontToBackMeetsEachFaultWhereTheSeekableReadDoes) {
  TempDir t;
  const auto pages = testgen::SplitPages(testgen::MakeCase(Damage::kChained, kTenSeconds));
  std::set<std::size_t> near;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    if (!pages[i].Bos() && !pages[i].Eos()) continue;
    for (std::size_t k = i < 3 ? 0 : i - 3; k <= i + 3 && k < pages.size(); ++k) near.insert(k);
  }
  const std::pair<const char*, void (*)(std::vector<testgen::Page>&, std::size_t)> edits[] = {
      {"lost", [](auto& p, std::size_t i) { p.erase(p.begin() + static_cast<long>(i)); }},
      {"repeated",
       [](auto& p, std::size_t i) { p.insert(p.begin() + static_cast<long>(i), p[i]); }},
      {"broken", [](auto& p, std::size_t i) { p[i].body.back() ^= 0x55; }},
      {"unended", [](auto& p, std::size_t i) { p[i].SetEos(false), p[i].FixCrc(); }},
  };
  const auto path = t / "chain.ogg";
  COggCheck seeking;
  COggCheck streaming;
  streaming.SeekOnlyUpTo(0);
  for (const std::size_t at : near) {
    for (const auto& [name, edit] : edits) {
      auto damaged = pages;
      edit(damaged, at);
      ASSERT_TRUE(testgen::WriteBytes(path, testgen::JoinPages(damaged)));
      const Outcome want = Check(seeking, path);
      const Outcome got = Check(streaming, path);
      if (got.opened == want.opened) {
        EXPECT_EQ(got.text, want.text) << name << " page " << at;
        EXPECT_EQ(got.decoded, want.decoded) << name << " page " << at;
      } else {
        // What the seekable open refuses, the read front to back meets where it lies.
        EXPECT_FALSE(want.opened) << name << " page " << at;
        EXPECT_EQ(got.text.substr(0, want.text.size() + 3), want.text + " @ ")
            << name << " page " << at;
      }
    }
  }
}

// A link of a chain that mixes codecs, read front to back: its length comes from its last
// granule position, as the seekable open finds it, and it meets its faults where that does.
TEST(OggCheck, ALinkReadFrontToBackHasTheLengthAndFaultsOfTheSeekableRead) {
  TempDir t;
  const auto opus = testgen::EncodeCodecTone(testgen::Codec::kOpus, {.seconds = 1.0});
  const std::pair<const char*, testgen::Bytes> chains[] = {
      {"clean", testgen::Chain({testgen::EncodeTone({.seconds = 3.0}), opus})},
      {"hole", testgen::Chain({testgen::MakeCase(Damage::kDropPage, {.seconds = 3.0}), opus})},
  };
  for (const auto& [name, bytes] : chains) {
    const auto path = t / (std::string(name) + ".ogg");
    ASSERT_TRUE(testgen::WriteBytes(path, bytes));
    COggSource source;
    ASSERT_TRUE(source.Open(path));
    const OggLink vorbis = MapOggLinks(source).front();
    std::vector<std::tuple<int64_t, double, std::string, int64_t>> seen;
    for (const int64_t mostSeekable : {kMostSeekableBytes, int64_t{0}}) {
      COggCheck check;
      check.SeekOnlyUpTo(mostSeekable);
      ASSERT_TRUE(check.OpenRange(source, vorbis, {vorbis.lostBeforeAudio})) << name;
      int64_t decoded = 0;
      int r = 0;
      while ((r = check.DecodeStep()) > 0) decoded += r;
      seen.emplace_back(check.TotalSamples(), check.TotalSeconds(), r == 0 ? "OK" : check.Error(),
                        decoded);
    }
    EXPECT_EQ(seen[0], seen[1]) << name;
  }
}

TEST(OggCheck, AHoleIsReportedAfterEveryPacketBeforeIt) {
  TempDir t;
  const auto bytes = testgen::MakeCase(Damage::kDropPage, kTenSeconds);
  const auto clean = testgen::SplitPages(testgen::EncodeTone(kTenSeconds));
  const auto damaged = testgen::SplitPages(bytes);
  std::size_t gap = 0;
  while (damaged[gap].Sequence() == clean[gap].Sequence()) ++gap;
  testgen::WriteBytes(t / "hole.ogg", bytes);
  COggCheck check;
  const Outcome o = Check(check, t / "hole.ogg");
  EXPECT_EQ(o.decoded, clean[gap - 1].Granule());
  EXPECT_EQ(check.m_nTotalSamples, 441000);
}

TEST(OggCheck, OnlyRegularFilesAreOpenedAndNeverBlock) {
  TempDir t;
  ASSERT_EQ(::mkfifo((t / "fifo.ogg").c_str(), 0600), 0);
  std::filesystem::create_directory(t / "folder.ogg");
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sockPath = (t / "socket.ogg").native();
  ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
  std::copy(sockPath.begin(), sockPath.end(), addr.sun_path);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  COggCheck check;
  const long long readBefore = testsupport::BytesReadSoFar();
  for (const auto& p : {t / "fifo.ogg", t / "folder.ogg", t / "socket.ogg",
                        std::filesystem::path("/dev/zero"), t / "missing.ogg"}) {
    EXPECT_FALSE(check.Open(p)) << p;
    EXPECT_EQ(check.m_strError, "OPENFILE") << p;
    EXPECT_FALSE(check.IsOpen());
  }
  // Not a byte of /dev/zero: a check that read it would never end.
  EXPECT_LT(testsupport::BytesReadSoFar() - readBefore, 4096);
  ::close(sock);
}

TEST(OggCheck, NamesThatAreNotUtf8OpenAndDecode) {
  TempDir t;
  const auto path = t / "caf\xE9 \xFF.ogg";
  testgen::WriteBytes(path, testgen::EncodeTone({.seconds = 1}));
  COggCheck check;
  EXPECT_EQ(Check(check, path).text, "OK");
}

TEST(OggCheck, PathsAreOpenedWholeHoweverLong) {
  TempDir t;
  const auto bytes = testgen::EncodeTone({.seconds = 1});
  const auto exact = PathOfLength(t.path(), 259, "a.ogg");
  ASSERT_EQ(exact.native().size(), 259u);
  ASSERT_TRUE(testgen::WriteBytes(exact, bytes));
  // 260 bytes that exist, whose first 259 name nothing.
  const auto longer = PathOfLength(t / "x", 260, "b.ogg");
  ASSERT_EQ(longer.native().size(), 260u);
  ASSERT_TRUE(testgen::WriteBytes(longer, bytes));
  COggCheck check;
  EXPECT_TRUE(check.Open(exact));
  EXPECT_TRUE(check.Open(longer)) << check.m_strError;
  // Whose first 259 name another file: not that file.
  EXPECT_FALSE(check.Open(exact.native() + "trailing"));
  EXPECT_EQ(check.m_strError, "OPENFILE");
  // More than the system takes: the path's fault, named.
  EXPECT_FALSE(check.Open(std::string(5000, 'p')));
  EXPECT_EQ(check.m_strError, "OPENFILE: path too long");
}

TEST(OggCheck, EveryStreamIsClosedExactlyOnce) {
  TempDir t;
  std::vector<std::filesystem::path> files;
  for (Damage d : {Damage::kClean, Damage::kNotOgg, Damage::kEmpty, Damage::kBadIdHeader,
                   Damage::kCutMidFile, Damage::kDropPage}) {
    files.push_back(t / testgen::CaseFileName(d));
    testgen::WriteBytes(files.back(), testgen::MakeCase(d, {.seconds = 1}));
  }
  files.push_back(t / "missing.ogg");
  const int before = OpenDescriptors();
  {
    COggCheck check;
    for (std::size_t i = 0; i < 1000; ++i) {
      // Some files are fully decoded, some left mid-decode for the next Open to release.
      const auto& file = files[i % files.size()];
      if (i % 2 == 0) {
        Check(check, file);
      } else if (check.Open(file)) {
        check.DecodeStep();
      }
    }
    EXPECT_EQ(OpenDescriptors(), before + (check.IsOpen() ? 1 : 0));
  }
  EXPECT_EQ(OpenDescriptors(), before);
  COggCheck closed;
  closed.Close();  // closing what holds nothing is harmless
  EXPECT_EQ(closed.m_nTotalSamples, 0);
}

TEST(OggCheck, ZerosAfterTheDataLeaveEveryVerdictAsItWas) {
  TempDir t;
  std::vector<testgen::Case> cases = testgen::AllCases({.seconds = 2});
  const testgen::Bytes zeroEnded = EndLastPageInZeros(testgen::EncodeTone({.seconds = 2}), 3000);
  cases.push_back({Damage::kClean, "last-page-ends-in-zeros.ogg", zeroEnded});
  const struct {
    const char* name;
    off_t zeros;
    bool sparse;
  } tails[] = {
      {"one byte", 1, false},
      {"just under a page", kMaxOggPageBytes - 1, false},
      {"just over a page", kMaxOggPageBytes + 1, false},
      {"a mebibyte", 1 << 20, false},
      {"a sparse 64 MiB", 64 << 20, true},
  };
  COggCheck check;
  for (const auto& c : cases) {
    const auto alone = t / c.fileName;
    ASSERT_TRUE(testgen::WriteBytes(alone, c.bytes));
    const Outcome expected = Check(check, alone);
    for (const auto& tail : tails) {
      const auto path = t / (tail.name + c.fileName);
      ASSERT_TRUE(testgen::WriteBytes(path, c.bytes));
      ASSERT_TRUE(AppendZeros(path, tail.zeros, tail.sparse));
      const Outcome o = Check(check, path);
      EXPECT_EQ(o.text, expected.text) << c.fileName << " + " << tail.name;
      EXPECT_EQ(o.decoded, expected.decoded) << c.fileName << " + " << tail.name;
    }
  }
  EXPECT_EQ(Check(check, t / "last-page-ends-in-zeros.ogg").text, "OK");
}

TEST(OggViewEnd, EndsOnePageAfterTheLastNonZeroByteAndSkipsHoles) {
  TempDir t;
  constexpr off_t kMiB = 1 << 20;
  const struct {
    const char* name;
    std::vector<std::pair<off_t, char>> bytes;  // non-zero bytes at offsets
    off_t size;
    int64_t end;
  } cases[] = {
      {"empty", {}, 0, 0},
      {"all zeros, short", {}, 100, 100},
      {"all zeros, long", {}, 3 * kMiB, kMaxOggPageBytes},
      {"all zeros, sparse", {}, 1000 * kMiB, kMaxOggPageBytes},
      {"data to the last byte", {{0, 'O'}, {5 * kMiB - 1, 'S'}}, 5 * kMiB, 5 * kMiB},
      {"zeros in the middle", {{0, 'O'}, {3 * kMiB, 'S'}}, 3 * kMiB + 1, 3 * kMiB + 1},
      {"short zero tail", {{10, 'x'}}, 10 + kMaxOggPageBytes, 10 + kMaxOggPageBytes},
      {"long zero tail", {{10, 'x'}}, 2 * kMiB, 11 + kMaxOggPageBytes},
      {"last byte of a block", {{kMiB - 1, 'x'}}, 3 * kMiB, kMiB + kMaxOggPageBytes},
      {"first byte of a block", {{kMiB, 'x'}}, 3 * kMiB, kMiB + 1 + kMaxOggPageBytes},
      {"data between holes",
       {{7, 'a'}, {700 * kMiB, 'b'}},
       5000 * kMiB,
       700 * kMiB + 1 + kMaxOggPageBytes},
  };
  for (const auto& c : cases) {
    const auto path = t / "view";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    for (const auto& [offset, byte] : c.bytes) ASSERT_EQ(::pwrite(fd, &byte, 1, offset), 1);
    ASSERT_EQ(::ftruncate(fd, c.size), 0);
    EXPECT_EQ(OggViewEnd(fd, c.size), c.end) << c.name;
    ::close(fd);
  }
}
