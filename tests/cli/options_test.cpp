#include "cli/options.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using std::chrono::milliseconds;

TEST(ParseDuration, EachUnitMeansWhatItSays) {
  const struct {
    const char* text;
    std::optional<milliseconds> duration;
  } cases[] = {
      {"45m", milliseconds(45 * 60'000)},  // minutes, not hours
      {"2h", milliseconds(2 * 3'600'000)},
      {"90s", milliseconds(90'000)},
      {"90", milliseconds(90'000)},  // seconds alone
      {"1.5h", milliseconds(5'400'000)},
      {"0.25s", milliseconds(250)},
      {"0s", milliseconds(0)},
      {"1e3s", milliseconds(1'000'000)},
      {"1000000000", milliseconds(1'000'000'000'000)},  // the largest
      {"1000000001", std::nullopt},
      {"277778h", std::nullopt},
      {"-1s", std::nullopt},
      {"nan", std::nullopt},
      {"inf", std::nullopt},
      {"", std::nullopt},
      {"m", std::nullopt},
      {"5d", std::nullopt},
      {"5 m", std::nullopt},
      {"5mm", std::nullopt},
      {"5M", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseDuration(c.text), c.duration) << c.text;
}

TEST(ParseDays, FiniteAndWithinBoundsOnly) {
  const struct {
    const char* text;
    std::optional<double> days;
  } cases[] = {
      {"90", 90},
      {"0.5", 0.5},
      {"0.001", 0.001},
      {"36500", 36500},
      {"1e2", 100},
      {"0", std::nullopt},
      {"-0", std::nullopt},
      {"-1", std::nullopt},
      {"0.0009", std::nullopt},
      {"36500.01", std::nullopt},
      {"1e308", std::nullopt},
      {"inf", std::nullopt},
      {"nan", std::nullopt},
      {"", std::nullopt},
      {"9d", std::nullopt},
      {" 9", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseDays(c.text), c.days) << c.text;
}

}  // namespace
