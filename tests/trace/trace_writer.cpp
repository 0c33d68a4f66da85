// Child process of the trace tests: writes numbered lines to one trace file.
//
//   trace_writer lines <file> <id> <count> <filesKept> <bytesPerFile> <startEvent|->
//       waits for the start event (when named), then writes <count> lines.
//   trace_writer hold <file> <id> <before> <after> <filesKept> <bytesPerFile> <readyEvent> <goEvent>
//       writes <before> lines, signals ready, waits for go, writes <after> more.
//   trace_writer exit <file>
//       a second thread writes lines without end; the main thread writes one
//       line and returns, so the process ends while that thread is writing. A
//       static object traces "static destructor" on the way out.
//
// Every line is "writer=<id> seq=<n> " padded with '.' to 99 characters, then
// "\n". Exit code 0 on success.
#include <windows.h>

#include <cwchar>
#include <string>

#include "trace/trace.h"

namespace
{

std::string Utf8(const wchar_t* text)
{
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 1), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

class CqzTraceWriter
{
public:
    static void Line(const std::wstring& id, int seq)
    {
        QZ_STACK_NAME("Line", "CqzTraceWriter");
        std::string text = "writer=" + Utf8(id.c_str()) + " seq=" + std::to_string(seq) + " ";
        text.resize(99, '.');
        QZTRACE(QZT_INFO, "CqzTraceWriter", text.c_str());
    }
};

void Setup(const wchar_t* file, const wchar_t* files, const wchar_t* bytes)
{
    D_C_Support_SetRotation(_wtoi(files), _wtoi(bytes), 0);
    D_C_Support_SetD_File(Utf8(file).c_str(), 0, 1);
    D_C_Support_SetPrefix(".*", 1, -1, "");
    D_Support_c::SetDoPrintFor(1, ".*", QZT_INFO, 1);
}

bool g_exitMode = false;

struct CqzExitTracer
{
    ~CqzExitTracer()
    {
        if (!g_exitMode)
            return;
        QZ_STACK_NAME("~CqzExitTracer", "CqzExitTracer");
        QZTRACE(QZT_INFO, "CqzExitTracer", "static destructor");
    }
};
CqzExitTracer g_exitTracer;

DWORD WINAPI Busy(void*)
{
    for (int seq = 0;; ++seq)
        CqzTraceWriter::Line(L"busy", seq);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 8 && std::wcscmp(argv[1], L"lines") == 0)
    {
        Setup(argv[2], argv[5], argv[6]);
        if (std::wcscmp(argv[7], L"-") != 0)
        {
            HANDLE start = ::OpenEventW(SYNCHRONIZE, FALSE, argv[7]);
            if (!start || ::WaitForSingleObject(start, 60000) != WAIT_OBJECT_0)
                return 3;
            ::CloseHandle(start);
        }
        const int count = _wtoi(argv[4]);
        for (int i = 0; i < count; ++i)
            CqzTraceWriter::Line(argv[3], i);
        return 0;
    }
    if (argc == 10 && std::wcscmp(argv[1], L"hold") == 0)
    {
        Setup(argv[2], argv[6], argv[7]);
        HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[8]);
        HANDLE go = ::OpenEventW(SYNCHRONIZE, FALSE, argv[9]);
        if (!ready || !go)
            return 3;
        const int before = _wtoi(argv[4]);
        const int after = _wtoi(argv[5]);
        int seq = 0;
        for (; seq < before; ++seq)
            CqzTraceWriter::Line(argv[3], seq);
        ::SetEvent(ready);
        if (::WaitForSingleObject(go, 60000) != WAIT_OBJECT_0)
            return 4;
        for (; seq < before + after; ++seq)
            CqzTraceWriter::Line(argv[3], seq);
        ::CloseHandle(ready);
        ::CloseHandle(go);
        return 0;
    }
    if (argc == 3 && std::wcscmp(argv[1], L"exit") == 0)
    {
        Setup(argv[2], L"0", L"0");
        g_exitMode = true;
        HANDLE busy = ::CreateThread(nullptr, 0, Busy, nullptr, 0, nullptr);
        if (!busy)
            return 3;
        ::Sleep(100);
        CqzTraceWriter::Line(L"main", 0);
        ::CloseHandle(busy);
        return 0; // exit() runs the static destructor, then the busy thread is killed
    }
    return 2;
}
