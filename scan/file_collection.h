#pragma once

#include <concepts>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "scan/file_list.h"

// Which names collection takes: "ogg" only after the last "." (the default), or every
// name an Ogg audio file goes by: "ogg", "oga" or "opus". Any letter case.
enum class OggNames { kOggOnly, kAnyOggAudio };

// Whether everything after the last "." of the path is a name `names` takes.
bool IsOggFile(const std::filesystem::path& path, OggNames names = OggNames::kOggOnly);

// Told of each folder that collection could not open or read to its end, with the reason;
// what could be read of it is listed all the same. Called on the collecting thread.
using UnreadableFolderSink =
    std::function<void(const std::filesystem::path& folder, std::error_code error)>;

// Appends every ogg file under the folder to the list, depth-first in the order the file
// system lists entries, each subfolder's files where the subfolder was first met. Folders
// whose names begin with "." are not entered. Links are followed, but each physical folder
// is entered once per list (see CFileList::EnterFolder): links back up the tree, many links
// to one folder and a folder given twice add nothing more.
void ScanFolder(CFileList& list, const std::filesystem::path& folder,
                const UnreadableFolderSink& onUnreadable = {}, OggNames names = OggNames::kOggOnly);

// The rule for one given path (a dropped item, the command line, a CLI argument): a folder
// is walked, an ogg file is appended as given, anything else is ignored. A path whose
// status cannot be read counts as a folder, so it is reported as unreadable and yields
// nothing. The empty path is no path: it yields nothing and is not reported.
void AddGivenPath(CFileList& list, const std::filesystem::path& path,
                  const UnreadableFolderSink& onUnreadable = {},
                  OggNames names = OggNames::kOggOnly);
// The engine's paths are UTF-8 strings, which a path made from them would read in the
// ANSI code page on Windows: they go through PathFromUtf8.
template <typename String>
requires std::same_as<String, std::string>
void AddGivenPath(CFileList&, const String&, const UnreadableFolderSink& = {},
                  OggNames = OggNames::kOggOnly) = delete;
template <typename String>
requires std::same_as<String, std::string>
void ScanFolder(CFileList&, const String&, const UnreadableFolderSink& = {},
                OggNames = OggNames::kOggOnly) = delete;

// What a window opened on a path shows when the path yielded nothing to check, so that it
// never looks like a plain start: the folders collection could not read, or else why
// nothing was taken. `given` is the path as it came, `path` what was collected from once
// double quotes were removed; a difference between them is said too.
std::vector<CFileList::Unchecked> WhyNothingToCheck(const CFileList& list,
                                                    const std::filesystem::path& given,
                                                    const std::filesystem::path& path);
