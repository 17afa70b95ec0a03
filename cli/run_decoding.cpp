#include "cli/run_decoding.h"

#include <cstdint>
#include <cstdio>
#include <memory>

#include "decode/in_process_tester.h"
#include "decode/isolated_tester.h"
#include "decode/parallel_decoder.h"
#include "filetest/codecs/library_version.h"
#include "platform/program.h"
#include "scan/verdict_source.h"

namespace {

// A helper holds two descriptors while it runs and a few more while it starts; the rest
// of the process needs some of its own.
int JobsTheDescriptorsAllow() {
  const int64_t files = RaisedOpenFileLimit();
  constexpr int64_t kOwnUse = 10;
  constexpr int64_t kStarting = 6;
  if (files < 0 || files > 1024 * 2 + kOwnUse + kStarting) return 1024;
  if (files < kOwnUse + kStarting + 2) return 0;
  return static_cast<int>((files - kOwnUse - kStarting) / 2);
}

}  // namespace

void SettleTheCheck(CliOptions& options) {
  if (options.mode.quick && !QuickCheckSupported()) {
    std::fprintf(stderr, "harrowbit-cli: --quick is not verified with %s: checking in full\n",
                 VorbisLibraryVersion().c_str());
    options.mode.quick = false;
  }
}

bool FitJobsToOpenFiles(CliOptions& options) {
  if (options.inProcess) return true;
  const int allowed = JobsTheDescriptorsAllow();
  if (allowed < 1) {
    std::fprintf(stderr,
                 "harrowbit-cli: the limit on open files is too low to start a decoder "
                 "helper (raise it with ulimit -n)\n");
    return false;
  }
  if (options.jobs > allowed) {
    std::fprintf(stderr,
                 "harrowbit-cli: -j %d lowered to %d: the limit on open files allows "
                 "no more\n",
                 options.jobs, allowed);
    options.jobs = allowed;
  }
  return true;
}

TesterFactory MakeTesters(const CliOptions& options, const CScanState& state,
                          CRememberedVerdicts* remembered) {
  if (options.inProcess) return InProcessTesterFactory(options.mode);
  const DecoderOptions decoder{
      .cancelFd = state.CancelFd(), .mode = options.mode, .requireSandbox = options.requireSandbox};
  TesterFactory inner;
  if (options.jobs == 1) {
    inner = IsolatedTesterFactory(CurrentExecutable(), decoder);
  } else {
    CParallelDecoder::Wanted wanted;
    if (remembered != nullptr) {
      wanted = [remembered](const ListedFile& file) {
        return !remembered->Decide(file.index, file.path).reuse;
      };
    }
    inner = [&state, jobs = options.jobs, decoder, wanted] {
      return std::make_unique<CVerdictReplay>(std::make_unique<CParallelDecoder>(
          state.m_fileList, jobs, CurrentExecutable(), decoder, wanted));
    };
  }
  if (remembered == nullptr) return inner;
  return [remembered, inner] { return std::make_unique<CRememberingTester>(*remembered, inner()); };
}
