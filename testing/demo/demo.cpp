// Shows the launcher at work, as the agent would run it.
//
// It installs an agent: the launcher, its tracing library and the stand-ins
// of the agent's libraries (qz_shex.dll, qz_bho.dll) under the agent's
// directory, and the stand-in of the agent service, installed and started as
// the Windows service "qz_agent" whose "ImagePath" names that directory.
// Then it runs qz_elevate.exe through representative command lines and
// prints, for each run:
//   - the 32-bit exit code (as the agent reads it with GetExitCodeProcess),
//   - the call the stand-in library recorded (export and arguments), if any,
//   - the exit notification the agent service received, if any,
//   - the trace lines the run wrote, file by file.
// Finally it stops and removes the service.
#include "common/util/scoped.h"
#include "common/util/util.h"
#include "testing/harness/harness.h"
#include "testing/qz_agent/agent_service_control.h"
#include "testing/standin/standin_record.h"

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace
{

const wchar_t kInstallRoot[] = L"C:\\Program Files\\Dunmoral\\Agent";
const wchar_t kOutsideRoot[] = L"C:\\Users\\Public\\Downloads\\copied";
const wchar_t kServiceName[] = L"qz_agent";
const wchar_t kPolicyKey[] = L"SYSTEM\\CurrentControlSet\\Services\\qz_agent\\Parameters\\Marrowgate";

void Print(const std::string& text)
{
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

std::wstring Bin(const std::wstring& root)
{
    return root + L"\\bin";
}

bool CopyBesideBuild(const std::wstring& toDir, const std::vector<std::wstring>& names)
{
    bool ok = true;
    for (const std::wstring& name : names)
        ok = ::CopyFileW((qztest::BinDir() + L"\\" + name).c_str(), (toDir + L"\\" + name).c_str(), FALSE) && ok;
    return ok;
}

// The launcher, its tracing library, the C++ runtime and the stand-ins of
// the agent's two libraries; the config and trace directories beside bin.
bool LayOut(const std::wstring& root)
{
    const std::wstring bin = Bin(root);
    return qztest::CreateDirs(bin) && qztest::CreateDirs(root + L"\\config") && qztest::CreateDirs(root + L"\\trace") &&
           CopyBesideBuild(bin,
                           qztest::WithRuntime({L"qz_elevate.exe", L"qztrace.dll", L"qz_shex.dll", L"qz_bho.dll"}));
}

// Installs the agent service stand-in from the installation and starts it.
bool InstallAgentService(const std::wstring& root, std::string& error)
{
    const std::wstring bin = Bin(root);
    if (!CopyBesideBuild(bin, qztest::AgentStandInFiles()))
    {
        error = "cannot copy the service stand-in";
        return false;
    }
    qztest::RemoveAgentService(); // a leftover of an earlier run
    CqzScopedServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager.Get())
    {
        error = "OpenSCManager failed, error " + std::to_string(::GetLastError());
        return false;
    }
    // The quoted form the agent's installer writes, which the launcher's
    // location check expects.
    const std::wstring image = L"\"" + bin + L"\\qz_agent.exe\"";
    CqzScopedServiceHandle service(::CreateServiceW(
        manager.Get(), kServiceName, L"Dunmoral Agent", SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service.Get())
    {
        error = "CreateService failed, error " + std::to_string(::GetLastError());
        return false;
    }
    if (!::StartServiceW(service.Get(), 0, nullptr))
    {
        error = "StartService failed, error " + std::to_string(::GetLastError());
        return false;
    }
    for (int i = 0; i < 300; ++i)
    {
        if (qztest::QueryAgentServiceState() == SERVICE_RUNNING)
            return true;
        ::Sleep(100);
    }
    error = "the service did not reach SERVICE_RUNNING";
    return false;
}

// Sizes of every trace file of an installation, to show only what a run adds.
std::map<std::wstring, size_t> TraceSizes(const std::wstring& root)
{
    std::map<std::wstring, size_t> sizes;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((root + L"\\trace\\*.trace").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return sizes;
    do
    {
        sizes[data.cFileName] = qztest::ReadTextFile(root + L"\\trace\\" + data.cFileName).size();
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return sizes;
}

std::string ExitCodeText(DWORD code)
{
    const char* meaning = "";
    switch (code)
    {
    case 0:
        meaning = " = S_OK, the export succeeded";
        break;
    case 5:
        meaning = " = 5, refused: no administrative rights";
        break;
    case 0x80070057:
        meaning = " = E_INVALIDARG, no usable switch";
        break;
    case 0x80004005:
        meaning = " = E_FAIL, library or export missing";
        break;
    case 0xFFFFFFFF:
        meaning = " = -1, not inside the agent's installation";
        break;
    }
    char text[160];
    std::snprintf(text, sizeof(text), "%lu (0x%08lX, as int %ld)%s", code, code, static_cast<long>(code), meaning);
    return text;
}

struct Case
{
    const char* title;
    const char* lookFor;
    std::wstring root;
    std::wstring arguments;
    HANDLE token = nullptr;    // null: this process's own token
    bool policyAllows = false; // the policy value allowing non-administrators, for this run
};

void RunCase(int number, const Case& c)
{
    const std::wstring exe = Bin(c.root) + L"\\qz_elevate.exe";
    const std::wstring cmdLine = qztest::QuoteArg(exe) + (c.arguments.empty() ? L"" : L" " + c.arguments);
    Print("\n=== " + std::to_string(number) + ". " + c.title + "\n");
    Print("    (" + std::string(c.lookFor) + ")\n");
    Print("$ " + qztest::ToUtf8(cmdLine) + "\n");

    const std::wstring bin = Bin(c.root);
    qztest::ClearStandinCalls(bin);
    const std::map<std::wstring, size_t> before = TraceSizes(c.root);
    const std::wstring serviceLog = Bin(kInstallRoot) + L"\\qz_agent.received.log";
    const size_t notificationsBefore = qztest::ControlEntries(qztest::ReadAgentLog(serviceLog)).size();

    if (c.policyAllows)
        qztest::SetRegDword(HKEY_LOCAL_MACHINE, kPolicyKey, L"QzElevateAllowNonAdmin", 1);
    qztest::RunOptions options;
    options.token = c.token;
    const qztest::ProcessResult result = qztest::RunProcess(exe, cmdLine, options);
    if (c.policyAllows)
        qztest::DeleteRegTree(HKEY_LOCAL_MACHINE, kPolicyKey);
    if (!result.started)
    {
        Print("could not start: error " + std::to_string(result.error) + "\n");
        return;
    }
    if (!result.finished)
    {
        Print("did not finish in time\n");
        return;
    }
    Print("exit code: " + ExitCodeText(result.exitCode) + "\n");

    std::vector<qztest::StandinCall> calls;
    qztest::ReadStandinCalls(bin, calls);
    if (calls.empty())
        Print("agent library call: none\n");
    for (const qztest::StandinCall& call : calls)
        Print("agent library call: " + qztest::Describe(call) + "\n");

    const std::vector<qztest::AgentLogEntry> notifications = qztest::ControlEntries(qztest::ReadAgentLog(serviceLog));
    if (notifications.size() <= notificationsBefore)
        Print("agent service notified: no\n");
    for (size_t i = notificationsBefore; i < notifications.size(); ++i)
    {
        const qztest::AgentLogEntry& entry = notifications[i];
        Print("agent service notified: command " + entry.Get("cmd") + ", pid " + entry.Get("pid") +
              " (the launcher was pid " + std::to_string(result.pid) + "), " + entry.Get("status") + "\n");
        Print("    payload text: " + entry.Get("text") + "\n");
    }

    Print("trace lines written:\n");
    for (const auto& file : TraceSizes(c.root))
    {
        auto old = before.find(file.first);
        const size_t from = old == before.end() ? 0 : old->second;
        if (file.second <= from)
            continue;
        Print("  trace\\" + qztest::ToUtf8(file.first) + "\n");
        const std::string added = qztest::ReadTextFile(c.root + L"\\trace\\" + file.first).substr(from);
        size_t start = 0;
        while (start < added.size())
        {
            size_t end = added.find('\n', start);
            if (end == std::string::npos)
                end = added.size();
            Print("    | " + added.substr(start, end - start) + "\n");
            start = end + 1;
        }
    }
}

// This process's token with the Administrators group made deny-only: the
// token of a user who is not an administrator.
HANDLE NonAdministratorToken()
{
    HANDLE process = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY, &process))
        return nullptr;
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(sid);
    HANDLE restricted = nullptr;
    if (::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size))
    {
        SID_AND_ATTRIBUTES denyOnly = {sid, 0};
        ::CreateRestrictedToken(process, 0, 1, &denyOnly, 0, nullptr, 0, nullptr, &restricted);
    }
    ::CloseHandle(process);
    return restricted;
}

} // namespace

int wmain()
{
    BOOL wow64 = FALSE;
    ::IsWow64Process(::GetCurrentProcess(), &wow64);
    Print(
        std::string("Windows programs of this run: ") + (sizeof(void*) == 8 ? "64-bit" : "32-bit") +
        (wow64 ? ", on 64-bit Windows (WOW64)" : (sizeof(void*) == 8 ? ", on 64-bit Windows" : ", on 32-bit Windows")) +
        "\n");
    Print("Installing the agent under " + qztest::ToUtf8(kInstallRoot) + "\n");
    std::string error;
    if (!LayOut(kInstallRoot) || !LayOut(kOutsideRoot))
    {
        Print("cannot lay out the installation\n");
        return 1;
    }
    if (!InstallAgentService(kInstallRoot, error))
    {
        Print("cannot install the agent service stand-in: " + error + "\n");
        return 1;
    }
    Print("agent service \"qz_agent\" running, ImagePath \"" + qztest::ToUtf8(Bin(kInstallRoot)) +
          "\\qz_agent.exe\"\n");
    Print("user checksum in the trace file names (CRC-32 of the user's SID): " +
          std::to_string(CqzUtil::GetUserSidCrc()) + "\n");

    HANDLE nonAdmin = NonAdministratorToken();
    const std::vector<Case> cases = {
        {"\"/explore\" with a folder: the agent's typical run",
         "ShowEBH called with the folder; tracing moves to the ebh file; the policy key is absent, so the token "
         "decides",
         kInstallRoot, L"/explore C:\\users\\Public"},
        {"\"/navigate\" with an address and \"/setautoelvateflag\"",
         "ShowWB called with the address and the auto-elevate flag true (b:1)", kInstallRoot,
         L"/navigate https://www.example.com/ /setautoelvateflag"},
        {"\"/qztoolexec\" with a tool and its arguments",
         "QzToolExec gets the tool, the show-window value, the argument count and the arguments after the tool",
         kInstallRoot, L"/qztoolexec C:\\Tools\\scan.exe --quick \"C:\\Program Files\""},
        {"a command line without a switch", "refused with E_INVALIDARG; everything stays in the start-up file",
         kInstallRoot, L"C:\\users\\Public"},
        {"\"/explore\" started with a token that is not an administrator's", "refused with 5 and no library loaded",
         kInstallRoot, L"/explore C:\\users\\Public", nonAdmin},
        {"the same, with the policy value allowing non-administrators",
         "the policy is asked first: the token is not examined and ShowEBH is called", kInstallRoot,
         L"/explore C:\\users\\Public", nonAdmin, true},
        {"a copy of the launcher outside the agent's installation",
         "ends at once with -1: no dispatch, no notification, no exit line", kOutsideRoot,
         L"/explore C:\\users\\Public"},
    };
    int number = 0;
    for (const Case& c : cases)
        RunCase(++number, c);
    if (nonAdmin)
        ::CloseHandle(nonAdmin);

    Print("\nStopping and removing the agent service.\n");
    qztest::RemoveAgentService();
    return 0;
}
