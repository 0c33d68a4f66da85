// CqzAccessPriveleges: privilege names by index, the process-wide LUID cache
// and the standard-user privileges.
#include "common/security/security.h"

#include <new>
#include <utility>
#include <vector>

#include "common/util/os.h"
#include "common/util/scoped.h"
#include "trace/trace.h"

namespace
{
const char* const kPrivilegesClass = "CqzAccessPriveleges";

// ---------------------------------------------------------------------------
// Privilege tables
// ---------------------------------------------------------------------------

const wchar_t* const kPrivilegeNames[CqzAccessPriveleges::PrivilegeIndexCount] = {
    L"SeCreateTokenPrivilege",
    L"SeAssignPrimaryTokenPrivilege",
    L"SeLockMemoryPrivilege",
    L"SeIncreaseQuotaPrivilege",
    L"SeUnsolicitedInputPrivilege",
    L"SeMachineAccountPrivilege",
    L"SeTcbPrivilege",
    L"SeSecurityPrivilege",
    L"SeTakeOwnershipPrivilege",
    L"SeLoadDriverPrivilege",
    L"SeSystemProfilePrivilege",
    L"SeSystemtimePrivilege",
    L"SeProfileSingleProcessPrivilege",
    L"SeIncreaseBasePriorityPrivilege",
    L"SeCreatePagefilePrivilege",
    L"SeCreatePermanentPrivilege",
    L"SeBackupPrivilege",
    L"SeRestorePrivilege",
    L"SeShutdownPrivilege",
    L"SeDebugPrivilege",
    L"SeAuditPrivilege",
    L"SeSystemEnvironmentPrivilege",
    L"SeChangeNotifyPrivilege",
    L"SeRemoteShutdownPrivilege",
    L"SeUndockPrivilege",
    L"SeSyncAgentPrivilege",
    L"SeEnableDelegationPrivilege",
    L"SeManageVolumePrivilege",
    L"SeImpersonatePrivilege",
    L"SeCreateGlobalPrivilege",
    L"SeIncreaseWorkingSetPrivilege",
    L"SeCreateSymbolicLinkPrivilege",
    L"SeTimeZonePrivilege",
    L"SeTrustedCredManAccessPrivilege",
    L"SeRelabelPrivilege",
};

// Names that the system does not know stop being remembered once the cache
// holds this many entries, so that a caller probing made-up names cannot grow
// it without bound.
const size_t kUnknownPrivilegeCacheLimit = 100;

struct PrivilegeCache
{
    SRWLOCK lock = SRWLOCK_INIT;
    // Searched linearly in insertion order; the first entry of a name wins.
    std::vector<std::pair<std::wstring, LUID>> entries;
};

PrivilegeCache& GetPrivilegeCache()
{
    static PrivilegeCache cache;
    return cache;
}

} // namespace

// ---------------------------------------------------------------------------
// CqzAccessPriveleges
// ---------------------------------------------------------------------------

const LUID CqzAccessPriveleges::UnknownPrivilegeLuid = {0xFDFDEFEF, 0x0A0A0B0B};

const wchar_t* CqzAccessPriveleges::GetPrivilegeName(int index)
{
    if (index < 0 || index >= PrivilegeIndexCount)
    {
        QZ_STACK_NAME("GetPrivilegeName", kPrivilegesClass);
        QZTRACE(QZT_ERROR, kPrivilegesClass, "ERROR: Unknown privilege value " << static_cast<long>(index));
        return nullptr;
    }
    return kPrivilegeNames[index];
}

bool CqzAccessPriveleges::LookupPrivilegeValue(const wchar_t* name, LUID& luid)
{
    if (name == nullptr)
    {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    PrivilegeCache& cache = GetPrivilegeCache();

    bool found = false;
    LUID cached = {};
    {
        CqzSrwSharedLock lock(cache.lock);
        for (const auto& entry : cache.entries)
        {
            if (entry.first == name)
            {
                cached = entry.second;
                found = true;
                break;
            }
        }
    }
    if (found)
    {
        if (IsInvalidLuid(cached))
        {
            ::SetLastError(ERROR_NO_SUCH_PRIVILEGE);
            return false;
        }
        luid = cached;
        return true;
    }

    // The system lookup runs with no lock held.
    LUID resolved = {};
    const bool ok = ::LookupPrivilegeValueW(nullptr, name, &resolved) != FALSE;
    const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
    if (!ok)
    {
        QZ_STACK_NAME("LookupPrivilegeValue", kPrivilegesClass);
        QZTRACE(QZT_INFO, kPrivilegesClass,
                "INFO: Unknown prvilege name [" << name << "]."
                                                << " LastError=" << error);
    }

    // Only the system's own "no such privilege" is remembered as unknown: a
    // lookup that failed for another reason (LSA unavailable, low memory) is
    // asked again next time, so that a passing failure can never make a
    // privilege look permanently absent from the system.
    {
        CqzSrwExclusiveLock lock(cache.lock);
        try
        {
            if (ok)
                cache.entries.emplace_back(name, resolved);
            else if (error == ERROR_NO_SUCH_PRIVILEGE && cache.entries.size() < kUnknownPrivilegeCacheLimit)
                cache.entries.emplace_back(name, UnknownPrivilegeLuid);
        }
        catch (const std::bad_alloc&)
        {
            // Not cached; the next call asks the system again.
        }
    }

    if (ok)
        luid = resolved;
    ::SetLastError(error);
    return ok;
}

bool CqzAccessPriveleges::LookupPrivilegeValue(int index, LUID& luid)
{
    const wchar_t* name = GetPrivilegeName(index);
    if (name == nullptr)
    {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return LookupPrivilegeValue(name, luid);
}

bool CqzAccessPriveleges::LookupPrivilegeName(const LUID& luid, std::wstring& name)
{
    LUID query = luid;
    try
    {
        std::vector<wchar_t> buffer(256, L'\0');
        DWORD length = static_cast<DWORD>(buffer.size());
        if (::LookupPrivilegeNameW(nullptr, &query, buffer.data(), &length))
        {
            name.assign(buffer.data());
            return true;
        }
        DWORD error = ::GetLastError();
        name.assign(buffer.data());
        if (error != ERROR_INSUFFICIENT_BUFFER)
        {
            QZ_STACK_NAME("LookupPrivilegeName", kPrivilegesClass);
            QZTRACE(QZT_ERROR, kPrivilegesClass, "ERROR: LookupPrivilegeName() failed. LastError=" << error);
            return false;
        }
        buffer.assign(static_cast<size_t>(length) + 2, L'\0');
        length = static_cast<DWORD>(buffer.size());
        if (::LookupPrivilegeNameW(nullptr, &query, buffer.data(), &length))
        {
            name.assign(buffer.data());
            return true;
        }
        error = ::GetLastError();
        QZ_STACK_NAME("LookupPrivilegeName", kPrivilegesClass);
        QZTRACE(QZT_ERROR, kPrivilegesClass,
                "ERROR: LookupPrivilegeName({" << luid.HighPart << "," << luid.LowPart
                                               << ") failed. LastError=" << error);
        wchar_t unknown[48];
        std::swprintf(unknown, 48, L"Unknown{%d,%u}", static_cast<int>(luid.HighPart),
                      static_cast<unsigned>(luid.LowPart));
        name.assign(unknown);
        ::SetLastError(error);
    }
    catch (const std::bad_alloc&)
    {
        ::SetLastError(ERROR_OUTOFMEMORY);
    }
    return false;
}

bool CqzAccessPriveleges::SameLuid(const LUID& a, const LUID& b)
{
    return a.LowPart == b.LowPart && a.HighPart == b.HighPart;
}

bool CqzAccessPriveleges::IsInvalidLuid(const LUID& luid)
{
    return SameLuid(luid, UnknownPrivilegeLuid);
}

bool CqzAccessPriveleges::IsStandardUserPrivilege(const LUID& luid)
{
    // Built once; a name that cannot be looked up leaves a zero LUID.
    static const std::vector<LUID> standardUserPrivileges = []
    {
        std::vector<LUID> list;
        const bool vista = CqzOperatingSystem::GetMajorVersion() >= 6;
        static const int kXpIndices[] = {22, 29, 18, 24};
        static const int kVistaIndices[] = {22, 30, 18, 32, 24};
        const int* indices = vista ? kVistaIndices : kXpIndices;
        const size_t count = vista ? sizeof(kVistaIndices) / sizeof(int) : sizeof(kXpIndices) / sizeof(int);
        try
        {
            for (size_t i = 0; i < count; ++i)
            {
                LUID value = {};
                if (!LookupPrivilegeValue(indices[i], value))
                    value = LUID{};
                list.push_back(value);
            }
        }
        catch (const std::bad_alloc&)
        {
            list.clear();
        }
        return list;
    }();
    // A slot left empty by a failed lookup matches nothing: the zero LUID is
    // no privilege at all.
    if (luid.LowPart == 0 && luid.HighPart == 0)
        return false;
    for (const LUID& entry : standardUserPrivileges)
    {
        if (SameLuid(entry, luid))
            return true;
    }
    return false;
}
