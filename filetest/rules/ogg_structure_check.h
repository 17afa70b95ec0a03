#pragma once

#include <ogg/ogg.h>

#include <cstdint>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "filetest/rules/comment_rules.h"
#include "filetest/rules/structure_warning.h"

// Checks a file's pages against the Ogg page rules and, for streams whose codec has rules
// (CStreamRules), the codec's header and granule rules, as the pages go by. It is fed
// pages in file order with their offsets, by whoever reads them (the standalone reader in
// structure_check_file.h, or a decoder's own page loop), and never seeks, buffers the
// file or decodes audio: only header packets and the packets up to the first granule
// position of each stream are taken apart, with bounds on what that may hold. The one rule that
// needs decoded audio, the length each link's last granule position declares, is checked in Finish
// against the counts that whoever decoded hands in.
inline constexpr int64_t kNotDecoded = -1;

class COggStructureCheck {
 public:
  COggStructureCheck();
  ~COggStructureCheck();
  COggStructureCheck(const COggStructureCheck&) = delete;
  COggStructureCheck& operator=(const COggStructureCheck&) = delete;

  // Forgets the previous file.
  void Reset();
  // A whole page (as ogg_sync_pageseek gives it) that starts `offset` bytes into the file.
  // Bytes between the end of the previous page and `offset` are bytes of no page.
  void OnPage(const ogg_page& page, int64_t offset);
  // The data ended at `endOffset`. `decodedPerLink`, when given, holds the samples per
  // channel decoded from each link (the first stream with codec rules of each link, in
  // file order, as libvorbisfile numbers its links); give it only for a decode that ran to
  // its clean end. A link of kNotDecoded was not decoded: its length is not judged.
  void Finish(int64_t endOffset, const std::vector<int64_t>* decodedPerLink);

  const std::vector<StructureWarning>& Warnings() const { return m_warnings; }
  // Breaches past the first kMaxPerRule of a rule are counted, not kept.
  int64_t Suppressed() const { return m_nSuppressed; }
  // Links with a stream whose codec has rules, found so far.
  int Links() const;

  static constexpr int kMaxPerRule = kMaxListedPerRule;

 private:
  struct Stream;
  struct Link {
    int64_t declared;  // samples, from the start and the last granule position
    long rate;
    int64_t lastPageOffset;
    double startSeconds;
    bool ended;  // its last page carried end-of-stream
  };

  void Warn(StructureRule rule, std::string_view text, int64_t offset, double seconds);
  // Every fault a codec's rules listed and counted, then none.
  void WarnAll(CFaultList& faults, int64_t offset, double seconds);
  double Position() const;
  Stream* Find(uint32_t serial);
  Stream& Begin(uint32_t serial, int64_t offset);
  void CloseLink();
  void StopPacketising(Stream& s);
  // False when the stream then holds too much to go on taking it apart.
  bool PageIn(Stream& s, const ogg_page& page);
  void HeaderPage(Stream& s, const ogg_page& page, int64_t offset, int ended, bool lastEnds);
  void AudioPage(Stream& s, const ogg_page& page, int64_t offset, int ended, bool pagedIn);
  void TakeLeadingPackets(Stream& s, const ogg_page& page, int64_t offset, bool pagedIn);

  // Reset gives every member its value for a new file.
  std::vector<std::unique_ptr<Stream>> m_streams;  // of the current link only, in order
  std::unordered_map<uint32_t, Stream*> m_bySerial;
  std::unordered_set<uint32_t> m_endedSerials;  // of links before it
  int m_nPacketising;
  Stream* m_pPrimary;
  bool m_bLinkStarted;  // a page other than a beginning of stream went by
  int64_t m_nPages;
  int64_t m_nEndOfLastPage;
  double m_linkStartSeconds;
  std::vector<Link> m_links;
  std::vector<StructureWarning> m_warnings;
  std::vector<int> m_perRule;
  int64_t m_nSuppressed;
};
