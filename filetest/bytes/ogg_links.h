#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
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
  // That gap came before any page that finishes audio (every page before it has granule
  // position 0, as header pages do): the link's first audio page is lost. Decoders count a
  // stream's pages afresh where its audio begins, so they cannot see this gap themselves.
  bool lostBeforeAudio = false;
  // The largest granule position of that stream's pages: its samples, where its codec
  // counts them so; -1 for none.
  int64_t lastGranule = -1;
  // The first page of a stream that did not begin in this link: the page that began it is
  // lost, and with it what the stream holds. -1 for none.
  int64_t strayAt = -1;
  // Samples per second, for a codec whose library does not say (Speex); 0 where unknown.
  uint32_t rate = 0;
};

// A file holds more links than this only to make the map costly: the rest of the file
// goes to the last link's library, which meets it as damage.
inline constexpr std::size_t kMaxOggLinks = 4096;

// The links of the source's view, in order. The first page that libogg accepts must begin
// a stream and lie within the first kMaxOggPageBytes, as libvorbisfile wants it; when not,
// the map is one link of codec kNone over the whole view, left to the Vorbis check.
std::vector<OggLink> MapOggLinks(const COggSource& source);

// Up to `size` bytes at `offset` into `buffer`: the count, 0 at the end, -1 on a failure.
using ReadAtFunction = std::function<long(unsigned char* buffer, std::size_t size, int64_t offset)>;

// Whether the first page of `serial` at or after `audioAt`, where the stream's headers end,
// does not follow the stream's last page before it in sequence: the page after the headers
// is lost. Reads from `begin`, where the stream's link begins, to that page.
bool PageLostAfterHeaders(const ReadAtFunction& readAt, int64_t begin, int64_t audioAt,
                          uint32_t serial);

// The serial number of the last whole page that ends at or before `end` and begins at or
// after `begin`; none when no page lies within two pages' length of `end`.
std::optional<uint32_t> LastPageSerial(const ReadAtFunction& readAt, int64_t begin, int64_t end);
