// libFuzzer target that holds the quick check to the full one: each input is a file that
// both open and read to its end, and any difference in the open, in a step's result or
// position, or in the report text fails. Quick runs first, so a crash inside the full
// decode's synthesis (which quick cannot see) is found in libvorbis, not here.

#include <cstdint>
#include <string>

#include "filetest/codecs/quick_check.h"
#include "tests/engine/check_trace.h"
#include "tests/fuzz/ogg_fuzz_support.h"

namespace {

std::string Describe(const CheckTrace& t) {
  return t.text + ", " + std::to_string(t.steps.size()) + " steps, " +
         std::to_string(t.totalSamples) + " samples";
}

void* CompareChecks(void* pathArg) {
  const std::string& path = *static_cast<const std::string*>(pathArg);
  COggQuickCheck quick;
  const CheckTrace got = TraceCheck(quick, path, fuzz::kMaxSteps);
  if (got.opened && !quick.Tracking()) {
    fuzz::Fail("the quick check did not run its own loop", VorbisLibraryVersion());
  }
  COggCheck full;
  const CheckTrace expected = TraceCheck(full, path, fuzz::kMaxSteps);
  if (!(got == expected)) {
    fuzz::Fail(("quick and full differ " + FirstDifference(expected, got)).c_str(),
               "full: " + Describe(expected) + "; quick: " + Describe(got));
  }
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzz::CheckInput(data, size, CompareChecks);
  return 0;
}
