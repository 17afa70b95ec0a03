#include "filetest/ogg_links.h"

#include <cstring>
#include <string_view>

#include "filetest/bounded_file.h"
#include "filetest/ogg_pages.h"
#include "filetest/ogg_source.h"

namespace {

constexpr long kReadChunk = 1 << 16;

bool StartsWith(const unsigned char* data, std::size_t size, std::string_view magic) {
  return size >= magic.size() && std::memcmp(data, magic.data(), magic.size()) == 0;
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
    if (ogg_page_bos(&page)) {
      const OggCodec codec = CodecOfFirstPacket(page.body, static_cast<std::size_t>(page.body_len));
      if (!lastWasBos && links.size() < kMaxOggLinks) {
        if (!links.empty()) links.back().end = at;
        links.push_back(
            OggLink{.begin = links.empty() ? 0 : at, .end = end, .codec = codec, .serial = serial});
      } else if (lastWasBos && !IsCheckedCodec(links.back().codec) && IsCheckedCodec(codec)) {
        links.back().codec = codec;
        links.back().serial = serial;
      }
    }
    lastWasBos = ogg_page_bos(&page) != 0;
    OggLink& link = links.back();
    if (serial != link.serial) return true;
    const long sequence = ogg_page_pageno(&page);
    if (!ogg_page_bos(&page) && sequence != lastSequence + 1 && link.holeGranule < 0) {
      link.holeGranule = lastGranule;
    }
    lastSequence = sequence;
    if (ogg_page_granulepos(&page) >= 0) lastGranule = ogg_page_granulepos(&page);
    if (ogg_page_bos(&page)) lastGranule = 0;
    if (ogg_page_eos(&page)) link.eos = true;
    return true;
  });
  if (links.empty()) return unmapped;
  return links;
}
