#include "filetest/codecs/any_ogg_check.h"

#include <vorbis/vorbisfile.h>

#include <cctype>

#include "platform/path_bytes.h"
#include "text/position_text.h"

namespace {

// Neighbouring links of Vorbis or of Opus go to their library together, which follows
// a chain itself (and, for Vorbis, counts only the last link's end-of-stream page, as a
// whole Vorbis file gets). libFLAC decodes one stream only, so FLAC links stay apart.
bool JoinsPrevious(const OggLink& previous, const OggLink& link) {
  return previous.codec == link.codec &&
         (link.codec == OggCodec::kVorbis || link.codec == OggCodec::kOpus);
}

// A name ending in ".opus" in any letter case. (scan/'s IsOggFile knows the names too, a
// layer above this one.)
bool IsOpusName(const std::filesystem::path& path) {
  std::string extension = PathToUtf8(path.extension());
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == ".opus";
}

// The play time of a link that no library here decodes, by its last granule position,
// so that the positions of faults in links after it count it: 0 where its codec does not
// count samples in granule positions at a rate its headers give. A checked link's time is
// its library's to say, unless that library declined it.
double SecondsByGranule(const OggLink& link, bool declined = false) {
  uint32_t rate = IsCheckedCodec(link.codec) ? 0 : link.rate;
  if (declined && link.codec == OggCodec::kOpus) rate = kOpusRate;
  if (rate == 0 || link.lastGranule <= 0) return 0;
  return static_cast<double>(link.lastGranule) / rate;
}

}  // namespace

CAnyOggCheck::CAnyOggCheck(bool quickVorbis) : m_bQuickVorbis(quickVorbis) {
  m_hash.SetEveryCodec(true);
  SetStrict(false);
}

void CAnyOggCheck::SetStrict(bool strict) {
  m_bStrict = strict;
  m_reads.Set(&m_hash, strict ? &m_feed : nullptr);
  m_source.Observe(&m_reads);
  m_vorbis.Observe(&m_reads);
  m_quick.Observe(&m_reads);
}

std::vector<StructureWarning> CAnyOggCheck::Warnings() const { return m_feed.Warnings(); }

int64_t CAnyOggCheck::Suppressed() const { return m_feed.Suppressed(); }

bool CAnyOggCheck::Open(std::filesystem::path path) {
  const bool opened = OpenChecked(path);
  // A file that cannot be read at all has nothing to hold to the rules.
  if (!opened && m_bStrict) m_feed.Refused(path, m_strError);
  return opened;
}

bool CAnyOggCheck::OpenChecked(const std::filesystem::path& path) {
  Close();
  if (!m_source.Open(path)) {
    m_strError = m_source.OpenFailure();
    return false;
  }
  // The map's pass is not fed to the rules: a file of Vorbis alone goes to libvorbisfile,
  // which feeds them once more from the start, and the libraries of the other codecs read
  // what the rules need as they decode.
  m_source.Observe(nullptr);
  const std::vector<OggLink> links = MapOggLinks(m_source);
  m_source.Observe(&m_reads);
  m_codec = links.front().codec;
  bool mixed = false;
  std::size_t checkedLinks = 0;
  for (const OggLink& link : links) {
    mixed = mixed || link.codec != m_codec;
    const std::string name = CodecName(link.codec);
    if (("+" + m_strCodecs + "+").find("+" + name + "+") == std::string::npos) {
      m_strCodecs += m_strCodecs.empty() ? name : "+" + name;
    }
    if (!m_ranges.empty() && JoinsPrevious(m_ranges.back().link, link)) {
      m_ranges.back().link.end = link.strayAt >= 0 ? link.strayAt : link.end;
      m_ranges.back().link.eos = link.eos;
      m_ranges.back().lostBeforeAudio.push_back(link.lostBeforeAudio);
      m_ranges.back().seconds += SecondsByGranule(link);
      m_ranges.back().stray = m_ranges.back().stray || link.strayAt >= 0;
    } else {
      m_ranges.push_back(Range{link,
                               SecondsByGranule(link),
                               0,
                               checkedLinks,
                               {link.lostBeforeAudio},
                               false,
                               link.strayAt >= 0});
      // Its library is not shown what no library can decode.
      if (link.strayAt >= 0) m_ranges.back().link.end = link.strayAt;
    }
    if (IsCheckedCodec(link.codec)) ++checkedLinks;
  }
  // What begins with no Ogg stream is refused by the library its name promises: an
  // ".opus" by opusfile, anything else by libvorbisfile.
  const bool namedOpus = m_codec == OggCodec::kNone && IsOpusName(path);
  if (namedOpus) m_ranges.front().link.codec = OggCodec::kOpus;
  if (!mixed && !namedOpus && (m_codec == OggCodec::kVorbis || m_codec == OggCodec::kNone)) {
    m_source.Close();
    m_ranges.clear();
    m_bWhole = true;
    bool opened = false;
    if (m_bQuickVorbis) {
      opened = m_quick.Open(path);
      m_strError = m_quick.m_strError;
      m_nTotalSamples = m_quick.m_nTotalSamples;
    } else {
      opened = m_vorbis.Open(path);
      m_strError = m_vorbis.m_strError;
      m_nTotalSamples = m_vorbis.m_nTotalSamples;
    }
    OggVorbis_File& vf = m_bQuickVorbis ? m_quick.Vf() : m_vorbis.Vf();
    if (opened) m_hash.Opened(vf.offset);
    // What libvorbisfile read while opening, before a page loop of ours takes over.
    if (opened && m_bStrict) m_feed.Opened(static_cast<std::size_t>(vf.links), vf.offset);
    return opened;
  }
  m_feed.Opened(checkedLinks);
  // Each part is opened once here for the totals; a part after the first that fails to
  // open is a fault where it begins.
  for (m_nPart = 0; m_nPart < m_ranges.size(); ++m_nPart) {
    Range& range = m_ranges[m_nPart];
    if (!IsCheckedCodec(range.link.codec)) continue;
    if (OpenPart(m_nPart)) {
      range.seconds = Part().TotalSeconds();
      range.samples = Part().TotalSamples();
      m_nTotalSamples += range.samples;
    } else if (Part().Error() == kNotImplemented) {
      range.seconds = 0;
      for (const OggLink& link : links) {
        if (link.begin >= range.link.begin && link.begin < range.link.end)
          range.seconds += SecondsByGranule(link, true);
      }
      // What its library declines to decode says nothing of the file: left unchecked, as
      // a codec no library here decodes is.
      range.declined = true;
      m_bDeclined = true;
      for (std::size_t i = 0; i < range.lostBeforeAudio.size(); ++i)
        m_feed.NotDecoded(range.checkedBefore + i);
    } else if (m_nPart == 0) {
      const std::string reason = Part().Error();
      std::string codecs = std::move(m_strCodecs);
      Close();
      m_strError = reason;
      m_strCodecs = std::move(codecs);
      return false;
    }
    ClosePart();
  }
  bool anyChecked = false;
  for (const Range& range : m_ranges) {
    if (Decodes(range)) {
      anyChecked = true;
    } else {
      m_skipped.push_back(range.link.codec);
    }
  }
  if (!anyChecked) {
    // Its pages are still held to the rules of Ogg, while the file is open.
    if (m_bStrict) m_feed.FinishUndecoded();
    m_bChecked = false;
    m_ranges.clear();
    m_source.Close();
    return true;
  }
  m_nPart = 0;
  return true;
}

int CAnyOggCheck::DecodeStep() {
  const int result = DecodeChecked();
  if (m_bStrict) m_feed.Stepped(result, StepLink());
  if (result == 0 && m_bChecked) m_digest = m_hash.Finish();
  return result;
}

std::size_t CAnyOggCheck::StepLink() {
  if (m_bWhole) {
    const int link = (m_bQuickVorbis ? m_quick.Vf() : m_vorbis.Vf()).current_link;
    return static_cast<std::size_t>(link < 0 ? 0 : link);
  }
  if (m_nPart >= m_ranges.size()) return SIZE_MAX;
  return m_ranges[m_nPart].checkedBefore + static_cast<std::size_t>(Part().Link());
}

int CAnyOggCheck::DecodeChecked() {
  if (m_bWhole && m_bQuickVorbis) {
    const int result = m_quick.DecodeStep();
    if (result < 0) m_strError = m_quick.m_strError;
    return result;
  }
  if (m_bWhole) {
    const int result = m_vorbis.DecodeStep();
    if (result < 0) m_strError = m_vorbis.m_strError;
    return result;
  }
  if (m_bChecked && m_ranges.empty()) {
    m_strError = kNotOpen;
    return kLinkOpenFault;
  }
  for (; m_nPart < m_ranges.size(); ++m_nPart) {
    if (!Decodes(m_ranges[m_nPart])) {
      m_fOffset += m_ranges[m_nPart].seconds;
      if (m_ranges[m_nPart].stray) return StrayFault();
      continue;
    }
    if (!m_bPartOpen && !OpenPart(m_nPart)) {
      m_strError = FaultText(Part().Error(), m_fOffset);
      return kLinkOpenFault;
    }
    const int result = Part().DecodeStep();
    if (result < 0) m_strError = PartErrorInFile();
    if (result != 0) return result;
    m_fOffset += Part().PositionSeconds();
    ClosePart();
    if (m_ranges[m_nPart].stray) return StrayFault();
  }
  return 0;
}

// The pages of a stream whose first page was lost follow the part: nothing can decode
// them, and nothing says what they held.
int CAnyOggCheck::StrayFault() {
  m_strError = FaultText(kStrayPages, m_fOffset);
  m_nPart = m_ranges.size();
  return kLinkOpenFault;
}

void CAnyOggCheck::Close() {
  if (m_bPartOpen) ClosePart();
  m_feed.Reset();
  m_hash.Reset();
  m_digest.reset();
  m_vorbis.Close();
  m_quick.Close();
  m_strCodecs.clear();
  m_source.Close();
  m_ranges.clear();
  m_skipped.clear();
  m_nPart = 0;
  m_fOffset = 0;
  m_bWhole = false;
  m_bChecked = true;
  m_bMd5Missing = false;
  m_bDeclined = false;
  m_codec = OggCodec::kNone;
  m_nTotalSamples = 0;
  m_strError.clear();
}

double CAnyOggCheck::PositionSeconds() {
  if (m_bWhole && m_bQuickVorbis) return m_quick.PositionSeconds();
  if (m_bWhole) return m_vorbis.PositionSeconds();
  return m_fOffset + (m_bPartOpen ? Part().PositionSeconds() : 0);
}

double CAnyOggCheck::TotalSeconds() {
  if (m_bWhole && m_bQuickVorbis) return m_nTotalSamples > 0 ? m_quick.TotalSeconds() : 0;
  if (m_bWhole) return m_nTotalSamples > 0 ? m_vorbis.TotalSeconds() : 0;
  double total = 0;
  for (const Range& range : m_ranges) total += range.seconds;
  return total;
}

ILinkCheck& CAnyOggCheck::CheckOf(OggCodec codec) {
  switch (codec) {
    case OggCodec::kOpus: return m_opus;
    case OggCodec::kFlac: return m_flac;
    default: return m_vorbisLinks;
  }
}

bool CAnyOggCheck::OpenPart(std::size_t index) {
  const Range& part = m_ranges[index];
  OggLink link = part.link;
  // A link that another follows has all its audio whatever its last page's flag says:
  // only the file's last link can be cut short. --strict names the missing flag.
  if (index + 1 < m_ranges.size()) link.eos = true;
  m_bPartOpen = CheckOf(link.codec).OpenRange(m_source, link, part.lostBeforeAudio);
  return m_bPartOpen;
}

void CAnyOggCheck::ClosePart() {
  if (!m_bPartOpen) return;
  m_bPartOpen = false;
  m_bMd5Missing = m_bMd5Missing || Part().Md5Missing();
  Part().Close();
}

std::string CAnyOggCheck::PartErrorInFile() {
  // A part's positions count from its own start.
  const std::string& name = Part().FaultName();
  return name.empty() ? Part().Error() : FaultText(name, m_fOffset + Part().PositionSeconds());
}
