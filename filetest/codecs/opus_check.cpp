#include "filetest/codecs/opus_check.h"

#include <opus/opusfile.h>

#include <algorithm>
#include <climits>

#include "filetest/bytes/ogg_links.h"
#include "filetest/codecs/ogg_check.h"
#include "text/position_text.h"

namespace {

int RangeRead(void* stream, unsigned char* ptr, int nbytes) {
  if (nbytes <= 0) return 0;
  const long got = static_cast<COggRange*>(stream)->Read(ptr, static_cast<std::size_t>(nbytes));
  return got < 0 ? -1 : static_cast<int>(got);
}

int RangeSeek(void* stream, opus_int64 offset, int whence) {
  return static_cast<COggRange*>(stream)->Seek(offset, whence) ? 0 : -1;
}

opus_int64 RangeTell(void* stream) { return static_cast<COggRange*>(stream)->pos; }

// The source outlives the opusfile handle; closing it is the check's.
const OpusFileCallbacks kRangeCallbacks{RangeRead, RangeSeek, RangeTell, nullptr};

}  // namespace

void COpusCheck::FreeFile::operator()(OggOpusFile* file) const { op_free(file); }

COpusCheck::COpusCheck() = default;

COpusCheck::~COpusCheck() { Close(); }

bool COpusCheck::Open(std::filesystem::path path) {
  Close();
  if (!m_source.Open(path)) {
    m_strError = m_source.OpenFailure();
    return false;
  }
  const std::vector<OggLink> links = MapOggLinks(m_source);
  OggLink whole = links.back();
  whole.begin = 0;
  std::vector<bool> lostBeforeAudio;
  for (const OggLink& link : links) lostBeforeAudio.push_back(link.lostBeforeAudio);
  if (OpenRange(m_source, whole, lostBeforeAudio)) return true;
  m_source.Close();
  return false;
}

bool COpusCheck::OpenRange(const COggSource& source, const OggLink& link,
                           const std::vector<bool>& lostBeforeAudio) {
  m_pFile.reset();
  m_lostBeforeAudio = lostBeforeAudio;
  m_nTotalSamples = 0;
  m_nFaultAt = -1;
  m_strError.clear();
  m_strFault.clear();
  m_range = COggRange{&source, link.begin, link.end, 0};
  int error = 0;
  m_pFile.reset(op_open_callbacks(&m_range, &kRangeCallbacks, nullptr, 0, &error));
  if (m_pFile == nullptr) {
    m_strError = OpusCodeName(error);
    return false;
  }
  m_bLastLinkEnds = link.eos;
  // opusfile hands back at most a buffer's worth of the link it is in, so a buffer sized
  // for the link with the fewest channels keeps every step within kSamplesPerStep.
  int fewest = INT_MAX;
  for (int li = 0, links = op_link_count(m_pFile.get()); li != links; ++li) {
    fewest = std::min(fewest, op_channel_count(m_pFile.get(), li));
  }
  m_nFloatsPerStep = kSamplesPerStep * std::max(fewest, 1);
  m_pcm.resize(static_cast<std::size_t>(m_nFloatsPerStep));
  m_nTotalSamples = std::max<int64_t>(op_pcm_total(m_pFile.get(), -1), 0);
  return true;
}

int COpusCheck::Fault(const char* name, int result) {
  m_strFault = name;
  m_strError = FaultText(name, PositionSeconds());
  return result;
}

int COpusCheck::DecodeStep() {
  OggOpusFile* file = m_pFile.get();
  if (file == nullptr) {
    m_strError = kNotOpen;
    return OP_EINVAL;
  }
  // After a hole opusfile tells the position of the page beyond it; the fault is where
  // the audio before it ends.
  const int64_t before = op_pcm_tell(file);
  const int result = op_read_float(file, m_pcm.data(), m_nFloatsPerStep, &m_nLink);
  // opusfile counts a link's pages afresh where its audio begins, so it does not see that
  // page lost: the hole is where the link begins. A link whose audio was all on that page
  // ends before it hands out anything.
  for (int link = m_nLink; result >= 0 && link < static_cast<int>(m_lostBeforeAudio.size());
       ++link) {
    if (!m_lostBeforeAudio[static_cast<std::size_t>(link)]) continue;
    if (link != m_nLink && result > 0) break;
    m_nFaultAt = 0;
    for (int li = 0; li < link; ++li) m_nFaultAt += std::max<int64_t>(op_pcm_total(file, li), 0);
    return Fault(OpusCodeName(OP_HOLE), OP_HOLE);
  }
  // opusfile drops a packet it cannot parse (a bad table of contents) without a word, and
  // times what follows by the page's granule position: play time then runs ahead of the
  // samples handed out.
  if (result > 0 && op_pcm_tell(file) - before <= result) return result;
  if (result > 0) {
    m_nFaultAt = std::max<int64_t>(before, 0);
    return Fault(OpusCodeName(OP_EBADPACKET), OP_EBADPACKET);
  }
  if (result == 0 && m_bLastLinkEnds) return 0;
  if (result == 0) return Fault("TRUNCATED", kTruncated);
  m_nFaultAt = std::max<int64_t>(before, 0);
  return Fault(OpusCodeName(result), result);
}

void COpusCheck::Close() {
  m_pFile.reset();
  m_source.Close();
  m_nTotalSamples = 0;
  m_strError.clear();
  m_strFault.clear();
}

double COpusCheck::PositionSeconds() {
  if (m_pFile == nullptr) return 0;
  const int64_t at =
      m_nFaultAt >= 0 ? m_nFaultAt : std::max<int64_t>(op_pcm_tell(m_pFile.get()), 0);
  return static_cast<double>(at) / kOpusRate;
}

double COpusCheck::TotalSeconds() { return static_cast<double>(m_nTotalSamples) / kOpusRate; }

const char* OpusCodeName(int code) {
  switch (code) {
    case OP_HOLE: return "OP_HOLE";
    case OP_EREAD: return "OP_EREAD";
    case OP_EFAULT: return "OP_EFAULT";
    case OP_EIMPL: return "OP_EIMPL";
    case OP_EINVAL: return "OP_EINVAL";
    case OP_ENOTFORMAT: return "OP_ENOTFORMAT";
    case OP_EBADHEADER: return "OP_EBADHEADER";
    case OP_EVERSION: return "OP_EVERSION";
    case OP_ENOTAUDIO: return "OP_ENOTAUDIO";
    case OP_EBADPACKET: return "OP_EBADPACKET";
    case OP_EBADLINK: return "OP_EBADLINK";
    case OP_ENOSEEK: return "OP_ENOSEEK";
    case OP_EBADTIMESTAMP: return "OP_EBADTIMESTAMP";
    default: return "UNKNOWN";
  }
}
