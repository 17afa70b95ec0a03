#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>

#include "platform/file_error.h"

// A file opened by its path for reading at offsets, for libvorbisfile's callbacks.

#ifdef _WIN32
using NativeFile = void*;  // a HANDLE
inline NativeFile const kNoNativeFile = reinterpret_cast<NativeFile>(-1);
#else
using NativeFile = int;  // a descriptor
inline constexpr NativeFile kNoNativeFile = -1;
#endif

// Up to `n` bytes at `offset`: the count read, 0 at the end, -1 on a failure. On Windows it
// moves the handle's file pointer: one file is read by one thread at a time.
int64_t ReadAt(NativeFile file, void* buffer, std::size_t n, int64_t offset);

// Where the first data at or after `from` lies, for skipping holes of sparse files without
// reading them: `end` or more when [from, end) is all hole, and `from` itself when the file
// system cannot tell (then everything counts as data).
int64_t NextDataAt(NativeFile file, int64_t from, int64_t end);

// A confined decoder helper opens no file itself: the scan opens each one as OpenRegular
// would and hands the descriptor over with its request (POSIX), and the helper's
// OpenRegular of that path takes a copy of it. What the scan says with a request:
inline constexpr int32_t kFileHanded = 0;       // the file comes with it
inline constexpr int32_t kFileNotRegular = -1;  // the path names no regular file
inline constexpr int32_t kFileOpenByPath = -2;  // nothing handed over: open the path (Windows)
// (A positive value is the errno with which the system refused the path.)

// Owns one open regular file.
class CReadFile {
 public:
  CReadFile() = default;
  ~CReadFile();
  CReadFile(const CReadFile&) = delete;
  CReadFile& operator=(const CReadFile&) = delete;

  // Opens only regular files: a FIFO, a device or a pipe named *.ogg would block the open
  // or feed the decoder forever. The opened object itself is checked, so a file swapped
  // after a first look is refused too. The path is UTF-8 (on Windows it is opened by its
  // wide form, never through the ANSI code page). Says why it failed: the system's code
  // where the system refused the path, FileError::kNotRegular where the path names
  // something other than a file.
  std::error_code OpenRegular(const std::string& utf8Path);
  // The scan's side: opens `utf8Path` to hand it to a helper and says what to tell it (one
  // of the values above).
  int32_t OpenToHandOver(const std::string& utf8Path);
  // The helper's side: from now on OpenRegular of `utf8Path` is answered from `file` (which
  // this process then owns) or refused as `opened` says, and every other path is refused
  // with EACCES; kFileOpenByPath lets OpenRegular open paths again.
  static void HandedOver(const std::string& utf8Path, NativeFile file, int32_t opened);
  void Close();
  bool IsOpen() const;
  NativeFile Native() const { return m_file; }
  // The size when opened.
  int64_t Size() const { return m_size; }

 private:
  NativeFile m_file = kNone;
  int64_t m_size = 0;
  static inline NativeFile const kNone = kNoNativeFile;
};
