#pragma once

#include <string>
#include <vector>

#include "tests/gen/ogg_gen.h"

// Builds Ogg Opus and Ogg FLAC files for the tests, clean or damaged in one known way
// each, as ogg_gen does for Vorbis. Pure functions of their inputs.
namespace testgen {

enum class Codec { kOpus, kFlac };

// A clean file of `tone`: Opus through libopusenc (pages flushed about every 0.25 s; any
// input rate, played at 48 kHz; up to 8 channels), FLAC through libFLAC's Ogg encoder (16
// bits, a block of 1152 samples, the MD5 of the audio written back into STREAMINFO). Empty
// when the encoder refuses the settings.
Bytes EncodeCodecTone(Codec codec, const Tone& tone);

enum class CodecDamage {
  kClean,
  kDropPage,         // a middle audio page removed
  kFlipByte,         // one byte of a middle page's body flipped, CRC stale: libogg drops it
  kMendedFlip,       // the same byte flipped, CRC mended: the damage reaches the decoder
  kCutLastPage,      // the file ends halfway through its last page
  kCutMidFile,       // cut at half the byte length
  kCutAfterHeaders,  // only the header pages
  kNoEos,            // the last page's end-of-stream flag cleared, CRC mended
  kChained,          // two encodes, serials base and base+1, concatenated
  kBadHeader,        // Opus: the version byte of OpusHead is 255; FLAC: the mapping's
                     // major version is 2 (CRC mended)
  kBadTimestamp,     // Opus: the last page's granule position set below the first's
  kWrongMd5,         // FLAC: one byte of STREAMINFO's MD5 changed (CRC mended)
  kNoMd5,            // FLAC: STREAMINFO's MD5 all zeros, as an encoder that never wrote it
};

// The damages that apply to `codec`, in declaration order.
std::vector<CodecDamage> CodecDamages(Codec codec);
// "opus-clean.opus", "flac-wrong-md5.oga", ...
std::string CodecCaseFileName(Codec codec, CodecDamage damage);

// Empty when the encoder refuses `base`, when `damage` does not apply to `codec`, or when
// `base` is too short for a middle page.
Bytes MakeCodecCase(Codec codec, CodecDamage damage, const Tone& base = {});

struct CodecCase {
  Codec codec;
  CodecDamage damage;
  std::string fileName;
  Bytes bytes;
};
// One case per damage that applies to `codec`.
std::vector<CodecCase> AllCodecCases(Codec codec, const Tone& base = {});

// A stream of a codec no check here decodes: a beginning-of-stream page whose packet
// starts with `magic` ("Speex   ", "\x80theora"), one more page of filler, an
// end-of-stream page.
Bytes MakeForeignStream(const std::string& magic, uint32_t serial);

// Every whole file in `parts`, one after the other: a chain whose links may mix codecs.
Bytes Chain(const std::vector<Bytes>& parts);

}  // namespace testgen
