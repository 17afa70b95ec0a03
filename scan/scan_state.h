#pragma once

#include <atomic>

#include "platform/cancel_signal.h"
#include "scan/file_list.h"
#include "scan/run_event.h"

// What the window and the scan worker share for the whole life of the window. The flags
// change only through these methods, so every front end and every test asks for a pause
// or a cancel the same way.
class CScanState {
 public:
  CScanState() = default;
  CScanState(const CScanState&) = delete;
  CScanState& operator=(const CScanState&) = delete;

  CFileList m_fileList;

  // The starter, just before it starts a worker. Marking the scan as running here, not in
  // the worker, keeps a second start or a drop from treating the scan as idle before the
  // worker's first act.
  void PrepareStart() {
    m_cancelSignal.Clear();
    m_bStopAfterFile.store(false, std::memory_order_release);
    m_bKeepGoing.store(1, std::memory_order_release);
    m_fileList.BeginWalk();
  }
  // The starter, when no worker could be started after all.
  void StartFailed() { m_fileList.EndWalk(); }
  // Clears the flag before it wakes a paused worker. Woken first, the worker could run on
  // before the flag cleared (the cancelling thread may be preempted right at the wake-up),
  // finishing the file and starting the next: with this order, no step follows a cancel.
  void RequestCancel() {
    m_bKeepGoing.store(0, std::memory_order_release);
    m_hRunEvent.Set();
    m_cancelSignal.Raise();
  }
  // Signalled once a cancel was asked for: a decoder waiting on a stuck helper waits on it
  // too, so a cancel does not wait out the helper's time limit.
  NativeWaitable CancelFd() const { return m_cancelSignal.Waitable(); }
  // The file in hand is tested to its end, and no new one is begun: a time budget spent.
  void RequestStopAfterFile() { m_bStopAfterFile.store(true, std::memory_order_release); }
  bool MayBeginFile() const {
    return KeepGoing() && !m_bStopAfterFile.load(std::memory_order_acquire);
  }
  // Pause takes effect after the decode step in progress.
  void TogglePause() {
    if (m_hRunEvent.IsSet()) {
      m_hRunEvent.Reset();
    } else {
      m_hRunEvent.Set();
    }
  }
  // The window at start-up: running, idle, nothing paused.
  void Reset() {
    m_hRunEvent.Set();
    m_bKeepGoing.store(0, std::memory_order_release);
  }

  // A scan runs while its worker walks the list: the worker's last look at the list and
  // the switch to idle are one step under the list's lock (see CFileList).
  bool IsRunning() const { return m_fileList.IsWalked(); }
  bool IsPaused() const { return !m_hRunEvent.IsSet(); }
  bool KeepGoing() const { return m_bKeepGoing.load(std::memory_order_acquire) != 0; }

  // The worker's side; it ends through the list (CFileList::EndWalkIfAllTaken, EndWalk).
  void WorkerBegins() { m_fileList.BeginWalk(); }
  // Blocks while paused.
  void WaitWhilePaused() { m_hRunEvent.Wait(); }

 private:
  // 1: the scan may go on; 0: cancel requested. Written by the window, read by the worker.
  std::atomic<int> m_bKeepGoing{0};
  // Signalled: run. Non-signalled: paused.
  CRunEvent m_hRunEvent{true};
  CCancelSignal m_cancelSignal;
  std::atomic<bool> m_bStopAfterFile{false};
};
