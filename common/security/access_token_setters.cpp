// The token's simple fields, read and written: session, origin, mandatory
// policy, UI access, integrity level.
#include "common/security/access_token.h"

#include "common/security/access_token_internal.h"
#include "common/util/os.h"
#include "trace/trace.h"

using qzaccesstoken::IntegrityLabelSid;
using qzaccesstoken::kClass;

bool CqzAccessToken::GetSessionId(DWORD& sessionId)
{
    return GetTokenInformationFixed(TokenSessionId, &sessionId, sizeof(sessionId));
}

bool CqzAccessToken::GetOrigin(LUID& origin)
{
    TOKEN_ORIGIN value = {};
    if (!GetTokenInformationFixed(TokenOrigin, &value, sizeof(value)))
        return false;
    origin = value.OriginatingLogonSession;
    return true;
}

bool CqzAccessToken::GetMandatoryPolicy(DWORD& policy)
{
    if (!CqzOperatingSystem::IsVistaOrLater())
    {
        policy = 0;
        m_dwLastError = ERROR_SUCCESS;
        return true;
    }
    TOKEN_MANDATORY_POLICY value = {};
    if (!GetTokenInformationFixed(TokenMandatoryPolicy, &value, sizeof(value)))
        return false;
    policy = value.Policy;
    return true;
}

bool CqzAccessToken::GetUIAccess(bool& uiAccess)
{
    DWORD value = 0;
    if (!GetTokenInformationFixed(TokenUIAccess, &value, sizeof(value)))
        return false;
    uiAccess = value != 0;
    return true;
}

bool CqzAccessToken::SetUIAccess(bool uiAccess)
{
    DWORD value = uiAccess ? 1 : 0;
    return SetTokenInformationValue(TokenUIAccess, &value, sizeof(value));
}

bool CqzAccessToken::SetSessionId(DWORD sessionId)
{
    return SetTokenInformationValue(TokenSessionId, &sessionId, sizeof(sessionId));
}

bool CqzAccessToken::SetSessionIdFromToken(CqzAccessToken& source)
{
    DWORD sessionId = 0;
    if (!source.GetSessionId(sessionId))
    {
        m_dwLastError = source.m_dwLastError;
        return false;
    }
    return SetSessionId(sessionId);
}

bool CqzAccessToken::SetOrigin(const LUID& origin)
{
    TOKEN_ORIGIN value = {};
    value.OriginatingLogonSession = origin;
    return SetTokenInformationValue(TokenOrigin, &value, sizeof(value));
}

bool CqzAccessToken::SetMandatoryPolicy(DWORD policy)
{
    if (!CqzOperatingSystem::IsVistaOrLater())
    {
        m_dwLastError = ERROR_SUCCESS;
        return true;
    }
    TOKEN_MANDATORY_POLICY value = {policy};
    return SetTokenInformationValue(TokenMandatoryPolicy, &value, sizeof(value));
}

bool CqzAccessToken::SetIntegrityLevel(const CSid& label)
{
    if (!CqzOperatingSystem::IsVistaOrLater())
    {
        m_dwLastError = ERROR_SUCCESS;
        return true;
    }
    if (!label.IsValid())
    {
        m_dwLastError = ERROR_INVALID_SID;
        QZ_STACK_NAME("SetIntegrityLevel", kClass);
        QZTRACE(QZT_ERROR, kClass, "ERROR: Invalid Sid parameter");
        return false;
    }
    TOKEN_MANDATORY_LABEL value = {};
    value.Label.Sid = label.GetPSID();
    value.Label.Attributes = SE_GROUP_INTEGRITY | SE_GROUP_INTEGRITY_ENABLED;
    return SetTokenInformationValue(TokenIntegrityLevel, &value, sizeof(value) + label.GetLength());
}

bool CqzAccessToken::SetIntegrityLevelRid(DWORD rid)
{
    return SetIntegrityLevel(IntegrityLabelSid(rid));
}

bool CqzAccessToken::SetMediumIntegrityLevel()
{
    return SetIntegrityLevelRid(SECURITY_MANDATORY_MEDIUM_RID);
}
