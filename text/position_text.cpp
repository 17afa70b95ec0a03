#include "text/position_text.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

std::string FormatPosition(double seconds) {
  // ov_time_tell answers a negative code when it cannot tell; such a position, and one
  // beyond any real file, must not reach an integer conversion that overflows.
  constexpr double kLongest = 1e15;
  const double clamped = std::isnan(seconds) || seconds < 0 ? 0 : std::min(seconds, kLongest);
  const auto whole = static_cast<int64_t>(clamped);
  const int64_t rest = whole % 60;
  return std::to_string(whole / 60) + "m " + (rest < 10 ? "0" : "") + std::to_string(rest) + "s";
}

std::string FaultText(std::string_view name, double seconds) {
  return std::string(name) + " @ " + FormatPosition(seconds);
}

std::string OpenFileReasonOf(const std::error_code& error) {
  if (error == std::errc::filename_too_long)
    return std::string(kOpenFileReason) + ": path too long";
  return kOpenFileReason;
}

bool IsOpenFileReason(std::string_view reason) {
  return reason == kOpenFileReason || reason.starts_with(std::string(kOpenFileReason) + ": ");
}
