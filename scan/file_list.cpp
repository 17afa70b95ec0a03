#include "scan/file_list.h"

void CFileList::Append(std::filesystem::path path) {
  std::lock_guard lock(m_mutex);
  m_entries.push_back(std::move(path));
}

void CFileList::Clear() {
  std::lock_guard lock(m_mutex);
  m_entries.clear();
  m_enteredFolders.clear();
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
  return Entry{m_entries[index], index + 1 < m_entries.size()};
}
