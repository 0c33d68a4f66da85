// Process entry of qz_diag.exe: parse, run one command, write its report and
// answer the exit code.
#include "Agent/tools/qz_diag/diag.h"

#include <exception>
#include <new>

#include "common/util/util.h"

namespace
{

using namespace qzdiag;

typedef bool (*CommandFunction)(const Options&, Report&, Failure&);

CommandFunction FunctionOf(Command command)
{
    switch (command)
    {
    case Command::Token:
        return RunToken;
    case Command::Object:
        return RunObject;
    case Command::Access:
        return RunAccess;
    case Command::Process:
        return RunProcess;
    case Command::Processes:
        return RunProcesses;
    case Command::Os:
        return RunOs;
    case Command::Agent:
        return RunAgent;
    default:
        return nullptr;
    }
}

void WriteError(const std::wstring& text)
{
    DWORD error = ERROR_SUCCESS;
    WriteUtf8(STD_ERROR_HANDLE, text, error);
}

int Run(int argc, wchar_t** argv)
{
    // The reports show what this program's own token sees: a file it cannot
    // read is not retried as its parent's user.
    CqzUtil::SetNoParentImpersonation(true);

    Options options;
    std::wstring error;
    const bool parsed = ParseArguments(argc - 1, argv + 1, options, error);
    if (options.help)
    {
        DWORD writeError = ERROR_SUCCESS;
        return WriteUtf8(STD_OUTPUT_HANDLE, UsageText(options.command), writeError) ? kExitWritten : kExitNotRead;
    }
    if (!parsed)
    {
        WriteError(L"qz_diag: " + error + L"\r\n" + UsageText(options.command));
        return kExitUsage;
    }
    const CommandFunction function = FunctionOf(options.command);
    Report report(options);
    Failure failure;
    if (function == nullptr || !function(options, report, failure) || !report.Finish(failure))
    {
        WriteError(failure.Line() + L"\r\n");
        return kExitNotRead;
    }
    return kExitWritten;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    // Nothing may escape the process entry: an allocation failure is a
    // report that could not be written.
    try
    {
        return Run(argc, argv);
    }
    catch (const std::bad_alloc&)
    {
        WriteError(L"qz_diag: out of memory\r\n");
    }
    catch (const std::exception&)
    {
        WriteError(L"qz_diag: unexpected failure\r\n");
    }
    return kExitNotRead;
}
