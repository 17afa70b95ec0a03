#include <ogg/ogg.h>

#include <utility>

#include "tests/gen/codec_gen.h"
#include "tests/gen/page_surgery.h"
#include "tests/gen/strict_gen.h"

namespace testgen {
namespace {

constexpr std::size_t kHeaderMin = 27;
constexpr unsigned char kBosFlag = 0x02;
constexpr double kOpusRate = 48000.0;
// OpusHead: "OpusHead", version, channels, then the pre-skip (16 bits, little-endian).
constexpr std::size_t kPreSkipAt = 10;

// The page after the one where the `headers`-th packet ends.
std::size_t FirstAudio(const std::vector<Page>& pages, int headers) {
  int ended = 0;
  for (std::size_t p = 0; p < pages.size(); ++p) {
    for (std::size_t i = kHeaderMin; i < pages[p].header.size(); ++i)
      ended += pages[p].header[i] < 255 ? 1 : 0;
    if (ended >= headers) return p + 1;
  }
  return pages.size();
}

// Play time as the checker counts it: granule positions from `start`, at `rate`.
struct Clock {
  int64_t start;
  double rate;
  double At(const std::vector<Page>& pages, std::size_t index, std::size_t firstAudio) const {
    for (std::size_t i = index; i > firstAudio; --i) {
      if (pages[i - 1].Granule() >= 0)
        return static_cast<double>(pages[i - 1].Granule() - start) / rate;
    }
    return 0.0;
  }
};

// One page holding `packet` alone, in place of `page` (same serial, number and flags).
Page WithPacket(const Page& page, const Bytes& packet) {
  Page out;
  out.header.assign(page.header.begin(), page.header.begin() + kHeaderMin);
  std::size_t left = packet.size();
  unsigned char segments = 0;
  for (;;) {
    const std::size_t lace = left < 255 ? left : 255;
    out.header.push_back(static_cast<unsigned char>(lace));
    ++segments;
    if (lace < 255) break;
    left -= 255;
  }
  out.header[26] = segments;
  out.body = packet;
  out.FixCrc();
  return out;
}

Bytes OpusTags(const std::vector<std::string>& fields) {
  Bytes packet = {'O', 'p', 'u', 's', 'T', 'a', 'g', 's'};
  const std::string vendor = "harrowbit";
  PutLe32(packet, static_cast<uint32_t>(vendor.size()));
  packet.insert(packet.end(), vendor.begin(), vendor.end());
  PutLe32(packet, static_cast<uint32_t>(fields.size()));
  for (const std::string& field : fields) {
    PutLe32(packet, static_cast<uint32_t>(field.size()));
    packet.insert(packet.end(), field.begin(), field.end());
  }
  return packet;
}

}  // namespace

std::vector<StrictCase> StrictOpusCases(const Tone& base) {
  const Bytes clean = EncodeCodecTone(Codec::kOpus, base);
  if (clean.empty()) return {};
  const std::vector<Page> pages = SplitPages(clean);
  const std::size_t first = FirstAudio(pages, 2);
  if (pages.size() < first + 4) return {};
  const std::size_t middle = first + (pages.size() - 1 - first) / 2;
  const std::size_t last = pages.size() - 1;
  const int64_t preSkip = pages[0].body[kPreSkipAt] | (pages[0].body[kPreSkipAt + 1] << 8);
  const Clock clock{preSkip, kOpusRate};
  const int64_t atMiddle = OffsetOf(pages, middle);
  const double beforeMiddle = clock.At(pages, middle, first);
  const double total = static_cast<double>(pages[last].Granule() - preSkip) / kOpusRate;

  std::vector<StrictCase> cases;
  const auto add = [&](const char* rule, const char* name, std::vector<Page> copy, int64_t offset,
                       double seconds) {
    cases.push_back({rule,
                     std::string("strict-opus-") + name + ".opus",
                     JoinPages(copy),
                     offset,
                     seconds,
                     0.0,
                     {}});
  };
  const auto edited = [&](std::size_t index, auto edit) {
    std::vector<Page> copy = pages;
    edit(copy[index]);
    copy[index].FixCrc();
    return copy;
  };

  {
    Bytes junk = clean;
    const Bytes stray(41, 'j');
    junk.insert(junk.begin() + atMiddle, stray.begin(), stray.end());
    cases.push_back({"junk-between-pages",
                     "strict-opus-junk-between-pages.opus",
                     std::move(junk),
                     atMiddle,
                     beforeMiddle,
                     0.0,
                     {}});
    Bytes tail = clean;
    tail.insert(tail.end(), stray.begin(), stray.end());
    cases.push_back({"data-after-end",
                     "strict-opus-data-after-end.opus",
                     std::move(tail),
                     static_cast<int64_t>(clean.size()),
                     total,
                     0.0,
                     {}});
  }
  add("first-page-not-bos", "first-page-not-bos",
      edited(0, [](Page& p) { p.header[5] = static_cast<unsigned char>(p.header[5] & ~kBosFlag); }),
      0, 0.0);
  add("missing-eos", "missing-eos", edited(last, [](Page& p) { p.SetEos(false); }),
      OffsetOf(pages, last), total);
  {
    std::vector<Page> copy = pages;
    Renumber(copy, middle, 5);
    add("sequence-gap", "sequence-gap", std::move(copy), atMiddle, beforeMiddle);
  }
  {
    std::vector<Page> copy = pages;
    Merged(copy, 0);
    add("id-header-not-alone", "id-header-not-alone", std::move(copy), 0, 0.0);
  }
  add("header-page-granule", "header-page-granule",
      edited(first - 1, [](Page& p) { p.SetGranule(1); }), OffsetOf(pages, first - 1), 0.0);
  {
    std::vector<Page> copy = pages;
    Merged(copy, first - 1);
    add("audio-on-header-page", "audio-on-header-page", std::move(copy), OffsetOf(pages, first - 1),
        0.0);
  }
  AddGranuleCases(pages, middle, beforeMiddle, add, edited);
  // Fewer samples than the page's own packets hold: the stream would start before 0.
  add("first-granule-too-small", "first-granule-too-small",
      edited(first, [](Page& p) { p.SetGranule(960); }), OffsetOf(pages, first), 0.0);
  // A last granule position past the audio is no length-mismatch in Opus: opusfile's play
  // time then runs ahead of its samples, which the verdict names (OP_EBADPACKET); one short
  // of it trims the end, as the format means it to. FLAC has the length case.
  const int64_t atTags = OffsetOf(pages, 1);
  const auto tags = [&](const char* rule, const char* name, const std::string& field) {
    std::vector<Page> copy = pages;
    copy[1] = WithPacket(copy[1], OpusTags({"TITLE=harrowbit strict tone", field}));
    add(rule, name, std::move(copy), atTags, 0.0);
  };
  tags("comment-no-equals", "comment-no-equals", "NOEQUALS");
  tags("comment-bad-name", "comment-name-tilde", "BAD~NAME=x");
  tags("comment-not-utf8", "comment-not-utf8", "TITLE=caf\xE9");
  tags("picture-undecodable", "picture-not-base64", "METADATA_BLOCK_PICTURE=not*base64!");
  {
    // A pre-skip longer than the whole of a short stream: it plays nothing.
    Tone shortTone = base;
    shortTone.seconds = 0.5;
    std::vector<Page> brief = SplitPages(EncodeCodecTone(Codec::kOpus, shortTone));
    if (!brief.empty() && brief[0].body.size() > kPreSkipAt + 1) {
      brief[0].body[kPreSkipAt] = 0xFF;
      brief[0].body[kPreSkipAt + 1] = 0xFF;
      brief[0].FixCrc();
    }
    add("pre-skip-too-long", "pre-skip-too-long", brief, OffsetOf(brief, brief.size() - 1), 0.0);
  }
  return cases;
}

std::vector<StrictCase> StrictFlacCases(const Tone& base) {
  const Bytes clean = EncodeCodecTone(Codec::kFlac, base);
  if (clean.empty()) return {};
  const std::vector<Page> pages = SplitPages(clean);
  // Every metadata block on a page of its own, as libFLAC writes them: the audio starts on
  // the first page whose body begins with a frame's sync code.
  std::size_t first = 1;
  while (first < pages.size() && !(pages[first].body.size() > 1 && pages[first].body[0] == 0xFF))
    ++first;
  if (pages.size() < first + 4) return {};
  const std::size_t middle = first + (pages.size() - 1 - first) / 2;
  const Clock clock{0, static_cast<double>(base.rate)};
  const int64_t atMiddle = OffsetOf(pages, middle);
  const double beforeMiddle = clock.At(pages, middle, first);
  std::vector<StrictCase> cases;
  Bytes junk = clean;
  const Bytes stray(29, 'j');
  junk.insert(junk.begin() + atMiddle, stray.begin(), stray.end());
  cases.push_back({"junk-between-pages",
                   "strict-flac-junk-between-pages.oga",
                   std::move(junk),
                   atMiddle,
                   beforeMiddle,
                   0.0,
                   {}});
  std::vector<Page> copy = pages;
  copy[middle].SetGranule(-1);
  copy[middle].FixCrc();
  cases.push_back({"granule-missing",
                   "strict-flac-granule-missing.oga",
                   JoinPages(copy),
                   atMiddle,
                   beforeMiddle,
                   0.0,
                   {}});
  copy = pages;
  const std::size_t last = pages.size() - 1;
  copy[last].SetGranule(copy[last].Granule() + base.rate);
  copy[last].FixCrc();
  cases.push_back({"length-mismatch",
                   "strict-flac-length-too-long.oga",
                   JoinPages(copy),
                   OffsetOf(pages, last),
                   clock.At(pages, last + 1, first),
                   0.0,
                   {}});
  // The Vorbis comment block edited in place: its vendor string's first byte made 0xFF;
  // a length that runs past the block's end (the vendor string's; a count of more comments
  // than it holds), which libFLAC skips without a word.
  const auto comments = [&](const char* rule, const char* name, auto edit) {
    copy = pages;
    for (std::size_t i = 1; i < first; ++i) {
      Bytes& body = copy[i].body;
      if (copy[i].Continued() || body.size() < 16 || (body[0] & 0x7F) != 4) continue;
      const std::size_t vendor = body[4] | (body[5] << 8);
      if (!edit(body, 8 + vendor)) break;
      copy[i].FixCrc();
      cases.push_back({rule,
                       std::string("strict-flac-") + name + ".oga",
                       JoinPages(copy),
                       OffsetOf(pages, i),
                       0.0,
                       0.0,
                       {}});
      break;
    }
  };
  const auto claim = [](Bytes& body, std::size_t at, uint32_t value) {
    if (body.size() < at + 4) return false;
    for (std::size_t b = 0; b < 4; ++b) body[at + b] = static_cast<unsigned char>(value >> (8 * b));
    return true;
  };
  comments("vendor-not-utf8", "vendor-not-utf8", [](Bytes& body, std::size_t) {
    body[8] = 0xFF;
    return true;
  });
  comments("comment-length-overrun", "comment-vendor-overrun",
           [&](Bytes& body, std::size_t) { return claim(body, 4, 0xFFFF); });
  comments("comment-length-overrun", "comment-count-overrun",
           [&](Bytes& body, std::size_t count) { return claim(body, count, 1000); });
  copy = pages;
  copy[first - 1].SetGranule(7);
  copy[first - 1].FixCrc();
  cases.push_back({"header-page-granule",
                   "strict-flac-header-page-granule.oga",
                   JoinPages(copy),
                   OffsetOf(pages, first - 1),
                   0.0,
                   0.0,
                   {}});
  return cases;
}

std::vector<StrictCase> StrictCodecCleanCases(const Tone& base) {
  std::vector<StrictCase> cases;
  const auto add = [&](std::string name, Bytes bytes) {
    cases.push_back({"", std::move(name), std::move(bytes), 0, 0.0, 0.0, {}});
  };
  const Bytes opus = EncodeCodecTone(Codec::kOpus, base);
  const Bytes flac = EncodeCodecTone(Codec::kFlac, base);
  add("strict-clean.opus", opus);
  add("strict-clean-mono-22050.opus",
      EncodeCodecTone(Codec::kOpus, Tone{1, 22050, 1.0, 330.0, 0.0f, 41}));
  add("strict-clean-6ch.opus", EncodeCodecTone(Codec::kOpus, Tone{6, 48000, 1.5, 220.0, 0.0f, 42}));
  add("strict-clean.oga", flac);
  Tone next = base;
  next.serial = base.serial + 1;
  next.frequency = base.frequency * 1.5;
  add("strict-clean-chain.opus", Chain({opus, EncodeCodecTone(Codec::kOpus, next)}));
  next.serial = base.serial + 2;
  add("strict-clean-mixed-chain.ogg",
      Chain({EncodeTone(base), opus, EncodeCodecTone(Codec::kFlac, next)}));
  return cases;
}

}  // namespace testgen
