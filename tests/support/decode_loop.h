#pragma once

// Drives a tester through one file as the worker does, and what came of it.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>

#include "scan/file_tester.h"

namespace testsupport {

struct Decoded {
  bool opened = false;
  // "OK", or the reason.
  std::string text;
  int64_t total = 0;
  int64_t decoded = 0;
  bool operator==(const Decoded&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Decoded& d) {
  return os << d.opened << " '" << d.text << "' " << d.total << " " << d.decoded;
}

// `onStep` runs after each step that decoded samples, with the step's number from 1.
inline Decoded Decode(IFileTester& tester, const std::filesystem::path& path,
                      const std::function<void(int step)>& onStep = {}) {
  if (!tester.Open({0, path})) return {false, tester.Verdict().reason, tester.Verdict().samples, 0};
  int64_t decoded = 0;
  for (int step = 1;; ++step) {
    const int64_t r = tester.DecodeStep();
    const FileVerdict& v = tester.Verdict();
    if (r < 0) return {true, v.reason, v.samples, decoded};
    if (r == 0) return {true, "OK", v.samples, decoded};
    decoded += r;
    if (onStep) onStep(step);
  }
}

}  // namespace testsupport
