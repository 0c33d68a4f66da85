#include "testing/harness/harness.h"

#include "qz_runtime.h"
#include "trace/qztrace.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlwapi.h>

#include <cstdio>

namespace qztest
{

namespace
{

// Starts the child (inheriting handles only when si carries standard
// handles) and waits for it; terminated when still running at the time-out.
ProcessResult StartAndWait(const std::wstring& exePath, const std::wstring& cmdLine, const RunOptions& options,
                           STARTUPINFOW& si)
{
    ProcessResult result;
    si.cb = sizeof(si);
    si.lpDesktop = const_cast<wchar_t*>(options.desktop);
    if (options.showWindow >= 0)
    {
        si.dwFlags |= STARTF_USESHOWWINDOW;
        si.wShowWindow = static_cast<WORD>(options.showWindow);
    }
    const BOOL inherit = (si.dwFlags & STARTF_USESTDHANDLES) != 0;
    PROCESS_INFORMATION pi = {};
    std::wstring mutableCmd = cmdLine; // CreateProcessW may write into it
    BOOL ok;
    if (options.token)
        ok = ::CreateProcessAsUserW(options.token, exePath.c_str(), &mutableCmd[0], nullptr, nullptr, inherit, 0,
                                    nullptr, options.cwd, &si, &pi);
    else
        ok = ::CreateProcessW(exePath.c_str(), &mutableCmd[0], nullptr, nullptr, inherit, 0, nullptr, options.cwd, &si,
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

// One pipe whose write end the child inherits; the reader thread collects
// everything until the last write end closes.
struct CapturePipe
{
    ScopedHandle read;
    ScopedHandle write;
    ScopedHandle thread;
    std::string bytes;

    bool Create()
    {
        SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
        return ::CreatePipe(read.Receive(), write.Receive(), &sa, 0) &&
               ::SetHandleInformation(read.Get(), HANDLE_FLAG_INHERIT, 0);
    }
    static DWORD WINAPI Reader(void* context)
    {
        CapturePipe& pipe = *static_cast<CapturePipe*>(context);
        char buffer[4096];
        DWORD read = 0;
        while (::ReadFile(pipe.read.Get(), buffer, sizeof(buffer), &read, nullptr) && read != 0)
            pipe.bytes.append(buffer, read);
        return 0;
    }
    bool StartReader()
    {
        thread.Reset(::CreateThread(nullptr, 0, Reader, this, 0, nullptr));
        return thread.IsValid();
    }
};

} // namespace

ProcessResult RunProcess(const std::wstring& exePath, const std::wstring& cmdLine, const RunOptions& options)
{
    STARTUPINFOW si = {};
    return StartAndWait(exePath, cmdLine, options, si);
}

CapturedRun RunProcessCaptured(const std::wstring& exePath, const std::wstring& cmdLine, const RunOptions& options)
{
    CapturedRun run;
    CapturePipe out;
    CapturePipe err;
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    ScopedHandle input(
        ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr));
    if (!out.Create() || !err.Create() || !input.IsValid() || !out.StartReader())
    {
        run.result.error = ::GetLastError();
        return run;
    }
    if (!err.StartReader())
    {
        run.result.error = ::GetLastError();
        out.write.Reset();
        ::WaitForSingleObject(out.thread.Get(), INFINITE);
        return run;
    }
    STARTUPINFOW si = {};
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = input.Get();
    si.hStdOutput = out.write.Get();
    si.hStdError = err.write.Get();
    run.result = StartAndWait(exePath, cmdLine, options, si);
    // The readers end once no process holds a write end any more.
    out.write.Reset();
    err.write.Reset();
    const HANDLE threads[] = {out.thread.Get(), err.thread.Get()};
    if (::WaitForMultipleObjects(2, threads, TRUE, 30000) >= WAIT_OBJECT_0 + 2)
    {
        // A process the child left behind still holds a write end.
        ::CancelSynchronousIo(out.thread.Get());
        ::CancelSynchronousIo(err.thread.Get());
        ::WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    }
    run.out = out.bytes;
    run.err = err.bytes;
    return run;
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

RegValueRestorer::RegValueRestorer(HKEY root, const std::wstring& subKey, const std::wstring& name, REGSAM view)
    : m_root(root), m_subKey(subKey), m_name(name), m_view(view)
{
    CqzScopedRegKey key;
    if (::RegOpenKeyExW(root, subKey.c_str(), 0, KEY_QUERY_VALUE | view, key.Receive()) != ERROR_SUCCESS)
        return;
    m_keyExisted = true;
    DWORD size = 0;
    if (::RegQueryValueExW(key.Get(), name.c_str(), nullptr, &m_type, nullptr, &size) != ERROR_SUCCESS)
        return;
    m_data.resize(size + 1);
    if (::RegQueryValueExW(key.Get(), name.c_str(), nullptr, &m_type, m_data.data(), &size) == ERROR_SUCCESS)
    {
        m_data.resize(size);
        m_existed = true;
    }
}

RegValueRestorer::~RegValueRestorer()
{
    if (m_existed)
        Set(m_type, m_data.data(), static_cast<DWORD>(m_data.size()));
    else if (m_keyExisted)
        Delete();
    else
        DeleteRegTree(m_root, m_subKey, m_view);
}

bool RegValueRestorer::Set(DWORD type, const void* data, DWORD size) const
{
    return SetRegBytes(m_root, m_subKey, m_name, data, size, type, m_view);
}

bool RegValueRestorer::SetString(const std::wstring& text, DWORD type) const
{
    return Set(type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool RegValueRestorer::SetDword(DWORD value) const
{
    return Set(REG_DWORD, &value, sizeof(value));
}

bool RegValueRestorer::Delete() const
{
    CqzScopedRegKey key;
    LSTATUS status = ::RegOpenKeyExW(m_root, m_subKey.c_str(), 0, KEY_SET_VALUE | m_view, key.Receive());
    if (status == ERROR_FILE_NOT_FOUND)
        return true;
    if (status != ERROR_SUCCESS)
        return false;
    status = ::RegDeleteValueW(key.Get(), m_name.c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

std::wstring WineVersionScope::KeyPath(const std::wstring& exeName)
{
    return L"Software\\Wine\\AppDefaults\\" + exeName;
}

WineVersionScope::WineVersionScope(const std::wstring& exeName, const std::wstring& version) : m_key(KeyPath(exeName))
{
    m_ok = SetRegString(HKEY_CURRENT_USER, m_key, L"Version", version);
}

WineVersionScope::~WineVersionScope()
{
    DeleteRegTree(HKEY_CURRENT_USER, m_key);
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

bool SplitCrLfLines(const std::wstring& text, std::vector<std::wstring>& lines, std::string* problem)
{
    lines.clear();
    size_t start = 0;
    while (start < text.size())
    {
        const size_t end = text.find(L"\r\n", start);
        if (end == std::wstring::npos)
        {
            if (problem)
                *problem = "text after the last \\r\\n: " + ToUtf8(text.substr(start));
            return false;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
    return true;
}

bool ReadUtf16Lines(const std::wstring& path, std::vector<std::wstring>& lines, std::string* problem)
{
    lines.clear();
    const std::string bytes = ReadTextFile(path);
    if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
        static_cast<unsigned char>(bytes[1]) != 0xFE)
    {
        if (problem)
            *problem = "no UTF-16LE byte-order mark (" + std::to_string(bytes.size()) + " bytes)";
        return false;
    }
    if (bytes.size() % 2 != 0)
    {
        if (problem)
            *problem = "odd byte count " + std::to_string(bytes.size());
        return false;
    }
    std::wstring text((bytes.size() - 2) / 2, L'\0');
    memcpy(&text[0], bytes.data() + 2, bytes.size() - 2);
    return SplitCrLfLines(text, lines, problem);
}

std::string KeyValues::Get(const std::string& key) const
{
    auto it = values.find(key);
    return it != values.end() ? it->second : std::string("<missing>");
}

std::vector<std::string> KeyValues::All(const std::string& key) const
{
    std::vector<std::string> all;
    auto range = multi.equal_range(key);
    for (auto it = range.first; it != range.second; ++it)
        all.push_back(it->second);
    return all;
}

KeyValues ParseKeyValues(const std::vector<std::string>& lines)
{
    KeyValues result;
    for (std::string line : lines)
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        result.values[key] = value;
        result.multi.emplace(key, value);
    }
    return result;
}

KeyValues ReadKeyValues(const std::wstring& path)
{
    return ParseKeyValues(ReadLines(path));
}

std::string SddlOf(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION parts)
{
    CqzScopedLocal<wchar_t> text;
    if (descriptor == nullptr || !::ConvertSecurityDescriptorToStringSecurityDescriptorW(
                                     descriptor, SDDL_REVISION_1, parts, text.Receive(), nullptr))
        return "(unconvertible)";
    return ToUtf8(text.Get());
}

std::string ObjectDaclSddl(HANDLE object)
{
    CqzScopedLocal<void> descriptor;
    if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                          descriptor.Receive()) != ERROR_SUCCESS)
        return "(unreadable)";
    return SddlOf(descriptor.Get(), DACL_SECURITY_INFORMATION);
}

std::wstring SidToString(PSID sid)
{
    CqzScopedLocal<wchar_t> text;
    if (sid == nullptr || !::ConvertSidToStringSidW(sid, text.Receive()))
        return std::wstring();
    return text.Get();
}

std::wstring AccountTraceText(PSID sid)
{
    const std::wstring sidText = SidToString(sid);
    wchar_t name[256] = {};
    wchar_t domain[256] = {};
    DWORD nameLength = 256;
    DWORD domainLength = 256;
    SID_NAME_USE use = SidTypeUnknown;
    if (!::LookupAccountSidW(nullptr, sid, name, &nameLength, domain, &domainLength, &use) || name[0] == L'\0')
        return L"SID=[" + sidText + L"]";
    const std::wstring account = domain[0] == L'\0' ? std::wstring(name) : std::wstring(domain) + L"\\" + name;
    return L"Name=[" + account + L"] SID=[" + sidText + L"]";
}

namespace
{

// TokenPrivileges or TokenGroups in a buffer of their own size.
std::vector<BYTE> TokenBlock(HANDLE token, TOKEN_INFORMATION_CLASS infoClass)
{
    DWORD length = 0;
    ::GetTokenInformation(token, infoClass, nullptr, 0, &length);
    if (length == 0)
        return std::vector<BYTE>();
    std::vector<BYTE> block(length);
    if (!::GetTokenInformation(token, infoClass, block.data(), length, &length))
        return std::vector<BYTE>();
    return block;
}

bool SameLuid(const LUID& a, const LUID& b)
{
    return a.LowPart == b.LowPart && a.HighPart == b.HighPart;
}

} // namespace

ScopedHandle OpenOwnProcessToken()
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, &token))
        token = nullptr;
    return ScopedHandle(token);
}

ScopedHandle DuplicatePrimary(HANDLE token)
{
    HANDLE duplicate = nullptr;
    if (!::DuplicateTokenEx(token, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &duplicate))
        duplicate = nullptr;
    return ScopedHandle(duplicate);
}

ScopedHandle DuplicateImpersonation(HANDLE token, PSECURITY_DESCRIPTOR descriptor)
{
    SECURITY_ATTRIBUTES sa = {sizeof(sa), descriptor, FALSE};
    HANDLE duplicate = nullptr;
    if (!::DuplicateTokenEx(token, TOKEN_ALL_ACCESS, descriptor ? &sa : nullptr, SecurityImpersonation,
                            TokenImpersonation, &duplicate))
        duplicate = nullptr;
    return ScopedHandle(duplicate);
}

ScopedHandle RestrictedAdministratorsDenyOnly(HANDLE token)
{
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(administrators);
    if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size))
        return ScopedHandle();
    SID_AND_ATTRIBUTES disable = {administrators, 0};
    HANDLE restricted = nullptr;
    if (!::CreateRestrictedToken(token, 0, 1, &disable, 0, nullptr, 0, nullptr, &restricted))
        restricted = nullptr;
    return ScopedHandle(restricted);
}

ScopedHandle WithoutPrivilege(HANDLE token, const wchar_t* privilege)
{
    LUID_AND_ATTRIBUTES removed = {};
    if (!::LookupPrivilegeValueW(nullptr, privilege, &removed.Luid))
        return ScopedHandle();
    HANDLE restricted = nullptr;
    if (!::CreateRestrictedToken(token, 0, 0, nullptr, 1, &removed, 0, nullptr, &restricted))
        restricted = nullptr;
    return ScopedHandle(restricted);
}

bool AdjustPrivilege(HANDLE token, const wchar_t* privilege, DWORD attributes)
{
    TOKEN_PRIVILEGES change = {};
    change.PrivilegeCount = 1;
    change.Privileges[0].Attributes = attributes;
    // AdjustTokenPrivileges succeeds with ERROR_NOT_ALL_ASSIGNED when the
    // token lacks the privilege.
    return ::LookupPrivilegeValueW(nullptr, privilege, &change.Privileges[0].Luid) &&
           ::AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr) && ::GetLastError() == ERROR_SUCCESS;
}

ScopedHandle DuplicateWithPrivilege(HANDLE token, const wchar_t* privilege, DWORD attributes)
{
    ScopedHandle duplicate = DuplicatePrimary(token);
    if (!duplicate.IsValid() || !AdjustPrivilege(duplicate.Get(), privilege, attributes))
        return ScopedHandle();
    return duplicate;
}

ScopedHandle LinkedToken(HANDLE token)
{
    HANDLE linked = nullptr;
    DWORD returned = 0;
    if (!::GetTokenInformation(token, TokenLinkedToken, &linked, sizeof(linked), &returned))
        linked = nullptr;
    return ScopedHandle(linked);
}

bool TokenHasPrivilege(HANDLE token, const wchar_t* privilege, DWORD* attributes)
{
    LUID luid = {};
    if (!::LookupPrivilegeValueW(nullptr, privilege, &luid))
        return false;
    const std::vector<BYTE> block = TokenBlock(token, TokenPrivileges);
    if (block.empty())
        return false;
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(block.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
    {
        if (SameLuid(privileges->Privileges[i].Luid, luid))
        {
            if (attributes != nullptr)
                *attributes = privileges->Privileges[i].Attributes;
            return true;
        }
    }
    return false;
}

bool TokenGroupAttributes(HANDLE token, const wchar_t* sidString, DWORD& attributes)
{
    const std::vector<BYTE> block = TokenBlock(token, TokenGroups);
    if (block.empty())
        return false;
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(block.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i)
    {
        if (SidToString(groups->Groups[i].Sid) == sidString)
        {
            attributes = groups->Groups[i].Attributes;
            return true;
        }
    }
    return false;
}

ThreadImpersonation::ThreadImpersonation(HANDLE impersonationToken)
{
    m_active = impersonationToken && ::SetThreadToken(nullptr, impersonationToken);
}

ThreadImpersonation::~ThreadImpersonation()
{
    if (m_active)
        ::RevertToSelf();
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

namespace
{

struct NamedLevel
{
    const char* name;
    int level;
};

const NamedLevel kLevelNames[] = {
    {"QZT_ERROR", QZT_ERROR},
    {"QZT_WARNING", QZT_WARNING},
    {"QZT_INFO", QZT_INFO},
    {"QZT_TRACE", QZT_TRACE},
    {"QZT_VERBOSE", QZT_VERBOSE},
    {"QZT_DEBUG", QZT_DEBUG},
    {"QZT_FLASHBACK_ERROR", QZT_FLASHBACK_ERROR},
    {"QZT_FLASHBACK_WARNING", QZT_FLASHBACK_WARNING},
    {"QZT_FLASHBACK_INFO", QZT_FLASHBACK_INFO},
    {"QZT_REDIRECTED", QZT_REDIRECTED},
};

// The <%LEVEL> field: the level's name when a module registered it, else its
// decimal number.
bool ParseLevel(const std::string& field, int& level)
{
    for (const NamedLevel& named : kLevelNames)
    {
        if (field == named.name)
        {
            level = named.level;
            return true;
        }
    }
    if (field.empty() || field.size() > 9 || field.find_first_not_of("0123456789") != std::string::npos)
        return false;
    level = std::stoi(field);
    return true;
}

} // namespace

std::string LevelName(int level)
{
    for (const NamedLevel& named : kLevelNames)
    {
        if (named.level == level)
            return named.name;
    }
    return std::to_string(level);
}

std::ostream& operator<<(std::ostream& os, const TraceEntry& entry)
{
    return os << LevelName(entry.level) << "|" << entry.className << "|" << entry.text;
}

TraceEntries EntriesOf(int level, const std::string& className, const std::vector<std::string>& texts)
{
    TraceEntries entries;
    for (const std::string& text : texts)
        entries.push_back({level, className, text});
    return entries;
}

const char* const TraceCapture::kPrefixTemplate = "<%LEVEL>|<%CLASS>|";

TraceCapture::TraceCapture() : m_dir(L"qztrace")
{
    m_path = m_dir / L"capture.trace";
    D_C_Support_SetD_File(ToUtf8(m_path).c_str(), 0, 1);
    D_C_Support_SetPrefix(".*", D_SCOPE_CLASS, -1, kPrefixTemplate);
    for (int level : {100, 200, 300, 400, 500, 600, 3838})
        D_Support_c::SetDoPrintFor(D_SCOPE_CLASS, ".*", level, 1);
}

TraceCapture::~TraceCapture()
{
    // Release the file so the directory can go, and leave the library's
    // prefix as the other suites of the process expect it: none.
    D_C_Support_SetD_File("", 0, 1);
    D_C_Support_SetPrefix(".*", D_SCOPE_CLASS, -1, "");
}

bool TraceCapture::ParseLine(const std::string& line, TraceEntry& entry)
{
    const size_t first = line.find('|');
    if (first == std::string::npos)
        return false;
    const size_t second = line.find('|', first + 1);
    if (second == std::string::npos)
        return false;
    int level = 0;
    if (!ParseLevel(line.substr(0, first), level))
        return false;
    entry.level = level;
    entry.className = line.substr(first + 1, second - first - 1);
    entry.text = line.substr(second + 1);
    return true;
}

std::vector<std::string> TraceCapture::Lines() const
{
    // Each line as written, without the capture's prefix; the later lines of
    // a statement with line feeds have none.
    std::vector<std::string> lines = ReadLines(m_path);
    for (std::string& line : lines)
    {
        TraceEntry entry;
        if (ParseLine(line, entry))
            line = entry.text;
    }
    return lines;
}

TraceEntries TraceCapture::Entries() const
{
    // A line without the prefix continues the statement before it; one that
    // comes first (written by the library itself) stands alone with level 0.
    TraceEntries entries;
    for (const std::string& line : ReadLines(m_path))
    {
        TraceEntry entry;
        if (ParseLine(line, entry))
            entries.push_back(entry);
        else if (!entries.empty())
            entries.back().text += "\n" + line;
        else
            entries.push_back({0, std::string(), line});
    }
    return entries;
}

std::string TraceCapture::Text() const
{
    return ReadTextFile(m_path);
}

} // namespace qztest
