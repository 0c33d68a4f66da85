// CqzProcessHandle: package identity (GetPackageId and its string forms),
// resolved at run time: the functions exist from Windows 8 on, and not every
// system that reports such a version exports all of them.
#include "common/security/security.h"

#include <cstdlib>
#include <memory>

#include "common/security/access_token.h"
#include "common/security/security_process_internal.h"
#include "common/util/exports.h"
#include "common/util/os.h"
#include "trace/trace.h"

using qzprocess::kClass;
using qzprocess::kNullHandle;

namespace
{

// The four queries share one signature; the buffer is a PACKAGE_ID for the
// first and a wide string for the others.
typedef LONG(WINAPI* PackageQueryFn)(HANDLE, UINT32*, void*);

enum PackageQuery
{
    PackageIdQuery,
    PackageFullNameQuery,
    PackageFamilyNameQuery,
    ApplicationUserModelIdQuery,
    PackageQueryCount
};

struct PackageQueryInfo
{
    const char* exportName;
    const char* failurePrefix;
    // Whether the length counts bytes (else characters).
    bool lengthInBytes;
};

const PackageQueryInfo kPackageQueries[PackageQueryCount] = {
    {"GetPackageId", "ERROR: GetPackageId(", true},
    {"GetPackageFullName", "ERROR: GetPackageFullName(", false},
    {"GetPackageFamilyName", "ERROR: GetPackageFamilyName(", false},
    {"GetApplicationUserModelId", "ERROR: GetApplicationUserModelId(", false},
};

const UINT32 kFirstBufferBytes = 1024;

// Each export looked up once for the process.
PackageQueryFn ResolvePackageQuery(int which)
{
    static PackageQueryFn functions[PackageQueryCount] = {};
    static const bool resolved = []
    {
        const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
        for (int i = 0; i < PackageQueryCount; ++i)
            functions[i] = CqzResolveExport<PackageQueryFn>(kernel32, kPackageQueries[i].exportName);
        return true;
    }();
    (void)resolved;
    return functions[which];
}

UINT32 UnitSize(int which)
{
    return kPackageQueries[which].lengthInBytes ? 1 : sizeof(wchar_t);
}

} // namespace

bool CqzProcessHandle::_QueryPackage(int which, bool impersonate, CqzScopedHeap<BYTE>& buffer, UINT32& length)
{
    QZ_STACK_NAME(kPackageQueries[which].exportName, kClass);
    buffer.Reset();
    length = 0;
    if (!CqzOperatingSystem::IsWin8OrLater())
    {
        m_dwLastError = ERROR_NOT_SUPPORTED;
        return false;
    }
    if (!_RequireHandle(kClass, kNullHandle))
        return false;
    const DWORD pid = ::GetProcessId(m_h);
    const PackageQueryFn query = ResolvePackageQuery(which);
    if (query == nullptr)
    {
        m_dwLastError = ERROR_PROC_NOT_FOUND;
        QZTRACE(QZT_DEBUG, kClass,
                kPackageQueries[which].failurePrefix << pid << ") failed. LastError=" << m_dwLastError);
        return false;
    }

    // Run as this process itself: a client the thread impersonates might not
    // be allowed to read the target's token.
    CAccessToken self;
    std::unique_ptr<CqzImpersonateAndRevert> impersonation;
    if (impersonate)
    {
        if (!self.GetProcessToken(TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE))
        {
            m_dwLastError = ::GetLastError();
            QZTRACE(QZT_ERROR, kClass, "ERROR: CAccessToken::GetProcessToken failed. LastError=" << m_dwLastError);
            return false;
        }
        impersonation.reset(new CqzImpersonateAndRevert(self.GetHandle()));
        if (!impersonation->IsImpersonating())
        {
            m_dwLastError = impersonation->LastError();
            return false;
        }
    }

    length = kFirstBufferBytes / UnitSize(which);
    LONG result = ERROR_OUTOFMEMORY;
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        buffer.Reset(static_cast<BYTE*>(std::calloc(length, UnitSize(which))));
        if (!buffer)
        {
            result = ERROR_OUTOFMEMORY;
            break;
        }
        result = query(m_h, &length, buffer.Get());
        if (result != ERROR_INSUFFICIENT_BUFFER || length == 0)
            break;
    }
    m_dwLastError = static_cast<DWORD>(result);
    if (result == ERROR_SUCCESS)
        return true;
    buffer.Reset();
    if (result == APPMODEL_ERROR_NO_PACKAGE)
    {
        if (which == PackageIdQuery)
            QZTRACE(QZT_TRACE, kClass, "TRACE: Process " << pid << " has no package identity.");
        else
            QZTRACE(QZT_DEBUG, kClass, "ERROR: Process " << pid << " has no package identity.");
    }
    else
    {
        QZTRACE(QZT_DEBUG, kClass, kPackageQueries[which].failurePrefix << pid << ") failed. LastError=" << result);
    }
    return false;
}

bool CqzProcessHandle::_QueryPackageString(int which, bool impersonate, std::wstring& text)
{
    text.clear();
    CqzScopedHeap<BYTE> buffer;
    UINT32 length = 0;
    if (!_QueryPackage(which, impersonate, buffer, length))
        return false;
    const wchar_t* chars = reinterpret_cast<const wchar_t*>(buffer.Get());
    // The length counts the terminator; the text ends at the first null.
    text.assign(chars, wcsnlen(chars, length));
    return true;
}

namespace
{

// The static forms: open pid for the query, run it, keep its error as the
// thread's last error.
template <typename Operation>
bool RunOnPackageProcess(DWORD pid, int which, Operation operation)
{
    if (!CqzOperatingSystem::IsWin8OrLater())
    {
        ::SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    CqzProcessHandle process;
    if (!process.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, pid, false))
    {
        QZ_STACK_NAME(kPackageQueries[which].exportName, kClass);
        QZTRACE(QZT_DEBUG, kClass,
                "ERROR: OpenProcess(" << pid << ") failed."
                                      << " LastError=" << process.LastError());
        ::SetLastError(process.LastError());
        return false;
    }
    const bool ok = operation(process);
    ::SetLastError(process.LastError());
    return ok;
}

} // namespace

bool CqzProcessHandle::_QueryPackageStringOf(DWORD pid, int which, bool impersonate, std::wstring& text)
{
    text.clear();
    return RunOnPackageProcess(
        pid, which, [&](CqzProcessHandle& process) { return process._QueryPackageString(which, impersonate, text); });
}

bool CqzProcessHandle::GetPackageId(bool impersonate, CqzScopedHeap<BYTE>& packageId, UINT32& size)
{
    return _QueryPackage(PackageIdQuery, impersonate, packageId, size);
}

bool CqzProcessHandle::GetPackageId(DWORD pid, bool impersonate, CqzScopedHeap<BYTE>& packageId, UINT32& size)
{
    packageId.Reset();
    size = 0;
    return RunOnPackageProcess(pid, PackageIdQuery,
                               [&](CqzProcessHandle& process)
                               { return process.GetPackageId(impersonate, packageId, size); });
}

bool CqzProcessHandle::GetPackageFullName(bool impersonate, std::wstring& name)
{
    return _QueryPackageString(PackageFullNameQuery, impersonate, name);
}

bool CqzProcessHandle::GetPackageFullName(DWORD pid, bool impersonate, std::wstring& name)
{
    return _QueryPackageStringOf(pid, PackageFullNameQuery, impersonate, name);
}

bool CqzProcessHandle::GetPackageFamilyName(bool impersonate, std::wstring& name)
{
    return _QueryPackageString(PackageFamilyNameQuery, impersonate, name);
}

bool CqzProcessHandle::GetPackageFamilyName(DWORD pid, bool impersonate, std::wstring& name)
{
    return _QueryPackageStringOf(pid, PackageFamilyNameQuery, impersonate, name);
}

bool CqzProcessHandle::GetApplicationUserModelId(bool impersonate, std::wstring& appUserModelId)
{
    return _QueryPackageString(ApplicationUserModelIdQuery, impersonate, appUserModelId);
}

bool CqzProcessHandle::GetApplicationUserModelId(DWORD pid, bool impersonate, std::wstring& appUserModelId)
{
    return _QueryPackageStringOf(pid, ApplicationUserModelIdQuery, impersonate, appUserModelId);
}
