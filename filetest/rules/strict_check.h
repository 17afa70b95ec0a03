#pragma once

#include <ogg/ogg.h>
#include <vorbis/vorbisfile.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "filetest/bytes/audio_hash.h"
#include "filetest/bytes/page_pass.h"
#include "filetest/codecs/check_traits.h"
#include "filetest/rules/ogg_structure_check.h"
#include "text/position_text.h"

// Feeds a COggStructureCheck from what a check reads, in file order, and reads itself only
// what the check's reading left out: the pages libvorbisfile read while it opened the
// file (for the quick check, whose loop hands on pages only after that), and the rest of a
// file whose decode stopped at a fault. Bytes and pages count only where they continue
// what was fed before, so reads that seek about (libvorbisfile's bisection while it
// opens) change nothing: what goes in is exactly one pass over the file from its start.
class CStructureFeed final : public COggPagePass {
 public:
  // Forgets the previous file; nothing is fed until the next OnOpen.
  void Reset();
  void OnOpen(NativeFile file, int64_t viewEnd, int64_t size) override;

  // What a check tells the feed of each file beside what it reads. Every check with the
  // rules on keeps its books here, whatever it decodes.
  // The file opened, and its decode hands out samples from `links` links (of codecs with
  // rules, in file order); what was read while it opened, up to `readTo`, is fed now.
  void Opened(std::size_t links, int64_t readTo = 0);
  // The file did not open, for `reason`: it is judged from the file itself, in one pass,
  // for its breaches may say why; one that could not be read at all has none.
  void Refused(const std::filesystem::path& path, std::string_view reason);
  // The link's audio is not decoded: the length it declares is not judged.
  void NotDecoded(std::size_t link);
  // A decode step's result, its samples from `link`. The last (0 or a fault) judges the
  // file; the length each link declares only against a decode that reached its end.
  void Stepped(int result, std::size_t link);
  // Judges a file whose audio is not decoded at all.
  void FinishUndecoded();
  // The breaches, once the file is judged; none before.
  bool Judged() const { return m_bJudged; }
  std::vector<StructureWarning> Warnings() const;
  int64_t Suppressed() const;

 private:
  // Reads the rest and judges the whole file; `decodedPerLink` as COggStructureCheck::Finish.
  void Finish(const std::vector<int64_t>* decodedPerLink);
  void TakePage(const ogg_page& page, int64_t at) override { m_check.OnPage(page, at); }
  // Forgets what was read, not what the check said.
  void ResetReading();

  COggStructureCheck m_check;
  int64_t m_nSize = 0;
  bool m_bJudged = false;
  // Samples decoded from each link, or kNotDecoded.
  std::vector<int64_t> m_perLink;
};

// `Check` (COggCheck or COggQuickCheck) with the same surface, that also holds each file to
// the Ogg and Vorbis format rules while it is read, when SetStrict asks for it. The rules'
// breaches are known once DecodeStep has given its last result (0 or a fault), or at once
// for a file that did not open. It hashes every file's audio as it is read (AudioHash).
template <typename Check>
class CStrictCheck {
 public:
  CStrictCheck() { SetStrict(false); }
  CStrictCheck(const CStrictCheck&) = delete;
  CStrictCheck& operator=(const CStrictCheck&) = delete;

  // For the files opened from now on.
  void SetStrict(bool strict) {
    m_bStrict = strict;
    m_reads.Set(&m_hash, strict ? &m_feed : nullptr);
    m_check.Observe(&m_reads);
  }
  bool Strict() const { return m_bStrict; }

  bool Open(std::filesystem::path path) {
    m_feed.Reset();
    m_hash.Reset();
    m_digest.reset();
    const bool opened = m_check.Open(path);
    m_strError = m_check.m_strError;
    m_nTotalSamples = m_check.m_nTotalSamples;
    if (opened) m_hash.Opened(Vf().offset);
    if (m_bStrict && opened) {
      // What libvorbisfile read while opening, before a page loop of ours takes over.
      m_feed.Opened(static_cast<std::size_t>(Vf().links), Vf().offset);
    } else if (m_bStrict) {
      m_feed.Refused(path, m_strError);
    }
    return opened;
  }
  int DecodeStep() {
    const int r = m_check.DecodeStep();
    m_strError = m_check.m_strError;
    // A read hands out samples of one link only, the one it is in when it returns.
    if (m_bStrict) m_feed.Stepped(r, static_cast<std::size_t>(Vf().current_link));
    if (r == 0) m_digest = m_hash.Finish();
    return r;
  }
  void Close() {
    m_check.Close();
    m_feed.Reset();
    m_hash.Reset();
    m_digest.reset();
  }
  OggVorbis_File& Vf() { return m_check.Vf(); }
  double PositionSeconds() { return m_check.PositionSeconds(); }
  double TotalSeconds() { return m_check.TotalSeconds(); }

  // The breaches found, once judged; none before, and none for a check that is not strict.
  std::vector<StructureWarning> Warnings() const { return m_feed.Warnings(); }
  int64_t Suppressed() const { return m_feed.Suppressed(); }
  bool Judged() const { return m_feed.Judged(); }
  // The file's audio hash once DecodeStep reached its clean end; none otherwise.
  const std::optional<AudioDigest>& AudioHash() const { return m_digest; }

  std::string m_strError;
  int64_t m_nTotalSamples = 0;

 private:
  Check m_check;
  CStructureFeed m_feed;
  CAudioHashFeed m_hash;
  CReadTee m_reads;
  std::optional<AudioDigest> m_digest;
  bool m_bStrict = false;
};

template <typename Check>
inline constexpr bool kHoldsToRules<CStrictCheck<Check>> = true;
