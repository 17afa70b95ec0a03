#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "filetest/bytes/read_observer.h"
#include "platform/read_file.h"

// A checked file as the Opus and FLAC checks read it: opened by the rule COggCheck keeps
// (regular files only, by its whole path), seen up to OggViewEnd so that a
// zero tail costs nothing, and read by byte range so that each link of a chain can go to
// its own library.
class COggSource {
 public:
  COggSource() = default;
  ~COggSource();
  COggSource(const COggSource&) = delete;
  COggSource& operator=(const COggSource&) = delete;

  // False when the path does not name a regular file that opens for reading.
  bool Open(const std::filesystem::path& path);
  // Why the last Open failed, as the report names it (kOpenFileReason or a fault of the
  // path).
  const std::string& OpenFailure() const { return m_strOpenFailure; }
  void Close();
  int64_t ViewEnd() const { return m_nViewEnd; }
  // Reads at most `n` bytes at `offset`, never past ViewEnd: the count, 0 at the end, -1
  // on a read error.
  long ReadAt(unsigned char* buffer, std::size_t n, int64_t offset) const;
  // Hands `observer` each file opened from now on and every read of it (--strict).
  void Observe(IReadObserver* observer) { m_pObserver = observer; }

 private:
  CReadFile m_file;
  int64_t m_nViewEnd = 0;
  IReadObserver* m_pObserver = nullptr;
  std::string m_strOpenFailure;
};

// The reason DecodeStep gives when no file is open: nothing was checked.
inline constexpr const char* kNotOpen = "NOT_OPEN";

// One byte range of a source, with its own read position, for the libraries' callbacks.
struct COggRange {
  const COggSource* source = nullptr;
  int64_t begin = 0;
  int64_t end = 0;
  int64_t pos = 0;  // relative to begin

  long Read(unsigned char* buffer, std::size_t n);
  // False for a target before the start; past the end reads give 0, as with a file.
  bool Seek(int64_t offset, int whence);
  int64_t Size() const { return end - begin; }
};
