#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "filetest/bytes/audio_hash.h"
#include "filetest/bytes/ogg_links.h"
#include "filetest/bytes/ogg_source.h"
#include "filetest/codecs/check_traits.h"
#include "filetest/codecs/flac_ogg_check.h"
#include "filetest/codecs/ogg_check.h"
#include "filetest/codecs/opus_check.h"
#include "filetest/codecs/quick_check.h"
#include "filetest/rules/strict_check.h"
#include "filetest/rules/structure_warning.h"

// Tests an Ogg file whatever its audio codec, each stream by the library made for it,
// chosen by what the first page holds. A file of Vorbis only, or one that does not begin
// with a stream (not Ogg, empty, a first page damaged), goes to COggCheck whole, so its
// verdict is exactly COggCheck's. A chain whose links mix codecs is checked link by link,
// each link's byte range by its own library, positions counting on from the links before
// it. A stream of a codec no library here checks is never damage: Checked() is false.
// SetStrict holds every link, whatever its codec, to the Ogg format rules and its codec's
// (the Vorbis, Opus and FLAC ones) while the libraries read it, as CStrictCheck does for
// Vorbis alone.
// What DecodeStep returns when a link after the first does not open.
inline constexpr int kLinkOpenFault = -2;
// The reason for pages of a stream that never began: its first page is lost.
inline constexpr const char* kStrayPages = "OGG_HOLE";

class CAnyOggCheck {
 public:
  CAnyOggCheck() : CAnyOggCheck(false) {}
  // `quickVorbis`: a file of Vorbis only goes to COggQuickCheck instead. The Vorbis links
  // of a chain that mixes codecs are still decoded in full.
  explicit CAnyOggCheck(bool quickVorbis);
  ~CAnyOggCheck() { Close(); }
  CAnyOggCheck(const CAnyOggCheck&) = delete;
  CAnyOggCheck& operator=(const CAnyOggCheck&) = delete;

  bool Open(std::filesystem::path path);
  // > 0: samples per channel (at the rate of the link); 0: clean end; < 0: a fault.
  int DecodeStep();
  void Close();
  double PositionSeconds();
  double TotalSeconds();

  // The codec of the first link, or of the whole file when every link has the same one;
  // kNone for what does not begin with an Ogg stream.
  OggCodec Codec() const { return m_codec; }
  // False when no part of the file is in a codec this check decodes: Open succeeded and
  // DecodeStep ends at once, and nothing was verified.
  bool Checked() const { return m_bChecked; }
  // The codecs of links that were skipped, unchecked, in a chain that has checked ones.
  const std::vector<OggCodec>& SkippedLinks() const { return m_skipped; }
  // A FLAC link carries no MD5 of its audio.
  bool Md5Missing() const { return m_bMd5Missing; }
  // A link was left unchecked because its library does not implement what it uses (an
  // Opus channel mapping opusfile does not know).
  bool Declined() const { return m_bDeclined; }
  // What the file holds: the codecs of its links in the order they first appear, joined
  // by "+" ("opus", "vorbis+flac"); "none" for what does not begin with an Ogg stream.
  const std::string& Codecs() const { return m_strCodecs; }
  // True while DecodeStep runs COggQuickCheck's loop without synthesis.
  bool Tracking() const { return m_bWhole && m_bQuickVorbis && m_quick.Tracking(); }

  // For the files opened from now on.
  void SetStrict(bool strict);
  bool Strict() const { return m_bStrict; }
  // The breaches found, once the last DecodeStep has given 0 or a fault, or at once for a
  // file that did not open; none for a check that is not strict.
  std::vector<StructureWarning> Warnings() const;
  int64_t Suppressed() const;
  bool Judged() const { return m_feed.Judged(); }
  // The hash of the audio of every link it decoded, once DecodeStep reached its clean end.
  const std::optional<AudioDigest>& AudioHash() const { return m_digest; }

  std::string m_strError;
  int64_t m_nTotalSamples = 0;

 private:
  struct Range {
    OggLink link;  // end and eos of the last link it spans
    double seconds = 0;
    int64_t samples = 0;
    // Links of a checked codec before it: where its links are in the rules' count.
    std::size_t checkedBefore = 0;
    // Of each link it spans, in order: OggLink::lostBeforeAudio.
    std::vector<bool> lostBeforeAudio;
    // Its library declined it: it uses what the library does not implement.
    bool declined = false;
    // Pages of a stream whose first page is lost follow a link it spans (OggLink::strayAt).
    bool stray = false;
  };
  static bool Decodes(const Range& range) {
    return IsCheckedCodec(range.link.codec) && !range.declined;
  }
  bool OpenChecked(const std::filesystem::path& path);
  int DecodeChecked();
  bool OpenPart(std::size_t index);
  void ClosePart();
  // The check of each codec's links of a chain that mixes codecs.
  ILinkCheck& CheckOf(OggCodec codec);
  // The check of the current part.
  ILinkCheck& Part() { return CheckOf(m_ranges[m_nPart].link.codec); }
  std::string PartErrorInFile();
  // The link, counting those of a checked codec from the file's start, whose samples the
  // last DecodeStep handed out.
  std::size_t StepLink();
  int StrayFault();

  COggSource m_source;
  // A file of Vorbis alone, whole.
  COggCheck m_vorbis;
  COggCheck m_vorbisLinks;
  COpusCheck m_opus;
  CFlacOggCheck m_flac;
  OggCodec m_codec = OggCodec::kNone;
  bool m_bChecked = true;
  bool m_bMd5Missing = false;
  bool m_bDeclined = false;
  bool m_bWhole = false;  // the file went to COggCheck::Open as it is
  std::vector<Range> m_ranges;
  std::size_t m_nPart = 0;
  bool m_bPartOpen = false;
  double m_fOffset = 0;  // play time of the parts before the current one
  std::vector<OggCodec> m_skipped;
  bool m_bQuickVorbis = false;
  COggQuickCheck m_quick;
  std::string m_strCodecs;
  CStructureFeed m_feed;
  CAudioHashFeed m_hash;
  CReadTee m_reads;
  std::optional<AudioDigest> m_digest;
  bool m_bStrict = false;
};

// CAnyOggCheck with the quick check for files of Vorbis only, for code that makes its
// check by default construction.
class CAnyOggQuickCheck : public CAnyOggCheck {
 public:
  CAnyOggQuickCheck() : CAnyOggCheck(true) {}
};

template <>
inline constexpr bool kChecksEveryCodec<CAnyOggCheck> = true;
template <>
inline constexpr bool kHoldsToRules<CAnyOggCheck> = true;
template <>
inline constexpr bool kHoldsToRules<CAnyOggQuickCheck> = true;
template <>
inline constexpr bool kChecksEveryCodec<CAnyOggQuickCheck> = true;
