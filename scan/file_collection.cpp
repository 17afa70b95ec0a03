#include "scan/file_collection.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

namespace {

bool IsOggName(std::string_view path) {
  const auto dot = path.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::string_view ext = path.substr(dot + 1);
  if (ext.size() != 3) return false;
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  return lower(ext[0]) == 'o' && lower(ext[1]) == 'g' && lower(ext[2]) == 'g';
}

struct Listed {
  std::string name;
  bool isFolder;
};

void Report(const UnreadableFolderSink& onUnreadable, const std::string& folder, int error) {
  if (onUnreadable) onUnreadable(std::filesystem::path(folder), {error, std::generic_category()});
}

// Reads the whole listing before descending, so that a deep tree holds one open directory
// at a time instead of one per level. False for a folder that cannot be opened and for one
// already entered; a listing cut short by an error keeps what was read.
bool ReadListing(CFileList& list, const std::string& folder, std::vector<Listed>& out,
                 const UnreadableFolderSink& onUnreadable) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) {
    Report(onUnreadable, folder, errno);
    return false;
  }
  const int fd = ::dirfd(dir);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    Report(onUnreadable, folder, errno);
    ::closedir(dir);
    return false;
  }
  if (!list.EnterFolder(st.st_dev, st.st_ino)) {
    ::closedir(dir);
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(dir);
    if (e == nullptr) {
      if (errno != 0) Report(onUnreadable, folder, errno);
      break;
    }
    const std::string_view name = e->d_name;
    bool isFolder = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      // Links are followed like what they lead to; a broken one is a file by name.
      struct stat target {};
      isFolder = ::fstatat(fd, e->d_name, &target, 0) == 0 && S_ISDIR(target.st_mode);
    }
    if (isFolder ? name.front() != '.' : IsOggName(name))
      out.push_back({std::string(name), isFolder});
  }
  ::closedir(dir);
  return true;
}

void Walk(CFileList& list, const std::string& folder, const UnreadableFolderSink& onUnreadable) {
  std::vector<Listed> entries;
  if (!ReadListing(list, folder, entries, onUnreadable)) return;
  const bool endsInSeparator = folder.back() == '/';
  for (Listed& e : entries) {
    std::string full = folder;
    if (!endsInSeparator) full += '/';
    full += e.name;
    if (e.isFolder) {
      Walk(list, full, onUnreadable);
    } else {
      list.AppendNative(std::move(full));
    }
  }
}

}  // namespace

bool IsOggFile(const std::filesystem::path& path) { return IsOggName(path.native()); }

void ScanFolder(CFileList& list, const std::filesystem::path& folder,
                const UnreadableFolderSink& onUnreadable) {
  if (folder.empty()) return;
  Walk(list, folder.native(), onUnreadable);
}

void AddGivenPath(CFileList& list, const std::filesystem::path& path,
                  const UnreadableFolderSink& onUnreadable) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
    ScanFolder(list, path, onUnreadable);
  } else if (IsOggFile(path)) {
    list.Append(path);
  }
}
