// Helpers of handle_tests: kernel objects made with a descriptor given as
// SDDL, SIDs by string, and the trace entries the handle classes write.
#pragma once

#include <windows.h>

#include <sddl.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/atl/atl_sid.h"
#include "common/ntapi/ntapi.h"
#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"

// Reaches the native-function loader's one test hook, the reset of the
// resolved addresses (a friend of CqzNTAPI).
class CqzNTAPITestAccess
{
public:
    static void ForgetResolvedAddresses() { CqzNTAPI::_ForgetResolvedAddresses(); }
};

namespace qzhandletest
{

// Every part of a kernel object's descriptor that Wine keeps.
const SECURITY_INFORMATION kOwnerGroupDacl =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// A self-relative descriptor from SDDL, freed with LocalFree.
inline CqzScopedLocal<void> DescriptorOf(const wchar_t* sddl)
{
    CqzScopedLocal<void> descriptor;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &raw, nullptr))
        descriptor.Reset(raw);
    return descriptor;
}

// An unnamed (or named) mutex created with the descriptor; the handle has
// all access.
inline qztest::ScopedHandle MutexWithSddl(const wchar_t* sddl, const wchar_t* name = nullptr)
{
    CqzScopedLocal<void> descriptor = DescriptorOf(sddl);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.Get(), FALSE};
    return qztest::ScopedHandle(::CreateMutexW(descriptor ? &attributes : nullptr, FALSE, name));
}

inline qztest::ScopedHandle EventWithSddl(const wchar_t* sddl)
{
    CqzScopedLocal<void> descriptor = DescriptorOf(sddl);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.Get(), FALSE};
    return qztest::ScopedHandle(::CreateEventW(descriptor ? &attributes : nullptr, TRUE, FALSE, nullptr));
}

// A duplicate of a handle with other access.
inline qztest::ScopedHandle Reopen(HANDLE handle, DWORD access)
{
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, access, FALSE, 0))
        return qztest::ScopedHandle();
    return qztest::ScopedHandle(copy);
}

inline CSid Sid(const wchar_t* text)
{
    CSid sid;
    PSID raw = nullptr;
    if (::ConvertStringSidToSidW(text, &raw))
    {
        sid.LoadAccount(raw);
        ::LocalFree(raw);
    }
    return sid;
}

// Owner, group and DACL of a kernel object as SDDL (READ_CONTROL).
inline std::string ObjectSddl(HANDLE object, SECURITY_INFORMATION parts = kOwnerGroupDacl)
{
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, parts, nullptr, nullptr, nullptr, nullptr, &raw) != ERROR_SUCCESS)
        return "(unreadable)";
    CqzScopedLocal<void> descriptor(raw);
    return qztest::SddlOf(descriptor.Get(), parts);
}

// Whether a handle value still names an open handle of this process.
inline bool HandleIsOpen(HANDLE handle)
{
    DWORD flags = 0;
    return ::GetHandleInformation(handle, &flags) != FALSE;
}

inline qztest::TraceEntries Errors(const std::string& className, const std::vector<std::string>& texts)
{
    return qztest::EntriesOf(QZT_ERROR, className, texts);
}

// Entries of the given classes only (the native layer's own lines left out).
inline qztest::TraceEntries EntriesOfClasses(const qztest::TraceEntries& entries,
                                             const std::vector<std::string>& classes)
{
    qztest::TraceEntries kept;
    for (const qztest::TraceEntry& entry : entries)
    {
        for (const std::string& name : classes)
        {
            if (entry.className == name)
            {
                kept.push_back(entry);
                break;
            }
        }
    }
    return kept;
}

// An import-table hook that also hands the original function to the
// stand-in through `original`.
class IatHookGuard
{
public:
    template <typename Function>
    IatHookGuard(const char* dll, const char* name, Function replacement, Function& original)
        : m_hook(dll, name, reinterpret_cast<void*>(replacement))
    {
        original = m_hook.OriginalAs<Function>();
    }
    bool Installed() const { return m_hook.Installed(); }

private:
    qztest::IatHook m_hook;
};

// What the loader's GetProcAddress answers while an NtdllStandIn lives.
struct StandInState
{
    const char* name = nullptr;
    FARPROC replacement = nullptr;
    FARPROC(WINAPI* original)(HMODULE, LPCSTR) = nullptr;
};
inline StandInState g_standIn;

inline FARPROC WINAPI StandInGetProcAddress(HMODULE module, LPCSTR name)
{
    if (g_standIn.name != nullptr && !IS_INTRESOURCE(name) && std::strcmp(name, g_standIn.name) == 0)
        return g_standIn.replacement;
    return g_standIn.original(module, name);
}

// Makes the native-function loader resolve one ntdll function to a
// stand-in while the object lives. Seam: the executable's import of
// GetProcAddress, through which the loader (linked into this suite) finds
// ntdll's functions; used where Wine's ntdll cannot produce the state a
// test needs. The loader's kept addresses are forgotten on both ends, so
// the stand-in is reached now and the real function afterwards.
class NtdllStandIn
{
public:
    template <typename Function>
    NtdllStandIn(const char* name, Function replacement)
        : m_hook("kernel32.dll", "GetProcAddress", reinterpret_cast<void*>(&StandInGetProcAddress))
    {
        g_standIn.original = m_hook.OriginalAs<FARPROC(WINAPI*)(HMODULE, LPCSTR)>();
        g_standIn.name = name;
        g_standIn.replacement = reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(replacement));
        m_real = g_standIn.original ? g_standIn.original(::GetModuleHandleW(L"ntdll.dll"), name) : nullptr;
        CqzNTAPITestAccess::ForgetResolvedAddresses();
    }
    ~NtdllStandIn()
    {
        g_standIn.name = nullptr;
        CqzNTAPITestAccess::ForgetResolvedAddresses();
    }
    NtdllStandIn(const NtdllStandIn&) = delete;
    NtdllStandIn& operator=(const NtdllStandIn&) = delete;

    bool Ok() const { return m_hook.Installed() && m_real != nullptr; }
    // The real ntdll function.
    template <typename Function>
    Function Real() const
    {
        return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(m_real));
    }

private:
    qztest::IatHook m_hook;
    FARPROC m_real = nullptr;
};

} // namespace qzhandletest
