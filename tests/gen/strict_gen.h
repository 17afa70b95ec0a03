#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/gen/ogg_gen.h"

// Files for --strict: each breaks one Ogg or Vorbis format rule that decoders forgive,
// made from a clean encode by page surgery, with where the breach is as the surgery knows
// it. The rule is named as the checker names it ("granule-missing", ...).
namespace testgen {

struct StrictCase {
  std::string rule;      // empty for a case that breaks no rule
  std::string fileName;  // "strict-granule-missing.ogg", ...
  Bytes bytes;
  // The first byte of the page (or stray bytes) that breaks the rule.
  int64_t offset = 0;
  // The play time reached there: the last granule position before it, links added.
  double seconds = 0.0;
  // How far `seconds` may be off: where the surgery cannot know it to the sample.
  double tolerance = 0.0;
  // What decoders then do wrong that a rule of its own names, reported after the breach:
  // libvorbisfile drops the audio of the first page after the headers when the headers
  // are framed wrongly, so fewer samples decode than the last granule position says.
  std::vector<std::string> consequences;
};

// Long enough for middle pages, and at a quality whose packets outgrow one lacing value,
// so that a packet can be split across pages.
Tone StrictTone();

// One case per rule, some rules by more than one kind of surgery. Every bytes non-empty
// when the tone encodes.
std::vector<StrictCase> StrictCases(const Tone& base = StrictTone());

// Made by the same surgery but within the rules (a packet split across pages, comments in
// UTF-8 with empty values, a cover picture that decodes, a chain): none may warn.
std::vector<StrictCase> StrictCleanCases(const Tone& base = StrictTone());

// A clean encode of `base` whose comment header holds `count` copies of `field`, for
// headers of tens of megabytes (one comment of 65 MiB, fifteen million empty ones) made
// without a string per field.
Bytes WithManyComments(std::size_t count, const std::string& field, const Tone& base);

// "METADATA_BLOCK_PICTURE" value of a FLAC picture block holding `data`, base64 as
// Vorbis comments carry it.
std::string PictureField(const std::string& mime, const Bytes& data);

// The same for Opus (its header, pre-skip and granule rules, its comment header, and the
// Ogg rules every codec shares) and, for the Ogg rules, FLAC in Ogg. The position is play
// time after the pre-skip.
std::vector<StrictCase> StrictOpusCases(const Tone& base = StrictTone());
std::vector<StrictCase> StrictFlacCases(const Tone& base = StrictTone());
// Clean Opus and FLAC encodes, and chains of one codec and of all three: none may warn.
std::vector<StrictCase> StrictCodecCleanCases(const Tone& base = StrictTone());

}  // namespace testgen
