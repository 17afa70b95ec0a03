#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>

#include "platform/path_bytes.h"

// A folder of its own for one test, removed with everything in it afterwards.
class TempDir {
 public:
  TempDir() {
#ifdef _WIN32
    // No mkdtemp: a random name, tried until one is new.
    std::random_device random;
    do {
      m_path = std::filesystem::temp_directory_path() / ("harrowbit-" + std::to_string(random()));
    } while (!std::filesystem::create_directory(m_path));
#else
    std::string pattern = (std::filesystem::temp_directory_path() / "harrowbit-XXXXXX").string();
    m_path = ::mkdtemp(pattern.data());
#endif
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  const std::filesystem::path& path() const { return m_path; }
  // Names are UTF-8, as everywhere in the engine (on Windows a narrow string would be
  // read in the ANSI code page).
  std::filesystem::path operator/(std::string_view name) const {
    return m_path / PathFromUtf8(name);
  }

  // Makes the parent folders too.
  std::filesystem::path Write(std::string_view relative, std::string_view bytes = "") const {
    const auto p = m_path / PathFromUtf8(relative);
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    return p;
  }

 private:
  std::filesystem::path m_path;
};
