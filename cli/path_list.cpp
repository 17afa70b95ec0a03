#include "cli/path_list.h"

#include <cerrno>
#include <cstring>

#include "platform/process.h"
#include "platform/program.h"
#include "text/path_text.h"

bool SplitPathList(std::string_view bytes, PathListSeparator separator,
                   std::vector<std::string>& entries, std::string& error) {
  entries.clear();
  const char end = separator == PathListSeparator::kNul ? '\0' : '\n';
  std::size_t number = 0;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t stop = bytes.find(end, start);
    if (stop == std::string_view::npos) stop = bytes.size();
    std::string_view entry = bytes.substr(start, stop - start);
    if (separator == PathListSeparator::kCrlfOrNewline && entry.ends_with('\r')) {
      entry.remove_suffix(1);
    }
    ++number;
    if (separator != PathListSeparator::kNul && entry.find('\0') != std::string_view::npos) {
      error = "entry " + std::to_string(number) +
              " holds a NUL byte; a list of NUL-separated paths needs -0 (--null)";
      entries.clear();
      return false;
    }
    if (!entry.empty()) entries.emplace_back(entry);
    start = stop + 1;
  }
  return true;
}

bool ReadPathList(const std::string& file, PathListSeparator separator,
                  std::vector<std::string>& entries, std::string& error) {
  const bool standardInput = file == "-";
  const std::string name = standardInput ? "standard input" : DisplayText(file);
  const int fd = standardInput ? 0 : OpenForReading(file);
  if (fd < 0) {
    error = "cannot read the list of files " + name + ": " + std::strerror(errno);
    return false;
  }
  std::string bytes;
  char buffer[65536];
  int err = 0;
  for (;;) {
    const int64_t n = ReadDescriptor(fd, buffer, sizeof buffer);
    if (n > 0) {
      bytes.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      err = errno;
      break;
    }
  }
  if (!standardInput) CloseDescriptor(fd);
  if (err != 0) {
    error = "cannot read the list of files " + name + ": " + std::strerror(err);
    return false;
  }
  if (!SplitPathList(bytes, separator, entries, error)) {
    error = "the list of files " + name + ": " + error;
    return false;
  }
  return true;
}
