// The token wrapper's core: reading and writing token information, the
// integrity level, elevation, the linked token, group attributes, the
// precondition checks and the name tables.
#include "common/security/access_token.h"

#include <cstring>
#include <new>

#include "common/ntapi/ntapi.h"
#include "common/security/access_token_internal.h"
#include "common/security/security.h"
#include "common/util/os.h"
#include "common/util/scoped.h"
#include "common/util/token_information.h"
#include "trace/trace.h"

using qzaccesstoken::kClass;

namespace
{
const wchar_t* const kTokenInformationClassNames[] = {
    L"TokenUser",
    L"TokenGroups",
    L"TokenPrivileges",
    L"TokenOwner",
    L"TokenPrimaryGroup",
    L"TokenDefaultDacl",
    L"TokenSource",
    L"TokenType",
    L"TokenImpersonationLevel",
    L"TokenStatistics",
    L"TokenRestrictedSids",
    L"TokenSessionId",
    L"TokenGroupsAndPrivileges",
    L"TokenSessionReference",
    L"TokenSandBoxInert",
    L"TokenAuditPolicy",
    L"TokenOrigin",
    L"TokenElevationType",
    L"TokenLinkedToken",
    L"TokenElevation",
    L"TokenHasRestrictions",
    L"TokenAccessInformation",
    L"TokenVirtualizationAllowed",
    L"TokenVirtualizationEnabled",
    L"TokenIntegrityLevel",
    L"TokenUIAccess",
    L"TokenMandatoryPolicy",
    L"TokenLogonSid",
    L"TokenIsAppContainer",
    L"TokenCapabilities",
    L"TokenAppContainerSid",
    L"TokenAppContainerNumber",
    L"TokenUserClaimAttributes",
    L"TokenDeviceClaimAttributes",
    L"TokenRestrictedUserClaimAttributes",
    L"TokenRestrictedDeviceClaimAttributes",
    L"TokenDeviceGroups",
    L"TokenRestrictedDeviceGroups",
    L"TokenSecurityAttributes",
    L"TokenIsRestricted",
};
} // namespace

namespace qzaccesstoken
{
// S-1-5-32-<rid>.
CSid BuiltinGroupSid(DWORD rid)
{
    BYTE buffer[SECURITY_MAX_SID_SIZE] = {};
    SID_IDENTIFIER_AUTHORITY authority = {SECURITY_NT_AUTHORITY};
    CSid sid;
    if (::InitializeSid(buffer, &authority, 2))
    {
        *::GetSidSubAuthority(buffer, 0) = SECURITY_BUILTIN_DOMAIN_RID;
        *::GetSidSubAuthority(buffer, 1) = rid;
        sid.LoadAccount(static_cast<PSID>(buffer));
    }
    return sid;
}

// S-1-16-<rid>.
CSid IntegrityLabelSid(DWORD rid)
{
    BYTE buffer[SECURITY_MAX_SID_SIZE] = {};
    SID_IDENTIFIER_AUTHORITY authority = {SECURITY_MANDATORY_LABEL_AUTHORITY};
    CSid sid;
    if (::InitializeSid(buffer, &authority, 1))
    {
        *::GetSidSubAuthority(buffer, 0) = rid;
        sid.LoadAccount(static_cast<PSID>(buffer));
    }
    return sid;
}
} // namespace qzaccesstoken

// ---------------------------------------------------------------------------
// Borrowed handles
// ---------------------------------------------------------------------------

bool CqzAccessToken::GetTokenInformationFixed(HANDLE hToken, TOKEN_INFORMATION_CLASS infoClass, void* buffer,
                                              DWORD size)
{
    return _OnBorrowedHandle(hToken, [&](CqzAccessToken& token)
                             { return token.GetTokenInformationFixed(infoClass, buffer, size); });
}

bool CqzAccessToken::GetTokenInformationAlloc(HANDLE hToken, TOKEN_INFORMATION_CLASS infoClass,
                                              CqzScopedHeap<BYTE>& buffer, DWORD& size)
{
    return _OnBorrowedHandle(hToken, [&](CqzAccessToken& token)
                             { return token.GetTokenInformationAlloc(infoClass, buffer, size); });
}

bool CqzAccessToken::SetTokenInformationValue(HANDLE hToken, TOKEN_INFORMATION_CLASS infoClass, const void* buffer,
                                              DWORD size)
{
    return _OnBorrowedHandle(hToken, [&](CqzAccessToken& token)
                             { return token.SetTokenInformationValue(infoClass, buffer, size); });
}

bool CqzAccessToken::GetIntegrityLevel(HANDLE hToken, CSid& label)
{
    return _OnBorrowedHandle(hToken, [&](CqzAccessToken& token) { return token.GetIntegrityLevel(label); });
}

bool CqzAccessToken::GetIntegrityLevelRid(HANDLE hToken, DWORD& rid)
{
    return _OnBorrowedHandle(hToken, [&](CqzAccessToken& token) { return token.GetIntegrityLevelRid(rid); });
}

bool CqzAccessToken::GetElevationType(HANDLE hToken, TOKEN_ELEVATION_TYPE& type)
{
    return _OnBorrowedHandle(hToken, [&](CqzAccessToken& token) { return token.GetElevationType(type); });
}

bool CqzAccessToken::IsElevated(HANDLE hToken, bool& elevated)
{
    return _OnBorrowedHandle(hToken, [&](CqzAccessToken& token) { return token.IsElevated(elevated); });
}

bool CqzAccessToken::GetGroupAttributes(HANDLE hToken, const CSid& sid, DWORD& attributes)
{
    return _OnBorrowedHandle(hToken, [&](CqzAccessToken& token) { return token.GetGroupAttributes(sid, attributes); });
}

// ---------------------------------------------------------------------------
// Core operations
// ---------------------------------------------------------------------------

bool CqzAccessToken::GetTokenInformationFixed(TOKEN_INFORMATION_CLASS infoClass, void* buffer, DWORD size)
{
    DWORD returned = 0;
    const bool ok = CqzReadTokenInformationInto(m_hToken, infoClass, buffer, size, returned);
    m_dwLastError = ::GetLastError();
    if (ok)
        return true;
    QZ_STACK_NAME("GetTokenInformationFixed", kClass);
    if (m_dwLastError == ERROR_INSUFFICIENT_BUFFER)
    {
        const wchar_t* className = GetTokenInformationClassName(infoClass);
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: GetTokenInformation(" << className << ") Insufficient buffer size " << size
                                              << ", required size " << returned);
    }
    else if (m_dwLastError == ERROR_NO_SUCH_LOGON_SESSION && infoClass == TokenLinkedToken)
    {
        QZTRACE(QZT_DEBUG, kClass,
                "INFO: GetTokenInformation(TokenLinkedToken) failed. LastError=ERROR_NO_SUCH_LOGON_SESSION.");
    }
    else
    {
        const wchar_t* className = GetTokenInformationClassName(infoClass);
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: GetTokenInformation(" << className << ") failed. LastError=" << m_dwLastError);
    }
    return false;
}

bool CqzAccessToken::GetTokenInformationAlloc(TOKEN_INFORMATION_CLASS infoClass, CqzScopedHeap<BYTE>& buffer,
                                              DWORD& size)
{
    buffer.Reset();
    size = 0;
    if (m_hToken == nullptr)
    {
        QZ_STACK_NAME("GetTokenInformationAlloc", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: m_hToken is NULL");
        m_dwLastError = ERROR_INVALID_HANDLE;
        return false;
    }

    CqzTokenInfoResult read;
    const bool ok = CqzReadTokenInformation(m_hToken, infoClass, buffer, read, CqzTokenInfoOptions(),
                                            [this] { m_lastNtStatus = CqzNTAPI::RtlGetLastNtStatus(); });
    m_dwLastError = read.error;
    if (ok)
    {
        size = read.returnedSize;
        return true;
    }
    QZ_STACK_NAME("GetTokenInformationAlloc", kClass);
    const wchar_t* className = GetTokenInformationClassName(infoClass);
    switch (read.failedStep)
    {
    case CqzTokenInfoStep::SizeQuery:
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: GetTokenInformation(" << className << ", NULL) failed. LastError=" << m_dwLastError);
        break;
    case CqzTokenInfoStep::ZeroSize:
        QZTRACE(QZT_ERROR, kClass, "ERROR: GetTokenInformation(" << className << ", NULL) returned zero size.");
        break;
    case CqzTokenInfoStep::Allocation:
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: AllocTokenInformation(" << read.reportedSize
                                                << ") failed. TokenInformationClass=" << className);
        break;
    default:
        // A failed read, or a list whose count does not fit the bytes read
        // (error 13): a token that changed between the two calls fails.
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: GetTokenInformation(" << className << ", " << read.reportedSize
                                              << ") failed. LastError=" << m_dwLastError);
        break;
    }
    return false;
}

bool CqzAccessToken::SetTokenInformationValue(TOKEN_INFORMATION_CLASS infoClass, const void* buffer, DWORD size)
{
    ::SetLastError(ERROR_SUCCESS);
    const BOOL ok = ::SetTokenInformation(m_hToken, infoClass, const_cast<void*>(buffer), size);
    const DWORD error = ::GetLastError();
    m_lastNtStatus = CqzNTAPI::RtlGetLastNtStatus();
    m_dwLastError = ok ? ERROR_SUCCESS : error;
    if (ok)
        return true;
    QZ_STACK_NAME("SetTokenInformationValue", kClass);
    const wchar_t* className = GetTokenInformationClassName(infoClass);
    QZTRACE(QZT_ERROR, kClass, "ERROR: SetTokenInformation(" << className << ") failed. LastError=" << m_dwLastError);
    return false;
}

bool CqzAccessToken::GetIntegrityLevel(CSid& label)
{
    if (!_RequireVista())
        return false;
    m_dwLastError = ERROR_SUCCESS;
    CqzScopedHeap<BYTE> block;
    DWORD size = 0;
    if (!GetTokenInformationAlloc(TokenIntegrityLevel, block, size))
        return false;
    const auto* mandatoryLabel = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(block.Get());
    if (size < sizeof(TOKEN_MANDATORY_LABEL) || mandatoryLabel->Label.Sid == nullptr)
    {
        QZ_STACK_NAME("GetIntegrityLevel", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: TOKEN_MANDATORY_LABEL contains NULL Sid pointer.");
        m_dwLastError = ERROR_INVALID_DATA;
        return false;
    }
    if (!label.LoadAccount(mandatoryLabel->Label.Sid))
    {
        m_dwLastError = ERROR_INVALID_SID;
        return false;
    }
    return true;
}

bool CqzAccessToken::GetIntegrityLevelRid(DWORD& rid)
{
    m_dwLastError = ERROR_SUCCESS;
    CqzSid label;
    if (!GetIntegrityLevel(label))
        return false;
    if (!label.IsValidIntegrityLevelSid(rid))
    {
        m_dwLastError = ERROR_INVALID_SID;
        return false;
    }
    return true;
}

bool CqzAccessToken::GetElevationType(TOKEN_ELEVATION_TYPE& type)
{
    if (!_RequireVista())
        return false;
    DWORD value = 0;
    if (!GetTokenInformationFixed(TokenElevationType, &value, sizeof(value)))
        return false;
    type = static_cast<TOKEN_ELEVATION_TYPE>(value);
    return true;
}

bool CqzAccessToken::IsElevated(bool& elevated)
{
    if (!_RequireVista())
        return false;
    DWORD value = 0;
    if (!GetTokenInformationFixed(TokenElevation, &value, sizeof(value)))
        return false;
    elevated = value != 0;
    return true;
}

bool CqzAccessToken::GetLinkedToken(CAccessToken& linkedToken)
{
    if (!_RequireVista())
        return false;
    // A token of type Default is not split: it has no linked token.
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    if (GetElevationType(type) && type == TokenElevationTypeDefault)
        return false;
    HANDLE hLinked = nullptr;
    if (!GetTokenInformationFixed(TokenLinkedToken, &hLinked, sizeof(hLinked)))
        return false;
    linkedToken.Attach(hLinked);
    return true;
}

bool CqzAccessToken::GetGroupAttributes(const CSid& sid, DWORD& attributes)
{
    attributes = 0;
    if (!sid.IsValid())
    {
        m_dwLastError = ERROR_INVALID_SID;
        QZ_STACK_NAME("GetGroupAttributes", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: Invalid Sid parameter");
        return false;
    }
    if (m_hToken == nullptr)
    {
        m_dwLastError = ERROR_INVALID_HANDLE;
        QZ_STACK_NAME("GetGroupAttributes", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: Token is NULL");
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    CTokenGroups groups;
    std::vector<CSid> sids;
    std::vector<DWORD> groupAttributes;
    if (!GetGroups(&groups) || !groups.GetSidsAndAttributes(&sids, &groupAttributes))
    {
        m_dwLastError = ::GetLastError();
        QZ_STACK_NAME("GetGroupAttributes", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: GetGroups() gailed. LastError=" << m_dwLastError);
        return false;
    }
    if (sids.size() != groupAttributes.size())
    {
        m_dwLastError = ERROR_INVALID_DATA;
        QZ_STACK_NAME("GetGroupAttributes", kClass);
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: GetSidsAndAttributes returned inconsistent results. SidsCount="
                    << static_cast<unsigned long>(sids.size())
                    << ", AttrCount=" << static_cast<unsigned long>(groupAttributes.size()));
        return false;
    }
    for (size_t i = 0; i < sids.size(); ++i)
    {
        if (sids[i].IsValid() && ::EqualSid(sids[i].GetPSID(), sid.GetPSID()))
        {
            attributes = groupAttributes[i];
            return true;
        }
    }
    return false;
}

bool CqzAccessToken::_RequireVista()
{
    if (CqzOperatingSystem::IsVistaOrLater())
        return true;
    m_dwLastError = ERROR_NOT_SUPPORTED;
    return false;
}

bool CqzAccessToken::_RequireToken(const char* nullMessage)
{
    if (m_hToken != nullptr)
        return true;
    QZTRACE(QZT_ERROR, kClass, nullMessage);
    m_dwLastError = ERROR_INVALID_HANDLE;
    return false;
}

bool CqzAccessToken::_RequireValidSid(const CSid& sid)
{
    if (sid.IsValid())
        return true;
    QZTRACE(QZT_ERROR, kClass, "ERROR: Invalid Sid parameter");
    m_dwLastError = ERROR_INVALID_SID;
    return false;
}

// ---------------------------------------------------------------------------
// Name tables
// ---------------------------------------------------------------------------

const wchar_t* CqzAccessToken::GetTokenInformationClassName(int infoClass)
{
    const int count = static_cast<int>(sizeof(kTokenInformationClassNames) / sizeof(kTokenInformationClassNames[0]));
    if (infoClass < 1 || infoClass > count)
    {
        QZ_STACK_NAME("GetTokenInformationClassName", kClass);
        QZTRACE(QZT_WARNING, kClass,
                "WARNING: Unknown TOKEN_INFORMATION_CLASS value: " << static_cast<long>(infoClass));
        return L"Unknown";
    }
    return kTokenInformationClassNames[infoClass - 1];
}

const wchar_t* CqzAccessToken::GetElevationTypeName(int elevationType)
{
    switch (elevationType)
    {
    case TokenElevationTypeDefault:
        return L"TokenElevationTypeDefault";
    case TokenElevationTypeFull:
        return L"TokenElevationTypeFull";
    case TokenElevationTypeLimited:
        return L"TokenElevationTypeLimited";
    default:
        break;
    }
    QZ_STACK_NAME("GetElevationTypeName", kClass);
    QZTRACE(QZT_WARNING, kClass, "WARNING: Unknown TOKEN_ELEVATION_TYPE value: " << static_cast<long>(elevationType));
    return L"Unknown";
}
