#include "tests/gen/ogg_gen.h"

#include <ogg/ogg.h>
#include <vorbis/codec.h>
#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <numbers>
#include <string_view>
#include <system_error>
#include <utility>

namespace testgen {
namespace {

constexpr std::size_t kHeaderMin = 27;
constexpr std::size_t kSerialAt = 14;
constexpr std::size_t kSequenceAt = 18;
constexpr std::size_t kGranuleAt = 6;
constexpr std::size_t kFlagsAt = 5;
constexpr unsigned char kContinuedFlag = 0x01;
constexpr unsigned char kBosFlag = 0x02;
constexpr unsigned char kEosFlag = 0x04;
constexpr int kBlockFrames = 1024;
// Far from base + 1 so that the foreign page never shares a serial with a chain link.
constexpr uint32_t kForeignSerialOffset = 1000;

uint64_t ReadLe(const Bytes& bytes, std::size_t at, int width) {
  uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i)
    value = (value << 8) | bytes[at + static_cast<std::size_t>(i)];
  return value;
}

void WriteLe(Bytes& bytes, std::size_t at, int width, uint64_t value) {
  for (int i = 0; i < width; ++i) {
    bytes[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(value >> (8 * i));
  }
}

// Owns the libvorbis and libogg encoder state so every early return frees it.
class Encoder {
 public:
  explicit Encoder(const Tone& tone) : tone_(tone) {
    vorbis_info_init(&info_);
    if (vorbis_encode_init_vbr(&info_, tone.channels, tone.rate, tone.quality) != 0) return;
    vorbis_comment_init(&comment_);
    vorbis_comment_add_tag(&comment_, "TITLE", "harrowbit test tone");
    vorbis_analysis_init(&dsp_, &info_);
    vorbis_block_init(&dsp_, &block_);
    ogg_stream_init(&stream_, static_cast<int>(tone.serial));
    ready_ = true;
  }
  ~Encoder() {
    if (ready_) {
      ogg_stream_clear(&stream_);
      vorbis_block_clear(&block_);
      vorbis_dsp_clear(&dsp_);
      vorbis_comment_clear(&comment_);
    }
    vorbis_info_clear(&info_);
  }
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  Bytes Run() {
    if (!ready_) return {};
    ogg_packet id, comments, setup;
    vorbis_analysis_headerout(&dsp_, &comment_, &id, &comments, &setup);
    ogg_stream_packetin(&stream_, &id);
    ogg_stream_packetin(&stream_, &comments);
    ogg_stream_packetin(&stream_, &setup);
    ogg_page page;
    while (ogg_stream_flush(&stream_, &page) != 0) Append(page);

    const long total = std::lround(tone_.seconds * static_cast<double>(tone_.rate));
    // Fixed seed: the noise only has to make pages carry varied data, not be random.
    uint32_t noise = 0x2545F491u;
    for (long done = 0; done < total;) {
      const int frames = static_cast<int>(std::min<long>(kBlockFrames, total - done));
      float** buffer = vorbis_analysis_buffer(&dsp_, frames);
      for (int c = 0; c < tone_.channels; ++c) {
        // Channels differ so that a channel mix-up would change the decoded audio.
        const double step = 2.0 * std::numbers::pi * tone_.frequency * (1.0 + 0.25 * c) /
                            static_cast<double>(tone_.rate);
        for (int i = 0; i < frames; ++i) {
          noise ^= noise << 13;
          noise ^= noise >> 17;
          noise ^= noise << 5;
          const float hiss = static_cast<float>(noise >> 8) / 16777216.0f - 0.5f;
          buffer[c][i] = 0.5f * static_cast<float>(std::sin(step * static_cast<double>(done + i))) +
                         0.05f * hiss;
        }
      }
      vorbis_analysis_wrote(&dsp_, frames);
      Drain();
      done += frames;
    }
    vorbis_analysis_wrote(&dsp_, 0);
    Drain();
    return std::move(out_);
  }

 private:
  void Append(const ogg_page& page) {
    out_.insert(out_.end(), page.header, page.header + page.header_len);
    out_.insert(out_.end(), page.body, page.body + page.body_len);
  }

  void Drain() {
    const int64_t interval = tone_.rate / 4;
    while (vorbis_analysis_blockout(&dsp_, &block_) == 1) {
      vorbis_analysis(&block_, nullptr);
      vorbis_bitrate_addblock(&block_);
      ogg_packet packet;
      while (vorbis_bitrate_flushpacket(&dsp_, &packet) == 1) {
        ogg_stream_packetin(&stream_, &packet);
        const bool flush = packet.e_o_s != 0 || packet.granulepos - lastFlush_ >= interval;
        ogg_page page;
        while ((flush ? ogg_stream_flush(&stream_, &page) : ogg_stream_pageout(&stream_, &page)) !=
               0) {
          Append(page);
        }
        if (flush) lastFlush_ = packet.granulepos;
      }
    }
  }

  Tone tone_;
  bool ready_ = false;
  vorbis_info info_{};
  vorbis_comment comment_{};
  vorbis_dsp_state dsp_{};
  vorbis_block block_{};
  ogg_stream_state stream_{};
  int64_t lastFlush_ = 0;
  Bytes out_;
};

std::size_t PageSize(const Page& page) { return page.header.size() + page.body.size(); }

// The page that damage aims at: between the first audio page and the last page, both
// excluded. 0 when there is no such page.
std::size_t MiddlePage(const std::vector<Page>& pages) {
  const std::size_t first = FirstAudioPage(pages);
  if (first + 2 >= pages.size()) return 0;
  return first + (pages.size() - 1 - first) / 2;
}

void FlipBodyByte(Page& page) {
  if (!page.body.empty()) page.body[page.body.size() / 2] ^= 0xFF;
}

Tone SecondLink(const Tone& base) {
  Tone next = base;
  next.serial = base.serial + 1;
  next.frequency = base.frequency * 1.5;
  return next;
}

Bytes Cut(const Bytes& bytes, std::size_t size) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

Bytes Concat(Bytes first, const Bytes& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

Bytes NotOggText() {
  constexpr std::string_view kLine = "Harrowbit test file: plain text, not an Ogg stream.\n";
  Bytes bytes;
  for (int i = 0; i < 8; ++i) bytes.insert(bytes.end(), kLine.begin(), kLine.end());
  return bytes;
}

// `second` is encoded only by the chained cases, and only once per AllCases call.
Bytes Damaged(Damage damage, const Bytes& clean, const Tone& base, Bytes& second) {
  if (damage == Damage::kEmpty) return {};
  if (damage == Damage::kNotOgg) return NotOggText();
  if (clean.empty()) return {};
  if (damage == Damage::kClean) return clean;
  if (damage == Damage::kCutMidFile) return Cut(clean, clean.size() / 2);

  std::vector<Page> pages = SplitPages(clean);
  const std::size_t first = FirstAudioPage(pages);
  const std::size_t middle = MiddlePage(pages);
  const bool aimsAtMiddle = damage == Damage::kDropPage || damage == Damage::kFlipByte ||
                            damage == Damage::kRenumberPage || damage == Damage::kForeignPage;
  if ((aimsAtMiddle && middle == 0) || first >= pages.size()) return {};
  switch (damage) {
    case Damage::kDropPage:
      pages.erase(pages.begin() + static_cast<std::ptrdiff_t>(middle));
      return JoinPages(pages);
    case Damage::kFlipByte: FlipBodyByte(pages[middle]); return JoinPages(pages);
    case Damage::kRenumberPage:
      pages[middle].SetSequence(pages[middle].Sequence() + 5);
      pages[middle].FixCrc();
      return JoinPages(pages);
    case Damage::kCutLastPage: return Cut(clean, clean.size() - PageSize(pages.back()) / 2);
    case Damage::kCorruptLastPage: FlipBodyByte(pages.back()); return JoinPages(pages);
    case Damage::kCutAfterHeaders: pages.resize(first); return JoinPages(pages);
    case Damage::kForeignPage: {
      Page foreign = pages[middle];
      foreign.SetSerial(base.serial + kForeignSerialOffset);
      foreign.FixCrc();
      pages.insert(pages.begin() + static_cast<std::ptrdiff_t>(middle) + 1, std::move(foreign));
      return JoinPages(pages);
    }
    case Damage::kChained:
    case Damage::kChainFirstLinkNoEos:
      if (second.empty()) second = EncodeTone(SecondLink(base));
      if (second.empty()) return {};
      if (damage == Damage::kChainFirstLinkNoEos) {
        pages.back().SetEos(false);
        pages.back().FixCrc();
      }
      return Concat(JoinPages(pages), second);
    case Damage::kBadIdHeader:
      // Bytes 7-10 of the packet hold the version, which must be 0.
      if (pages[0].body.size() < 11) return {};
      pages[0].body[7] = 1;
      pages[0].FixCrc();
      return JoinPages(pages);
    default: return {};
  }
}

struct DemoFile {
  const char* name;
  Tone tone;
};

}  // namespace

Bytes EncodeTone(const Tone& tone) {
  if (tone.channels < 1 || tone.rate < 1 || !(tone.seconds > 0.0)) return {};
  Encoder encoder(tone);
  return encoder.Run();
}

uint32_t Page::Serial() const {
  return header.size() < kHeaderMin ? 0 : static_cast<uint32_t>(ReadLe(header, kSerialAt, 4));
}
uint32_t Page::Sequence() const {
  return header.size() < kHeaderMin ? 0 : static_cast<uint32_t>(ReadLe(header, kSequenceAt, 4));
}
int64_t Page::Granule() const {
  return header.size() < kHeaderMin ? 0 : static_cast<int64_t>(ReadLe(header, kGranuleAt, 8));
}
bool Page::Bos() const { return header.size() >= kHeaderMin && (header[kFlagsAt] & kBosFlag); }
bool Page::Eos() const { return header.size() >= kHeaderMin && (header[kFlagsAt] & kEosFlag); }
bool Page::Continued() const {
  return header.size() >= kHeaderMin && (header[kFlagsAt] & kContinuedFlag);
}

void Page::SetSequence(uint32_t sequence) {
  if (header.size() >= kHeaderMin) WriteLe(header, kSequenceAt, 4, sequence);
}
void Page::SetSerial(uint32_t serial) {
  if (header.size() >= kHeaderMin) WriteLe(header, kSerialAt, 4, serial);
}
void Page::SetEos(bool eos) {
  if (header.size() < kHeaderMin) return;
  header[kFlagsAt] = static_cast<unsigned char>(eos ? (header[kFlagsAt] | kEosFlag)
                                                    : (header[kFlagsAt] & ~kEosFlag));
}
void Page::SetGranule(int64_t granule) {
  if (header.size() >= kHeaderMin) WriteLe(header, kGranuleAt, 8, static_cast<uint64_t>(granule));
}

void Page::FixCrc() {
  if (header.size() < kHeaderMin) return;
  ogg_page page{header.data(), static_cast<long>(header.size()), body.data(),
                static_cast<long>(body.size())};
  ogg_page_checksum_set(&page);
}

std::vector<Page> SplitPages(const Bytes& file) {
  std::vector<Page> pages;
  std::size_t at = 0;
  while (file.size() - at >= kHeaderMin) {
    if (file[at] != 'O' || file[at + 1] != 'g' || file[at + 2] != 'g' || file[at + 3] != 'S') break;
    const std::size_t segments = file[at + 26];
    const std::size_t headerSize = kHeaderMin + segments;
    if (file.size() - at < headerSize) break;
    std::size_t bodySize = 0;
    for (std::size_t i = 0; i < segments; ++i) bodySize += file[at + kHeaderMin + i];
    if (file.size() - at - headerSize < bodySize) break;
    const auto start = file.begin() + static_cast<std::ptrdiff_t>(at);
    const auto bodyStart = start + static_cast<std::ptrdiff_t>(headerSize);
    pages.push_back(Page{Bytes(start, bodyStart),
                         Bytes(bodyStart, bodyStart + static_cast<std::ptrdiff_t>(bodySize))});
    at += headerSize + bodySize;
  }
  return pages;
}

Bytes JoinPages(const std::vector<Page>& pages) {
  Bytes file;
  for (const Page& page : pages) {
    file.insert(file.end(), page.header.begin(), page.header.end());
    file.insert(file.end(), page.body.begin(), page.body.end());
  }
  return file;
}

std::size_t FirstAudioPage(const std::vector<Page>& pages) {
  int packetsEnded = 0;
  for (std::size_t p = 0; p < pages.size(); ++p) {
    const Bytes& header = pages[p].header;
    // A lacing value under 255 ends a packet.
    for (std::size_t i = kHeaderMin; i < header.size(); ++i) {
      if (header[i] < 255) ++packetsEnded;
    }
    if (packetsEnded >= 3) return p + 1;
  }
  return pages.size();
}

double PageEndSeconds(const Page& page, long rate) {
  return static_cast<double>(page.Granule()) / static_cast<double>(rate);
}

// In the order of Damage.
constexpr const char* kCaseFileNames[] = {
    "clean.ogg",
    "dropped-page.ogg",
    "flipped-byte.ogg",
    "renumbered-page.ogg",
    "cut-last-page.ogg",
    "corrupt-last-page.ogg",
    "cut-mid-file.ogg",
    "headers-only.ogg",
    "foreign-page.ogg",
    "chained.ogg",
    "chain-first-link-no-eos.ogg",
    "not-ogg.ogg",
    "empty.ogg",
    "bad-id-header.ogg",
};
static_assert(std::size(kCaseFileNames) == static_cast<std::size_t>(Damage::kBadIdHeader) + 1);

std::vector<Damage> AllDamages() {
  std::vector<Damage> all;
  for (std::size_t d = 0; d < std::size(kCaseFileNames); ++d) all.push_back(static_cast<Damage>(d));
  return all;
}

std::string CaseFileName(Damage damage) {
  const auto index = static_cast<std::size_t>(damage);
  return index < std::size(kCaseFileNames) ? kCaseFileNames[index] : "unknown.ogg";
}

Bytes MakeCase(Damage damage, const Tone& base) {
  const bool needsAudio = damage != Damage::kEmpty && damage != Damage::kNotOgg;
  Bytes second;
  return Damaged(damage, needsAudio ? EncodeTone(base) : Bytes{}, base, second);
}

std::vector<Case> AllCases(const Tone& base) {
  const Bytes clean = EncodeTone(base);
  Bytes second;
  std::vector<Case> cases;
  for (Damage damage : AllDamages()) {
    cases.push_back(Case{damage, CaseFileName(damage), Damaged(damage, clean, base, second)});
  }
  return cases;
}

bool WriteBytes(const std::filesystem::path& path, const Bytes& bytes) {
  // A stream, not fopen: it opens a path by its wide name on Windows.
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) return false;
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  file.close();
  return !file.fail();
}

bool WriteDemoFolder(const std::filesystem::path& dir) {
  std::error_code error;
  for (const char* sub : {"damaged", "sets/live", ".cache"}) {
    std::filesystem::create_directories(dir / sub, error);
    if (error) return false;
  }
  // Distinct serials, as real files would have.
  const DemoFile files[] = {
      {"tone-22050-mono-3s.ogg", {1, 22050, 3.0, 330.0, 0.0f, 101}},
      {"tone-44100-stereo-5s.ogg", {2, 44100, 5.0, 440.0, 0.0f, 102}},
      {"tone-48000-stereo-10s.ogg", {2, 48000, 10.0, 523.25, 0.0f, 103}},
      {"tone-48000-mono-2s.ogg", {1, 48000, 2.0, 659.25, 0.0f, 104}},
      {"long-60s.ogg", {2, 44100, 60.0, 196.0, -0.1f, 105}},
      {"LOUD.OGG", {2, 44100, 4.0, 880.0, 0.0f, 106}},
      {"sets/live/encore.ogg", {1, 44100, 6.0, 392.0, 0.0f, 107}},
      {".cache/skip-me.ogg", {2, 22050, 2.0, 440.0, 0.0f, 108}},
  };
  for (const DemoFile& file : files) {
    const Bytes bytes = EncodeTone(file.tone);
    if (bytes.empty() || !WriteBytes(dir / file.name, bytes)) return false;
  }
  // Long enough that the damage has a position worth reading.
  for (const Case& c : AllCases({1, 22050, 75.0, 440.0, -0.1f, 109})) {
    if (c.damage == Damage::kClean) continue;
    if (!WriteBytes(dir / "damaged" / c.fileName, c.bytes)) return false;
  }
  constexpr std::string_view kNotes =
      "Harrowbit demo library, made by harrowbit-gen.\n"
      "The files at the top and in sets/ are clean; every file in damaged/ is broken in a\n"
      "different way; .cache/ is a dot-folder that a scan skips; this file is not audio.\n";
  return WriteBytes(dir / "notes.txt", Bytes(kNotes.begin(), kNotes.end()));
}

}  // namespace testgen
