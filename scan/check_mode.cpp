#include "scan/check_mode.h"

std::string_view CheckName(CheckMode mode) { return mode.quick ? "quick" : "full"; }

std::string_view HelperArgument(CheckMode mode) {
  if (mode.everyCodec) return mode.quick ? "all-quick" : "all-full";
  return mode.quick ? "quick" : "full";
}

std::optional<CheckMode> CheckModeOfHelperArgument(std::string_view argument) {
  for (const CheckMode mode : kEveryCheckMode) {
    if (!mode.strict && HelperArgument(mode) == argument) return mode;
  }
  return std::nullopt;
}
