#pragma once

// For the POSIX sources only.

#include <sys/stat.h>

#include "platform/file_status.h"

inline FileStatus FromStat(const struct stat& st) {
  FileStatus s;
  s.kind = S_ISDIR(st.st_mode)   ? FileStatus::Kind::kFolder
           : S_ISREG(st.st_mode) ? FileStatus::Kind::kRegular
                                 : FileStatus::Kind::kOther;
  s.device = static_cast<uint64_t>(st.st_dev);
  s.index = static_cast<uint64_t>(st.st_ino);
  s.size = static_cast<int64_t>(st.st_size);
  s.modifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  s.changedNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return s;
}
