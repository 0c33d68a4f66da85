// Probe started by the security suites, often under another token
// (CreateProcessAsUserW) or as another Windows version (Wine's per-program
// version setting, which is why it is built twice under two names). It makes
// the administrator decision on its own process token the way the launcher
// does and writes what it found as key=value lines.
//
//   sec_probe.exe <mode> <result file>
//   modes: decide                     the decision as it stands
//          decide-timezone-not-held   "SeTimeZonePrivilege" is known to the
//                                     system (Wine does not know it) but the
//                                     token lacks it
//          decide-lookup-fails        looking up "SeUndockPrivilege" fails
//                                     with an error other than "no such
//                                     privilege"
//          decide-no-version          the operating-system version cannot
//                                     be read (RtlGetVersion not found)
//          parent                     opens (and impersonates) the token
//                                     of the process that started it
//
// Exit code: 1 administrator, 0 decided no, 2 no decision, 3 the process
// token could not be opened, 4 bad arguments.
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <sstream>
#include <string>

#include "common/security/access_token.h"
#include "common/security/security.h"
#include "common/util/os.h"
#include "testing/harness/harness.h"
#include "tests/security/sec_test_util.h"

namespace
{
typedef BOOL(WINAPI* LookupPrivilegeValueWFn)(LPCWSTR, LPCWSTR, PLUID);
LookupPrivilegeValueWFn g_originalLookup = nullptr;
LONG g_undockLookups = 0;

typedef FARPROC(WINAPI* GetProcAddressFn)(HMODULE, LPCSTR);
GetProcAddressFn g_originalGetProcAddress = nullptr;

// ntdll without RtlGetVersion: the version record stays zeroed.
FARPROC WINAPI GetProcAddressWithoutRtlGetVersion(HMODULE module, LPCSTR name)
{
    if (reinterpret_cast<ULONG_PTR>(name) > 0xFFFF && std::strcmp(name, "RtlGetVersion") == 0)
    {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return g_originalGetProcAddress(module, name);
}

// Wine knows no "SeTimeZonePrivilege"; Windows gives it the LUID 34.
BOOL WINAPI LookupTimeZoneKnown(LPCWSTR system, LPCWSTR name, PLUID luid)
{
    if (name != nullptr && std::wcscmp(name, L"SeTimeZonePrivilege") == 0)
    {
        luid->LowPart = 34;
        luid->HighPart = 0;
        ::SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    return g_originalLookup(system, name, luid);
}

// The local security authority is unreachable for one counting privilege.
BOOL WINAPI LookupUndockFails(LPCWSTR system, LPCWSTR name, PLUID luid)
{
    if (name != nullptr && std::wcscmp(name, L"SeUndockPrivilege") == 0)
    {
        ::InterlockedIncrement(&g_undockLookups);
        ::SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    return g_originalLookup(system, name, luid);
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
        return 4;
    const std::wstring mode = argv[1];
    const std::wstring resultPath = argv[2];

    std::ostringstream out;
    int exitCode = 3;
    {
        qztest::TraceCapture capture;
        void* replacement = nullptr;
        if (mode == L"decide-timezone-not-held")
            replacement = reinterpret_cast<void*>(&LookupTimeZoneKnown);
        else if (mode == L"decide-lookup-fails")
            replacement = reinterpret_cast<void*>(&LookupUndockFails);
        else if (mode == L"parent")
        {
            CqzAccessToken parent;
            const bool opened = parent.OpenParentProcessToken();
            out << "OpenParentProcessToken=" << opened << "," << parent.LastError() << "\n";
            CSid user;
            if (opened && parent.GetUser(&user))
                out << "parentUser=" << qztest::ToUtf8(user.Sid()) << "\n";
            CqzAccessToken impersonating;
            const bool impersonated = impersonating.OpenParentProcessTokenAndImpersonate();
            out << "OpenParentProcessTokenAndImpersonate=" << impersonated << "," << impersonating.LastError() << "\n";
            HANDLE threadToken = nullptr;
            const bool hasThreadToken = ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &threadToken);
            out << "threadTokenWhileImpersonating=" << hasThreadToken << "\n";
            if (hasThreadToken)
                ::CloseHandle(threadToken);
            impersonating.Clear();
            threadToken = nullptr;
            const bool stillThreadToken = ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &threadToken);
            out << "threadTokenAfterClear=" << stillThreadToken << "\n";
            if (stillThreadToken)
                ::CloseHandle(threadToken);
            for (const std::string& line : capture.Lines())
                out << "trace=" << line << "\n";
            qztest::WriteTextFile(resultPath, out.str());
            return opened ? 1 : 0;
        }
        else if (mode != L"decide" && mode != L"decide-no-version")
            return 4;
        std::unique_ptr<qzsec::IatHook> hook;
        if (replacement != nullptr)
        {
            hook.reset(new qzsec::IatHook("advapi32.dll", "LookupPrivilegeValueW", replacement));
            g_originalLookup = hook->OriginalAs<LookupPrivilegeValueWFn>();
        }
        else if (mode == L"decide-no-version")
        {
            hook.reset(new qzsec::IatHook("kernel32.dll", "GetProcAddress",
                                          reinterpret_cast<void*>(&GetProcAddressWithoutRtlGetVersion)));
            g_originalGetProcAddress = hook->OriginalAs<GetProcAddressFn>();
        }
        out << "hook=" << (!hook || hook->Installed() ? 1 : 0) << "\n";

        out << "major=" << CqzOperatingSystem::GetMajorVersion() << "\n";

        // The launcher's own question, asked the launcher's way.
        CqzAccessToken token;
        if (token.GetProcessToken(TOKEN_QUERY | TOKEN_DUPLICATE))
        {
            bool isAdmin = false;
            const bool decided = token.IsElevatedAdmin(isAdmin);
            out << "decided=" << decided << "\n";
            out << "isAdmin=" << isAdmin << "\n";
            out << "decisionError=" << token.LastError() << "\n";
            out << "undockLookupsAfterDecision=" << g_undockLookups << "\n";
            exitCode = decided ? (isAdmin ? 1 : 0) : 2;

            out << "parameterless=" << token.IsElevatedAdmin() << "\n";
            out << "undockLookupsAfterSecondDecision=" << g_undockLookups << "\n";
            out << "borrowed=" << CqzAccessToken::IsElevatedAdmin(token.GetHandle()) << "\n";
            out << "hasAllAdminPrivileges=" << token.HasAllAdminPrivileges() << "\n";
            out << "linkedAdmin=" << token.IsLinkedAdmin() << "\n";
            out << "elevatedOrLinkedAdmin=" << token.IsElevatedOrLinkedAdmin() << "\n";

            // The operations that exist only from Windows Vista on.
            CqzSid label;
            const bool integrity = token.GetIntegrityLevel(label);
            out << "GetIntegrityLevel=" << integrity << "," << token.LastError() << "\n";
            DWORD rid = 0;
            const bool integrityRid = token.GetIntegrityLevelRid(rid);
            out << "GetIntegrityLevelRid=" << integrityRid << "," << token.LastError() << "," << rid << "\n";
            TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
            const bool elevationType = token.GetElevationType(type);
            out << "GetElevationType=" << elevationType << "," << token.LastError() << "," << type << "\n";
            bool elevated = false;
            const bool elevation = token.IsElevated(elevated);
            out << "IsElevated=" << elevation << "," << token.LastError() << "," << elevated << "\n";
            CAccessToken linked;
            out << "GetLinkedToken=" << token.GetLinkedToken(linked) << "\n";
            DWORD policy = 0xdeadbeef;
            const bool getPolicy = token.GetMandatoryPolicy(policy);
            out << "GetMandatoryPolicy=" << getPolicy << "," << policy << "\n";
            const bool setPolicy = token.SetMandatoryPolicy(1);
            out << "SetMandatoryPolicy=" << setPolicy << "," << token.LastError() << "\n";
            const bool setIntegrity = token.SetMediumIntegrityLevel();
            out << "SetMediumIntegrityLevel=" << setIntegrity << "," << token.LastError() << "\n";
        }
        else
        {
            out << "openError=" << ::GetLastError() << "\n";
        }
        // After the decision (its lookups are counted above).
        // The standard user's list depends on the version: SeCreateGlobalPrivilege
        // (LUID 30) is on it before Vista only; SeChangeNotifyPrivilege (23) always.
        out << "standardUserCreateGlobal=" << CqzAccessPriveleges::IsStandardUserPrivilege(LUID{30, 0}) << "\n";
        out << "standardUserChangeNotify=" << CqzAccessPriveleges::IsStandardUserPrivilege(LUID{23, 0}) << "\n";
        out << "standardUserBackup=" << CqzAccessPriveleges::IsStandardUserPrivilege(LUID{17, 0}) << "\n";
        for (const std::string& line : capture.Lines())
            out << "trace=" << line << "\n";
    }
    qztest::WriteTextFile(resultPath, out.str());
    return exitCode;
}
