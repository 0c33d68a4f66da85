// The full token report: every item the system tells about the token, its
// default DACL, the token object's own security, the Windows 8 items and the
// linked token.
#include "common/security/access_token.h"

#include <cstddef>

#include "common/security/access_token_internal.h"
#include "common/security/access_token_report_internal.h"
#include "common/security/qz_handle.h"
#include "common/security/security.h"
#include "common/security/token_security_attributes.h"
#include "common/util/os.h"
#include "common/util/util.h"
#include "trace/trace.h"

using qzaccesstoken::CqzBorrowedTokenObject;
using qzaccesstoken::kClass;

namespace
{
// A LUID as the one 64-bit number the report shows.
LONGLONG LuidValue(const LUID& luid)
{
    return static_cast<LONGLONG>((static_cast<ULONGLONG>(static_cast<DWORD>(luid.HighPart)) << 32) | luid.LowPart);
}

const wchar_t* YesNo(bool value, const wchar_t* yes, const wchar_t* no)
{
    return value ? yes : no;
}

void DumpGrantedAccess(CqzAccessToken& token, CqzTextSink& sink)
{
    CqzBorrowedTokenObject object(token.GetHandle());
    ACCESS_MASK granted = 0;
    // Not readable: 0, without an error line of its own.
    object.GetGrantedAccess(granted);
    sink.PrintfLine(L"TOKEN ACCESS GRANTED: 0x%.8X", static_cast<unsigned>(granted));
}

// Mandatory policy, integrity level, elevation and UI access (Vista on).
void DumpVistaItems(CqzAccessToken& token, CqzTextSink& sink)
{
    CqzScopedHeap<BYTE> block;
    DWORD size = 0;
    // Vista's record ends with the flags; later systems append fields.
    const DWORD needed = offsetof(TOKEN_ACCESS_INFORMATION, Flags) + sizeof(DWORD);
    if (token.GetTokenInformationAlloc(TokenAccessInformation, block, size) && size >= needed)
    {
        const auto* access = reinterpret_cast<const TOKEN_ACCESS_INFORMATION*>(block.Get());
        sink.PrintfLine(L"TOKEN MANDATORY POLICY: %d", static_cast<int>(access->MandatoryPolicy.Policy));
        sink.PrintfLine(L"TOKEN FLAGS: %.8X", static_cast<unsigned>(access->Flags));
    }
    else
    {
        sink.PrintfLine(L"TOKEN_ACCESS_INFORMATION: Error");
    }

    CSid label;
    if (token.GetIntegrityLevel(label))
        sink.PrintfLine(L"TOKEN INTEGRITY LEVEL: %s", CqzSid(label).GetTraceString().c_str());
    else
        sink.PrintfLine(L"TOKEN INTEGRITY LEVEL: Error");

    TOKEN_ELEVATION_TYPE elevationType = TokenElevationTypeDefault;
    if (token.GetElevationType(elevationType))
        sink.PrintfLine(L"TOKEN ELEVATION TYPE: %s", CqzAccessToken::GetElevationTypeName(elevationType));
    else
        sink.PrintfLine(L"TOKEN ELEVATION TYPE: Error");

    bool elevated = false;
    if (token.IsElevated(elevated))
        sink.PrintfLine(L"TOKEN ELEVATION: Token is %s", YesNo(elevated, L"Elevated", L"Not Elevated"));
    else
        sink.PrintfLine(L"TOKEN ELEVATION: Error");

    bool uiAccess = false;
    if (token.GetUIAccess(uiAccess))
        sink.PrintfLine(L"TOKEN UI ACCESS: %s", YesNo(uiAccess, L"True", L"False"));
    else
        sink.PrintfLine(L"TOKEN UI ACCESS: Error");
}

void DumpOriginAndSource(CqzAccessToken& token, CqzTextSink& sink)
{
    LUID origin = {};
    if (token.GetOrigin(origin))
        sink.PrintfLine(L"TOKEN ORIGIN: 0x%I64X (%I64d)", LuidValue(origin), LuidValue(origin));
    else
        sink.PrintfLine(L"TOKEN ORIGIN: Error");

    TOKEN_SOURCE source = {};
    if (token.GetTokenInformationFixed(TokenSource, &source, sizeof(source)))
    {
        const LONGLONG id = LuidValue(source.SourceIdentifier);
        sink.PrintfLine(L"SOURCE: Name=[%.8S] Id=0x%I64X (%I64d)", source.SourceName, id, id);
    }
    else
    {
        sink.PrintfLine(L"TOKEN SOURCE: Error");
    }
}

void DumpExpirationTime(CqzTextSink& sink, LONGLONG expiration)
{
    const ULONGLONG bits = static_cast<ULONGLONG>(expiration);
    std::wstring dateTime;
    if (bits == 0)
        sink.PrintfLine(L"TOKEN EXPIRATION TIME: 0");
    else if (bits == 0x7FFFFFFFFFFFFFFFull)
        sink.PrintfLine(L"TOKEN EXPIRATION TIME: MAXLONG64");
    else if (bits == 0xFFFFFFFFFFFFFFFFull)
        sink.PrintfLine(L"TOKEN EXPIRATION TIME: MAXULONG64");
    else if (CqzTime::FormatDateTime(bits, 0, true, dateTime))
        sink.PrintfLine(L"TOKEN EXPIRATION TIME: %I64d (%s)", expiration, dateTime.c_str());
    else
        sink.PrintfLine(L"TOKEN EXPIRATION TIME: 0x%I64X", expiration);
}

void DumpStatistics(CqzAccessToken& token, CqzTextSink& sink)
{
    TOKEN_STATISTICS statistics = {};
    if (!token.GetTokenInformationFixed(TokenStatistics, &statistics, sizeof(statistics)))
    {
        sink.PrintfLine(L"TOKEN STATISTICS: Error");
        return;
    }
    const LONGLONG authenticationId = LuidValue(statistics.AuthenticationId);
    const LONGLONG tokenId = LuidValue(statistics.TokenId);
    const LONGLONG modifiedId = LuidValue(statistics.ModifiedId);
    sink.PrintfLine(L"TOKEN AUTHENTICATION ID: 0x%I64X (%I64d)", authenticationId, authenticationId);
    sink.PrintfLine(L"TOKEN ID: 0x%I64X (%I64d)", tokenId, tokenId);
    sink.PrintfLine(L"TOKEN MODIFIED ID: 0x%I64X (%I64d)", modifiedId, modifiedId);
    DumpExpirationTime(sink, statistics.ExpirationTime.QuadPart);

    switch (statistics.TokenType)
    {
    case TokenPrimary:
        sink.PrintfLine(L"TOKEN TYPE: %s", L"TokenPrimary");
        break;
    case TokenImpersonation:
        sink.PrintfLine(L"TOKEN TYPE: %s", L"TokenImpersonation");
        break;
    default:
        sink.PrintfLine(L"TOKEN TYPE: %d", static_cast<int>(statistics.TokenType));
        break;
    }

    static const wchar_t* const kLevelNames[] = {L"SecurityAnonymous", L"SecurityIdentification",
                                                 L"SecurityImpersonation", L"SecurityDelegation"};
    const int level = static_cast<int>(statistics.ImpersonationLevel);
    if (level >= 0 && level < static_cast<int>(sizeof(kLevelNames) / sizeof(kLevelNames[0])))
        sink.PrintfLine(L"TOKEN IMPERSONATION LEVEL: %s", kLevelNames[level]);
    else
        sink.PrintfLine(L"TOKEN IMPERSONATION LEVEL: %d", level);

    sink.PrintfLine(L"TOKEN STATISTICS: DynamicCharged=%d, DynamicAvailable=%d, GroupCount=%d, PrivilegeCount=%d",
                    static_cast<int>(statistics.DynamicCharged), static_cast<int>(statistics.DynamicAvailable),
                    static_cast<int>(statistics.GroupCount), static_cast<int>(statistics.PrivilegeCount));
}

// Whether the ACL lies whole inside the block the system filled.
bool AclInsideBlock(const ACL* acl, const BYTE* block, DWORD size)
{
    const BYTE* start = reinterpret_cast<const BYTE*>(acl);
    if (start < block || start > block + size || static_cast<size_t>(block + size - start) < sizeof(ACL))
        return false;
    return acl->AclSize >= sizeof(ACL) && acl->AclSize <= static_cast<size_t>(block + size - start);
}

void DumpDefaultDacl(CqzAccessToken& token, CqzTextSink& sink)
{
    // Read at exactly the length the system asks for.
    CqzScopedHeap<BYTE> block;
    DWORD size = 0;
    if (!token.GetTokenInformationAlloc(TokenDefaultDacl, block, size) || size < sizeof(TOKEN_DEFAULT_DACL))
    {
        sink.PrintfLine(L"DEFAULT DACL: Error");
        return;
    }
    const ACL* dacl = reinterpret_cast<const TOKEN_DEFAULT_DACL*>(block.Get())->DefaultDacl;
    if (dacl != nullptr && !AclInsideBlock(dacl, block.Get(), size))
    {
        sink.PrintfLine(L"DEFAULT DACL: Error");
        return;
    }
    sink.Printf(L"DEFAULT DACL:");
    // No default DACL (objects get a NULL DACL) is not the same as an empty
    // one (objects get no access at all).
    if (dacl == nullptr)
        CqzSecurityDesc::DumpAcl(nullptr, sink);
    else
        CqzDacl(dacl).DumpDacl(sink);
}

void DumpObjectSecurity(CqzAccessToken& token, CqzTextSink& sink)
{
    sink.Printf(L"TOKEN SECURITY : ");
    CqzBorrowedTokenObject object(token.GetHandle());
    object.DumpInfo(sink);
}

// App container, application identity and capabilities (Windows 8 on).
void DumpAppContainer(CqzAccessToken& token, CqzTextSink& sink)
{
    CSid container;
    if (token.GetAppContainerSid(container) && container.IsValid())
        sink.PrintfLine(L"APP CONTAINER SID: %s", CqzSid(container).GetTraceString().c_str());

    std::wstring appUserModelId;
    if (token.GetApplicationUserModelId(appUserModelId) && !appUserModelId.empty())
        sink.PrintfLine(L"APPLICATION USER MODEL ID: %s", appUserModelId.c_str());

    CTokenGroups capabilities;
    if (token.GetCapabilities(capabilities))
    {
        sink.PrintfLine(L"TOKEN CAPABILITIES: Count=%u", capabilities.GetCount());
        qztokenreport::DumpGroupLines(sink, capabilities, L"   CAPABILITY %.2d: %s", false);
    }
}

void DumpSecurityAttributes(CqzAccessToken& token, CqzTextSink& sink)
{
    CqzTokenSecurityAttributes attributes;
    DWORD error = ERROR_SUCCESS;
    if (attributes.FromAccessToken(token.GetHandle(), error))
        attributes.Dump(sink);
    else
        sink.PrintfLine(L"TOKEN SECURITY ATTRIBUTES: ERROR");
}

void DumpLinkedToken(CqzAccessToken& token, CqzTextSink& sink)
{
    CqzAccessToken linked;
    if (!token.GetLinkedToken(linked))
    {
        sink.PrintfLine(L"\r\n    *** Cannot get linked token ***");
        return;
    }
    if (linked.GetHandle() == nullptr)
    {
        sink.PrintfLine(L"\r\n    *** Linked token is NULL ***");
        return;
    }
    sink.PrintfLine(L"\r\n    *** Linked token ***\r\n");
    // One level only: the linked token's own linked token is not followed.
    linked.Dump(sink, false);
}
} // namespace

bool CqzAccessToken::Dump(CqzTextSink& sink, bool includeLinked)
{
    QZ_STACK_NAME("Dump", kClass);
    const qztokenreport::Start start = qztokenreport::WriteHeader(*this, sink);
    if (start != qztokenreport::Start::Items)
        return start == qztokenreport::Start::NoToken;

    const bool vista = CqzOperatingSystem::IsVistaOrLater();
    const bool win8 = CqzOperatingSystem::IsWin8OrLater();

    DumpGrantedAccess(*this, sink);
    qztokenreport::DumpSidItem(*this, sink, TokenUser, L"TOKEN USER", false);
    qztokenreport::DumpSessionId(*this, sink);
    qztokenreport::DumpSidItem(*this, sink, TokenOwner, L"TOKEN OWNER", false);
    if (vista)
        DumpVistaItems(*this, sink);
    sink.PrintfLine(L"TOKEN RESTRICTED: %s", YesNo(::IsTokenRestricted(m_hToken) != FALSE, L"Yes", L"No"));
    DumpOriginAndSource(*this, sink);
    DumpStatistics(*this, sink);
    qztokenreport::DumpSidItem(*this, sink, TokenPrimaryGroup, L"TOKEN PRIMARY GROUP", false);
    qztokenreport::DumpGroups(*this, sink, false);
    qztokenreport::DumpPrivileges(*this, sink);
    DumpDefaultDacl(*this, sink);
    DumpObjectSecurity(*this, sink);
    if (win8)
    {
        DumpAppContainer(*this, sink);
        DumpSecurityAttributes(*this, sink);
    }
    if (includeLinked && vista)
        DumpLinkedToken(*this, sink);
    return true;
}
