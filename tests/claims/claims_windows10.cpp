// The suite runs as Windows 10. Wine's own default here is Windows 7, where
// the attribute classes do not exist and every operation stops at the
// version gate; the version Wine reports is chosen per program name before
// the program starts. So when this executable finds itself below Windows 8,
// it starts itself again with Wine's version for its name set to Windows
// 10, and ends with that run's exit code.
#include <windows.h>

#include <winternl.h>

#include <string>

#include "common/util/exports.h"
#include "testing/harness/harness.h"

namespace
{
const wchar_t kRelaunched[] = L"QZ_CLAIMS_TESTS_AS_WIN10";

bool BelowWindows8()
{
    typedef LONG(WINAPI * RtlGetVersionFn)(PRTL_OSVERSIONINFOW);
    auto getVersion = CqzResolveExport<RtlGetVersionFn>(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion");
    RTL_OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (getVersion == nullptr || getVersion(&version) != 0)
        return false;
    return version.dwMajorVersion < 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion < 2);
}

struct RunAsWindows10
{
    RunAsWindows10()
    {
        if (!BelowWindows8() || ::GetEnvironmentVariableW(kRelaunched, nullptr, 0) != 0)
            return;
        ::SetEnvironmentVariableW(kRelaunched, L"1");
        DWORD exitCode = 1;
        {
            qztest::WineVersionScope version(L"claims_tests.exe", L"win10");
            std::wstring commandLine = ::GetCommandLineW();
            STARTUPINFOW startup = {};
            startup.cb = sizeof(startup);
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
            startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
            startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
            PROCESS_INFORMATION process = {};
            if (version.Ok() && ::CreateProcessW(qztest::ModulePath().c_str(), &commandLine[0], nullptr, nullptr, TRUE,
                                                 0, nullptr, nullptr, &startup, &process))
            {
                ::CloseHandle(process.hThread);
                ::WaitForSingleObject(process.hProcess, INFINITE);
                ::GetExitCodeProcess(process.hProcess, &exitCode);
                ::CloseHandle(process.hProcess);
            }
        }
        ::ExitProcess(exitCode);
    }
};
const RunAsWindows10 g_runAsWindows10;
} // namespace
