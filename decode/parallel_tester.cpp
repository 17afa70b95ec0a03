#include "decode/parallel_tester.h"

#include <poll.h>

#include <algorithm>
#include <climits>

#include "decode/isolated_tester.h"

CParallelTester::CParallelTester(const CFileList& list, int jobs, std::filesystem::path helper,
                                 DecoderLimits limits)
    : m_list(list),
      m_timeout(limits.stepTimeout),
      m_window(static_cast<std::size_t>(std::max(1, jobs)) * 4) {
  for (int i = 0; i < std::max(1, jobs); ++i) {
    m_helpers.push_back(std::make_unique<CDecoderHelper>(helper, limits));
    m_busy.push_back(nullptr);
  }
}

CParallelTester::~CParallelTester() = default;

bool CParallelTester::Open(const std::filesystem::path& path) {
  if (m_bStarted && !m_pending.empty()) {
    // Left before its end: its helper's remaining answers belong to no one.
    Pending& left = Current();
    if (left.helper >= 0) {
      m_helpers[static_cast<std::size_t>(left.helper)]->End(true);
      m_busy[static_cast<std::size_t>(left.helper)] = nullptr;
    }
    m_pending.pop_front();
  }
  m_bStarted = true;
  // The scan walks the list in order, so the file asked for is normally the first one
  // taken ahead. Anything else starts the look-ahead afresh.
  if (!m_pending.empty() && Current().path != path) Forget();
  if (m_pending.empty()) {
    const auto entry = m_list.Take(m_nextIndex);
    if (entry && entry->path == path) ++m_nextIndex;
    m_pending.emplace_back(path);
  }
  Dispatch();
  WaitUntil([this] { return Current().openKnown; });
  Pending& file = Current();
  m_strError = file.error;
  m_nTotalSamples = file.totalSamples;
  m_totalSeconds = file.totalSeconds;
  m_position = 0;
  return file.opened;
}

int CParallelTester::DecodeStep() {
  WaitUntil([this] { return Current().undelivered > 0 || Current().ended; });
  Pending& file = Current();
  m_position = file.position;
  if (file.undelivered > 0) {
    const int64_t chunk = std::min<int64_t>(file.undelivered, INT_MAX / 2);
    file.undelivered -= chunk;
    return static_cast<int>(chunk);
  }
  m_strError = file.error;
  const int result = file.result;
  m_pending.pop_front();
  m_bStarted = false;
  return result;
}

void CParallelTester::Forget() {
  for (std::size_t h = 0; h < m_helpers.size(); ++h) {
    if (m_busy[h] != nullptr) m_helpers[h]->End(true);
    m_busy[h] = nullptr;
  }
  m_pending.clear();
}

void CParallelTester::Dispatch() {
  for (std::size_t h = 0; h < m_helpers.size(); ++h) {
    if (m_busy[h] != nullptr) continue;
    // The front file may wait for a helper too, when it was not dispatched ahead.
    Pending* next = nullptr;
    for (Pending& p : m_pending) {
      if (!p.openKnown && p.helper < 0) {
        next = &p;
        break;
      }
    }
    if (next == nullptr) {
      if (m_pending.size() >= m_window) return;
      const auto entry = m_list.Take(m_nextIndex);
      if (!entry) return;
      ++m_nextIndex;
      m_pending.emplace_back(entry->path);
      next = &m_pending.back();
    }
    CDecoderHelper& helper = *m_helpers[h];
    if (!helper.Start()) {
      DecodeHere(*next);
      continue;
    }
    next->helper = static_cast<int>(h);
    m_busy[h] = next;
    if (!helper.Request(next->path)) Lost(static_cast<int>(h), false);
  }
}

template <typename Ready>
void CParallelTester::WaitUntil(Ready ready) {
  std::vector<pollfd> fds;
  std::vector<int> owners;
  while (!ready()) {
    fds.clear();
    owners.clear();
    for (std::size_t h = 0; h < m_helpers.size(); ++h) {
      if (m_busy[h] == nullptr) continue;
      fds.push_back({m_helpers[h]->ReplyFd(), POLLIN, 0});
      owners.push_back(static_cast<int>(h));
    }
    if (fds.empty()) {
      Dispatch();
      if (std::none_of(m_busy.begin(), m_busy.end(), [](Pending* p) { return p != nullptr; }) &&
          !ready()) {
        return;  // nothing left that could make it ready
      }
      continue;
    }
    const int n = ::poll(fds.data(), fds.size(), static_cast<int>(m_timeout.count()));
    if (n < 0) continue;
    if (n == 0) {
      // No helper answered in time: the one the scan waits for has run away.
      const int head = Current().helper;
      Lost(head >= 0 ? head : owners.front(), true);
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      const int h = owners[i];
      CDecoderHelper::Message m;
      for (;;) {
        const auto w = m_helpers[static_cast<std::size_t>(h)]->Next(m, std::chrono::milliseconds(0));
        if (w == CDecoderHelper::Wait::kTimedOut) break;
        if (w == CDecoderHelper::Wait::kGone) {
          Lost(h, false);
          break;
        }
        Take(h, m);
        if (m_busy[static_cast<std::size_t>(h)] == nullptr) break;
      }
    }
    Dispatch();
  }
}

void CParallelTester::Take(int helper, const CDecoderHelper::Message& m) {
  Pending& file = *m_busy[static_cast<std::size_t>(helper)];
  if (m.type == CDecoderHelper::kOpened) {
    file.openKnown = true;
    file.opened = m.value != 0;
    file.totalSamples = m.samples;
    file.totalSeconds = m.seconds;
    file.error = m.text;
    if (file.opened) return;
    file.ended = true;
  } else {
    if (m.value > 0) {
      file.undelivered += m.value;
      file.position = m.seconds;
      return;
    }
    file.ended = true;
    file.result = m.value;
    file.position = m.seconds;
    if (m.value < 0) file.error = m.text;
  }
  file.helper = -1;
  m_busy[static_cast<std::size_t>(helper)] = nullptr;
}

void CParallelTester::Lost(int helper, bool overLimit) {
  Pending& file = *m_busy[static_cast<std::size_t>(helper)];
  CDecoderHelper& h = *m_helpers[static_cast<std::size_t>(helper)];
  const std::string how = h.End(overLimit);
  if (!file.openKnown) {
    file.openKnown = true;
    file.error = how;
  } else {
    file.position = std::max(file.position, h.LastPosition());
    file.error = how + " @ " + FormatPosition(file.position);
    file.result = kDecoderDied;
  }
  file.ended = true;
  file.helper = -1;
  m_busy[static_cast<std::size_t>(helper)] = nullptr;
}

void CParallelTester::DecodeHere(Pending& file) {
  // No helper process can be had: decode in this process rather than not at all.
  CInProcessTester tester;
  file.openKnown = true;
  file.opened = tester.Open(file.path);
  file.totalSamples = tester.TotalSamples();
  file.totalSeconds = tester.TotalSeconds();
  file.error = tester.ErrorText();
  file.ended = true;
  if (file.opened) {
    int r;
    while ((r = tester.DecodeStep()) > 0) file.undelivered += r;
    file.result = r;
    file.position = tester.PositionSeconds();
    file.error = tester.ErrorText();
  }
}
