/* The launcher benchmark's floor: the system work of one "/explore" run and
 * nothing else. Plain C on the system DLLs alone (no C++ runtime, no tracing
 * library), so that what the launcher spends beyond this program is the
 * launcher's own overhead.
 *
 *   bench_floor.exe /explore <folder> <start-up trace bytes> <command trace bytes>
 *
 * In the launcher's order: the user checksum's token read, the trace
 * configuration probe, the installation check's registry read, OLE, the
 * command-line split, the policy key, the administrator decision's token
 * queries (with the version record they depend on), qz_shex.dll loaded from
 * this program's directory with ShowEBH called and the library freed, OLE
 * again, the exit notification exactly as the channel sends it, and the given
 * byte counts appended to two trace files with one write each. Exits with
 * ShowEBH's result, or with a small number naming the step that failed.
 */
#include <windows.h>

#include <ole2.h>
#include <sddl.h>
#include <shellapi.h>

#include <stdio.h>
#include <wchar.h>

#define FLOOR_SERVICE_KEY L"SYSTEM\\CurrentControlSet\\Services\\qz_agent"
#define FLOOR_POLICY_KEY FLOOR_SERVICE_KEY L"\\Parameters\\Marrowgate"
#define FLOOR_VERSION_KEY L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"
#define FLOOR_SECTION_SIZE 8192
#define FLOOR_MAX_PATH 1024

typedef HRESULT(WINAPI* ShowEbhFn)(LPCWSTR location);
typedef LONG(WINAPI* RtlGetVersionFn)(RTL_OSVERSIONINFOEXW* record);

/* The administrator decision's privilege table: name and first major version. */
static const struct
{
    const wchar_t* name;
    DWORD fromMajor;
} kAdminPrivileges[] = {
    {L"SeBackupPrivilege", 5},
    {L"SeChangeNotifyPrivilege", 5},
    {L"SeCreateGlobalPrivilege", 5},
    {L"SeCreatePagefilePrivilege", 5},
    {L"SeImpersonatePrivilege", 5},
    {L"SeIncreaseBasePriorityPrivilege", 5},
    {L"SeIncreaseQuotaPrivilege", 5},
    {L"SeLoadDriverPrivilege", 5},
    {L"SeManageVolumePrivilege", 5},
    {L"SeProfileSingleProcessPrivilege", 5},
    {L"SeRemoteShutdownPrivilege", 5},
    {L"SeRestorePrivilege", 5},
    {L"SeSecurityPrivilege", 5},
    {L"SeShutdownPrivilege", 5},
    {L"SeSystemEnvironmentPrivilege", 5},
    {L"SeSystemProfilePrivilege", 5},
    {L"SeSystemtimePrivilege", 5},
    {L"SeTakeOwnershipPrivilege", 5},
    {L"SeUndockPrivilege", 5},
    {L"SeCreateSymbolicLinkPrivilege", 6},
    {L"SeIncreaseWorkingSetPrivilege", 6},
    {L"SeTimeZonePrivilege", 6},
};

/* A token information class read the usual way: size first, then the data.
 * The block is the caller's to HeapFree; null on failure. */
static void* ReadTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass)
{
    DWORD size = 0;
    void* block;
    GetTokenInformation(token, infoClass, NULL, 0, &size);
    if (size == 0)
        return NULL;
    block = HeapAlloc(GetProcessHeap(), 0, size);
    if (block && !GetTokenInformation(token, infoClass, block, size, &size))
    {
        HeapFree(GetProcessHeap(), 0, block);
        block = NULL;
    }
    return block;
}

/* The user checksum's input: the process user's SID as text. */
static BOOL ReadUserSid(void)
{
    HANDLE token = NULL;
    TOKEN_USER* user;
    LPWSTR text = NULL;
    BOOL ok = FALSE;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | READ_CONTROL, &token))
        return FALSE;
    user = (TOKEN_USER*)ReadTokenInformation(token, TokenUser);
    if (user && ConvertSidToStringSidW(user->User.Sid, &text))
    {
        ok = TRUE;
        LocalFree(text);
    }
    if (user)
        HeapFree(GetProcessHeap(), 0, user);
    CloseHandle(token);
    return ok;
}

static BOOL AppendToFile(const wchar_t* path, DWORD bytes)
{
    static char text[65536];
    HANDLE file;
    DWORD written = 0;
    BOOL ok;
    if (bytes > sizeof(text))
        bytes = sizeof(text);
    if (text[0] == 0)
    {
        memset(text, 'x', sizeof(text));
        text[sizeof(text) - 1] = '\n';
    }
    file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    ok = bytes == 0 || (WriteFile(file, text + sizeof(text) - bytes, bytes, &written, NULL) && written == bytes);
    CloseHandle(file);
    return ok;
}

/* The installation check: the agent service's image path, read as stored. */
static BOOL ReadImagePath(void)
{
    HKEY key = NULL;
    wchar_t value[521];
    DWORD type = REG_NONE;
    DWORD size = sizeof(value) - sizeof(wchar_t);
    LSTATUS status;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, FLOOR_SERVICE_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return FALSE;
    status = RegQueryValueExW(key, L"ImagePath", NULL, &type, (BYTE*)value, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ);
}

/* The policy value, which the measured runs leave absent. */
static BOOL ReadPolicy(void)
{
    HKEY key = NULL;
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof(value);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, FLOOR_POLICY_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return FALSE;
    RegQueryValueExW(key, L"QzElevateAllowNonAdmin", NULL, &type, (BYTE*)&value, &size);
    RegCloseKey(key);
    return TRUE;
}

/* The version record: RtlGetVersion, and on Windows 10 the two registry values
 * that complete it. Answers the major version, 0 when unknown. */
static DWORD ReadMajorVersion(void)
{
    RTL_OSVERSIONINFOEXW record;
    RtlGetVersionFn rtlGetVersion =
        (RtlGetVersionFn)(void (*)(void))GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion");
    ZeroMemory(&record, sizeof(record));
    record.dwOSVersionInfoSize = sizeof(record);
    if (!rtlGetVersion || rtlGetVersion(&record) != 0)
        return 0;
    if (record.dwMajorVersion >= 10)
    {
        HKEY key = NULL;
        DWORD ubr = 0;
        wchar_t releaseId[64];
        DWORD size = sizeof(ubr);
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, FLOOR_VERSION_KEY, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS)
        {
            RegQueryValueExW(key, L"UBR", NULL, NULL, (BYTE*)&ubr, &size);
            RegCloseKey(key);
        }
        key = NULL;
        size = sizeof(releaseId);
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, FLOOR_VERSION_KEY, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS)
        {
            RegQueryValueExW(key, L"ReleaseId", NULL, NULL, (BYTE*)releaseId, &size);
            RegCloseKey(key);
        }
    }
    return record.dwMajorVersion;
}

static BOOL HoldsPrivilege(const TOKEN_PRIVILEGES* privileges, const LUID* luid)
{
    DWORD i;
    for (i = 0; i < privileges->PrivilegeCount; ++i)
    {
        const LUID_AND_ATTRIBUTES* entry = &privileges->Privileges[i];
        if (entry->Luid.LowPart == luid->LowPart && entry->Luid.HighPart == luid->HighPart)
            return (entry->Attributes & SE_PRIVILEGE_REMOVED) == 0;
    }
    return FALSE;
}

/* The administrator decision's queries: group, privileges, elevation, its
 * type and the integrity level. */
static BOOL IsElevatedAdmin(void)
{
    HANDLE token = NULL;
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(administrators);
    TOKEN_GROUPS* groups = NULL;
    TOKEN_PRIVILEGES* privileges = NULL;
    TOKEN_MANDATORY_LABEL* label = NULL;
    TOKEN_ELEVATION elevation;
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeLimited;
    DWORD size = 0;
    DWORD major;
    DWORD i;
    BOOL admin = FALSE;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &token))
        return FALSE;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, NULL, administrators, &sidSize))
        goto done;
    groups = (TOKEN_GROUPS*)ReadTokenInformation(token, TokenGroups);
    if (!groups)
        goto done;
    for (i = 0; i < groups->GroupCount && !admin; ++i)
        admin = EqualSid(groups->Groups[i].Sid, administrators) &&
                (groups->Groups[i].Attributes & (SE_GROUP_ENABLED | SE_GROUP_USE_FOR_DENY_ONLY)) == SE_GROUP_ENABLED;
    if (!admin)
        goto done;
    privileges = (TOKEN_PRIVILEGES*)ReadTokenInformation(token, TokenPrivileges);
    major = ReadMajorVersion();
    admin = privileges != NULL && major != 0;
    for (i = 0; admin && i < sizeof(kAdminPrivileges) / sizeof(kAdminPrivileges[0]); ++i)
    {
        LUID luid;
        if (kAdminPrivileges[i].fromMajor > major)
            continue;
        if (!LookupPrivilegeValueW(NULL, kAdminPrivileges[i].name, &luid))
            admin = GetLastError() == ERROR_NO_SUCH_PRIVILEGE;
        else
            admin = HoldsPrivilege(privileges, &luid);
    }
    if (!admin)
        goto done;
    admin = GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) &&
            elevation.TokenIsElevated && GetTokenInformation(token, TokenElevationType, &type, sizeof(type), &size) &&
            (type == TokenElevationTypeDefault || type == TokenElevationTypeFull);
    if (!admin)
        goto done;
    label = (TOKEN_MANDATORY_LABEL*)ReadTokenInformation(token, TokenIntegrityLevel);
    admin = label != NULL && *GetSidSubAuthority(label->Label.Sid, *GetSidSubAuthorityCount(label->Label.Sid) - 1) >=
                                 SECURITY_MANDATORY_HIGH_RID;
done:
    if (label)
        HeapFree(GetProcessHeap(), 0, label);
    if (privileges)
        HeapFree(GetProcessHeap(), 0, privileges);
    if (groups)
        HeapFree(GetProcessHeap(), 0, groups);
    CloseHandle(token);
    return admin;
}

static HRESULT CallShowEbh(const wchar_t* binDir, const wchar_t* location)
{
    wchar_t path[FLOOR_MAX_PATH];
    HMODULE library;
    ShowEbhFn showEbh;
    HRESULT hr = E_FAIL;
    swprintf(path, FLOOR_MAX_PATH, L"%ls\\qz_shex.dll", binDir);
    library = LoadLibraryW(path);
    if (!library)
        return E_FAIL;
    showEbh = (ShowEbhFn)(void (*)(void))GetProcAddress(library, "ShowEBH");
    if (showEbh)
        hr = showEbh(location);
    FreeLibrary(library);
    return hr;
}

/* Whether SeCreateGlobalPrivilege is enabled, asked as the channel asks. */
static BOOL CreateGlobalEnabled(void)
{
    PRIVILEGE_SET required;
    HANDLE token = NULL;
    BOOL held = FALSE;
    ZeroMemory(&required, sizeof(required));
    required.PrivilegeCount = 1;
    required.Control = PRIVILEGE_SET_ALL_NECESSARY;
    if (!LookupPrivilegeValueW(NULL, L"SeCreateGlobalPrivilege", &required.Privilege[0].Luid))
        return FALSE;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token) &&
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return FALSE;
    if (!PrivilegeCheck(token, &required, &held) && GetLastError() == ERROR_NO_IMPERSONATION_TOKEN)
    {
        TOKEN_PRIVILEGES* privileges = (TOKEN_PRIVILEGES*)ReadTokenInformation(token, TokenPrivileges);
        DWORD i;
        for (i = 0; privileges && i < privileges->PrivilegeCount; ++i)
        {
            const LUID_AND_ATTRIBUTES* entry = &privileges->Privileges[i];
            if (entry->Luid.LowPart == required.Privilege[0].Luid.LowPart &&
                entry->Luid.HighPart == required.Privilege[0].Luid.HighPart)
                held = (entry->Attributes & SE_PRIVILEGE_ENABLED) != 0;
        }
        if (privileges)
            HeapFree(GetProcessHeap(), 0, privileges);
    }
    CloseHandle(token);
    return held;
}

/* The exit notification as the channel sends it: manager and service opened,
 * the agent's mutex taken for the whole send, the section created under a
 * descriptor that admits LocalSystem, the record written, control 130, and
 * everything released in the reverse order. */
static BOOL NotifyExit(void)
{
    wchar_t text[80];
    SC_HANDLE manager;
    SC_HANDLE service = NULL;
    HANDLE mutex = NULL;
    HANDLE mapping = NULL;
    BYTE* view = NULL;
    SID_IDENTIFIER_AUTHORITY ntAuthority = {SECURITY_NT_AUTHORITY};
    DWORD localSystem[3];
    DWORD acl[16];
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES sa;
    SERVICE_STATUS status;
    BOOL sent = FALSE;
    DWORD textBytes;
    DWORD wait;

    manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (!manager)
        return FALSE;
    service = OpenServiceW(manager, L"qz_agent", SERVICE_USER_DEFINED_CONTROL);
    if (!service)
        goto done;
    mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, L"Global\\QzCustCmdMutexName");
    if (!mutex)
        goto done;
    wait = WaitForSingleObjectEx(mutex, INFINITE, FALSE);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED)
        goto done;
    if (!InitializeSid(localSystem, &ntAuthority, 1))
        goto unlock;
    *GetSidSubAuthority(localSystem, 0) = SECURITY_LOCAL_SYSTEM_RID;
    if (!InitializeAcl((PACL)acl, sizeof(acl), ACL_REVISION) ||
        !AddAccessAllowedAce((PACL)acl, ACL_REVISION, GENERIC_ALL, localSystem) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, (PACL)acl, FALSE))
        goto unlock;
    sa.nLength = sizeof(sa);
    sa.lpSecurityDescriptor = &descriptor;
    sa.bInheritHandle = FALSE;
    mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, FLOOR_SECTION_SIZE,
                                 CreateGlobalEnabled() ? L"Global\\QzCustCmdFileMapName" : L"QzCustCmdFileMapName");
    if (!mapping)
        goto unlock;
    view = (BYTE*)MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
    if (!view)
        goto unlock;
    {
        MEMORY_BASIC_INFORMATION region;
        if (VirtualQuery(view, &region, sizeof(region)) == 0 || region.RegionSize < FLOOR_SECTION_SIZE)
            goto unlock;
    }
    ZeroMemory(view, FLOOR_SECTION_SIZE);
    swprintf(text, 80, L"<?xml version=\"1.0\" encoding=\"utf-16\"?><XML><PID>%lu</PID></XML>",
             (unsigned long)GetCurrentProcessId());
    textBytes = (DWORD)((wcslen(text) + 1) * sizeof(wchar_t));
    ((DWORD*)view)[0] = 0x1D7C;
    ((DWORD*)view)[1] = 10;
    ((DWORD*)view)[2] = sizeof(DWORD) + textBytes;
    ((DWORD*)view)[3] = textBytes;
    memcpy(view + 4 * sizeof(DWORD), text, textBytes);
    sent = ControlService(service, 130, &status);
unlock:
    if (view)
        UnmapViewOfFile(view);
    if (mapping)
        CloseHandle(mapping);
    ReleaseMutex(mutex);
done:
    if (mutex)
        CloseHandle(mutex);
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return sent;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR tail, int showCmd)
{
    wchar_t binDir[FLOOR_MAX_PATH];
    wchar_t root[FLOOR_MAX_PATH];
    wchar_t path[FLOOR_MAX_PATH];
    wchar_t* slash;
    LPWSTR* argv;
    int argc = 0;
    HRESULT hr;
    DWORD startupBytes;
    DWORD commandBytes;
    (void)instance;
    (void)previous;
    (void)tail;
    (void)showCmd;

    if (!ReadUserSid())
        return 101;
    if (GetModuleFileNameW(NULL, binDir, FLOOR_MAX_PATH) == 0 || !(slash = wcsrchr(binDir, L'\\')))
        return 102;
    *slash = 0;
    wcscpy(root, binDir);
    if (!(slash = wcsrchr(root, L'\\')))
        return 102;
    *slash = 0;
    swprintf(path, FLOOR_MAX_PATH, L"%ls\\config\\qz_elevate.cfg", root);
    GetFileAttributesW(path);
    if (!ReadImagePath())
        return 103;
    if (FAILED(OleInitialize(NULL)))
        return 104;

    argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 5)
        return 105;
    startupBytes = wcstoul(argv[3], NULL, 10);
    commandBytes = wcstoul(argv[4], NULL, 10);
    swprintf(path, FLOOR_MAX_PATH, L"%ls\\trace\\bench_floor.start.trace", root);
    if (!AppendToFile(path, startupBytes))
        return 106;
    if (!ReadPolicy())
        return 107;
    if (!IsElevatedAdmin())
        return 108;
    hr = CallShowEbh(binDir, argv[2]);
    OleUninitialize();
    if (!NotifyExit())
        return 109;
    swprintf(path, FLOOR_MAX_PATH, L"%ls\\trace\\bench_floor.ebh.trace", root);
    if (!AppendToFile(path, commandBytes))
        return 110;
    LocalFree(argv);
    return (int)hr;
}
