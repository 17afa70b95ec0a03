#pragma once

#include <vorbis/vorbisfile.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "filetest/codecs/ogg_check.h"
#include "filetest/codecs/quick_check.h"

// Everything a scan sees of one file's check: the open, then each step's result with the
// position after it, as the decoder helper reports them. Two checks that agree on this
// agree on the report line, the progress and where a crash would be placed.
struct CheckTrace {
  bool opened = false;
  int64_t totalSamples = 0;
  double totalSeconds = 0;
  std::vector<std::pair<int, double>> steps;
  std::string text;  // the reason, or "OK"
  bool operator==(const CheckTrace&) const = default;
};

// Stops after `maxSteps` steps, so that a runaway shows as a difference, not a hang.
template <typename Check>
CheckTrace TraceCheck(Check& check, const std::filesystem::path& path, int maxSteps = 1 << 20) {
  CheckTrace t;
  t.opened = check.Open(path);
  t.totalSamples = check.m_nTotalSamples;
  if (!t.opened) {
    t.text = check.m_strError;
    return t;
  }
  t.totalSeconds = ov_time_total(&check.Vf(), -1);
  int r = 1;
  while (r > 0 && static_cast<int>(t.steps.size()) < maxSteps) {
    r = check.DecodeStep();
    t.steps.emplace_back(r, ov_time_tell(&check.Vf()));
  }
  t.text = r == 0 ? "OK" : r < 0 ? check.m_strError : "RUNAWAY";
  return t;
}

// Where two traces part, for a failure message.
inline std::string FirstDifference(const CheckTrace& full, const CheckTrace& quick) {
  if (full.opened != quick.opened || full.totalSamples != quick.totalSamples ||
      full.totalSeconds != quick.totalSeconds) {
    return "at open";
  }
  for (std::size_t i = 0; i < full.steps.size() && i < quick.steps.size(); ++i) {
    if (full.steps[i] != quick.steps[i]) {
      return "at step " + std::to_string(i) + ": full (" + std::to_string(full.steps[i].first) +
             ", " + std::to_string(full.steps[i].second) + "), quick (" +
             std::to_string(quick.steps[i].first) + ", " + std::to_string(quick.steps[i].second) +
             ")";
    }
  }
  if (full.steps.size() != quick.steps.size()) {
    return "in length: full " + std::to_string(full.steps.size()) + " steps, quick " +
           std::to_string(quick.steps.size());
  }
  return full.text == quick.text ? "nowhere" : "in the text";
}
