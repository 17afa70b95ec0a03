#pragma once

#include <ogg/ogg.h>
#include <vorbis/vorbisfile.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "filetest/check_traits.h"
#include "filetest/ogg_structure_check.h"
#include "filetest/read_observer.h"
#include "text/position_text.h"

// Feeds a COggStructureCheck from what a check reads, in file order, and reads itself only
// what the check's reading left out: the pages libvorbisfile read while it opened the
// file (for the quick check, whose loop hands on pages only after that), and the rest of a
// file whose decode stopped at a fault. Bytes and pages count only where they continue
// what was fed before, so reads that seek about (libvorbisfile's bisection while it
// opens) change nothing: what goes in is exactly one pass over the file from its start.
class CStructureFeed final : public IReadObserver {
 public:
  CStructureFeed();
  ~CStructureFeed() override;
  CStructureFeed(const CStructureFeed&) = delete;
  CStructureFeed& operator=(const CStructureFeed&) = delete;

  // Forgets the previous file; nothing is fed until the next OnOpen.
  void Reset();
  void OnOpen(NativeFile file, int64_t viewEnd, int64_t size) override;
  void OnBytes(const void* data, std::size_t size, int64_t at) override;
  void OnPage(const ogg_page& page, int64_t at) override;
  // Reads the file itself on from what was fed, up to `upTo` (at most its view's end).
  void CatchUp(int64_t upTo);
  // Reads the rest and judges the whole file; `decodedPerLink` as COggStructureCheck::Finish.
  void Finish(const std::vector<int64_t>* decodedPerLink);
  // Opens `path` as the checks do and judges it in one pass: for a file the decoder
  // refused, whose breaches may say why. False when it cannot be read.
  bool JudgeUnopened(const std::filesystem::path& path);

  const COggStructureCheck& Structure() const { return m_check; }

 private:
  void Drain();

  COggStructureCheck m_check;
  ogg_sync_state m_sync{};
  bool m_bOpen = false;
  NativeFile m_file{};
  int64_t m_nViewEnd = 0;
  int64_t m_nSize = 0;
  // Bytes before it went into the sync, or came as whole pages.
  int64_t m_nCovered = 0;
  // Where the sync's next page, or the next byte it skips, begins.
  int64_t m_nPageAt = 0;
};

// `Check` (COggCheck or COggQuickCheck) with the same surface, that also holds each file to
// the Ogg and Vorbis format rules while it is read, when SetStrict asks for it. The rules'
// breaches are known once DecodeStep has given its last result (0 or a fault), or at once
// for a file that did not open.
template <typename Check>
class CStrictCheck {
 public:
  CStrictCheck() = default;
  CStrictCheck(const CStrictCheck&) = delete;
  CStrictCheck& operator=(const CStrictCheck&) = delete;

  // For the files opened from now on.
  void SetStrict(bool strict) {
    m_bStrict = strict;
    m_check.Observe(strict ? &m_feed : nullptr);
  }
  bool Strict() const { return m_bStrict; }

  bool Open(std::filesystem::path path) {
    m_feed.Reset();
    m_perLink.clear();
    m_bJudged = false;
    const bool opened = m_check.Open(path);
    m_strError = m_check.m_strError;
    m_nTotalSamples = m_check.m_nTotalSamples;
    // A file that cannot be read at all has nothing to hold to the rules.
    if (!opened && m_bStrict && m_strError != kOpenFileReason)
      m_bJudged = m_feed.JudgeUnopened(path);
    if (opened && m_bStrict) {
      m_perLink.assign(static_cast<std::size_t>(Vf().links), 0);
      // What libvorbisfile read while opening, before a page loop of ours takes over.
      m_feed.CatchUp(Vf().offset);
    }
    return opened;
  }
  int DecodeStep() {
    const int r = m_check.DecodeStep();
    m_strError = m_check.m_strError;
    if (!m_bStrict || m_bJudged) return r;
    if (r > 0) {
      // A read hands out samples of one link only, the one it is in when it returns.
      const auto link = static_cast<std::size_t>(Vf().current_link);
      if (link < m_perLink.size()) m_perLink[link] += r;
    } else {
      // The length each link declares is judged only against a decode that reached its end.
      m_feed.Finish(r == 0 ? &m_perLink : nullptr);
      m_bJudged = true;
    }
    return r;
  }
  void Close() {
    m_check.Close();
    m_feed.Reset();
    m_bJudged = false;
  }
  OggVorbis_File& Vf() { return m_check.Vf(); }
  double PositionSeconds() { return m_check.PositionSeconds(); }
  double TotalSeconds() { return m_check.TotalSeconds(); }

  // The breaches found, once judged; none before, and none for a check that is not strict.
  std::vector<StructureWarning> Warnings() const {
    return m_bJudged ? m_feed.Structure().Warnings() : std::vector<StructureWarning>{};
  }
  int64_t Suppressed() const { return m_bJudged ? m_feed.Structure().Suppressed() : 0; }
  bool Judged() const { return m_bJudged; }

  std::string m_strError;
  int64_t m_nTotalSamples = 0;

 private:
  Check m_check;
  CStructureFeed m_feed;
  bool m_bStrict = false;
  bool m_bJudged = false;
  std::vector<int64_t> m_perLink;
};

template <typename Check>
inline constexpr bool kHoldsToRules<CStrictCheck<Check>> = true;
