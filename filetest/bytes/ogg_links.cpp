#include "filetest/bytes/ogg_links.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "filetest/bytes/bounded_file.h"
#include "filetest/bytes/ogg_pages.h"
#include "filetest/bytes/ogg_source.h"

namespace {

constexpr long kReadChunk = 1 << 16;

bool StartsWith(const unsigned char* data, std::size_t size, std::string_view magic) {
  return size >= magic.size() && std::memcmp(data, magic.data(), magic.size()) == 0;
}

// A Speex header keeps its rate at byte 36, little-endian.
uint32_t RateOfFirstPacket(OggCodec codec, const unsigned char* packet, std::size_t size) {
  constexpr std::size_t kSpeexRateAt = 36;
  if (codec != OggCodec::kSpeex || size < kSpeexRateAt + 4) return 0;
  const unsigned char* r = packet + kSpeexRateAt;
  return static_cast<uint32_t>(r[0]) | static_cast<uint32_t>(r[1]) << 8 |
         static_cast<uint32_t>(r[2]) << 16 | static_cast<uint32_t>(r[3]) << 24;
}

}  // namespace

const char* CodecName(OggCodec codec) {
  switch (codec) {
    case OggCodec::kVorbis: return "vorbis";
    case OggCodec::kOpus: return "opus";
    case OggCodec::kFlac: return "flac";
    case OggCodec::kSpeex: return "speex";
    case OggCodec::kTheora: return "theora";
    case OggCodec::kUnknown: return "unknown";
    case OggCodec::kNone: break;
  }
  return "none";
}

bool IsCheckedCodec(OggCodec codec) {
  return codec == OggCodec::kVorbis || codec == OggCodec::kOpus || codec == OggCodec::kFlac;
}

OggCodec CodecOfFirstPacket(const unsigned char* packet, std::size_t size) {
  if (StartsWith(packet, size, "\x01vorbis")) return OggCodec::kVorbis;
  if (StartsWith(packet, size, "OpusHead")) return OggCodec::kOpus;
  if (StartsWith(packet, size,
                 "\x7F"
                 "FLAC"))
    return OggCodec::kFlac;
  if (StartsWith(packet, size, "Speex   ")) return OggCodec::kSpeex;
  if (StartsWith(packet, size, "\x80theora")) return OggCodec::kTheora;
  return OggCodec::kUnknown;
}

std::vector<OggLink> MapOggLinks(const COggSource& source) {
  const int64_t end = source.ViewEnd();
  const std::vector<OggLink> unmapped{OggLink{.end = end}};
  std::vector<OggLink> links;
  COggSync sync;
  int64_t readTo = 0;
  bool lastWasBos = false;
  // The streams that began in the current link.
  std::vector<uint32_t> begun;
  long lastSequence = 0;
  int64_t lastGranule = 0;
  const auto read = [&](char* buffer, long size) {
    const long got = source.ReadAt(reinterpret_cast<unsigned char*>(buffer),
                                   static_cast<std::size_t>(size), readTo);
    if (got > 0) readTo += got;
    return got;
  };
  ForEachOggPage(sync, kReadChunk, read, [&](ogg_page& page, int64_t at) {
    if (links.empty() && (!ogg_page_bos(&page) || at >= kMaxOggPageBytes)) return false;
    const auto serial = static_cast<uint32_t>(ogg_page_serialno(&page));
    // A beginning-of-stream flag on a page of the stream in progress begins nothing: the
    // stream goes on, and --strict names the flag.
    const bool bos = ogg_page_bos(&page) != 0 &&
                     (links.empty() || serial != links.back().serial || links.back().eos);
    if (bos) {
      const OggCodec codec = CodecOfFirstPacket(page.body, static_cast<std::size_t>(page.body_len));
      if (!lastWasBos && links.size() < kMaxOggLinks) {
        if (!links.empty()) links.back().end = at;
        begun.clear();
        links.push_back(OggLink{
            .begin = links.empty() ? 0 : at,
            .end = end,
            .codec = codec,
            .serial = serial,
            .rate = RateOfFirstPacket(codec, page.body, static_cast<std::size_t>(page.body_len))});
      } else if (lastWasBos && !IsCheckedCodec(links.back().codec) && IsCheckedCodec(codec)) {
        links.back().codec = codec;
        links.back().rate = 0;
        links.back().serial = serial;
      }
    }
    lastWasBos = bos;
    OggLink& link = links.back();
    if (bos) begun.push_back(serial);
    if (link.strayAt < 0 && std::find(begun.begin(), begun.end(), serial) == begun.end())
      link.strayAt = at;
    if (serial != link.serial) return true;
    const long sequence = ogg_page_pageno(&page);
    if (!bos && sequence != lastSequence + 1 && link.holeGranule < 0) {
      link.holeGranule = lastGranule;
      link.lostBeforeAudio = lastGranule == 0;
    }
    lastSequence = sequence;
    if (ogg_page_granulepos(&page) >= 0) lastGranule = ogg_page_granulepos(&page);
    link.lastGranule = std::max<int64_t>(link.lastGranule, ogg_page_granulepos(&page));
    if (bos) lastGranule = 0;
    if (ogg_page_eos(&page)) link.eos = true;
    return true;
  });
  if (links.empty()) return unmapped;
  return links;
}

bool PageLostAfterHeaders(const ReadAtFunction& readAt, int64_t begin, int64_t audioAt,
                          uint32_t serial) {
  COggSync sync;
  int64_t readTo = begin;
  long before = -1;
  bool lost = false;
  const auto read = [&](char* buffer, long size) {
    // The page after the headers begins within a page's length of where they end.
    if (readTo >= audioAt + kMaxOggPageBytes) return 0L;
    const long got =
        readAt(reinterpret_cast<unsigned char*>(buffer), static_cast<std::size_t>(size), readTo);
    if (got > 0) readTo += got;
    return got;
  };
  ForEachOggPage(sync, kReadChunk, read, [&](ogg_page& page, int64_t at) {
    if (static_cast<uint32_t>(ogg_page_serialno(&page)) != serial) return true;
    const long sequence = ogg_page_pageno(&page);
    if (begin + at < audioAt) {
      before = sequence;
      return true;
    }
    lost = before >= 0 && sequence != before + 1;
    return false;
  });
  return lost;
}

std::optional<uint32_t> LastPageSerial(const ReadAtFunction& readAt, int64_t begin, int64_t end) {
  COggSync sync;
  int64_t readTo = std::max(begin, end - 2 * kMaxOggPageBytes);
  std::optional<uint32_t> serial;
  const auto read = [&](char* buffer, long size) {
    const long got =
        readTo >= end
            ? 0L
            : readAt(reinterpret_cast<unsigned char*>(buffer),
                     static_cast<std::size_t>(std::min<int64_t>(size, end - readTo)), readTo);
    if (got > 0) readTo += got;
    return got;
  };
  ForEachOggPage(sync, kReadChunk, read, [&](ogg_page& page, int64_t) {
    serial = static_cast<uint32_t>(ogg_page_serialno(&page));
    return true;
  });
  return serial;
}
