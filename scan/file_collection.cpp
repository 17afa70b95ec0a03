#include "scan/file_collection.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

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

struct FolderId {
  dev_t dev;
  ino_t ino;
  bool operator==(const FolderId&) const = default;
};

struct Listed {
  std::string name;
  bool isFolder;
};

// Reads the whole listing before descending, so that a deep tree holds one open
// directory at a time instead of one per level. False for a folder that cannot be read
// and for one already on the current walk.
bool ReadListing(const std::string& folder, const std::vector<FolderId>& ancestors, FolderId& id,
                 std::vector<Listed>& out) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return false;
  const int fd = ::dirfd(dir);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    ::closedir(dir);
    return false;
  }
  id = {st.st_dev, st.st_ino};
  for (const FolderId& a : ancestors) {
    if (a == id) {
      ::closedir(dir);
      return false;
    }
  }
  while (const dirent* e = ::readdir(dir)) {
    const std::string_view name = e->d_name;
    bool isFolder = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      // Links are followed like what they lead to; a broken one is a file by name.
      struct stat target {};
      isFolder = ::fstatat(fd, e->d_name, &target, 0) == 0 && S_ISDIR(target.st_mode);
    }
    if (isFolder ? name.front() != '.' : IsOggName(name)) out.push_back({std::string(name), isFolder});
  }
  ::closedir(dir);
  return true;
}

void Walk(CFileList& list, const std::string& folder, std::vector<FolderId>& ancestors) {
  FolderId id{};
  std::vector<Listed> entries;
  if (!ReadListing(folder, ancestors, id, entries)) return;
  ancestors.push_back(id);
  const bool endsInSeparator = folder.back() == '/';
  for (Listed& e : entries) {
    std::string full = folder;
    if (!endsInSeparator) full += '/';
    full += e.name;
    if (e.isFolder) {
      Walk(list, full, ancestors);
    } else {
      list.Append(std::filesystem::path(std::move(full)));
    }
  }
  ancestors.pop_back();
}

}  // namespace

bool IsOggFile(const std::filesystem::path& path) { return IsOggName(path.native()); }

void ScanFolder(CFileList& list, const std::filesystem::path& folder) {
  if (folder.empty()) return;
  std::vector<FolderId> ancestors;
  Walk(list, folder.native(), ancestors);
}

void AddGivenPath(CFileList& list, const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
    ScanFolder(list, path);
  } else if (IsOggFile(path)) {
    list.Append(path);
  }
}
