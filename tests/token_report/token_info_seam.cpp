#include "tests/token_report/token_info_seam.h"

namespace qzreporttest
{
namespace
{
typedef BOOL(WINAPI* GetTokenInformationFn)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);

GetTokenInformationFn g_original = nullptr;
TOKEN_INFORMATION_CLASS g_class = TokenUser;
TokenInformationSeam::Rewrite* g_rewrite = nullptr;
int g_calls = 0;

BOOL WINAPI SeamGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID buffer, DWORD size,
                                    PDWORD returned)
{
    if ((infoClass != g_class && g_class != TokenInformationSeam::kEveryClass) || g_rewrite == nullptr)
        return g_original(token, infoClass, buffer, size, returned);
    ++g_calls;
    return (*g_rewrite)(token, buffer, size, returned);
}

} // namespace

TokenInformationSeam::TokenInformationSeam(TOKEN_INFORMATION_CLASS infoClass, Rewrite rewrite)
    : m_hook("advapi32.dll", "GetTokenInformation", reinterpret_cast<void*>(&SeamGetTokenInformation))
{
    g_original = m_hook.OriginalAs<GetTokenInformationFn>();
    g_class = infoClass;
    g_rewrite = new Rewrite(std::move(rewrite));
    g_calls = 0;
}

TokenInformationSeam::~TokenInformationSeam()
{
    delete g_rewrite;
    g_rewrite = nullptr;
}

BOOL TokenInformationSeam::Original(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID buffer, DWORD size,
                                    PDWORD returned)
{
    return g_original(token, infoClass, buffer, size, returned);
}

int TokenInformationSeam::Calls() const
{
    return g_calls;
}

TokenInformationSeam::Rewrite FailWith(DWORD error)
{
    return [error](HANDLE, LPVOID, DWORD, PDWORD returned)
    {
        *returned = 0;
        ::SetLastError(error);
        return FALSE;
    };
}

} // namespace qzreporttest
