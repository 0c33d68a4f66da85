// The token, object and access commands: the library's token report, its
// object dumps and its access checks.
#include "Agent/tools/qz_diag/diag.h"

#include <string>

#include "common/security/access_token.h"
#include "common/security/qz_handle.h"
#include "common/security/security.h"
#include "common/util/flag_names.h"
#include "common/util/util.h"

namespace qzdiag
{
namespace
{

// What the full report reads: the source line needs TOKEN_QUERY_SOURCE, the
// token object's security READ_CONTROL, the administrator decision
// TOKEN_DUPLICATE. A token that grants less is opened with less and the
// report shows "Error" for what it cannot read.
const DWORD kTokenAccess[] = {
    TOKEN_QUERY | TOKEN_QUERY_SOURCE | READ_CONTROL | TOKEN_DUPLICATE,
    TOKEN_QUERY | TOKEN_DUPLICATE,
    TOKEN_QUERY,
};

const CqzFlagName kStandardRightNames[] = {
    {DELETE, L"DELETE"},           {READ_CONTROL, L"READ_CONTROL"}, {WRITE_DAC, L"WRITE_DAC"},
    {WRITE_OWNER, L"WRITE_OWNER"}, {SYNCHRONIZE, L"SYNCHRONIZE"},
};
const CqzFlagName kFileRightNames[] = {
    {FILE_READ_DATA, L"READ_DATA"},
    {FILE_WRITE_DATA, L"WRITE_DATA"},
    {FILE_APPEND_DATA, L"APPEND_DATA"},
    {FILE_READ_EA, L"READ_EA"},
    {FILE_WRITE_EA, L"WRITE_EA"},
    {FILE_EXECUTE, L"EXECUTE"},
    {FILE_DELETE_CHILD, L"DELETE_CHILD"},
    {FILE_READ_ATTRIBUTES, L"READ_ATTRIBUTES"},
    {FILE_WRITE_ATTRIBUTES, L"WRITE_ATTRIBUTES"},
};
// The same bits as a directory's rights.
const CqzFlagName kDirectoryRightNames[] = {
    {FILE_LIST_DIRECTORY, L"LIST_DIRECTORY"},
    {FILE_ADD_FILE, L"ADD_FILE"},
    {FILE_ADD_SUBDIRECTORY, L"ADD_SUBDIRECTORY"},
    {FILE_READ_EA, L"READ_EA"},
    {FILE_WRITE_EA, L"WRITE_EA"},
    {FILE_TRAVERSE, L"TRAVERSE"},
    {FILE_DELETE_CHILD, L"DELETE_CHILD"},
    {FILE_READ_ATTRIBUTES, L"READ_ATTRIBUTES"},
    {FILE_WRITE_ATTRIBUTES, L"WRITE_ATTRIBUTES"},
};

template <size_t N>
std::wstring Names(DWORD value, const CqzFlagName (&names)[N])
{
    return value == 0 ? std::wstring(L"NULL") : CqzJoinFlagNames(value, names);
}

std::wstring PidText(DWORD pid)
{
    return L"process " + std::to_wstring(pid);
}

// The primary token of this process or of process --pid.
bool OpenToken(const Options& options, CqzAccessToken& token, Failure& failure)
{
    CqzProcessHandle process;
    if (options.hasPid && !process.OpenProcess(CqzProcessHandle::GetProcessQueryAccess(), options.pid, false))
        return failure.Set(L"cannot open " + PidText(options.pid), process.LastError());
    DWORD error = ERROR_SUCCESS;
    for (DWORD access : kTokenAccess)
    {
        if (token.GetProcessToken(access, options.hasPid ? process.m_h : nullptr))
            return true;
        error = ::GetLastError();
        if (error != ERROR_ACCESS_DENIED)
            break;
    }
    return failure.Set(options.hasPid ? L"cannot open the token of " + PidText(options.pid)
                                      : std::wstring(L"cannot open the token of this process"),
                       error);
}

// Enables a privilege of this process's token when it holds it; the dumps
// ask for the SACL, which needs SeSecurityPrivilege. Nothing else changes.
void EnableOwnPrivilege(const wchar_t* name)
{
    CqzAccessToken token;
    if (token.GetProcessToken(TOKEN_QUERY | TOKEN_ADJUST_PRIVILEGES))
        token.EnablePrivilege(name);
}

// The checks of a path before anything reads it.
bool CheckPath(const std::wstring& path, const wchar_t* what, Failure& failure, DWORD& attributes)
{
    const std::wstring shown = std::wstring(what) + L" \"" + Shown(path) + L"\"";
    // The full path counts: a relative path grows by the current directory.
    const DWORD fullChars = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (path.size() > kMaxPathChars || fullChars > kMaxPathChars + 1)
        return failure.Set(L"cannot read " + shown, ERROR_FILENAME_EXCED_RANGE);
    attributes = CqzUtil::GetFileAttributesLongPath(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return failure.Set(L"cannot read " + shown, ::GetLastError());
    return true;
}

// READ_CONTROL on a file or directory; the caller owns the handle.
HANDLE OpenForReadControl(const std::wstring& path)
{
    return CqzUtil::CreateFileLongPath(path.c_str(), READ_CONTROL,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

const wchar_t* Kind(DWORD attributes)
{
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? L"Directory" : L"File";
}

bool DumpFile(const Options& options, Report& report, Failure& failure)
{
    DWORD attributes = 0;
    if (!CheckPath(options.target, L"file", failure, attributes))
        return false;
    const std::wstring dumpPath = report.DumpPath(failure);
    if (dumpPath.empty())
        return false;
    CqzFileObjectHandle::Dump(options.target.c_str(), dumpPath.c_str());

    // The file dump shows the security of symbolic links only: the file's
    // own access and security lines follow it.
    CqzTextSink* sink = report.Sink(failure);
    if (sink == nullptr)
        return false;
    CqzFileObjectHandle file(OpenForReadControl(options.target));
    sink->PrintfLine(L"*** %s Security start ***", Kind(attributes));
    if (file.IsValid())
        file.DumpInfo(*sink);
    else
        sink->PrintfLine(L"   ERROR: CreateFile() failed. %s", ErrorText(::GetLastError()).c_str());
    sink->PrintfLine(L"*** %s Security end ***", Kind(attributes));
    return true;
}

bool DumpKey(const Options& options, Report& report, Failure& failure)
{
    CqzScopedRegKey key;
    const LONG result = ::RegOpenKeyExW(options.keyRoot, options.keyPath.c_str(), 0, READ_CONTROL, key.Receive());
    if (result != ERROR_SUCCESS)
        return failure.Set(L"cannot open registry key \"" + Shown(options.target) + L"\"", static_cast<DWORD>(result));
    const std::wstring dumpPath = report.DumpPath(failure);
    if (dumpPath.empty())
        return false;
    CqzRegistryKeyHandle::Dump(options.keyRoot, options.keyPath.c_str(), dumpPath.c_str());
    return true;
}

bool DumpService(const Options& options, Report& report, Failure& failure)
{
    CqzScopedServiceHandle manager(::OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_CONNECT));
    if (!manager.IsValid())
        return failure.Set(L"cannot open the service manager", ::GetLastError());
    CqzScopedServiceHandle service(::OpenServiceW(manager.Get(), options.target.c_str(), SERVICE_QUERY_CONFIG));
    if (!service.IsValid())
        return failure.Set(L"cannot open service \"" + Shown(options.target) + L"\"", ::GetLastError());
    const std::wstring dumpPath = report.DumpPath(failure);
    if (dumpPath.empty())
        return false;
    CqzServiceObjectHandle::Dump(options.target.c_str(), dumpPath.c_str());
    return true;
}

// The caller's own window station or desktop: borrowed handles, which the
// dump classes would close, so they are detached before the objects go.
template <typename HandleClass, typename RawHandle>
bool DumpWindowObject(RawHandle handle, const wchar_t* what, Report& report, Failure& failure)
{
    if (handle == nullptr)
        return failure.Set(std::wstring(L"cannot get this process's ") + what, ::GetLastError());
    const std::wstring dumpPath = report.DumpPath(failure);
    if (dumpPath.empty())
        return false;
    HandleClass object(handle);
    object.Dump(dumpPath.c_str());
    object.Detach();
    return true;
}

} // namespace

bool RunToken(const Options& options, Report& report, Failure& failure)
{
    CqzAccessToken token;
    if (!OpenToken(options, token, failure))
        return false;
    CqzTextSink* sink = report.Sink(failure);
    if (sink == nullptr)
        return false;
    const bool written = options.shortReport ? token.DumpUserGroupsAndPriviliges(*sink, options.censor)
                                             : token.Dump(*sink, !options.noLinked);
    if (!written)
        return failure.Set(L"cannot write the token report", token.LastError());
    bool isAdmin = false;
    if (token.IsElevatedAdmin(isAdmin))
        sink->PrintfLine(L"ADMINISTRATOR DECISION: %s", YesNo(isAdmin));
    else
        sink->PrintfLine(L"ADMINISTRATOR DECISION: no decision, %s", ErrorText(token.LastError()).c_str());
    return true;
}

bool RunObject(const Options& options, Report& report, Failure& failure)
{
    EnableOwnPrivilege(L"SeSecurityPrivilege");
    switch (options.object)
    {
    case ObjectKind::File:
        return DumpFile(options, report, failure);
    case ObjectKind::Key:
        return DumpKey(options, report, failure);
    case ObjectKind::Service:
        return DumpService(options, report, failure);
    case ObjectKind::WindowStation:
        return DumpWindowObject<CqzWindowStationHandle>(::GetProcessWindowStation(), L"window station", report,
                                                        failure);
    case ObjectKind::Desktop:
        return DumpWindowObject<CqzDesktopHandle>(::GetThreadDesktop(::GetCurrentThreadId()), L"desktop", report,
                                                  failure);
    default:
        return failure.Set(L"no object named", ERROR_INVALID_PARAMETER);
    }
}

bool RunAccess(const Options& options, Report& report, Failure& failure)
{
    DWORD attributes = 0;
    if (!CheckPath(options.target, L"file", failure, attributes))
        return false;
    CqzFileObjectHandle file(OpenForReadControl(options.target));
    if (!file.IsValid())
        return failure.Set(L"cannot open file \"" + Shown(options.target) + L"\" for READ_CONTROL", ::GetLastError());

    CqzAccessToken token;
    if (!OpenToken(options, token, failure))
        return false;
    CAccessToken impersonation;
    if (!token.Duplicate(impersonation, SecurityImpersonation))
        return failure.Set(L"cannot copy the token for the access check", token.LastError());
    ACCESS_MASK mask = 0;
    if (!file.GetMaxAllowedAccess(impersonation.GetHandle(), mask))
        return failure.Set(L"cannot check the access to \"" + Shown(options.target) + L"\"", file.LastError());

    // Whether it may read, asked as the token's user.
    bool readable = false;
    DWORD readError = ERROR_SUCCESS;
    {
        CqzImpersonateAndRevert asUser(impersonation.GetHandle());
        readError = asUser.IsImpersonating() ? CqzFileObjectHandle::FileAccessCheck(options.target.c_str(), readable)
                                             : asUser.LastError();
    }

    CqzTextSink* sink = report.Sink(failure);
    if (sink == nullptr)
        return false;
    const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    CSid user;
    sink->PrintfLine(L"*** File Access start ***");
    sink->PrintfLine(L"PATH: %s", options.target.c_str());
    sink->PrintfLine(L"TOKEN: %s", options.hasPid ? PidText(options.pid).c_str() : L"this process");
    sink->PrintfLine(L"TOKEN USER: %s", token.GetUser(&user) ? CqzSid(user).GetTraceString().c_str()
                                                             : ErrorText(::GetLastError()).c_str());
    sink->PrintfLine(L"MAXIMUM ALLOWED: 0x%.8X", static_cast<unsigned>(mask));
    sink->PrintfLine(L"   STANDARD RIGHTS: %s", Names(mask & STANDARD_RIGHTS_ALL, kStandardRightNames).c_str());
    sink->PrintfLine(L"   %s RIGHTS: %s", directory ? L"DIRECTORY" : L"FILE",
                     directory ? Names(mask & SPECIFIC_RIGHTS_ALL, kDirectoryRightNames).c_str()
                               : Names(mask & SPECIFIC_RIGHTS_ALL, kFileRightNames).c_str());
    const DWORD rest = mask & ~(STANDARD_RIGHTS_ALL | SPECIFIC_RIGHTS_ALL);
    if (rest != 0)
        sink->PrintfLine(L"   OTHER BITS: 0x%.8X", static_cast<unsigned>(rest));
    if (readError == ERROR_SUCCESS)
        sink->PrintfLine(L"MAY READ: %s", YesNo(readable));
    else
        sink->PrintfLine(L"MAY READ: cannot tell, %s", ErrorText(readError).c_str());
    sink->PrintfLine(L"*** File Access end ***");
    return true;
}

} // namespace qzdiag
