#include "tests/trace/trace_test_util.h"

#include <atomic>

namespace qztrace_test
{

long long FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size())
    {
        const size_t eol = text.find('\n', start);
        if (eol == std::string::npos)
        {
            lines.push_back(text.substr(start) + "<no newline>");
            break;
        }
        lines.push_back(text.substr(start, eol - start));
        start = eol + 1;
    }
    return lines;
}

int FreshLevel()
{
    static std::atomic<int> next{1000};
    return next++;
}

HANDLE StartChild(const std::wstring& exeName, const std::wstring& arguments, HANDLE* mainThread)
{
    const std::wstring exe = ModuleDir() + L"\\" + exeName;
    std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!::CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return nullptr;
    if (mainThread)
        *mainThread = pi.hThread;
    else
        ::CloseHandle(pi.hThread);
    return pi.hProcess;
}

DWORD WaitChild(HANDLE process, DWORD timeoutMs)
{
    if (::WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0)
    {
        ::TerminateProcess(process, 0xFFFFFFFF);
        return 0xFFFFFFFF;
    }
    DWORD code = 0xFFFFFFFF;
    ::GetExitCodeProcess(process, &code);
    return code;
}

} // namespace qztrace_test
