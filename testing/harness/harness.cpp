#include "testing/harness/harness.h"

#include "qz_runtime.h"
#include "trace/qztrace.h"

#include <shlwapi.h>

#include <cstdio>

namespace qztest
{

ProcessResult RunProcess(const std::wstring& exePath, const std::wstring& cmdLine, const RunOptions& options)
{
    ProcessResult result;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.lpDesktop = const_cast<wchar_t*>(options.desktop);
    if (options.showWindow >= 0)
    {
        si.dwFlags = STARTF_USESHOWWINDOW;
        si.wShowWindow = static_cast<WORD>(options.showWindow);
    }
    PROCESS_INFORMATION pi = {};
    std::wstring mutableCmd = cmdLine; // CreateProcessW may write into it
    BOOL ok;
    if (options.token)
        ok = ::CreateProcessAsUserW(options.token, exePath.c_str(), &mutableCmd[0], nullptr, nullptr, FALSE, 0, nullptr,
                                    options.cwd, &si, &pi);
    else
        ok = ::CreateProcessW(exePath.c_str(), &mutableCmd[0], nullptr, nullptr, FALSE, 0, nullptr, options.cwd, &si,
                              &pi);
    if (!ok)
    {
        result.error = ::GetLastError();
        return result;
    }
    ScopedHandle process(pi.hProcess);
    ScopedHandle thread(pi.hThread);
    result.started = true;
    result.pid = pi.dwProcessId;
    if (::WaitForSingleObject(process.Get(), options.timeoutMs) != WAIT_OBJECT_0)
    {
        ::TerminateProcess(process.Get(), 0xDEAD);
        ::WaitForSingleObject(process.Get(), 5000);
        return result;
    }
    result.finished = true;
    ::GetExitCodeProcess(process.Get(), &result.exitCode);
    return result;
}

std::wstring QuoteArg(const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
        return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg)
    {
        if (c == L'\\')
        {
            ++backslashes;
            continue;
        }
        if (c == L'"')
            out.append(backslashes * 2 + 1, L'\\');
        else
            out.append(backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

std::wstring ModulePath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;)
    {
        DWORD n = ::GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0)
            return std::wstring();
        if (n < path.size())
        {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::wstring BinDir()
{
    std::wstring path = ModulePath();
    size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? path : path.substr(0, slash);
}

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring FromUtf8(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(n, L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

RegKeyGuard::RegKeyGuard(HKEY root, const std::wstring& subKey) : m_root(root), m_subKey(subKey)
{
    m_created = CreateRegKey(root, subKey);
}

RegKeyGuard::~RegKeyGuard()
{
    DeleteRegTree(m_root, m_subKey);
}

bool CreateRegKey(HKEY root, const std::wstring& subKey, REGSAM view)
{
    HKEY key = nullptr;
    if (::RegCreateKeyExW(root, subKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    ::RegCloseKey(key);
    return true;
}

bool DeleteRegTree(HKEY root, const std::wstring& subKey, REGSAM view)
{
    CqzScopedRegKey key;
    LSTATUS status = ::RegOpenKeyExW(root, subKey.c_str(), 0, KEY_ALL_ACCESS | view, key.Receive());
    if (status == ERROR_FILE_NOT_FOUND)
        return true;
    if (status == ERROR_SUCCESS)
        status = ::RegDeleteTreeW(key.Get(), nullptr);
    if (status == ERROR_SUCCESS)
        status = ::RegDeleteKeyExW(root, subKey.c_str(), view, 0);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool SetRegBytes(HKEY root, const std::wstring& subKey, const std::wstring& name, const void* data, DWORD size,
                 DWORD type, REGSAM view)
{
    HKEY key = nullptr;
    if (::RegCreateKeyExW(root, subKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    LSTATUS status = ::RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size);
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool SetRegString(HKEY root, const std::wstring& subKey, const std::wstring& name, const std::wstring& value,
                  DWORD type, REGSAM view)
{
    return SetRegBytes(root, subKey, name, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)),
                       type, view);
}

bool SetRegDword(HKEY root, const std::wstring& subKey, const std::wstring& name, DWORD value)
{
    return SetRegBytes(root, subKey, name, &value, sizeof(value), REG_DWORD);
}

bool DeleteRegValue(HKEY root, const std::wstring& subKey, const std::wstring& name)
{
    HKEY key = nullptr;
    LSTATUS status = ::RegOpenKeyExW(root, subKey.c_str(), 0, KEY_SET_VALUE, &key);
    if (status == ERROR_FILE_NOT_FOUND)
        return true;
    if (status != ERROR_SUCCESS)
        return false;
    status = ::RegDeleteValueW(key, name.c_str());
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool RegKeyExists(HKEY root, const std::wstring& subKey)
{
    CqzScopedRegKey key;
    return ::RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ, key.Receive()) == ERROR_SUCCESS;
}

TempDir::TempDir(const std::wstring& tag)
{
    wchar_t base[MAX_PATH + 1] = {};
    DWORD n = ::GetTempPathW(MAX_PATH, base);
    std::wstring root(base, n);
    if (!root.empty() && root.back() == L'\\')
        root.pop_back();
    static LONG counter = 0;
    for (int attempt = 0; attempt < 1000; ++attempt)
    {
        wchar_t name[96];
        swprintf(name, 96, L"\\%ls-%lu-%ld-%lu", tag.c_str(), ::GetCurrentProcessId(), ::InterlockedIncrement(&counter),
                 ::GetTickCount());
        std::wstring path = root + name;
        if (::CreateDirectoryW(path.c_str(), nullptr))
        {
            m_path = path;
            return;
        }
    }
}

TempDir::~TempDir()
{
    if (!m_path.empty())
        RemoveTree(m_path);
}

bool RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE)
    {
        do
        {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring child = path + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
            {
                ::SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(child.c_str());
            }
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    return ::RemoveDirectoryW(path.c_str()) != FALSE;
}

bool CreateDirs(const std::wstring& path)
{
    if (path.empty())
        return false;
    DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    size_t slash = path.find_last_of(L'\\');
    if (slash != std::wstring::npos && slash > 2)
        CreateDirs(path.substr(0, slash));
    return ::CreateDirectoryW(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS;
}

bool FileExists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WriteTextFile(const std::wstring& path, const std::string& content)
{
    ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
        return false;
    DWORD written = 0;
    return ::WriteFile(file.Get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
           written == content.size();
}

std::string ReadTextFile(const std::wstring& path)
{
    // Trace files stay open in their writers: share everything.
    ScopedHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
        return std::string();
    std::string content;
    char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        content.append(buffer, read);
    return content;
}

std::vector<std::string> ReadLines(const std::wstring& path)
{
    std::vector<std::string> lines;
    std::string content = ReadTextFile(path);
    size_t start = 0;
    while (start < content.size())
    {
        size_t end = content.find('\n', start);
        if (end == std::string::npos)
        {
            lines.push_back(content.substr(start));
            break;
        }
        lines.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

const wchar_t* const kAgentServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\qz_agent";

AgentInstall::AgentInstall(const std::wstring& binName) : m_dir(L"qzinstall"), m_binName(binName)
{
    m_root = m_dir.Path();
    CreateDirs(BinDir());
    CreateDirs(ConfigDir());
    CreateDirs(TraceDir());
}

bool AgentInstall::CopyFromBuild(const std::vector<std::wstring>& names)
{
    const std::wstring from = qztest::BinDir();
    bool ok = true;
    for (const std::wstring& name : names)
        ok = ::CopyFileW((from + L"\\" + name).c_str(), (BinDir() + L"\\" + name).c_str(), FALSE) && ok;
    return ok;
}

bool AgentInstall::CopyLauncher()
{
    return CopyFromBuild(WithRuntime({L"qz_elevate.exe", L"qztrace.dll"}));
}

std::wstring AgentInstall::QuotedServiceImage(const std::wstring& exeName) const
{
    return L"\"" + BinDir() + L"\\" + exeName + L"\"";
}

std::vector<std::wstring> WithRuntime(std::vector<std::wstring> names)
{
    for (const wchar_t* dll : {QZ_RUNTIME_DLL_NAMES})
        names.push_back(dll);
    return names;
}

std::wstring StartupTraceName(unsigned crc)
{
    return L"qz_elevate." + std::wstring(kArchWord) + L".{" + std::to_wstring(crc) + L"}.trace";
}

std::wstring CommandTraceName(const std::wstring& word, unsigned crc)
{
    return L"qz_elevate." + word + L"." + kArchWord + L".{" + std::to_wstring(crc) + L"}.trace";
}

TraceCapture::TraceCapture() : m_dir(L"qztrace")
{
    m_path = m_dir / L"capture.trace";
    D_C_Support_SetD_File(ToUtf8(m_path).c_str(), 0, 1);
    D_C_Support_SetPrefix(".*", D_SCOPE_CLASS, -1, "");
    for (int level : {100, 200, 300, 400, 500, 600, 3838})
        D_Support_c::SetDoPrintFor(D_SCOPE_CLASS, ".*", level, 1);
}

TraceCapture::~TraceCapture()
{
    // Release the file so the directory can go.
    D_C_Support_SetD_File("", 0, 1);
}

std::vector<std::string> TraceCapture::Lines() const
{
    return ReadLines(m_path);
}

std::string TraceCapture::Text() const
{
    return ReadTextFile(m_path);
}

} // namespace qztest
