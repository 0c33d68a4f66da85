// The process and processes commands, from the library's process
// inspection, OS identification and time formatting.
#include "Agent/tools/qz_diag/diag.h"

#include <cwchar>
#include <string>
#include <vector>

#include "common/security/access_token.h"
#include "common/security/security.h"
#include "common/util/os.h"
#include "common/util/util.h"

namespace qzdiag
{
namespace
{

// APPMODEL_ERROR_NO_PACKAGE: the process has no package identity.
const DWORD kNoPackage = 15700;

// "64-bit (AMD64)", "32-bit (I386)"; the machine type of the process image.
std::wstring Bitness(HANDLE process)
{
    USHORT machine = 0;
    if (!CqzOperatingSystem::GetProcessImageType(process, machine))
        return L"unknown, " + ErrorText(::GetLastError());
    const bool wide = machine == IMAGE_FILE_MACHINE_AMD64 || machine == IMAGE_FILE_MACHINE_ARM64;
    return std::wstring(wide ? L"64-bit" : L"32-bit") + L" (" + MachineName(machine) + L")";
}

std::wstring UserText(CqzProcessHandle& process)
{
    CSid user;
    if (!process.GetUser(user))
        return ErrorText(process.LastError());
    return CqzSid(user).GetTraceString();
}

// "DOMAIN\name", else the SID string.
std::wstring ShortUserText(CqzProcessHandle& process)
{
    CSid user;
    if (!process.GetUser(user))
        return L"<" + ErrorText(process.LastError()) + L">";
    const std::wstring& name = user.AccountName();
    if (name.empty())
        return user.Sid();
    return user.Domain().empty() ? name : user.Domain() + L"\\" + name;
}

template <typename Read>
void TextLine(CqzTextSink& sink, const wchar_t* label, Read read)
{
    std::wstring text;
    DWORD error = ERROR_SUCCESS;
    if (read(text, error))
        sink.PrintfLine(L"%s: %s", label, text.c_str());
    else
        sink.PrintfLine(L"%s: %s", label, ErrorText(error).c_str());
}

void WriteProcess(DWORD pid, CqzProcessHandle& process, CqzTextSink& sink)
{
    sink.PrintfLine(L"*** Process Info start ***");
    sink.PrintfLine(L"PID: %u", static_cast<unsigned>(pid));
    TextLine(sink, L"IMAGE PATH",
             [&](std::wstring& text, DWORD& error)
             {
                 const bool ok = CqzProcessHandle::GetImagePath(pid, text);
                 error = ::GetLastError();
                 return ok;
             });
    TextLine(sink, L"COMMAND LINE",
             [&](std::wstring& text, DWORD& error)
             {
                 const bool ok = process.GetCommandLineW(text);
                 error = process.LastError();
                 return ok;
             });
    TextLine(sink, L"CURRENT DIRECTORY",
             [&](std::wstring& text, DWORD& error)
             {
                 const bool ok = process.GetCurrentDirectoryW(text);
                 error = process.LastError();
                 return ok;
             });
    sink.PrintfLine(L"USER: %s", UserText(process).c_str());
    bool isAdmin = false;
    if (process.ProbeForAdminRights(isAdmin))
        sink.PrintfLine(L"ADMINISTRATOR DECISION: %s", YesNo(isAdmin));
    else
        sink.PrintfLine(L"ADMINISTRATOR DECISION: no decision, %s", ErrorText(process.LastError()).c_str());
    bool wow64 = false;
    const bool wowKnown = CqzProcessHandle::Is32bitOn64bitOS(pid, wow64);
    sink.PrintfLine(L"BITNESS: %s, WOW64: %s", Bitness(process.m_h).c_str(), wowKnown ? YesNo(wow64) : L"cannot tell");
    TextLine(sink, L"CREATED",
             [&](std::wstring& text, DWORD& error)
             {
                 ULONGLONG created = 0;
                 const bool ok = process.GetCreationTime(created) && CqzTime::FormatDateTime(created, 1, true, text);
                 error = process.LastError() != ERROR_SUCCESS ? process.LastError() : ::GetLastError();
                 if (ok)
                     text += L" (local time)";
                 return ok;
             });
    const DWORD mainThread = CqzProcessHandle::GetMainThreadId(pid);
    if (mainThread != 0)
        sink.PrintfLine(L"MAIN THREAD: %u", static_cast<unsigned>(mainThread));
    else
        sink.PrintfLine(L"MAIN THREAD: cannot tell");

    std::vector<MODULEENTRY32W> modules;
    if (CqzProcessHandle::EnumModulesEx(pid, modules))
    {
        sink.PrintfLine(L"MODULES: Count=%u", static_cast<unsigned>(modules.size()));
        for (size_t i = 0; i < modules.size(); ++i)
            sink.PrintfLine(L"   MODULE %.2u: Base=0x%p Size=0x%.8X %s", static_cast<unsigned>(i),
                            static_cast<void*>(modules[i].modBaseAddr), static_cast<unsigned>(modules[i].modBaseSize),
                            modules[i].szExePath);
    }
    else
    {
        sink.PrintfLine(L"MODULES: %s", ErrorText(::GetLastError()).c_str());
    }

    std::wstring package;
    if (process.GetPackageFullName(false, package))
        sink.PrintfLine(L"PACKAGE: %s", package.c_str());
    else if (process.LastError() == kNoPackage || process.LastError() == ERROR_PROC_NOT_FOUND ||
             process.LastError() == ERROR_NOT_SUPPORTED)
        sink.PrintfLine(L"PACKAGE: none");
    else
        sink.PrintfLine(L"PACKAGE: %s", ErrorText(process.LastError()).c_str());
    sink.PrintfLine(L"*** Process Info end ***");
}

} // namespace

std::wstring MachineName(USHORT machine)
{
    switch (machine)
    {
    case IMAGE_FILE_MACHINE_I386:
        return L"I386";
    case IMAGE_FILE_MACHINE_AMD64:
        return L"AMD64";
    case IMAGE_FILE_MACHINE_ARM64:
        return L"ARM64";
    case IMAGE_FILE_MACHINE_ARMNT:
        return L"ARMNT";
    case 0:
        return L"unknown";
    default:
        wchar_t text[16];
        std::swprintf(text, sizeof(text) / sizeof(text[0]), L"0x%.4X", static_cast<unsigned>(machine));
        return text;
    }
}

bool RunProcess(const Options& options, Report& report, Failure& failure)
{
    const DWORD pid = options.self ? ::GetCurrentProcessId() : options.pid;
    CqzProcessHandle process;
    if (!process.OpenProcess(CqzProcessHandle::GetProcessQueryAccess() | PROCESS_VM_READ, pid, false) &&
        !process.OpenProcess(CqzProcessHandle::GetProcessQueryAccess(), pid, false))
        return failure.Set(L"cannot open process " + std::to_wstring(pid), process.LastError());
    CqzTextSink* sink = report.Sink(failure);
    if (sink == nullptr)
        return false;
    WriteProcess(pid, process, *sink);
    return true;
}

bool RunProcesses(const Options&, Report& report, Failure& failure)
{
    std::vector<PROCESSENTRY32W> processes;
    if (!CqzProcessHandle::EnumProcessesEx(processes))
        return failure.Set(L"cannot list the processes", ::GetLastError());
    CqzTextSink* sink = report.Sink(failure);
    if (sink == nullptr)
        return false;
    sink->PrintfLine(L"PROCESSES: Count=%u", static_cast<unsigned>(processes.size()));
    for (const PROCESSENTRY32W& entry : processes)
    {
        const DWORD pid = entry.th32ProcessID;
        CqzProcessHandle process;
        if (!process.OpenProcess(CqzProcessHandle::GetProcessQueryAccess(), pid, false))
        {
            sink->PrintfLine(L"%6u  cannot open (%s): %s", static_cast<unsigned>(pid),
                             ErrorText(process.LastError()).c_str(), entry.szExeFile);
            continue;
        }
        std::wstring image;
        if (!CqzProcessHandle::GetImagePath(pid, image))
            image = entry.szExeFile;
        sink->PrintfLine(L"%6u  %s  %s  %s", static_cast<unsigned>(pid), Bitness(process.m_h).c_str(),
                         ShortUserText(process).c_str(), image.c_str());
    }
    return true;
}

} // namespace qzdiag
