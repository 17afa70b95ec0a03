#include "decode/in_process_tester.h"

#include "decode/check_answers.h"
#include "decode/helper_verdict.h"
#include "filetest/any_ogg_check.h"
#include "filetest/check_traits.h"
#include "filetest/ogg_check.h"
#include "filetest/quick_check.h"
#include "filetest/strict_check.h"

namespace {

// Decodes in the calling thread: a file that crashes the decoder ends the process.
// `Check` is CStrictCheck of COggCheck, or of COggQuickCheck for the check without audio
// synthesis, or CAnyOggCheck (CAnyOggQuickCheck) for every Ogg codec.
template <typename Check>
class CInProcessTester final : public IFileTester {
 public:
  explicit CInProcessTester(bool strict) {
    if constexpr (kHoldsToRules<Check>) m_check.SetStrict(strict);
  }
  bool Open(const ListedFile& file) override {
    m_verdict.Reset();
    return AnswerOpen(m_check, file.path, Answer());
  }
  int64_t DecodeStep() override { return AnswerStep(m_check, Answer()); }
  const FileVerdict& Verdict() const override { return m_verdict.Verdict(); }

 private:
  auto Answer() {
    return [this](const HelperMessage& answer) { m_verdict.Take(answer); };
  }

  Check m_check;
  CVerdictBuilder m_verdict;
};

}  // namespace

TesterFactory InProcessTesterFactory(bool quick, bool allCodecs, bool strict) {
  if (allCodecs && quick)
    return [strict] { return std::make_unique<CInProcessTester<CAnyOggQuickCheck>>(strict); };
  if (allCodecs)
    return [strict] { return std::make_unique<CInProcessTester<CAnyOggCheck>>(strict); };
  if (quick) {
    return [strict] {
      return std::make_unique<CInProcessTester<CStrictCheck<COggQuickCheck>>>(strict);
    };
  }
  return [strict] { return std::make_unique<CInProcessTester<CStrictCheck<COggCheck>>>(strict); };
}
