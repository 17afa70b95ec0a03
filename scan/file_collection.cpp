#include "scan/file_collection.h"

#include <string>
#include <string_view>
#include <vector>

#include "platform/file_status.h"
#include "platform/folder_listing.h"
#include "platform/path_bytes.h"

namespace {

bool IsOggName(std::string_view path, OggNames names) {
  const auto dot = path.rfind('.');
  if (dot == std::string_view::npos) return false;
  const std::string_view ext = path.substr(dot + 1);
  if (ext.size() > 4) return false;
  std::string lower(ext);
  for (char& c : lower) c = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
  if (lower == "ogg") return true;
  return names == OggNames::kAnyOggAudio && (lower == "oga" || lower == "opus");
}

void Report(const UnreadableFolderSink& onUnreadable, const std::string& folder,
            std::error_code error) {
  if (onUnreadable) onUnreadable(PathFromUtf8(folder), error);
}

// Reads the whole listing before descending, so that a deep tree holds one open directory
// at a time instead of one per level. False for a folder that cannot be opened and for one
// already entered; a listing cut short by an error keeps what was read.
bool ReadListing(CFileList& list, const std::string& folder,
                 std::vector<CFolderListing::Entry>& out, const UnreadableFolderSink& onUnreadable,
                 OggNames names) {
  CFolderListing listing;
  FileStatus status;
  std::error_code error;
  if (!listing.Open(folder, status, error)) {
    Report(onUnreadable, folder, error);
    return false;
  }
  if (!list.EnterFolder(status.device, status.index)) return false;
  CFolderListing::Entry e;
  while (listing.Next(e, error)) {
    if (e.isFolder ? e.name.front() != '.' : IsOggName(e.name, names)) {
      out.push_back(std::move(e));
    }
  }
  if (error) Report(onUnreadable, folder, error);
  return true;
}

void Walk(CFileList& list, const std::string& folder, const UnreadableFolderSink& onUnreadable,
          OggNames names) {
  std::vector<CFolderListing::Entry> entries;
  if (!ReadListing(list, folder, entries, onUnreadable, names)) return;
  const bool endsInSeparator = EndsInSeparator(folder);
  for (CFolderListing::Entry& e : entries) {
    std::string full = folder;
    if (!endsInSeparator) full += kPathSeparator;
    full += e.name;
    if (e.isFolder) {
      Walk(list, full, onUnreadable, names);
    } else {
      list.AppendNative(NativeFromUtf8(std::move(full)));
    }
  }
}

}  // namespace

bool IsOggFile(const std::filesystem::path& path, OggNames names) {
  return IsOggName(PathToUtf8(path), names);
}

void ScanFolder(CFileList& list, const std::filesystem::path& folder,
                const UnreadableFolderSink& onUnreadable, OggNames names) {
  if (folder.empty()) return;
  Walk(list, PathToUtf8(folder), onUnreadable, names);
}

void AddGivenPath(CFileList& list, const std::filesystem::path& path,
                  const UnreadableFolderSink& onUnreadable, OggNames names) {
  FileStatus::Kind kind = FileStatus::Kind::kOther;
  std::error_code ignored;
  if (!KindOf(PathToUtf8(path), kind, ignored) || kind == FileStatus::Kind::kFolder) {
    ScanFolder(list, path, onUnreadable, names);
  } else if (IsOggFile(path, names)) {
    list.Append(path);
  }
}

std::vector<CFileList::Unchecked> WhyNothingToCheck(const CFileList& list,
                                                    const std::filesystem::path& given,
                                                    const std::filesystem::path& path) {
  std::vector<CFileList::Unchecked> notes = list.UncheckedSoFar();
  if (notes.empty()) {
    FileStatus status;
    std::error_code ignored;
    const bool folder =
        StatusOf(PathToUtf8(path), status, ignored) && status.kind == FileStatus::Kind::kFolder;
    notes.push_back({path, folder ? "no file in it has a name ending in \".ogg\""
                                  : "neither a folder nor a file whose name ends in \".ogg\""});
  }
  if (given.native() == path.native()) return notes;
  for (CFileList::Unchecked& note : notes) {
    if (note.path != path) continue;
    note.reason = path.empty() ? "nothing is left once double quotes are removed"
                               : "read as " + PathToUtf8(path) +
                                     " once double quotes are removed: " + note.reason;
    note.path = given;
  }
  return notes;
}
