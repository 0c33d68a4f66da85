#include "common/util/util.h"

#include "common/util/scoped.h"
#include "common/util/token_information.h"

#include "trace/trace.h"

#include <objbase.h>
#include <sddl.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <new>
#include <vector>

namespace
{

const char* const kUtilClass = "CqzUtil";
const char* const kCmdLineClass = "CqzCmdLine";

const wchar_t* const kAgentServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\qz_agent";
const wchar_t* const kImagePathValue = L"ImagePath";
const wchar_t* const kAgentParametersKey = L"SYSTEM\\CurrentControlSet\\Services\\qz_agent\\Parameters\\Marrowgate";
const wchar_t* const kDefaultUserSid = L"S-1-0-0";
const wchar_t* const kMarkerDirTemplate = L"?:\\.marrowgate";

// "ImagePath" is read into 520 characters, terminator included.
const DWORD kImagePathBytes = 1040;
// Module path buffers start at this many characters and grow by as many.
const DWORD kModulePathStep = 1040;

// One cached path and the lock that guards its first computation. Built in
// static storage and never destroyed: callers hold references to the string
// for the life of the process, static destructors included.
struct CachedPath
{
    CachedPath() { ::InitializeCriticalSection(&lock); }
    CRITICAL_SECTION lock;
    std::wstring value;
};

class CachedPathSlot
{
public:
    CachedPathSlot() : m_path(new (&m_storage) CachedPath()) {}
    CachedPath& Get() { return *m_path; }

private:
    alignas(CachedPath) unsigned char m_storage[sizeof(CachedPath)];
    CachedPath* m_path;
};

// Function-local statics: constructed once, thread-safely, on first use.
CachedPath& ModuleDirCache()
{
    static CachedPathSlot slot;
    return slot.Get();
}

CachedPath& ConfigDirCache()
{
    static CachedPathSlot slot;
    return slot.Get();
}

CachedPath& MarkerDirCache()
{
    static CachedPathSlot slot;
    return slot.Get();
}

unsigned int Crc32Table(unsigned int index)
{
    struct Table
    {
        unsigned int entries[256];
        Table()
        {
            for (unsigned int i = 0; i < 256; ++i)
            {
                unsigned int crc = i;
                for (int bit = 0; bit < 8; ++bit)
                    crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
                entries[i] = crc;
            }
        }
    };
    static const Table table;
    return table.entries[index & 0xFF];
}

bool IsWideSpace(wchar_t c)
{
    return std::iswspace(static_cast<wint_t>(c)) != 0;
}

bool ArgsEqual(LPCWSTR a, LPCWSTR b, bool ignoreCase)
{
    if (!a || !b)
        return a == b;
    return (ignoreCase ? ::_wcsicmp(a, b) : std::wcscmp(a, b)) == 0;
}

// The C runtime takes radix 0 (from the text's own prefix) or 2 to 36; how
// it treats any other radix differs between runtimes, so none is converted.
bool IsValidRadix(int radix)
{
    return radix == 0 || (radix >= 2 && radix <= 36);
}

// The C runtime's unsigned conversion in `convert`; its saturated result
// (all bits set) counts as overflow.
template <typename T, typename Convert>
bool ParseUnsigned(LPCWSTR text, T& value, int radix, Convert convert)
{
    if (!text || !*text)
        return false;
    if (!IsValidRadix(radix))
    {
        value = 0;
        return false;
    }
    wchar_t* end = nullptr;
    value = convert(text, &end, radix);
    return value != static_cast<T>(~static_cast<T>(0)) && end != text;
}

bool ParseULong(LPCWSTR text, ULONG& value, int radix)
{
    return ParseUnsigned<ULONG>(text, value, radix,
                                [](LPCWSTR t, wchar_t** e, int r) { return std::wcstoul(t, e, r); });
}

bool ParseULongLong(LPCWSTR text, ULONGLONG& value, int radix)
{
    return ParseUnsigned<ULONGLONG>(text, value, radix,
                                    [](LPCWSTR t, wchar_t** e, int r) { return ::_wcstoui64(t, e, r); });
}

} // namespace

// ---------------------------------------------------------------------------
// CqzUtil

bool CqzUtil::GetModulePath(HMODULE module, std::wstring& path)
{
    DWORD size = kModulePathStep;
    DWORD length = 0;
    DWORD lastError = 0;
    for (;;)
    {
        path.assign(size, L'\0');
        // Before Vista a truncated path is not reported through the last error:
        // clear it so that a stale value cannot end the growth early.
        ::SetLastError(0);
        length = ::GetModuleFileNameW(module, &path[0], size);
        lastError = ::GetLastError();
        path.resize(std::wcslen(path.c_str()));
        if (length != size || (lastError != 0 && lastError != ERROR_INSUFFICIENT_BUFFER))
            break;
        path.clear();
        size += kModulePathStep;
    }
    if (length == 0)
    {
        QZ_STACK_NAME("GetModulePath", kUtilClass);
        QZTRACE(QZT_ERROR, kUtilClass,
                "ERROR: GetModuleFileName(" << static_cast<const void*>(module) << ", charCount=" << size
                                            << ") failed. LastError=" << lastError);
        path.clear();
        return false;
    }
    return true;
}

bool CqzUtil::GetModulePathByAddr(const void* address, std::wstring& path)
{
    CqzScopedLibrary module;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, static_cast<LPCWSTR>(address), module.Receive()))
    {
        const DWORD lastError = ::GetLastError();
        QZ_STACK_NAME("GetModulePathByAddr", kUtilClass);
        QZTRACE(QZT_ERROR, kUtilClass,
                "ERROR: GetModuleHandleEx(" << reinterpret_cast<ULONG_PTR>(address) << ") failed."
                                            << " LastError=" << lastError);
        return false;
    }
    return GetModulePath(module.Get(), path);
}

bool CqzUtil::_RemoveFileSpec(std::wstring& path, const char* scope)
{
    if (path.empty() || !::PathRemoveFileSpecW(&path[0]))
    {
        QZ_STACK_NAME(scope, kUtilClass);
        QZTRACE(QZT_ERROR, kUtilClass, "ERROR: PathRemoveFileSpec(" << path.c_str() << ") returned 0.");
        path.clear();
        return false;
    }
    path.resize(std::wcslen(path.c_str()));
    return true;
}

bool CqzUtil::GetModuleDir(std::wstring& dir)
{
    if (!GetModulePath(nullptr, dir))
        return false;
    return _RemoveFileSpec(dir, "GetModuleDir");
}

bool CqzUtil::GetModuleDirByAddr(const void* address, std::wstring& dir)
{
    if (!GetModulePathByAddr(address, dir))
        return false;
    return _RemoveFileSpec(dir, "GetModuleDirByAddr");
}

// Reads the agent service's "ImagePath" as stored: REG_SZ or REG_EXPAND_SZ,
// at most 1040 bytes, an even byte count ending in a terminator; a value
// without data reads as empty.
bool CqzUtil::_ReadAgentImagePath(std::wstring& imagePath)
{
    CqzScopedRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAgentServiceKey, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS)
        return false;
    // One spare character so that the text is terminated whatever was stored.
    wchar_t buffer[kImagePathBytes / sizeof(wchar_t) + 1] = {};
    DWORD type = REG_NONE;
    DWORD bytes = kImagePathBytes;
    if (::RegQueryValueExW(key.Get(), kImagePathValue, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &bytes) !=
        ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return false;
    if (bytes != 0)
    {
        if (bytes % sizeof(wchar_t) != 0 || buffer[bytes / sizeof(wchar_t) - 1] != L'\0')
            return false;
    }
    imagePath = buffer;
    return true;
}

bool CqzUtil::IsValidProcessPath()
{
    QZ_STACK_NAME("IsValidProcessPath", kUtilClass);
    std::wstring exeDir;
    if (!GetModuleDir(exeDir))
    {
        QZTRACE(QZT_INFO, kUtilClass, "ERROR: GetProcessPath failed.");
        return false;
    }

    std::wstring agentDir;
    if (!_ReadAgentImagePath(agentDir))
    {
        QZTRACE(QZT_ERROR, kUtilClass, "ERROR: Failed to read value ProcDir:" << exeDir);
        return false;
    }

    // The value is expected to start with a quotation mark: skip the first
    // character whatever it is and cut at the last backslash. Without a
    // backslash past the first character the value is taken whole.
    const size_t lastBackslash = agentDir.rfind(L'\\');
    if (lastBackslash != std::wstring::npos && lastBackslash > 0)
        agentDir = agentDir.substr(1, lastBackslash - 1);

    const std::wstring leading = exeDir.substr(0, agentDir.size());
    if (::_wcsicmp(leading.c_str(), agentDir.c_str()) == 0)
        return true;

    QZTRACE(QZT_ERROR, kUtilClass, "Invalid path: " << leading);
    return false;
}

unsigned int CqzUtil::GetUserSidCrc()
{
    std::wstring sidText = kDefaultUserSid;
    CqzScopedHandle token;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | READ_CONTROL, token.Receive()))
    {
        CqzScopedHeap<BYTE> block;
        CqzTokenInfoResult read;
        CqzTokenInfoOptions options;
        options.minimumSize = sizeof(TOKEN_USER);
        if (CqzReadTokenInformation(token.Get(), TokenUser, block, read, options))
        {
            const TOKEN_USER* user = reinterpret_cast<const TOKEN_USER*>(block.Get());
            CqzScopedLocal<wchar_t> text;
            if (::ConvertSidToStringSidW(user->User.Sid, text.Receive()) && text.Get())
                sidText = text.Get();
        }
    }
    return CalcCrc32(sidText.c_str());
}

unsigned int CqzUtil::CalcCrc32(const wchar_t* text)
{
    unsigned int crc = 0xFFFFFFFFu;
    if (text)
    {
        for (const wchar_t* p = text; *p; ++p)
            crc = Crc32Table((crc ^ static_cast<unsigned int>(*p)) & 0xFF) ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

bool CqzUtil::WideToUtf8(const wchar_t* text, std::string& utf8)
{
    if (!text)
        return false;
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size == 0)
        return false;
    std::string out(static_cast<size_t>(size), '\0');
    if (::WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr) == 0)
        return false;
    // The size counted the terminator; the string keeps its own.
    out.resize(static_cast<size_t>(size) - 1);
    utf8.swap(out);
    return true;
}

bool CqzUtil::GetErrorText(DWORD error, std::wstring& text)
{
    CqzScopedLocal<wchar_t> message;
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                         nullptr, error, 0, reinterpret_cast<LPWSTR>(message.Receive()), 0, nullptr);
    if (length == 0 || !message.Get())
    {
        wchar_t number[16];
        std::swprintf(number, sizeof(number) / sizeof(number[0]), L"%d", static_cast<int>(error));
        text = number;
        return false;
    }
    std::wstring whole(message.Get(), length);
    const size_t first = whole.find_first_not_of(L" \t\r\n\v\f");
    if (first == std::wstring::npos)
        text.clear();
    else
        text = whole.substr(first, whole.find_last_not_of(L" \t\r\n\v\f") - first + 1);
    return true;
}

namespace
{

// Fills a cached path once, under its own lock; a path that could not be had
// stays empty and is tried again on the next call.
template <class Compute>
const std::wstring& FillOnce(CachedPath& cache, Compute compute)
{
    CqzCriticalSectionLock lock(cache.lock);
    if (cache.value.empty())
        compute(cache.value);
    return cache.value;
}

} // namespace

const std::wstring& CqzUtil::GetCachedModuleDir()
{
    return FillOnce(ModuleDirCache(),
                    [](std::wstring& value)
                    {
                        std::wstring dir;
                        if (GetModuleDir(dir))
                            value.swap(dir);
                    });
}

const std::wstring& CqzUtil::GetCachedConfigDir()
{
    // Without a module directory there is no configuration directory: stay
    // empty (not "\config").
    return FillOnce(ConfigDirCache(),
                    [](std::wstring& value)
                    {
                        const std::wstring& moduleDir = GetCachedModuleDir();
                        if (!moduleDir.empty())
                            value = moduleDir + L"\\config";
                    });
}

const std::wstring& CqzUtil::GetCachedMarkerDir()
{
    // Without a module directory there is no drive letter to put in the
    // template: stay empty.
    return FillOnce(MarkerDirCache(),
                    [](std::wstring& value)
                    {
                        const std::wstring& moduleDir = GetCachedModuleDir();
                        if (moduleDir.empty())
                            return;
                        value = kMarkerDirTemplate;
                        value[0] = moduleDir[0];
                    });
}

const wchar_t* CqzUtil::GetAgentParametersKeyPath()
{
    return kAgentParametersKey;
}

// ---------------------------------------------------------------------------
// CqzCmdLine

CqzCmdLine::CqzCmdLine(const wchar_t* cmdLine) : m_cmdLine(cmdLine ? cmdLine : L""), m_argv(nullptr), m_argc(0)
{
    if (m_cmdLine.empty())
        return;
    m_argv = ::CommandLineToArgvW(m_cmdLine.c_str(), &m_argc);
    if (!m_argv)
    {
        const DWORD lastError = ::GetLastError();
        QZ_STACK_NAME("CqzCmdLine", kCmdLineClass);
        QZTRACE(QZT_ERROR, kCmdLineClass,
                "ERROR: CommandLineToArgvW(" << m_cmdLine << ") failed."
                                             << " LastError=" << lastError);
        m_argc = 0;
        m_cmdLine.clear();
    }
    else if (m_argc <= 0)
    {
        // Keep the invariant: no block without arguments.
        ::LocalFree(m_argv);
        m_argv = nullptr;
        m_argc = 0;
    }
}

CqzCmdLine::~CqzCmdLine()
{
    if (m_argv)
        ::LocalFree(m_argv);
}

LPCWSTR CqzCmdLine::_ArgAt(int index, const char* scope) const
{
    if (index >= 0 && index < m_argc && m_argv)
        return m_argv[index];
    QZ_STACK_NAME(scope, kCmdLineClass);
    QZTRACE(QZT_ERROR, kCmdLineClass,
            "ERROR: Arg index " << static_cast<long>(index)
                                << " is out of range. Total arguments: " << static_cast<long>(m_argc));
    return nullptr;
}

LPCWSTR CqzCmdLine::GetArg(int index) const
{
    return _ArgAt(index, "GetArg");
}

bool CqzCmdLine::GetArgAsULong(int index, ULONG& value, int radix) const
{
    return ParseULong(GetArg(index), value, radix);
}

bool CqzCmdLine::GetArgAsULongLong(int index, ULONGLONG& value, int radix) const
{
    return ParseULongLong(GetArg(index), value, radix);
}

bool CqzCmdLine::GetArgAsGuid(int index, GUID& guid) const
{
    LPCWSTR arg = GetArg(index);
    if (!arg || !*arg)
        return false;
    return ::IIDFromString(arg, &guid) == S_OK;
}

bool CqzCmdLine::IsSameProgName(LPCWSTR a, LPCWSTR b)
{
    if (!a || !*a || !b || !*b)
        return false;
    LPCWSTR nameA = ::PathFindFileNameW(a);
    LPCWSTR nameB = ::PathFindFileNameW(b);
    const size_t lengthA = std::wcslen(nameA);
    const size_t lengthB = std::wcslen(nameB);
    if (lengthA == lengthB)
        return ::_wcsicmp(nameA, nameB) == 0;
    // b may carry an extension of three letters that a lacks.
    return lengthB == lengthA + 4 && nameB[lengthA] == L'.' && ::_wcsnicmp(nameA, nameB, lengthA) == 0;
}

bool CqzCmdLine::ArgIsProgName(LPCWSTR progName) const
{
    if (m_argc < 1)
        return false;
    LPCWSTR arg0 = _ArgAt(0, "ArgIsProgName");
    if (!arg0)
        return false;
    return IsSameProgName(arg0, progName);
}

void CqzCmdLine::FindArguments(LPCWSTR progName, std::wstring& arguments) const
{
    arguments.clear();
    if (m_argc == 0)
        return;
    if (!ArgIsProgName(progName))
    {
        arguments = m_cmdLine;
        return;
    }
    if (m_argc == 1)
        return;
    const size_t nameLength = std::wcslen(m_argv[0]);
    if (m_cmdLine.size() <= nameLength + 1)
    {
        QZ_STACK_NAME("FindArguments", kCmdLineClass);
        QZTRACE(QZT_ERROR, kCmdLineClass, "ERROR: Unexpected CommandLineToArgvW(" << m_cmdLine << ") result.");
        return;
    }
    // A quoted program path occupies its two quotation marks as well.
    size_t position = nameLength;
    if (m_cmdLine.size() > nameLength + 2 && m_cmdLine[0] == L'"')
        position = nameLength + 2;
    while (position < m_cmdLine.size() && IsWideSpace(m_cmdLine[position]))
        ++position;
    arguments = m_cmdLine.substr(position);
}

void CqzCmdLine::FindArguments(LPCWSTR cmdLine, LPCWSTR progName, std::wstring& arguments)
{
    const CqzCmdLine line(cmdLine);
    line.FindArguments(progName, arguments);
}

int CqzCmdLine::FindSwitch(LPCWSTR name, bool ignoreCase, bool withPrefix) const
{
    if (!name || !*name || m_argc == 0)
        return -1;
    const std::wstring slashForm = std::wstring(L"/") + name;
    const std::wstring dashForm = std::wstring(L"-") + name;
    for (int i = 0; i < m_argc; ++i)
    {
        LPCWSTR arg = m_argv[i];
        if (withPrefix)
        {
            if (ArgsEqual(arg, slashForm.c_str(), ignoreCase) || ArgsEqual(arg, dashForm.c_str(), ignoreCase))
                return i;
        }
        else if (ArgsEqual(arg, name, ignoreCase))
        {
            return i;
        }
    }
    return -1;
}

bool CqzCmdLine::GetSwitchValue(LPCWSTR name, bool ignoreCase, bool withPrefix, std::wstring& value) const
{
    const int index = FindSwitch(name, ignoreCase, withPrefix);
    if (index < 0 || index >= m_argc - 1)
        return false;
    value = m_argv[index + 1];
    return true;
}

bool CqzCmdLine::GetSwitchValueAsULong(LPCWSTR name, bool ignoreCase, bool withPrefix, ULONG& value, int radix) const
{
    std::wstring text;
    if (!GetSwitchValue(name, ignoreCase, withPrefix, text) || text.empty())
        return false;
    return ParseULong(text.c_str(), value, radix);
}

bool CqzCmdLine::GetSwitchValueAsULongLong(LPCWSTR name, bool ignoreCase, bool withPrefix, ULONGLONG& value,
                                           int radix) const
{
    std::wstring text;
    if (!GetSwitchValue(name, ignoreCase, withPrefix, text) || text.empty())
        return false;
    return ParseULongLong(text.c_str(), value, radix);
}

bool CqzCmdLine::IsEqual(const CqzCmdLine& other, bool ignoreCase) const
{
    if (m_argc != other.m_argc)
        return false;
    for (int i = 0; i < m_argc; ++i)
    {
        if (!ArgsEqual(m_argv[i], other.m_argv[i], ignoreCase))
            return false;
    }
    return true;
}
