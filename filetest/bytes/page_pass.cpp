#include "filetest/bytes/page_pass.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int64_t kReadSize = 65536;

}  // namespace

COggPagePass::COggPagePass() { ogg_sync_init(&m_sync); }
COggPagePass::~COggPagePass() { ogg_sync_clear(&m_sync); }

void COggPagePass::ResetPass() {
  ogg_sync_reset(&m_sync);
  m_bOpen = false;
  m_nViewEnd = m_nCovered = m_nPageAt = 0;
}

void COggPagePass::OnOpen(NativeFile file, int64_t viewEnd, int64_t /*size*/) {
  ResetPass();
  m_bOpen = true;
  m_file = file;
  m_nViewEnd = viewEnd;
}

void COggPagePass::OnBytes(const void* data, std::size_t size, int64_t at) {
  const auto end = at + static_cast<int64_t>(size);
  if (!m_bOpen || at > m_nCovered || end <= m_nCovered) return;
  const auto skip = static_cast<std::size_t>(m_nCovered - at);
  const auto fresh = static_cast<long>(size - skip);
  char* buffer = ogg_sync_buffer(&m_sync, fresh);
  if (buffer == nullptr) {
    Missed();
    return;
  }
  std::memcpy(buffer, static_cast<const char*>(data) + skip, static_cast<std::size_t>(fresh));
  ogg_sync_wrote(&m_sync, fresh);
  m_nCovered = end;
  Drain();
}

void COggPagePass::OnPage(const ogg_page& page, int64_t at) {
  if (!m_bOpen || at < m_nCovered) return;
  TakePage(page, at);
  // The bytes between were skipped by the loop that found the page, as the sync would.
  ogg_sync_reset(&m_sync);
  m_nCovered = m_nPageAt = at + page.header_len + page.body_len;
}

void COggPagePass::CatchUp(int64_t upTo) {
  if (!m_bOpen) return;
  upTo = std::min(upTo, m_nViewEnd);
  while (m_nCovered < upTo) {
    const int64_t want = std::min(kReadSize, upTo - m_nCovered);
    char* buffer = ogg_sync_buffer(&m_sync, static_cast<long>(want));
    const int64_t got =
        buffer == nullptr ? -1 : ReadAt(m_file, buffer, static_cast<std::size_t>(want), m_nCovered);
    if (got <= 0) {
      Missed();
      return;
    }
    ogg_sync_wrote(&m_sync, static_cast<long>(got));
    m_nCovered += got;
    Drain();
  }
}

void COggPagePass::Drain() {
  for (;;) {
    ogg_page page{};
    const long more = ogg_sync_pageseek(&m_sync, &page);
    if (more > 0) {
      TakePage(page, m_nPageAt);
      m_nPageAt += more;
    } else if (more < 0) {
      m_nPageAt -= more;  // bytes of no page, skipped
    } else {
      return;
    }
  }
}
