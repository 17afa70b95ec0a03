#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class COggSource;

// What a logical stream holds, as its first packet names it.
enum class OggCodec { kNone, kVorbis, kOpus, kFlac, kSpeex, kTheora, kUnknown };

// "vorbis", "opus", "flac", "speex", "theora", "unknown"; "none" for no Ogg stream.
const char* CodecName(OggCodec codec);
// Only these are decoded; the others are reported as not checked, never as damage.
bool IsCheckedCodec(OggCodec codec);
// The codec whose first packet begins `packet`.
OggCodec CodecOfFirstPacket(const unsigned char* packet, std::size_t size);

// A link of a chain: a group of beginning-of-stream pages and the pages after them, up to
// the next such group. The stream a library decodes is the first in the group whose codec
// is checked, or else the first.
struct OggLink {
  int64_t begin = 0;  // the first link begins at 0, leading bytes included
  int64_t end = 0;
  OggCodec codec = OggCodec::kNone;
  uint32_t serial = 0;
  // An intact page of that stream carries end-of-stream.
  bool eos = false;
  // The granule position of that stream's last page before its first gap in page
  // sequence numbers (a page lost or failing its CRC); -1 without a gap.
  int64_t holeGranule = -1;
};

// A file holds more links than this only to make the map costly: the rest of the file
// goes to the last link's library, which meets it as damage.
inline constexpr std::size_t kMaxOggLinks = 4096;

// The links of the source's view, in order. The first page that libogg accepts must begin
// a stream and lie within the first kMaxOggPageBytes, as libvorbisfile wants it; when not,
// the map is one link of codec kNone over the whole view, left to the Vorbis check.
std::vector<OggLink> MapOggLinks(const COggSource& source);
