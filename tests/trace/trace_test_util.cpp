#include "tests/trace/trace_test_util.h"

#include <atomic>

namespace qztrace_test
{

TempDir::TempDir()
{
    static std::atomic<unsigned> counter{0};
    wchar_t base[MAX_PATH + 1] = {};
    ::GetTempPathW(MAX_PATH, base);
    wchar_t name[128];
    wsprintfW(name, L"qztrace_test_%lu_%lu_%u", ::GetCurrentProcessId(), ::GetTickCount(), counter++);
    m_path = std::wstring(base) + name;
    if (!m_path.empty() && m_path.back() == L'\\')
        m_path.pop_back();
    ::CreateDirectoryW(m_path.c_str(), nullptr);
}

namespace
{
void RemoveTree(const std::wstring& dir, int depth)
{
    WIN32_FIND_DATAW fd;
    HANDLE find = ::FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE)
    {
        do
        {
            const std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring full = dir + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            {
                if (depth < 8)
                    RemoveTree(full, depth + 1);
            }
            else
            {
                ::DeleteFileW(full.c_str());
            }
        } while (::FindNextFileW(find, &fd));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(dir.c_str());
}
} // namespace

TempDir::~TempDir()
{
    RemoveTree(m_path, 0);
}

std::string TempDir::Utf8(const std::wstring& name) const
{
    return ToUtf8(Wide(name));
}

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int n =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring FromUtf8(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

std::string ReadAll(const std::wstring& path)
{
    std::string text;
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return text;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        text.append(buffer, got);
    ::CloseHandle(file);
    return text;
}

bool Exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

long long FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return -1;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void WriteAll(const std::wstring& path, const std::string& text)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(file);
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

std::wstring ModuleDir()
{
    wchar_t path[MAX_PATH * 2] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH * 2);
    std::wstring dir = path;
    return dir.substr(0, dir.find_last_of(L"\\/"));
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
