// libFuzzer target over the file test: each input is a file that COggCheck opens and
// decodes to its end, twice on one object, as a scan does with file after file.
// libvorbis is not instrumented, so coverage steers only through our code; the mutator
// mends page checksums so that mutated packets still reach the decoder.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "filetest/codecs/ogg_check.h"
#include "tests/fuzz/ogg_fuzz_support.h"

namespace {

using fuzz::Fail;
using fuzz::kMaxSteps;

// "62m 05s": whole minutes, then seconds as two digits below 60.
bool IsPosition(std::string_view s) {
  const auto m = s.find("m ");
  if (m == 0 || m == std::string_view::npos || s.size() != m + 5 || s.back() != 's') return false;
  for (std::size_t i = 0; i < m; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
  }
  const char tens = s[m + 2];
  const char ones = s[m + 3];
  return tens >= '0' && tens <= '5' && ones >= '0' && ones <= '9';
}

bool HasPositionAfter(std::string_view text, std::string_view prefix) {
  return text.starts_with(prefix) && IsPosition(text.substr(prefix.size()));
}

struct Verdict {
  bool opened = false;
  int last = 0;
  int steps = 0;
  int64_t decoded = 0;
  std::string text;
  bool operator==(const Verdict&) const = default;
};

// The contract a scan relies on, checked after every call.
Verdict CheckOnce(COggCheck& check, const std::string& path) {
  Verdict v;
  v.opened = check.Open(path);
  if (!v.opened) {
    static constexpr std::array<std::string_view, 6> kOpenNames = {
        "OV_ENOTVORBIS", "OV_EBADHEADER", "OV_EVERSION", "OV_EFAULT", "OV_EREAD", "UNKNOWN"};
    bool known = false;
    for (std::string_view name : kOpenNames) known = known || check.m_strError == name;
    // A memory file is a regular file and always opens; only the data can be refused.
    if (!known) Fail("failed Open gave an unlisted reason", check.m_strError);
    if (check.IsOpen()) Fail("failed Open left a stream open", check.m_strError);
    v.text = check.m_strError;
    return v;
  }
  if (!check.m_strError.empty()) Fail("Open succeeded with a reason", check.m_strError);
  if (!check.IsOpen()) Fail("Open succeeded without a stream", path);
  while (v.steps < kMaxSteps) {
    ++v.steps;
    v.last = check.DecodeStep();
    if (v.last <= 0) break;
    if (v.last > kSamplesPerStep) Fail("a step decoded more than asked", std::to_string(v.last));
    v.decoded += v.last;
  }
  v.text = check.m_strError;
  if (v.last == OV_HOLE) {
    if (!HasPositionAfter(v.text, "OV_HOLE @ ")) Fail("bad OV_HOLE text", v.text);
  } else if (v.last == OV_EBADLINK) {
    if (!HasPositionAfter(v.text, "OV_EBADLINK @ ")) Fail("bad OV_EBADLINK text", v.text);
  } else if (v.last == kTruncated) {
    if (!HasPositionAfter(v.text, "TRUNCATED @ ")) Fail("bad TRUNCATED text", v.text);
  } else if (!v.text.empty()) {
    // A clean end, or a fault code with no name, leaves the reason empty.
    Fail("unexpected reason", v.text + " after result " + std::to_string(v.last));
  }
  return v;
}

void* CheckTwice(void* pathArg) {
  const std::string& path = *static_cast<const std::string*>(pathArg);
  COggCheck check;
  const Verdict first = CheckOnce(check, path);
  // The next Open must start from nothing the previous file left behind.
  const Verdict second = CheckOnce(check, path);
  if (!(first == second))
    Fail("the same bytes gave another verdict", first.text + " / " + second.text);
  check.Close();
  if (check.IsOpen() || !check.m_strError.empty()) Fail("Close left state", check.m_strError);
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  fuzz::CheckInput(data, size, CheckTwice);
  return 0;
}
