// A salvage is made of one version of its file or not at all: a file changed after its
// check, or while the salvage reads it, gets a clear line and leaves nothing behind. And
// the FLAC frame numbers a salvage writes, at every length of their coding.
// (tests/cli/salvage_model_test.py states what a salvage is; this is what it is not.)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/salvage_run.h"
#include "platform/read_file.h"
#include "salvage/packet_clock.h"
#include "salvage/salvage_file.h"
#include "tests/gen/codec_gen.h"
#include "tests/gen/ogg_gen.h"
#include "tests/support/temp_dir.h"

namespace {

using Path = std::filesystem::path;

std::string Slurp(const Path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAt(const Path& path, const std::string& bytes, off_t offset) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), offset), ssize_t(bytes.size()));
  ::close(fd);
}

// How the file changes, and what becomes of its salvage when that happens after its
// check, and while the salvage writes (once the file was read through for its pages, as
// its pages are read again); and whether the repair alone, with no status to go by,
// sees it in the pages it reads again.
struct Change {
  const char* name;
  std::function<void(const Path&)> apply;
  const char* afterCheck;    // the salvage's line: "" for SALVAGED
  const char* whileWriting;  // the same
  bool repairSees;
};

const Change kChanges[] = {
    {"nothing", [](const Path&) {}, "", "", false},
    {"the same first byte written again",
     [](const Path& p) { WriteAt(p, Slurp(p).substr(0, 1), 0); },
     "the file changed after it was checked", kChangedWhileRead, false},
    {"appended to",
     [](const Path& p) {
       std::ofstream(p, std::ios::binary | std::ios::app) << "a download going on";
     },
     "the file changed after it was checked", kChangedWhileRead, false},
    {"cut to half",
     [](const Path& p) { std::filesystem::resize_file(p, std::filesystem::file_size(p) / 2); },
     "the file changed after it was checked", kChangedWhileRead, true},
    {"a stretch rewritten in place",
     [](const Path& p) {
       const std::string bytes = Slurp(p);
       WriteAt(p, std::string(64, 'x'), off_t(bytes.size() * 3 / 4));
     },
     "the file changed after it was checked", kChangedWhileRead, true},
    // The salvage reads the file it opened, whose pages hold, but the name no longer
    // leads to it (its change time says so): it is not offered as the file's.
    {"replaced by another file",
     [](const Path& p) {
       const Path other = p.string() + ".new";
       ASSERT_TRUE(testgen::WriteBytes(other, testgen::MakeCase(testgen::Damage::kClean)));
       std::filesystem::rename(other, p);
     },
     "the file changed after it was checked", kChangedWhileRead, false},
};

// A sink that keeps nothing: the repair alone, and what it says.
class CNoSink final : public IPageSink {
 public:
  explicit CNoSink(std::function<void()> first) : m_first(std::move(first)) {}
  bool Write(const ogg_page& page) override {
    if (m_first) std::exchange(m_first, nullptr)();
    m_nOffset += page.header_len + page.body_len;
    return true;
  }
  int64_t Offset() const override { return m_nOffset; }
  bool Rewrite(int64_t, const ogg_page&) override { return true; }

 private:
  std::function<void()> m_first;
  int64_t m_nOffset = 0;
};

// What a run's salvage line says, and what the salvage folder holds after it.
struct Seen {
  std::string line;
  std::vector<std::string> left;
};

Seen Left(const Path& folder, std::string line) {
  Seen seen{std::move(line), {}};
  std::error_code error;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, error))
    if (entry.is_regular_file()) seen.left.push_back(entry.path().filename().string());
  return seen;
}

// The damaged file, its times a day back: a write of the test's moves them, however coarse
// the clock the file system stamps writes with.
void WriteAged(const Path& path, const testgen::Bytes& bytes) {
  ASSERT_TRUE(testgen::WriteBytes(path, bytes));
  std::filesystem::last_write_time(path,
                                   std::filesystem::last_write_time(path) - std::chrono::hours(24));
}

std::string Expected(const char* reason) {
  return *reason == '\0' ? "\tSALVAGED" : std::string("\tNOT SALVAGED (") + reason + ")";
}

TEST(SalvageOfAChangingFile, IsOfOneVersionOrNotMadeAndLeavesNothingBehind) {
  const testgen::Bytes damaged = testgen::MakeCase(testgen::Damage::kDropPage);
  for (const Change& change : kChanges) {
    TempDir t;
    const Path source = t / "x.ogg";

    // After its check: CSalvageRun heard the check begin, then the file changed.
    WriteAged(source, damaged);
    CliOptions options;
    options.salvageDir = (t / "after").string();
    options.paths = {source.string()};
    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    {
      COutput out(sink, [] {});
      CSalvageRun run(options, out);
      // Not the list's first file: the status heard is matched to its result by index.
      run.OnFileBegun(4, ListedFile{3, source});
      change.apply(source);
      FileResult result{4, 3, source, {}, {}};
      result.verdict.status = FileVerdict::Status::kError;
      result.verdict.reason = "OV_HOLE @ 0m 04s";
      run.OnFileEnded(result);
      out.Flush();
    }
    std::rewind(sink);
    std::string text(4096, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), sink));
    std::fclose(sink);
    const Seen after = Left(t / "after", text);
    EXPECT_EQ(after.line.rfind(Expected(change.afterCheck), 0), 0u)
        << change.name << " after the check: " << after.line;
    EXPECT_EQ(after.left, *change.afterCheck == '\0' ? std::vector<std::string>{"x.ogg"}
                                                     : std::vector<std::string>{})
        << change.name << " after the check";

    // While the salvage writes.
    WriteAged(source, damaged);
    const SalvageResult salvage = SalvageFile(
        {source, t / "while" / "x.ogg", std::nullopt, false, {}, [&] { change.apply(source); }});
    const Seen meanwhile = Left(t / "while", salvage.status == SalvageResult::Status::kSalvaged
                                                 ? "\tSALVAGED"
                                                 : Expected(salvage.reason.c_str()));
    EXPECT_EQ(meanwhile.line, Expected(change.whileWriting)) << change.name << " while writing";
    EXPECT_EQ(meanwhile.left, *change.whileWriting == '\0' ? std::vector<std::string>{"x.ogg"}
                                                           : std::vector<std::string>{})
        << change.name << " while writing";

    // The repair alone sees what it reads again.
    WriteAged(source, damaged);
    CReadFile file;
    ASSERT_EQ(file.OpenRegular(source.string()), std::error_code());
    CNoSink none([&] { change.apply(source); });
    const RepairOutcome repair = RepairOgg(file, nullptr, none);
    EXPECT_EQ(repair.reason == kChangedWhileRead, change.repairSees)
        << change.name << ": " << repair.reason;
    EXPECT_EQ(repair.whole, !change.repairSees) << change.name;
  }
}

// A FLAC frame kept after frames were lost takes the number of its place: each length of
// the number's coding, at its bounds, reads back as the number stamped.
TEST(SalvageFlacClock, AFrameRestampedReadsBackAtItsNewPlaceForEveryLengthOfItsNumber) {
  const testgen::Bytes file = testgen::EncodeCodecTone(testgen::Codec::kFlac, {});
  ogg_sync_state sync{};
  ogg_sync_init(&sync);
  std::copy(file.begin(), file.end(), ogg_sync_buffer(&sync, long(file.size())));
  ogg_sync_wrote(&sync, long(file.size()));
  ogg_page page{};
  ASSERT_EQ(ogg_sync_pageout(&sync, &page), 1);
  ogg_stream_state stream{};
  ogg_stream_init(&stream, ogg_page_serialno(&page));
  const std::unique_ptr<CPacketClock> clock = MakePacketClock(OggCodec::kFlac);
  std::vector<unsigned char> frame;
  for (int index = 0; frame.empty();) {
    ogg_packet op{};
    if (ogg_stream_packetout(&stream, &op) != 1) {
      ogg_stream_pagein(&stream, &page);
      ASSERT_EQ(ogg_sync_pageout(&sync, &page), 1);
      continue;
    }
    if (index < clock->HeaderCount()) {
      ASSERT_TRUE(clock->Header(index++, op));
    } else {
      frame.assign(op.packet, op.packet + op.bytes);
    }
  }
  ogg_stream_clear(&stream);
  ogg_sync_clear(&sync);
  auto read = [&](std::vector<unsigned char>& bytes) {
    ogg_packet op{};
    op.packet = bytes.data();
    op.bytes = long(bytes.size());
    return clock->Read(op);
  };
  const auto first = read(frame);
  ASSERT_TRUE(first && first->start);
  for (const int64_t number :
       {int64_t{1}, int64_t{0x7F}, int64_t{0x80}, int64_t{0x7FF}, int64_t{0x800}, int64_t{0xFFFF},
        int64_t{0x10000}, int64_t{0x1FFFFF}, int64_t{0x200000}, int64_t{0x3FFFFFF},
        int64_t{0x4000000}, int64_t{0x7FFFFFFF}}) {
    std::vector<unsigned char> bytes = frame;
    clock->Restamp(bytes, number * first->size);
    const auto back = read(bytes);
    ASSERT_TRUE(back && back->start) << number;
    EXPECT_EQ(*back->start, number * first->size) << number;
    EXPECT_EQ(back->size, first->size) << number;
  }
}

}  // namespace

// The original is never written: not through a salvage folder that leads back to it, nor
// through what a run that was stopped left under the temporary name.
TEST(SalvageNeverWritesTheOriginal, ThroughALinkAtTheDestinationOrTheTemporaryName) {
  const testgen::Bytes damaged = testgen::MakeCase(testgen::Damage::kDropPage);
  const struct {
    const char* name;
    const char* linkAt;  // beside the destination, to the original
    bool force;
    const char* line;  // Expected()'s reason, "" for SALVAGED
  } cases[] = {
      {"the destination is the original", "x.ogg", true, "is the damaged file itself"},
      {"the destination is the original, no --force", "x.ogg", false, "is the damaged file itself"},
      {"a leftover temporary name", "x.ogg.salvaging", false, ""},
  };
  for (const auto& c : cases) {
    TempDir t;
    const Path source = t / "lib" / "x.ogg";
    std::filesystem::create_directories(source.parent_path());
    std::filesystem::create_directories(t / "out");
    ASSERT_TRUE(testgen::WriteBytes(source, damaged));
    std::filesystem::create_symlink(source, t / "out" / c.linkAt);
    const SalvageResult salvage =
        SalvageFile({source, t / "out" / "x.ogg", std::nullopt, c.force, {}, {}});
    const std::string line = salvage.status == SalvageResult::Status::kSalvaged
                                 ? "\tSALVAGED"
                                 : Expected(salvage.reason.c_str());
    if (*c.line == '\0') {
      EXPECT_EQ(line, "\tSALVAGED") << c.name;
    } else {
      EXPECT_NE(line.find(c.line), std::string::npos) << c.name << ": " << line;
    }
    EXPECT_EQ(Slurp(source), std::string(damaged.begin(), damaged.end())) << c.name;
  }
}
