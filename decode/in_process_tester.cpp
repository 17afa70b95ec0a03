#include "decode/in_process_tester.h"

#include "decode/check_answers.h"
#include "decode/check_choice.h"
#include "decode/helper_verdict.h"
#include "filetest/codecs/check_traits.h"

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

TesterFactory InProcessTesterFactory(CheckMode mode) {
  return WithCheckOf(mode, [strict = mode.strict]<typename Check>() -> TesterFactory {
    return [strict] { return std::make_unique<CInProcessTester<Check>>(strict); };
  });
}
