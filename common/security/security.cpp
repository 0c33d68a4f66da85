// CqzSid, SqzSids and the Process Monitor debug logger.
#include "common/security/security.h"

#include <lm.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <new>
#include <utility>
#include <vector>

#include "common/util/os.h"
#include "common/util/scoped.h"
#include "trace/trace.h"

namespace
{
const char* const kSidClass = "CqzSid";
const char* const kSidsClass = "SqzSids";

std::wstring FormatHex8(DWORD value)
{
    wchar_t text[16];
    std::swprintf(text, 16, L"%.8X", static_cast<unsigned>(value));
    return text;
}

// ---------------------------------------------------------------------------
// SID tables
// ---------------------------------------------------------------------------

const SID_IDENTIFIER_AUTHORITY kNtAuthority = {SECURITY_NT_AUTHORITY};
const SID_IDENTIFIER_AUTHORITY kAppPackageAuthority = {SECURITY_APP_PACKAGE_AUTHORITY};
const SID_IDENTIFIER_AUTHORITY kMandatoryLabelAuthority = {SECURITY_MANDATORY_LABEL_AUTHORITY};

struct CapabilityName
{
    DWORD rid;
    const wchar_t* name;
};

const CapabilityName kCapabilityNames[] = {
    {1, L"InternetClient"},
    {2, L"InternetClientServer"},
    {3, L"PrivateNetworkClientServer"},
    {4, L"PicturesLibrary"},
    {5, L"VideosLibrary"},
    {6, L"MusicLibrary"},
    {7, L"DocumentsLibrary"},
    {8, L"EnterpriseAuthentication"},
    {9, L"SharedUserCertificates"},
    {10, L"RemovableStorage"},
    {4096, L"InternetExplorer"},
};

struct DeviceCapabilityName
{
    GUID guid;
    const wchar_t* name;
};

const DeviceCapabilityName kDeviceCapabilityNames[] = {
    {{0xbfa794e4, 0xf964, 0x4fdb, {0x90, 0xf6, 0x51, 0x05, 0x6b, 0xfe, 0x4b, 0x44}}, L"Location"},
    {{0x2eef81be, 0x33fa, 0x4800, {0x96, 0x70, 0x1c, 0xd4, 0x74, 0x97, 0x2c, 0x3f}}, L"Microphone"},
    {{0xfb3842cd, 0x9e2a, 0x4f83, {0x8f, 0xcc, 0x4b, 0x07, 0x61, 0x13, 0x9a, 0xe9}}, L"Proximity"},
    {{0xe5323777, 0xf976, 0x4f5b, {0x9b, 0x55, 0xb9, 0x46, 0x99, 0xc4, 0x6e, 0x44}}, L"Webcam"},
    {{0x21157c1f, 0x2651, 0x4cc1, {0x90, 0xca, 0x1f, 0x28, 0xb0, 0x22, 0x63, 0xf6}}, L"Sms"},
};

struct BuiltinGroup
{
    const wchar_t* englishName;
    DWORD rid;
};

const BuiltinGroup kBuiltinGroups[] = {
    {L"Administrators", 544},
    {L"Account Operators", 548},
    {L"Backup Operators", 551},
    {L"Guests", 546},
    {L"Network Configuration Operators", 556},
    {L"Performance Monitor Users", 558},
    {L"Performance Log Users", 559},
    {L"Power Users", 547},
    {L"Print Operators", 550},
    {L"Users", 545},
    {L"Remote Desktop Users", 555},
};

const char* const kWellKnownSidTypeNames[] = {
    "NullSid",
    "WorldSid",
    "LocalSid",
    "CreatorOwnerSid",
    "CreatorGroupSid",
    "CreatorOwnerServerSid",
    "CreatorGroupServerSid",
    "NtAuthoritySid",
    "DialupSid",
    "NetworkSid",
    "BatchSid",
    "InteractiveSid",
    "ServiceSid",
    "AnonymousSid",
    "ProxySid",
    "EnterpriseControllersSid",
    "SelfSid",
    "AuthenticatedUserSid",
    "RestrictedCodeSid",
    "TerminalServerSid",
    "RemoteLogonIdSid",
    "LogonIdsSid",
    "LocalSystemSid",
    "LocalServiceSid",
    "NetworkServiceSid",
    "BuiltinDomainSid",
    "BuiltinAdministratorsSid",
    "BuiltinUsersSid",
    "BuiltinGuestsSid",
    "BuiltinPowerUsersSid",
    "BuiltinAccountOperatorsSid",
    "BuiltinSystemOperatorsSid",
    "BuiltinPrintOperatorsSid",
    "BuiltinBackupOperatorsSid",
    "BuiltinReplicatorSid",
    "BuiltinPreWindows2000CompatibleAccessSid",
    "BuiltinRemoteDesktopUsersSid",
    "BuiltinNetworkConfigurationOperatorsSid",
    "AccountAdministratorSid",
    "AccountGuestSid",
    "AccountKrbtgtSid",
    "AccountDomainAdminsSid",
    "AccountDomainUsersSid",
    "AccountDomainGuestsSid",
    "AccountComputersSid",
    "AccountControllersSid",
    "AccountCertAdminsSid",
    "AccountSchemaAdminsSid",
    "AccountEnterpriseAdminsSid",
    "AccountPolicyAdminsSid",
    "AccountRasAndIasServersSid",
    "NTLMAuthenticationSid",
    "DigestAuthenticationSid",
    "SChannelAuthenticationSid",
    "ThisOrganizationSid",
    "OtherOrganizationSid",
    "BuiltinIncomingForestTrustBuildersSid",
    "BuiltinPerfMonitoringUsersSid",
    "BuiltinPerfLoggingUsersSid",
    "BuiltinAuthorizationAccessSid",
    "BuiltinTerminalServerLicenseServersSid",
    "BuiltinDCOMUsersSid",
    "BuiltinIUsersSid",
    "IUserSid",
    "BuiltinCryptoOperatorsSid",
    "UntrustedLabelSid",
    "LowLabelSid",
    "MediumLabelSid",
    "HighLabelSid",
    "SystemLabelSid",
    "WriteRestrictedCodeSid",
    "CreatorOwnerRightsSid",
    "CacheablePrincipalsGroupSid",
    "NonCacheablePrincipalsGroupSid",
    "EnterpriseReadonlyControllersSid",
    "AccountReadonlyControllersSid",
    "BuiltinEventLogReadersGroup",
    "NewEnterpriseReadonlyControllersSid",
    "BuiltinCertSvcDComAccessGroup",
};

// S-1-5-21-a-b-c: the shape of a machine's account-domain SID.
bool IsAccountDomainSid(const CSid& sid)
{
    const SID_IDENTIFIER_AUTHORITY* authority = sid.GetPSID_IDENTIFIER_AUTHORITY();
    return authority != nullptr && std::memcmp(authority, &kNtAuthority, sizeof(kNtAuthority)) == 0 &&
           sid.GetSubAuthorityCount() == 4 && sid.GetSubAuthority(0) == SECURITY_NT_NON_UNIQUE;
}

// Reads the machine SID from the SAM's account-domain value. Returns the
// Win32 result: 0 with the SID loaded, or why there is none.
DWORD ReadMachineSidFromRegistry(CSid& sid)
{
    CqzScopedRegKey key;
    LONG res =
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SECURITY\\SAM\\Domains\\Account", 0, KEY_QUERY_VALUE, key.Receive());
    if (res != ERROR_SUCCESS)
        return static_cast<DWORD>(res);
    BYTE data[1024];
    DWORD type = REG_NONE;
    DWORD size = sizeof(data);
    res = ::RegQueryValueExW(key.Get(), L"V", nullptr, &type, data, &size);
    if (res != ERROR_SUCCESS)
        return static_cast<DWORD>(res);
    if (type != REG_BINARY)
        return ERROR_INVALID_DATA;
    // The value ends with the domain SID: revision 1, four sub-authorities.
    const DWORD sidSize = 8 + 4 * sizeof(DWORD);
    if (size < sidSize || size > sizeof(data))
        return ERROR_INVALID_DATA;
    BYTE* candidate = data + size - sidSize;
    if (candidate[0] != SID_REVISION || candidate[1] != 4 || !::IsValidSid(candidate) ||
        ::GetLengthSid(candidate) != sidSize)
        return ERROR_INVALID_DATA;
    CSid loaded;
    if (!loaded.LoadAccount(static_cast<PSID>(candidate)) || !IsAccountDomainSid(loaded))
        return ERROR_INVALID_DATA;
    sid = loaded;
    return ERROR_SUCCESS;
}
} // namespace
// ---------------------------------------------------------------------------
// CqzSid
// ---------------------------------------------------------------------------

CqzSid::CqzSid(const wchar_t* accountNameOrSidString)
{
    if (accountNameOrSidString == nullptr || *accountNameOrSidString == L'\0')
    {
        QZ_STACK_NAME("CqzSid", kSidClass);
        QZTRACE(QZT_WARNING, kSidClass, "WARNING: Empty account name or SID string");
        return;
    }
    LoadAccount(accountNameOrSidString);
}

bool CqzSid::LoadAccount(const wchar_t* accountNameOrSidString)
{
    QZ_STACK_NAME("LoadAccount", kSidClass);
    // A failed load leaves the object empty rather than holding the SID of
    // an earlier load, so validity below is the result of this call.
    Clear();
    const wchar_t* text = accountNameOrSidString != nullptr ? accountNameOrSidString : L"";
    if ((text[0] == L'S' || text[0] == L's') && text[1] == L'-')
        LoadAccountBySidString(text);
    if (!IsValid())
        _LoadAccountByName(text);
    if (!IsValid())
    {
        QZTRACE(QZT_WARNING, kSidClass, "WARNING: Failed to load SID by name or SID string: " << text);
        return false;
    }
    return true;
}

bool CqzSid::LoadAccountBySidString(const wchar_t* sidString)
{
    bool loaded = false;
    PSID sid = nullptr;
    if (sidString != nullptr && ::ConvertStringSidToSidW(sidString, &sid))
    {
        CqzScoped<CqzLocalMemoryTraits> guard(sid);
        loaded = CSid::LoadAccount(sid);
    }
    const DWORD lastError = ::GetLastError();
    try
    {
        std::wstring line = L"LoadAccountBySidString: account '";
        line += sidString != nullptr ? sidString : L"";
        line += L"' loading by SID string (res=";
        line += loaded ? L"1" : L"0";
        line += L")";
        CqzProcmonDebugLogger::Write(line.c_str());
    }
    catch (const std::bad_alloc&)
    {
    }
    ::SetLastError(lastError);
    return loaded;
}

bool CqzSid::IsSidString(const wchar_t* text)
{
    PSID sid = nullptr;
    if (text == nullptr || !::ConvertStringSidToSidW(text, &sid))
        return false;
    ::LocalFree(sid);
    return true;
}

bool CqzSid::_LoadAccountByName(const wchar_t* name)
{
    if (name == nullptr || *name == L'\0')
        return false;
    if (CSid::LoadAccount(name))
        return true;

    std::wstring computer;
    if (!CqzOperatingSystem::GetComputerNameW(computer) || computer.empty())
        return false;
    try
    {
        std::vector<std::wstring> alternatives;
        const size_t length = std::wcslen(name);
        const size_t computerLength = computer.size();
        if (length > 8 && ::_wcsnicmp(name, L"BUILTIN\\", 8) == 0)
        {
            alternatives.push_back(computer + L"\\" + (name + 8));
        }
        else if (length > computerLength && ::_wcsnicmp(name, computer.c_str(), computerLength) == 0 &&
                 name[computerLength] == L'\\')
        {
            alternatives.push_back(std::wstring(L"BUILTIN\\") + (name + computerLength + 1));
        }
        else if (length > 2 && name[0] == L'.' && name[1] == L'\\')
        {
            alternatives.push_back(std::wstring(L"BUILTIN\\") + (name + 2));
            alternatives.push_back(computer + L"\\" + (name + 2));
        }
        for (const std::wstring& alternative : alternatives)
        {
            if (CSid::LoadAccount(alternative.c_str()))
                return true;
        }
    }
    catch (const std::bad_alloc&)
    {
        ::SetLastError(ERROR_OUTOFMEMORY);
    }
    return false;
}

bool CqzSid::IsValid() const
{
    return CSid::IsValid();
}

bool CqzSid::IsIdentifierAuthority(const SID_IDENTIFIER_AUTHORITY& authority) const
{
    const SID_IDENTIFIER_AUTHORITY* own = GetPSID_IDENTIFIER_AUTHORITY();
    return own != nullptr && std::memcmp(own->Value, authority.Value, sizeof(authority.Value)) == 0;
}

bool CqzSid::IsValidIntegrityLevelSid(DWORD& rid) const
{
    if (!IsValid())
        return false;
    const SID_IDENTIFIER_AUTHORITY* authority = GetPSID_IDENTIFIER_AUTHORITY();
    if (authority == nullptr)
    {
        QZ_STACK_NAME("IsValidIntegrityLevelSid", kSidClass);
        QZTRACE(QZT_ERROR, kSidClass, "ERROR: GetPSID_IDENTIFIER_AUTHORITY() returned NULL");
        return false;
    }
    if (std::memcmp(authority, &kMandatoryLabelAuthority, sizeof(kMandatoryLabelAuthority)) != 0)
        return false;
    if (GetSubAuthorityCount() != 1)
    {
        QZ_STACK_NAME("IsValidIntegrityLevelSid", kSidClass);
        QZTRACE(QZT_WARNING, kSidClass,
                "WARNING: SECURITY_MANDATORY_LABEL_AUTHORITY SID has unexpected subauthorities count: [" << Sid()
                                                                                                         << "]");
        return false;
    }
    rid = GetSubAuthority(0);
    return true;
}

bool CqzSid::IsBuiltInCapabilitySid(DWORD& rid) const
{
    if (!IsValid())
        return false;
    const SID_IDENTIFIER_AUTHORITY* authority = GetPSID_IDENTIFIER_AUTHORITY();
    if (authority == nullptr)
    {
        QZ_STACK_NAME("IsBuiltInCapabilitySid", kSidClass);
        QZTRACE(QZT_ERROR, kSidClass, "ERROR: GetPSID_IDENTIFIER_AUTHORITY() returned NULL");
        return false;
    }
    if (std::memcmp(authority, &kAppPackageAuthority, sizeof(kAppPackageAuthority)) != 0 ||
        GetSubAuthorityCount() != 2 || GetSubAuthority(0) != SECURITY_CAPABILITY_BASE_RID)
        return false;
    rid = GetSubAuthority(1);
    return true;
}

bool CqzSid::IsCustomCapabilitySid(DWORD guid[4]) const
{
    if (!IsValid() || guid == nullptr)
        return false;
    const SID_IDENTIFIER_AUTHORITY* authority = GetPSID_IDENTIFIER_AUTHORITY();
    if (authority == nullptr)
    {
        QZ_STACK_NAME("IsCustomCapabilitySid", kSidClass);
        QZTRACE(QZT_ERROR, kSidClass, "ERROR: GetPSID_IDENTIFIER_AUTHORITY() returned NULL");
        return false;
    }
    if (std::memcmp(authority, &kAppPackageAuthority, sizeof(kAppPackageAuthority)) != 0 ||
        GetSubAuthorityCount() != 5 || GetSubAuthority(0) != SECURITY_CAPABILITY_BASE_RID)
        return false;
    for (DWORD i = 0; i < 4; ++i)
        guid[i] = GetSubAuthority(i + 1);
    return true;
}

bool CqzSid::GetSidString(std::wstring& text) const
{
    wchar_t* converted = nullptr;
    if (!::ConvertSidToStringSidW(GetPSID(), &converted))
    {
        const DWORD error = ::GetLastError();
        QZ_STACK_NAME("GetSidString", kSidClass);
        QZTRACE(QZT_ERROR, kSidClass, "ERROR: ConvertSidToStringSid failed. LastError=" << error);
        return false;
    }
    CqzScoped<CqzLocalMemoryTraits> guard(converted);
    try
    {
        text.assign(converted);
    }
    catch (const std::bad_alloc&)
    {
        ::SetLastError(ERROR_OUTOFMEMORY);
        return false;
    }
    return true;
}

std::wstring CqzSid::GetTraceString() const
{
    try
    {
        if (!IsValid())
            return L"[Invalid SID]";
        DWORD rid = 0;
        if (IsBuiltInCapabilitySid(rid))
            return L"Capability=[" + GetCapabilityName(rid) + L"] SID=[" + Sid() + L"]";
        DWORD guid[4] = {};
        if (IsCustomCapabilitySid(guid))
            return L"Capability=[" + GetDeviceCapabilityName(guid) + L"] SID=[" + Sid() + L"]";
        const std::wstring& name = AccountName();
        if (name.empty())
            return L"SID=[" + Sid() + L"]";
        const std::wstring& domain = Domain();
        if (!domain.empty())
            return L"Name=[" + domain + L"\\" + name + L"] SID=[" + Sid() + L"]";
        return L"Name=[" + name + L"] SID=[" + Sid() + L"]";
    }
    catch (const std::bad_alloc&)
    {
        return std::wstring();
    }
}

std::wstring CqzSid::GetTraceString(PSID sid)
{
    if (sid == nullptr)
        return L"PSID=[NULL]";
    return CqzSid(sid).GetTraceString();
}

std::wstring CqzSid::GetGroupTraceString(DWORD attributes) const
{
    try
    {
        return L"ATTR=[" + GetGroupAttributesString(attributes) + L"] " + GetTraceString();
    }
    catch (const std::bad_alloc&)
    {
        return std::wstring();
    }
}

std::wstring CqzSid::GetGroupAttributesString(DWORD attributes)
{
    if (attributes == 0)
        return L"00000000";
    static const struct
    {
        DWORD mask;
        const wchar_t* word;
    } kWords[] = {
        {SE_GROUP_MANDATORY, L"Mandatory"},
        {SE_GROUP_ENABLED_BY_DEFAULT, L"EnabledByDefault"},
        {SE_GROUP_ENABLED, L"Enabled"},
        {SE_GROUP_OWNER, L"Owner"},
        {SE_GROUP_USE_FOR_DENY_ONLY, L"Deny"},
        {SE_GROUP_INTEGRITY, L"Integrity"},
        {SE_GROUP_INTEGRITY_ENABLED, L"IntegrityEnabled"},
        {SE_GROUP_LOGON_ID, L"LogonID"},
        {SE_GROUP_RESOURCE, L"Resource"},
    };
    std::wstring text;
    try
    {
        for (const auto& word : kWords)
        {
            if ((attributes & word.mask) == word.mask)
            {
                if (!text.empty())
                    text += L"|";
                text += word.word;
            }
        }
        const DWORD remaining = attributes & 0x1FFFFF80;
        if (remaining != 0)
        {
            if (!text.empty())
                text += L"|";
            text += FormatHex8(remaining);
        }
    }
    catch (const std::bad_alloc&)
    {
        text.clear();
    }
    return text;
}

std::wstring CqzSid::GetCapabilityName(DWORD rid)
{
    for (const CapabilityName& entry : kCapabilityNames)
    {
        if (entry.rid == rid)
            return entry.name;
    }
    return L"0x" + FormatHex8(rid);
}

std::wstring CqzSid::GetDeviceCapabilityName(const DWORD guid[4])
{
    GUID value = {};
    std::memcpy(&value, guid, sizeof(value));
    for (const DeviceCapabilityName& entry : kDeviceCapabilityNames)
    {
        if (std::memcmp(&entry.guid, &value, sizeof(value)) == 0)
            return entry.name;
    }
    wchar_t text[40];
    std::swprintf(text, 40, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", static_cast<unsigned>(value.Data1),
                  value.Data2, value.Data3, value.Data4[0], value.Data4[1], value.Data4[2], value.Data4[3],
                  value.Data4[4], value.Data4[5], value.Data4[6], value.Data4[7]);
    return text;
}

bool CqzSid::AddToGroup(const wchar_t* groupName) const
{
    QZ_STACK_NAME("AddToGroup", kSidClass);
    if (!IsValid())
    {
        QZTRACE(QZT_ERROR, kSidClass, "ERROR: AddToGroup failed, sid is not valid.");
        return false;
    }
    LOCALGROUP_MEMBERS_INFO_0 member = {GetPSID()};
    const NET_API_STATUS status = ::NetLocalGroupAddMembers(nullptr, groupName, 0, reinterpret_cast<BYTE*>(&member), 1);
    if (status == NERR_Success || status == ERROR_MEMBER_IN_ALIAS)
        return true;
    QZTRACE(QZT_ERROR, kSidClass, "ERROR: AddToGroup failed. Error=" << static_cast<unsigned long>(status));
    return false;
}

bool CqzSid::RemoveFromGroup(const wchar_t* groupName) const
{
    QZ_STACK_NAME("RemoveFromGroup", kSidClass);
    if (!IsValid())
    {
        QZTRACE(QZT_ERROR, kSidClass, "ERROR: RemoveFromGroup failed, sid is not valid.");
        return false;
    }
    LOCALGROUP_MEMBERS_INFO_0 member = {GetPSID()};
    const NET_API_STATUS status = ::NetLocalGroupDelMembers(nullptr, groupName, 0, reinterpret_cast<BYTE*>(&member), 1);
    if (status == NERR_Success || status == ERROR_NO_SUCH_MEMBER || status == ERROR_MEMBER_NOT_IN_ALIAS)
        return true;
    QZTRACE(QZT_ERROR, kSidClass, "ERROR: RemoveFromGroup failed. Error=" << static_cast<unsigned long>(status));
    return false;
}

bool CqzSid::GetLocalizedGroupName(const wchar_t* englishName, std::wstring& name)
{
    try
    {
        name.assign(englishName != nullptr ? englishName : L"");
        if (englishName == nullptr)
            return false;
        for (const BuiltinGroup& group : kBuiltinGroups)
        {
            if (std::wcscmp(group.englishName, englishName) != 0)
                continue;
            BYTE buffer[SECURITY_MAX_SID_SIZE] = {};
            SID_IDENTIFIER_AUTHORITY authority = kNtAuthority;
            if (!::InitializeSid(buffer, &authority, 2))
                return false;
            *::GetSidSubAuthority(buffer, 0) = SECURITY_BUILTIN_DOMAIN_RID;
            *::GetSidSubAuthority(buffer, 1) = group.rid;
            CSid sid(static_cast<PSID>(buffer));
            const std::wstring& localName = sid.AccountName();
            if (localName.empty())
                return false;
            name = localName;
            return true;
        }
    }
    catch (const std::bad_alloc&)
    {
        ::SetLastError(ERROR_OUTOFMEMORY);
    }
    return false;
}

// ---------------------------------------------------------------------------
// SqzSids
// ---------------------------------------------------------------------------

const CqzSid& SqzSids::GetMachineSid()
{
    static CqzSid machineSid;
    if (machineSid.IsValid())
        return machineSid;
    QZ_STACK_NAME("GetMachineSid", kSidsClass);
    CSid fromRegistry;
    const DWORD result = ReadMachineSidFromRegistry(fromRegistry);
    if (result == ERROR_SUCCESS)
    {
        machineSid = CqzSid(fromRegistry);
        return machineSid;
    }
    if (result != ERROR_ACCESS_DENIED)
        QZTRACE(QZT_WARNING, kSidsClass,
                "WARNING: Failed to retrieve machine SID from registry. res=" << static_cast<unsigned long>(result));
    // The computer's own account domain by name. Only a SID of the account
    // domain's shape is taken: the name fallbacks could otherwise answer with
    // the BUILTIN domain.
    std::wstring computer;
    if (CqzOperatingSystem::GetComputerNameW(computer))
    {
        CqzSid byName;
        if (byName._LoadAccountByName((computer + L"\\").c_str()) && IsAccountDomainSid(byName))
            machineSid = byName;
    }
    return machineSid;
}

const CqzSid& SqzSids::GetLocalDomainUsersSid()
{
    static CqzSid usersSid;
    if (usersSid.IsValid())
        return usersSid;
    const CqzSid& machineSid = GetMachineSid();
    std::wstring text;
    if (machineSid.IsValid() && machineSid.GetSidString(text))
        usersSid.LoadAccountBySidString((text + L"-513").c_str());
    return usersSid;
}

const CqzSid& SqzSids::GetAllApplicationPackagesSid()
{
    static CqzSid packagesSid;
    if (packagesSid.IsValid())
        return packagesSid;
    if (!packagesSid.LoadAccountBySidString(L"S-1-15-2-1"))
    {
        QZ_STACK_NAME("GetAllApplicationPackagesSid", kSidsClass);
        QZTRACE(QZT_ERROR, kSidsClass, "ERROR: LoadAccountBySidString(S-1-15-2-1) failed.");
    }
    return packagesSid;
}

bool SqzSids::GetWellKnownSid(WELL_KNOWN_SID_TYPE type, CSid& sid)
{
    BYTE buffer[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof(buffer);
    if (!::CreateWellKnownSid(type, nullptr, buffer, &size))
    {
        const DWORD error = ::GetLastError();
        QZ_STACK_NAME("GetWellKnownSid", kSidsClass);
        QZTRACE(QZT_ERROR, kSidsClass,
                "ERROR: CreateWellKnownSid(" << GetWellKnownSidTypeName(type) << ", "
                                             << "Local"
                                             << ") failed."
                                             << " LastError=" << error);
        return false;
    }
    return sid.LoadAccount(static_cast<PSID>(buffer));
}

const char* SqzSids::GetWellKnownSidTypeName(int type)
{
    const int count = static_cast<int>(sizeof(kWellKnownSidTypeNames) / sizeof(kWellKnownSidTypeNames[0]));
    if (type < 0 || type >= count)
        return "Unknown";
    return kWellKnownSidTypeNames[type];
}

// ---------------------------------------------------------------------------
// CqzProcmonDebugLogger
// ---------------------------------------------------------------------------

void CqzProcmonDebugLogger::Write(const wchar_t* text)
{
    if (text == nullptr || *text == L'\0')
        return;
    const DWORD lastError = ::GetLastError();
    HANDLE device = ::CreateFileW(L"\\\\.\\Global\\ProcmonDebugLogger", GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device != INVALID_HANDLE_VALUE)
    {
        size_t length = std::wcslen(text);
        if (length > MaxChars)
            length = MaxChars;
        DWORD returned = 0;
        ::DeviceIoControl(device, IoctlWrite, const_cast<wchar_t*>(text), static_cast<DWORD>(length * sizeof(wchar_t)),
                          nullptr, 0, &returned, nullptr);
        ::CloseHandle(device);
    }
    ::SetLastError(lastError);
}
