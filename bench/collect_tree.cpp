// File collection alone over a folder: prints how many files it listed.

#include <cstdio>

#include "scan/file_collection.h"

int main(int argc, char** argv) {
  CFileList list;
  for (int i = 1; i < argc; ++i) AddGivenPath(list, argv[i]);
  std::printf("%zu\n", list.Count());
  return 0;
}
