#include "filetest/ogg_check.h"

#include <algorithm>
#include <memory>
#include <new>

#include "filetest/bounded_file.h"
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
  return true;
}

int COggCheck::DecodeStep() {
  return TakeResult(ov_read_float(&m_vf, &m_pcm, kSamplesPerStep, &m_nBitstream));
}

int COggCheck::TakeResult(long readResult) {
  m_nLastResult = static_cast<int>(readResult);
  // Only the last link's end-of-stream page counts: the flag is cleared at every change
  // of link.
  const bool truncated = m_nLastResult == 0 && m_vf.os.e_o_s == 0;
  if (truncated) m_nLastResult = kTruncated;
  if (truncated || m_nLastResult == OV_EBADLINK || m_nLastResult == OV_HOLE) {
    m_strError = DecodeFaultText(m_nLastResult, ov_time_tell(&m_vf));
  }
  return m_nLastResult;
}

void COggCheck::Close() {
  m_nTotalSamples = 0;
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
