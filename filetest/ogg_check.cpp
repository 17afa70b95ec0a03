#include "filetest/ogg_check.h"

#include <algorithm>
#include <memory>
#include <new>

#include "filetest/bounded_file.h"
#include "filetest/ogg_links.h"
#include "platform/path_bytes.h"
#include "text/path_text.h"

COggCheck::~COggCheck() { Close(); }

bool COggCheck::Open(std::filesystem::path path) {
  Close();
  const std::string cut = CutToUtf16Units(PathToUtf8(path), kMaxPathUnits);
  std::unique_ptr<CReadFile> file(new (std::nothrow) CReadFile);
  if (file == nullptr || !file->OpenRegular(cut)) {
    m_strError = "OPENFILE";
    return false;
  }
  const int result = OpenOggView(file.get(), &m_vf, m_pObserver, m_bObserveReads);
  if (result != 0) {
    m_strError = OpenFailureName(result);
    return false;
  }
  m_pFile = file.release();
  m_nTotalSamples = ov_pcm_total(&m_vf, -1);
  const NativeFile native = m_pFile->Native();
  m_bFirstAudioLost = PageLostAfterHeaders(
      [native](unsigned char* buffer, std::size_t size, int64_t offset) {
        return static_cast<long>(ReadAt(native, buffer, size, offset));
      },
      0, m_vf.dataoffsets[0], static_cast<uint32_t>(m_vf.serialnos[0]));
  return true;
}

int COggCheck::DecodeStep() {
  return TakeResult(ov_read_float(&m_vf, &m_pcm, kSamplesPerStep, &m_nBitstream));
}

int COggCheck::TakeResult(long readResult) {
  m_nLastResult = static_cast<int>(readResult);
  // Nothing before that page can be decoded: the first read meets the hole, whatever
  // libvorbisfile makes of the pages after it (a short stream may even end cleanly).
  if (m_bFirstAudioLost && m_nLastResult >= 0) {
    m_fFaultAt = 0;
    m_nLastResult = OV_HOLE;
    m_strError = DecodeFaultText(OV_HOLE, m_fFaultAt);
    return m_nLastResult;
  }
  // Only the last link's end-of-stream page counts: the flag is cleared at every change
  // of link.
  const bool truncated = m_nLastResult == 0 && m_vf.os.e_o_s == 0 && !m_bEndsByNextLink;
  if (truncated) m_nLastResult = kTruncated;
  if (truncated || m_nLastResult == OV_EBADLINK || m_nLastResult == OV_HOLE) {
    m_strError = DecodeFaultText(m_nLastResult, ov_time_tell(&m_vf));
  }
  return m_nLastResult;
}

void COggCheck::Close() {
  m_nTotalSamples = 0;
  m_bFirstAudioLost = false;
  m_bEndsByNextLink = false;
  m_fFaultAt = -1;
  m_strError.clear();
  if (m_pFile != nullptr) {
    ov_clear(&m_vf);  // closes the stream too
    m_pFile = nullptr;
  }
}

std::string DecodeFaultText(int result, double seconds) {
  switch (result) {
    case OV_EBADLINK: return "OV_EBADLINK @ " + FormatPosition(seconds);
    case OV_HOLE: return "OV_HOLE @ " + FormatPosition(seconds);
    case kTruncated: return "TRUNCATED @ " + FormatPosition(seconds);
    default: return {};
  }
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
