#include "common/util/os.h"

#include "common/util/exports.h"
#include "common/util/scoped.h"

#include "common/util/util.h"
#include "trace/trace.h"

#include <atomic>
#include <initializer_list>
#include <cwchar>

namespace
{

const char* const kClassName = "CqzOperatingSystem";
const wchar_t* const kCurrentVersionKey = L"Software\\Microsoft\\Windows NT\\CurrentVersion";
const wchar_t* const kPolicySystemKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";

// The record as RtlGetVersion fills it; the size field must say so.
static_assert(sizeof(RTL_OSVERSIONINFOEXW) == 284, "RTL_OSVERSIONINFOEXW must be 284 bytes");

// Indexed by the product index. Plain pointers: usable from other static
// initialisers, whatever the order of construction.
const wchar_t* const kProductNames[] = {
    L"Unknown",                // 0
    L"Windows 2000",           // 1
    L"Windows XP",             // 2
    L"Windows Server 2003",    // 3
    L"Windows Server 2003 R2", // 4
    L"Windows Vista",          // 5
    L"Windows Server 2008",    // 6
    L"Windows 7",              // 7
    L"Windows Server 2008 R2", // 8
    L"Windows 8",              // 9
    L"Windows Server 2012",    // 10
    L"Windows 8.1",            // 11
    L"Windows Server 2012 R2", // 12
    L"Windows 10",             // 13
    L"Windows Server 2016",    // 14
    L"Windows 11",             // 15
    L"Windows Server 2019",    // 16
    L"Windows Server 2022",    // 17
};

// A critical section that lives for the rest of the process: it is never
// deleted, so a thread still inside at exit cannot meet a dead lock object.
class ProcessCriticalSection
{
public:
    ProcessCriticalSection() { ::InitializeCriticalSection(&m_cs); }
    ProcessCriticalSection(const ProcessCriticalSection&) = delete;
    ProcessCriticalSection& operator=(const ProcessCriticalSection&) = delete;
    CRITICAL_SECTION* Get() { return &m_cs; }

private:
    CRITICAL_SECTION m_cs;
};

struct OsState
{
    RTL_OSVERSIONINFOEXW record = {};
    DWORD ubr = 0;
    DWORD releaseId = 0;
    int productIndex = 0;
    std::wstring name;
    std::wstring csdVersion;
    std::wstring suiteDescription;
};

// Written once, under the lock, before g_identified is published; read
// without locking afterwards.
OsState& IdentifiedState()
{
    static OsState state;
    return state;
}

// What every accessor sees while the record cannot be read. Never written,
// so a reader cannot race with a later successful identification.
const OsState& UnidentifiedState()
{
    static const OsState state;
    return state;
}

std::atomic<bool> g_identified{false};

// Created on first use; the function-local static makes that creation safe
// when several threads ask first at once.
ProcessCriticalSection& IdentificationLock()
{
    static ProcessCriticalSection lock;
    return lock;
}

const OsState& State()
{
    return CqzOperatingSystem::Init() ? IdentifiedState() : UnidentifiedState();
}

// Unsigned decimal number at the start of text: at least one digit, no
// sign, no white space, no overflow.
bool ParseLeadingDecimal(const wchar_t* text, DWORD& value)
{
    ULONGLONG number = 0;
    const wchar_t* p = text;
    for (; *p >= L'0' && *p <= L'9'; ++p)
    {
        number = number * 10 + static_cast<ULONGLONG>(*p - L'0');
        if (number > 0xFFFFFFFFull)
            return false;
    }
    if (p == text)
        return false;
    value = static_cast<DWORD>(number);
    return true;
}

// Reads a REG_SZ / REG_EXPAND_SZ value of at most maxChars characters, the
// terminator included. The data must be empty or end with its terminator.
bool ReadRegString(HKEY key, const wchar_t* name, DWORD maxChars, std::wstring& text)
{
    std::wstring buffer(maxChars, L'\0');
    DWORD type = REG_NONE;
    DWORD size = maxChars * sizeof(wchar_t);
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&buffer[0]), &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return false;
    if (size % sizeof(wchar_t) != 0)
        return false;
    const DWORD chars = size / sizeof(wchar_t);
    if (chars > 0 && buffer[chars - 1] != L'\0')
        return false;
    text.assign(buffer.c_str()); // up to the first terminator
    return true;
}

// Inside the installer a compatibility layer can make a later system report
// 6.0; the registry's version string keeps the real minor version.
void ApplyInstallerCorrection(RTL_OSVERSIONINFOEXW& record)
{
    CqzScopedRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                        KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.Receive()) != ERROR_SUCCESS)
        return;
    std::wstring version;
    if (!ReadRegString(key.Get(), L"CurrentVersion", 256, version))
        return;
    if (version.size() < 3 || version[0] != L'6' || version[1] != L'.' || version[2] < L'1' || version[2] > L'9')
        return;
    DWORD minor = 0;
    if (ParseLeadingDecimal(version.c_str() + 2, minor))
        record.dwMinorVersion = minor;
}

DWORD QueryProductType(DWORD major, DWORD minor)
{
    typedef BOOL(WINAPI * GetProductInfoFn)(DWORD, DWORD, DWORD, DWORD, PDWORD);
    static const GetProductInfoFn getProductInfo = []() -> GetProductInfoFn
    {
        HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
        return CqzResolveExport<GetProductInfoFn>(kernel32, "GetProductInfo");
    }();
    DWORD productType = 0;
    if (!getProductInfo || !getProductInfo(major, minor, 0, 0, &productType))
        return 0;
    return productType;
}

typedef UINT(WINAPI* DirectoryQueryFn)(LPWSTR, UINT);

bool FetchDirectory(DirectoryQueryFn query, const char* queryName, std::wstring& dir)
{
    UINT size = MAX_PATH + 1;
    for (int attempt = 0; attempt < 4; ++attempt)
    {
        std::wstring buffer(size, L'\0');
        const UINT n = query(&buffer[0], size);
        if (n == 0)
        {
            const DWORD error = ::GetLastError();
            QZ_STACK_NAME("FetchDirectory", kClassName);
            QZTRACE(QZT_ERROR, kClassName,
                    "ERROR: " << queryName << "() failed."
                              << " LastError=" << error);
            return false;
        }
        if (n < size)
        {
            buffer.resize(n);
            dir.swap(buffer);
            return true;
        }
        size = n; // the size needed, terminator included
    }
    return false;
}

struct CachedDirectory
{
    ProcessCriticalSection lock;
    std::wstring text;
    std::atomic<bool> ready{false};
};

const std::wstring& GetCachedDirectory(CachedDirectory& cache, DirectoryQueryFn query, const char* queryName)
{
    static const std::wstring empty;
    if (cache.ready.load(std::memory_order_acquire))
        return cache.text;
    CqzCriticalSectionLock lock(*cache.lock.Get());
    if (!cache.ready.load(std::memory_order_relaxed))
    {
        std::wstring dir;
        if (!FetchDirectory(query, queryName, dir) || dir.empty())
            return empty; // not the cache's string: a later fill cannot change what this caller holds
        cache.text.swap(dir);
        cache.ready.store(true, std::memory_order_release);
    }
    return cache.text;
}

} // namespace

bool CqzOperatingSystem::Init()
{
    if (g_identified.load(std::memory_order_acquire))
        return true;

    CqzCriticalSectionLock lock(*IdentificationLock().Get());
    if (g_identified.load(std::memory_order_relaxed))
        return true;

    RTL_OSVERSIONINFOEXW record;
    if (!_RtlGetVersion(record))
        return false;

    OsState& state = IdentifiedState();
    state.ubr = 0;
    state.releaseId = 0;
    if (record.dwMajorVersion >= 10)
    {
        state.ubr = ReadUBR();
        state.releaseId = ReadReleaseId();
    }

    if (record.dwMajorVersion == 6 && record.dwMinorVersion == 0 && IsMsiExecProcess())
        ApplyInstallerCorrection(record);

    // SM_SERVERR2 only tells 2003 from 2003 R2 and names the storage suite.
    const bool serverR2 = ((record.dwMajorVersion == 5 && record.dwMinorVersion == 2) ||
                           (record.wSuiteMask & VER_SUITE_STORAGE_SERVER) != 0) &&
                          ::GetSystemMetrics(SM_SERVERR2) != 0;

    state.productIndex = MapVersionToProductIndex(record, serverR2);
    if (state.productIndex == 0)
    {
        state.name = L"Unknown System " + std::to_wstring(static_cast<int>(record.dwMajorVersion)) + L"." +
                     std::to_wstring(static_cast<int>(record.dwMinorVersion));
        QZ_STACK_NAME("Init", kClassName);
        QZTRACE(QZT_ERROR, kClassName,
                "ERROR: Could not identify operating system " << record.dwMajorVersion << "." << record.dwMinorVersion);
    }
    else
    {
        state.name = GetProductTableName(state.productIndex);
    }

    state.csdVersion.assign(record.szCSDVersion,
                            ::wcsnlen(record.szCSDVersion, sizeof(record.szCSDVersion) / sizeof(wchar_t)));
    const DWORD productType = (record.dwMajorVersion == 6 && (record.wSuiteMask & VER_SUITE_EMBEDDEDNT) != 0)
                                  ? QueryProductType(record.dwMajorVersion, record.dwMinorVersion)
                                  : 0;
    state.suiteDescription =
        BuildSuiteDescription(record.wSuiteMask, record.dwMajorVersion, record.dwMinorVersion, serverR2, productType);
    state.record = record;

    g_identified.store(true, std::memory_order_release);
    return true;
}

bool CqzOperatingSystem::_RtlGetVersion(RTL_OSVERSIONINFOEXW& record)
{
    typedef LONG(WINAPI * RtlGetVersionFn)(RTL_OSVERSIONINFOEXW*);
    static std::atomic<RtlGetVersionFn> rtlGetVersion{nullptr};

    ::ZeroMemory(&record, sizeof(record));
    record.dwOSVersionInfoSize = sizeof(record);

    RtlGetVersionFn function = rtlGetVersion.load(std::memory_order_acquire);
    if (!function)
    {
        HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        if (!ntdll)
        {
            const DWORD error = ::GetLastError();
            QZ_STACK_NAME("_RtlGetVersion", kClassName);
            QZTRACE(QZT_ERROR, kClassName,
                    "ERROR: GetModuleHandle(ntdll.dll) failed."
                        << " LastError=" << error);
            return false;
        }
        function = CqzResolveExport<RtlGetVersionFn>(ntdll, "RtlGetVersion");
        if (!function)
        {
            const DWORD error = ::GetLastError();
            QZ_STACK_NAME("_RtlGetVersion", kClassName);
            QZTRACE(QZT_ERROR, kClassName,
                    "ERROR: GetProcAddress(RtlGetVersion) failed."
                        << " LastError=" << error);
            return false;
        }
        rtlGetVersion.store(function, std::memory_order_release);
    }

    const LONG status = function(&record);
    if (status != 0)
    {
        QZ_STACK_NAME("_RtlGetVersion", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: RtlGetVersion() failed. status=" << status);
        return false;
    }
    return true;
}

const RTL_OSVERSIONINFOEXW& CqzOperatingSystem::GetVersionInfo()
{
    return State().record;
}

DWORD CqzOperatingSystem::GetMajorVersion()
{
    return State().record.dwMajorVersion;
}

DWORD CqzOperatingSystem::GetMinorVersion()
{
    return State().record.dwMinorVersion;
}

DWORD CqzOperatingSystem::GetBuildNumber()
{
    return State().record.dwBuildNumber;
}

WORD CqzOperatingSystem::GetServicePackMajor()
{
    return State().record.wServicePackMajor;
}

DWORD CqzOperatingSystem::GetUBR()
{
    return State().ubr;
}

DWORD CqzOperatingSystem::GetReleaseId()
{
    return State().releaseId;
}

DWORD CqzOperatingSystem::ReadUBR()
{
    CqzScopedRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCurrentVersionKey, 0, KEY_QUERY_VALUE, key.Receive()) != ERROR_SUCCESS)
        return 0;
    DWORD type = REG_NONE;
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (::RegQueryValueExW(key.Get(), L"UBR", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(value))
        return 0;
    return value;
}

DWORD CqzOperatingSystem::ReadReleaseId()
{
    CqzScopedRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCurrentVersionKey, 0, KEY_QUERY_VALUE, key.Receive()) != ERROR_SUCCESS)
        return 0;
    std::wstring text;
    if (!ReadRegString(key.Get(), L"ReleaseId", 256, text))
        return 0;
    DWORD releaseId = 0;
    return ParseLeadingDecimal(text.c_str(), releaseId) ? releaseId : 0;
}

int CqzOperatingSystem::GetProductIndex()
{
    return State().productIndex;
}

const std::wstring& CqzOperatingSystem::GetName()
{
    return State().name;
}

const std::wstring& CqzOperatingSystem::GetCSDVersion()
{
    return State().csdVersion;
}

const std::wstring& CqzOperatingSystem::GetSuiteDescription()
{
    return State().suiteDescription;
}

bool CqzOperatingSystem::IsVistaOrLater()
{
    return GetMajorVersion() >= 6;
}

bool CqzOperatingSystem::IsWin8OrLater()
{
    const RTL_OSVERSIONINFOEXW& record = GetVersionInfo();
    return record.dwMajorVersion > 6 || (record.dwMajorVersion == 6 && record.dwMinorVersion >= 2);
}

bool CqzOperatingSystem::IsWin81OrLater()
{
    const RTL_OSVERSIONINFOEXW& record = GetVersionInfo();
    return record.dwMajorVersion > 6 || (record.dwMajorVersion == 6 && record.dwMinorVersion >= 3);
}

bool CqzOperatingSystem::IsWin10OrLater()
{
    return GetMajorVersion() >= 10;
}

bool CqzOperatingSystem::IsServer()
{
    return GetVersionInfo().wProductType != VER_NT_WORKSTATION;
}

int CqzOperatingSystem::MapVersionToProductIndex(const RTL_OSVERSIONINFOEXW& record, bool serverR2)
{
    const DWORD major = record.dwMajorVersion;
    const DWORD minor = record.dwMinorVersion;
    const bool workstation = record.wProductType == VER_NT_WORKSTATION;
    if (major == 5)
    {
        switch (minor)
        {
        case 0:
            return 1;
        case 1:
            return 2;
        case 2:
            return serverR2 ? 4 : 3;
        default:
            return 0;
        }
    }
    if (major == 6)
    {
        switch (minor)
        {
        case 0:
            return workstation ? 5 : 6;
        case 1:
            return workstation ? 7 : 8;
        case 2:
            return workstation ? 9 : 10;
        case 3:
            return workstation ? 11 : 12;
        default:
            return 0;
        }
    }
    if (major == 10 && minor == 0)
    {
        const DWORD build = record.dwBuildNumber;
        if (build >= 22000)
            return 15;
        if (workstation)
            return 13;
        if (build < 17763)
            return 14;
        if (build < 20348)
            return 16;
        return 17;
    }
    if (major == 11 && minor == 0)
        return 15;
    return 0;
}

const wchar_t* CqzOperatingSystem::GetProductTableName(int index)
{
    if (index < 0 || index >= static_cast<int>(sizeof(kProductNames) / sizeof(kProductNames[0])))
        return nullptr;
    return kProductNames[index];
}

const wchar_t* CqzOperatingSystem::GetEditionText(DWORD productType)
{
    switch (productType)
    {
    case 0x6:
    case 0x10:
        return L"Windows Vista Business is installed.\r\n";
    case 0x4:
    case 0x1B:
    case 0x46:
        return L"Windows Vista Enterprise is installed.\r\n";
    case 0x2:
    case 0x5:
    case 0x43:
        return L"Windows Vista Home Basic is installed.\r\n";
    case 0x3:
    case 0x1A:
    case 0x44:
        return L"Windows Vista Home Premium is installed.\r\n";
    case 0x1:
    case 0x1C:
    case 0x47:
        return L"Windows Vista Ultimate is installed.\r\n";
    case 0xB:
    case 0x2F:
    case 0x42:
        return L"Windows Vista Starter is installed.\r\n";
    default:
        return L"";
    }
}

std::wstring CqzOperatingSystem::BuildSuiteDescription(WORD suiteMask, DWORD major, DWORD minor, bool serverR2,
                                                       DWORD productType)
{
    std::wstring text;
    DWORD remaining = suiteMask;
    // Appends the line of one suite bit (when set) and marks the bit as known.
    auto take = [&](DWORD bit, const wchar_t* line)
    {
        if ((remaining & bit) == 0)
            return;
        text += line;
        remaining &= ~bit;
    };
    const bool is50 = major == 5 && minor == 0;
    const bool is52 = major == 5 && minor == 2;

    take(0x4, L"Microsoft BackOffice components are installed.\r\n");
    take(0x400, L"Windows Server 2003, Web Edition is installed.\r\n");
    take(0x4000, L"Windows Server 2003, Compute Cluster Edition is installed.\r\n");
    take(0x80, is50         ? L"Windows 2000 Datacenter Server is installed.\r\n"
               : is52       ? L"Windows Server 2003, Datacenter Edition is installed.\r\n"
               : major == 6 ? L"Windows Server 2008 Datacenter is installed.\r\n"
                            : L"Windows Server Datacenter is installed.\r\n");
    take(0x2, is50         ? L"Windows 2000 Advanced Server is installed.\r\n"
              : is52       ? L"Windows Server 2003, Enterprise Edition is installed.\r\n"
              : major == 6 ? L"Windows Server 2008 Enterprise is installed.\r\n"
                           : L"Windows Server Enterprise Edition is installed.\r\n");
    take(0x40, major == 5   ? L"Windows XP Home Edition is installed.\r\n"
               : major == 6 ? GetEditionText(productType)
                            : L"");
    take(0x200, L"Personal.\r\n");
    take(0x100, L"Remote Desktop is supported, but only one interactive session is supported.\r\n");
    take(0x1, L"Microsoft Small Business Server was once installed on the system, but may have been upgraded to "
              L"another version of Windows.\r\n");
    take(0x20, L"Microsoft Small Business Server is installed with the restrictive client license in force.\r\n");
    take(0x2000, serverR2 ? L"Windows Storage Server 2003 R2 is installed.\r\n"
                          : L"Windows Storage Server 2003 is installed.\r\n");
    take(0x10, L"Terminal Services is installed.\r\n");
    take(0x8000, L"Windows Home Server is installed.\r\n");

    if (remaining != 0)
    {
        wchar_t line[80] = {};
        ::swprintf(line, sizeof(line) / sizeof(line[0]), L"Unknown Suite(s) %d.\r\n", static_cast<int>(remaining));
        text += line;
        QZ_STACK_NAME("BuildSuiteDescription", kClassName);
        QZTRACE(QZT_ERROR, kClassName, "ERROR: Unknown Suite(s)  " << remaining);
    }

    const size_t end = text.find_last_not_of(L" \t\r\n\v\f");
    text.erase(end == std::wstring::npos ? 0 : end + 1);
    return text;
}

bool CqzOperatingSystem::IsMsiExecProcess()
{
    static const bool isMsiExec = []()
    {
        std::wstring path;
        if (!CqzUtil::GetModulePath(nullptr, path))
            return false;
        const size_t slash = path.find_last_of(L"\\/");
        const wchar_t* fileName = path.c_str() + (slash == std::wstring::npos ? 0 : slash + 1);
        return ::_wcsicmp(fileName, L"MsiExec.exe") == 0;
    }();
    return isMsiExec;
}

bool CqzOperatingSystem::GetSystemPolicyParameter(const wchar_t* name, DWORD& value)
{
    QZ_STACK_NAME("GetSystemPolicyParameter", kClassName);
    const wchar_t* valueName = name ? name : L""; // the key's default value, as the registry reads null
    CqzScopedRegKey key;
    LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPolicySystemKey, 0, KEY_QUERY_VALUE, key.Receive());
    if (status == ERROR_FILE_NOT_FOUND)
        return false;
    if (status != ERROR_SUCCESS)
    {
        QZTRACE(QZT_ERROR, kClassName,
                "ERROR: RegOpenKeyEx(Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System) failed. Err="
                    << status);
        return false;
    }

    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD size = sizeof(data);
    status = ::RegQueryValueExW(key.Get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
    if (status == ERROR_FILE_NOT_FOUND)
        return false;
    // A value too long for a DWORD still reports its type: name a wrong type
    // as such rather than as a read failure.
    if ((status == ERROR_SUCCESS || status == ERROR_MORE_DATA) && type != REG_DWORD)
    {
        QZTRACE(QZT_ERROR, kClassName, "ERROR: " << valueName << " value has unexpected type: " << type);
        return false;
    }
    if (status == ERROR_SUCCESS && size != sizeof(data))
        status = ERROR_INVALID_DATA; // a REG_DWORD of the wrong length holds no DWORD
    if (status != ERROR_SUCCESS)
    {
        QZTRACE(QZT_ERROR, kClassName, "ERROR: RegQueryValueEx(" << valueName << ") failed. Err=" << status);
        return false;
    }
    value = data;
    return true;
}

bool CqzOperatingSystem::IsLUAEnabled()
{
    if (GetMajorVersion() < 6)
        return false;
    DWORD value = 0;
    if (!GetSystemPolicyParameter(L"EnableLUA", value))
        return true;
    return value != 0;
}

bool CqzOperatingSystem::IsFilterAdministratorToken()
{
    if (GetMajorVersion() < 6)
        return false;
    DWORD value = 0;
    if (!GetSystemPolicyParameter(L"FilterAdministratorToken", value))
        return false;
    return value != 0;
}

bool CqzOperatingSystem::GetComputerNameW(std::wstring& name)
{
    wchar_t buffer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!::GetComputerNameW(buffer, &size))
    {
        const DWORD error = ::GetLastError();
        QZ_STACK_NAME("GetComputerNameW", kClassName);
        QZTRACE(QZT_ERROR, kClassName,
                "ERROR: GetComputerName() failed."
                    << " LastError=" << error);
        return false;
    }
    name.assign(buffer, size);
    return true;
}

const std::wstring& CqzOperatingSystem::GetWindowsDirectoryCached()
{
    static CachedDirectory cache;
    return GetCachedDirectory(cache, ::GetSystemWindowsDirectoryW, "GetSystemWindowsDirectory");
}

const std::wstring& CqzOperatingSystem::GetSystemDirectoryCached()
{
    static CachedDirectory cache;
    return GetCachedDirectory(cache, ::GetSystemDirectoryW, "GetSystemDirectory");
}

ULONGLONG CqzOperatingSystem::GetTickCount64Units()
{
    typedef ULONGLONG(WINAPI * GetTickCount64Fn)();
    // Windows XP has no GetTickCount64; its 32-bit count wraps after 49.7 days.
    static const GetTickCount64Fn getTickCount64 = []() -> GetTickCount64Fn
    {
        HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
        return CqzResolveExport<GetTickCount64Fn>(kernel32, "GetTickCount64");
    }();
    const ULONGLONG milliseconds = getTickCount64 ? getTickCount64() : ::GetTickCount();
    return milliseconds * 10000;
}
