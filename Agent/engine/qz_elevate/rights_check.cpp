// The rights check of the guarded switches: the machine policy that allows
// non-administrators, and the process token's own administrator decision.
// Both questions answer no when their own machinery fails.
#include "Agent/engine/qz_elevate/qz_elevate_module.h"

#include "common/security/access_token.h"
#include "common/util/scoped.h"
#include "common/util/util.h"
#include "trace/trace.h"

namespace
{

const char* const kClassName = "CqzElevateModule";
const wchar_t* const kAllowNonAdminValue = L"QzElevateAllowNonAdmin";

} // namespace

bool CqzElevateModule::_AllowNonAdmin()
{
    QZ_STACK_NAME("_AllowNonAdmin", kClassName);

    const wchar_t* const keyPath = CqzUtil::GetAgentParametersKeyPath();
    CqzScopedRegKey key;
    // Query only, and no registry-view flag: a 32-bit process reads the key
    // the agent's installer wrote for it.
    const LSTATUS openResult = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE, key.Receive());
    if (openResult != ERROR_SUCCESS)
    {
        QZTRACE(QZT_ERROR, kClassName,
                "ERROR: Failed to open key [HKLM\\" << keyPath << "]. res=" << static_cast<long>(openResult));
        return false;
    }

    // A value of another type, or longer than 4 bytes, counts as absent.
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof(value);
    const LSTATUS readResult =
        ::RegQueryValueExW(key.Get(), kAllowNonAdminValue, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (readResult != ERROR_SUCCESS || type != REG_DWORD || size != sizeof(value))
        return false;
    return value != 0;
}

bool CqzElevateModule::_IsUserAdmin()
{
    QZ_STACK_NAME("_IsUserAdmin", kClassName);

    CqzAccessToken token;
    if (!token.GetProcessToken(TOKEN_QUERY | TOKEN_DUPLICATE))
    {
        const DWORD error = ::GetLastError();
        QZTRACE(QZT_ERROR, kClassName,
                "ERROR: CqzAccessToken::GetProcessToken(TOKEN_QUERY|TOKEN_DUPLICATE) failed. LastError="
                    << static_cast<unsigned long>(error));
        return false;
    }

    bool isAdmin = false;
    const bool decided = token.IsElevatedAdmin(isAdmin);
    return decided && isAdmin;
}
