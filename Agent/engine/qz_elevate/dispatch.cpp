// The command dispatch: one switch of the process command line, its checks,
// and the call into the agent library's export that does the switch's work.
#include "Agent/engine/qz_elevate/qz_elevate_module.h"

#include "common/util/scoped.h"
#include "common/util/util.h"
#include "trace/trace.h"

#include <cstdlib>
#include <cwchar>

namespace
{

const char* const kClassName = "CqzElevateModule";

// ERROR_ACCESS_DENIED as a plain number: what the agent reads as "refused".
const HRESULT kNoRightsResult = 5;

enum class Command
{
    AxInst,
    Explore,
    QzToolExec,
    Navigate,
};

enum class Library
{
    QzShex,
    QzBho,
};

struct SwitchEntry
{
    const wchar_t* name;
    Command command;
    int leastArgumentCount;
    const wchar_t* traceTag;
    bool rightsCheck;
    Library library;
    const char* exportName;
};

// Tried in this order; the first whole, case-insensitive match wins.
const SwitchEntry kSwitches[] = {
    {L"/axinst", Command::AxInst, 2, L"activex", false, Library::QzBho, "CallCGCOFU"},
    {L"/explore", Command::Explore, 3, L"ebh", true, Library::QzShex, "ShowEBH"},
    {L"/qztoolexec", Command::QzToolExec, 3, L"qztool", true, Library::QzShex, "QzToolExec"},
    {L"/navigate", Command::Navigate, 3, L"wbh", true, Library::QzBho, "ShowWB"},
};

const wchar_t* const kAutoElevateFlag = L"/setautoelvateflag";

const SwitchEntry* FindSwitch(LPCWSTR argument)
{
    for (const SwitchEntry& entry : kSwitches)
    {
        if (::_wcsicmp(argument, entry.name) == 0)
            return &entry;
    }
    return nullptr;
}

} // namespace

LPWSTR* CqzElevateModule::_ArgumentsAfterTool(LPWSTR* argv, int argc)
{
    static wchar_t* noArguments[] = {nullptr};
    if (argv == nullptr || argc < 0)
        return noArguments;
    return argv + (argc < 3 ? argc : 3);
}

HRESULT CqzElevateModule::Run(int nShowCmd)
{
    QZ_STACK_NAME("Run", kClassName);

    // Destroyed after the library below: the split outlives the export call.
    CqzCmdLine cmdLine(::GetCommandLineW());

    if (cmdLine.m_argc < 2)
    {
        QZTRACE(QZT_ERROR, kClassName, "ERROR: CmdLine [" << cmdLine.m_cmdLine << "]. Missing command line arguments.");
        return E_INVALIDARG;
    }

    const SwitchEntry* const entry = FindSwitch(cmdLine.GetArg(1));
    if (entry == nullptr)
    {
        QZTRACE(QZT_ERROR, kClassName,
                "ERROR: CmdLine [" << cmdLine.m_cmdLine << "]. Unexpected command line arguments.");
        return E_INVALIDARG;
    }

    // From here on every line of the run, its error lines included, goes to
    // the command's own trace file.
    SetCommandTraceFile(entry->traceTag);

    if (cmdLine.m_argc < entry->leastArgumentCount)
    {
        QZTRACE(QZT_ERROR, kClassName,
                "ERROR: CmdLine [" << cmdLine.m_cmdLine << "]. Missing command line arguments after " << entry->name
                                   << " switch.");
        return E_INVALIDARG;
    }

    // The policy first: when it allows, the token is not opened at all.
    if (entry->rightsCheck && !_AllowNonAdmin() && !_IsUserAdmin())
    {
        QZTRACE(QZT_ERROR, kClassName,
                "ERROR: CmdLine [" << cmdLine.m_cmdLine << "]. qz_elevate.exe launched without adminstrative rights.");
        return kNoRightsResult;
    }

    CqzScopedLibrary library;
    const FARPROC proc = entry->library == Library::QzShex
                             ? _GetQzShexProc(QzShexDll{}, entry->exportName, library.Receive())
                             : _GetQzShexProc(QzBhoDll{}, entry->exportName, library.Receive());
    if (proc == nullptr)
        return E_FAIL; // the resolver traced why

    // "/axinst" has no operand and may come without one.
    const LPCWSTR operand = entry->command == Command::AxInst ? nullptr : cmdLine.GetArg(2);
    HRESULT hr = S_OK;
    switch (entry->command)
    {
    case Command::AxInst:
        hr = ExportAs<PFN_CallCGCOFU>(proc)();
        if (FAILED(hr))
            QZTRACE(QZT_ERROR, kClassName, "ERROR: CallCGCOFU() failed. hr=" << static_cast<long>(hr));
        break;
    case Command::Explore:
        hr = ExportAs<PFN_ShowEBH>(proc)(operand);
        if (FAILED(hr))
            QZTRACE(QZT_ERROR, kClassName, "ERROR: ShowEBH(" << operand << ") failed. hr=" << static_cast<long>(hr));
        break;
    case Command::QzToolExec:
        hr = ExportAs<PFN_QzToolExec>(proc)(operand, nShowCmd, cmdLine.m_argc, _ArgumentsAfterTool(__wargv, __argc));
        if (FAILED(hr))
            QZTRACE(QZT_ERROR, kClassName, "ERROR: QzToolExec(" << operand << ") failed. hr=" << static_cast<long>(hr));
        break;
    case Command::Navigate:
    {
        const bool autoElevate = cmdLine.m_argc >= 4 && ::_wcsicmp(cmdLine.GetArg(3), kAutoElevateFlag) == 0;
        hr = ExportAs<PFN_ShowWB>(proc)(operand, autoElevate);
        if (FAILED(hr))
            QZTRACE(QZT_ERROR, kClassName,
                    "ERROR: ShowWB(" << operand << ", " << (autoElevate ? 1 : 0)
                                     << ") failed. hr=" << static_cast<long>(hr));
        break;
    }
    }
    return hr;
}
