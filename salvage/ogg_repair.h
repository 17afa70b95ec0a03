#pragma once

#include <ogg/ogg.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/read_file.h"

// Where a repair's pages go, in order; a page already written may be written again, the
// same size, once its stream has ended (FLAC's first header names the stream's length).
class IPageSink {
 public:
  virtual ~IPageSink() = default;
  // False when the page could not be written: the repair stops.
  virtual bool Write(const ogg_page& page) = 0;
  // Where the next page goes.
  virtual int64_t Offset() const = 0;
  virtual bool Rewrite(int64_t offset, const ogg_page& page) = 0;
};

// A stretch of the original's play time that the repair could not keep, in seconds from
// the file's start (chains count on from the links before).
struct LostRange {
  double from = 0;
  double to = 0;
  // The stream was cut here and nothing tells how long it went on: `to` is `from`.
  bool openEnded = false;
};

// Why a repair stops when the file it reads is not what it was a moment before.
inline constexpr const char* kChangedWhileRead = "the file changed while it was read";

struct RepairOutcome {
  // Every link kept its headers and some audio: the pages written are a whole file.
  bool whole = false;
  // Why not, for the report.
  std::string reason;
  // The original's play time as its pages tell it (at least this long where a range lost
  // is open-ended), and what of it the repair kept.
  double totalSeconds = 0;
  double keptSeconds = 0;
  std::vector<LostRange> lost;
  // Pages left out (failing their CRC is libogg's to skip, not counted here): of another
  // stream, twice in the file, after a stream's end; packets the decoder refused.
  int64_t pagesDropped = 0;
  int64_t packetsDropped = 0;
  // Pages taken from the other copy.
  int64_t pagesHealed = 0;
};

// Repairs the Ogg file `damaged` into `out` without re-encoding: keeps each page whose CRC
// holds, leaves out what is not a page of a link's audio stream, pages twice over and
// packets the decoder refuses, numbers pages afresh, recomputes granule positions from the
// packets kept, sets the stream flags, ends a cut stream at its last whole packet. With
// `twin` (another copy of the same file), a page missing from `damaged` is taken from it
// where it holds, matched by stream serial and sequence number. Reads only.
RepairOutcome RepairOgg(const CReadFile& damaged, const CReadFile* twin, IPageSink& out);
