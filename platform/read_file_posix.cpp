#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

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

namespace {

// What the scan handed this helper over with its last request.
struct HandedFile {
  bool active = false;
  std::string path;
  int file = -1;
  int32_t opened = kFileOpenByPath;
};
HandedFile g_handed;

constexpr int kRefused = -1;  // errno says why
constexpr int kNotRegular = -2;

// errno as a code, never "success": a call that failed without saying why failed all the same.
std::error_code SystemError() { return {errno > 0 ? errno : EIO, std::generic_category()}; }

// Opens a regular file without blocking on a FIFO or touching a device.
int OpenRegularFile(const std::string& utf8Path) {
  struct stat st {};
  if (::stat(utf8Path.c_str(), &st) != 0) return kRefused;
  if (!S_ISREG(st.st_mode)) return kNotRegular;
  const int fd = ::open(utf8Path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return kRefused;
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

// The descriptor OpenRegular takes for `utf8Path` in a helper that was handed its files.
int HandedCopy(const std::string& utf8Path) {
  if (utf8Path != g_handed.path) {
    errno = EACCES;
    return kRefused;
  }
  if (g_handed.opened == kFileNotRegular) return kNotRegular;
  if (g_handed.opened != kFileHanded) {
    errno = g_handed.opened;
    return kRefused;
  }
  const int fd = ::dup(g_handed.file);
  return fd >= 0 ? fd : kRefused;
}

}  // namespace

CReadFile::~CReadFile() { Close(); }

int32_t CReadFile::OpenToHandOver(const std::string& utf8Path) {
  Close();
  const int fd = OpenRegularFile(utf8Path);
  if (fd == kNotRegular) return kFileNotRegular;
  if (fd < 0) return errno > 0 ? errno : EIO;
  m_file = fd;
  return kFileHanded;
}

void CReadFile::HandedOver(const std::string& utf8Path, NativeFile file, int32_t opened) {
  if (g_handed.file >= 0) ::close(g_handed.file);
  g_handed = {opened != kFileOpenByPath, utf8Path, file, opened};
}

std::error_code CReadFile::OpenRegular(const std::string& utf8Path) {
  Close();
  const int fd = g_handed.active ? HandedCopy(utf8Path) : OpenRegularFile(utf8Path);
  if (fd == kNotRegular) return FileError::kNotRegular;
  if (fd < 0) return SystemError();
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const std::error_code error = S_ISREG(st.st_mode) ? SystemError() : FileError::kNotRegular;
    ::close(fd);
    return error;
  }
  m_file = fd;
  m_size = static_cast<int64_t>(st.st_size);
  return {};
}

void CReadFile::Close() {
  if (m_file != kNone) ::close(m_file);
  m_file = kNone;
  m_size = 0;
}

bool CReadFile::IsOpen() const { return m_file != kNone; }
