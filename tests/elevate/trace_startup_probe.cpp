// Runs the launcher's trace start-up from wherever it is copied to: suites
// place it in the bin directory of a temporary agent installation, because
// the trace paths derive from the executable's own location.
//
//   qz_trace_startup_probe.exe <start-up trace file name> [command word...]
//
// Calls InitTrace with the name, then SetCommandTraceFile for each word in
// turn ("<null>" passes a null pointer, "<empty>" an empty text). After each
// call it traces one "PROBE: ..." line at level ERROR, which shows the file
// that tracing goes to at that point.
//
//   qz_trace_startup_probe.exe --default-writes-info
//
// Exits with 1 when the tracing library, as it starts up, writes level INFO
// lines, 0 when it does not; nothing is configured first.
#include "Agent/engine/qz_elevate/qz_elevate_module.h"

#include "common/util/util.h"
#include "trace/trace.h"

#include <cwchar>
#include <string>

namespace
{

// Empty when the text cannot be converted.
std::string Narrow(const wchar_t* text)
{
    std::string out;
    CqzUtil::WideToUtf8(text, out);
    return out;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 2 && std::wcscmp(argv[1], L"--default-writes-info") == 0)
    {
        // Only a file is named, no level is set: what would INFO do?
        wchar_t dir[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH, dir);
        const std::wstring file =
            std::wstring(dir) + L"qz_probe_defaults." + std::to_wstring(::GetCurrentProcessId()) + L".trace";
        D_C_Support_SetD_File(Narrow(file.c_str()).c_str(), 0, 0);
        D_Support_c::Enter();
        const int on = D_Support_c::DoPrintFor(__FILE__, nullptr, QZT_INFO);
        D_Support_c::Leave();
        D_C_Support_SetD_File("", 0, 1);
        ::DeleteFileW(file.c_str());
        return on ? 1 : 0;
    }

    const std::string traceFileName = argc >= 2 ? Narrow(argv[1]) : std::string();
    InitTrace(traceFileName.c_str());
    QZTRACE(QZT_ERROR, nullptr, "PROBE: InitTrace done");

    CqzElevateModule module;
    for (int i = 2; i < argc; ++i)
    {
        const wchar_t* word = argv[i];
        if (std::wcscmp(word, L"<null>") == 0)
            word = nullptr;
        else if (std::wcscmp(word, L"<empty>") == 0)
            word = L"";
        module.SetCommandTraceFile(word);
        QZTRACE(QZT_ERROR, nullptr, "PROBE: SetCommandTraceFile(" << argv[i] << ") done");
    }
    return 0;
}
