#include "winui/command_line.h"

#include <algorithm>

std::wstring_view CommandLineTail(std::wstring_view line) {
  std::size_t i = 0;
  if (!line.empty() && line[0] == L'"') {
    const std::size_t close = line.find(L'"', 1);
    i = close == std::wstring_view::npos ? line.size() : close + 1;
  } else {
    while (i < line.size() && line[i] > L' ') ++i;
  }
  while (i < line.size() && line[i] >= 1 && line[i] <= L' ') ++i;
  return line.substr(i);
}

std::wstring WithoutQuotes(std::wstring_view text) {
  std::wstring path(text);
  std::erase(path, L'"');
  return path;
}
