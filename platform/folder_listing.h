#pragma once

#include <memory>
#include <string>
#include <system_error>

#include "platform/file_status.h"

// One folder's entries in the order the file system lists them ("." and ".." left out),
// read one at a time through an open directory (opendir, FindFirstFileExW) that this
// object owns.
class CFolderListing {
 public:
  struct Entry {
    std::string name;  // UTF-8 (see path_bytes.h)
    // Links and junctions count as what they lead to; a broken one is not a folder.
    bool isFolder = false;
  };

  CFolderListing();
  ~CFolderListing();
  CFolderListing(const CFolderListing&) = delete;
  CFolderListing& operator=(const CFolderListing&) = delete;

  // False with the reason when the folder cannot be opened. `folder` then holds the
  // status of the opened folder itself, for its identity.
  bool Open(const std::string& utf8Path, FileStatus& folder, std::error_code& error);
  // False at the end of the listing; `error` is set when a failure ended it early.
  bool Next(Entry& entry, std::error_code& error);

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};
