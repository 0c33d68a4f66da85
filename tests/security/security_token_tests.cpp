// The access-token wrapper: its messages and error codes, the name tables,
// the base-class operations (open, effective token, privileges, user and
// groups, impersonation and its revert, the profile) and the other
// operations, against real Wine tokens.
#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/security/access_token.h"
#include "common/security/security.h"
#include "common/util/os.h"
#include "testing/harness/harness.h"
#include "tests/security/sec_test_util.h"

namespace
{
using qztest::ScopedHandle;
typedef std::vector<std::string> Lines;

CqzSid Sid(const wchar_t* text)
{
    CqzSid sid;
    sid.LoadAccountBySidString(text);
    return sid;
}

// The admin group attributes of the calling thread's token; 0 without one.
DWORD ThreadTokenAdminAttributes()
{
    HANDLE token = nullptr;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
        return 0;
    ScopedHandle owned(token);
    DWORD attributes = 0;
    qzsec::TokenGroupAttributes(token, L"S-1-5-32-544", attributes);
    return attributes;
}

bool ThreadImpersonates()
{
    HANDLE token = nullptr;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
        return false;
    ::CloseHandle(token);
    return true;
}

struct ImpersonatingThread
{
    HANDLE token;
    ScopedHandle ready{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    ScopedHandle done{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

DWORD WINAPI ImpersonateUntilDone(void* parameter)
{
    auto* shared = static_cast<ImpersonatingThread*>(parameter);
    ::ImpersonateLoggedOnUser(shared->token);
    ::SetEvent(shared->ready.Get());
    ::WaitForSingleObject(shared->done.Get(), 30000);
    ::RevertToSelf();
    return 0;
}

bool HandleIsOpen(HANDLE h)
{
    DWORD flags = 0;
    return ::GetHandleInformation(h, &flags) != FALSE;
}

class TokenTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (CqzOperatingSystem::GetMajorVersion() < 6)
            GTEST_SKIP() << "written for Windows Vista and later";
        m_process = qzsec::OpenOwnProcessToken();
        ASSERT_TRUE(m_process.IsValid());
        // Privilege names are looked up (and unknown ones reported) once,
        // outside the captures below.
        CqzAccessToken::HasAllAdminPrivileges(m_process.Get());
    }
    void TearDown() override { ::RevertToSelf(); }

    // Gives the object a primary copy of the process token.
    void AttachDuplicate(CAccessToken& token)
    {
        token.Attach(qzsec::DuplicatePrimary(m_process.Get()).Release());
        ASSERT_NE(token.GetHandle(), nullptr);
    }

    ScopedHandle m_process;
};

// ---------------------------------------------------------------------------
// An empty object
// ---------------------------------------------------------------------------

struct EmptyCase
{
    const char* name;
    std::function<bool(CqzAccessToken&)> call;
    bool result;
    DWORD lastError;
    Lines lines;
};

TEST_F(TokenTest, EmptyObjectAnswersWithItsMessagesAndErrorSix)
{
    const CSid administrators = Sid(L"S-1-5-32-544");
    const std::vector<EmptyCase> cases = {
        {"GetTokenInformationAlloc",
         [](CqzAccessToken& t)
         {
             CqzScopedHeap<BYTE> block;
             DWORD size = 7;
             const bool ok = t.GetTokenInformationAlloc(TokenUser, block, size);
             return ok || block || size != 0;
         },
         false,
         6,
         {"ERROR: m_hToken is NULL"}},
        {"GetTokenInformationFixed",
         [](CqzAccessToken& t)
         {
             DWORD value = 0;
             return t.GetTokenInformationFixed(TokenSessionId, &value, sizeof(value));
         },
         false,
         6,
         {"ERROR: GetTokenInformation(TokenSessionId) failed. LastError=6"}},
        {"GetIntegrityLevel",
         [](CqzAccessToken& t)
         {
             CqzSid label;
             return t.GetIntegrityLevel(label);
         },
         false,
         6,
         {"ERROR: m_hToken is NULL"}},
        {"GetIntegrityLevelRid",
         [](CqzAccessToken& t)
         {
             DWORD rid = 0;
             return t.GetIntegrityLevelRid(rid);
         },
         false,
         6,
         {"ERROR: m_hToken is NULL"}},
        {"GetElevationType",
         [](CqzAccessToken& t)
         {
             TOKEN_ELEVATION_TYPE type;
             return t.GetElevationType(type);
         },
         false,
         6,
         {"ERROR: GetTokenInformation(TokenElevationType) failed. LastError=6"}},
        {"IsElevated",
         [](CqzAccessToken& t)
         {
             bool elevated = true;
             return t.IsElevated(elevated);
         },
         false,
         6,
         {"ERROR: GetTokenInformation(TokenElevation) failed. LastError=6"}},
        {"GetLinkedToken (type unreadable, so the linked token is asked for)",
         [](CqzAccessToken& t)
         {
             CAccessToken linked;
             return t.GetLinkedToken(linked);
         },
         false,
         6,
         {"ERROR: GetTokenInformation(TokenElevationType) failed. LastError=6",
          "ERROR: GetTokenInformation(TokenLinkedToken) failed. LastError=6"}},
        {"GetGroupAttributes",
         [&](CqzAccessToken& t)
         {
             DWORD attributes = 0xdeadbeef;
             return t.GetGroupAttributes(administrators, attributes) || attributes != 0;
         },
         false,
         6,
         {"ERROR: Token is NULL"}},
        {"GetPrivileges",
         [](CqzAccessToken& t)
         {
             CqzScopedHeap<BYTE> block;
             DWORD size = 0;
             return t.GetPrivileges(block, size);
         },
         false,
         6,
         {}},
        {"HasAllAdminPrivileges",
         [](CqzAccessToken& t) { return t.HasAllAdminPrivileges(); },
         false,
         6,
         {"ERROR: GetPrivileges() failed. LastError=6"}},
        {"IsElevatedAdmin: decided, no",
         [](CqzAccessToken& t)
         {
             bool isAdmin = true;
             return t.IsElevatedAdmin(isAdmin) && !isAdmin;
         },
         true,
         6,
         {"ERROR: Token is NULL"}},
        {"IsElevatedAdmin()",
         [](CqzAccessToken& t) { return t.IsElevatedAdmin(); },
         false,
         6,
         {"ERROR: Token is NULL"}},
        {"EnablePrivilege(index)",
         [](CqzAccessToken& t) { return t.EnablePrivilege(22); },
         false,
         6,
         {"ERROR: EnablePrivilege(SeChangeNotifyPrivilege) failed. LastError=6"}},
        {"PrivilegeCheck",
         [](CqzAccessToken& t)
         {
             bool held = true;
             return t.PrivilegeCheck(L"SeChangeNotifyPrivilege", held);
         },
         false,
         6,
         {"ERROR: PrivilegeCheck(SeChangeNotifyPrivilege) failed. LastError=6"}},
        {"Duplicate",
         [](CqzAccessToken& t)
         {
             CAccessToken copy;
             return t.Duplicate(copy);
         },
         false,
         6,
         {"ERROR: m_hToken is NULL"}},
        {"CheckMembership",
         [&](CqzAccessToken& t)
         {
             bool member = true;
             return t.CheckMembership(administrators, 0, member);
         },
         false,
         6,
         {"ERROR: CreateImpersonationToken() or CheckTokenMembership() failed. LastError=6"}},
        {"GetDomainUserName",
         [](CqzAccessToken& t)
         {
             std::wstring name;
             return t.GetDomainUserName(name);
         },
         false,
         6,
         {"ERROR: m_hToken is NULL"}},
        {"GetSecurity",
         [](CqzAccessToken& t)
         {
             CqzScopedLocal<void> descriptor;
             return t.GetSecurity(DACL_SECURITY_INFORMATION, descriptor);
         },
         false,
         6,
         // Written by the kernel-object handle class the token goes through.
         {"ERROR: Handle is NULL"}},
        {"SetDacl", [](CqzAccessToken& t) { return t.SetDacl(nullptr); }, false, 6, {"ERROR: Token is NULL"}},
    };
    for (const EmptyCase& row : cases)
    {
        SCOPED_TRACE(row.name);
        CqzAccessToken token;
        EXPECT_EQ(token.LastError(), 6u) << "initial value";
        qztest::TraceCapture capture;
        ::SetLastError(0xdeadbeef);
        EXPECT_EQ(row.call(token), row.result);
        EXPECT_EQ(token.LastError(), row.lastError);
        EXPECT_EQ(capture.Lines(), row.lines);
    }
}

TEST_F(TokenTest, BorrowedHandleFormsOnNullHandleLeaveTheErrorAsLastError)
{
    qztest::TraceCapture capture;
    CqzScopedHeap<BYTE> block;
    DWORD size = 0;
    ::SetLastError(0);
    EXPECT_FALSE(CqzAccessToken::GetTokenInformationAlloc(nullptr, TokenUser, block, size));
    EXPECT_EQ(::GetLastError(), 6u);
    EXPECT_EQ(capture.Lines(), Lines{"ERROR: m_hToken is NULL"});
}

// ---------------------------------------------------------------------------
// Group attributes
// ---------------------------------------------------------------------------

TEST_F(TokenTest, GroupAttributesOfInvalidPresentAndAbsentSids)
{
    CqzAccessToken token;
    AttachDuplicate(token);

    {
        qztest::TraceCapture capture;
        DWORD attributes = 0xdeadbeef;
        EXPECT_FALSE(token.GetGroupAttributes(CSid(), attributes));
        EXPECT_EQ(attributes, 0u);
        EXPECT_EQ(token.LastError(), 1337u);
        EXPECT_EQ(capture.Lines(), Lines{"ERROR: Invalid Sid parameter"});
    }
    {
        // Wine's token lacks BUILTIN\Power Users.
        qztest::TraceCapture capture;
        DWORD attributes = 0xdeadbeef;
        EXPECT_FALSE(token.GetGroupAttributes(Sid(L"S-1-5-32-547"), attributes));
        EXPECT_EQ(attributes, 0u);
        EXPECT_EQ(token.LastError(), 0u);
        EXPECT_EQ(capture.Lines(), Lines{});
    }
    {
        DWORD expected = 0;
        ASSERT_TRUE(qzsec::TokenGroupAttributes(token.GetHandle(), L"S-1-5-32-544", expected));
        DWORD attributes = 0;
        EXPECT_TRUE(token.GetGroupAttributes(Sid(L"S-1-5-32-544"), attributes));
        EXPECT_EQ(attributes, expected);
        EXPECT_TRUE(token.IsAdministratorsGroupEnabled());
        EXPECT_FALSE(token.IsPowerUsersGroupEnabled());
        EXPECT_TRUE(token.IsGroupEnabled(Sid(L"S-1-5-32-545")));
    }
    {
        ScopedHandle restricted = qzsec::RestrictedAdministratorsDenyOnly(m_process.Get());
        CqzAccessToken denyOnly;
        denyOnly.Attach(restricted.Release());
        DWORD attributes = 0;
        EXPECT_TRUE(denyOnly.GetGroupAttributes(Sid(L"S-1-5-32-544"), attributes));
        EXPECT_NE(attributes & SE_GROUP_USE_FOR_DENY_ONLY, 0u);
        EXPECT_FALSE(denyOnly.IsAdministratorsGroupEnabled());
    }
}

// ---------------------------------------------------------------------------
// Token information
// ---------------------------------------------------------------------------

TEST_F(TokenTest, FailedWriteNamesTheClass)
{
    // TokenUser cannot be written.
    CqzAccessToken token;
    AttachDuplicate(token);
    CSid user;
    ASSERT_TRUE(token.GetUser(&user));
    std::vector<BYTE> value(sizeof(TOKEN_USER) + user.GetLength());
    reinterpret_cast<TOKEN_USER*>(value.data())->User.Sid = user.GetPSID();
    qztest::TraceCapture capture;
    EXPECT_FALSE(token.SetTokenInformationValue(TokenUser, value.data(), static_cast<DWORD>(value.size())));
    EXPECT_NE(token.LastError(), 0u);
    EXPECT_EQ(capture.Lines(),
              Lines{"ERROR: SetTokenInformation(TokenUser) failed. LastError=" + std::to_string(token.LastError())});
}

TEST_F(TokenTest, FixedReadWithTooSmallBufferNamesBothSizes)
{
    CqzAccessToken token;
    AttachDuplicate(token);
    qztest::TraceCapture capture;
    BYTE buffer[2] = {};
    EXPECT_FALSE(token.GetTokenInformationFixed(TokenElevationType, buffer, sizeof(buffer)));
    EXPECT_EQ(token.LastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(capture.Lines(),
              Lines{"ERROR: GetTokenInformation(TokenElevationType) Insufficient buffer size 2, required size 4"});
}

TEST_F(TokenTest, UnknownInformationClassIsNamedUnknown)
{
    CqzAccessToken token;
    AttachDuplicate(token);
    qztest::TraceCapture capture;
    DWORD value = 0;
    EXPECT_FALSE(token.GetTokenInformationFixed(static_cast<TOKEN_INFORMATION_CLASS>(99), &value, sizeof(value)));
    EXPECT_EQ(capture.Lines(),
              (Lines{"WARNING: Unknown TOKEN_INFORMATION_CLASS value: 99",
                     "ERROR: GetTokenInformation(Unknown) failed. LastError=" + std::to_string(token.LastError())}));
}

TEST_F(TokenTest, AllocReadReturnsExactlyTheTokensData)
{
    CqzAccessToken token;
    AttachDuplicate(token);
    CqzScopedHeap<BYTE> block;
    DWORD size = 0;
    ::SetLastError(0xdeadbeef);
    ASSERT_TRUE(token.GetTokenInformationAlloc(TokenUser, block, size));
    EXPECT_EQ(token.LastError(), 0u);
    DWORD expectedSize = 0;
    ::GetTokenInformation(token.GetHandle(), TokenUser, nullptr, 0, &expectedSize);
    EXPECT_EQ(size, expectedSize);
    CSid user;
    ASSERT_TRUE(token.GetUser(&user));
    EXPECT_EQ(qzsec::SidToString(reinterpret_cast<TOKEN_USER*>(block.Get())->User.Sid), user.Sid());

    // The borrowed form reads the same.
    CqzScopedHeap<BYTE> borrowed;
    DWORD borrowedSize = 0;
    ASSERT_TRUE(CqzAccessToken::GetTokenInformationAlloc(token.GetHandle(), TokenUser, borrowed, borrowedSize));
    EXPECT_EQ(borrowedSize, size);
    EXPECT_TRUE(HandleIsOpen(token.GetHandle()));
}

TEST_F(TokenTest, AllocReadKeepsTheNtStatusOfTheFailedCall)
{
    CqzAccessToken token;
    // A handle value that names nothing.
    token.Attach(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FF0)));
    CqzScopedHeap<BYTE> block;
    DWORD size = 0;
    qztest::TraceCapture capture;
    EXPECT_FALSE(token.GetTokenInformationAlloc(TokenUser, block, size));
    EXPECT_EQ(token.LastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(capture.Lines(), Lines{"ERROR: GetTokenInformation(TokenUser, NULL) failed. LastError=6"});
    const LONG status = token.GetLastNtStatus();
    token.Detach();
    if (status == 0)
        GTEST_SKIP() << "Wine leaves the thread's last NT status unset here";
    EXPECT_EQ(static_cast<DWORD>(status), 0xC0000008u) << "STATUS_INVALID_HANDLE";
}

TEST_F(TokenTest, IntegrityAndElevationOfWineTokens)
{
    CqzAccessToken token;
    AttachDuplicate(token);
    CqzSid label;
    ASSERT_TRUE(token.GetIntegrityLevel(label));
    EXPECT_EQ(label.Sid(), L"S-1-16-12288");
    DWORD rid = 0;
    ASSERT_TRUE(token.GetIntegrityLevelRid(rid));
    EXPECT_EQ(rid, 0x3000u);
    EXPECT_TRUE(token.IsIntegrityLevelAtLeast(0x3000));
    EXPECT_FALSE(token.IsIntegrityLevelAbove(0x3000));
    EXPECT_TRUE(token.IsIntegrityLevelAbove(0x2000));
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    ASSERT_TRUE(token.GetElevationType(type));
    EXPECT_EQ(type, TokenElevationTypeFull);
    EXPECT_TRUE(token.IsElevationType(TokenElevationTypeFull));
    bool elevated = false;
    ASSERT_TRUE(token.IsElevated(elevated));
    EXPECT_TRUE(elevated);

    CqzAccessToken linked;
    ASSERT_TRUE(token.GetLinkedToken(linked));
    ASSERT_NE(linked.GetHandle(), nullptr);
    EXPECT_TRUE(linked.IsElevationType(TokenElevationTypeLimited));
    ASSERT_TRUE(linked.IsElevated(elevated));
    EXPECT_FALSE(elevated);

    // Storing the linked token replaces what the object held.
    HANDLE previous = linked.GetHandle();
    ASSERT_TRUE(token.GetLinkedToken(linked));
    EXPECT_FALSE(HandleIsOpen(previous));
}

TEST_F(TokenTest, PrivilegesBlockMatchesTheToken)
{
    CqzAccessToken token;
    AttachDuplicate(token);
    CqzScopedHeap<BYTE> block;
    DWORD size = 0;
    ASSERT_TRUE(token.GetPrivileges(block, size));
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(block.Get());
    DWORD expectedSize = 0;
    ::GetTokenInformation(token.GetHandle(), TokenPrivileges, nullptr, 0, &expectedSize);
    EXPECT_EQ(size, expectedSize);
    EXPECT_EQ(size, sizeof(DWORD) + privileges->PrivilegeCount * sizeof(LUID_AND_ATTRIBUTES));
    EXPECT_TRUE(token.HasAllAdminPrivileges());
    EXPECT_EQ(token.LastError(), 0u);
}

// ---------------------------------------------------------------------------
// Name tables
// ---------------------------------------------------------------------------

TEST(TokenNameTables, InformationClassNames)
{
    const wchar_t* const expected[] = {L"TokenUser",
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
                                       L"TokenIsRestricted"};
    qztest::TraceCapture capture;
    for (int i = 1; i <= 40; ++i)
        EXPECT_STREQ(CqzAccessToken::GetTokenInformationClassName(i), expected[i - 1]) << "value " << i;
    EXPECT_EQ(capture.Lines(), Lines{});
    EXPECT_EQ(static_cast<int>(TokenIntegrityLevel), 25);
    EXPECT_STREQ(CqzAccessToken::GetTokenInformationClassName(TokenIntegrityLevel), L"TokenIntegrityLevel");
    for (int value : {0, 41, -1})
        EXPECT_STREQ(CqzAccessToken::GetTokenInformationClassName(value), L"Unknown");
    EXPECT_EQ(capture.Lines(), (Lines{"WARNING: Unknown TOKEN_INFORMATION_CLASS value: 0",
                                      "WARNING: Unknown TOKEN_INFORMATION_CLASS value: 41",
                                      "WARNING: Unknown TOKEN_INFORMATION_CLASS value: -1"}));
}

TEST(TokenNameTables, ElevationTypeNames)
{
    qztest::TraceCapture capture;
    EXPECT_STREQ(CqzAccessToken::GetElevationTypeName(1), L"TokenElevationTypeDefault");
    EXPECT_STREQ(CqzAccessToken::GetElevationTypeName(2), L"TokenElevationTypeFull");
    EXPECT_STREQ(CqzAccessToken::GetElevationTypeName(3), L"TokenElevationTypeLimited");
    EXPECT_EQ(capture.Lines(), Lines{});
    EXPECT_STREQ(CqzAccessToken::GetElevationTypeName(0), L"Unknown");
    EXPECT_STREQ(CqzAccessToken::GetElevationTypeName(4), L"Unknown");
    EXPECT_EQ(capture.Lines(), (Lines{"WARNING: Unknown TOKEN_ELEVATION_TYPE value: 0",
                                      "WARNING: Unknown TOKEN_ELEVATION_TYPE value: 4"}));
}

// ---------------------------------------------------------------------------
// Base-class operations
// ---------------------------------------------------------------------------

TEST_F(TokenTest, OpenOperationsKeepThePreviousHandleOnFailure)
{
    CqzAccessToken token;
    ASSERT_TRUE(token.GetProcessToken(TOKEN_QUERY | TOKEN_DUPLICATE));
    HANDLE first = token.GetHandle();
    ASSERT_NE(first, nullptr);
    // A process handle that names nothing.
    EXPECT_FALSE(token.GetProcessToken(TOKEN_QUERY, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x7FF0))));
    EXPECT_EQ(token.GetHandle(), first);
    // No impersonation on this thread.
    EXPECT_FALSE(token.GetThreadToken(TOKEN_QUERY));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
    EXPECT_EQ(token.GetHandle(), first);
    // A new store closes the old handle.
    ASSERT_TRUE(token.GetProcessToken(TOKEN_QUERY));
    EXPECT_FALSE(HandleIsOpen(first));
    token.Clear();
    EXPECT_EQ(token.GetHandle(), nullptr);
}

TEST_F(TokenTest, EffectiveTokenIsTheThreadTokenWhileImpersonating)
{
    CAccessToken effective;
    ASSERT_TRUE(effective.GetEffectiveToken(TOKEN_QUERY));
    DWORD type = 0;
    DWORD returned = 0;
    ASSERT_TRUE(::GetTokenInformation(effective.GetHandle(), TokenType, &type, sizeof(type), &returned));
    EXPECT_EQ(type, static_cast<DWORD>(TokenPrimary));

    ScopedHandle restricted = qzsec::RestrictedAdministratorsDenyOnly(m_process.Get());
    ASSERT_TRUE(::ImpersonateLoggedOnUser(restricted.Get()));
    ASSERT_TRUE(effective.GetEffectiveToken(TOKEN_QUERY));
    ::RevertToSelf();
    ASSERT_TRUE(::GetTokenInformation(effective.GetHandle(), TokenType, &type, sizeof(type), &returned));
    EXPECT_EQ(type, static_cast<DWORD>(TokenImpersonation));
    DWORD attributes = 0;
    ASSERT_TRUE(qzsec::TokenGroupAttributes(effective.GetHandle(), L"S-1-5-32-544", attributes));
    EXPECT_NE(attributes & SE_GROUP_USE_FOR_DENY_ONLY, 0u);
}

TEST_F(TokenTest, BaseEnablePrivilege)
{
    // A disabled privilege is enabled, and the previous state reported.
    CAccessToken token;
    token.Attach(qzsec::DuplicateWithPrivilege(m_process.Get(), L"SeImpersonatePrivilege", 0).Release());
    ASSERT_NE(token.GetHandle(), nullptr);
    CTokenPrivileges previous;
    bool notAllAssigned = true;
    ASSERT_TRUE(token.EnablePrivilege(L"SeImpersonatePrivilege", &previous, &notAllAssigned));
    EXPECT_FALSE(notAllAssigned);
    DWORD attributes = 0;
    ASSERT_TRUE(qzsec::TokenHasPrivilege(token.GetHandle(), L"SeImpersonatePrivilege", &attributes));
    EXPECT_NE(attributes & SE_PRIVILEGE_ENABLED, 0u);
    LUID luid = {};
    ASSERT_TRUE(::LookupPrivilegeValueW(nullptr, L"SeImpersonatePrivilege", &luid));
    DWORD previousAttributes = 0xdeadbeef;
    ASSERT_EQ(previous.GetCount(), 1u);
    EXPECT_TRUE(previous.LookupPrivilege(luid, &previousAttributes));
    EXPECT_EQ(previousAttributes & SE_PRIVILEGE_ENABLED, 0u);

    // A privilege the token lacks: the call succeeds, not all assigned.
    CAccessToken lacking;
    lacking.Attach(
        qzsec::DuplicateWithPrivilege(m_process.Get(), L"SeBackupPrivilege", SE_PRIVILEGE_REMOVED).Release());
    notAllAssigned = false;
    EXPECT_TRUE(lacking.EnablePrivilege(L"SeBackupPrivilege", nullptr, &notAllAssigned));
    EXPECT_TRUE(notAllAssigned);

    // A name the system does not know fails and leaves the flag alone.
    notAllAssigned = true;
    EXPECT_FALSE(token.EnablePrivilege(L"SeQzNoSuchPrivilege", nullptr, &notAllAssigned));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));
    EXPECT_TRUE(notAllAssigned);
}

TEST_F(TokenTest, UserAndGroupsMatchTheToken)
{
    CAccessToken token;
    ASSERT_TRUE(token.GetProcessToken(TOKEN_QUERY));
    CSid user;
    ASSERT_TRUE(token.GetUser(&user));
    DWORD size = 0;
    ::GetTokenInformation(token.GetHandle(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> raw(size);
    ASSERT_TRUE(::GetTokenInformation(token.GetHandle(), TokenUser, raw.data(), size, &size));
    EXPECT_EQ(user.Sid(), qzsec::SidToString(reinterpret_cast<TOKEN_USER*>(raw.data())->User.Sid));

    CTokenGroups groups;
    ASSERT_TRUE(token.GetGroups(&groups));
    std::vector<CSid> sids;
    std::vector<DWORD> attributes;
    ASSERT_TRUE(groups.GetSidsAndAttributes(&sids, &attributes));
    ASSERT_EQ(sids.size(), attributes.size());
    ::GetTokenInformation(token.GetHandle(), TokenGroups, nullptr, 0, &size);
    raw.assign(size, 0);
    ASSERT_TRUE(::GetTokenInformation(token.GetHandle(), TokenGroups, raw.data(), size, &size));
    const auto* tokenGroups = reinterpret_cast<const TOKEN_GROUPS*>(raw.data());
    ASSERT_EQ(sids.size(), tokenGroups->GroupCount);
    const SID_AND_ATTRIBUTES* entries = tokenGroups->Groups;
    for (size_t i = 0; i < sids.size(); ++i)
    {
        EXPECT_EQ(sids[i].Sid(), qzsec::SidToString(entries[i].Sid)) << "group " << i;
        EXPECT_EQ(attributes[i], entries[i].Attributes) << "group " << i;
    }

    CAccessToken empty;
    CSid none;
    EXPECT_FALSE(empty.GetUser(&none));
    EXPECT_FALSE(none.IsValid());
}

TEST_F(TokenTest, ImpersonationRestoresThePreviousThreadToken)
{
    ScopedHandle restricted = qzsec::RestrictedAdministratorsDenyOnly(m_process.Get());
    ASSERT_TRUE(restricted.IsValid());
    ASSERT_FALSE(ThreadImpersonates());

    {
        CqzAccessToken token;
        AttachDuplicate(token);
        ASSERT_TRUE(token.Impersonate());
        EXPECT_TRUE(token.IsImpersonating());
        EXPECT_EQ(ThreadTokenAdminAttributes() & SE_GROUP_USE_FOR_DENY_ONLY, 0u);
        ASSERT_TRUE(token.Revert());
        EXPECT_FALSE(ThreadImpersonates());
    }

    // The thread already impersonates the restricted token; an impersonation
    // of the full token ends with the restricted one back, not with none.
    ASSERT_TRUE(::ImpersonateLoggedOnUser(restricted.Get()));
    ASSERT_NE(ThreadTokenAdminAttributes() & SE_GROUP_USE_FOR_DENY_ONLY, 0u);
    {
        CqzAccessToken token;
        AttachDuplicate(token);
        ASSERT_TRUE(token.Impersonate());
        EXPECT_EQ(ThreadTokenAdminAttributes() & SE_GROUP_USE_FOR_DENY_ONLY, 0u);
        // Destruction ends the pending impersonation.
    }
    EXPECT_NE(ThreadTokenAdminAttributes() & SE_GROUP_USE_FOR_DENY_ONLY, 0u);
    {
        CqzAccessToken token;
        AttachDuplicate(token);
        ASSERT_TRUE(token.Impersonate());
        token.Clear();
        EXPECT_FALSE(token.IsImpersonating());
        EXPECT_NE(ThreadTokenAdminAttributes() & SE_GROUP_USE_FOR_DENY_ONLY, 0u);
    }
    ::RevertToSelf();
    EXPECT_FALSE(ThreadImpersonates());

    CqzAccessToken empty;
    EXPECT_FALSE(empty.Impersonate());
    EXPECT_FALSE(ThreadImpersonates());
}

TEST_F(TokenTest, ImpersonationScopes)
{
    ScopedHandle full = qzsec::DuplicatePrimary(m_process.Get());
    ScopedHandle restricted = qzsec::RestrictedAdministratorsDenyOnly(m_process.Get());
    {
        CqzImpersonateAndRevert scope(restricted.Get());
        EXPECT_TRUE(scope.IsImpersonating());
        EXPECT_NE(ThreadTokenAdminAttributes() & SE_GROUP_USE_FOR_DENY_ONLY, 0u);
        {
            CqzImpersonateToAccessFile inner(full.Get());
            EXPECT_TRUE(inner.IsImpersonating());
            EXPECT_EQ(ThreadTokenAdminAttributes() & SE_GROUP_USE_FOR_DENY_ONLY, 0u);
        }
        EXPECT_NE(ThreadTokenAdminAttributes() & SE_GROUP_USE_FOR_DENY_ONLY, 0u);
    }
    EXPECT_FALSE(ThreadImpersonates());

    qztest::TraceCapture capture;
    {
        CqzImpersonateAndRevert scope(nullptr);
        EXPECT_FALSE(scope.IsImpersonating());
        EXPECT_EQ(scope.LastError(), 6u);
        CqzImpersonateToAccessFile file(nullptr);
        EXPECT_FALSE(file.IsImpersonating());
    }
    EXPECT_FALSE(ThreadImpersonates());
    EXPECT_EQ(capture.Entries(),
              (qztest::TraceEntries{
                  {QZT_ERROR, "CqzImpersonateAndRevert", "ERROR: ImpersonateLoggedOnUser() failed. LastError=6"},
                  {QZT_ERROR, "CqzImpersonateToAccessFile", "ERROR: Failed to impersonate user to access file"}}));
}

TEST_F(TokenTest, ProfileIsUnloadedByClear)
{
    CqzAccessToken token;
    ASSERT_TRUE(token.GetProcessToken(TOKEN_QUERY | TOKEN_IMPERSONATE | TOKEN_DUPLICATE));
    if (!token.LoadProfile())
        GTEST_SKIP() << "LoadUserProfileW failed here: " << ::GetLastError();
    EXPECT_NE(token.GetProfile(), nullptr);
    token.Clear();
    EXPECT_EQ(token.GetProfile(), nullptr);
    EXPECT_EQ(token.GetHandle(), nullptr);
}

// ---------------------------------------------------------------------------
// Other operations
// ---------------------------------------------------------------------------

TEST_F(TokenTest, EnablePrivilegeByIndexAndSeveral)
{
    CqzAccessToken token;
    token.Attach(qzsec::DuplicateWithPrivilege(m_process.Get(), L"SeBackupPrivilege", 0).Release());
    ASSERT_NE(token.GetHandle(), nullptr);
    EXPECT_TRUE(token.EnablePrivilege(16)); // SeBackupPrivilege
    EXPECT_EQ(token.LastError(), 0u);
    DWORD attributes = 0;
    ASSERT_TRUE(qzsec::TokenHasPrivilege(token.GetHandle(), L"SeBackupPrivilege", &attributes));
    EXPECT_NE(attributes & SE_PRIVILEGE_ENABLED, 0u);

    qztest::TraceCapture capture;
    // SeCreateTokenPrivilege: known, not held.
    EXPECT_FALSE(token.EnablePrivilege(0));
    EXPECT_EQ(token.LastError(), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
    EXPECT_FALSE(token.EnablePrivilege(35));
    EXPECT_EQ(token.LastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(capture.Lines(), (Lines{"ERROR: EnablePrivilege(SeCreateTokenPrivilege) failed. LastError=1300",
                                      "ERROR: Unknown privilege value 35"}));

    CqzAccessToken several;
    several.Attach(qzsec::DuplicateWithPrivilege(m_process.Get(), L"SeRestorePrivilege", 0).Release());
    CTokenPrivileges previous;
    EXPECT_TRUE(several.EnablePrivileges({L"SeRestorePrivilege", L"SeShutdownPrivilege"}, &previous));
    ASSERT_TRUE(qzsec::TokenHasPrivilege(several.GetHandle(), L"SeRestorePrivilege", &attributes));
    EXPECT_NE(attributes & SE_PRIVILEGE_ENABLED, 0u);
    ASSERT_TRUE(qzsec::TokenHasPrivilege(several.GetHandle(), L"SeShutdownPrivilege", &attributes));
    EXPECT_NE(attributes & SE_PRIVILEGE_ENABLED, 0u);
    EXPECT_EQ(previous.GetCount(), 2u);

    qztest::TraceCapture second;
    EXPECT_FALSE(several.EnablePrivileges({L"SeQzUnknownForSeveral", L"SeSystemtimePrivilege"}));
    ASSERT_TRUE(qzsec::TokenHasPrivilege(several.GetHandle(), L"SeSystemtimePrivilege", &attributes));
    EXPECT_NE(attributes & SE_PRIVILEGE_ENABLED, 0u) << "the known one is enabled still";
    EXPECT_FALSE(several.EnablePrivileges({L"SeCreateTokenPrivilege"}));
    EXPECT_EQ(several.LastError(), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
    EXPECT_EQ(second.Lines(), (Lines{"INFO: Unknown prvilege name [SeQzUnknownForSeveral]. LastError=1313",
                                     "ERROR: Failed to enable privilege:SeQzUnknownForSeveral. LastError=1313",
                                     "ERROR: EnablePrivileges failed. LastError=1300"}));
}

TEST_F(TokenTest, PrivilegeCheckSeesEnabledPrivilegesOnly)
{
    // Windows checks impersonation tokens only.
    CqzAccessToken primary;
    primary.Attach(qzsec::DuplicateWithPrivilege(m_process.Get(), L"SeImpersonatePrivilege", 0).Release());
    CqzAccessToken token;
    ASSERT_TRUE(primary.Duplicate(token, SecurityImpersonation));
    bool held = false;
    ASSERT_TRUE(token.PrivilegeCheck(L"SeChangeNotifyPrivilege", held));
    EXPECT_TRUE(held);
    held = true;
    ASSERT_TRUE(token.PrivilegeCheck(28, held)); // SeImpersonatePrivilege, disabled
    EXPECT_FALSE(held);

    qztest::TraceCapture capture;
    EXPECT_FALSE(token.PrivilegeCheck(L"SeQzUnknownForCheck", held));
    EXPECT_EQ(token.LastError(), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));
    EXPECT_EQ(capture.Lines(), (Lines{"INFO: Unknown prvilege name [SeQzUnknownForCheck]. LastError=1313",
                                      "ERROR: LookupPrivilegeValue(SeQzUnknownForCheck) failed. LastError=1313"}));
}

TEST_F(TokenTest, OpenByProcessAndThreadId)
{
    CqzAccessToken token;
    ASSERT_TRUE(token.OpenProcessTokenByProcessId(::GetCurrentProcessId()));
    EXPECT_EQ(token.LastError(), 0u);
    EXPECT_TRUE(token.IsElevatedAdmin());

    qztest::TraceCapture capture;
    // No such process: silent.
    EXPECT_FALSE(token.OpenProcessTokenByProcessId(0xFFFFFFF0));
    EXPECT_EQ(token.LastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // A thread that does not impersonate: silent.
    EXPECT_FALSE(token.OpenThreadTokenByThreadId(::GetCurrentThreadId(), TOKEN_QUERY, true));
    EXPECT_EQ(token.LastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
    EXPECT_EQ(capture.Lines(), Lines{});
    EXPECT_FALSE(token.OpenThreadTokenByThreadId(0xFFFFFFF0, TOKEN_QUERY, true));
    EXPECT_EQ(capture.Lines(), Lines{"ERROR: OpenThread failed. LastError=" + std::to_string(token.LastError())});

    // Another thread that impersonates the restricted token.
    ScopedHandle restricted = qzsec::RestrictedAdministratorsDenyOnly(m_process.Get());
    ImpersonatingThread shared;
    shared.token = restricted.Get();
    DWORD threadId = 0;
    ScopedHandle thread(::CreateThread(nullptr, 0, &ImpersonateUntilDone, &shared, 0, &threadId));
    ASSERT_TRUE(thread.IsValid());
    ::WaitForSingleObject(shared.ready.Get(), 30000);
    CqzAccessToken threadToken;
    EXPECT_TRUE(threadToken.OpenThreadTokenByThreadId(threadId, TOKEN_QUERY, true));
    ::SetEvent(shared.done.Get());
    ::WaitForSingleObject(thread.Get(), 30000);
    DWORD attributes = 0;
    EXPECT_TRUE(threadToken.GetGroupAttributes(Sid(L"S-1-5-32-544"), attributes));
    EXPECT_NE(attributes & SE_GROUP_USE_FOR_DENY_ONLY, 0u);
    EXPECT_FALSE(threadToken.IsElevatedAdmin());
}

TEST_F(TokenTest, ParentProcessTokenSeenFromAChild)
{
    qztest::TempDir dir(L"qzsec");
    const std::wstring resultPath = dir / L"result.txt";
    const std::wstring exe = qztest::BinDir() + L"\\sec_probe.exe";
    qztest::ProcessResult run =
        qztest::RunProcess(exe, qztest::QuoteArg(exe) + L" parent " + qztest::QuoteArg(resultPath));
    ASSERT_TRUE(run.finished);
    qzsec::KeyValues values = qzsec::ReadKeyValues(resultPath);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(values.Get("OpenParentProcessToken"), "1,0");
    CSid user;
    ASSERT_TRUE(CqzAccessToken::GetCurrentProcessUser(user));
    EXPECT_EQ(values.Get("parentUser"), qztest::ToUtf8(user.Sid()));
    EXPECT_EQ(values.Get("OpenParentProcessTokenAndImpersonate"), "1,0");
    EXPECT_EQ(values.Get("threadTokenWhileImpersonating"), "1");
    EXPECT_EQ(values.Get("threadTokenAfterClear"), "0");
    EXPECT_EQ(values.All("trace").size(), 0u) << values.Get("trace");
}

TEST_F(TokenTest, DuplicateIntoEmptyObjectsOnly)
{
    CqzAccessToken token;
    AttachDuplicate(token);
    CqzAccessToken copy;
    ASSERT_TRUE(token.Duplicate(copy, SecurityImpersonation));
    DWORD type = 0;
    DWORD returned = 0;
    ASSERT_TRUE(::GetTokenInformation(copy.GetHandle(), TokenType, &type, sizeof(type), &returned));
    EXPECT_EQ(type, static_cast<DWORD>(TokenImpersonation));

    qztest::TraceCapture capture;
    HANDLE held = copy.GetHandle();
    EXPECT_FALSE(token.Duplicate(copy));
    EXPECT_FALSE(token.DuplicateEx(copy, TOKEN_ALL_ACCESS, SecurityImpersonation, TokenPrimary));
    EXPECT_EQ(copy.GetHandle(), held);
    EXPECT_EQ(capture.Lines(), (Lines{"ERROR: duplicatedToken must be NULL", "ERROR: duplicatedToken must be NULL"}));

    CqzAccessToken primary;
    ASSERT_TRUE(token.DuplicateEx(primary, TOKEN_ALL_ACCESS, SecurityImpersonation, TokenPrimary));
    ASSERT_TRUE(::GetTokenInformation(primary.GetHandle(), TokenType, &type, sizeof(type), &returned));
    EXPECT_EQ(type, static_cast<DWORD>(TokenPrimary));
}

TEST_F(TokenTest, MembershipChecks)
{
    struct Row
    {
        const char* name;
        ScopedHandle token;
        const wchar_t* sid;
        bool member;
    };
    Row rows[] = {
        {"primary token, Administrators", qzsec::DuplicatePrimary(m_process.Get()), L"S-1-5-32-544", true},
        {"primary token, Users", qzsec::DuplicatePrimary(m_process.Get()), L"S-1-5-32-545", true},
        {"primary token, Power Users", qzsec::DuplicatePrimary(m_process.Get()), L"S-1-5-32-547", false},
        {"deny-only Administrators", qzsec::RestrictedAdministratorsDenyOnly(m_process.Get()), L"S-1-5-32-544", false},
    };
    for (Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        CqzAccessToken token;
        token.Attach(row.token.Release());
        bool member = !row.member;
        ASSERT_TRUE(token.CheckMembership(Sid(row.sid), 0, member));
        EXPECT_EQ(member, row.member);
    }
    CqzAccessToken token;
    AttachDuplicate(token);
    bool member = false;
    // Wine's linked token has the Administrators group enabled.
    ASSERT_TRUE(token.CheckLinkedTokenMembership(Sid(L"S-1-5-32-544"), 0, member));
    EXPECT_TRUE(member);
}

TEST_F(TokenTest, SessionLogonSidAndUserNames)
{
    CqzAccessToken token;
    AttachDuplicate(token);
    DWORD sessionId = 0xdeadbeef;
    ASSERT_TRUE(token.GetSessionId(sessionId));
    DWORD expected = 0;
    ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &expected));
    EXPECT_EQ(sessionId, expected);

    CSid logon;
    ASSERT_TRUE(token.GetLogonIdSid(logon));
    DWORD attributes = 0;
    ASSERT_TRUE(qzsec::TokenGroupAttributes(token.GetHandle(), logon.Sid().c_str(), attributes));
    EXPECT_EQ(attributes & SE_GROUP_LOGON_ID, static_cast<DWORD>(SE_GROUP_LOGON_ID));
    std::vector<CSid> logons;
    ASSERT_TRUE(token.GetLogonIdSids(logons));
    ASSERT_FALSE(logons.empty());
    EXPECT_EQ(logons.front(), logon);

    CSid user;
    ASSERT_TRUE(CqzAccessToken::GetCurrentProcessUser(user));
    std::wstring expectedName = user.Domain().empty() ? user.AccountName() : user.Domain() + L"\\" + user.AccountName();
    ASSERT_FALSE(user.AccountName().empty());
    std::wstring name;
    ASSERT_TRUE(token.GetDomainUserName(name));
    EXPECT_EQ(name, expectedName);
    std::wstring effectiveName;
    ASSERT_TRUE(CqzAccessToken::GetEffectiveDomainUserName(effectiveName));
    EXPECT_EQ(effectiveName, expectedName);
}

TEST_F(TokenTest, EffectiveImpersonationToken)
{
    CqzAccessToken token;
    ASSERT_TRUE(token.GetEffectiveImpersonationToken());
    DWORD type = 0;
    DWORD returned = 0;
    ASSERT_TRUE(::GetTokenInformation(token.GetHandle(), TokenType, &type, sizeof(type), &returned));
    EXPECT_EQ(type, static_cast<DWORD>(TokenImpersonation));
    bool member = false;
    ASSERT_TRUE(token.CheckMembership(Sid(L"S-1-5-32-544"), 0, member));
    EXPECT_TRUE(member);

    ScopedHandle restricted = qzsec::RestrictedAdministratorsDenyOnly(m_process.Get());
    ASSERT_TRUE(::ImpersonateLoggedOnUser(restricted.Get()));
    CqzAccessToken thread;
    ASSERT_TRUE(thread.GetEffectiveImpersonationToken());
    ::RevertToSelf();
    EXPECT_FALSE(thread.IsAdministratorsGroupEnabled());
}

TEST_F(TokenTest, IntegrityWritesReachTheSystem)
{
    CqzAccessToken token;
    AttachDuplicate(token);
    // Wine accepts the write and keeps high integrity (see the seam suite).
    EXPECT_TRUE(token.SetMediumIntegrityLevel());
    EXPECT_EQ(token.LastError(), 0u);
    EXPECT_TRUE(token.SetIntegrityLevelRid(0x3000));
    qztest::TraceCapture capture;
    EXPECT_FALSE(token.SetIntegrityLevel(CSid()));
    EXPECT_EQ(token.LastError(), 1337u);
    EXPECT_EQ(capture.Lines(), Lines{"ERROR: Invalid Sid parameter"});
}

TEST_F(TokenTest, ReadsWineDoesNotImplementAreTracedWithTheirClass)
{
    // Wine answers these classes with ERROR_INVALID_FUNCTION; what is checked
    // is that a failure reports the class by name and leaves its error.
    CqzAccessToken token;
    AttachDuplicate(token);
    struct Row
    {
        const char* name;
        std::function<bool()> call;
        std::string className;
        std::string form;
    };
    const std::vector<Row> rows = {
        {"GetOrigin",
         [&]
         {
             LUID origin;
             return token.GetOrigin(origin);
         },
         "TokenOrigin", ""},
        {"GetMandatoryPolicy",
         [&]
         {
             DWORD policy;
             return token.GetMandatoryPolicy(policy);
         },
         "TokenMandatoryPolicy", ""},
        {"GetUIAccess",
         [&]
         {
             bool ui;
             return token.GetUIAccess(ui);
         },
         "TokenUIAccess", ""},
        {"GetCapabilities",
         [&]
         {
             CTokenGroups caps;
             return token.GetCapabilities(caps);
         },
         "TokenCapabilities", ", NULL"},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        qztest::TraceCapture capture;
        if (row.call())
        {
            EXPECT_EQ(capture.Lines(), Lines{});
            continue;
        }
        EXPECT_EQ(capture.Lines(), Lines{"ERROR: GetTokenInformation(" + row.className + row.form +
                                         ") failed. LastError=" + std::to_string(token.LastError())});
    }
    CSid appContainer;
    if (token.GetAppContainerSid(appContainer))
    {
        EXPECT_FALSE(appContainer.IsValid()) << "not an app container";
    }
}

TEST_F(TokenTest, ApplicationModelIdAndLocale)
{
    CqzAccessToken token;
    AttachDuplicate(token);
    std::wstring id;
    qztest::TraceCapture capture;
    if (!token.GetApplicationUserModelId(id))
    {
        EXPECT_EQ(capture.Lines(), Lines{"ERROR: GetApplicationUserModelIdFromToken failed. Res=" +
                                         std::to_string(static_cast<LONG>(token.LastError()))});
        if (::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetApplicationUserModelIdFromToken") == nullptr)
        {
            EXPECT_EQ(token.LastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
        }
    }

    std::wstring language;
    ASSERT_TRUE(token.GetUserLocaleLanguage(language));
    wchar_t expected[16] = {};
    ASSERT_GT(::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SISO639LANGNAME, expected, 16), 0);
    EXPECT_EQ(language, expected);
    EXPECT_FALSE(ThreadImpersonates());
}

TEST_F(TokenTest, SaferTokenIsANewTokenOrATracedFailure)
{
    CqzAccessToken token;
    AttachDuplicate(token);
    CqzAccessToken safer;
    qztest::TraceCapture capture;
    if (token.GetSaferToken(safer))
    {
        EXPECT_NE(safer.GetHandle(), nullptr);
        EXPECT_NE(safer.GetHandle(), token.GetHandle());
        EXPECT_EQ(capture.Lines(), Lines{});
        return;
    }
    EXPECT_EQ(safer.GetHandle(), nullptr);
    const Lines lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].rfind("ERROR: SaferCreateLevel(131072) failed. LastError=", 0) == 0 ||
                lines[0].rfind("ERROR: SaferComputeTokenFromLevel(131072) failed. LastError=", 0) == 0 ||
                lines[0] == "ERROR: SetIntegrityLevelRid(8192) failed.")
        << lines[0];
}

TEST_F(TokenTest, TokenObjectSecurity)
{
    CqzAccessToken token;
    AttachDuplicate(token);
    CqzScopedLocal<void> descriptor;
    if (!token.GetSecurity(OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor))
        GTEST_SKIP() << "GetKernelObjectSecurity on a token failed here: " << token.LastError();
    ASSERT_TRUE(descriptor);
    EXPECT_TRUE(::IsValidSecurityDescriptor(descriptor.Get()));

    // A DACL for LocalSystem only, read back as SDDL.
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(system);
    ASSERT_TRUE(::CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &size));
    BYTE aclBuffer[128];
    PACL acl = reinterpret_cast<PACL>(aclBuffer);
    ASSERT_TRUE(::InitializeAcl(acl, sizeof(aclBuffer), ACL_REVISION));
    ASSERT_TRUE(::AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, system));
    if (!token.SetDacl(acl))
        GTEST_SKIP() << "SetSecurityInfo on a token failed here: " << token.LastError();
    ASSERT_TRUE(token.GetSecurity(DACL_SECURITY_INFORMATION, descriptor));
    // Read back exactly as given (GENERIC_ALL, which Wine keeps) or with the
    // generic right mapped to all of a token's rights, as Windows stores it.
    const auto systemOnly = [&system](DWORD mask)
    {
        BYTE expectedAcl[128];
        PACL expected = reinterpret_cast<PACL>(expectedAcl);
        SECURITY_DESCRIPTOR sd;
        if (!::InitializeAcl(expected, sizeof(expectedAcl), ACL_REVISION) ||
            !::AddAccessAllowedAce(expected, ACL_REVISION, mask, system) ||
            !::InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) ||
            !::SetSecurityDescriptorDacl(&sd, TRUE, expected, FALSE))
            return std::string("(not built)");
        return qztest::SddlOf(&sd, DACL_SECURITY_INFORMATION);
    };
    const std::string text = qztest::SddlOf(descriptor.Get(), DACL_SECURITY_INFORMATION);
    EXPECT_TRUE(text == systemOnly(GENERIC_ALL) || text == systemOnly(TOKEN_ALL_ACCESS)) << text;
    EXPECT_EQ("D:(A;;GA;;;SY)", systemOnly(GENERIC_ALL));

    CqzAccessToken other;
    AttachDuplicate(other);
    EXPECT_TRUE(other.CopySecurityFrom(token) || other.LastError() != 0);
}

} // namespace

// ---------------------------------------------------------------------------
// UAC state from the system policy values and the token user
// ---------------------------------------------------------------------------

namespace
{
const wchar_t* const kPolicyKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";

// Keeps the two policy values as they were before the test.
class PolicyValuesGuard
{
private:
    qztest::RegValueRestorer m_lua{HKEY_LOCAL_MACHINE, kPolicyKey, L"EnableLUA"};
    qztest::RegValueRestorer m_filter{HKEY_LOCAL_MACHINE, kPolicyKey, L"FilterAdministratorToken"};
};

typedef BOOL(WINAPI* GetTokenInformationFn)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
GetTokenInformationFn g_realGetTokenInformation = nullptr;
HANDLE g_userSeamToken = nullptr;
BYTE g_userSeamSid[SECURITY_MAX_SID_SIZE];

// Wine's user is never the built-in Administrator account (RID 500): the
// seam answers TokenUser with such a SID for one token handle.
BOOL WINAPI UserSeamGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID buffer, DWORD length,
                                        PDWORD returned)
{
    if (g_userSeamToken == nullptr || token != g_userSeamToken || infoClass != TokenUser)
        return g_realGetTokenInformation(token, infoClass, buffer, length, returned);
    const DWORD sidLength = ::GetLengthSid(g_userSeamSid);
    const DWORD size = sizeof(TOKEN_USER) + sidLength;
    *returned = size;
    if (buffer == nullptr || length < size)
    {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* user = static_cast<TOKEN_USER*>(buffer);
    user->User.Sid = static_cast<BYTE*>(buffer) + sizeof(TOKEN_USER);
    user->User.Attributes = 0;
    std::memcpy(user->User.Sid, g_userSeamSid, sidLength);
    return TRUE;
}

TEST_F(TokenTest, UacStateFromPolicyAndUser)
{
    PolicyValuesGuard guard;
    struct Row
    {
        const char* name;
        int enableLua;   // -1: absent; -2: stored as a string
        int filterAdmin; // -1: absent
        bool builtinAdministrator;
        bool enabled;
    };
    const Row rows[] = {
        {"no values", -1, -1, false, true},
        {"EnableLUA 0", 0, -1, false, false},
        {"EnableLUA 0 wins over FilterAdministratorToken", 0, 1, true, false},
        {"EnableLUA 1", 1, -1, false, true},
        {"EnableLUA as a string is unreadable", -2, -1, false, true},
        {"built-in Administrator runs unfiltered", 1, 0, true, false},
        {"built-in Administrator, no values", -1, -1, true, false},
        {"FilterAdministratorToken filters the built-in Administrator", 1, 1, true, true},
    };
    qzsec::IatHook hook("advapi32.dll", "GetTokenInformation", reinterpret_cast<void*>(&UserSeamGetTokenInformation));
    ASSERT_TRUE(hook.Installed());
    g_realGetTokenInformation = hook.OriginalAs<GetTokenInformationFn>();
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        qztest::DeleteRegValue(HKEY_LOCAL_MACHINE, kPolicyKey, L"EnableLUA");
        qztest::DeleteRegValue(HKEY_LOCAL_MACHINE, kPolicyKey, L"FilterAdministratorToken");
        if (row.enableLua >= 0)
        {
            ASSERT_TRUE(qztest::SetRegDword(HKEY_LOCAL_MACHINE, kPolicyKey, L"EnableLUA", row.enableLua));
        }
        if (row.enableLua == -2)
        {
            ASSERT_TRUE(qztest::SetRegString(HKEY_LOCAL_MACHINE, kPolicyKey, L"EnableLUA", L"0"));
        }
        if (row.filterAdmin >= 0)
        {
            ASSERT_TRUE(
                qztest::SetRegDword(HKEY_LOCAL_MACHINE, kPolicyKey, L"FilterAdministratorToken", row.filterAdmin));
        }

        CqzAccessToken token;
        AttachDuplicate(token);
        CqzSid administrator(L"S-1-5-21-1-2-3-500");
        std::memcpy(g_userSeamSid, administrator.GetPSID(), administrator.GetLength());
        g_userSeamToken = row.builtinAdministrator ? token.GetHandle() : nullptr;
        EXPECT_EQ(token.IsUACEnabled(), row.enabled);
        g_userSeamToken = nullptr;
    }

    // The token user cannot be read: traced, and UAC counts as on.
    qztest::DeleteRegValue(HKEY_LOCAL_MACHINE, kPolicyKey, L"EnableLUA");
    qztest::DeleteRegValue(HKEY_LOCAL_MACHINE, kPolicyKey, L"FilterAdministratorToken");
    CqzAccessToken empty;
    qztest::TraceCapture capture;
    EXPECT_TRUE(empty.IsUACEnabled());
    EXPECT_EQ(capture.Lines(), Lines{"ERROR: Failed to get token user. LastError=6"});
}
} // namespace
