#include "tests/security/sec_test_util.h"

#include <sddl.h>

#include <cstring>

namespace qzsec
{

namespace
{
PIMAGE_NT_HEADERS NtHeaders(BYTE* base)
{
    auto* dos = reinterpret_cast<PIMAGE_DOS_HEADER>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return nullptr;
    auto* nt = reinterpret_cast<PIMAGE_NT_HEADERS>(base + dos->e_lfanew);
    return nt->Signature == IMAGE_NT_SIGNATURE ? nt : nullptr;
}

void WriteSlot(void** slot, void* value)
{
    DWORD oldProtect = 0;
    if (::VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &oldProtect))
    {
        *slot = value;
        ::VirtualProtect(slot, sizeof(void*), oldProtect, &oldProtect);
        ::FlushInstructionCache(::GetCurrentProcess(), slot, sizeof(void*));
    }
}
} // namespace

IatHook::IatHook(const char* dllName, const char* functionName, void* replacement)
{
    HMODULE dll = ::LoadLibraryA(dllName);
    void* target = dll != nullptr ? reinterpret_cast<void*>(::GetProcAddress(dll, functionName)) : nullptr;
    auto* base = reinterpret_cast<BYTE*>(::GetModuleHandleW(nullptr));
    PIMAGE_NT_HEADERS nt = NtHeaders(base);
    if (nt == nullptr)
        return;
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (directory.VirtualAddress == 0)
        return;
    for (auto* descriptor = reinterpret_cast<PIMAGE_IMPORT_DESCRIPTOR>(base + directory.VirtualAddress);
         descriptor->Name != 0; ++descriptor)
    {
        const char* importedDll = reinterpret_cast<const char*>(base + descriptor->Name);
        const bool sameDll = ::lstrcmpiA(importedDll, dllName) == 0;
        auto* iat = reinterpret_cast<PIMAGE_THUNK_DATA>(base + descriptor->FirstThunk);
        auto* names = descriptor->OriginalFirstThunk != 0
                          ? reinterpret_cast<PIMAGE_THUNK_DATA>(base + descriptor->OriginalFirstThunk)
                          : nullptr;
        for (size_t i = 0; iat[i].u1.Function != 0; ++i)
        {
            void** slot = reinterpret_cast<void**>(&iat[i].u1.Function);
            bool match = target != nullptr && *slot == target;
            if (!match && sameDll && names != nullptr && !IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal))
            {
                auto* byName = reinterpret_cast<PIMAGE_IMPORT_BY_NAME>(base + names[i].u1.AddressOfData);
                match = std::strcmp(reinterpret_cast<const char*>(byName->Name), functionName) == 0;
            }
            if (match)
            {
                if (m_original == nullptr)
                    m_original = *slot;
                m_slots.push_back(slot);
            }
        }
    }
    for (void** slot : m_slots)
        WriteSlot(slot, replacement);
}

IatHook::~IatHook()
{
    for (void** slot : m_slots)
        WriteSlot(slot, m_original);
}

qztest::ScopedHandle OpenOwnProcessToken()
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, &token))
        token = nullptr;
    return qztest::ScopedHandle(token);
}

qztest::ScopedHandle DuplicatePrimary(HANDLE token)
{
    HANDLE duplicate = nullptr;
    if (!::DuplicateTokenEx(token, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &duplicate))
        duplicate = nullptr;
    return qztest::ScopedHandle(duplicate);
}

qztest::ScopedHandle RestrictedAdministratorsDenyOnly(HANDLE token)
{
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(administrators);
    if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size))
        return qztest::ScopedHandle();
    SID_AND_ATTRIBUTES disable = {administrators, 0};
    HANDLE restricted = nullptr;
    if (!::CreateRestrictedToken(token, 0, 1, &disable, 0, nullptr, 0, nullptr, &restricted))
        restricted = nullptr;
    return qztest::ScopedHandle(restricted);
}

qztest::ScopedHandle DuplicateWithPrivilege(HANDLE token, const wchar_t* privilege, DWORD attributes)
{
    qztest::ScopedHandle duplicate = DuplicatePrimary(token);
    if (!duplicate.IsValid())
        return duplicate;
    TOKEN_PRIVILEGES change = {};
    change.PrivilegeCount = 1;
    change.Privileges[0].Attributes = attributes;
    if (!::LookupPrivilegeValueW(nullptr, privilege, &change.Privileges[0].Luid) ||
        !::AdjustTokenPrivileges(duplicate.Get(), FALSE, &change, 0, nullptr, nullptr) ||
        ::GetLastError() != ERROR_SUCCESS)
        return qztest::ScopedHandle();
    return duplicate;
}

qztest::ScopedHandle LinkedToken(HANDLE token)
{
    HANDLE linked = nullptr;
    DWORD returned = 0;
    if (!::GetTokenInformation(token, TokenLinkedToken, &linked, sizeof(linked), &returned))
        linked = nullptr;
    return qztest::ScopedHandle(linked);
}

bool TokenHasPrivilege(HANDLE token, const wchar_t* privilege, DWORD* attributes)
{
    LUID luid = {};
    if (!::LookupPrivilegeValueW(nullptr, privilege, &luid))
        return false;
    DWORD length = 0;
    ::GetTokenInformation(token, TokenPrivileges, nullptr, 0, &length);
    std::vector<BYTE> block(length + 16);
    if (!::GetTokenInformation(token, TokenPrivileges, block.data(), static_cast<DWORD>(block.size()), &length))
        return false;
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(block.data());
    const LUID_AND_ATTRIBUTES* entries = privileges->Privileges;
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
    {
        if (entries[i].Luid.LowPart == luid.LowPart && entries[i].Luid.HighPart == luid.HighPart)
        {
            if (attributes != nullptr)
                *attributes = entries[i].Attributes;
            return true;
        }
    }
    return false;
}

bool TokenGroupAttributes(HANDLE token, const wchar_t* sidString, DWORD& attributes)
{
    DWORD length = 0;
    ::GetTokenInformation(token, TokenGroups, nullptr, 0, &length);
    std::vector<BYTE> block(length + 16);
    if (!::GetTokenInformation(token, TokenGroups, block.data(), static_cast<DWORD>(block.size()), &length))
        return false;
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(block.data());
    const SID_AND_ATTRIBUTES* entries = groups->Groups;
    for (DWORD i = 0; i < groups->GroupCount; ++i)
    {
        if (SidToString(entries[i].Sid) == sidString)
        {
            attributes = entries[i].Attributes;
            return true;
        }
    }
    return false;
}

std::string KeyValues::Get(const std::string& key) const
{
    auto it = values.find(key);
    return it != values.end() ? it->second : std::string("<missing>");
}

std::vector<std::string> KeyValues::All(const std::string& key) const
{
    std::vector<std::string> all;
    auto range = multi.equal_range(key);
    for (auto it = range.first; it != range.second; ++it)
        all.push_back(it->second);
    return all;
}

KeyValues ReadKeyValues(const std::wstring& path)
{
    KeyValues result;
    for (std::string line : qztest::ReadLines(path))
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        result.values[key] = value;
        result.multi.emplace(key, value);
    }
    return result;
}

std::wstring SidToString(PSID sid)
{
    wchar_t* text = nullptr;
    if (sid == nullptr || !::ConvertSidToStringSidW(sid, &text))
        return std::wstring();
    std::wstring result(text);
    ::LocalFree(text);
    return result;
}

} // namespace qzsec
