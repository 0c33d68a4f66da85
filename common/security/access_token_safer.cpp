// A normal-user token computed from this one.
#include "common/security/access_token.h"

#include <winsafer.h>

#include "common/security/access_token_internal.h"
#include "common/util/os.h"
#include "common/util/scoped.h"
#include "trace/trace.h"

using qzaccesstoken::kClass;

namespace
{
const DWORD kSaferLevel = SAFER_LEVELID_NORMALUSER; // 0x20000, traced as 131072

struct SaferLevelTraits
{
    using Type = SAFER_LEVEL_HANDLE;
    static SAFER_LEVEL_HANDLE Empty() { return nullptr; }
    static bool IsValid(SAFER_LEVEL_HANDLE level) { return level != nullptr; }
    static void Close(SAFER_LEVEL_HANDLE level) { ::SaferCloseLevel(level); }
};
using ScopedSaferLevel = CqzScoped<SaferLevelTraits>;
} // namespace

bool CqzAccessToken::GetSaferToken(CAccessToken& saferToken)
{
    QZ_STACK_NAME("GetSaferToken", kClass);
    ScopedSaferLevel level;
    if (!::SaferCreateLevel(SAFER_SCOPEID_USER, kSaferLevel, SAFER_LEVEL_OPEN, level.Receive(), nullptr))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: SaferCreateLevel(" << static_cast<unsigned long>(kSaferLevel) << ") failed."
                                           << " LastError=" << m_dwLastError);
        return false;
    }
    HANDLE hComputed = nullptr;
    if (!::SaferComputeTokenFromLevel(level.Get(), m_hToken, &hComputed, 0, nullptr))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: SaferComputeTokenFromLevel(" << static_cast<unsigned long>(kSaferLevel) << ") failed."
                                                     << " LastError=" << m_dwLastError);
        return false;
    }
    CqzAccessToken computed;
    computed.Attach(hComputed);
    if (CqzOperatingSystem::IsVistaOrLater() && !computed.SetIntegrityLevelRid(SECURITY_MANDATORY_MEDIUM_RID))
    {
        // A normal-user token left at the caller's integrity is not handed out.
        m_dwLastError = computed.m_dwLastError;
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: SetIntegrityLevelRid(" << static_cast<unsigned long>(SECURITY_MANDATORY_MEDIUM_RID)
                                               << ") failed.");
        return false;
    }
    saferToken.Attach(computed.Detach());
    m_dwLastError = ERROR_SUCCESS;
    return true;
}
