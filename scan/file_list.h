#pragma once

#include <cstddef>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>

// The ordered list of files a scan tests. One thread appends (collection, drops during a
// scan) while another walks it; appends go at the tail and never disturb the walker.
class CFileList {
 public:
  struct Entry {
    std::filesystem::path path;
    // Whether another entry followed this one when it was taken. The walker decides on
    // its next entry here, so entries appended while it tests the last one wait for the
    // next scan.
    bool hasNext = false;
  };

  void Append(std::filesystem::path path);
  // Only while no worker walks the list.
  void Clear();
  std::size_t Count() const;
  bool IsEmpty() const { return Count() == 0; }
  std::optional<Entry> Take(std::size_t index) const;

 private:
  mutable std::mutex m_mutex;
  std::deque<std::filesystem::path> m_entries;
};
