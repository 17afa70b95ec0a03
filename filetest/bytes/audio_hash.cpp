#include "filetest/bytes/audio_hash.h"

// Header-only: nothing to link, on Linux or in the Windows build.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "filetest/bytes/xxh3_avx2.h"

namespace {

// The first bytes of an Ogg FLAC stream's first packet that are not hashed: the mapping's
// magic and version, and the count of header packets, which a tag editor changes when it
// adds a block. "fLaC" and STREAMINFO follow.
constexpr std::size_t kFlacMappingBytes = 9;
constexpr std::size_t kNotHashed = SIZE_MAX;
// A FLAC audio frame begins with its sync code; a metadata block never with this byte.
constexpr unsigned char kFlacFrameStart = 0xFF;
// The hash is of two sequences: the bytes hashed, all packets' together, and a word for each
// packet (its length) and each link's start (this bit with the codec, which no length has).
// Together they say exactly which packets there were; apart, a page's packets cost one
// update of each instead of two per packet.
constexpr uint64_t kLinkTag = uint64_t{1} << 63;

// The bytes of the audio go through XXH3's fastest build this processor runs.
void UpdateBytes(XXH3_state_t* state, const unsigned char* data, std::size_t size) {
#ifdef HARROWBIT_XXH3_AVX2
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) {
    Xxh3UpdateAvx2(state, data, size);
    return;
  }
#endif
  XXH3_128bits_update(state, data, size);
}

}  // namespace

struct CAudioHashFeed::State {
  XXH3_state_t bytes;
  XXH3_state_t words;
};

CAudioHashFeed::CAudioHashFeed() : m_state(std::make_unique<State>()) {}
CAudioHashFeed::~CAudioHashFeed() = default;

void CAudioHashFeed::Reset() {
  ResetPass();
  XXH3_128bits_reset(&m_state->bytes);
  XXH3_128bits_reset(&m_state->words);
  m_nWords = 0;
  m_pRun = nullptr;
  m_nRun = 0;
  m_bBroken = m_bAny = false;
  m_bKnownAtOpen = false;
  m_bLastWasBos = m_bInLink = m_bEos = m_bInPacket = false;
  m_codec = OggCodec::kNone;
  m_nSerial = 0;
  m_nSequence = -1;
  m_nPacket = 0;
  m_nPacketBytes = m_nSkip = 0;
}

void CAudioHashFeed::OnOpen(NativeFile file, int64_t viewEnd, int64_t size) {
  Reset();
  COggPagePass::OnOpen(file, viewEnd, size);
  m_bKnownAtOpen = StatusOfOpen(file, m_openedAs);
}

void CAudioHashFeed::Opened(int64_t readTo) { CatchUp(readTo); }

std::optional<AudioDigest> CAudioHashFeed::Finish() {
  if (!Passing()) return std::nullopt;
  CatchUp(ViewEnd());
  EndPass();
  FileStatus now;
  // A file written to while it was read may have been hashed half old, half new.
  const bool unchanged = m_bKnownAtOpen && StatusOfOpen(File(), now) &&
                         now.size == m_openedAs.size && now.modifiedNs == m_openedAs.modifiedNs &&
                         now.changedNs == m_openedAs.changedNs;
  if (m_bBroken || m_bInPacket || !m_bAny || !unchanged) return std::nullopt;
  XXH3_128bits_update(&m_state->words, m_words.data(), m_nWords);
  XXH128_canonical_t both[2];
  XXH128_canonicalFromHash(&both[0], XXH3_128bits_digest(&m_state->bytes));
  XXH128_canonicalFromHash(&both[1], XXH3_128bits_digest(&m_state->words));
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, XXH3_128bits(both, sizeof both));
  AudioDigest digest;
  std::memcpy(digest.data(), canonical.digest, digest.size());
  return digest;
}

void CAudioHashFeed::TakePage(const ogg_page& page, int64_t /*at*/) {
  const auto serial = static_cast<uint32_t>(ogg_page_serialno(&page));
  // Links are told apart as MapOggLinks tells them: a group of beginning-of-stream pages
  // begins one, and a flag on a page of the stream in progress begins nothing.
  const bool bos = ogg_page_bos(&page) != 0 && (!m_bInLink || serial != m_nSerial || m_bEos);
  if (bos) {
    const OggCodec codec = CodecOfFirstPacket(page.body, static_cast<std::size_t>(page.body_len));
    if (!m_bLastWasBos) {
      // A packet left unfinished where its link ends is one no decoder was given.
      if (m_bInPacket) m_bBroken = true;
      m_bInLink = true;
      m_bInPacket = m_bEos = false;
      m_codec = codec;
      m_nSerial = serial;
      if (Hashes(codec)) BeginLink(page, codec);
    } else if (!Hashes(m_codec) && Hashes(codec)) {
      BeginLink(page, codec);
    }
  }
  m_bLastWasBos = bos;
  if (!m_bInLink || serial != m_nSerial) return;
  if (ogg_page_eos(&page) != 0) m_bEos = true;
  if (!Hashes(m_codec)) return;
  const long sequence = ogg_page_pageno(&page);
  // A page lost or failing its CRC: the decoder meets the hole, and nothing hashed here is
  // the stream's sound.
  if (m_nSequence >= 0 && sequence != m_nSequence + 1) m_bBroken = true;
  m_nSequence = sequence;

  const int segments = page.header[26];
  const unsigned char* lacing = page.header + 27;
  const unsigned char* body = page.body;
  int i = 0;
  // As libogg does: the rest of a packet whose start this stream did not carry is dropped.
  if (ogg_page_continued(&page) != 0 && !m_bInPacket) {
    while (i < segments) {
      body += lacing[i];
      if (lacing[i++] < 255) break;
    }
  }
  // Past a Vorbis or Opus stream's comment header every packet is hashed whole: a page adds
  // its bytes in one piece and each packet's length, with nothing to ask of each packet.
  if (m_codec != OggCodec::kFlac && m_nPacket >= 2) {
    std::size_t packet = m_bInPacket ? m_nPacketBytes : 0;
    std::size_t bytes = 0;
    for (; i < segments; ++i) {
      packet += lacing[i];
      bytes += lacing[i];
      if (lacing[i] == 255) continue;
      Tag(packet);
      ++m_nPacket;
      packet = 0;
    }
    if (bytes > 0) UpdateBytes(&m_state->bytes, body, bytes);
    if (segments > 0) m_bInPacket = lacing[segments - 1] == 255;
    m_nPacketBytes = packet;
    m_nSkip = 0;
    return;
  }
  std::size_t run = 0;
  for (; i < segments; ++i) {
    run += lacing[i];
    if (lacing[i] == 255) continue;
    Piece(body, run);
    EndPacket();
    body += run;
    run = 0;
  }
  if (run > 0) Piece(body, run);
  Flush();
}

void CAudioHashFeed::Flush() {
  if (m_nRun > 0) UpdateBytes(&m_state->bytes, m_pRun, m_nRun);
  m_pRun = nullptr;
  m_nRun = 0;
}

bool CAudioHashFeed::Hashes(OggCodec codec) const {
  return m_bEveryCodec ? IsCheckedCodec(codec) : codec == OggCodec::kVorbis;
}

void CAudioHashFeed::BeginLink(const ogg_page& page, OggCodec codec) {
  m_codec = codec;
  m_nSerial = static_cast<uint32_t>(ogg_page_serialno(&page));
  m_bEos = false;
  m_nSequence = -1;
  m_nPacket = 0;
  m_bInPacket = false;
  m_bAny = true;
  Tag(kLinkTag | static_cast<uint64_t>(codec));
}

void CAudioHashFeed::Piece(const unsigned char* data, std::size_t size) {
  if (!m_bInPacket) {
    m_bInPacket = true;
    m_nPacketBytes = 0;
    const bool comment = m_nPacket == 1 && m_codec != OggCodec::kFlac;
    const bool flacMetadata =
        m_codec == OggCodec::kFlac && m_nPacket > 0 && size > 0 && data[0] != kFlacFrameStart;
    m_nSkip = comment || flacMetadata ? kNotHashed : 0;
    if (m_codec == OggCodec::kFlac && m_nPacket == 0) m_nSkip = kFlacMappingBytes;
  }
  const std::size_t before = m_nPacketBytes;
  m_nPacketBytes += size;
  if (m_nSkip == kNotHashed || m_nPacketBytes <= m_nSkip) return;
  const std::size_t from = m_nSkip > before ? m_nSkip - before : 0;
  // Packets that follow each other on a page are hashed in one run.
  if (m_pRun != nullptr && m_pRun + m_nRun == data + from) {
    m_nRun += size - from;
    return;
  }
  if (m_nRun > 0) UpdateBytes(&m_state->bytes, m_pRun, m_nRun);
  m_pRun = data + from;
  m_nRun = size - from;
}

void CAudioHashFeed::EndPacket() {
  if (!m_bInPacket) Piece(nullptr, 0);
  if (m_nSkip != kNotHashed) Tag(m_nPacketBytes - std::min(m_nPacketBytes, m_nSkip));
  m_bInPacket = false;
  ++m_nPacket;
}

void CAudioHashFeed::Tag(uint64_t tag) {
  // Words wait for the buffer to fill: pieces of a stream hash as the whole would.
  if (m_nWords + 8 > m_words.size()) {
    XXH3_128bits_update(&m_state->words, m_words.data(), m_nWords);
    m_nWords = 0;
  }
  // Little-endian, as the words have always been hashed.
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(m_words.data() + m_nWords, &tag, 8);
    m_nWords += 8;
  } else {
    for (int i = 0; i < 8; ++i) m_words[m_nWords++] = static_cast<unsigned char>(tag >> (8 * i));
  }
}
