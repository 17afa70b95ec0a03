#pragma once

#include <string>

// What the helper tries with each request, before it checks the file: the name of one of
// the acts in sandbox_test.cpp, in this variable of its environment.
inline constexpr char kActVariable[] = "HARROWBIT_TEST_HELPER_TRIES";

// Runs in the helper. An act its sandbox lets through ends the helper by abort(), so that
// the file's verdict says the act went through.
void TryWhatTheVariableNames(const std::string& path);
