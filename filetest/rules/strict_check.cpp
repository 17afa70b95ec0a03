#include "filetest/rules/strict_check.h"

#include <algorithm>
#include <cstring>

#include "filetest/bytes/bounded_file.h"
#include "filetest/codecs/ogg_check.h"
#include "platform/path_bytes.h"
#include "text/path_text.h"

namespace {

constexpr int64_t kReadSize = 65536;

}  // namespace

CStructureFeed::CStructureFeed() { ogg_sync_init(&m_sync); }
CStructureFeed::~CStructureFeed() { ogg_sync_clear(&m_sync); }

void CStructureFeed::Reset() {
  ResetReading();
  m_bJudged = false;
  m_perLink.clear();
}

void CStructureFeed::ResetReading() {
  m_check.Reset();
  ogg_sync_reset(&m_sync);
  m_bOpen = false;
  m_nViewEnd = m_nSize = m_nCovered = m_nPageAt = 0;
}

void CStructureFeed::OnOpen(NativeFile file, int64_t viewEnd, int64_t size) {
  ResetReading();
  m_bOpen = true;
  m_file = file;
  m_nViewEnd = viewEnd;
  m_nSize = size;
}

void CStructureFeed::OnBytes(const void* data, std::size_t size, int64_t at) {
  const auto end = at + static_cast<int64_t>(size);
  if (!m_bOpen || at > m_nCovered || end <= m_nCovered) return;
  const auto skip = static_cast<std::size_t>(m_nCovered - at);
  const auto fresh = static_cast<long>(size - skip);
  char* buffer = ogg_sync_buffer(&m_sync, fresh);
  if (buffer == nullptr) return;
  std::memcpy(buffer, static_cast<const char*>(data) + skip, static_cast<std::size_t>(fresh));
  ogg_sync_wrote(&m_sync, fresh);
  m_nCovered = end;
  Drain();
}

void CStructureFeed::OnPage(const ogg_page& page, int64_t at) {
  if (!m_bOpen || at < m_nCovered) return;
  m_check.OnPage(page, at);
  // The bytes between were skipped by the loop that found the page, as the sync would.
  ogg_sync_reset(&m_sync);
  m_nCovered = m_nPageAt = at + page.header_len + page.body_len;
}

void CStructureFeed::CatchUp(int64_t upTo) {
  if (!m_bOpen) return;
  upTo = std::min(upTo, m_nViewEnd);
  while (m_nCovered < upTo) {
    const int64_t want = std::min(kReadSize, upTo - m_nCovered);
    char* buffer = ogg_sync_buffer(&m_sync, static_cast<long>(want));
    if (buffer == nullptr) return;
    const int64_t got = ReadAt(m_file, buffer, static_cast<std::size_t>(want), m_nCovered);
    // A read that fails here failed the decoder as well, which names it.
    if (got <= 0) return;
    ogg_sync_wrote(&m_sync, static_cast<long>(got));
    m_nCovered += got;
    Drain();
  }
}

void CStructureFeed::Drain() {
  for (;;) {
    ogg_page page{};
    const long more = ogg_sync_pageseek(&m_sync, &page);
    if (more > 0) {
      m_check.OnPage(page, m_nPageAt);
      m_nPageAt += more;
    } else if (more < 0) {
      m_nPageAt -= more;  // bytes of no page, skipped
    } else {
      return;
    }
  }
}

void CStructureFeed::Finish(const std::vector<int64_t>* decodedPerLink) {
  if (!m_bOpen) return;
  CatchUp(m_nViewEnd);
  // What lies past the view is zeros, which belong to no page either.
  m_check.Finish(m_nSize, decodedPerLink);
  m_bOpen = false;
}

void CStructureFeed::Opened(std::size_t links, int64_t readTo) {
  m_perLink.assign(links, 0);
  CatchUp(readTo);
}

void CStructureFeed::Refused(const std::filesystem::path& path, std::string_view reason) {
  if (m_bJudged || IsOpenFileReason(reason)) return;
  ResetReading();
  CReadFile file;
  if (!file.OpenRegular(PathToUtf8(path))) return;
  OnOpen(file.Native(), OggViewEnd(file.Native(), file.Size()), file.Size());
  Finish(nullptr);
  m_bJudged = true;
}

void CStructureFeed::NotDecoded(std::size_t link) {
  if (link < m_perLink.size()) m_perLink[link] = kNotDecoded;
}

void CStructureFeed::Stepped(int result, std::size_t link) {
  if (m_bJudged) return;
  if (result > 0) {
    if (link < m_perLink.size()) m_perLink[link] += result;
    return;
  }
  Finish(result == 0 ? &m_perLink : nullptr);
  m_bJudged = true;
}

void CStructureFeed::FinishUndecoded() {
  Finish(nullptr);
  m_bJudged = true;
}

std::vector<StructureWarning> CStructureFeed::Warnings() const {
  return m_bJudged ? m_check.Warnings() : std::vector<StructureWarning>{};
}

int64_t CStructureFeed::Suppressed() const { return m_bJudged ? m_check.Suppressed() : 0; }
