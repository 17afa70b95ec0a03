#pragma once

#include <cstddef>
#include <filesystem>

// One entry of a scan's list: where it stands (from 0) and its path as listed. It travels
// with the file through the testers and into the results, so that nothing downstream
// counts entries on the side and a verdict can always be checked against its file.
struct ListedFile {
  std::size_t index = 0;
  std::filesystem::path path;
};
