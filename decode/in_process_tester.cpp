#include "decode/in_process_tester.h"

#include "decode/check_choice.h"
#include "decode/codec_facts.h"
#include "decode/helper_verdict.h"
#include "filetest/check_traits.h"

namespace {

// Decodes in the calling thread: a file that crashes the decoder ends the process.
// `Check` is the class WithCheckOf chooses.
template <typename Check>
class CInProcessTester final : public IFileTester {
 public:
  explicit CInProcessTester(bool strict) {
    if constexpr (kHoldsToRules<Check>) m_check.SetStrict(strict);
  }
  bool Open(const ListedFile& file) override {
    m_verdict = {};
    m_verdict.opened = m_check.Open(file.path);
    if constexpr (kChecksEveryCodec<Check>) {
      TakeCodec(m_verdict, CodecMessage(m_check));
    }
    if (!m_verdict.opened) {
      m_verdict.reason = m_check.m_strError;
      m_verdict.status = FileVerdict::Status::kError;
      TakeWarnings();
      return false;
    }
    m_verdict.samples = m_check.m_nTotalSamples;
    m_verdict.length = m_check.TotalSeconds();
    return true;
  }
  int64_t DecodeStep() override {
    const int r = m_check.DecodeStep();
    m_verdict.position = m_check.PositionSeconds();
    if (r <= 0) TakeWarnings();
    if (r < 0) {
      m_verdict.reason = m_check.m_strError;
      m_verdict.status = FileVerdict::Status::kError;
    } else if (r == 0) {
      m_verdict.status =
          m_verdict.unsupported ? FileVerdict::Status::kNotChecked : FileVerdict::Status::kOk;
    }
    return r;
  }
  const FileVerdict& Verdict() const override { return m_verdict; }

 private:
  void TakeWarnings() {
    if constexpr (kHoldsToRules<Check>) {
      for (const auto& w : m_check.Warnings()) {
        m_verdict.warnings.push_back({StructureRuleName(w.rule), w.text, w.byteOffset, w.seconds});
      }
      m_verdict.warningsNotListed = m_check.Suppressed();
      m_verdict.warningsKnown = m_check.Judged();
    }
  }

  Check m_check;
  FileVerdict m_verdict;
};

}  // namespace

TesterFactory InProcessTesterFactory(CheckMode mode) {
  return WithCheckOf(mode, [strict = mode.strict]<typename Check>() -> TesterFactory {
    return [strict] { return std::make_unique<CInProcessTester<Check>>(strict); };
  });
}
