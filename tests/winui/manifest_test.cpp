// What harrowbit.exe declares to Windows, read from the built program's own resources
// (RT_MANIFEST 1, where the loader looks) and parsed, and asked of Windows' own reader of
// manifests (an activation context) where Wine answers: Wine ignores most of it, so the
// declaration is what can be tested here.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

// One element of the manifest: its name, attributes, the text right inside it, and the
// names of the elements it lies in, outermost first.
struct Element {
  std::string name;
  std::map<std::string, std::string> attributes;
  std::string text;
  std::vector<std::string> within;
};

// The elements of a small XML document in order. Enough for a manifest: no entities,
// no CDATA; comments and the declaration are passed over.
std::vector<Element> ParseElements(const std::string& xml) {
  std::vector<Element> out;
  std::vector<std::string> open;
  std::size_t i = 0;
  while ((i = xml.find('<', i)) != std::string::npos) {
    if (xml.compare(i, 4, "<!--") == 0) {
      i = xml.find("-->", i);
      if (i == std::string::npos) break;
      continue;
    }
    const std::size_t end = xml.find('>', i);
    if (end == std::string::npos) break;
    std::string tag = xml.substr(i + 1, end - i - 1);
    i = end + 1;
    if (tag.empty() || tag[0] == '?') continue;
    if (tag[0] == '/') {
      if (!open.empty()) open.pop_back();
      continue;
    }
    const bool empty = tag.back() == '/';
    if (empty) tag.pop_back();
    Element e;
    std::size_t p = tag.find_first_of(" \t\r\n");
    e.name = tag.substr(0, p);
    while (p != std::string::npos &&
           (p = tag.find_first_not_of(" \t\r\n", p)) != std::string::npos) {
      const std::size_t eq = tag.find('=', p);
      const std::size_t q1 = tag.find('"', eq);
      const std::size_t q2 = tag.find('"', q1 + 1);
      if (eq == std::string::npos || q1 == std::string::npos || q2 == std::string::npos) break;
      e.attributes[tag.substr(p, tag.find_last_not_of(" \t\r\n", eq - 1) + 1 - p)] =
          tag.substr(q1 + 1, q2 - q1 - 1);
      p = q2 + 1;
    }
    e.text = xml.substr(i, xml.find('<', i) - i);
    e.within = open;
    out.push_back(e);
    if (!empty) open.push_back(e.name);
  }
  return out;
}

std::wstring ProgramPath() {
  const wchar_t* exe = _wgetenv(L"HARROWBIT_EXE");
  return exe != nullptr ? exe : L"";
}

std::string ManifestOf(const std::wstring& exe) {
  const HMODULE module = ::LoadLibraryExW(
      exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) return {};
  std::string text;
  if (const HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST)) {
    const auto* bytes = static_cast<const char*>(::LockResource(::LoadResource(module, found)));
    if (bytes != nullptr) text.assign(bytes, ::SizeofResource(module, found));
  }
  ::FreeLibrary(module);
  return text;
}

const Element* Find(const std::vector<Element>& all, const std::string& name,
                    const std::string& parent) {
  for (const Element& e : all) {
    if (e.name == name && !e.within.empty() && e.within.back() == parent) return &e;
  }
  return nullptr;
}

TEST(Manifest, ItNamesX64AndDeclaresDpiAndLongPathAwareness) {
  const std::wstring exe = ProgramPath();
  ASSERT_FALSE(exe.empty()) << "HARROWBIT_EXE is not set";
  const std::string manifest = ManifestOf(exe);
  ASSERT_FALSE(manifest.empty()) << "no RT_MANIFEST 1 in harrowbit.exe";
  const std::vector<Element> all = ParseElements(manifest);

  // Every architecture named is the program's own, or any; an X86 one stops a 64-bit
  // program at start on Windows.
  int identities = 0;
  for (const Element& e : all) {
    if (e.name != "assemblyIdentity") continue;
    ++identities;
    const std::string arch = e.attributes.count("processorArchitecture") != 0
                                 ? e.attributes.at("processorArchitecture")
                                 : "";
    EXPECT_TRUE(arch == "amd64" || arch == "*") << e.attributes.at("name") << ": " << arch;
  }
  EXPECT_EQ(identities, 2);
  const Element* own = Find(all, "assemblyIdentity", "assembly");
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(own->attributes.at("processorArchitecture"), "amd64");
  const Element* controls = Find(all, "assemblyIdentity", "dependentAssembly");
  ASSERT_NE(controls, nullptr);
  EXPECT_EQ(controls->attributes.at("name"), "Microsoft.Windows.Common-Controls");
  EXPECT_EQ(controls->attributes.at("version"), "6.0.0.0");

  // Each setting in the namespace Windows reads it from, or it is ignored.
  const struct {
    const char* name;
    const char* xmlns;
    const char* value;
  } settings[] = {
      {"dpiAware", "http://schemas.microsoft.com/SMI/2005/WindowsSettings", "true/pm"},
      {"dpiAwareness", "http://schemas.microsoft.com/SMI/2016/WindowsSettings",
       "PerMonitorV2, PerMonitor"},
      {"longPathAware", "http://schemas.microsoft.com/SMI/2016/WindowsSettings", "true"},
  };
  for (const auto& s : settings) {
    const Element* e = Find(all, s.name, "windowsSettings");
    ASSERT_NE(e, nullptr) << s.name;
    EXPECT_EQ(e->attributes.at("xmlns"), s.xmlns) << s.name;
    EXPECT_EQ(e->text, s.value) << s.name;
    EXPECT_EQ(e->within, (std::vector<std::string>{"assembly", "application", "windowsSettings"}));
  }
  const Element* application = Find(all, "application", "assembly");
  ASSERT_NE(application, nullptr);
  EXPECT_EQ(application->attributes.at("xmlns"), "urn:schemas-microsoft-com:asm.v3");
}

// Wine's own reader of manifests: what it makes of the program's settings.
TEST(Manifest, WindowsReadsTheSettingsFromTheProgram) {
  const std::wstring exe = ProgramPath();
  ASSERT_FALSE(exe.empty());
  ACTCTXW request{};
  request.cbSize = sizeof request;
  request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
  request.lpSource = exe.c_str();
  request.lpResourceName = MAKEINTRESOURCEW(1);
  const HANDLE context = ::CreateActCtxW(&request);
  ASSERT_NE(context, INVALID_HANDLE_VALUE) << ::GetLastError();
  const auto setting = [&](const wchar_t* ns, const wchar_t* name) {
    wchar_t value[64] = {};
    SIZE_T written = 0;
    if (!::QueryActCtxSettingsW(0, context, ns, name, value, 64, &written)) return std::wstring();
    return std::wstring(value);
  };
  EXPECT_EQ(setting(L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"dpiAwareness"),
            L"PerMonitorV2, PerMonitor");
  EXPECT_EQ(setting(L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"longPathAware"),
            L"true");
  ::ReleaseActCtx(context);
}

// The reader above on a manifest that gets it wrong: each fault is seen.
TEST(Manifest, TheParserSeesWhatItIsShown) {
  const auto all = ParseElements(
      "<?xml version=\"1.0\"?><a x=\"1\"><!-- <b/> --><b y = \"2\" z=\"3\"/><c>text</c></a>");
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1].name, "b");
  EXPECT_EQ(all[1].attributes.at("y"), "2");
  EXPECT_EQ(all[1].attributes.at("z"), "3");
  EXPECT_EQ(all[2].text, "text");
  EXPECT_EQ(all[2].within, std::vector<std::string>{"a"});
}

}  // namespace
