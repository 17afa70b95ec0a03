#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "filetest/bytes/ogg_links.h"
#include "filetest/bytes/ogg_source.h"

// What every codec's check offers for a byte range of a file: one link of a chain, or
// neighbouring links its library follows itself. CAnyOggCheck holds one per codec and hands
// each part of a chain to its codec's; what each keeps while it decodes is its own.
class ILinkCheck {
 public:
  virtual ~ILinkCheck() = default;

  // Checks the bytes of `link` in `source`, which must stay open until Close. link.eos:
  // the range may end where it does (its last page carries the flag, or another link
  // follows). `lostBeforeAudio`: OggLink::lostBeforeAudio of each link in the range.
  // False leaves nothing open and the reason in Error().
  virtual bool OpenRange(const COggSource& source, const OggLink& link,
                         const std::vector<bool>& lostBeforeAudio) = 0;
  // > 0: samples per channel decoded; 0: clean end; < 0: a fault, named in Error().
  virtual int DecodeStep() = 0;
  virtual void Close() = 0;
  // Play time from the range's start: where decoding is (where a fault struck), and in all.
  virtual double PositionSeconds() = 0;
  virtual double TotalSeconds() = 0;
  virtual int64_t TotalSamples() const = 0;
  // Why the range did not open, or the last step's fault as the report gives it.
  virtual const std::string& Error() const = 0;
  // The name of a fault that struck at PositionSeconds() ("OV_HOLE"); empty for a reason
  // that is not placed (one of opening, an MD5 that does not match).
  virtual const std::string& FaultName() const = 0;
  // The link within the range that the last step's samples came from.
  virtual int Link() const { return 0; }
  // The stream carries no MD5 of its audio (FLAC).
  virtual bool Md5Missing() const { return false; }
};
