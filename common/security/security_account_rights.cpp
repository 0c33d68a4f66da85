// CqzAccountRights: logon rights of an account in the local security policy.
#include "common/security/security.h"

#include <ntsecapi.h>

#include <cwchar>

#include "trace/trace.h"

namespace
{
const char* const kAccountRightsClass = "CqzAccountRights";

const wchar_t* const kRightNames[CqzAccountRights::RightCount] = {
    L"SeBatchLogonRight",
    L"SeDenyBatchLogonRight",
    L"SeDenyInteractiveLogonRight",
    L"SeDenyNetworkLogonRight",
    L"SeDenyRemoteInteractiveLogonRight",
    L"SeDenyServiceLogonRight",
    L"SeInteractiveLogonRight",
    L"SeNetworkLogonRight",
    L"SeRemoteInteractiveLogonRight",
    L"SeServiceLogonRight",
};

struct LsaHandleTraits
{
    using Type = LSA_HANDLE;
    static LSA_HANDLE Empty() { return nullptr; }
    static bool IsValid(LSA_HANDLE handle) { return handle != nullptr; }
    static void Close(LSA_HANDLE handle) { ::LsaClose(handle); }
};
using ScopedLsaHandle = CqzScoped<LsaHandleTraits>;

// The account of a name; not valid (and traced) when the name does not load.
CqzSid AccountOf(const wchar_t* accountName)
{
    CqzSid account;
    account.LoadAccount(accountName);
    return account;
}
} // namespace

bool CqzAccountRights::AddAccountRight(const CSid& account, int rightIndex)
{
    QZ_STACK_NAME("AddAccountRight", kAccountRightsClass);
    return _ChangeAccountRight(account, rightIndex, true);
}

bool CqzAccountRights::AddAccountRight(const wchar_t* accountName, int rightIndex)
{
    QZ_STACK_NAME("AddAccountRight", kAccountRightsClass);
    return _ChangeAccountRight(AccountOf(accountName), rightIndex, true);
}

bool CqzAccountRights::DenyAccountRight(const CSid& account, int rightIndex)
{
    QZ_STACK_NAME("DenyAccountRight", kAccountRightsClass);
    return _ChangeAccountRight(account, rightIndex, false);
}

bool CqzAccountRights::DenyAccountRight(const wchar_t* accountName, int rightIndex)
{
    QZ_STACK_NAME("DenyAccountRight", kAccountRightsClass);
    return _ChangeAccountRight(AccountOf(accountName), rightIndex, false);
}

bool CqzAccountRights::_ChangeAccountRight(const CSid& account, int rightIndex, bool add)
{
    if (!account.IsValid())
    {
        QZTRACE(QZT_ERROR, kAccountRightsClass, "Account not valid");
        ::SetLastError(ERROR_INVALID_SID);
        return false;
    }

    LSA_OBJECT_ATTRIBUTES attributes = {};
    ScopedLsaHandle policy;
    const NTSTATUS openStatus =
        ::LsaOpenPolicy(nullptr, &attributes, POLICY_CREATE_ACCOUNT | POLICY_LOOKUP_NAMES, policy.Receive());
    if (openStatus < 0)
    {
        // A failed open leaves no handle to close.
        policy.Release();
        const ULONG error = ::LsaNtStatusToWinError(openStatus);
        QZTRACE(QZT_ERROR, kAccountRightsClass, "Unable to open security policy. Error: " << error);
        ::SetLastError(error);
        return false;
    }

    // Negative indices are outside the table as much as 10 and above.
    if (rightIndex < 0 || rightIndex >= RightCount)
    {
        QZTRACE(QZT_ERROR, kAccountRightsClass, "Unexpected account right " << rightIndex);
        policy.Reset();
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const wchar_t* const name = kRightNames[rightIndex];
    LSA_UNICODE_STRING right;
    right.Buffer = const_cast<PWSTR>(name);
    right.Length = static_cast<USHORT>(std::wcslen(name) * sizeof(wchar_t));
    right.MaximumLength = static_cast<USHORT>(right.Length + sizeof(wchar_t));

    const NTSTATUS status = add ? ::LsaAddAccountRights(policy.Get(), account.GetPSID(), &right, 1)
                                : ::LsaRemoveAccountRights(policy.Get(), account.GetPSID(), FALSE, &right, 1);
    policy.Reset();
    if (status < 0)
    {
        const ULONG error = ::LsaNtStatusToWinError(status);
        QZTRACE(QZT_ERROR, kAccountRightsClass, "Unable to change security policy. Error :" << error);
        ::SetLastError(error);
        return false;
    }
    ::SetLastError(ERROR_SUCCESS);
    return true;
}
