// Helpers of the security suites and their probe: import-table hooks (the
// narrow seams for states Wine cannot produce), tokens built from the
// process token, and the probe's key=value result files.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "testing/harness/harness.h"

namespace qzsec
{

// Replaces one imported function in the main executable's import table while
// the object lives. Only calls made from code linked into the executable
// (our static libraries included) go through that table, so the hook is
// invisible to the system's own DLLs. Install hooks before starting threads.
class IatHook
{
public:
    IatHook(const char* dllName, const char* functionName, void* replacement);
    ~IatHook();
    IatHook(const IatHook&) = delete;
    IatHook& operator=(const IatHook&) = delete;

    bool Installed() const { return !m_slots.empty(); }
    // The function the table held before.
    void* Original() const { return m_original; }
    template <typename Function>
    Function OriginalAs() const
    {
        return reinterpret_cast<Function>(m_original);
    }

private:
    std::vector<void**> m_slots;
    void* m_original = nullptr;
};

// Tokens derived from the current process token. Each returns an owned
// handle (empty on failure).
qztest::ScopedHandle OpenOwnProcessToken();
// A primary duplicate with full access.
qztest::ScopedHandle DuplicatePrimary(HANDLE token);
// BUILTIN\Administrators made deny-only (CreateRestrictedToken).
qztest::ScopedHandle RestrictedAdministratorsDenyOnly(HANDLE token);
// A primary duplicate with one privilege adjusted to the given attributes
// (SE_PRIVILEGE_REMOVED, or 0 for disabled).
qztest::ScopedHandle DuplicateWithPrivilege(HANDLE token, const wchar_t* privilege, DWORD attributes);
// The raw linked token (TokenLinkedToken), and a primary copy of it.
qztest::ScopedHandle LinkedToken(HANDLE token);

// Whether the token lists the privilege, and its attributes.
bool TokenHasPrivilege(HANDLE token, const wchar_t* privilege, DWORD* attributes = nullptr);
// Attributes of a group in the token; false when absent.
bool TokenGroupAttributes(HANDLE token, const wchar_t* sidString, DWORD& attributes);

// key=value lines (first '=' splits); repeated keys keep the last value,
// and all values of a key are kept in Multi.
struct KeyValues
{
    std::map<std::string, std::string> values;
    std::multimap<std::string, std::string> multi;
    bool Has(const std::string& key) const { return values.count(key) != 0; }
    std::string Get(const std::string& key) const;
    std::vector<std::string> All(const std::string& key) const;
};
KeyValues ReadKeyValues(const std::wstring& path);

std::wstring SidToString(PSID sid);

} // namespace qzsec
