// libFuzzer target over file collection and path text. Each input line is a path under a
// fresh folder: "a/b.ogg" makes a file and its folders, "a/b/" a folder, "a/l=>../x" a
// link. The tree is then collected and every listed path and name checked as text.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "filetest/codecs/ogg_check.h"
#include "scan/file_collection.h"
#include "text/path_text.h"
#include "text/terminal_columns.h"

namespace fs = std::filesystem;

namespace {

// Enough for nested links, loops and a few levels; small enough to stay fast, and links
// few enough that a walk through every chain of them stays short.
constexpr std::size_t kMaxLines = 64;
constexpr int kMaxLinks = 8;

[[noreturn]] void Fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "collection_fuzz: %s: \"%.*s\"\n", what, int(detail.size()), detail.data());
  std::abort();
}

// UTF-8 read the usual way, by code point, as a check on the table-driven reading in the
// engine: one piece is a well-formed character or else a single byte.
struct Piece {
  std::size_t bytes;
  std::size_t units;  // UTF-16 code units of what a person sees for it
  bool valid;
  // C0, DEL, C1, a bidirectional control or a line or paragraph separator: shown as
  // U+FFFD like a byte that does not decode.
  bool control = false;
};

Piece NextPiece(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned lead = byte(i);
  if (lead < 0x80) return {1, 1, true, lead < 0x20 || lead == 0x7F};
  std::size_t length = 0;
  uint32_t cp = 0;
  uint32_t least = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, least = 0x10000;
  } else {
    return {1, 1, false};
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (i + k >= s.size() || (byte(i + k) & 0xC0) != 0x80) return {1, 1, false};
    cp = cp << 6 | (byte(i + k) & 0x3F);
  }
  if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {1, 1, false};
  const bool control = (cp >= 0x80 && cp <= 0x9F) || cp == 0x061C || cp == 0x200E || cp == 0x200F ||
                       (cp >= 0x2028 && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
  return {length, cp >= 0x10000 ? 2u : 1u, true, control};
}

bool IsValidUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const Piece p = NextPiece(s, i);
    if (!p.valid) return false;
    i += p.bytes;
  }
  return true;
}

void CheckText(std::string_view bytes) {
  std::string shown;
  std::vector<std::size_t> boundaries{0};
  std::vector<std::size_t> unitsBefore{0};
  for (std::size_t i = 0; i < bytes.size();) {
    const Piece p = NextPiece(bytes, i);
    shown += p.valid && !p.control ? bytes.substr(i, p.bytes) : "\xEF\xBF\xBD";
    i += p.bytes;
    boundaries.push_back(i);
    unitsBefore.push_back(unitsBefore.back() + p.units);
  }
  const std::string display = DisplayText(bytes);
  if (display != shown) Fail("DisplayText differs from a reading by code points", bytes);
  if (!IsValidUtf8(display)) Fail("DisplayText gave invalid UTF-8", display);

  // Each byte or character shown as U+FFFD is one column, as U+FFFD itself is.
  const std::size_t columns = DisplayColumns(bytes);
  if (DisplayColumns(display) != columns)
    Fail("columns differ from those of the shown text", bytes);
  for (std::size_t maxColumns : {std::size_t{0}, std::size_t{1}, std::size_t{2}, columns / 2,
                                 columns > 0 ? columns - 1 : 0, columns}) {
    const std::string tail = CutToColumnsFromLeft(bytes, maxColumns);
    if (!bytes.ends_with(tail)) Fail("cut to columns is not a tail", bytes);
    if (DisplayColumns(tail) > maxColumns) Fail("cut to columns is too wide", bytes);
  }
  if (CutToColumnsFromLeft(bytes, columns) != bytes) Fail("text that fits was cut", bytes);

  const std::size_t total = unitsBefore.back();
  for (std::size_t maxUnits : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3},
                               total > 0 ? total - 1 : 0, total, total + 1, std::size_t{259}}) {
    const std::string cut = CutToUtf16Units(bytes, maxUnits);
    if (!bytes.starts_with(cut)) Fail("cut is not a prefix", bytes);
    // The longest run of whole pieces within the limit: a character is never split.
    std::size_t k = 0;
    while (k + 1 < boundaries.size() && unitsBefore[k + 1] <= maxUnits) ++k;
    if (cut.size() != boundaries[k]) Fail("cut at the wrong place", bytes);
  }
}

// The fresh folder each input builds in; tmpfs when there is one, for speed. Never freed,
// so that it outlives the static destructors and the removal at exit can use it. The name
// carries the process id, so that folders left by crashed runs can be told and removed.
const std::string& Root() {
  static const std::string* const root = [] {
    std::error_code ec;
    const fs::path base = fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0
                              ? fs::path("/dev/shm")
                              : fs::temp_directory_path();
    const std::string prefix = "harrowbit-fuzz-";
    std::vector<fs::path> stale;
    for (const auto& e : fs::directory_iterator(base, ec)) {
      const std::string name = e.path().filename().native();
      if (!name.starts_with(prefix)) continue;
      const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
      if (pid > 0 && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH) stale.push_back(e.path());
    }
    for (const fs::path& p : stale) fs::remove_all(p, ec);
    auto* made =
        new std::string((base / (prefix + std::to_string(::getpid()) + "-XXXXXX")).native());
    if (::mkdtemp(made->data()) == nullptr) Fail("mkdtemp failed", *made);
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(Root(), ignored);
    });
    return made;
  }();
  return *root;
}

void EmptyRoot() {
  std::error_code ec;
  std::vector<fs::path> entries;
  for (const auto& e : fs::directory_iterator(Root(), ec)) entries.push_back(e.path());
  for (const fs::path& p : entries) fs::remove_all(p, ec);
}

std::vector<std::string_view> Split(std::string_view s, char separator) {
  std::vector<std::string_view> parts;
  std::size_t begin = 0;
  for (std::size_t i = 0; i <= s.size(); ++i) {
    if (i == s.size() || s[i] == separator) {
      parts.push_back(s.substr(begin, i - begin));
      begin = i + 1;
    }
  }
  return parts;
}

// The components of a relative path; false when one cannot be a name in a folder.
bool Components(std::string_view path, bool allowUp, std::vector<std::string_view>& out) {
  for (std::string_view c : Split(path, '/')) {
    if (c.empty()) continue;
    const bool up = c == "." || c == "..";
    if ((up && !allowUp) || c.find('\0') != std::string_view::npos) return false;
    out.push_back(c);
  }
  return !out.empty();
}

// Whether a link in `folder` to `target` resolves inside the root, now and whatever is made
// later: either only "." and ".." within the real depth of the folder, or only names
// downward, through links that were themselves held to this rule.
bool StaysInside(const std::string& folder, std::string_view target) {
  std::vector<std::string_view> steps;
  if (target.starts_with('/') || !Components(target, true, steps)) return false;
  long ups = 0;
  bool names = false;
  for (std::string_view s : steps) {
    ups += s == "..";
    names = names || (s != "." && s != "..");
  }
  if (ups == 0) return true;
  if (names) return false;
  std::error_code ec;
  static const fs::path realRoot = fs::canonical(Root());
  const fs::path real = fs::canonical(folder, ec);
  if (ec) return false;
  long depth = 0;
  for (auto r = real.begin(), o = realRoot.begin(); r != real.end(); ++r) {
    if (o != realRoot.end()) {
      if (*o++ != *r) return false;
    } else {
      ++depth;
    }
  }
  return ups <= depth;
}

// Creates what one line names; returns the path made, or empty when nothing was.
std::string Create(std::string_view line, int& links) {
  std::string_view target;
  const auto arrow = line.find("=>");
  if (arrow != std::string_view::npos) {
    if (links >= kMaxLinks) return {};
    target = line.substr(arrow + 2);
    line = line.substr(0, arrow);
  }
  std::vector<std::string_view> names;
  if (!Components(line, false, names)) return {};
  std::string path = Root();
  for (std::size_t i = 0; i + 1 < names.size(); ++i) {
    (path += '/') += names[i];
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return {};
  }
  const std::string folder = path;
  (path += '/') += names.back();
  if (arrow != std::string_view::npos) {
    // A link out of the root would walk the whole machine.
    if (!StaysInside(folder, target)) return {};
    if (::symlink(std::string(target).c_str(), path.c_str()) != 0) return {};
    ++links;
  } else if (line.ends_with('/')) {
    if (::mkdir(path.c_str(), 0755) != 0) return {};
  } else {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return {};
    ::close(fd);
  }
  return path;
}

std::vector<std::string> Listed(const CFileList& list) {
  std::vector<std::string> out;
  const std::size_t count = list.Count();
  for (std::size_t i = 0; i < count; ++i) {
    const auto e = list.Take(i);
    if (!e) Fail("Take failed inside the list", std::to_string(i));
    if (e->hasNext != (i + 1 < count)) Fail("hasNext wrong", e->path.native());
    out.push_back(e->path.native());
  }
  if (list.Take(count)) Fail("Take past the end gave an entry", std::to_string(count));
  return out;
}

// The files listed, and after them each folder reported as unreadable.
std::vector<std::string> Collect(const std::string& path, bool given = false) {
  CFileList list;
  std::vector<std::string> unreadable;
  const UnreadableFolderSink sink = [&](const fs::path& folder, std::error_code error) {
    if (!error) Fail("unreadable folder reported without an error", folder.native());
    unreadable.push_back("unreadable " + folder.native());
  };
  if (given) {
    AddGivenPath(list, fs::path(path), sink);
  } else {
    ScanFolder(list, fs::path(path), sink);
  }
  std::vector<std::string> out = Listed(list);
  out.insert(out.end(), unreadable.begin(), unreadable.end());
  return out;
}

// A walk written on std::filesystem: depth first in listing order, links followed, dot
// folders not entered, and each folder (by its path with every link resolved) entered once.
void ModelWalk(const fs::path& folder, std::set<fs::path>& entered, std::vector<std::string>& out,
               std::vector<std::string>& unreadable) {
  std::error_code ec;
  const fs::path real = fs::canonical(folder, ec);
  if (ec) {
    unreadable.push_back("unreadable " + folder.native());
    return;
  }
  if (!entered.insert(real).second) return;
  fs::directory_iterator listing(folder, ec);
  if (ec) unreadable.push_back("unreadable " + folder.native());
  for (const auto& e : listing) {
    const std::string name = e.path().filename().native();
    std::error_code statError;
    if (fs::is_directory(e.path(), statError)) {
      if (name[0] != '.') ModelWalk(e.path(), entered, out, unreadable);
    } else if (IsOggFile(e.path())) {
      out.push_back(e.path().native());
    }
  }
}

void CheckListedPath(const std::string& path) {
  const std::string& root = Root();
  if (!path.starts_with(root + '/')) Fail("listed path outside the folder", path);
  if (!IsOggFile(path)) Fail("listed path is not an ogg file", path);
  const std::vector<std::string_view> parts =
      Split(std::string_view(path).substr(root.size() + 1), '/');
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    if (parts[i].empty()) Fail("listed path with an empty name", path);
    if (parts[i][0] == '.') Fail("listed path under a dot folder", path);
  }
  if (!IsValidUtf8(DisplayText(path))) Fail("shown path is not UTF-8", path);
}

void CheckGivenPath(const std::string& path) {
  const std::vector<std::string> got = Collect(path, true);
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  std::vector<std::string> expected;
  if (ec || fs::is_directory(status)) {
    // A path whose status cannot be read counts as a folder.
    expected = Collect(path);
  } else if (IsOggFile(path)) {
    expected.push_back(path);
  }
  if (got != expected) Fail("AddGivenPath differs from the rule", path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string& root = Root();
  EmptyRoot();

  std::vector<std::string> made;
  int links = 0;
  std::vector<std::string_view> lines = Split(input, '\n');
  if (lines.size() > kMaxLines) lines.resize(kMaxLines);
  for (std::string_view line : lines) {
    CheckText(line);
    const std::string path = Create(line, links);
    if (!path.empty()) made.push_back(path);
  }

  const std::vector<std::string> listed = Collect(root);
  std::set<fs::path> entered;
  std::vector<std::string> expected;
  std::vector<std::string> unreadable;
  ModelWalk(root, entered, expected, unreadable);
  expected.insert(expected.end(), unreadable.begin(), unreadable.end());
  if (listed != expected) Fail("ScanFolder differs from the model walk", input);
  if (Collect(root + '/') != listed) Fail("a trailing separator changed the walk", root);
  for (const std::string& path : listed) {
    if (path.starts_with("unreadable ")) continue;
    CheckListedPath(path);
    CheckText(path);
  }

  for (const std::string& path : made) CheckGivenPath(path);
  CheckGivenPath(root);
  CheckGivenPath(root + "/missing");
  return 0;
}
