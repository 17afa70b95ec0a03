#pragma once

// For the POSIX sources only.

#include <sys/stat.h>

#include <cstdint>

#include "platform/file_status.h"

// Seconds and nanoseconds as nanoseconds, INT64_MIN when they do not fit.
inline int64_t NsOf(int64_t seconds, int64_t nanoseconds) {
  int64_t ns = 0;
  if (__builtin_mul_overflow(seconds, int64_t{1'000'000'000}, &ns) ||
      __builtin_add_overflow(ns, nanoseconds, &ns)) {
    return INT64_MIN;
  }
  return ns;
}

inline FileStatus FromStat(const struct stat& st) {
  FileStatus s;
  s.kind = S_ISDIR(st.st_mode)   ? FileStatus::Kind::kFolder
           : S_ISREG(st.st_mode) ? FileStatus::Kind::kRegular
                                 : FileStatus::Kind::kOther;
  s.device = static_cast<uint64_t>(st.st_dev);
  s.index = static_cast<uint64_t>(st.st_ino);
  s.size = static_cast<int64_t>(st.st_size);
  s.modifiedNs = NsOf(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  s.changedNs = NsOf(st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
  return s;
}
