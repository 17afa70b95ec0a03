#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

// The ordered list of files a scan tests. One thread appends (collection, drops during a
// scan) while another walks it; appends go at the tail and never disturb the walker. The
// list also remembers the folders collection entered for it: one list is one scan, and a
// scan enters each physical folder once, however many links and given paths lead there.
//
// A walk (one scan) begins with BeginWalk and ends under the list's lock, when the walker
// finds nothing left to take or stops: so an append either comes before the end and is
// the walk's, or finds the walk over and belongs to a new scan. Nothing falls between.
class CFileList {
 public:
  struct Entry {
    std::filesystem::path path;
    // Whether another entry followed this one when it was taken.
    bool hasNext = false;
  };
  // Something given or met that yields no file to test, and why: a folder that cannot be
  // read, a given path that collects nothing. The report names each.
  struct Unchecked {
    std::filesystem::path path;
    std::string reason;
    bool operator==(const Unchecked&) const = default;
  };
  // What the walk saw when it ended.
  struct WalkEnd {
    std::size_t listed = 0;
    std::vector<Unchecked> unchecked;
  };

  void Append(const std::filesystem::path& path) { AppendNative(path.native()); }
  // The path as the system names it.
  void AppendNative(std::filesystem::path::string_type path);
  void AddUnchecked(std::filesystem::path path, std::string reason);
  // Only while no worker walks the list. Forgets the folders entered and what was not
  // checked too.
  void Clear();
  // True the first time the folder (device and inode) is offered for this list.
  bool EnterFolder(uint64_t device, uint64_t inode);
  std::size_t Count() const;
  bool IsEmpty() const { return Count() == 0; }
  std::optional<Entry> Take(std::size_t index) const;
  std::vector<Unchecked> UncheckedSoFar() const;

  // The starter, before its worker runs.
  void BeginWalk();
  bool IsWalked() const { return m_bWalked.load(std::memory_order_acquire); }
  // The walker's last look: when no entry lies past the `taken` first ones, the walk ends
  // and says what it saw; otherwise nothing changes.
  std::optional<WalkEnd> EndWalkIfAllTaken(std::size_t taken);
  // The walker stops (a cancel, a fault of the run), or the starter could not start it.
  WalkEnd EndWalk();
  // Appends that are to join the walk, if one goes on: true when one does, and it cannot
  // end until LeaveWalk, so that all these appends are its. False: no walk goes on.
  bool JoinWalk();
  void LeaveWalk();

 private:
  // Call with the lock held: waits out the appenders that joined.
  WalkEnd EndWalkLocked(std::unique_lock<std::mutex>& lock);

  mutable std::mutex m_mutex;
  std::condition_variable m_appended;
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
  std::vector<Unchecked> m_unchecked;
  // Written under the lock; read without it for captions and choices that take it again.
  std::atomic<bool> m_bWalked{false};
  int m_nJoined = 0;
};
