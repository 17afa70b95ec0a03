#include "salvage/ogg_repair.h"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <utility>

#include "filetest/bytes/ogg_links.h"
#include "filetest/bytes/ogg_pages.h"
#include "salvage/packet_clock.h"

namespace {

constexpr long kReadChunk = 1 << 16;
// How far ahead a page that begins a stream is looked past: if the stream in hand goes on
// within these pages, the page is a stranger's, not the start of the chain's next link.
constexpr std::size_t kLookAhead = 4;

// A page whose CRC holds, by where it lies in its copy.
struct PageInfo {
  int64_t at = 0;
  long headerBytes = 0;
  long bodyBytes = 0;
  uint32_t serial = 0;
  uint32_t sequence = 0;
  int64_t granule = -1;
  bool bos = false;
  bool eos = false;
};

// One copy of the file: its pages, found by libogg as it resynchronises (junk and pages
// failing their CRC are passed over), and read back one at a time.
class CCopy {
 public:
  explicit CCopy(const CReadFile& file) : m_file(file.Native()) {
    COggSync sync;
    int64_t readAt = 0;
    ForEachOggPage(
        sync, kReadChunk,
        [&](char* buffer, long size) {
          const int64_t got = ReadAt(m_file, buffer, static_cast<std::size_t>(size), readAt);
          if (got > 0) readAt += got;
          m_bReadFailed = m_bReadFailed || got < 0;
          return static_cast<long>(got);
        },
        [&](ogg_page& page, int64_t at) {
          m_pages.push_back(PageInfo{
              at, page.header_len, page.body_len, static_cast<uint32_t>(ogg_page_serialno(&page)),
              static_cast<uint32_t>(ogg_page_pageno(&page)), ogg_page_granulepos(&page),
              ogg_page_bos(&page) != 0, ogg_page_eos(&page) != 0});
          return true;
        });
  }
  const std::vector<PageInfo>& Pages() const { return m_pages; }
  // The first page of `serial` numbered `sequence`. The pages are sorted by stream and
  // number on the first question: only the other copy is asked, and a copy of 2 GB has
  // half a million pages.
  std::optional<std::size_t> Find(uint32_t serial, uint32_t sequence) const {
    if (m_byStream.empty()) {
      m_byStream.reserve(m_pages.size());
      for (std::size_t i = 0; i < m_pages.size(); ++i)
        m_byStream.push_back({m_pages[i].serial, m_pages[i].sequence, i});
      std::sort(m_byStream.begin(), m_byStream.end());
    }
    const auto found =
        std::lower_bound(m_byStream.begin(), m_byStream.end(), StreamPage{serial, sequence, 0});
    if (found == m_byStream.end() || found->serial != serial || found->sequence != sequence)
      return std::nullopt;
    return found->index;
  }
  // A read failed before the copy's end: what it holds past there is not known.
  bool ReadFailed() const { return m_bReadFailed; }
  // The page's bytes, read again: false when they are not the page found at first (the
  // file was cut or written to since), or cannot be read. A salvage is made of one
  // version of the file or not at all.
  bool Read(const PageInfo& info, std::vector<unsigned char>& bytes, ogg_page& page) const {
    bytes.resize(static_cast<std::size_t>(info.headerBytes + info.bodyBytes));
    if (ReadAt(m_file, bytes.data(), bytes.size(), info.at) != static_cast<int64_t>(bytes.size()))
      return false;
    page =
        ogg_page{bytes.data(), info.headerBytes, bytes.data() + info.headerBytes, info.bodyBytes};
    if (info.headerBytes < 27 || 27 + long{bytes[26]} != info.headerBytes ||
        static_cast<uint32_t>(ogg_page_serialno(&page)) != info.serial ||
        static_cast<uint32_t>(ogg_page_pageno(&page)) != info.sequence ||
        ogg_page_granulepos(&page) != info.granule)
      return false;
    // The CRC held when the page was found; it holds for the same bytes only.
    std::array<unsigned char, 4> crc{};
    std::copy(bytes.begin() + 22, bytes.begin() + 26, crc.begin());
    ogg_page_checksum_set(&page);
    return std::equal(crc.begin(), crc.end(), bytes.begin() + 22);
  }

 private:
  NativeFile m_file;
  bool m_bReadFailed = false;
  std::vector<PageInfo> m_pages;
  struct StreamPage {
    uint32_t serial;
    uint32_t sequence;
    std::size_t index;
    auto operator<=>(const StreamPage&) const = default;
  };
  mutable std::vector<StreamPage> m_byStream;
};

// libogg's stream state, owned.
class COggStream {
 public:
  explicit COggStream(uint32_t serial) { ogg_stream_init(&m_state, static_cast<int>(serial)); }
  ~COggStream() { ogg_stream_clear(&m_state); }
  COggStream(const COggStream&) = delete;
  COggStream& operator=(const COggStream&) = delete;
  ogg_stream_state* get() { return &m_state; }

 private:
  ogg_stream_state m_state{};
};

// An audio packet as it came, and what the repair learnt of it.
struct Packet {
  std::vector<unsigned char> data;
  // Packets before it were lost (a page missing, or failing its CRC).
  bool holeBefore = false;
  std::optional<CPacketClock::Packet> read;
  // Its last sample's granule position in the original; -1 where nothing tells.
  int64_t originalEnd = -1;

  ogg_packet Ogg() {
    ogg_packet op{};
    op.packet = data.data();
    op.bytes = static_cast<long>(data.size());
    return op;
  }
};

// One link of the chain as the repair writes it: the stream its audio is in, read page by
// page from either copy, written afresh.
class CLinkRepair {
 public:
  CLinkRepair(uint32_t serial, OggCodec codec, double startSeconds, IPageSink& out,
              RepairOutcome& outcome)
      : m_nSerial(serial),
        m_codec(codec),
        m_clock(MakePacketClock(codec)),
        m_in(serial),
        m_out(serial),
        m_fStart(startSeconds),
        m_sink(out),
        m_outcome(outcome) {}

  uint32_t Serial() const { return m_nSerial; }
  OggCodec Codec() const { return m_codec; }
  uint32_t NextSequence() const { return m_nNext; }
  bool Ended() const { return m_bEos; }
  int64_t LastGranule() const { return m_nMaxGranule; }
  // Takes the stream's next page; false when the output could not be written.
  bool Take(ogg_page& page);
  // Ends the link: false when it could not be written or is not whole (the reason set).
  bool Finish();
  // The original's play time of the link.
  double Seconds() const { return m_fSeconds; }

 private:
  bool TakeHeader(Packet& packet);
  void TakeAudio(std::vector<Packet>& batch, int64_t granule, bool eos);
  bool Keep(Packet& packet);
  bool Emit(ogg_packet& packet, bool flush);
  bool WritePages(bool flush);
  void Lose(int64_t from, int64_t to);
  double SecondsOf(int64_t granule) const {
    const double rate = m_clock ? static_cast<double>(m_clock->Rate()) : 0;
    if (rate <= 0) return m_fStart;
    return m_fStart +
           std::max<double>(0, static_cast<double>(granule - m_clock->GranuleAtZero()) / rate);
  }

  uint32_t m_nSerial;
  OggCodec m_codec;
  std::unique_ptr<CPacketClock> m_clock;
  COggStream m_in;
  COggStream m_out;
  double m_fStart;
  IPageSink& m_sink;
  RepairOutcome& m_outcome;

  uint32_t m_nNext = 0;
  bool m_bEos = false;
  bool m_bHole = false;
  int m_nHeaders = 0;
  bool m_bHeadersBroken = false;
  int64_t m_nFirstPageAt = -1;
  std::vector<unsigned char> m_firstHeader;
  int64_t m_nMaxGranule = -1;
  // The original's packet before the next one: its end and size (0 before the first
  // audio packet), -1 where unknown.
  int64_t m_nOriginalEnd = 0;
  int64_t m_nOriginalSize = 0;
  // The salvage: the last packet kept, its size and original end, and where it ends.
  bool m_bStarted = false;
  bool m_bBroken = false;
  bool m_bLostAny = false;
  int64_t m_nKeptSize = 0;
  int64_t m_nKeptEnd = 0;
  int64_t m_nGranule = 0;
  // The packet kept last, held until the next one says it was not the stream's last.
  std::optional<Packet> m_held;
  int64_t m_nHeldGranule = 0;
  double m_fSeconds = 0;
};

bool CLinkRepair::Take(ogg_page& page) {
  m_nNext = static_cast<uint32_t>(ogg_page_pageno(&page)) + 1;
  m_bEos = m_bEos || ogg_page_eos(&page) != 0;
  if (!m_clock) return m_sink.Write(page);  // a codec not checked: its pages as they are
  if (ogg_stream_pagein(m_in.get(), &page) != 0) return true;
  const int64_t granule = ogg_page_granulepos(&page);
  std::vector<Packet> batch;
  for (;;) {
    ogg_packet op{};
    const int got = ogg_stream_packetout(m_in.get(), &op);
    if (got == 0) break;
    if (got < 0) {
      m_bHole = true;
      continue;
    }
    Packet packet{std::vector<unsigned char>(op.packet, op.packet + op.bytes), m_bHole, {}, -1};
    m_bHole = false;
    if (m_nHeaders < m_clock->HeaderCount()) {
      if (!TakeHeader(packet)) return false;
      continue;
    }
    batch.push_back(std::move(packet));
  }
  if (!batch.empty()) TakeAudio(batch, granule, ogg_page_eos(&page) != 0);
  if (granule > m_nMaxGranule && m_nHeaders >= m_clock->HeaderCount()) m_nMaxGranule = granule;
  for (Packet& packet : batch) {
    if (!packet.read || packet.originalEnd < 0) {
      ++m_outcome.packetsDropped;
      m_bBroken = m_bLostAny = true;
      continue;
    }
    if (!Keep(packet)) return false;
  }
  return true;
}

bool CLinkRepair::TakeHeader(Packet& packet) {
  ogg_packet op = packet.Ogg();
  // A header lost, or one its library refuses: the link cannot be decoded from this copy.
  if (packet.holeBefore || m_bHeadersBroken || !m_clock->Header(m_nHeaders, op)) {
    m_bHeadersBroken = true;
    return true;
  }
  op.b_o_s = m_nHeaders == 0 ? 1 : 0;
  op.packetno = m_nHeaders;
  if (m_nHeaders == 0) {
    m_nFirstPageAt = m_sink.Offset();
    m_firstHeader = packet.data;
  }
  ++m_nHeaders;
  // The first header alone on the first page, the rest on pages of their own.
  return Emit(op, m_nHeaders == 1 || m_nHeaders == m_clock->HeaderCount());
}

// Where each packet of a page ends in the original: counted on from the packet before it
// where nothing was lost between, else back from the page's granule position, which names
// the end of its last packet.
void CLinkRepair::TakeAudio(std::vector<Packet>& batch, int64_t granule, bool eos) {
  const bool placedByItself = m_codec == OggCodec::kFlac;
  int64_t end = m_nOriginalEnd;
  int64_t size = m_nOriginalSize;
  for (Packet& packet : batch) {
    if (packet.holeBefore) end = size = -1;
    packet.read = m_clock->Read(packet.Ogg());
    if (packet.read && placedByItself && packet.read->start) {
      packet.originalEnd = *packet.read->start + packet.read->size;
    } else if (packet.read && end >= 0 && size >= 0) {
      packet.originalEnd = end + m_clock->Duration(size, packet.read->size);
    }
    end = packet.originalEnd;
    size = packet.read ? packet.read->size : -1;
  }
  Packet& last = batch.back();
  if (!placedByItself && granule >= 0 && last.read) {
    // The stream's last page may end its last packet early: the granule position says where.
    if (last.originalEnd < 0 || (eos && granule < last.originalEnd)) last.originalEnd = granule;
    for (std::size_t i = batch.size() - 1; i > 0; --i) {
      Packet& before = batch[i - 1];
      const Packet& after = batch[i];
      if (before.originalEnd >= 0 || after.originalEnd < 0 || !before.read || !after.read ||
          after.holeBefore)
        break;
      before.originalEnd =
          after.originalEnd - m_clock->Duration(before.read->size, after.read->size);
    }
  }
  m_nOriginalEnd = last.originalEnd;
  m_nOriginalSize = last.read ? last.read->size : -1;
}

bool CLinkRepair::Keep(Packet& packet) {
  if (!m_clock->Decode(packet.Ogg())) {
    ++m_outcome.packetsDropped;
    m_bBroken = m_bLostAny = true;
    return true;
  }
  const int64_t size = packet.read->size;
  int64_t duration = m_clock->Duration(m_bStarted ? m_nKeptSize : 0, size);
  if (m_bBroken || m_bHole || packet.holeBefore) {
    m_bLostAny = true;
    // Vorbis laps the packet with the one kept before it, which was not its neighbour:
    // its samples are not the original's either.
    const bool lapped = m_codec == OggCodec::kVorbis;
    Lose(m_nKeptEnd, lapped ? packet.originalEnd : packet.originalEnd - size);
  } else if (const int64_t played = packet.originalEnd - m_nKeptEnd;
             played >= 0 && played < duration) {
    // The original ended this packet early (the stream's last): so does the salvage.
    duration = played;
  }
  m_bBroken = false;
  m_bStarted = true;
  m_nKeptSize = size;
  m_nKeptEnd = packet.originalEnd;
  m_clock->Restamp(packet.data, m_nGranule);
  if (m_held) {
    ogg_packet op = m_held->Ogg();
    op.granulepos = m_nHeldGranule;
    if (!Emit(op, false)) return false;
  }
  m_nGranule += duration;
  m_nHeldGranule = m_nGranule;
  m_held = std::move(packet);
  return true;
}

void CLinkRepair::Lose(int64_t from, int64_t to) {
  if (to <= from) return;
  const double a = SecondsOf(from);
  const double b = SecondsOf(to);
  if (b <= a) return;
  if (!m_outcome.lost.empty() && m_outcome.lost.back().to >= a) {
    m_outcome.lost.back().to = std::max(m_outcome.lost.back().to, b);
  } else {
    m_outcome.lost.push_back(LostRange{a, b});
  }
}

bool CLinkRepair::Emit(ogg_packet& packet, bool flush) {
  ogg_stream_packetin(m_out.get(), &packet);
  return WritePages(flush);
}

bool CLinkRepair::WritePages(bool flush) {
  ogg_page page{};
  while (flush ? ogg_stream_flush(m_out.get(), &page) != 0
               : ogg_stream_pageout(m_out.get(), &page) != 0) {
    if (!m_sink.Write(page)) return false;
  }
  return true;
}

bool CLinkRepair::Finish() {
  if (!m_clock) return true;
  const int64_t declared = m_clock->DeclaredSamples();
  int64_t originalEnd = std::max({m_nMaxGranule, m_nKeptEnd, declared});
  m_fSeconds = SecondsOf(originalEnd) - m_fStart;
  if (m_nHeaders < m_clock->HeaderCount() || m_bHeadersBroken) {
    m_outcome.reason = "the headers of a stream are lost or damaged";
    return false;
  }
  if (!m_held) {
    m_outcome.reason = "no audio packet of a stream could be kept";
    return false;
  }
  // A cut stream, or packets lost at its end; where nothing tells where the stream ended,
  // the loss runs to an end not known.
  if (!m_bEos || m_bBroken || m_bHole) Lose(m_nKeptEnd, originalEnd);
  if (!m_bEos && declared == 0 &&
      (m_outcome.lost.empty() || m_outcome.lost.back().to < SecondsOf(m_nKeptEnd))) {
    const double at = SecondsOf(m_nKeptEnd);
    m_outcome.lost.push_back(LostRange{at, at, true});
  } else if (!m_bEos && declared == 0) {
    m_outcome.lost.back().openEnded = true;
  }
  m_bLostAny = m_bLostAny || !m_bEos || m_bBroken || m_bHole;
  ogg_packet op = m_held->Ogg();
  op.granulepos = m_nHeldGranule;
  op.e_o_s = 1;
  if (!Emit(op, true)) return false;
  if (m_bLostAny && m_nFirstPageAt >= 0 &&
      m_clock->RewriteFirstHeader(m_firstHeader.data(), static_cast<long>(m_firstHeader.size()),
                                  m_nHeldGranule)) {
    // The first page holds the first header alone: the same page again, its facts the salvage's.
    COggStream first(m_nSerial);
    ogg_packet head{};
    head.packet = m_firstHeader.data();
    head.bytes = static_cast<long>(m_firstHeader.size());
    head.b_o_s = 1;
    ogg_stream_packetin(first.get(), &head);
    ogg_page page{};
    if (ogg_stream_flush(first.get(), &page) != 0 && !m_sink.Rewrite(m_nFirstPageAt, page))
      return false;
  }
  return true;
}

// The repair of a whole file: its pages in order, from the damaged copy and, where that
// lacks them, from the other.
class CRepair {
 public:
  CRepair(const CReadFile& damaged, const CReadFile* twin, IPageSink& out)
      : m_damaged(damaged), m_sink(out) {
    if (twin != nullptr) m_twin.emplace(*twin);
  }

  RepairOutcome Run() {
    bool ok = !m_damaged.ReadFailed();
    if (!ok) m_outcome.reason = "a read of the file failed";
    ok = ok && Pass(m_damaged, 0, false);
    // What the damaged copy lacks at its end, the other copy may have.
    if (ok && m_twin) ok = Pass(*m_twin, TwinResume(), true);
    if (ok && m_link) ok = EndLink();
    if (ok && (m_nLinks == 0 || m_bStrays)) {
      m_outcome.reason =
          m_bStrays ? "the headers of a stream are lost or damaged" : "no Ogg stream";
      ok = false;
    }
    m_outcome.whole = ok && m_outcome.reason.empty();
    if (!m_outcome.whole && m_outcome.reason.empty())
      m_outcome.reason = "the salvage could not be written";
    double lost = 0;
    for (const LostRange& range : m_outcome.lost) lost += range.to - range.from;
    m_outcome.totalSeconds = m_fSeconds;
    m_outcome.keptSeconds = std::max(0.0, m_fSeconds - lost);
    return m_outcome;
  }

 private:
  bool Pass(const CCopy& copy, std::size_t from, bool healing) {
    const std::vector<PageInfo>& pages = copy.Pages();
    for (std::size_t i = from; i < pages.size(); ++i) {
      if (!Dispatch(copy, i, healing)) return false;
    }
    return true;
  }

  // Where in the other copy the damaged one's pages ended: after the page of the last
  // stream's that was taken last; the whole copy when nothing was.
  std::size_t TwinResume() const {
    if (!m_link || m_link->NextSequence() == 0) return m_nLinks == 0 ? 0 : m_twin->Pages().size();
    const auto at = m_twin->Find(m_link->Serial(), m_link->NextSequence() - 1);
    return at ? *at + 1 : m_twin->Pages().size();
  }

  bool Dispatch(const CCopy& copy, std::size_t index, bool healing) {
    const PageInfo& info = copy.Pages()[index];
    if (info.bos) {
      if (m_link && info.serial == m_link->Serial() && !m_link->Ended()) return Drop();
      if (m_link && !m_bPastBos) return Drop();  // another stream of the link: not its audio
      if (m_link && !m_link->Ended() && StreamGoesOn(copy, index)) return Drop();
      if (m_link && !EndLink()) return false;
      return BeginLink(copy, info);
    }
    if (m_link && info.serial == m_link->Serial()) return TakePage(copy, index, healing);
    // A page of a stream whose beginning this copy lost: the other copy may hold it.
    if (!healing && m_twin && (!m_link || m_link->Ended() || !StreamGoesOn(copy, index))) {
      if (const auto first = m_twin->Find(info.serial, 0); first && m_twin->Pages()[*first].bos) {
        if (m_link && !EndLink()) return false;
        if (!BeginLink(*m_twin, m_twin->Pages()[*first])) return false;
        ++m_outcome.pagesHealed;
        return TakePage(copy, index, healing);
      }
    }
    // Pages of a stream that began in no link this copy holds: what they hold is lost.
    if (!m_link || m_link->Ended() || !StreamGoesOn(copy, index)) m_bStrays = true;
    return Drop();
  }

  bool StreamGoesOn(const CCopy& copy, std::size_t index) const {
    const std::vector<PageInfo>& pages = copy.Pages();
    for (std::size_t i = index + 1; i < pages.size() && i <= index + kLookAhead; ++i) {
      if (!pages[i].bos && pages[i].serial == m_link->Serial() &&
          pages[i].sequence >= m_link->NextSequence())
        return true;
    }
    return false;
  }

  bool Drop() {
    ++m_outcome.pagesDropped;
    return true;
  }

  // A page is not there again as it was found: the repair stops.
  bool Changed() {
    m_outcome.reason = kChangedWhileRead;
    return false;
  }

  bool BeginLink(const CCopy& copy, const PageInfo& info) {
    ogg_page page{};
    if (!copy.Read(info, m_bytes, page)) return Changed();
    ogg_stream_state probe{};
    ogg_stream_init(&probe, static_cast<int>(info.serial));
    ogg_packet op{};
    OggCodec codec = OggCodec::kUnknown;
    if (ogg_stream_pagein(&probe, &page) == 0 && ogg_stream_packetout(&probe, &op) == 1)
      codec = CodecOfFirstPacket(op.packet, static_cast<std::size_t>(op.bytes));
    ogg_stream_clear(&probe);
    m_link = std::make_unique<CLinkRepair>(info.serial, codec, m_fSeconds, m_sink, m_outcome);
    m_bPastBos = false;
    ++m_nLinks;
    return m_link->Take(page);
  }

  bool EndLink() {
    const bool ok = m_link->Finish();
    m_fSeconds += m_link->Seconds();
    m_link.reset();
    return ok;
  }

  bool TakePage(const CCopy& copy, std::size_t index, bool healing) {
    const PageInfo& info = copy.Pages()[index];
    m_bPastBos = true;
    const uint32_t next = m_link->NextSequence();
    if (m_link->Ended() || info.sequence < next) return Drop();
    if (healing) ++m_outcome.pagesHealed;
    const bool misnumbered = info.sequence > next && NextOfStream(copy, index) == next + 1;
    if (!healing && m_twin && info.sequence > next && !misnumbered && !Heal(info)) return false;
    ogg_page page{};
    if (!copy.Read(info, m_bytes, page)) return Changed();
    if (misnumbered) {
      // The stream's next page goes on from the number due: this page's own is wrong, not
      // a page lost before it.
      for (int i = 0; i < 4; ++i)
        m_bytes[18 + static_cast<std::size_t>(i)] = static_cast<unsigned char>(next >> (8 * i));
    }
    return m_link->Take(page);
  }

  // The sequence number of the stream's page after page `index` of `copy`, if one follows.
  std::optional<uint32_t> NextOfStream(const CCopy& copy, std::size_t index) const {
    const std::vector<PageInfo>& pages = copy.Pages();
    for (std::size_t i = index + 1; i < pages.size() && i <= index + kLookAhead; ++i) {
      if (pages[i].serial == pages[index].serial && !pages[i].bos) return pages[i].sequence;
    }
    return std::nullopt;
  }

  // The pages between the stream's last and `info` from the other copy, where it holds
  // them: each of the stream, its number in turn, its granule position between theirs.
  bool Heal(const PageInfo& info) {
    std::vector<unsigned char> bytes;
    for (uint32_t s = m_link->NextSequence(); s < info.sequence; ++s) {
      const auto at = m_twin->Find(info.serial, s);
      if (!at) continue;
      const PageInfo& other = m_twin->Pages()[*at];
      if (other.granule >= 0 && ((info.granule >= 0 && other.granule > info.granule) ||
                                 other.granule < m_link->LastGranule()))
        continue;
      ogg_page page{};
      if (!m_twin->Read(other, bytes, page)) return Changed();
      ++m_outcome.pagesHealed;
      if (!m_link->Take(page)) return false;
    }
    return true;
  }

  CCopy m_damaged;
  std::optional<CCopy> m_twin;
  IPageSink& m_sink;
  RepairOutcome m_outcome;
  std::unique_ptr<CLinkRepair> m_link;
  bool m_bPastBos = false;
  bool m_bStrays = false;
  int m_nLinks = 0;
  double m_fSeconds = 0;
  std::vector<unsigned char> m_bytes;
};

}  // namespace

RepairOutcome RepairOgg(const CReadFile& damaged, const CReadFile* twin, IPageSink& out) {
  CRepair repair(damaged, twin, out);
  return repair.Run();
}
