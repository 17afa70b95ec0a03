#pragma once

// What the Opus and FLAC targets share: each input is a file that the codec's own check
// and CAnyOggCheck open and decode to their end, the own check twice on one object, with
// the contract a scan relies on checked after every call.

#include <cstdint>
#include <string>
#include <string_view>

#include "filetest/codecs/any_ogg_check.h"
#include "filetest/codecs/ogg_check.h"
#include "tests/fuzz/ogg_fuzz_support.h"

namespace fuzz {

struct CodecVerdict {
  bool opened = false;
  int last = 0;
  int64_t decoded = 0;
  std::string text;
  bool operator==(const CodecVerdict&) const = default;
};

// "NAME @ 62m 05s", or a bare NAME from `openNames` for what fails at open; nothing else.
inline bool IsFaultText(std::string_view text) {
  const auto at = text.find(" @ ");
  if (at == std::string_view::npos)
    return !text.empty() && text.find(' ') == std::string_view::npos;
  const std::string_view pos = text.substr(at + 3);
  const auto m = pos.find("m ");
  if (m == 0 || m == std::string_view::npos || pos.size() != m + 5 || pos.back() != 's')
    return false;
  for (std::size_t i = 0; i < m; ++i) {
    if (pos[i] < '0' || pos[i] > '9') return false;
  }
  return pos[m + 2] >= '0' && pos[m + 2] <= '5' && pos[m + 3] >= '0' && pos[m + 3] <= '9';
}

template <typename Check>
CodecVerdict CheckOnce(Check& check, const std::string& path) {
  CodecVerdict v;
  v.opened = check.Open(path);
  if (!v.opened) {
    if (!IsFaultText(check.m_strError)) Fail("failed Open gave a bad reason", check.m_strError);
    v.text = check.m_strError;
    return v;
  }
  if (!check.m_strError.empty()) Fail("Open succeeded with a reason", check.m_strError);
  const double total = check.TotalSeconds();
  if (!(total >= 0)) Fail("negative or NaN total", std::to_string(total));
  double last = 0;
  for (int steps = 0; steps < kMaxSteps; ++steps) {
    v.last = check.DecodeStep();
    if (v.last <= 0) break;
    if (v.last > kSamplesPerStep) Fail("a step decoded more than asked", std::to_string(v.last));
    v.decoded += v.last;
    const double now = check.PositionSeconds();
    if (!(now >= 0)) Fail("negative or NaN position", std::to_string(now));
    last = now;
  }
  (void)last;
  if (v.last > 0) Fail("runaway decode", path);
  v.text = check.m_strError;
  if ((v.last == 0) != v.text.empty()) Fail("reason and result disagree", v.text);
  if (v.last < 0 && !IsFaultText(v.text)) Fail("bad fault text", v.text);
  return v;
}

template <typename Check>
void* CheckTwiceAndAny(void* pathArg) {
  const std::string& path = *static_cast<const std::string*>(pathArg);
  Check check;
  const CodecVerdict first = CheckOnce(check, path);
  const CodecVerdict second = CheckOnce(check, path);
  if (!(first == second))
    Fail("the same bytes gave another verdict", first.text + " / " + second.text);
  check.Close();
  if (!check.m_strError.empty()) Fail("Close left a reason", check.m_strError);
  CAnyOggCheck any;
  const CodecVerdict plain = CheckOnce(any, path);
  // The same bytes held to the format rules (--strict --all-codecs): the verdict stays.
  CAnyOggCheck strict;
  strict.SetStrict(true);
  const CodecVerdict judged = CheckOnce(strict, path);
  if (!(judged == plain)) Fail("--strict changed the verdict", plain.text + " / " + judged.text);
  return nullptr;
}

}  // namespace fuzz
