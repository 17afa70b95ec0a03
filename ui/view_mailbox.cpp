#include "ui/view_mailbox.h"

#include <algorithm>

bool CViewMailbox::MarkPending() {
  if (m_bNotified) return false;
  m_bNotified = true;
  return true;
}

void CViewMailbox::PostLogText(std::string_view text) {
  bool notify = false;
  {
    std::lock_guard lock(m_mutex);
    if (text.empty() || text.size() < m_nReportLength) {
      m_pending.bNewReport = true;
      m_pending.strAdded.assign(text);
    } else if (text.size() > m_nReportLength) {
      m_pending.strAdded.append(text.substr(m_nReportLength));
    } else {
      return;
    }
    m_nReportLength = text.size();
    notify = MarkPending();
  }
  if (notify) m_notify(false);
}

void CViewMailbox::PostProgress(int64_t value, bool bSetRange) {
  bool notify = false;
  {
    std::lock_guard lock(m_mutex);
    if (bSetRange) {
      const int64_t range = std::max<int64_t>(value, 0);
      m_nShift = 0;
      while ((range >> m_nShift) > kBarLimit) ++m_nShift;
      m_nBarMax = static_cast<int>(range >> m_nShift);
      m_nBarPos = 0;
      m_pending.bRange = true;
      m_pending.nBarMax = m_nBarMax;
    } else {
      // The bar cannot show less than empty or more than full.
      const int pos = static_cast<int>(std::clamp<int64_t>(value >> m_nShift, 0, m_nBarMax));
      if (pos == m_nBarPos) return;
      m_nBarPos = pos;
    }
    m_pending.bPosition = true;
    m_pending.nBarPos = m_nBarPos;
    notify = MarkPending();
  }
  if (notify) m_notify(false);
}

void CViewMailbox::PostUpdateButtons() {
  bool notify = false;
  {
    std::lock_guard lock(m_mutex);
    m_pending.bButtons = true;
    m_bNotified = true;
    notify = !m_bUrgentNotified;
    m_bUrgentNotified = true;
  }
  if (notify) m_notify(true);
}

CViewMailbox::Update CViewMailbox::Take() {
  std::lock_guard lock(m_mutex);
  Update taken = std::move(m_pending);
  m_pending = Update{};
  m_bNotified = false;
  m_bUrgentNotified = false;
  return taken;
}
