#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "scan/file_tester.h"
#include "ui/scan_dlg.h"

namespace uitest {

// Pumps the window's events until `done` holds; false after `ms` without it, a last resort
// long enough for a sanitizer build on a busy machine.
inline bool WaitUntil(const std::function<bool()>& done, int ms = 60000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QThread::usleep(200);
  }
  return true;
}

inline std::string Log(const CScanDlg& w) { return w.m_editLog->toPlainText().toStdString(); }
inline std::string Captions(const CScanDlg& w) {
  return (w.m_btnStart->text() + "/" + w.m_btnClose->text()).toStdString();
}
inline bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}
inline bool IsIdle(const CScanDlg& w) {
  return !w.m_state.IsRunning() && Captions(w) == "Start/Close";
}
// Idle with a summary shown: for the first scan of a window only, since a later one may
// not have replaced the last report yet.
inline bool WaitIdle(const CScanDlg& w) {
  return WaitUntil([&] { return IsIdle(w) && Log(w).find(" errors") != std::string::npos; });
}
// Idle with a report that ends so.
inline bool WaitReport(const CScanDlg& w, const std::string& tail) {
  return WaitUntil([&] { return IsIdle(w) && EndsWith(Log(w), tail); });
}

// Files that decode in a few steps without being read, with places where a test can hold
// the worker: in Open, in a decode step, in the tester's destructor (after the worker has
// cleared m_bRunning). Names holding "unopenable" fail to open.
class FakeDecoder {
 public:
  enum Point { kNone = 0, kOpen = 1, kStep = 2, kDestroy = 4 };
  static constexpr int kStepsPerFile = 3;

  TesterFactory Factory() {
    return [this] { return std::make_unique<Tester>(*this); };
  }
  void Hold(int points) {
    std::lock_guard lock(m_mutex);
    m_held = points;
  }
  void Release() {
    Hold(kNone);
    m_cv.notify_all();
  }
  // True once the worker waits at a held point.
  bool WaitHeld() {
    std::unique_lock lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::seconds(60), [&] { return m_waiting > 0; });
  }

  std::atomic<int> created{0};
  std::atomic<int> live{0};
  std::atomic<int> maxLive{0};
  std::atomic<int> steps{0};

 private:
  class Tester final : public IFileTester {
   public:
    explicit Tester(FakeDecoder& d) : m_d(d) {
      ++m_d.created;
      const int now = ++m_d.live;
      for (int seen = m_d.maxLive; now > seen && !m_d.maxLive.compare_exchange_weak(seen, now);) {
      }
    }
    ~Tester() override {
      m_d.Pass(kDestroy);
      --m_d.live;
    }
    bool Open(const ListedFile& file) override {
      const std::filesystem::path& path = file.path;
      m_d.Pass(kOpen);
      m_left = kStepsPerFile;
      m_verdict = {};
      m_verdict.samples = 1024 * kStepsPerFile;
      m_verdict.opened = path.filename().native().find("unopenable") != 0;
      if (!m_verdict.opened) {
        m_verdict.reason = "OPENFILE";
        m_verdict.status = FileVerdict::Status::kError;
      }
      return m_verdict.opened;
    }
    int64_t DecodeStep() override {
      m_d.Pass(kStep);
      ++m_d.steps;
      if (m_left-- > 0) return 1024;
      m_verdict.status = FileVerdict::Status::kOk;
      return 0;
    }
    const FileVerdict& Verdict() const override { return m_verdict; }

   private:
    FakeDecoder& m_d;
    FileVerdict m_verdict;
    int m_left = 0;
  };

  void Pass(Point p) {
    std::unique_lock lock(m_mutex);
    if ((m_held & p) == 0) return;
    ++m_waiting;
    m_cv.notify_all();
    m_cv.wait(lock, [&] { return (m_held & p) == 0; });
    --m_waiting;
  }

  std::mutex m_mutex;
  std::condition_variable m_cv;
  int m_held = kNone;
  int m_waiting = 0;
};

// A window on fake files. Held workers are let go before the window, which joins its
// worker, is destroyed.
class WindowTest : public ::testing::Test {
 protected:
  void TearDown() override {
    decoder.Release();
    dlg.reset();
  }
  CScanDlg& Open(const std::string& cmdLine = "") {
    dlg = std::make_unique<CScanDlg>();
    dlg->m_testerFactory = decoder.Factory();
    dlg->m_strCmdLine = cmdLine;
    dlg->show();
    return *dlg;
  }

  FakeDecoder decoder;
  std::unique_ptr<CScanDlg> dlg;
};

}  // namespace uitest
