#pragma once

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

// A peer tool's lines that find fault in a file ("WARNING: ...", "ERROR: ...", in any letter
// case), each once: ogginfo and opusinfo repeat a line for every page it holds for.
inline std::vector<std::string> PeerComplaints(const std::string& program,
                                               const std::filesystem::path& path) {
  std::vector<std::string> lines;
  const std::string command = program + " '" + path.string() + "' 2>&1";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {"(" + program + " did not start)"};
  std::string line;
  for (int c; (c = std::fgetc(pipe)) != EOF;) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    std::string lower;
    for (char ch : line) lower += static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
    const bool complaint =
        lower.find("warning") != std::string::npos || lower.find("error") != std::string::npos;
    if (complaint && std::find(lines.begin(), lines.end(), line) == lines.end())
      lines.push_back(line);
    line.clear();
  }
  ::pclose(pipe);
  return lines;
}
