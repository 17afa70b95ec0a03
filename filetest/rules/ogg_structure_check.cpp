#include "filetest/rules/ogg_structure_check.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "filetest/rules/stream_rules.h"
#include "text/path_text.h"

struct COggStructureCheck::Stream {
  explicit Stream(uint32_t serialNumber) : serial(serialNumber) {}
  ~Stream() {
    if (osLive) ogg_stream_clear(&os);
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  uint32_t serial;
  // Packets are taken apart only for the headers and up to the first granule position;
  // the stream state exists only meanwhile.
  ogg_stream_state os{};
  bool osLive = false;
  bool packetising = true;
  std::unique_ptr<CStreamRules> rules;
  int headersDone = 0;
  int64_t pages = 0;
  uint32_t nextSequence = 0;
  bool ended = false;
  bool reportedAfterEos = false;
  int64_t lastPageOffset = 0;
  // A header packet too large to take apart is being skipped, up to the page it ends on;
  // `skippedStart` holds its first bytes.
  bool skipping = false;
  std::string skippedStart;
  // Where the packet that the next page continues began, while one is unfinished.
  bool continuing = false;
  int64_t packetOffset = 0;
  bool startKnown = false;
  int64_t start = 0;
  int64_t maxGranule = -1;
  int64_t lastGranule = -1;
};

namespace {

std::string Serial(uint32_t serial) { return "stream " + std::to_string(serial); }

}  // namespace

namespace {

// What one stream may hold while its headers are taken apart: a cover picture of tens of
// megabytes fits, a packet that never ends does not take the file into memory.
constexpr long kMaxPacketBytes = 64L << 20;
// Streams taken apart at once; more in one link (a hostile file of nothing but
// beginnings of stream) get the page rules only.
constexpr int kMaxPacketisingStreams = 16;
// What a codec's rules get of a header too large to take apart: its type and magic.
constexpr long kSkippedStartBytes = 16;

}  // namespace

COggStructureCheck::COggStructureCheck() { Reset(); }
COggStructureCheck::~COggStructureCheck() = default;

void COggStructureCheck::Reset() {
  m_streams.clear();
  m_bySerial.clear();
  m_nPacketising = 0;
  m_endedSerials.clear();
  m_pPrimary = nullptr;
  m_bLinkStarted = false;
  m_nPages = 0;
  m_nEndOfLastPage = 0;
  m_linkStartSeconds = 0.0;
  m_links.clear();
  m_warnings.clear();
  m_perRule.assign(kStructureRuleCount, 0);
  m_nSuppressed = 0;
}

int COggStructureCheck::Links() const {
  return static_cast<int>(m_links.size()) + (m_pPrimary != nullptr ? 1 : 0);
}

void COggStructureCheck::Warn(StructureRule rule, std::string_view text, int64_t offset,
                              double seconds) {
  int& count = m_perRule[static_cast<std::size_t>(rule)];
  if (count >= kMaxPerRule) {
    ++m_nSuppressed;
    return;
  }
  ++count;
  m_warnings.push_back({rule, CutMarked(text, kMaxWarningTextBytes), offset, seconds});
}

void COggStructureCheck::WarnAll(CFaultList& faults, int64_t offset, double seconds) {
  for (const CommentFault& fault : faults.Listed()) Warn(fault.rule, fault.text, offset, seconds);
  m_nSuppressed += faults.Unlisted();
  faults.Clear();
}

// The play time reached: the current link's last granule position, from its start.
double COggStructureCheck::Position() const {
  const Stream* s = m_pPrimary;
  if (s == nullptr || s->rules == nullptr || s->rules->Rate() <= 0 || s->maxGranule < 0)
    return m_linkStartSeconds;
  const int64_t played = std::max<int64_t>(0, s->maxGranule - (s->startKnown ? s->start : 0));
  return m_linkStartSeconds + static_cast<double>(played) / static_cast<double>(s->rules->Rate());
}

COggStructureCheck::Stream* COggStructureCheck::Find(uint32_t serial) {
  const auto found = m_bySerial.find(serial);
  return found != m_bySerial.end() ? found->second : nullptr;
}

COggStructureCheck::Stream& COggStructureCheck::Begin(uint32_t serial, int64_t offset) {
  m_streams.push_back(std::make_unique<Stream>(serial));
  Stream& s = *m_streams.back();
  m_bySerial[serial] = &s;
  s.packetOffset = offset;
  if (m_nPacketising < kMaxPacketisingStreams) {
    ogg_stream_init(&s.os, static_cast<int>(serial));
    s.osLive = true;
    ++m_nPacketising;
  } else {
    s.packetising = false;
  }
  return s;
}

void COggStructureCheck::StopPacketising(Stream& s) {
  s.packetising = false;
  if (!s.osLive) return;
  ogg_stream_clear(&s.os);
  s.osLive = false;
  --m_nPacketising;
}

bool COggStructureCheck::PageIn(Stream& s, const ogg_page& page) {
  // All but the packet in progress has been taken out.
  const long held = s.os.body_fill - s.os.body_returned;
  if (held + page.body_len > kMaxPacketBytes) {
    // A header too large to take apart is skipped, and the headers after it are taken
    // apart as ever: without them the stream's audio would not be found, and its length
    // would read as nothing.
    if (s.rules == nullptr || s.headersDone >= s.rules->HeaderPackets()) {
      StopPacketising(s);
      return false;
    }
    if (!s.skipping) {
      const auto* start = reinterpret_cast<const char*>(s.os.body_data + s.os.body_returned);
      s.skippedStart.assign(start, static_cast<std::size_t>(std::min(held, kSkippedStartBytes)));
      s.skipping = true;
    }
    // libogg then drops the rest of the packet from the pages that continue it.
    ogg_stream_reset(&s.os);
  }
  ogg_page copy = page;
  ogg_stream_pagein(&s.os, &copy);
  return true;
}

void COggStructureCheck::CloseLink() {
  CFaultList faults;
  for (const auto& s : m_streams) {
    if (s->rules == nullptr || !s->startKnown || s->lastGranule < 0) continue;
    s->rules->OnLastGranule(s->lastGranule, s->start, faults);
    WarnAll(faults, s->lastPageOffset, m_linkStartSeconds);
  }
  if (m_pPrimary != nullptr) {
    const Stream& p = *m_pPrimary;
    const long rate = p.rules->Rate();
    const int64_t declared = p.lastGranule >= 0 ? std::max<int64_t>(0, p.lastGranule - p.start) : 0;
    m_links.push_back({declared, rate, p.lastPageOffset, m_linkStartSeconds, p.ended});
    if (rate > 0) m_linkStartSeconds += static_cast<double>(declared) / static_cast<double>(rate);
  }
  for (const auto& s : m_streams) m_endedSerials.insert(s->serial);
  m_streams.clear();
  m_bySerial.clear();
  m_nPacketising = 0;
  m_pPrimary = nullptr;
  m_bLinkStarted = false;
}

void COggStructureCheck::OnPage(const ogg_page& page, int64_t offset) {
  if (offset > m_nEndOfLastPage) {
    const int64_t stray = offset - m_nEndOfLastPage;
    Warn(StructureRule::kJunkBetweenPages,
         std::to_string(stray) + " bytes that belong to no page" +
             (m_nPages == 0 ? " before the first page" : ""),
         m_nEndOfLastPage, Position());
  }
  m_nEndOfLastPage = offset + page.header_len + page.body_len;
  ++m_nPages;

  const auto serial = static_cast<uint32_t>(ogg_page_serialno(&page));
  const bool bos = ogg_page_bos(&page) != 0;
  Stream* s = Find(serial);
  if (bos && (s == nullptr || s->ended) && m_bLinkStarted) {
    // A new link of a chain: every stream of this one must have ended first.
    for (const auto& live : m_streams) {
      if (!live->ended) {
        Warn(StructureRule::kChainBeforeEos,
             Serial(serial) + " begins before " + Serial(live->serial) + " has ended", offset,
             Position());
      }
    }
    CloseLink();
    s = nullptr;
  }
  if (s == nullptr) {
    const auto past = m_endedSerials.find(serial);
    if (!bos && past != m_endedSerials.end()) {
      Warn(StructureRule::kPageAfterEos, "page of " + Serial(serial) + " after its link ended",
           offset, Position());
      m_endedSerials.erase(past);
      return;
    }
    if (!bos) {
      Warn(StructureRule::kFirstPageNotBos,
           "first page of " + Serial(serial) + " has no beginning-of-stream flag", offset,
           Position());
    }
    s = &Begin(serial, offset);
  } else if (s->ended) {
    // Reported once, as every later page is the same breach; the pages are still read,
    // as decoders read them.
    if (!s->reportedAfterEos) {
      Warn(StructureRule::kPageAfterEos,
           "page of " + Serial(serial) + " after its end-of-stream page", offset, Position());
      s->reportedAfterEos = true;
    }
  } else if (bos) {
    Warn(StructureRule::kBosNotFirst,
         "beginning-of-stream flag on page " + std::to_string(s->pages + 1) + " of " +
             Serial(serial),
         offset, Position());
  }
  if (!bos) m_bLinkStarted = true;

  const auto sequence = static_cast<uint32_t>(ogg_page_pageno(&page));
  if (s->pages > 0 && sequence != s->nextSequence) {
    Warn(StructureRule::kSequenceGap,
         "page sequence number " + std::to_string(sequence) + " where " +
             std::to_string(s->nextSequence) + " was due in " + Serial(serial),
         offset, Position());
  }
  s->nextSequence = sequence + 1;

  // A lacing value under 255 ends a packet.
  int ended = 0;
  const long segments = page.header[26];
  for (long i = 0; i < segments; ++i) ended += page.header[27 + i] < 255 ? 1 : 0;
  const bool lastEnds = segments > 0 && page.header[27 + segments - 1] < 255;

  const bool inHeaders =
      s->pages == 0 || (s->rules != nullptr && s->headersDone < s->rules->HeaderPackets());
  if (inHeaders && s->packetising) {
    HeaderPage(*s, page, offset, ended, lastEnds);
  } else if (!inHeaders && s->rules != nullptr) {
    AudioPage(*s, page, offset, ended, false);
  }
  if (lastEnds) {
    s->continuing = false;
  } else if (ended > 0 || !s->continuing) {
    s->packetOffset = offset;
    s->continuing = segments > 0;
  }
  ++s->pages;
  s->lastPageOffset = offset;
  if (ogg_page_eos(&page) != 0) s->ended = true;
}

void COggStructureCheck::HeaderPage(Stream& s, const ogg_page& page, int64_t offset, int ended,
                                    bool lastEnds) {
  const bool first = s.pages == 0;
  if (!PageIn(s, page)) return;
  int headersHere = 0;
  CFaultList faults;
  if (s.skipping && ended > 0) {
    // The header too large to take apart ends on this page.
    s.skipping = false;
    s.rules->OnHeaderTooLarge(s.headersDone, s.skippedStart, faults);
    WarnAll(faults, s.packetOffset, Position());
    ++s.headersDone;
    ++headersHere;
  }
  for (;;) {
    if (s.rules != nullptr && s.headersDone >= s.rules->HeaderPackets()) break;
    ogg_packet packet{};
    const int got = ogg_stream_packetout(&s.os, &packet);
    if (got == 0) break;
    if (got < 0) continue;
    if (s.rules == nullptr) {
      s.rules = MakeStreamRules(packet);
      if (s.rules == nullptr) {
        // No codec rules: only the page rules, and no packets taken apart.
        StopPacketising(s);
        return;
      }
      if (m_pPrimary == nullptr) m_pPrimary = &s;
    }
    const int64_t packetStart = headersHere == 0 && s.continuing ? s.packetOffset : offset;
    s.rules->OnHeader(s.headersDone, packet, faults);
    WarnAll(faults, packetStart, Position());
    ++s.headersDone;
    ++headersHere;
  }
  if (s.rules == nullptr) return;

  const int64_t granule = ogg_page_granulepos(&page);
  const bool headersEnded = s.headersDone >= s.rules->HeaderPackets();
  const bool audioHere = headersEnded && (ended > headersHere || !lastEnds);
  if (first && (ended != 1 || !lastEnds)) {
    Warn(StructureRule::kIdHeaderNotAlone,
         "the identification header does not have the first page to itself", offset, Position());
  }
  if (audioHere) {
    Warn(StructureRule::kAudioOnHeaderPage, "audio data on the page that ends the headers", offset,
         Position());
    AudioPage(s, page, offset, ended - headersHere, true);
    return;
  }
  if (ended == 0) {
    if (granule != -1) {
      Warn(StructureRule::kGranuleOnUnfinishedPage,
           "granule position " + std::to_string(granule) + " on a page where no packet ends",
           offset, Position());
    }
  } else if (granule != 0) {
    Warn(StructureRule::kHeaderPageGranule,
         "granule position " + std::to_string(granule) + " on a header page, where it must be 0",
         offset, Position());
  }
}

void COggStructureCheck::AudioPage(Stream& s, const ogg_page& page, int64_t offset, int ended,
                                   bool pagedIn) {
  const int64_t granule = ogg_page_granulepos(&page);
  if (!s.startKnown && s.packetising) TakeLeadingPackets(s, page, offset, pagedIn);
  const double at = Position();
  if (ended == 0) {
    if (granule != -1) {
      Warn(StructureRule::kGranuleOnUnfinishedPage,
           "granule position " + std::to_string(granule) + " on a page where no packet ends",
           offset, at);
    }
    return;
  }
  if (granule == -1) {
    Warn(StructureRule::kGranuleMissing, "granule position -1 on a page where a packet ends",
         offset, at);
  } else if (granule < 0) {
    Warn(StructureRule::kGranuleNegative, "negative granule position " + std::to_string(granule),
         offset, at);
  } else if (granule < s.maxGranule) {
    Warn(StructureRule::kGranuleDecreasing,
         "granule position " + std::to_string(granule) + " after " + std::to_string(s.maxGranule),
         offset, at);
  } else {
    s.maxGranule = granule;
  }
  if (granule >= 0) s.lastGranule = granule;
}

// The packets up to the first granule position, for where the stream's audio starts;
// after that page nothing of the stream is taken apart any more.
void COggStructureCheck::TakeLeadingPackets(Stream& s, const ogg_page& page, int64_t offset,
                                            bool pagedIn) {
  if (!pagedIn && !PageIn(s, page)) return;
  ogg_packet packet{};
  for (int got; (got = ogg_stream_packetout(&s.os, &packet)) != 0;) {
    if (got > 0) s.rules->OnLeadingAudioPacket(packet);
  }
  const int64_t granule = ogg_page_granulepos(&page);
  if (granule == -1) return;
  CFaultList faults;
  s.start = s.rules->StartGranule(granule, ogg_page_eos(&page) != 0, faults);
  WarnAll(faults, offset, Position());
  s.startKnown = true;
  StopPacketising(s);
}

void COggStructureCheck::Finish(int64_t endOffset, const std::vector<int64_t>* decodedPerLink) {
  bool allEnded = m_nPages > 0;
  for (const auto& s : m_streams) {
    if (s->ended) continue;
    allEnded = false;
    Warn(StructureRule::kMissingEos, Serial(s->serial) + " ends without an end-of-stream page",
         s->lastPageOffset, Position());
  }
  // Bytes after the last page of a stream that never ended are its cut-off tail, which
  // the verdict names; after the last end of stream they are data no player expects.
  if (allEnded && endOffset > m_nEndOfLastPage) {
    Warn(StructureRule::kDataAfterEnd,
         std::to_string(endOffset - m_nEndOfLastPage) + " bytes after the last end-of-stream page",
         m_nEndOfLastPage, Position());
  }
  CloseLink();
  if (decodedPerLink == nullptr) return;
  const std::size_t links = std::min(m_links.size(), decodedPerLink->size());
  for (std::size_t i = 0; i < links; ++i) {
    const Link& link = m_links[i];
    const int64_t decoded = (*decodedPerLink)[i];
    // Without its end-of-stream page the decoder cannot cut the last block to the
    // granule position; that breach is named already, and the length follows from it.
    if (link.rate <= 0 || !link.ended || decoded == kNotDecoded || decoded == link.declared)
      continue;
    const double rate = static_cast<double>(link.rate);
    char text[160];
    std::snprintf(text, sizeof text,
                  "the last granule position gives %lld samples (%.3f s), %lld were decoded "
                  "(%.3f s)",
                  static_cast<long long>(link.declared), static_cast<double>(link.declared) / rate,
                  static_cast<long long>(decoded), static_cast<double>(decoded) / rate);
    const int64_t shorter = std::min(decoded, link.declared);
    Warn(StructureRule::kLengthMismatch, text, link.lastPageOffset,
         link.startSeconds + static_cast<double>(shorter) / rate);
  }
}
