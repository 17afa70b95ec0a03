#include "decode/in_process_tester.h"

#include "filetest/ogg_check.h"
#include "filetest/quick_check.h"
#include "filetest/strict_check.h"

namespace {

// Decodes in the calling thread: a file that crashes the decoder ends the process.
// `Check` is COggCheck, or COggQuickCheck for the check without audio synthesis.
template <typename Check>
class CInProcessTester final : public IFileTester {
 public:
  explicit CInProcessTester(bool strict) { m_check.SetStrict(strict); }
  bool Open(const ListedFile& file) override {
    m_verdict = {};
    m_verdict.opened = m_check.Open(file.path);
    if (!m_verdict.opened) {
      m_verdict.reason = m_check.m_strError;
      m_verdict.status = FileVerdict::Status::kError;
      TakeWarnings();
      return false;
    }
    m_verdict.samples = m_check.m_nTotalSamples;
    m_verdict.length = ov_time_total(&m_check.Vf(), -1);
    return true;
  }
  int64_t DecodeStep() override {
    const int r = m_check.DecodeStep();
    m_verdict.position = ov_time_tell(&m_check.Vf());
    if (r <= 0) TakeWarnings();
    if (r < 0) {
      m_verdict.reason = m_check.m_strError;
      m_verdict.status = FileVerdict::Status::kError;
    } else if (r == 0) {
      m_verdict.status = FileVerdict::Status::kOk;
    }
    return r;
  }
  const FileVerdict& Verdict() const override { return m_verdict; }

 private:
  void TakeWarnings() {
    for (const StructureWarning& w : m_check.Warnings()) {
      m_verdict.warnings.push_back({StructureRuleName(w.rule), w.text, w.byteOffset, w.seconds});
    }
    m_verdict.warningsNotListed = m_check.Suppressed();
  }

  CStrictCheck<Check> m_check;
  FileVerdict m_verdict;
};

}  // namespace

TesterFactory InProcessTesterFactory(bool quick, bool strict) {
  if (quick) return [strict] { return std::make_unique<CInProcessTester<COggQuickCheck>>(strict); };
  return [strict] { return std::make_unique<CInProcessTester<COggCheck>>(strict); };
}
