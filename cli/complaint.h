#pragma once

#include <cstdio>
#include <string>

#include "text/path_text.h"

// What went wrong with one path, on standard error: the report may be going to a file or
// a pipe, and a person at the terminal still has to hear of it.
inline void Complain(const std::string& path, const std::string& what) {
  std::fprintf(stderr, "harrowbit-cli: %s: %s\n", DisplayText(path).c_str(), what.c_str());
}
