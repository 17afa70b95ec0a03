#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <system_error>

#include "platform/read_file.h"

// What the engine asks of a file or folder by its path, links followed.
struct FileStatus {
  enum class Kind { kOther, kFolder, kRegular };
  Kind kind = Kind::kOther;
  // The physical file: device and inode on POSIX, volume serial number and file index on
  // Windows. Two paths with the same pair lead to one file.
  uint64_t device = 0;
  uint64_t index = 0;
  int64_t size = 0;
  // Nanoseconds since 1970-01-01 UTC: the last write, and the last change of content or
  // metadata (ctime on POSIX, ChangeTime on Windows); INT64_MIN when a time does not fit.
  int64_t modifiedNs = 0;
  int64_t changedNs = 0;
};

// False with the reason in `error` when the path cannot be looked at.
bool StatusOf(const std::string& utf8Path, FileStatus& status, std::error_code& error);
// StatusOf for the files of a sweep, which come folder by folder: the last folder stays
// open and a file in it is looked up by its name alone, as find does, instead of walking
// its whole path again for every file. It answers what StatusOf answers; a path that a name
// alone would reach further than (longer than the system takes whole), or whose folder
// cannot be opened, is looked up whole. Like find, it does not notice a folder renamed
// while it is held: a caller that goes on to read the file lets go first (Release).
class CStatusesInFolder {
 public:
  CStatusesInFolder();
  ~CStatusesInFolder();
  CStatusesInFolder(const CStatusesInFolder&) = delete;
  CStatusesInFolder& operator=(const CStatusesInFolder&) = delete;

  bool StatusOf(const std::string& utf8Path, FileStatus& status, std::error_code& error);
  // Closes the folder held open, if any.
  void Release();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// The status of a file this process holds open: what it is now, whatever its path names.
bool StatusOfOpen(NativeFile file, FileStatus& status);
// The kind alone, as StatusOf tells it: on Windows the rest of a status costs a question to
// the volume's mount manager, which under Wine is a round trip to another process.
bool KindOf(const std::string& utf8Path, FileStatus::Kind& kind, std::error_code& error);

// Whether a StatusOf error says that nothing is there (rather than that it cannot be seen).
bool IsMissing(const std::error_code& error);

// Whether this process may read the file, or make files in the folder: 0, or the errno
// that says why not.
enum class Access { kRead, kCreateIn };
int AccessError(const std::string& utf8Path, Access wanted);

// The path with every link resolved, as the system names it; empty when it cannot be.
std::string ResolvedPath(const std::string& utf8Path);
