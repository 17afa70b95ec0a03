#pragma once

// A tester over scripted files, for the worker: no file is read.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/path_bytes.h"
#include "scan/file_tester.h"

namespace testsupport {

// What one scripted file does: fail to open with a reason, or give these step results
// (the last one 0 or negative) with a reason for a fault.
struct Script {
  bool opens = true;
  std::string reason;
  std::vector<int64_t> steps = {1024, 500, 0};
  int64_t total = 1524;
  // How the last step ends the file, when not as its result says (0 OK, < 0 an error):
  // a cancel that took the decoder down, a stalled decoder.
  FileVerdict::Status ends = FileVerdict::Status::kPending;
  // The file could not be checked at all: no decoder could be started.
  bool notChecked = false;
};

inline Script Fails(const char* reason, std::vector<int64_t> steps = {1024, -3}) {
  return {true, reason, std::move(steps)};
}
inline Script WontOpen(const char* reason) { return {false, reason, {}}; }

class CScriptedTester final : public IFileTester {
 public:
  // `onStep` runs after each step, with the file's path and the step's number from 1.
  using OnStep = std::function<void(const std::string& path, int step)>;
  CScriptedTester(const std::map<std::string, Script>& files, OnStep onStep)
      : m_files(files), m_onStep(std::move(onStep)) {}

  bool Open(const ListedFile& file) override {
    m_path = PathToUtf8(file.path);
    m_step = 0;
    const Script& s = m_files.at(m_path);
    m_verdict = {};
    m_verdict.opened = s.opens;
    m_verdict.samples = s.total;
    if (!s.opens) {
      m_verdict.reason = s.reason;
      m_verdict.status = FileVerdict::Status::kError;
    }
    if (s.notChecked) {
      m_verdict.status = FileVerdict::Status::kNotChecked;
      m_verdict.stopsScan = true;
    }
    return s.opens;
  }
  int64_t DecodeStep() override {
    const Script& s = m_files.at(m_path);
    const int64_t r = s.steps.at(m_step++);
    m_verdict.position += 0.5;
    if (r < 0) {
      m_verdict.reason = s.reason;
      m_verdict.status = FileVerdict::Status::kError;
    }
    if (r == 0) m_verdict.status = FileVerdict::Status::kOk;
    if (r <= 0 && s.ends != FileVerdict::Status::kPending) m_verdict.status = s.ends;
    if (m_onStep) m_onStep(m_path, static_cast<int>(m_step));
    return r;
  }
  const FileVerdict& Verdict() const override { return m_verdict; }

 private:
  const std::map<std::string, Script>& m_files;
  OnStep m_onStep;
  std::string m_path;
  FileVerdict m_verdict;
  std::size_t m_step = 0;
};

}  // namespace testsupport
