#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

// The ordered list of files a scan tests. One thread appends (collection, drops during a
// scan) while another walks it; appends go at the tail and never disturb the walker. The
// list also remembers the folders collection entered for it: one list is one scan, and a
// scan enters each physical folder once, however many links and given paths lead there.
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
  // Only while no worker walks the list. Forgets the folders entered too.
  void Clear();
  // True the first time the folder (device and inode) is offered for this list.
  bool EnterFolder(uint64_t device, uint64_t inode);
  std::size_t Count() const;
  bool IsEmpty() const { return Count() == 0; }
  std::optional<Entry> Take(std::size_t index) const;

 private:
  mutable std::mutex m_mutex;
  std::deque<std::filesystem::path> m_entries;
  std::set<std::pair<uint64_t, uint64_t>> m_enteredFolders;
};
