#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "filetest/rules/structure_warning.h"

struct StructureReport {
  // False when the file could not be read; `error` says why.
  bool read = false;
  std::string error;
  std::vector<StructureWarning> warnings;
  int64_t suppressed = 0;
};

// Reads `path` from start to end, page by page through libogg's sync, and checks it with
// a COggStructureCheck. `decodedPerLink` as COggStructureCheck::Finish takes it.
StructureReport CheckFileStructure(const std::filesystem::path& path,
                                   const std::vector<int64_t>* decodedPerLink = nullptr);

// The samples per channel that the quick check decodes from each link of `path`, which is
// what the length rule compares with; nothing when the file does not decode to its end.
std::optional<std::vector<int64_t>> QuickDecodedPerLink(const std::filesystem::path& path);

// Both of the above: the structure of a file that decodes cleanly is checked with its
// decoded lengths, of one that does not without them.
StructureReport CheckFileStructureWithQuickDecode(const std::filesystem::path& path);
