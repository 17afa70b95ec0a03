#include "tests/gen/strict_gen.h"

#include <ogg/ogg.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "tests/gen/page_surgery.h"

namespace testgen {
namespace {

constexpr std::size_t kHeaderMin = kPageHeaderMin;
constexpr unsigned char kContinuedFlag = 0x01;
constexpr unsigned char kBosFlag = 0x02;
constexpr unsigned char kEosFlag = 0x04;

// The play time at the start of page `index`: the last audio granule position before it.
double SecondsBefore(const std::vector<Page>& pages, std::size_t index, long rate) {
  const std::size_t first = FirstAudioPage(pages);
  for (std::size_t i = index; i > first; --i) {
    if (pages[i - 1].Granule() >= 0) return PageEndSeconds(pages[i - 1], rate);
  }
  return 0.0;
}

std::size_t Middle(const std::vector<Page>& pages) {
  const std::size_t first = FirstAudioPage(pages);
  return first + (pages.size() - 1 - first) / 2;
}

// Page `index` cut after its leading lacing values of 255, so the first part ends no
// packet; the parts are index and index + 1, later pages renumbered. False when the page
// does not begin with such a value.
bool SplitUnfinished(std::vector<Page>& pages, std::size_t index, int64_t firstGranule) {
  const Page page = pages[index];
  const std::size_t segments = page.header[26];
  std::size_t run = 0;
  while (run < segments && page.header[kHeaderMin + run] == 255) ++run;
  if (run == 0 || run == segments) return false;
  Page head;
  head.header.assign(page.header.begin(),
                     page.header.begin() + static_cast<std::ptrdiff_t>(kHeaderMin + run));
  head.header[26] = static_cast<unsigned char>(run);
  head.body.assign(page.body.begin(), page.body.begin() + static_cast<std::ptrdiff_t>(run * 255));
  head.SetGranule(firstGranule);
  SetFlag(head, kEosFlag, false);
  head.FixCrc();
  Page tail;
  tail.header.assign(page.header.begin(),
                     page.header.begin() + static_cast<std::ptrdiff_t>(kHeaderMin));
  tail.header.insert(tail.header.end(),
                     page.header.begin() + static_cast<std::ptrdiff_t>(kHeaderMin + run),
                     page.header.end());
  tail.header[26] = static_cast<unsigned char>(segments - run);
  tail.body.assign(page.body.begin() + static_cast<std::ptrdiff_t>(run * 255), page.body.end());
  SetFlag(tail, kContinuedFlag, true);
  SetFlag(tail, kBosFlag, false);
  pages[index] = std::move(head);
  pages.insert(pages.begin() + static_cast<std::ptrdiff_t>(index) + 1, std::move(tail));
  Renumber(pages, index + 1, 1);
  return true;
}

// The first audio page cut after its first packet, which yields no samples: the first
// part then rightly has granule position 0. False when the packet is all the page holds.
bool SplitFirstPacket(std::vector<Page>& pages) {
  const std::size_t index = FirstAudioPage(pages);
  if (index >= pages.size()) return false;
  const Page page = pages[index];
  const std::size_t segments = page.header[26];
  std::size_t end = 0;
  std::size_t bytes = 0;
  while (end < segments && page.header[kHeaderMin + end] == 255)
    bytes += page.header[kHeaderMin + end++];
  if (end + 1 >= segments) return false;
  bytes += page.header[kHeaderMin + end++];
  const auto cut = static_cast<std::ptrdiff_t>(kHeaderMin + end);
  Page head;
  head.header.assign(page.header.begin(), page.header.begin() + cut);
  head.header[26] = static_cast<unsigned char>(end);
  head.body.assign(page.body.begin(), page.body.begin() + static_cast<std::ptrdiff_t>(bytes));
  head.SetGranule(0);
  head.FixCrc();
  Page tail;
  tail.header.assign(page.header.begin(),
                     page.header.begin() + static_cast<std::ptrdiff_t>(kHeaderMin));
  tail.header.insert(tail.header.end(), page.header.begin() + cut, page.header.end());
  tail.header[26] = static_cast<unsigned char>(segments - end);
  tail.body.assign(page.body.begin() + static_cast<std::ptrdiff_t>(bytes), page.body.end());
  pages[index] = std::move(head);
  pages.insert(pages.begin() + static_cast<std::ptrdiff_t>(index) + 1, std::move(tail));
  Renumber(pages, index + 1, 1);
  return true;
}

// The first page after the first audio page that begins with a lacing value of 255.
std::size_t SplittablePage(const std::vector<Page>& pages) {
  for (std::size_t i = FirstAudioPage(pages) + 1; i + 1 < pages.size(); ++i) {
    if (pages[i].header.size() > kHeaderMin && pages[i].header[kHeaderMin] == 255) return i;
  }
  return 0;
}

void PutBe32(Bytes& out, uint32_t value) {
  for (int i = 3; i >= 0; --i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void PutString(Bytes& out, const std::string& text) {
  PutLe32(out, static_cast<uint32_t>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
}

Bytes CommentPacket(const std::string& vendor, const std::vector<std::string>& fields) {
  Bytes packet = {3, 'v', 'o', 'r', 'b', 'i', 's'};
  PutString(packet, vendor);
  PutLe32(packet, static_cast<uint32_t>(fields.size()));
  for (const std::string& field : fields) PutString(packet, field);
  packet.push_back(1);
  return packet;
}

std::string Base64(const Bytes& data) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < data.size(); i += 3) {
    uint32_t group = uint32_t{data[i]} << 16;
    if (i + 1 < data.size()) group |= uint32_t{data[i + 1]} << 8;
    if (i + 2 < data.size()) group |= data[i + 2];
    for (std::size_t d = 0; d < 4; ++d) {
      out += i + d <= data.size() ? kDigits[(group >> (18 - 6 * d)) & 0x3F] : '=';
    }
  }
  return out;
}

Bytes PictureBlock(const std::string& mime, const Bytes& data) {
  Bytes block;
  PutBe32(block, 3);  // front cover
  PutBe32(block, static_cast<uint32_t>(mime.size()));
  block.insert(block.end(), mime.begin(), mime.end());
  PutBe32(block, 0);  // no description
  for (uint32_t field : {1u, 1u, 24u, 0u}) PutBe32(block, field);
  PutBe32(block, static_cast<uint32_t>(data.size()));
  block.insert(block.end(), data.begin(), data.end());
  return block;
}

// The stream with its header pages made again around another comment header: the
// identification header alone on the first page, comment and setup headers together.
Bytes WithComments(const Bytes& clean, const Bytes& comment) {
  std::vector<Page> pages = SplitPages(clean);
  const std::size_t first = FirstAudioPage(pages);
  ogg_stream_state in;
  ogg_stream_init(&in, static_cast<int>(pages[0].Serial()));
  std::vector<Bytes> headers;
  for (std::size_t i = 0; i < first; ++i) {
    ogg_page page{pages[i].header.data(), static_cast<long>(pages[i].header.size()),
                  pages[i].body.data(), static_cast<long>(pages[i].body.size())};
    ogg_stream_pagein(&in, &page);
    ogg_packet packet;
    while (ogg_stream_packetout(&in, &packet) == 1)
      headers.emplace_back(packet.packet, packet.packet + packet.bytes);
  }
  ogg_stream_clear(&in);
  if (headers.size() != 3) return {};
  headers[1] = comment;

  ogg_stream_state out;
  ogg_stream_init(&out, static_cast<int>(pages[0].Serial()));
  std::vector<Page> rebuilt;
  for (std::size_t h = 0; h < 3; ++h) {
    ogg_packet packet{};
    packet.packet = headers[h].data();
    packet.bytes = static_cast<long>(headers[h].size());
    packet.b_o_s = h == 0 ? 1 : 0;
    packet.packetno = static_cast<ogg_int64_t>(h);
    ogg_stream_packetin(&out, &packet);
    if (h == 1) continue;
    ogg_page page;
    while (ogg_stream_flush(&out, &page) != 0) {
      rebuilt.push_back(Page{Bytes(page.header, page.header + page.header_len),
                             Bytes(page.body, page.body + page.body_len)});
    }
  }
  ogg_stream_clear(&out);
  const auto headerPages = static_cast<int>(rebuilt.size());
  rebuilt.insert(rebuilt.end(), pages.begin() + static_cast<std::ptrdiff_t>(first), pages.end());
  Renumber(rebuilt, static_cast<std::size_t>(headerPages), headerPages - static_cast<int>(first));
  return JoinPages(rebuilt);
}

Bytes Junk(std::size_t size) {
  constexpr std::string_view kText = "harrowbit: bytes of no page. ";
  Bytes junk;
  while (junk.size() < size)
    junk.push_back(static_cast<unsigned char>(kText[junk.size() % kText.size()]));
  return junk;
}

Bytes InsertAt(Bytes file, int64_t at, const Bytes& extra) {
  file.insert(file.begin() + static_cast<std::ptrdiff_t>(at), extra.begin(), extra.end());
  return file;
}

const std::vector<std::string> kFields = {"TITLE=harrowbit strict tone", "ARTIST=harrowbit"};

std::vector<std::string> FieldsWith(const std::string& extra) {
  std::vector<std::string> fields = kFields;
  fields.push_back(extra);
  return fields;
}

}  // namespace

Bytes WithManyComments(std::size_t count, const std::string& field, const Tone& base) {
  Bytes packet = {3, 'v', 'o', 'r', 'b', 'i', 's'};
  PutString(packet, "harrowbit");
  PutLe32(packet, static_cast<uint32_t>(count));
  packet.reserve(packet.size() + count * (4 + field.size()) + 1);
  for (std::size_t i = 0; i < count; ++i) PutString(packet, field);
  packet.push_back(1);
  return WithComments(EncodeTone(base), packet);
}

Tone StrictTone() { return Tone{2, 44100, 4.0, 440.0, 0.6f, 21}; }

std::string PictureField(const std::string& mime, const Bytes& data) {
  return "METADATA_BLOCK_PICTURE=" + Base64(PictureBlock(mime, data));
}

std::vector<StrictCase> StrictCases(const Tone& base) {
  const Bytes clean = EncodeTone(base);
  if (clean.empty()) return {};
  const std::vector<Page> pages = SplitPages(clean);
  const std::size_t first = FirstAudioPage(pages);
  const std::size_t middle = Middle(pages);
  const std::size_t last = pages.size() - 1;
  const long rate = base.rate;
  const int64_t atMiddle = OffsetOf(pages, middle);
  const double beforeMiddle = SecondsBefore(pages, middle, rate);
  const double total = PageEndSeconds(pages[last], rate);
  std::vector<StrictCase> cases;
  const auto add = [&](const char* rule, const char* name, Bytes bytes, int64_t offset,
                       double seconds) {
    cases.push_back(
        {rule, std::string("strict-") + name + ".ogg", std::move(bytes), offset, seconds, 0.0, {}});
  };
  const auto edited = [&](std::size_t index, auto edit) {
    std::vector<Page> copy = pages;
    edit(copy[index]);
    copy[index].FixCrc();
    return JoinPages(copy);
  };

  add("junk-between-pages", "junk-between-pages", InsertAt(clean, atMiddle, Junk(37)), atMiddle,
      beforeMiddle);
  add("junk-between-pages", "junk-before-first-page", InsertAt(clean, 0, Junk(300)), 0, 0.0);
  Bytes tail = clean;
  const Bytes extra = Junk(100);
  tail.insert(tail.end(), extra.begin(), extra.end());
  add("data-after-end", "data-after-end", std::move(tail), static_cast<int64_t>(clean.size()),
      total);
  add("first-page-not-bos", "first-page-not-bos",
      edited(0, [](Page& p) { SetFlag(p, kBosFlag, false); }), 0, 0.0);
  add("bos-not-first", "bos-not-first", edited(middle, [](Page& p) { SetFlag(p, kBosFlag, true); }),
      atMiddle, beforeMiddle);
  add("missing-eos", "missing-eos", edited(last, [](Page& p) { p.SetEos(false); }),
      OffsetOf(pages, last), total);
  add("page-after-eos", "page-after-eos", edited(middle, [](Page& p) { p.SetEos(true); }),
      OffsetOf(pages, middle + 1), PageEndSeconds(pages[middle], rate));
  {
    Tone next = base;
    next.serial = base.serial + 1;
    next.frequency = base.frequency * 1.5;
    const Bytes second = EncodeTone(next);
    Bytes chained = edited(last, [](Page& p) { p.SetEos(false); });
    chained.insert(chained.end(), second.begin(), second.end());
    add("chain-before-eos", "chain-before-eos", std::move(chained),
        static_cast<int64_t>(clean.size()), total);
  }
  {
    std::vector<Page> copy = pages;
    Renumber(copy, middle, 5);
    add("sequence-gap", "sequence-gap", JoinPages(copy), atMiddle, beforeMiddle);
  }
  {
    std::vector<Page> copy = pages;
    Merged(copy, 0);
    add("id-header-not-alone", "id-header-not-alone", JoinPages(copy), 0, 0.0);
    cases.back().consequences = {"length-mismatch"};
  }
  add("header-page-granule", "header-page-granule",
      edited(first - 1, [](Page& p) { p.SetGranule(1); }), OffsetOf(pages, first - 1), 0.0);
  {
    std::vector<Page> copy = pages;
    Merged(copy, first - 1);
    add("audio-on-header-page", "audio-on-header-page", JoinPages(copy), OffsetOf(pages, first - 1),
        0.0);
    cases.back().consequences = {"length-mismatch"};
  }
  {
    std::vector<Page> copy = pages;
    const std::size_t split = SplittablePage(pages);
    const int64_t before = split > 0 ? pages[split - 1].Granule() : 0;
    const bool made = split > 0 && SplitUnfinished(copy, split, before);
    add("granule-on-unfinished-page", "granule-on-unfinished-page",
        made ? JoinPages(copy) : Bytes{}, OffsetOf(pages, split),
        SecondsBefore(pages, split, rate));
  }
  AddGranuleCases(pages, middle, beforeMiddle, add, edited);
  add("length-mismatch", "length-too-long",
      edited(last, [&](Page& p) { p.SetGranule(p.Granule() + rate); }), OffsetOf(pages, last),
      total);
  // The decoder cannot cut the last block to a granule position beyond it, so the audio
  // ends up to one long block after the encoder's end.
  cases.back().tolerance = 8192.0 / static_cast<double>(rate);

  const int64_t atComment = OffsetOf(pages, 1);
  const auto comments = [&](const char* rule, const char* name, const std::string& vendor,
                            const std::vector<std::string>& fields) {
    add(rule, name, WithComments(clean, CommentPacket(vendor, fields)), atComment, 0.0);
  };
  comments("comment-no-equals", "comment-no-equals", "harrowbit", FieldsWith("NOEQUALS"));
  comments("comment-bad-name", "comment-name-tilde", "harrowbit", FieldsWith("BAD~NAME=x"));
  comments("comment-bad-name", "comment-name-empty", "harrowbit", FieldsWith("=no name"));
  comments("comment-not-utf8", "comment-not-utf8", "harrowbit", FieldsWith("TITLE=caf\xE9"));
  // A name longer than the helper's answers may be, quoted in the breach's text.
  comments("comment-not-utf8", "comment-long-name", "harrowbit",
           FieldsWith(std::string(70000, 'N') + "=caf\xE9"));
  comments("vendor-not-utf8", "vendor-not-utf8", "harrowbit \xFF\xFE", kFields);
  comments("picture-undecodable", "picture-not-base64", "harrowbit",
           FieldsWith("METADATA_BLOCK_PICTURE=not*base64!"));
  {
    // Valid base64 of a block whose data length runs past its end.
    Bytes block = PictureBlock("image/png", Bytes(16, 0x5A));
    block.resize(block.size() - 8);
    comments("picture-undecodable", "picture-cut-block", "harrowbit",
             FieldsWith("METADATA_BLOCK_PICTURE=" + Base64(block)));
  }
  return cases;
}

std::vector<StrictCase> StrictCleanCases(const Tone& base) {
  const Bytes clean = EncodeTone(base);
  if (clean.empty()) return {};
  std::vector<StrictCase> cases;
  cases.push_back({"", "strict-clean.ogg", clean, 0, 0.0, 0.0, {}});
  {
    std::vector<Page> pages = SplitPages(clean);
    const std::size_t split = SplittablePage(pages);
    const bool made = split > 0 && SplitUnfinished(pages, split, -1);
    cases.push_back(
        {"", "strict-clean-split-packet.ogg", made ? JoinPages(pages) : Bytes{}, 0, 0.0, 0.0, {}});
  }
  {
    std::vector<Page> pages = SplitPages(clean);
    const bool made = SplitFirstPacket(pages);
    cases.push_back(
        {"", "strict-clean-granule-zero.ogg", made ? JoinPages(pages) : Bytes{}, 0, 0.0, 0.0, {}});
  }
  const Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  cases.push_back(
      {"",
       "strict-clean-comments.ogg",
       WithComments(
           clean, CommentPacket("harrowbit \xC3\xA9\xE2\x99\xAA",
                                {"TITLE=Gr\xC3\xBC\xC3\x9F\x65 \xE2\x99\xAA",
                                 "comment=", "MY FIELD}=x", PictureField("image/png", png),
                                 "metadata_block_picture=" + Base64(PictureBlock("image/jpeg", {})),
                                 "ARTIST=\xF0\x9F\x8E\xB5"})),
       0,
       0.0,
       0.0,
       {}});
  {
    Tone next = base;
    next.serial = base.serial + 1;
    next.rate = 22050;
    next.channels = 1;
    Bytes chain = clean;
    const Bytes second = EncodeTone(next);
    chain.insert(chain.end(), second.begin(), second.end());
    cases.push_back({"", "strict-clean-chain.ogg", std::move(chain), 0, 0.0, 0.0, {}});
  }
  {
    // Two streams grouped in one link: both beginnings first, then their pages in turn.
    Tone other = base;
    other.serial = base.serial + 7;
    other.channels = 1;
    const std::vector<Page> a = SplitPages(clean);
    const std::vector<Page> b = SplitPages(EncodeTone(other));
    std::vector<Page> grouped = {a[0], b[0]};
    for (std::size_t i = 1; i < std::max(a.size(), b.size()); ++i) {
      if (i < a.size()) grouped.push_back(a[i]);
      if (i < b.size()) grouped.push_back(b[i]);
    }
    cases.push_back({"", "strict-clean-grouped.ogg", JoinPages(grouped), 0, 0.0, 0.0, {}});
  }
  for (const Tone& tone :
       {Tone{1, 22050, 1.0, 330.0, -0.1f, 31}, Tone{2, 48000, 3.0, 523.0, 1.0f, 32}}) {
    cases.push_back({"",
                     "strict-clean-" + std::to_string(tone.rate) + ".ogg",
                     EncodeTone(tone),
                     0,
                     0.0,
                     0.0,
                     {}});
  }
  return cases;
}

}  // namespace testgen
