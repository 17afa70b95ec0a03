#pragma once

#include <ogg/ogg.h>

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "filetest/rules/comment_rules.h"

// What a codec adds to the Ogg page rules: how many header packets it has, what is in
// them, and where its audio starts. One object per logical stream: Vorbis, Opus (two
// headers, pre-skip, its granule start) and FLAC in Ogg have rules here.
class CStreamRules {
 public:
  virtual ~CStreamRules() = default;
  virtual int HeaderPackets() const = 0;
  // Header packet `index` (0 is the identification header), whole and in order.
  virtual void OnHeader(int index, const ogg_packet& packet, CFaultList& faults) = 0;
  // Header packet `index` was too large to take apart (a cover picture of more than the
  // bound of what a stream may hold): it is skipped, and `start` holds its first bytes.
  // The headers after it are taken apart as ever, so the stream's audio is still found.
  virtual void OnHeaderTooLarge(int index, std::string_view start, CFaultList& faults) = 0;
  // Samples per channel per second; 0 until the identification header is read.
  virtual long Rate() const = 0;
  // Each audio packet up to the first audio page with a granule position, in order.
  virtual void OnLeadingAudioPacket(const ogg_packet& packet) = 0;
  // The granule position of the first sample a player plays, from the granule position of
  // that first page (`lastPage`: it carries end-of-stream): what the stream's length and
  // positions are counted from. A start the codec's rules forbid is a fault.
  virtual int64_t StartGranule(int64_t firstGranule, bool lastPage, CFaultList& faults) const = 0;
  // The stream ended with `lastGranule` after starting at `start` (StartGranule's).
  virtual void OnLastGranule(int64_t /*lastGranule*/, int64_t /*start*/,
                             CFaultList& /*faults*/) const {}
};

std::unique_ptr<CStreamRules> MakeOpusRules(const ogg_packet& first);
std::unique_ptr<CStreamRules> MakeFlacRules(const ogg_packet& first);

// The rules for a stream whose first packet is `first`; null for a codec without rules
// here, whose stream then gets only the Ogg page rules.
std::unique_ptr<CStreamRules> MakeStreamRules(const ogg_packet& first);
