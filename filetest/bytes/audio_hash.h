#pragma once

#include <ogg/ogg.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "filetest/bytes/ogg_links.h"
#include "filetest/bytes/page_pass.h"
#include "platform/file_status.h"

// 128 bits that name a file's sound: XXH3-128 of the packets of the stream each link
// decodes, in file order, with each link's identification and set-up headers and without
// its comments (a Vorbis or Opus comment header, FLAC's metadata blocks after STREAMINFO,
// and the count of those blocks). Tag editors rewrite comments and re-page the stream, which
// moves every page boundary and CRC but no packet byte: the hash stays. A re-encode, a
// changed byte of audio, links reordered or replaced change it.
using AudioDigest = std::array<uint8_t, 16>;

// Hashes what a check reads of a file as it reads it, like CStructureFeed: bytes count where
// they continue what came before, whole pages where a loop of ours hands them on, and the
// rest is read here at the end, so that what is hashed is one pass over the file from its
// start whatever order the decoder's library reads in.
class CAudioHashFeed final : public COggPagePass {
 public:
  CAudioHashFeed();
  ~CAudioHashFeed() override;

  // Which codecs a link's stream may be in: Vorbis only (libvorbisfile's choice of the
  // stream it decodes), or each the check of every codec decodes.
  void SetEveryCodec(bool everyCodec) { m_bEveryCodec = everyCodec; }
  // Forgets the file before; nothing is hashed until the next OnOpen.
  void Reset();
  void OnOpen(NativeFile file, int64_t viewEnd, int64_t size) override;
  // The file opened, its library having read up to `readTo`: what a page loop of ours does
  // not hand on is read here now.
  void Opened(int64_t readTo);
  // The decode reached its clean end: the rest of the file is read, and the hash given,
  // unless what was hashed cannot be the file's sound (a page missing in a stream, a packet
  // cut short) or the file changed while it was read.
  std::optional<AudioDigest> Finish();

 private:
  struct State;
  void TakePage(const ogg_page& page, int64_t at) override;
  // What was hashed then cannot stand for the file's sound.
  void Missed() override { m_bBroken = true; }
  // The codecs whose streams are hashed: those the check decodes.
  bool Hashes(OggCodec codec) const;
  void BeginLink(const ogg_page& page, OggCodec codec);
  void EndPacket();
  void Piece(const unsigned char* data, std::size_t size);
  void Tag(uint64_t tag);
  // Hashes the page's bytes left waiting.
  void Flush();

  std::unique_ptr<State> m_state;  // XXH3's state, which wants its own alignment
  bool m_bEveryCodec = false;
  FileStatus m_openedAs;
  bool m_bKnownAtOpen = false;
  // What was hashed cannot stand for the file's sound.
  bool m_bBroken = false;
  bool m_bAny = false;  // a link's stream was hashed

  // The link in progress: its stream, as MapOggLinks chooses it.
  bool m_bLastWasBos = false;
  bool m_bInLink = false;
  OggCodec m_codec = OggCodec::kNone;
  uint32_t m_nSerial = 0;
  bool m_bEos = false;
  long m_nSequence = -1;
  // The packet in progress in that stream: its number, its bytes so far, and how many of
  // its first bytes are not hashed (SIZE_MAX: none of it is).
  uint64_t m_nPacket = 0;
  std::size_t m_nPacketBytes = 0;
  std::size_t m_nSkip = 0;
  bool m_bInPacket = false;
  // Bytes of the page to hash in one update, and the words of packets and links waiting.
  const unsigned char* m_pRun = nullptr;
  std::size_t m_nRun = 0;
  std::array<unsigned char, 8 * 256> m_words{};
  std::size_t m_nWords = 0;
};
