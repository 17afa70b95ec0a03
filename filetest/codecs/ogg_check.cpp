#include "filetest/codecs/ogg_check.h"

#include <algorithm>
#include <memory>
#include <new>

#include "filetest/bytes/bounded_file.h"
#include "filetest/bytes/ogg_links.h"
#include "platform/path_bytes.h"
#include "text/path_text.h"

namespace {

// libvorbisfile reads a link's byte range through these, as it reads a whole file through
// bounded_file's view.
std::size_t RangeRead(void* ptr, std::size_t size, std::size_t count, void* source) {
  if (size == 0) return 0;
  const long got =
      static_cast<COggRange*>(source)->Read(static_cast<unsigned char*>(ptr), size * count);
  return got <= 0 ? 0 : static_cast<std::size_t>(got) / size;
}

int RangeSeek(void* source, ogg_int64_t offset, int whence) {
  return static_cast<COggRange*>(source)->Seek(offset, whence) ? 0 : -1;
}

long RangeTell(void* source) { return static_cast<long>(static_cast<COggRange*>(source)->pos); }

int RangeClose(void* source) {
  delete static_cast<COggRange*>(source);
  return 0;
}

}  // namespace

COggCheck::~COggCheck() { Close(); }

bool COggCheck::Open(std::filesystem::path path) {
  Close();
  // The whole path, however long: a cut one names nothing, or another file.
  std::unique_ptr<CReadFile> file(new (std::nothrow) CReadFile);
  if (file == nullptr) {
    m_strError = OpenFileReasonOf(std::make_error_code(std::errc::not_enough_memory));
    return false;
  }
  if (const std::error_code error = file->OpenRegular(PathToUtf8(path))) {
    m_strError = OpenFileReasonOf(error);
    return false;
  }
  const int result =
      OpenOggView(file.get(), &m_vf, m_pObserver, m_bObserveReads, m_nMostSeekableBytes);
  if (result != 0) {
    m_strError = OpenFailureName(result);
    return false;
  }
  // The view now owns the file, and m_vf the view.
  const int64_t bytes = file->Size();
  const NativeFile native = file.release()->Native();
  m_bOpen = true;
  const ReadAtFunction readAt = [native](unsigned char* buffer, std::size_t n, int64_t offset) {
    return static_cast<long>(ReadAt(native, buffer, n, offset));
  };
  if (m_vf.seekable == 0) {
    m_readAt = readAt;
    m_nStreamEnd = OggViewEnd(native, bytes);
  }
  m_nTotalSamples = std::max<int64_t>(ov_pcm_total(&m_vf, -1), 0);  // < 0: not seekable
  m_bFirstAudioLost = PageLostAfterHeaders(readAt, 0, m_vf.dataoffsets[0],
                                           static_cast<uint32_t>(m_vf.serialnos[0]));
  return true;
}

bool COggCheck::OpenRange(const COggSource& source, const OggLink& link,
                          const std::vector<bool>& lostBeforeAudio) {
  Close();
  auto* range = new (std::nothrow) COggRange{&source, link.begin, link.end, 0};
  if (range == nullptr) {
    m_strError = OpenFailureName(OV_EFAULT);
    return false;
  }
  const ov_callbacks callbacks = VorbisCallbacks(
      range->Size(), {RangeRead, RangeSeek, RangeClose, RangeTell}, m_nMostSeekableBytes);
  if (!OpenStream(range, callbacks)) {
    delete range;
    return false;
  }
  // A range read front to back has no length from libvorbisfile; its last granule
  // position counts its samples, as the seekable open would have found.
  if (m_vf.seekable == 0) m_nTotalSamples = std::max<int64_t>(link.lastGranule, 0);
  m_bFirstAudioLost = !lostBeforeAudio.empty() && lostBeforeAudio.front();
  m_bEndsWhole = link.eos;
  return true;
}

bool COggCheck::OpenStream(void* source, ov_callbacks callbacks) {
  const int result = ov_open_callbacks(source, &m_vf, nullptr, 0, callbacks);
  if (result != 0) {
    m_strError = OpenFailureName(result);
    return false;
  }
  m_bOpen = true;
  m_nTotalSamples = std::max<int64_t>(ov_pcm_total(&m_vf, -1), 0);  // < 0: not seekable
  return true;
}

double COggCheck::TotalSeconds() {
  if (m_vf.seekable != 0) return ov_time_total(&m_vf, -1);
  const long rate = m_vf.vi == nullptr ? 0 : m_vf.vi->rate;
  return rate <= 0 ? 0 : static_cast<double>(m_nTotalSamples) / static_cast<double>(rate);
}

int COggCheck::DecodeStep() {
  long result = ov_read_float(&m_vf, &m_pcm, kSamplesPerStep, &m_nBitstream);
  if (m_vf.seekable == 0) result = StreamedResult(result);
  return TakeResult(result);
}

long COggCheck::StreamedResult(long result) {
  if (m_vf.current_link != m_nStreamedLink) {
    m_nStreamedLink = m_vf.current_link;
    m_fLinksBefore += m_fReadTo;
    m_fReadTo = 0;
    m_bLinkBegun = false;
    // Read front to back, libvorbisfile hands a new link's last header page to its stream
    // a second time, and says the repeat is a hole. A page lost after the headers is a
    // hole of its own, on the next read.
    if (result == OV_HOLE) result = ov_read_float(&m_vf, &m_pcm, kSamplesPerStep, &m_nBitstream);
  }
  if (result > 0) {
    m_bLinkBegun = true;
    m_fReadTo = ov_time_tell(&m_vf);
  }
  // What the seekable open refuses, a chain whose later link cannot begin (its first page
  // lost, its headers damaged), libvorbisfile meets here as an unnamed failure, or skips:
  // then the file's last page is of a stream that it never decoded.
  if (result < 0 && result != OV_HOLE && result != OV_EBADLINK) return kChainUnreadable;
  if (result == 0 && m_readAt) {
    const std::optional<uint32_t> last = LastPageSerial(m_readAt, 0, m_nStreamEnd);
    if (last && *last != static_cast<uint32_t>(m_vf.current_serialno)) return kChainUnreadable;
  }
  return result;
}

double COggCheck::PositionSeconds() {
  if (m_fFaultAt >= 0) return m_fFaultAt;
  if (m_vf.seekable != 0) return ov_time_tell(&m_vf);
  // Before a link's first audio, libvorbisfile still counts the link before it.
  return m_fLinksBefore + (m_bLinkBegun ? ov_time_tell(&m_vf) : 0);
}

int COggCheck::TakeResult(long readResult) {
  int result = static_cast<int>(readResult);
  // Nothing before that page can be decoded: the first read meets the hole, whatever
  // libvorbisfile makes of the pages after it (a short stream may even end cleanly).
  if (m_bFirstAudioLost && result >= 0) {
    m_fFaultAt = 0;
    result = OV_HOLE;
  }
  // Only the last link's end-of-stream page counts: the flag is cleared at every change
  // of link.
  if (result == 0 && m_vf.os.e_o_s == 0 && !m_bEndsWhole) result = kTruncated;
  if (const char* name = DecodeFaultName(result); *name != '\0') {
    m_strFault = name;
    m_strError = FaultText(name, PositionSeconds());
  }
  return result;
}

void COggCheck::Close() {
  m_nTotalSamples = 0;
  m_bFirstAudioLost = false;
  m_bEndsWhole = false;
  m_fFaultAt = -1;
  m_nStreamedLink = 0;
  m_bLinkBegun = false;
  m_fLinksBefore = 0;
  m_fReadTo = 0;
  m_readAt = nullptr;
  m_nStreamEnd = 0;
  m_strError.clear();
  m_strFault.clear();
  if (m_bOpen) ov_clear(&m_vf);  // closes the stream too
  m_bOpen = false;
}

const char* DecodeFaultName(int result) {
  switch (result) {
    case OV_EBADLINK: return "OV_EBADLINK";
    case OV_HOLE: return "OV_HOLE";
    case kTruncated: return "TRUNCATED";
    case kChainUnreadable: return "OV_EREAD";
    default: return "";
  }
}

std::string DecodeFaultText(int result, double seconds) {
  const char* name = DecodeFaultName(result);
  return *name == '\0' ? std::string() : FaultText(name, seconds);
}

const char* OpenFailureName(int ovOpenResult) {
  switch (ovOpenResult) {
    case OV_EVERSION: return "OV_EVERSION";
    case OV_EBADHEADER: return "OV_EBADHEADER";
    case OV_ENOTVORBIS: return "OV_ENOTVORBIS";
    case OV_EFAULT: return "OV_EFAULT";
    case OV_EREAD: return "OV_EREAD";
    default: return "UNKNOWN";
  }
}
