#pragma once

#include <ogg/ogg.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "filetest/bytes/ogg_links.h"

// What a repair asks of one stream's codec, through the codec's own library where it says
// it: which packets are headers, which audio packets its decoder refuses, and how many
// samples each packet adds to the stream's play time. A repair writes every packet as it
// came, so nothing here encodes.
class CPacketClock {
 public:
  virtual ~CPacketClock() = default;

  // Takes header packet `index` (from 0); false when the codec's library refuses it.
  virtual bool Header(int index, const ogg_packet& packet) = 0;
  // How many header packets the stream has, once its first was taken.
  virtual int HeaderCount() const = 0;
  // What an audio packet is, read alone: nullopt when the decoder refuses it.
  struct Packet {
    // The samples it holds: Vorbis's block size, Opus's and FLAC's samples.
    int64_t size = 0;
    // Where its samples begin in the stream, when the packet says so itself (FLAC).
    std::optional<int64_t> start;
  };
  virtual std::optional<Packet> Read(const ogg_packet& packet) = 0;
  // The samples a decoder hands out for a packet of `size` that follows one of
  // `previousSize` (0 at the stream's start). Vorbis laps neighbouring blocks; the
  // other codecs' packets stand alone.
  virtual int64_t Duration(int64_t previousSize, int64_t size) const {
    (void)previousSize;
    return size;
  }
  // Hands a packet kept to the decoder, in order, for a codec whose decoder carries state
  // from packet to packet: false when it refuses it there.
  virtual bool Decode(const ogg_packet& packet) {
    (void)packet;
    return true;
  }
  // Makes a packet kept fit its place in the salvage, `samplesBefore` its first sample
  // there, where the packet itself says where it lies (FLAC's frame number).
  virtual void Restamp(std::vector<unsigned char>& packet, int64_t samplesBefore) const {
    (void)packet;
    (void)samplesBefore;
  }
  // Samples per second, and the granule position where play time 0 lies (Opus's pre-skip).
  virtual int64_t Rate() const = 0;
  virtual int64_t GranuleAtZero() const { return 0; }
  // The samples of the whole stream its headers declare; 0 for unknown.
  virtual int64_t DeclaredSamples() const { return 0; }
  // The first header, rewritten for a stream of `samples` whose audio is no longer the
  // original's (FLAC's STREAMINFO names the length and the MD5 of the audio): empty when
  // the codec keeps no such facts.
  virtual bool RewriteFirstHeader(unsigned char* packet, long bytes, int64_t samples) const {
    (void)packet;
    (void)bytes;
    (void)samples;
    return false;
  }
};

// The clock of a stream of `codec` (Vorbis, Opus, FLAC); none for another codec.
std::unique_ptr<CPacketClock> MakePacketClock(OggCodec codec);
