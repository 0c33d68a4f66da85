// Account rights in the local security policy. Wine opens the policy for
// real, but its LsaAddAccountRights and LsaRemoveAccountRights are stubs that
// succeed whatever they are given, so what reaches the policy is observed by
// import-table hooks that record each call and forward it to the system.
// The hooks also stand in for the failing statuses those stubs never answer.
#include <windows.h>

#include <ntsecapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "common/security/security.h"
#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"
#include "trace/qztrace.h"

namespace
{
const char* const kRightsClass = "CqzAccountRights";
const NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022);
const NTSTATUS kStatusObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034);
const NTSTATUS kStatusNoSuchPrivilege = static_cast<NTSTATUS>(0xC0000060);
const NTSTATUS kStatusInsufficientResources = static_cast<NTSTATUS>(0xC000009A);

// The rights by index, written out here.
const wchar_t* const kRights[] = {
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

// ---------------------------------------------------------------------------
// Recording hooks
// ---------------------------------------------------------------------------

struct PolicyChange
{
    bool add = false;
    LSA_HANDLE policy = nullptr;
    std::wstring sid;
    BOOLEAN allRights = FALSE;
    std::vector<std::wstring> rights;
};

struct LsaCalls
{
    int opens = 0;
    bool systemNameNull = false;
    bool attributesZeroed = false;
    ACCESS_MASK access = 0;
    LSA_HANDLE opened = nullptr;
    std::vector<LSA_HANDLE> closed;
    std::vector<PolicyChange> changes;
    // Statuses the hooks answer instead of calling the system (0: forward).
    NTSTATUS openStatus = 0;
    NTSTATUS changeStatus = 0;
};
LsaCalls g_lsa;

typedef NTSTATUS(NTAPI* LsaOpenPolicyFn)(PLSA_UNICODE_STRING, PLSA_OBJECT_ATTRIBUTES, ACCESS_MASK, PLSA_HANDLE);
typedef NTSTATUS(NTAPI* LsaCloseFn)(LSA_HANDLE);
typedef NTSTATUS(NTAPI* LsaAddAccountRightsFn)(LSA_HANDLE, PSID, PLSA_UNICODE_STRING, ULONG);
typedef NTSTATUS(NTAPI* LsaRemoveAccountRightsFn)(LSA_HANDLE, PSID, BOOLEAN, PLSA_UNICODE_STRING, ULONG);
LsaOpenPolicyFn g_openPolicy = nullptr;
LsaCloseFn g_close = nullptr;
LsaAddAccountRightsFn g_addRights = nullptr;
LsaRemoveAccountRightsFn g_removeRights = nullptr;

bool AllZero(const void* bytes, size_t size)
{
    const BYTE* p = static_cast<const BYTE*>(bytes);
    for (size_t i = 0; i < size; ++i)
    {
        if (p[i] != 0)
            return false;
    }
    return true;
}

NTSTATUS NTAPI RecordingOpenPolicy(PLSA_UNICODE_STRING system, PLSA_OBJECT_ATTRIBUTES attributes, ACCESS_MASK access,
                                   PLSA_HANDLE policy)
{
    ++g_lsa.opens;
    g_lsa.systemNameNull = system == nullptr;
    g_lsa.attributesZeroed = attributes != nullptr && AllZero(attributes, sizeof(*attributes));
    g_lsa.access = access;
    if (g_lsa.openStatus != 0)
        return g_lsa.openStatus;
    const NTSTATUS status = g_openPolicy(system, attributes, access, policy);
    g_lsa.opened = status == 0 ? *policy : nullptr;
    return status;
}

NTSTATUS NTAPI RecordingClose(LSA_HANDLE handle)
{
    g_lsa.closed.push_back(handle);
    return g_close(handle);
}

void RecordChange(bool add, LSA_HANDLE policy, PSID sid, BOOLEAN allRights, PLSA_UNICODE_STRING rights, ULONG count)
{
    PolicyChange change;
    change.add = add;
    change.policy = policy;
    change.sid = qztest::SidToString(sid);
    change.allRights = allRights;
    for (ULONG i = 0; rights != nullptr && i < count; ++i)
        change.rights.emplace_back(rights[i].Buffer, rights[i].Length / sizeof(wchar_t));
    g_lsa.changes.push_back(change);
}

NTSTATUS NTAPI RecordingAddRights(LSA_HANDLE policy, PSID sid, PLSA_UNICODE_STRING rights, ULONG count)
{
    RecordChange(true, policy, sid, FALSE, rights, count);
    return g_lsa.changeStatus != 0 ? g_lsa.changeStatus : g_addRights(policy, sid, rights, count);
}

NTSTATUS NTAPI RecordingRemoveRights(LSA_HANDLE policy, PSID sid, BOOLEAN all, PLSA_UNICODE_STRING rights, ULONG count)
{
    RecordChange(false, policy, sid, all, rights, count);
    return g_lsa.changeStatus != 0 ? g_lsa.changeStatus : g_removeRights(policy, sid, all, rights, count);
}

// The four hooks for one scope, with a fresh record.
class LsaRecorder
{
public:
    LsaRecorder()
        : m_open("advapi32.dll", "LsaOpenPolicy", reinterpret_cast<void*>(&RecordingOpenPolicy)),
          m_close("advapi32.dll", "LsaClose", reinterpret_cast<void*>(&RecordingClose)),
          m_add("advapi32.dll", "LsaAddAccountRights", reinterpret_cast<void*>(&RecordingAddRights)),
          m_remove("advapi32.dll", "LsaRemoveAccountRights", reinterpret_cast<void*>(&RecordingRemoveRights))
    {
        g_lsa = LsaCalls();
        g_openPolicy = m_open.OriginalAs<LsaOpenPolicyFn>();
        g_close = m_close.OriginalAs<LsaCloseFn>();
        g_addRights = m_add.OriginalAs<LsaAddAccountRightsFn>();
        g_removeRights = m_remove.OriginalAs<LsaRemoveAccountRightsFn>();
    }
    bool Installed() const
    {
        return m_open.Installed() && m_close.Installed() && m_add.Installed() && m_remove.Installed();
    }

private:
    qztest::IatHook m_open;
    qztest::IatHook m_close;
    qztest::IatHook m_add;
    qztest::IatHook m_remove;
};

// ---------------------------------------------------------------------------
// Accounts
// ---------------------------------------------------------------------------

std::wstring ProcessUserSid()
{
    qztest::ScopedHandle token = qztest::OpenOwnProcessToken();
    BYTE buffer[512] = {};
    DWORD size = 0;
    if (!token || !::GetTokenInformation(token.Get(), TokenUser, buffer, sizeof(buffer), &size))
        return L"";
    return qztest::SidToString(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

std::wstring ProcessUserName()
{
    wchar_t name[256] = {};
    DWORD size = 256;
    return ::GetUserNameW(name, &size) ? name : L"";
}

CSid SidOf(const wchar_t* sidString)
{
    PSID raw = nullptr;
    CSid sid;
    if (::ConvertStringSidToSidW(sidString, &raw))
    {
        sid.LoadAccount(raw);
        ::LocalFree(raw);
    }
    return sid;
}

// One way of naming the account and one operation.
struct Account
{
    const char* name;
    const wchar_t* accountName; // null: by SID object
    std::wstring sid;
};

bool Change(const Account& account, bool add, int index)
{
    if (account.accountName != nullptr)
        return add ? CqzAccountRights::AddAccountRight(account.accountName, index)
                   : CqzAccountRights::DenyAccountRight(account.accountName, index);
    const CSid sid = SidOf(account.sid.c_str());
    return add ? CqzAccountRights::AddAccountRight(sid, index) : CqzAccountRights::DenyAccountRight(sid, index);
}

std::vector<Account> Accounts()
{
    static const std::wstring userName = ProcessUserName();
    const std::wstring userSid = ProcessUserSid();
    return {
        {"the process user by SID object", nullptr, userSid},
        {"BUILTIN\\Guests by SID object", nullptr, L"S-1-5-32-546"},
        {"the process user by name", userName.c_str(), userSid},
        {"Administrators by name", L"Administrators", L"S-1-5-32-544"},
    };
}

const char* OperationName(bool add)
{
    return add ? "AddAccountRight" : "DenyAccountRight";
}

// ---------------------------------------------------------------------------
// Tests
// ---------------------------------------------------------------------------

TEST(AccountRights, TheLocalPolicyOpensWithCreateAccountAndLookupNames)
{
    // The access the class asks for, with plain advapi32.
    LSA_OBJECT_ATTRIBUTES attributes = {};
    LSA_HANDLE policy = nullptr;
    ASSERT_EQ(::LsaOpenPolicy(nullptr, &attributes, POLICY_CREATE_ACCOUNT | POLICY_LOOKUP_NAMES, &policy), 0);
    EXPECT_NE(policy, nullptr);
    EXPECT_EQ(POLICY_CREATE_ACCOUNT | POLICY_LOOKUP_NAMES, 0x810);
    EXPECT_EQ(::LsaClose(policy), 0);
}

TEST(AccountRights, EachRightReachesThePolicyForTheAccount)
{
    const std::vector<Account> accounts = Accounts();
    for (const Account& account : accounts)
        ASSERT_FALSE(account.sid.empty()) << account.name;
    ASSERT_NE(accounts[2].accountName[0], L'\0');

    for (const Account& account : accounts)
    {
        for (int index = 0; index < 10; ++index)
        {
            // Granted first, then removed: the removal is of a right held.
            for (bool add : {true, false})
            {
                const std::string row =
                    std::string(OperationName(add)) + ", " + account.name + ", right " + std::to_string(index);
                qztest::TraceCapture capture;
                LsaRecorder recorder;
                ASSERT_TRUE(recorder.Installed());
                ::SetLastError(0xdeadbeef);
                EXPECT_TRUE(Change(account, add, index)) << row;
                EXPECT_EQ(::GetLastError(), 0u) << row;
                EXPECT_EQ(capture.Entries(), qztest::TraceEntries()) << row;

                EXPECT_EQ(g_lsa.opens, 1) << row;
                EXPECT_TRUE(g_lsa.systemNameNull) << row;
                EXPECT_TRUE(g_lsa.attributesZeroed) << row;
                EXPECT_EQ(g_lsa.access, 0x810u) << row;
                ASSERT_NE(g_lsa.opened, nullptr) << row;
                ASSERT_EQ(g_lsa.changes.size(), 1u) << row;
                const PolicyChange& change = g_lsa.changes[0];
                EXPECT_EQ(change.add, add) << row;
                EXPECT_EQ(change.policy, g_lsa.opened) << row;
                EXPECT_EQ(change.sid, account.sid) << row;
                EXPECT_EQ(change.allRights, FALSE) << row << ": all rights removed";
                EXPECT_EQ(change.rights, std::vector<std::wstring>{kRights[index]}) << row;
                EXPECT_EQ(g_lsa.closed, std::vector<LSA_HANDLE>{g_lsa.opened}) << row;
            }
        }
    }
}

TEST(AccountRights, AnIndexOutsideTheTableFailsAfterThePolicyWasOpenedAndClosesIt)
{
    const Account account = Accounts()[0];
    for (int index : {10, 11, INT_MAX, -1, INT_MIN})
    {
        for (bool add : {true, false})
        {
            const std::string row = std::string(OperationName(add)) + ", right " + std::to_string(index);
            qztest::TraceCapture capture;
            LsaRecorder recorder;
            ASSERT_TRUE(recorder.Installed());
            EXPECT_FALSE(Change(account, add, index)) << row;
            EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << row;
            EXPECT_EQ(capture.Entries(),
                      qztest::EntriesOf(QZT_ERROR, kRightsClass, {"Unexpected account right " + std::to_string(index)}))
                << row;
            EXPECT_EQ(g_lsa.opens, 1) << row;
            ASSERT_NE(g_lsa.opened, nullptr) << row;
            EXPECT_EQ(g_lsa.closed, std::vector<LSA_HANDLE>{g_lsa.opened}) << row << ": the policy stayed open";
            EXPECT_TRUE(g_lsa.changes.empty()) << row;
        }
    }
}

TEST(AccountRights, AnAccountThatIsNotValidFailsBeforeThePolicyIsOpened)
{
    const std::wstring unknown = L"qz-no-such-account-7f3a";
    struct Row
    {
        const char* name;
        bool byName;
        const wchar_t* accountName;
        qztest::TraceEntries lines;
    };
    const std::vector<Row> rows = {
        {"empty SID object", false, nullptr, {}},
        {"unknown account name",
         true,
         unknown.c_str(),
         {{QZT_WARNING, "CqzSid", "WARNING: Failed to load SID by name or SID string: " + qztest::ToUtf8(unknown)}}},
        {"empty account name",
         true,
         L"",
         {{QZT_WARNING, "CqzSid", "WARNING: Failed to load SID by name or SID string: "}}},
        {"null account name",
         true,
         nullptr,
         {{QZT_WARNING, "CqzSid", "WARNING: Failed to load SID by name or SID string: "}}},
    };
    for (const Row& row : rows)
    {
        for (bool add : {true, false})
        {
            const std::string name = std::string(OperationName(add)) + ", " + row.name;
            qztest::TraceCapture capture;
            LsaRecorder recorder;
            ASSERT_TRUE(recorder.Installed());
            bool ok = true;
            if (row.byName)
                ok = add ? CqzAccountRights::AddAccountRight(row.accountName, 0)
                         : CqzAccountRights::DenyAccountRight(row.accountName, 0);
            else
                ok = add ? CqzAccountRights::AddAccountRight(CSid(), 0) : CqzAccountRights::DenyAccountRight(CSid(), 0);
            EXPECT_FALSE(ok) << name;
            EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID)) << name;
            qztest::TraceEntries expected = row.lines;
            expected.push_back({QZT_ERROR, kRightsClass, "Account not valid"});
            EXPECT_EQ(capture.Entries(), expected) << name;
            EXPECT_EQ(g_lsa.opens, 0) << name;
            EXPECT_TRUE(g_lsa.closed.empty()) << name;
        }
    }
}

// Failing statuses, answered by the hooks: Wine's LsaOpenPolicy does not fail
// for this access, and its account-rights stubs answer success to anything.
// Windows answers STATUS_OBJECT_NAME_NOT_FOUND when a right the account does
// not hold is removed, and other failures for a right it does not know or a
// caller without access. A change that fails still closes the policy; an
// open that fails leaves nothing to close.
TEST(AccountRights, AFailingStatusIsReportedConvertedAndNoPolicyStaysOpen)
{
    const Account account = Accounts()[0];
    const struct
    {
        const char* name;
        bool open; // the open fails (otherwise the change)
        NTSTATUS status;
        DWORD error;
    } rows[] = {
        {"open, access denied", true, kStatusAccessDenied, ERROR_ACCESS_DENIED},
        {"open, no resources", true, kStatusInsufficientResources, ERROR_NO_SYSTEM_RESOURCES},
        {"change, right not held", false, kStatusObjectNameNotFound, ERROR_FILE_NOT_FOUND},
        {"change, access denied", false, kStatusAccessDenied, ERROR_ACCESS_DENIED},
        {"change, no such right", false, kStatusNoSuchPrivilege, ERROR_NO_SUCH_PRIVILEGE},
    };
    for (const auto& row : rows)
    {
        for (bool add : {true, false})
        {
            const std::string name = std::string(OperationName(add)) + ", " + row.name;
            ASSERT_EQ(::LsaNtStatusToWinError(row.status), row.error) << name;
            qztest::TraceCapture capture;
            LsaRecorder recorder;
            ASSERT_TRUE(recorder.Installed());
            (row.open ? g_lsa.openStatus : g_lsa.changeStatus) = row.status;
            EXPECT_FALSE(Change(account, add, 3)) << name;
            EXPECT_EQ(::GetLastError(), row.error) << name;
            const std::string line =
                row.open ? "Unable to open security policy. Error: " : "Unable to change security policy. Error :";
            EXPECT_EQ(capture.Entries(), qztest::EntriesOf(QZT_ERROR, kRightsClass, {line + std::to_string(row.error)}))
                << name;
            EXPECT_EQ(g_lsa.opens, 1) << name;
            ASSERT_EQ(g_lsa.changes.size(), row.open ? 0u : 1u) << name;
            if (row.open)
            {
                EXPECT_TRUE(g_lsa.closed.empty()) << name << ": closed a policy that never opened";
                continue;
            }
            EXPECT_EQ(g_lsa.changes[0].add, add) << name;
            EXPECT_EQ(g_lsa.changes[0].rights, std::vector<std::wstring>{kRights[3]}) << name;
            EXPECT_EQ(g_lsa.closed, std::vector<LSA_HANDLE>{g_lsa.opened}) << name;
        }
    }
}

// Removing a right the account does not hold fails on Windows, with the
// system's conversion of the status in the line. Wine's stub succeeds.
TEST(AccountRights, RemovingARightNotHeldFailsWithTheSystemsError)
{
    // An account that holds no logon right: a SID of no account.
    const CSid nobody = SidOf(L"S-1-5-21-1-2-3-4321");
    ASSERT_TRUE(nobody.IsValid());
    qztest::TraceCapture capture;
    const bool removed = CqzAccountRights::DenyAccountRight(nobody, 9);
    if (removed)
        GTEST_SKIP() << "LsaRemoveAccountRights succeeds for a right not held (Wine's stub); the failure line is "
                        "tested with the status Windows answers";
    const DWORD error = ::GetLastError();
    EXPECT_NE(error, 0u);
    EXPECT_EQ(capture.Entries(),
              qztest::EntriesOf(QZT_ERROR, kRightsClass,
                                {"Unable to change security policy. Error :" + std::to_string(error)}));
}
} // namespace
