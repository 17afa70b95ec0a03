#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Builds Ogg Vorbis files for the tests, clean or damaged in one known way each. Every
// output is a pure function of its inputs, so a failing test can be rerun byte for byte.
namespace testgen {

using Bytes = std::vector<unsigned char>;

struct Tone {
  int channels = 2;
  long rate = 44100;
  double seconds = 2.0;
  double frequency = 440.0;
  float quality = 0.0f;
  uint32_t serial = 1;
};

// A clean file: the three header packets end on their own pages, an audio page is flushed
// about every 0.25 s so that damage can land mid-file, and the last page carries
// end-of-stream. Empty when the encoder refuses the settings.
Bytes EncodeTone(const Tone& tone);

// One page as stored. The accessors assume a header of at least 27 bytes, as SplitPages
// gives; on a shorter one they read 0 and the setters do nothing.
struct Page {
  Bytes header;
  Bytes body;

  uint32_t Serial() const;
  uint32_t Sequence() const;
  int64_t Granule() const;
  bool Bos() const;
  bool Eos() const;
  bool Continued() const;

  // The setters leave the CRC stale; call FixCrc to make the page pass again.
  void SetSequence(uint32_t sequence);
  void SetSerial(uint32_t serial);
  void SetEos(bool eos);
  void SetGranule(int64_t granule);
  void FixCrc();
};

// The complete pages from the start of `file`, in order. Stops at the first place that is
// not a whole page (a cut tail, garbage); the CRC is not checked.
std::vector<Page> SplitPages(const Bytes& file);
Bytes JoinPages(const std::vector<Page>& pages);

// Index of the first page after the one where the third packet ends; pages.size() when the
// headers never finish.
std::size_t FirstAudioPage(const std::vector<Page>& pages);
// Negative when no packet ends on the page (granule -1).
double PageEndSeconds(const Page& page, long rate);

enum class Damage {
  kClean,
  kDropPage,             // a middle audio page removed
  kFlipByte,             // one byte of a middle page's body flipped, CRC stale
  kRenumberPage,         // a middle page's sequence number +5, CRC valid
  kCutLastPage,          // the file ends halfway through its last page
  kCorruptLastPage,      // a byte of the end-of-stream page's body flipped, CRC stale
  kCutMidFile,           // cut at half the byte length
  kCutAfterHeaders,      // only the header pages
  kForeignPage,          // copy of a middle page under another serial, inserted after it
  kChained,              // two encodes, serials base and base+1, concatenated
  kChainFirstLinkNoEos,  // kChained with the first link's end-of-stream flag cleared
  kNotOgg,               // plain text
  kEmpty,                // zero bytes
  kBadIdHeader,          // identification header's version field set to 1, CRC valid
};

// Every value of Damage, in declaration order.
std::vector<Damage> AllDamages();
// "dropped-page.ogg", "not-ogg.ogg", ...: distinct per value.
std::string CaseFileName(Damage damage);

// The second link of the chained cases is `base` with serial + 1 and frequency * 1.5, so
// the chain lasts 2 * base.seconds. Empty for kEmpty, when the encoder refuses `base`, and
// when `base` is too short to have an audio page between the first and the last.
Bytes MakeCase(Damage damage, const Tone& base = {});

struct Case {
  Damage damage;
  std::string fileName;
  Bytes bytes;
};

// One Case per value of Damage, kClean included; encodes `base` only once.
std::vector<Case> AllCases(const Tone& base = {});

// A clean file whose setup header declares one more codebook, unused, of `entries` codes
// (a power of two, at most 2^22). The decoder sizes stack buffers from that count when
// decoding begins: 2^22 entries need some 48 MiB of stack. Empty on failure.
Bytes MakeHugeCodebook(const Tone& base = {}, uint32_t entries = 1u << 22);

// False on any failure; creates no folders.
bool WriteBytes(const std::filesystem::path& path, const Bytes& bytes);

// A library to try the tool on, inside `dir` (created if needed, existing files
// overwritten): clean files of 2 to 10 s in mono and stereo at 22050, 44100 and 48000 Hz,
// one of 60 s, "LOUD.OGG", "notes.txt", a nested folder, every damaged case under
// "damaged/" and an ogg under ".cache/" that a scan must skip.
bool WriteDemoFolder(const std::filesystem::path& dir);

}  // namespace testgen
