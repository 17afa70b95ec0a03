#include "filetest/ogg_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "filetest/bounded_file.h"
#include "filetest/ogg_check.h"
#include "text/path_text.h"

namespace {

// As COggCheck opens: a FIFO or a device named *.opus would block the open or feed the
// decoder forever, and checking the opened object closes the race with a swapped file.
int OpenRegularFile(const std::string& path, struct stat& st) {
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

COggSource::~COggSource() { Close(); }

bool COggSource::Open(const std::filesystem::path& path) {
  Close();
  struct stat st {};
  m_fd = OpenRegularFile(CutToUtf16Units(path.native(), kMaxPathUnits), st);
  if (m_fd < 0) return false;
  m_nViewEnd = OggViewEnd(m_fd, st.st_size);
  return true;
}

void COggSource::Close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  m_nViewEnd = 0;
}

long COggSource::ReadAt(unsigned char* buffer, std::size_t n, int64_t offset) const {
  if (m_fd < 0 || offset < 0) return -1;
  if (offset >= m_nViewEnd) return 0;
  const auto left = static_cast<uint64_t>(m_nViewEnd - offset);
  if (n > left) n = static_cast<std::size_t>(left);
  for (;;) {
    const ssize_t got = ::pread(m_fd, buffer, n, static_cast<off_t>(offset));
    if (got >= 0) return static_cast<long>(got);
    if (errno != EINTR) return -1;
  }
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
