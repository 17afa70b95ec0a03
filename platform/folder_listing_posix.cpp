#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/folder_listing.h"
#include "platform/posix_status.h"

struct CFolderListing::Impl {
  DIR* dir = nullptr;
  ~Impl() {
    if (dir != nullptr) ::closedir(dir);
  }
};

CFolderListing::CFolderListing() : m_impl(std::make_unique<Impl>()) {}
CFolderListing::~CFolderListing() = default;

bool CFolderListing::Open(const std::string& utf8Path, FileStatus& folder, std::error_code& error) {
  m_impl = std::make_unique<Impl>();
  m_impl->dir = ::opendir(utf8Path.c_str());
  if (m_impl->dir == nullptr) {
    error.assign(errno, std::generic_category());
    return false;
  }
  struct stat st {};
  if (::fstat(::dirfd(m_impl->dir), &st) != 0) {
    error.assign(errno, std::generic_category());
    m_impl = std::make_unique<Impl>();
    return false;
  }
  folder = FromStat(st);
  return true;
}

bool CFolderListing::Next(Entry& entry, std::error_code& error) {
  if (m_impl->dir == nullptr) return false;
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(m_impl->dir);
    if (e == nullptr) {
      if (errno != 0) error.assign(errno, std::generic_category());
      return false;
    }
    const std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    entry.name.assign(name);
    entry.isFolder = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      struct stat target {};
      entry.isFolder =
          ::fstatat(::dirfd(m_impl->dir), e->d_name, &target, 0) == 0 && S_ISDIR(target.st_mode);
    }
    return true;
  }
}
