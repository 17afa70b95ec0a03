#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/read_file.h"

int64_t ReadAt(NativeFile file, void* buffer, std::size_t n, int64_t offset) {
  for (;;) {
    const ssize_t got = ::pread(file, buffer, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    return got;
  }
}

int64_t NextDataAt(NativeFile file, int64_t from, int64_t end) {
  const off_t data = ::lseek(file, static_cast<off_t>(from), SEEK_DATA);
  if (data < 0) return errno == ENXIO ? end : from;
  return data;
}

CReadFile::~CReadFile() { Close(); }

bool CReadFile::OpenRegular(const std::string& utf8Path) {
  Close();
  struct stat st {};
  if (::stat(utf8Path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const int fd = ::open(utf8Path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  m_file = fd;
  m_size = static_cast<int64_t>(st.st_size);
  return true;
}

void CReadFile::Close() {
  if (m_file != kNone) ::close(m_file);
  m_file = kNone;
  m_size = 0;
}

bool CReadFile::IsOpen() const { return m_file != kNone; }
