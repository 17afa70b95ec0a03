#include "filetest/ogg_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "filetest/bounded_file.h"
#include "text/path_text.h"

namespace {

// Opens only regular files: a FIFO or a device named *.ogg would block the open or
// feed the decoder forever. Opening without blocking and checking the opened object
// closes the race with a file swapped for a FIFO after the first look.
FILE* OpenRegularFileForReading(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  FILE* file = ::fdopen(fd, "rb");
  if (file == nullptr) ::close(fd);
  return file;
}

}  // namespace

COggCheck::~COggCheck() { Close(); }

bool COggCheck::Open(std::filesystem::path path) {
  Close();
  const std::string cut = CutToUtf16Units(path.native(), kMaxPathUnits);
  m_pFile = OpenRegularFileForReading(cut);
  if (m_pFile == nullptr) {
    m_strError = "OPENFILE";
    return false;
  }
  const int result = OpenOggView(m_pFile, &m_vf);
  if (result != 0) {
    m_strError = OpenFailureName(result);
    std::fclose(m_pFile);
    m_pFile = nullptr;
    return false;
  }
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
