// App containers: the container SID, capabilities, the packaged
// application's identity.
#include "common/security/access_token.h"

#include <new>
#include <vector>

#include "common/security/access_token_internal.h"
#include "common/util/exports.h"
#include "common/util/scoped.h"
#include "trace/trace.h"

using qzaccesstoken::kClass;

namespace
{
typedef LONG(WINAPI* GetApplicationUserModelIdFromTokenFn)(HANDLE, UINT32*, PWSTR);

GetApplicationUserModelIdFromTokenFn GetGetApplicationUserModelIdFromToken()
{
    static const GetApplicationUserModelIdFromTokenFn function = CqzResolveExport<GetApplicationUserModelIdFromTokenFn>(
        ::GetModuleHandleW(L"kernel32.dll"), "GetApplicationUserModelIdFromToken");
    return function;
}

} // namespace

bool CqzAccessToken::GetAppContainerSid(CSid& sid)
{
    CqzScopedHeap<BYTE> block;
    DWORD size = 0;
    if (!GetTokenInformationAlloc(TokenAppContainerSid, block, size))
        return false;
    const auto* info = reinterpret_cast<const TOKEN_APPCONTAINER_INFORMATION*>(block.Get());
    // Not an app container: no SID.
    if (size < sizeof(TOKEN_APPCONTAINER_INFORMATION) || info->TokenAppContainer == nullptr)
    {
        sid.Clear();
        return true;
    }
    if (!sid.LoadAccount(info->TokenAppContainer))
    {
        m_dwLastError = ERROR_INVALID_SID;
        return false;
    }
    return true;
}

bool CqzAccessToken::GetCapabilities(CTokenGroups& capabilities)
{
    CqzScopedHeap<BYTE> block;
    DWORD size = 0;
    if (!GetTokenInformationAlloc(TokenCapabilities, block, size))
        return false;
    if (!capabilities.LoadFromTokenGroups(reinterpret_cast<const TOKEN_GROUPS*>(block.Get()), size))
    {
        m_dwLastError = ::GetLastError();
        return false;
    }
    return true;
}

bool CqzAccessToken::GetApplicationUserModelId(std::wstring& appUserModelId)
{
    QZ_STACK_NAME("GetApplicationUserModelId", kClass);
    GetApplicationUserModelIdFromTokenFn function = GetGetApplicationUserModelIdFromToken();
    LONG res = ERROR_PROC_NOT_FOUND;
    if (function != nullptr)
    {
        UINT32 length = 0;
        res = function(m_hToken, &length, nullptr);
        if (res == ERROR_INSUFFICIENT_BUFFER && length > 0)
        {
            try
            {
                std::vector<wchar_t> buffer(length + 1, L'\0');
                res = function(m_hToken, &length, buffer.data());
                if (res == ERROR_SUCCESS)
                    appUserModelId.assign(buffer.data());
            }
            catch (const std::bad_alloc&)
            {
                res = ERROR_OUTOFMEMORY;
            }
        }
    }
    m_dwLastError = static_cast<DWORD>(res);
    if (res != ERROR_SUCCESS)
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: GetApplicationUserModelIdFromToken failed. Res=" << res);
        return false;
    }
    return true;
}
