#include "platform/sandbox_win32.h"

#include <cstring>
#include <vector>

#include "platform/sandbox.h"

namespace {

// The token calls live in advapi32, which Wine loads with user32 behind it at every start of
// every helper: they are taken from kernelbase, which every process has loaded, and from
// advapi32 only where kernelbase lacks them.
struct TokenCalls {
  decltype(&::OpenProcessToken) open = nullptr;
  decltype(&::GetTokenInformation) get = nullptr;
  decltype(&::SetTokenInformation) set = nullptr;
  decltype(&::CreateRestrictedToken) restrict = nullptr;

  bool Load(HMODULE module) {
    if (module == nullptr) return false;
    open = reinterpret_cast<decltype(open)>(
        reinterpret_cast<void*>(::GetProcAddress(module, "OpenProcessToken")));
    get = reinterpret_cast<decltype(get)>(
        reinterpret_cast<void*>(::GetProcAddress(module, "GetTokenInformation")));
    set = reinterpret_cast<decltype(set)>(
        reinterpret_cast<void*>(::GetProcAddress(module, "SetTokenInformation")));
    restrict = reinterpret_cast<decltype(restrict)>(
        reinterpret_cast<void*>(::GetProcAddress(module, "CreateRestrictedToken")));
    return open != nullptr && get != nullptr && set != nullptr&& restrict != nullptr;
  }
};

const TokenCalls& Calls() {
  static const TokenCalls calls = [] {
    TokenCalls c;
    if (!c.Load(::GetModuleHandleW(L"kernelbase.dll"))) c.Load(::LoadLibraryW(L"advapi32.dll"));
    return c;
  }();
  return calls;
}

// S-1-16-4096, the Low integrity level, without the call that would build it.
struct LowIntegritySid {
  BYTE revision = SID_REVISION;
  BYTE subAuthorities = 1;
  SID_IDENTIFIER_AUTHORITY authority = {SECURITY_MANDATORY_LABEL_AUTHORITY};
  DWORD rid = SECURITY_MANDATORY_LOW_RID;
};

// The one privilege a restricted token keeps: passing through folders it may not list
// (SE_CHANGE_NOTIFY_PRIVILEGE, which the MinGW headers lack).
constexpr LUID kChangeNotify{23, 0};

bool IsChangeNotify(const LUID& luid) {
  return luid.LowPart == kChangeNotify.LowPart && luid.HighPart == kChangeNotify.HighPart;
}

std::vector<BYTE> TokenInformation(const TokenCalls& calls, HANDLE token,
                                   TOKEN_INFORMATION_CLASS what) {
  DWORD bytes = 0;
  calls.get(token, what, nullptr, 0, &bytes);
  std::vector<BYTE> data(bytes);
  if (bytes == 0 || !calls.get(token, what, data.data(), bytes, &bytes)) data.clear();
  return data;
}

}  // namespace

CUniqueHandle HelperToken() {
  const TokenCalls& calls = Calls();
  HANDLE own = nullptr;
  if (calls.open == nullptr ||
      !calls.open(::GetCurrentProcess(),
                  TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT,
                  &own)) {
    return {};
  }
  const CUniqueHandle ownToken(own);
  // Each privilege is named as well: Wine drops only those named.
  std::vector<LUID_AND_ATTRIBUTES> dropped;
  const auto held = TokenInformation(calls, own, TokenPrivileges);
  if (!held.empty()) {
    const auto* p = reinterpret_cast<const TOKEN_PRIVILEGES*>(held.data());
    for (DWORD i = 0; i < p->PrivilegeCount; ++i) {
      if (!IsChangeNotify(p->Privileges[i].Luid)) dropped.push_back(p->Privileges[i]);
    }
  }
  HANDLE restricted = nullptr;
  if (!calls.restrict(own, DISABLE_MAX_PRIVILEGE, 0, nullptr, static_cast<DWORD>(dropped.size()),
                      dropped.data(), 0, nullptr, &restricted)) {
    return {};
  }
  CUniqueHandle token(restricted);
  LowIntegritySid low;
  TOKEN_MANDATORY_LABEL label{};
  label.Label.Attributes = SE_GROUP_INTEGRITY;
  label.Label.Sid = &low;
  if (!calls.set(token.Get(), TokenIntegrityLevel, &label, sizeof label + sizeof low)) return {};
  return token;
}

HelperConfinementFacts ConfinementOfThisProcess() {
  HelperConfinementFacts facts;
  const TokenCalls& calls = Calls();
  HANDLE own = nullptr;
  if (calls.open != nullptr && calls.open(::GetCurrentProcess(), TOKEN_QUERY, &own)) {
    const CUniqueHandle token(own);
    const auto level = TokenInformation(calls, own, TokenIntegrityLevel);
    if (!level.empty()) {
      const PSID sid = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(level.data())->Label.Sid;
      const auto* s = static_cast<const SID*>(sid);
      if (s->SubAuthorityCount > 0) facts.integrity = s->SubAuthority[s->SubAuthorityCount - 1];
    }
    const auto held = TokenInformation(calls, own, TokenPrivileges);
    if (!held.empty()) {
      const auto* p = reinterpret_cast<const TOKEN_PRIVILEGES*>(held.data());
      facts.privileged = false;
      for (DWORD i = 0; i < p->PrivilegeCount; ++i) {
        if (!IsChangeNotify(p->Privileges[i].Luid)) facts.privileged = true;
      }
    }
  }
  BOOL inJob = FALSE;
  facts.inJob = ::IsProcessInJob(::GetCurrentProcess(), nullptr, &inJob) && inJob;
  // A null job is the caller's own.
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  if (facts.inJob && ::QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation,
                                                 &limits, sizeof limits, nullptr)) {
    facts.jobLimits = limits.BasicLimitInformation.LimitFlags;
    facts.activeProcesses = limits.BasicLimitInformation.ActiveProcessLimit;
  }
  JOBOBJECT_BASIC_UI_RESTRICTIONS ui{};
  if (facts.inJob &&
      ::QueryInformationJobObject(nullptr, JobObjectBasicUIRestrictions, &ui, sizeof ui, nullptr)) {
    facts.uiLimits = ui.UIRestrictionsClass;
  }
  return facts;
}

std::string ConfinementLacks(const HelperConfinementFacts& facts) {
  std::string lacks;
  const auto lack = [&lacks](const char* what) {
    lacks += lacks.empty() ? "the system does not confirm " : ", ";
    lacks += what;
  };
  if (facts.integrity > SECURITY_MANDATORY_LOW_RID) lack("a Low integrity level");
  if (facts.privileged) lack("privileges dropped");
  if (!facts.inJob) {
    lack("a job of its own");
  } else {
    if ((facts.jobLimits & kHelperJobLimits) != kHelperJobLimits ||
        facts.activeProcesses != kHelperActiveProcesses) {
      lack("a job that allows no other process");
    }
    if ((facts.uiLimits & kHelperUiLimits) != kHelperUiLimits) lack("a job that bars the desktop");
  }
  return lacks;
}

std::string SandboxMissing() { return ConfinementLacks(ConfinementOfThisProcess()); }

// The scan confined it as it started it: here it only looks whether that took.
Confinement ConfineDecoderHelper(int /*replies*/) {
  std::string missing = SandboxMissing();
  return {missing.empty(), std::move(missing)};
}
