// The language of the token user's locale.
#include "common/security/access_token.h"

#include <new>

#include "common/security/access_token_internal.h"
#include "trace/trace.h"

using qzaccesstoken::kClass;

bool CqzAccessToken::GetUserLocaleLanguage(std::wstring& language)
{
    QZ_STACK_NAME("GetUserLocaleLanguage", kClass);
    CqzImpersonateAndRevert impersonation(m_hToken);
    if (!impersonation.IsImpersonating())
    {
        m_dwLastError = impersonation.LastError();
        return false;
    }
    wchar_t name[16] = {};
    if (::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SISO639LANGNAME, name, 16) == 0)
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClass, "ERROR: GetUserDefaultLocaleName(LOCALE_SISO639LANGNAME).");
        return false;
    }
    try
    {
        language.assign(name);
    }
    catch (const std::bad_alloc&)
    {
        m_dwLastError = ERROR_OUTOFMEMORY;
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    return true;
}
