#include "tests/token_report/report_oracle.h"

#include <sddl.h>

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "common/util/exports.h"
#include "common/util/scoped.h"
#include "testing/harness/harness.h"
#include "tests/handles/handle_dump_test_util.h"

namespace qzreporttest
{
namespace
{
typedef LONG(NTAPI* RtlGetVersionFn)(RTL_OSVERSIONINFOW*);
typedef LONG(WINAPI* GetApplicationUserModelIdFromTokenFn)(HANDLE, UINT32*, PWSTR);

const DWORD kTokenSecurityAttributesClass = 39;

// printf of narrow formats with numbers only, as a wide string.
std::wstring Format(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return std::wstring(text, text + std::strlen(text));
}

// "0x<hex> (<decimal>)" of a 64-bit value, as "0x%I64X (%I64d)" prints it.
std::wstring HexAndDecimal(LONGLONG value)
{
    return Format("0x%llX (%lld)", static_cast<unsigned long long>(value), static_cast<long long>(value));
}

LONGLONG LuidValue(const LUID& luid)
{
    return static_cast<LONGLONG>((static_cast<ULONGLONG>(static_cast<DWORD>(luid.HighPart)) << 32) | luid.LowPart);
}

// One class of the token in a block of the size the system asks for; empty
// when the token cannot be read.
std::vector<BYTE> ReadClass(HANDLE token, DWORD infoClass)
{
    DWORD length = 0;
    ::GetTokenInformation(token, static_cast<TOKEN_INFORMATION_CLASS>(infoClass), nullptr, 0, &length);
    if (length == 0)
        return std::vector<BYTE>();
    std::vector<BYTE> block(length);
    if (!::GetTokenInformation(token, static_cast<TOKEN_INFORMATION_CLASS>(infoClass), block.data(), length, &length))
        return std::vector<BYTE>();
    block.resize(length);
    return block;
}

template <typename T>
bool ReadFixed(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, T& value)
{
    DWORD returned = 0;
    return ::GetTokenInformation(token, infoClass, &value, sizeof(value), &returned) != FALSE;
}

struct Builder
{
    Report report;
    void Line(const std::wstring& text) { report.push_back({Expected::Kind::Line, text, std::string(), 0}); }
    void Add(const Expected& expected) { report.push_back(expected); }
    void Append(const Report& other) { report.insert(report.end(), other.begin(), other.end()); }
};

void SidItem(Builder& out, HANDLE token, TOKEN_INFORMATION_CLASS infoClass, const wchar_t* label, bool censor)
{
    const std::vector<BYTE> block = ReadClass(token, infoClass);
    if (block.size() < sizeof(PSID))
    {
        out.Line(std::wstring(label) + L": Error");
        return;
    }
    PSID sid = nullptr;
    std::memcpy(&sid, block.data(), sizeof(sid));
    const std::wstring text = TraceString(sid);
    out.Line(std::wstring(label) + L": " + (censor ? Censored(text) : text));
}

void SessionItem(Builder& out, HANDLE token)
{
    DWORD session = 0;
    out.Line(ReadFixed(token, TokenSessionId, session) ? L"TOKEN SESSION ID: " + Format("%d", static_cast<int>(session))
                                                       : L"TOKEN SESSION ID: Error");
}

void GroupLines(Builder& out, const TOKEN_GROUPS* groups, const char* lineFormat, bool censor)
{
    for (DWORD i = 0; i < groups->GroupCount; ++i)
    {
        const std::wstring text =
            L"ATTR=[" + GroupAttributeWords(groups->Groups[i].Attributes) + L"] " + TraceString(groups->Groups[i].Sid);
        out.Line(Format(lineFormat, static_cast<int>(i)) + (censor ? Censored(text) : text));
    }
}

void GroupsItem(Builder& out, HANDLE token, bool censor)
{
    const std::vector<BYTE> block = ReadClass(token, TokenGroups);
    if (block.size() < sizeof(DWORD))
    {
        out.Line(L"TOKEN GROUPS: Error");
        return;
    }
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(block.data());
    out.Line(Format("TOKEN GROUPS: Count=%d", static_cast<int>(groups->GroupCount)));
    GroupLines(out, groups, "   GROUP %.2d: ", censor);
}

void PrivilegesItem(Builder& out, HANDLE token)
{
    const std::vector<BYTE> block = ReadClass(token, TokenPrivileges);
    if (block.size() < sizeof(DWORD))
    {
        out.Line(L"TOKEN PRIVILEGES: Error");
        return;
    }
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(block.data());
    out.Line(Format("TOKEN PRIVILEGES: Count=%d", static_cast<int>(privileges->PrivilegeCount)));
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
    {
        const LUID_AND_ATTRIBUTES& privilege = privileges->Privileges[i];
        LUID luid = privilege.Luid;
        wchar_t name[256] = {};
        DWORD length = 256;
        const std::wstring nameText =
            ::LookupPrivilegeNameW(nullptr, &luid, name, &length)
                ? std::wstring(name)
                : Format("Unknown{%d,%u}", static_cast<int>(luid.HighPart), static_cast<unsigned>(luid.LowPart));
        out.Line(Format("   PRIVILEGE %.2d: Attributes=[%.8X] ", static_cast<int>(i),
                        static_cast<unsigned>(privilege.Attributes)) +
                 nameText);
    }
}

void VistaItems(Builder& out, HANDLE token)
{
    const std::vector<BYTE> access = ReadClass(token, TokenAccessInformation);
    if (access.size() >= offsetof(TOKEN_ACCESS_INFORMATION, Flags) + sizeof(DWORD))
    {
        const auto* info = reinterpret_cast<const TOKEN_ACCESS_INFORMATION*>(access.data());
        out.Line(Format("TOKEN MANDATORY POLICY: %d", static_cast<int>(info->MandatoryPolicy.Policy)));
        out.Line(Format("TOKEN FLAGS: %.8X", static_cast<unsigned>(info->Flags)));
    }
    else
    {
        out.Line(L"TOKEN_ACCESS_INFORMATION: Error");
    }

    const std::vector<BYTE> label = ReadClass(token, TokenIntegrityLevel);
    const PSID labelSid = label.size() >= sizeof(TOKEN_MANDATORY_LABEL)
                              ? reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(label.data())->Label.Sid
                              : nullptr;
    out.Line(labelSid != nullptr ? L"TOKEN INTEGRITY LEVEL: " + TraceString(labelSid)
                                 : L"TOKEN INTEGRITY LEVEL: Error");

    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    if (ReadFixed(token, TokenElevationType, type))
    {
        const wchar_t* const names[] = {L"Unknown", L"TokenElevationTypeDefault", L"TokenElevationTypeFull",
                                        L"TokenElevationTypeLimited"};
        const int index = type >= 1 && type <= 3 ? static_cast<int>(type) : 0;
        out.Line(std::wstring(L"TOKEN ELEVATION TYPE: ") + names[index]);
    }
    else
    {
        out.Line(L"TOKEN ELEVATION TYPE: Error");
    }

    TOKEN_ELEVATION elevation = {};
    out.Line(ReadFixed(token, TokenElevation, elevation)
                 ? std::wstring(L"TOKEN ELEVATION: Token is ") +
                       (elevation.TokenIsElevated ? L"Elevated" : L"Not Elevated")
                 : L"TOKEN ELEVATION: Error");

    DWORD uiAccess = 0;
    out.Line(ReadFixed(token, TokenUIAccess, uiAccess)
                 ? std::wstring(L"TOKEN UI ACCESS: ") + (uiAccess != 0 ? L"True" : L"False")
                 : L"TOKEN UI ACCESS: Error");
}

void OriginAndSource(Builder& out, HANDLE token)
{
    TOKEN_ORIGIN origin = {};
    out.Line(ReadFixed(token, TokenOrigin, origin)
                 ? L"TOKEN ORIGIN: " + HexAndDecimal(LuidValue(origin.OriginatingLogonSession))
                 : L"TOKEN ORIGIN: Error");
    TOKEN_SOURCE source = {};
    if (ReadFixed(token, TokenSource, source))
    {
        const size_t nameLength = strnlen(source.SourceName, sizeof(source.SourceName));
        out.Line(L"SOURCE: Name=[" + std::wstring(source.SourceName, source.SourceName + nameLength) + L"] Id=" +
                 HexAndDecimal(LuidValue(source.SourceIdentifier)));
    }
    else
    {
        out.Line(L"TOKEN SOURCE: Error");
    }
}

void StatisticsItem(Builder& out, HANDLE token, bool volatileIds)
{
    TOKEN_STATISTICS statistics = {};
    if (!ReadFixed(token, TokenStatistics, statistics))
    {
        out.Line(L"TOKEN STATISTICS: Error");
        return;
    }
    out.Line(L"TOKEN AUTHENTICATION ID: " + HexAndDecimal(LuidValue(statistics.AuthenticationId)));
    if (volatileIds)
    {
        out.Add({Expected::Kind::AnyLuid, L"TOKEN ID: ", std::string(), 0});
        out.Add({Expected::Kind::AnyLuid, L"TOKEN MODIFIED ID: ", std::string(), 0});
    }
    else
    {
        out.Line(L"TOKEN ID: " + HexAndDecimal(LuidValue(statistics.TokenId)));
        out.Line(L"TOKEN MODIFIED ID: " + HexAndDecimal(LuidValue(statistics.ModifiedId)));
    }
    out.Line(L"TOKEN EXPIRATION TIME: " + ExpirationText(statistics.ExpirationTime.QuadPart));
    const wchar_t* const types[] = {nullptr, L"TokenPrimary", L"TokenImpersonation"};
    const int type = static_cast<int>(statistics.TokenType);
    out.Line(L"TOKEN TYPE: " + (type == 1 || type == 2 ? std::wstring(types[type]) : Format("%d", type)));
    const wchar_t* const levels[] = {L"SecurityAnonymous", L"SecurityIdentification", L"SecurityImpersonation",
                                     L"SecurityDelegation"};
    const int level = static_cast<int>(statistics.ImpersonationLevel);
    out.Line(L"TOKEN IMPERSONATION LEVEL: " +
             (level >= 0 && level <= 3 ? std::wstring(levels[level]) : Format("%d", level)));
    out.Line(Format("TOKEN STATISTICS: DynamicCharged=%d, DynamicAvailable=%d, GroupCount=%d, PrivilegeCount=%d",
                    static_cast<int>(statistics.DynamicCharged), static_cast<int>(statistics.DynamicAvailable),
                    static_cast<int>(statistics.GroupCount), static_cast<int>(statistics.PrivilegeCount)));
}

void DefaultDaclItem(Builder& out, HANDLE token)
{
    const std::vector<BYTE> block = ReadClass(token, TokenDefaultDacl);
    if (block.size() < sizeof(TOKEN_DEFAULT_DACL))
    {
        out.Line(L"DEFAULT DACL: Error");
        return;
    }
    const ACL* dacl = reinterpret_cast<const TOKEN_DEFAULT_DACL*>(block.data())->DefaultDacl;
    if (dacl == nullptr)
    {
        out.Line(L"DEFAULT DACL:   PACL is NULL");
        return;
    }
    ACL_SIZE_INFORMATION sizes = {};
    ::GetAclInformation(const_cast<ACL*>(dacl), &sizes, sizeof(sizes), AclSizeInformation);
    out.Add({Expected::Kind::DefaultDacl, L"DEFAULT DACL:", DaclSddl(dacl), sizes.AceCount});
}

// The token object's own access and security lines, as the handle dump
// gives them for any kernel object.
void ObjectSecurityItem(Builder& out, const qzdumptest::Lines& lines)
{
    for (size_t i = 0; i < lines.size(); ++i)
        out.Line(i == 0 ? L"TOKEN SECURITY : " + lines[i] : lines[i]);
}

// The access granted to the handle, from the same lines; 0 when it cannot
// be read.
std::wstring GrantedAccessText(const qzdumptest::Lines& lines)
{
    const std::wstring prefix = L"   OBJECT ACCESS GRANTED: 0x";
    if (lines.empty() || lines[0].compare(0, prefix.size(), prefix) != 0)
        return qzdumptest::Hex8(0);
    return lines[0].substr(prefix.size() - 2);
}

void Win8Items(Builder& out, HANDLE token)
{
    const std::vector<BYTE> container = ReadClass(token, TokenAppContainerSid);
    if (container.size() >= sizeof(TOKEN_APPCONTAINER_INFORMATION))
    {
        const PSID sid = reinterpret_cast<const TOKEN_APPCONTAINER_INFORMATION*>(container.data())->TokenAppContainer;
        if (sid != nullptr)
            out.Line(L"APP CONTAINER SID: " + TraceString(sid));
    }

    const auto identity = CqzResolveExport<GetApplicationUserModelIdFromTokenFn>(::GetModuleHandleW(L"kernel32.dll"),
                                                                                 "GetApplicationUserModelIdFromToken");
    if (identity != nullptr)
    {
        UINT32 length = 0;
        if (identity(token, &length, nullptr) == ERROR_INSUFFICIENT_BUFFER && length > 0)
        {
            std::vector<wchar_t> text(length + 1);
            if (identity(token, &length, text.data()) == ERROR_SUCCESS && text[0] != L'\0')
                out.Line(L"APPLICATION USER MODEL ID: " + std::wstring(text.data()));
        }
    }

    const std::vector<BYTE> capabilities = ReadClass(token, TokenCapabilities);
    if (capabilities.size() >= sizeof(DWORD))
    {
        const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(capabilities.data());
        out.Line(Format("TOKEN CAPABILITIES: Count=%u", static_cast<unsigned>(groups->GroupCount)));
        GroupLines(out, groups, "   CAPABILITY %.2d: ", false);
    }

    const std::vector<BYTE> attributes = ReadClass(token, kTokenSecurityAttributesClass);
    if (attributes.size() >= 2 * sizeof(DWORD))
    {
        DWORD count = 0;
        std::memcpy(&count, attributes.data() + sizeof(DWORD), sizeof(count));
        out.Add({Expected::Kind::SecurityAttributes, Format("TOKEN SECURITY ATTRIBUTES: Count=%u", count),
                 std::string(), 0});
    }
    else
    {
        out.Line(L"TOKEN SECURITY ATTRIBUTES: ERROR");
    }
}

Report FullReport(HANDLE token, const Versions& versions, bool includeLinked, bool volatileIds);

void LinkedItem(Builder& out, HANDLE token, const Versions& versions)
{
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    HANDLE linked = nullptr;
    if ((ReadFixed(token, TokenElevationType, type) && type == TokenElevationTypeDefault) ||
        !ReadFixed(token, TokenLinkedToken, linked))
    {
        out.Line(L"");
        out.Line(L"    *** Cannot get linked token ***");
        return;
    }
    qztest::ScopedHandle first(linked);
    if (!first.IsValid())
    {
        out.Line(L"");
        out.Line(L"    *** Linked token is NULL ***");
        return;
    }
    // A system that hands out a new token for each read gives the report's
    // linked token ids of its own.
    HANDLE again = nullptr;
    TOKEN_STATISTICS firstStatistics = {};
    TOKEN_STATISTICS againStatistics = {};
    ReadFixed(token, TokenLinkedToken, again);
    qztest::ScopedHandle second(again);
    const bool volatileIds = !ReadFixed(first.Get(), TokenStatistics, firstStatistics) ||
                             !ReadFixed(second.Get(), TokenStatistics, againStatistics) ||
                             LuidValue(firstStatistics.TokenId) != LuidValue(againStatistics.TokenId);
    out.Line(L"");
    out.Line(L"    *** Linked token ***");
    out.Line(L"");
    out.Append(FullReport(first.Get(), versions, false, volatileIds));
}

Report FullReport(HANDLE token, const Versions& versions, bool includeLinked, bool volatileIds)
{
    Builder out;
    out.Append(ExpectedHeader());
    const qzdumptest::Lines objectLines = qzdumptest::ExpectedInfoLines(token, SE_KERNEL_OBJECT);
    out.Line(L"TOKEN ACCESS GRANTED: " + GrantedAccessText(objectLines));
    SidItem(out, token, TokenUser, L"TOKEN USER", false);
    SessionItem(out, token);
    SidItem(out, token, TokenOwner, L"TOKEN OWNER", false);
    if (versions.vista)
        VistaItems(out, token);
    out.Line(std::wstring(L"TOKEN RESTRICTED: ") + (::IsTokenRestricted(token) ? L"Yes" : L"No"));
    OriginAndSource(out, token);
    StatisticsItem(out, token, volatileIds);
    SidItem(out, token, TokenPrimaryGroup, L"TOKEN PRIMARY GROUP", false);
    GroupsItem(out, token, false);
    PrivilegesItem(out, token);
    DefaultDaclItem(out, token);
    ObjectSecurityItem(out, objectLines);
    if (versions.win8)
        Win8Items(out, token);
    if (includeLinked && versions.vista)
        LinkedItem(out, token, versions);
    return out.report;
}

// "0x<hex> (<decimal>)" read back; false when the text is not of that form
// or the two numbers differ.
bool ParseHexAndDecimal(const std::wstring& text)
{
    unsigned long long hex = 0;
    long long decimal = 0;
    const std::string narrow = qztest::ToUtf8(text);
    if (std::sscanf(narrow.c_str(), "0x%llX (%lld)", &hex, &decimal) != 2)
        return false;
    return static_cast<long long>(hex) == decimal && narrow == qztest::ToUtf8(HexAndDecimal(decimal));
}

std::string Canonical(const std::string& sddl)
{
    CqzScopedLocal<void> descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(qztest::FromUtf8(sddl).c_str(), SDDL_REVISION_1,
                                                                descriptor.Receive(), nullptr))
        return "(unconvertible " + sddl + ")";
    return qztest::SddlOf(descriptor.Get(), DACL_SECURITY_INFORMATION);
}
} // namespace

bool RunningVersion(DWORD& major, DWORD& minor)
{
    RTL_OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    const auto getVersion = CqzResolveExport<RtlGetVersionFn>(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion");
    if (getVersion == nullptr || getVersion(&info) < 0)
        return false;
    major = info.dwMajorVersion;
    minor = info.dwMinorVersion;
    return true;
}

Versions RunningVersions()
{
    DWORD major = 0;
    DWORD minor = 0;
    Versions versions;
    if (RunningVersion(major, minor))
    {
        versions.vista = major >= 6;
        versions.win8 = major > 6 || (major == 6 && minor >= 2);
    }
    return versions;
}

Report ExpectedHeader()
{
    Builder out;
    out.Line(L"");
    out.Line(L"    *** Access Token Info start ***");
    out.Line(L"");
    return out.report;
}

Report ExpectedEmptyReport()
{
    Builder out;
    out.Append(ExpectedHeader());
    out.Line(L"TOKEN HANDLE IS NULL");
    return out.report;
}

Report ExpectedShortReport(HANDLE token, bool censor)
{
    Builder out;
    out.Append(ExpectedHeader());
    SidItem(out, token, TokenUser, L"TOKEN USER", censor);
    SessionItem(out, token);
    SidItem(out, token, TokenOwner, L"TOKEN OWNER", censor);
    SidItem(out, token, TokenPrimaryGroup, L"TOKEN PRIMARY GROUP", censor);
    GroupsItem(out, token, censor);
    PrivilegesItem(out, token);
    return out.report;
}

Report ExpectedFullReport(HANDLE token, const Versions& versions, bool includeLinked)
{
    return FullReport(token, versions, includeLinked, false);
}

std::vector<std::string> Compare(const Lines& actual, const Report& expected)
{
    std::vector<std::string> problems;
    size_t i = 0;
    auto problem = [&](size_t line, const std::string& what)
    {
        std::ostringstream text;
        text << "line " << line << ": " << what << " ["
             << (line < actual.size() ? qztest::ToUtf8(actual[line]) : "<none>") << "]";
        problems.push_back(text.str());
    };
    for (const Expected& item : expected)
    {
        if (problems.size() >= 20)
            break;
        if (i >= actual.size())
        {
            problem(i, "missing: " + qztest::ToUtf8(item.text));
            continue;
        }
        const std::wstring& line = actual[i];
        switch (item.kind)
        {
        case Expected::Kind::Line:
            if (line != item.text)
                problem(i, "expected [" + qztest::ToUtf8(item.text) + "], got");
            ++i;
            break;
        case Expected::Kind::AnyLuid:
            if (line.compare(0, item.text.size(), item.text) != 0 || !ParseHexAndDecimal(line.substr(item.text.size())))
                problem(i, "expected " + qztest::ToUtf8(item.text) + "0x<hex> (<decimal>), got");
            ++i;
            break;
        case Expected::Kind::DefaultDacl:
        {
            const std::wstring countLine =
                item.text + Format("   DACL contains %d ACEs", static_cast<int>(item.aceCount));
            if (line != countLine)
            {
                problem(i, "expected [" + qztest::ToUtf8(countLine) + "], got");
                ++i;
                break;
            }
            ++i;
            const size_t end = std::min<size_t>(actual.size(), i + item.aceCount);
            const Lines aceLines(actual.begin() + static_cast<std::ptrdiff_t>(i),
                                 actual.begin() + static_cast<std::ptrdiff_t>(end));
            const std::string sddl = DaclSddlOfAceLines(aceLines);
            if (aceLines.size() != item.aceCount || sddl != item.sddl)
                problem(i, "ACE lines give " + sddl + ", the token's default DACL is " + item.sddl + "; first");
            i = end;
            break;
        }
        case Expected::Kind::SecurityAttributes:
            if (line != item.text)
                problem(i, "expected [" + qztest::ToUtf8(item.text) + "], got");
            ++i;
            while (i < actual.size() &&
                   (actual[i].rfind(L"   SECURITY ATTRIBUTE ", 0) == 0 || actual[i].rfind(L"      VALUE ", 0) == 0))
                ++i;
            break;
        }
    }
    if (problems.empty() && i != actual.size())
        problem(i, "lines after the end of the report, first");
    return problems;
}

std::string Describe(const std::vector<std::string>& problems)
{
    std::string text;
    for (const std::string& problem : problems)
        text += problem + "\n";
    return text;
}

std::wstring TraceString(PSID sid)
{
    if (sid == nullptr)
        return L"PSID=[NULL]";
    if (!::IsValidSid(sid))
        return L"[Invalid SID]";
    const std::wstring sidText = qztest::SidToString(sid);
    // Built-in capabilities (S-1-15-3-<rid>) are named by their RID; the
    // device capabilities (five sub-authorities) do not occur here.
    const SID_IDENTIFIER_AUTHORITY* authority = ::GetSidIdentifierAuthority(sid);
    if (authority->Value[5] == 15 && *::GetSidSubAuthorityCount(sid) == 2 && *::GetSidSubAuthority(sid, 0) == 3)
    {
        const DWORD rid = *::GetSidSubAuthority(sid, 1);
        const wchar_t* const names[] = {L"InternetClient",
                                        L"InternetClientServer",
                                        L"PrivateNetworkClientServer",
                                        L"PicturesLibrary",
                                        L"VideosLibrary",
                                        L"MusicLibrary",
                                        L"DocumentsLibrary",
                                        L"EnterpriseAuthentication",
                                        L"SharedUserCertificates",
                                        L"RemovableStorage"};
        const std::wstring name = rid >= 1 && rid <= 10 ? std::wstring(names[rid - 1])
                                  : rid == 4096         ? std::wstring(L"InternetExplorer")
                                                        : Format("0x%.8X", static_cast<unsigned>(rid));
        return L"Capability=[" + name + L"] SID=[" + sidText + L"]";
    }
    return qztest::AccountTraceText(sid);
}

std::wstring GroupAttributeWords(DWORD attributes)
{
    if (attributes == 0)
        return L"00000000";
    struct Word
    {
        DWORD bits;
        const wchar_t* name;
    };
    const Word words[] = {
        {0x1, L"Mandatory"},      {0x2, L"EnabledByDefault"}, {0x4, L"Enabled"},           {0x8, L"Owner"},
        {0x10, L"Deny"},          {0x20, L"Integrity"},       {0x40, L"IntegrityEnabled"}, {0xC0000000, L"LogonID"},
        {0x20000000, L"Resource"}};
    std::wstring text;
    for (const Word& word : words)
    {
        if ((attributes & word.bits) != word.bits)
            continue;
        text += (text.empty() ? L"" : L"|") + std::wstring(word.name);
    }
    const DWORD rest = attributes & 0x1FFFFF80;
    if (rest != 0)
        text += (text.empty() ? L"" : L"|") + Format("%.8X", static_cast<unsigned>(rest));
    return text;
}

std::wstring Censored(const std::wstring& text)
{
    const size_t dash = text.rfind(L'-');
    size_t marker = text.find(L"SID=[S");
    size_t start = marker == std::wstring::npos ? std::wstring::npos : marker + 6;
    if (marker == std::wstring::npos)
    {
        marker = text.find(L'S');
        start = marker == std::wstring::npos ? std::wstring::npos : marker + 1;
    }
    if (dash == std::wstring::npos || start == std::wstring::npos || start > dash)
        return L"Error Censoring";
    std::wstring censored = text;
    for (size_t k = start; k < dash; ++k)
        censored[k] = L'*';
    return censored;
}

std::wstring ExpirationText(LONGLONG expiration)
{
    const ULONGLONG bits = static_cast<ULONGLONG>(expiration);
    if (bits == 0)
        return L"0";
    if (bits == 0x7FFFFFFFFFFFFFFFull)
        return L"MAXLONG64";
    if (bits == 0xFFFFFFFFFFFFFFFFull)
        return L"MAXULONG64";
    FILETIME utc = {static_cast<DWORD>(bits), static_cast<DWORD>(bits >> 32)};
    FILETIME local = {};
    SYSTEMTIME time = {};
    if (expiration < 0 || !::FileTimeToLocalFileTime(&utc, &local) || !::FileTimeToSystemTime(&local, &time))
        return Format("0x%llX", static_cast<unsigned long long>(bits));
    const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    return Format("%lld (%02u-%s-%04u %02u:%02u)", static_cast<long long>(expiration), time.wDay,
                  months[time.wMonth - 1], time.wYear, time.wHour, time.wMinute);
}

std::string DaclSddlOfAceLines(const Lines& aceLines)
{
    std::string sddl = "D:";
    for (const std::wstring& wide : aceLines)
    {
        const std::string line = qztest::ToUtf8(wide);
        int index = 0;
        int type = 0;
        unsigned flags = 0;
        unsigned mask = 0;
        int consumed = 0;
        if (std::sscanf(line.c_str(), "      ACE %d: type=[%d=%*[^]]] flags=[%n", &index, &type, &consumed) != 2 ||
            consumed == 0)
            return "(unparsable)";
        const char* rest = line.c_str() + consumed;
        if (std::strncmp(rest, "0]", 2) == 0)
            rest += 2;
        else if (std::sscanf(rest, "0x%2X=%*[^]]]", &flags) == 1 && std::strchr(rest, ']') != nullptr)
            rest = std::strchr(rest, ']') + 1;
        else
            return "(unparsable)";
        if (std::sscanf(rest, " mask=[%8X]", &mask) != 1)
            return "(unparsable)";
        const char* sid = std::strstr(rest, "SID=[");
        const char* sidEnd = sid != nullptr ? std::strchr(sid + 5, ']') : nullptr;
        if (sidEnd == nullptr)
            return "(unparsable)";
        const char* const typeLetters[] = {"A", "D", "AU", "AL"};
        if (type < 0 || type > 3)
            return "(unparsable)";
        std::string flagLetters;
        const struct
        {
            unsigned bit;
            const char* letters;
        } flagWords[] = {{0x1, "OI"}, {0x2, "CI"}, {0x4, "NP"}, {0x8, "IO"}, {0x10, "ID"}, {0x40, "SA"}, {0x80, "FA"}};
        for (const auto& word : flagWords)
        {
            if ((flags & word.bit) != 0)
                flagLetters += word.letters;
        }
        char rights[16];
        std::snprintf(rights, sizeof(rights), "0x%x", mask);
        sddl += std::string("(") + typeLetters[type] + ";" + flagLetters + ";" + rights + ";;;" +
                std::string(sid + 5, sidEnd) + ")";
    }
    return Canonical(sddl);
}

std::string DaclSddl(const ACL* acl)
{
    SECURITY_DESCRIPTOR descriptor = {};
    ::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&descriptor, TRUE, const_cast<ACL*>(acl), FALSE);
    return qztest::SddlOf(&descriptor, DACL_SECURITY_INFORMATION);
}
} // namespace qzreporttest
