#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <utility>
#include <vector>

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

  void Append(const std::filesystem::path& path) { AppendNative(path.native()); }
  // The path as the system names it.
  void AppendNative(std::filesystem::path::string_type path);
  // Only while no worker walks the list. Forgets the folders entered too.
  void Clear();
  // True the first time the folder (device and inode) is offered for this list.
  bool EnterFolder(uint64_t device, uint64_t inode);
  std::size_t Count() const;
  bool IsEmpty() const { return Count() == 0; }
  std::optional<Entry> Take(std::size_t index) const;

 private:
  mutable std::mutex m_mutex;
  using Char = std::filesystem::path::value_type;
  // Where an entry's characters lie in m_blocks.
  struct Span {
    uint32_t block;
    uint32_t offset;
    uint32_t length;
  };
  // The names are packed into large blocks that never move, with a small record each: a
  // path object keeps each of its parts as a path of its own, several times the name's
  // size, a string costs its header and an allocation, and a big library lists a
  // million names.
  std::vector<std::unique_ptr<Char[]>> m_blocks;
  std::size_t m_nBlockUsed = 0;
  std::deque<Span> m_entries;
  std::set<std::pair<uint64_t, uint64_t>> m_enteredFolders;
};
