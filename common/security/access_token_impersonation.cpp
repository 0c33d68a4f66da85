// Impersonation scopes: a token for the lifetime of an object.
#include "common/security/access_token.h"

#include "trace/trace.h"

CqzImpersonateAndRevert::CqzImpersonateAndRevert(HANDLE hToken)
    : CqzImpersonateAndRevert(hToken, "CqzImpersonateAndRevert", "ERROR: ImpersonateLoggedOnUser() failed.", true)
{
}

CqzImpersonateAndRevert::CqzImpersonateAndRevert(HANDLE hToken, const char* className, const char* failureMessage,
                                                 bool appendLastError)
{
    // The previous thread token is recorded first: a thread whose token
    // could not be put back is not made to impersonate at all.
    if (hToken == nullptr)
    {
        ::SetLastError(ERROR_INVALID_HANDLE);
    }
    else if (m_revert.CapturePrevious() && ::ImpersonateLoggedOnUser(hToken))
    {
        m_revert.SetPending();
        return;
    }
    m_dwLastError = ::GetLastError();
    QZ_STACK_NAME("CqzImpersonateAndRevert", className);
    if (appendLastError)
        QZTRACE(QZT_ERROR, className, failureMessage << " LastError=" << m_dwLastError);
    else
        QZTRACE(QZT_ERROR, className, failureMessage);
}

CqzImpersonateAndRevert::~CqzImpersonateAndRevert()
{
    Revert();
}

bool CqzImpersonateAndRevert::Revert()
{
    if (!m_revert.IsPending())
        return true;
    if (m_revert.Revert())
        return true;
    m_dwLastError = ::GetLastError();
    QZ_STACK_NAME("Revert", "CqzImpersonateAndRevert");
    QZTRACE(QZT_ERROR, "CqzImpersonateAndRevert",
            "ERROR: Failed to restore the previous thread token. LastError=" << m_dwLastError);
    return false;
}

CqzImpersonateToAccessFile::CqzImpersonateToAccessFile(HANDLE hUserToken)
    : CqzImpersonateAndRevert(hUserToken, "CqzImpersonateToAccessFile",
                              "ERROR: Failed to impersonate user to access file", false)
{
}
