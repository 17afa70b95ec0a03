#include "filetest/bytes/ogg_source.h"

#include <cstdio>
#include <string>

#include "filetest/bytes/bounded_file.h"
#include "filetest/codecs/ogg_check.h"
#include "platform/path_bytes.h"
#include "text/position_text.h"

COggSource::~COggSource() { Close(); }

bool COggSource::Open(const std::filesystem::path& path) {
  Close();
  // COggCheck's rule through the same service: regular files only, the opened object
  // checked, the whole path opened however long it is.
  if (const std::error_code error = m_file.OpenRegular(PathToUtf8(path))) {
    m_strOpenFailure = OpenFileReasonOf(error);
    return false;
  }
  m_nViewEnd = OggViewEnd(m_file.Native(), m_file.Size());
  if (m_pObserver != nullptr) m_pObserver->OnOpen(m_file.Native(), m_nViewEnd, m_file.Size());
  return true;
}

void COggSource::Close() {
  m_file.Close();
  m_nViewEnd = 0;
}

long COggSource::ReadAt(unsigned char* buffer, std::size_t n, int64_t offset) const {
  if (!m_file.IsOpen() || offset < 0) return -1;
  if (offset >= m_nViewEnd) return 0;
  const auto left = static_cast<uint64_t>(m_nViewEnd - offset);
  if (n > left) n = static_cast<std::size_t>(left);
  const auto got = static_cast<long>(::ReadAt(m_file.Native(), buffer, n, offset));
  if (got > 0 && m_pObserver != nullptr)
    m_pObserver->OnBytes(buffer, static_cast<std::size_t>(got), offset);
  return got;
}

long COggRange::Read(unsigned char* buffer, std::size_t n) {
  if (source == nullptr || pos >= Size()) return 0;
  const auto left = static_cast<uint64_t>(Size() - pos);
  if (n > left) n = static_cast<std::size_t>(left);
  const long got = source->ReadAt(buffer, n, begin + pos);
  if (got > 0) pos += got;
  return got;
}

bool COggRange::Seek(int64_t offset, int whence) {
  int64_t base = 0;
  if (whence == SEEK_CUR) {
    base = pos;
  } else if (whence == SEEK_END) {
    base = Size();
  } else if (whence != SEEK_SET) {
    return false;
  }
  int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) return false;
  pos = target;
  return true;
}
