#include "common/util/util.h"

#include "trace/trace.h"

#include <atomic>
#include <cwchar>
#include <vector>

namespace
{

const char* const kUtilClass = "CqzUtil";

const wchar_t* const kLongPrefix = L"\\\\?\\";
const wchar_t* const kLongUncPrefix = L"\\\\?\\UNC\\";
const wchar_t* const kNtPrefix = L"\\??\\";
const wchar_t* const kDevicePrefix = L"\\\\.\\";

const DWORD kExpandFirstChars = 1040;

std::atomic<bool> g_noParentImpersonation{false};

bool StartsWith(const wchar_t* text, const wchar_t* prefix)
{
    return std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0;
}

// The full form of path, or false when the system cannot make one.
bool FullPath(const wchar_t* path, std::wstring& full)
{
    std::vector<wchar_t> buffer(MAX_PATH * 2);
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        const DWORD chars = ::GetFullPathNameW(path, static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
        if (chars == 0)
            return false;
        if (chars < buffer.size())
        {
            full.assign(buffer.data(), chars);
            return true;
        }
        buffer.resize(static_cast<size_t>(chars) + 1);
    }
    return false;
}

} // namespace

std::wstring CqzUtil::MakeLongPath(const wchar_t* path)
{
    if (path == nullptr)
        return std::wstring();
    if (std::wcslen(path) < MAX_PATH || StartsWith(path, kLongPrefix) || StartsWith(path, kNtPrefix) ||
        StartsWith(path, kDevicePrefix))
        return path;
    std::wstring full;
    if (!FullPath(path, full))
        return path;
    if (full.compare(0, 2, L"\\\\") == 0)
        return kLongUncPrefix + full.substr(2);
    return kLongPrefix + full;
}

HANDLE CqzUtil::CreateFileLongPath(const wchar_t* path, DWORD desiredAccess, DWORD shareMode,
                                   SECURITY_ATTRIBUTES* securityAttributes, DWORD creationDisposition,
                                   DWORD flagsAndAttributes, HANDLE templateFile)
{
    if (path == nullptr)
    {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::wstring longPath = MakeLongPath(path);
    return ::CreateFileW(longPath.c_str(), desiredAccess, shareMode, securityAttributes, creationDisposition,
                         flagsAndAttributes, templateFile);
}

DWORD CqzUtil::GetFileAttributesLongPath(const wchar_t* path)
{
    if (path == nullptr)
    {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    const std::wstring longPath = MakeLongPath(path);
    return ::GetFileAttributesW(longPath.c_str());
}

void CqzUtil::SetNoParentImpersonation(bool noParentImpersonation)
{
    g_noParentImpersonation.store(noParentImpersonation);
}

bool CqzUtil::GetNoParentImpersonation()
{
    return g_noParentImpersonation.load();
}

bool CqzUtil::ExpandEnvStrings(const wchar_t* text, std::wstring& expanded)
{
    QZ_STACK_NAME("ExpandEnvStrings", kUtilClass);
    expanded.clear();
    if (text == nullptr)
    {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        QZTRACE(QZT_ERROR, kUtilClass, "ERROR: ExpandEnvironmentStrings(NULL) failed. LastError=" << 87);
        return false;
    }
    // The answer counts the terminator; a buffer that was too small is grown
    // to it. The environment may grow between two calls, hence the loop.
    // Never handed on: a cut text (see below) or one that keeps growing.
    DWORD size = kExpandFirstChars;
    for (int attempt = 0; attempt < 4; ++attempt)
    {
        std::vector<wchar_t> buffer(size, L'\0');
        const DWORD chars = ::ExpandEnvironmentStringsW(text, buffer.data(), size);
        if (chars == 0)
        {
            QZTRACE(QZT_ERROR, kUtilClass,
                    "ERROR: ExpandEnvironmentStrings(" << text << ") failed. LastError=" << ::GetLastError());
            return false;
        }
        if (chars <= size)
        {
            // The system writes at most 32767 characters and may still
            // answer the full length: a text shorter than the answer was cut.
            const size_t length = std::wcslen(buffer.data());
            if (length + 1 != chars)
                break;
            expanded.assign(buffer.data(), length);
            return true;
        }
        size = chars;
    }
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    QZTRACE(QZT_ERROR, kUtilClass,
            "ERROR: ExpandEnvironmentStrings(" << text << ") failed. LastError=" << ERROR_INSUFFICIENT_BUFFER);
    return false;
}
