#include "tests/gen/ogg_gen.h"

#include <gtest/gtest.h>
#include <ogg/ogg.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>

namespace testgen {
namespace {

// What libogg itself makes of a byte stream: the generator is only useful if libogg, not
// our own page parser, sees the damage.
struct OggView {
  int pages = 0;
  int crcRejects = 0;
  int holes = 0;  // in the first stream only: a foreign page's own stream starts mid-packet
  int eosPages = 0;
  std::vector<uint32_t> bosSerials;
  std::set<uint32_t> serials;
};

OggView ViewThroughLibogg(const Bytes& bytes) {
  OggView view;
  ogg_sync_state sync;
  ogg_sync_init(&sync);
  if (!bytes.empty()) {
    std::memcpy(ogg_sync_buffer(&sync, static_cast<long>(bytes.size())), bytes.data(),
                bytes.size());
    ogg_sync_wrote(&sync, static_cast<long>(bytes.size()));
  }
  std::map<uint32_t, ogg_stream_state> streams;
  uint32_t firstSerial = 0;
  ogg_page page;
  for (int result; (result = ogg_sync_pageout(&sync, &page)) != 0;) {
    if (result < 0) {
      ++view.crcRejects;
      continue;
    }
    ++view.pages;
    const auto serial = static_cast<uint32_t>(ogg_page_serialno(&page));
    if (ogg_page_bos(&page)) view.bosSerials.push_back(serial);
    if (ogg_page_eos(&page)) ++view.eosPages;
    if (view.pages == 1) firstSerial = serial;
    auto [it, added] = streams.try_emplace(serial);
    if (added) ogg_stream_init(&it->second, static_cast<int>(serial));
    ogg_stream_pagein(&it->second, &page);
    ogg_packet packet;
    for (int got; (got = ogg_stream_packetout(&it->second, &packet)) != 0;) {
      if (got < 0 && serial == firstSerial) ++view.holes;
    }
    view.serials.insert(serial);
  }
  for (auto& [serial, stream] : streams) ogg_stream_clear(&stream);
  ogg_sync_clear(&sync);
  return view;
}

struct Decoded {
  int openResult = 0;
  long links = 0;
  int64_t frames = 0;
  int holes = 0;
};

Decoded DecodeWithVorbisfile(const std::filesystem::path& path) {
  Decoded decoded;
  OggVorbis_File file;
  decoded.openResult = ov_fopen(path.c_str(), &file);
  if (decoded.openResult != 0) return decoded;
  decoded.links = ov_streams(&file);
  float** pcm;
  int link = 0;
  for (long got; (got = ov_read_float(&file, &pcm, 4096, &link)) != 0;) {
    if (got < 0) {
      ++decoded.holes;
    } else {
      decoded.frames += got;
    }
  }
  ov_clear(&file);
  return decoded;
}

std::filesystem::path TempPath(const std::string& name) {
  return std::filesystem::path(::testing::TempDir()) / ("ogg_gen_test-" + name);
}

TEST(EncodeTone, MakesValidPagedDeterministicFiles) {
  for (const Tone& tone : {Tone{}, Tone{1, 22050, 5.0, 330.0, -0.1f, 7}}) {
    const Bytes bytes = EncodeTone(tone);
    const std::vector<Page> pages = SplitPages(bytes);
    ASSERT_GT(pages.size(), 3u);
    EXPECT_EQ(JoinPages(pages), bytes);
    EXPECT_EQ(bytes, EncodeTone(tone));

    const OggView view = ViewThroughLibogg(bytes);
    EXPECT_EQ(view.pages, static_cast<int>(pages.size()));
    EXPECT_EQ(view.crcRejects, 0);
    EXPECT_EQ(view.holes, 0);
    EXPECT_EQ(view.bosSerials, std::vector<uint32_t>{tone.serial});
    EXPECT_EQ(view.eosPages, 1);
    EXPECT_TRUE(pages.back().Eos());

    // Headers alone on their pages, then at most 0.5 s of audio per page.
    const std::size_t first = FirstAudioPage(pages);
    EXPECT_EQ(first, 2u);
    EXPECT_EQ(pages[first - 1].Granule(), 0);
    for (std::size_t i = first; i < pages.size(); ++i) {
      EXPECT_LE(PageEndSeconds(pages[i], tone.rate) - PageEndSeconds(pages[i - 1], tone.rate), 0.5);
    }
    EXPECT_DOUBLE_EQ(PageEndSeconds(pages.back(), tone.rate), tone.seconds);

    const std::filesystem::path path = TempPath("tone.ogg");
    ASSERT_TRUE(WriteBytes(path, bytes));
    const Decoded decoded = DecodeWithVorbisfile(path);
    EXPECT_EQ(decoded.openResult, 0);
    EXPECT_EQ(decoded.holes, 0);
    EXPECT_EQ(decoded.frames, static_cast<int64_t>(tone.seconds * static_cast<double>(tone.rate)));
  }
  EXPECT_NE(EncodeTone(Tone{}), EncodeTone(Tone{.serial = 2}));
  EXPECT_TRUE(EncodeTone(Tone{.channels = 0}).empty());
}

TEST(Page, EditsSurviveASplitAndLiboggAcceptsFixedCrc) {
  std::vector<Page> pages = SplitPages(EncodeTone(Tone{}));
  Page& page = pages[3];
  page.SetSerial(0xDEADBEEF);
  page.SetSequence(77);
  page.SetGranule(-1);
  page.SetEos(true);
  page.FixCrc();
  const std::vector<Page> again = SplitPages(JoinPages({page}));
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0].Serial(), 0xDEADBEEFu);
  EXPECT_EQ(again[0].Sequence(), 77u);
  EXPECT_EQ(again[0].Granule(), -1);
  EXPECT_TRUE(again[0].Eos());
  EXPECT_FALSE(again[0].Bos());
  EXPECT_EQ(ViewThroughLibogg(JoinPages({page})).crcRejects, 0);
  // A cut page is not a page.
  Bytes cut = JoinPages({page});
  cut.pop_back();
  EXPECT_TRUE(SplitPages(cut).empty());
}

TEST(MakeCase, EachDamageShowsWhereIntended) {
  const std::vector<Case> cases = AllCases();
  ASSERT_EQ(cases.size(), AllDamages().size());
  std::map<Damage, Bytes> bytes;
  std::set<std::string> names;
  for (const Case& c : cases) {
    bytes[c.damage] = c.bytes;
    names.insert(c.fileName);
  }
  EXPECT_EQ(names.size(), cases.size());
  const Bytes& clean = bytes[Damage::kClean];
  const int cleanPages = static_cast<int>(SplitPages(clean).size());
  // AllCases shares one encode; it must still match the one-off path.
  EXPECT_EQ(MakeCase(Damage::kFlipByte), bytes[Damage::kFlipByte]);

  const auto view = [&](Damage d) { return ViewThroughLibogg(bytes[d]); };
  EXPECT_EQ(view(Damage::kDropPage).pages, cleanPages - 1);
  EXPECT_EQ(view(Damage::kDropPage).holes, 1);
  EXPECT_EQ(view(Damage::kFlipByte).crcRejects, 1);
  EXPECT_EQ(view(Damage::kFlipByte).eosPages, 1);
  EXPECT_EQ(view(Damage::kRenumberPage).crcRejects, 0);
  EXPECT_GE(view(Damage::kRenumberPage).holes, 1);
  EXPECT_EQ(view(Damage::kCutLastPage).pages, cleanPages - 1);
  EXPECT_EQ(view(Damage::kCutLastPage).eosPages, 0);
  EXPECT_EQ(view(Damage::kCorruptLastPage).crcRejects, 1);
  EXPECT_EQ(view(Damage::kCorruptLastPage).eosPages, 0);
  EXPECT_EQ(bytes[Damage::kCutMidFile].size(), clean.size() / 2);
  EXPECT_EQ(view(Damage::kCutAfterHeaders).pages, 2);
  EXPECT_EQ(view(Damage::kForeignPage).serials.size(), 2u);
  EXPECT_EQ(view(Damage::kForeignPage).bosSerials.size(), 1u);
  EXPECT_EQ(view(Damage::kForeignPage).holes, 0);
  EXPECT_EQ(view(Damage::kChained).bosSerials, (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(view(Damage::kChained).eosPages, 2);
  EXPECT_EQ(view(Damage::kChainFirstLinkNoEos).bosSerials.size(), 2u);
  EXPECT_EQ(view(Damage::kChainFirstLinkNoEos).eosPages, 1);
  EXPECT_EQ(view(Damage::kChainFirstLinkNoEos).crcRejects, 0);
  EXPECT_EQ(view(Damage::kNotOgg).pages, 0);
  EXPECT_FALSE(bytes[Damage::kNotOgg].empty());
  EXPECT_TRUE(bytes[Damage::kEmpty].empty());
  EXPECT_EQ(view(Damage::kBadIdHeader).crcRejects, 0);

  const auto decode = [&](Damage d) {
    const std::filesystem::path path = TempPath(CaseFileName(d));
    EXPECT_TRUE(WriteBytes(path, bytes[d]));
    return DecodeWithVorbisfile(path);
  };
  // The framing is intact, so only the header's content can make libvorbisfile refuse it.
  EXPECT_EQ(decode(Damage::kBadIdHeader).openResult, OV_EBADHEADER);
  // The chain must decode end to end, both links, as a valid file would.
  const Decoded chained = decode(Damage::kChained);
  EXPECT_EQ(chained.links, 2);
  EXPECT_EQ(chained.holes, 0);
  EXPECT_EQ(chained.frames, 2 * 88200);
}

TEST(WriteDemoFolder, WritesTheLayoutAndItsCleanFilesDecode) {
  const std::filesystem::path dir = TempPath("demo");
  std::filesystem::remove_all(dir);
  ASSERT_TRUE(WriteDemoFolder(dir));
  for (const char* name : {"LOUD.OGG", "notes.txt", "damaged/empty.ogg", "damaged/chained.ogg"}) {
    EXPECT_TRUE(std::filesystem::is_regular_file(dir / name)) << name;
  }
  std::uintmax_t total = 0;
  int cleanFiles = 0;
  bool nested = false, hidden = false, longFile = false;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    total += entry.file_size();
    const std::string relative = entry.path().lexically_relative(dir).string();
    hidden |= relative.starts_with(".cache/") && entry.path().extension() == ".ogg";
    if (relative.starts_with("damaged/") || entry.path().extension() == ".txt") continue;
    nested |= std::count(relative.begin(), relative.end(), '/') >= 2;
    const Decoded decoded = DecodeWithVorbisfile(entry.path());
    EXPECT_EQ(decoded.openResult, 0) << relative;
    EXPECT_EQ(decoded.holes, 0) << relative;
    longFile |= decoded.frames >= 59 * 44100;
    ++cleanFiles;
  }
  EXPECT_GE(cleanFiles, 6);
  EXPECT_TRUE(nested);
  EXPECT_TRUE(hidden);
  EXPECT_TRUE(longFile);
  EXPECT_LT(total, 3u * 1024 * 1024);
  EXPECT_FALSE(WriteBytes(dir / "no-such-folder" / "x.ogg", Bytes{1}));
}

}  // namespace
}  // namespace testgen
