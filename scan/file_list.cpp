#include "scan/file_list.h"

#include <algorithm>

namespace {

constexpr std::size_t kBlockChars = std::size_t{1} << 20;

}  // namespace

void CFileList::AppendNative(std::filesystem::path::string_type path) {
  {
    std::lock_guard lock(m_mutex);
    const std::size_t length = path.size();
    if (m_blocks.empty() || m_nBlockUsed + length > kBlockChars) {
      // A name longer than a block gets a block of its own size.
      m_blocks.push_back(std::make_unique<Char[]>(std::max(kBlockChars, length)));
      m_nBlockUsed = 0;
    }
    std::copy(path.begin(), path.end(), m_blocks.back().get() + m_nBlockUsed);
    m_entries.push_back({static_cast<uint32_t>(m_blocks.size() - 1),
                         static_cast<uint32_t>(m_nBlockUsed), static_cast<uint32_t>(length)});
    m_nBlockUsed += length;
  }
  m_appended.notify_all();
}

void CFileList::AddUnchecked(std::filesystem::path path, std::string reason) {
  std::lock_guard lock(m_mutex);
  m_unchecked.push_back({std::move(path), std::move(reason)});
}

void CFileList::Clear() {
  std::lock_guard lock(m_mutex);
  m_entries.clear();
  m_blocks.clear();
  m_nBlockUsed = 0;
  m_enteredFolders.clear();
  m_unchecked.clear();
}

bool CFileList::EnterFolder(uint64_t device, uint64_t inode) {
  std::lock_guard lock(m_mutex);
  return m_enteredFolders.emplace(device, inode).second;
}

std::size_t CFileList::Count() const {
  std::lock_guard lock(m_mutex);
  return m_entries.size();
}

std::optional<CFileList::Entry> CFileList::Take(std::size_t index) const {
  std::lock_guard lock(m_mutex);
  if (index >= m_entries.size()) return std::nullopt;
  const Span& s = m_entries[index];
  const Char* begin = m_blocks[s.block].get() + s.offset;
  return Entry{std::filesystem::path::string_type(begin, begin + s.length),
               index + 1 < m_entries.size()};
}

std::vector<CFileList::Unchecked> CFileList::UncheckedSoFar() const {
  std::lock_guard lock(m_mutex);
  return m_unchecked;
}

void CFileList::BeginWalk() {
  std::lock_guard lock(m_mutex);
  m_bWalked.store(true, std::memory_order_release);
}

CFileList::WalkEnd CFileList::EndWalkLocked(std::unique_lock<std::mutex>& lock) {
  m_appended.wait(lock, [&] { return m_nJoined == 0; });
  m_bWalked.store(false, std::memory_order_release);
  return {m_entries.size(), m_unchecked};
}

std::optional<CFileList::WalkEnd> CFileList::EndWalkIfAllTaken(std::size_t taken) {
  std::unique_lock lock(m_mutex);
  // An appender that joined may yet add an entry: the walk waits for it or its leaving.
  m_appended.wait(lock, [&] { return m_nJoined == 0 || m_entries.size() > taken; });
  if (m_entries.size() > taken) return std::nullopt;
  return EndWalkLocked(lock);
}

CFileList::WalkEnd CFileList::EndWalk() {
  std::unique_lock lock(m_mutex);
  return EndWalkLocked(lock);
}

bool CFileList::JoinWalk() {
  std::lock_guard lock(m_mutex);
  if (!m_bWalked.load(std::memory_order_relaxed)) return false;
  ++m_nJoined;
  return true;
}

void CFileList::LeaveWalk() {
  {
    std::lock_guard lock(m_mutex);
    --m_nJoined;
  }
  m_appended.notify_all();
}
