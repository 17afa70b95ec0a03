#pragma once

#include <atomic>

#include "scan/file_list.h"
#include "scan/run_event.h"

// What the window and the scan worker share for the whole life of the window.
struct CScanState {
  CFileList m_fileList;
  // 1: the scan may go on; 0: cancel requested. Written by the window, read by the worker.
  std::atomic<int> m_bKeepGoing{0};
  // 1 while a worker runs. Written by the worker, read by the window.
  std::atomic<int> m_bRunning{0};
  CRunEvent m_hRunEvent{true};
};
