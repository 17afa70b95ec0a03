#pragma once

#include <filesystem>

#include "scan/file_list.h"

// Whether everything after the last "." of the path is "ogg" in any letter case.
bool IsOggFile(const std::filesystem::path& path);

// Appends every ogg file under the folder to the list, depth-first in the order the file
// system lists entries, each subfolder's files where the subfolder was met. Folders whose
// names begin with "." are not entered; a link that leads back to a folder already on the
// current walk is not entered again. A folder that cannot be read adds nothing.
void ScanFolder(CFileList& list, const std::filesystem::path& folder);

// The rule for one given path (a dropped item, the command line, a CLI argument): a folder
// is walked, an ogg file is appended as given, anything else is ignored. A path whose
// status cannot be read counts as a folder and so yields nothing.
void AddGivenPath(CFileList& list, const std::filesystem::path& path);
