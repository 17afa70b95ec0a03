#pragma once

#include <fstream>
#include <string>

namespace testsupport {

// Bytes this process has read so far, by the kernel's count (rchar in /proc/self/io). A
// claim such as "never reads the tail" is checked in bytes, which no load on the machine
// changes, rather than in seconds.
inline long long BytesReadSoFar() {
  std::ifstream io("/proc/self/io");
  std::string key;
  long long value = -1;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  return -1;
}

}  // namespace testsupport
