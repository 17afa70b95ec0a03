#pragma once

#include <array>
#include <optional>
#include <string_view>

// The way files are checked in a run: how thoroughly, which codecs, and whether the format
// rules count. Every front end, tester, helper, report and record takes it from this one
// value, so that no two of them can come to disagree about what a run was asked for.
struct CheckMode {
  // Vorbis without audio synthesis (--quick): every other codec is checked in full.
  bool quick = false;
  // Every Ogg audio codec, each by its own library (--all-codecs); else Vorbis only.
  bool everyCodec = false;
  // The file is also held to the format rules (--strict).
  bool strict = false;

  bool operator==(const CheckMode&) const = default;
};

// "full" or "quick": the "check" of the JSON summary, which scripts and the beets plugin
// read, and the kind the results database records.
std::string_view CheckName(CheckMode mode);

// The decoder helper's last argument, which names the check it serves ("full", "quick",
// "all-full", "all-quick"). Strictness is not in it: it travels with each request.
std::string_view HelperArgument(CheckMode mode);
// The mode a helper started with `argument` serves, not strict; nullopt when it names none.
std::optional<CheckMode> CheckModeOfHelperArgument(std::string_view argument);

// Each way of checking once.
inline constexpr std::array<CheckMode, 8> kEveryCheckMode{{
    {false, false, false},
    {true, false, false},
    {false, true, false},
    {true, true, false},
    {false, false, true},
    {true, false, true},
    {false, true, true},
    {true, true, true},
}};
