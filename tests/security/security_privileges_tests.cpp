// Privilege names and LUIDs: the index table, the process-wide LUID cache
// (one system lookup per name, the unknown-privilege marker, failures that
// are not cached, many threads at once), LUID to name with its retry, and
// the standard user's privileges.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/security/security.h"
#include "common/util/os.h"
#include "testing/harness/harness.h"
#include "tests/security/sec_test_util.h"

namespace
{
typedef std::vector<std::string> Lines;
typedef BOOL(WINAPI* LookupPrivilegeValueWFn)(LPCWSTR, LPCWSTR, PLUID);
typedef BOOL(WINAPI* LookupPrivilegeNameWFn)(LPCWSTR, PLUID, LPWSTR, LPDWORD);

// Counts the system lookups made through this executable's import table,
// and can make one name fail once with a chosen error.
struct LookupCounter
{
    LookupPrivilegeValueWFn original = nullptr;
    std::atomic<long> calls{0};
    std::wstring failOnceName;
    DWORD failOnceError = 0;
};
LookupCounter g_lookups;

BOOL WINAPI CountingLookupPrivilegeValueW(LPCWSTR system, LPCWSTR name, PLUID luid)
{
    ++g_lookups.calls;
    if (name != nullptr && !g_lookups.failOnceName.empty() && g_lookups.failOnceName == name)
    {
        g_lookups.failOnceName.clear();
        ::SetLastError(g_lookups.failOnceError);
        return FALSE;
    }
    return g_lookups.original(system, name, luid);
}

class PrivilegeCacheTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_hook.reset(new qzsec::IatHook("advapi32.dll", "LookupPrivilegeValueW",
                                        reinterpret_cast<void*>(&CountingLookupPrivilegeValueW)));
        ASSERT_TRUE(m_hook->Installed());
        g_lookups.original = m_hook->OriginalAs<LookupPrivilegeValueWFn>();
        g_lookups.calls = 0;
    }
    void TearDown() override { m_hook.reset(); }

    std::unique_ptr<qzsec::IatHook> m_hook;
};

TEST(PrivilegeNames, IndexTable)
{
    const wchar_t* const expected[] = {L"SeCreateTokenPrivilege",
                                       L"SeAssignPrimaryTokenPrivilege",
                                       L"SeLockMemoryPrivilege",
                                       L"SeIncreaseQuotaPrivilege",
                                       L"SeUnsolicitedInputPrivilege",
                                       L"SeMachineAccountPrivilege",
                                       L"SeTcbPrivilege",
                                       L"SeSecurityPrivilege",
                                       L"SeTakeOwnershipPrivilege",
                                       L"SeLoadDriverPrivilege",
                                       L"SeSystemProfilePrivilege",
                                       L"SeSystemtimePrivilege",
                                       L"SeProfileSingleProcessPrivilege",
                                       L"SeIncreaseBasePriorityPrivilege",
                                       L"SeCreatePagefilePrivilege",
                                       L"SeCreatePermanentPrivilege",
                                       L"SeBackupPrivilege",
                                       L"SeRestorePrivilege",
                                       L"SeShutdownPrivilege",
                                       L"SeDebugPrivilege",
                                       L"SeAuditPrivilege",
                                       L"SeSystemEnvironmentPrivilege",
                                       L"SeChangeNotifyPrivilege",
                                       L"SeRemoteShutdownPrivilege",
                                       L"SeUndockPrivilege",
                                       L"SeSyncAgentPrivilege",
                                       L"SeEnableDelegationPrivilege",
                                       L"SeManageVolumePrivilege",
                                       L"SeImpersonatePrivilege",
                                       L"SeCreateGlobalPrivilege",
                                       L"SeIncreaseWorkingSetPrivilege",
                                       L"SeCreateSymbolicLinkPrivilege",
                                       L"SeTimeZonePrivilege",
                                       L"SeTrustedCredManAccessPrivilege",
                                       L"SeRelabelPrivilege"};
    static_assert(sizeof(expected) / sizeof(expected[0]) == CqzAccessPriveleges::PrivilegeIndexCount, "table size");
    // Windows' LUIDs of the table's names.
    const DWORD kWellKnownLuids[] = {2,  3,  4,  5,  6,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18,
                                     19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 33, 35, 34, 31, 32};
    static_assert(sizeof(kWellKnownLuids) / sizeof(DWORD) == CqzAccessPriveleges::PrivilegeIndexCount, "LUIDs");
    qztest::TraceCapture capture;
    for (int i = 0; i < CqzAccessPriveleges::PrivilegeIndexCount; ++i)
    {
        ASSERT_NE(CqzAccessPriveleges::GetPrivilegeName(i), nullptr) << "index " << i;
        EXPECT_STREQ(CqzAccessPriveleges::GetPrivilegeName(i), expected[i]) << "index " << i;
        // The system's LUID for the name, where it knows it. The table runs
        // in LUID order up to SeCreateGlobalPrivilege (machine account and
        // unsolicited input share 6); its last five are out of that order.
        LUID luid = {};
        if (::LookupPrivilegeValueW(nullptr, expected[i], &luid))
        {
            EXPECT_EQ(luid.LowPart, kWellKnownLuids[i]) << "index " << i;
            EXPECT_EQ(luid.HighPart, 0) << "index " << i;
        }
    }
    EXPECT_EQ(capture.Lines(), Lines{});
    EXPECT_EQ(CqzAccessPriveleges::GetPrivilegeName(-1), nullptr);
    EXPECT_EQ(CqzAccessPriveleges::GetPrivilegeName(35), nullptr);
    EXPECT_EQ(capture.Lines(), (Lines{"ERROR: Unknown privilege value -1", "ERROR: Unknown privilege value 35"}));
}

TEST_F(PrivilegeCacheTest, UnknownNameCostsOneLookupAndOneInfoLine)
{
    const wchar_t* const name = L"SeDelegateSessionUserImpersonatePrivilege";
    LUID system = {};
    if (g_lookups.original(nullptr, name, &system))
        GTEST_SKIP() << "this system knows the name";
    g_lookups.calls = 0;

    qztest::TraceCapture capture;
    LUID luid = {0xdeadbeef, 0x0badf00d};
    ::SetLastError(0);
    EXPECT_FALSE(CqzAccessPriveleges::LookupPrivilegeValue(name, luid));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));
    EXPECT_EQ(g_lookups.calls, 1);
    EXPECT_EQ(luid.LowPart, 0xdeadbeefu) << "out value untouched";
    EXPECT_EQ(capture.Lines(),
              Lines{"INFO: Unknown prvilege name [SeDelegateSessionUserImpersonatePrivilege]. LastError=1313"});

    for (int again = 0; again < 3; ++again)
    {
        ::SetLastError(0);
        EXPECT_FALSE(CqzAccessPriveleges::LookupPrivilegeValue(name, luid));
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));
    }
    EXPECT_EQ(g_lookups.calls, 1) << "answered from the cache";
    EXPECT_EQ(capture.Lines().size(), 1u);
    EXPECT_EQ(luid.LowPart, 0xdeadbeefu);
}

TEST_F(PrivilegeCacheTest, KnownNameCostsOneLookupThenComesFromTheCache)
{
    LUID system = {};
    ASSERT_TRUE(g_lookups.original(nullptr, L"SeSystemEnvironmentPrivilege", &system));
    g_lookups.calls = 0;
    LUID luid = {};
    ASSERT_TRUE(CqzAccessPriveleges::LookupPrivilegeValue(L"SeSystemEnvironmentPrivilege", luid));
    EXPECT_EQ(luid.LowPart, system.LowPart);
    EXPECT_EQ(luid.HighPart, system.HighPart);
    EXPECT_EQ(g_lookups.calls, 1);
    LUID again = {};
    ASSERT_TRUE(CqzAccessPriveleges::LookupPrivilegeValue(21, again)); // the same privilege by index
    EXPECT_EQ(again.LowPart, system.LowPart);
    EXPECT_EQ(g_lookups.calls, 1);

    // Names are compared with case: another spelling is another entry.
    ASSERT_TRUE(CqzAccessPriveleges::LookupPrivilegeValue(L"SESYSTEMENVIRONMENTPRIVILEGE", again));
    EXPECT_EQ(again.LowPart, system.LowPart);
    EXPECT_EQ(g_lookups.calls, 2);

    ::SetLastError(0);
    EXPECT_FALSE(CqzAccessPriveleges::LookupPrivilegeValue(nullptr, again));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    qztest::TraceCapture capture;
    EXPECT_FALSE(CqzAccessPriveleges::LookupPrivilegeValue(99, again));
    EXPECT_EQ(capture.Lines(), Lines{"ERROR: Unknown privilege value 99"});
    EXPECT_EQ(g_lookups.calls, 2);
}

// Only "no such privilege" is remembered: another failure is asked again.
TEST_F(PrivilegeCacheTest, PassingFailureIsNotCached)
{
    g_lookups.failOnceName = L"SeSyncAgentPrivilege";
    g_lookups.failOnceError = RPC_S_SERVER_UNAVAILABLE;
    qztest::TraceCapture capture;
    LUID luid = {};
    ::SetLastError(0);
    EXPECT_FALSE(CqzAccessPriveleges::LookupPrivilegeValue(L"SeSyncAgentPrivilege", luid));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    EXPECT_EQ(capture.Lines(), Lines{"INFO: Unknown prvilege name [SeSyncAgentPrivilege]. LastError=1722"});
    EXPECT_TRUE(CqzAccessPriveleges::LookupPrivilegeValue(L"SeSyncAgentPrivilege", luid));
    EXPECT_EQ(luid.LowPart, 26u);
    EXPECT_EQ(g_lookups.calls, 2);
    EXPECT_TRUE(CqzAccessPriveleges::LookupPrivilegeValue(L"SeSyncAgentPrivilege", luid));
    EXPECT_EQ(g_lookups.calls, 2);
}

TEST(PrivilegeCacheThreads, ConcurrentLookupsAgreeWithTheSystem)
{
    struct Query
    {
        std::wstring name;
        bool known;
        LUID luid;
    };
    std::vector<Query> queries;
    for (const wchar_t* name :
         {L"SeBackupPrivilege", L"SeRestorePrivilege", L"SeShutdownPrivilege", L"SeDebugPrivilege",
          L"SeTimeZonePrivilege", L"SeCreateSymbolicLinkPrivilege", L"SeAuditPrivilege", L"SeQzThreadsUnknown",
          L"SeLockMemoryPrivilege", L"SeRelabelPrivilege"})
    {
        Query query{name, false, {}};
        query.known = ::LookupPrivilegeValueW(nullptr, name, &query.luid) != FALSE;
        queries.push_back(query);
    }
    const int kThreads = 8;
    const int kRounds = 2000;
    std::atomic<int> mismatches{0};
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(
            [&, t]
            {
                ++ready;
                while (ready < kThreads)
                    ::Sleep(0);
                for (int round = 0; round < kRounds; ++round)
                {
                    const Query& query = queries[(round + t) % queries.size()];
                    LUID luid = {};
                    const bool found = CqzAccessPriveleges::LookupPrivilegeValue(query.name.c_str(), luid);
                    if (found != query.known ||
                        (found && (luid.LowPart != query.luid.LowPart || luid.HighPart != query.luid.HighPart)))
                        ++mismatches;
                    // Fresh names from every thread at once: inserts race with searches.
                    const std::wstring fresh = L"SeQzThread" + std::to_wstring(t) + L"_" + std::to_wstring(round % 7);
                    if (CqzAccessPriveleges::LookupPrivilegeValue(fresh.c_str(), luid))
                        ++mismatches;
                }
            });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches, 0);
}

// ---------------------------------------------------------------------------
// LUID to name
// ---------------------------------------------------------------------------

struct NameHook
{
    LookupPrivilegeNameWFn original = nullptr;
    int calls = 0;
    std::vector<DWORD> offeredLengths;
    DWORD firstReportedLength = 0; // the first call fails with 122 and this length
    bool retryFails = false;
};
NameHook g_names;

BOOL WINAPI FakeLookupPrivilegeNameW(LPCWSTR, PLUID luid, LPWSTR name, LPDWORD length)
{
    ++g_names.calls;
    g_names.offeredLengths.push_back(*length);
    if (g_names.calls == 1)
    {
        *length = g_names.firstReportedLength;
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (g_names.retryFails)
    {
        ::SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    const std::wstring text = L"SeQzLongName" + std::to_wstring(luid->LowPart);
    std::memcpy(name, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    *length = static_cast<DWORD>(text.size());
    return TRUE;
}

TEST(PrivilegeNameLookup, KnownAndUnknownLuids)
{
    std::wstring name = L"junk";
    ASSERT_TRUE(CqzAccessPriveleges::LookupPrivilegeName(LUID{17, 0}, name));
    EXPECT_EQ(name, L"SeBackupPrivilege");

    qztest::TraceCapture capture;
    name = L"junk";
    EXPECT_FALSE(CqzAccessPriveleges::LookupPrivilegeName(LUID{1, 0}, name));
    // The first call's failure leaves what that call wrote: nothing.
    EXPECT_EQ(name, L"");
    EXPECT_EQ(capture.Lines(), Lines{"ERROR: LookupPrivilegeName() failed. LastError=1313"});
}

TEST(PrivilegeNameLookup, RetryWithTheReportedLengthPlusTwo)
{
    qzsec::IatHook hook("advapi32.dll", "LookupPrivilegeNameW", reinterpret_cast<void*>(&FakeLookupPrivilegeNameW));
    ASSERT_TRUE(hook.Installed());

    g_names = NameHook();
    g_names.firstReportedLength = 300;
    std::wstring name;
    EXPECT_TRUE(CqzAccessPriveleges::LookupPrivilegeName(LUID{77, 0}, name));
    EXPECT_EQ(name, L"SeQzLongName77");
    EXPECT_EQ(g_names.offeredLengths, (std::vector<DWORD>{256, 302}));

    struct Row
    {
        LUID luid;
        std::string line;
        std::wstring text;
    };
    const Row rows[] = {
        {{77, 0}, "ERROR: LookupPrivilegeName({0,77) failed. LastError=1313", L"Unknown{0,77}"},
        {{0xFFFFFFFF, -1},
         "ERROR: LookupPrivilegeName({-1,4294967295) failed. LastError=1313",
         L"Unknown{-1,4294967295}"},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.line);
        g_names = NameHook();
        g_names.firstReportedLength = 300;
        g_names.retryFails = true;
        qztest::TraceCapture capture;
        name.clear();
        EXPECT_FALSE(CqzAccessPriveleges::LookupPrivilegeName(row.luid, name));
        EXPECT_EQ(name, row.text);
        EXPECT_EQ(g_names.calls, 2);
        EXPECT_EQ(capture.Lines(), Lines{row.line});
    }
}

// ---------------------------------------------------------------------------
// Marker and standard-user privileges
// ---------------------------------------------------------------------------

TEST(PrivilegeMarker, OnlyTheMarkerIsInvalid)
{
    EXPECT_TRUE(CqzAccessPriveleges::IsInvalidLuid(LUID{0xFDFDEFEF, 0x0A0A0B0B}));
    EXPECT_TRUE(CqzAccessPriveleges::IsInvalidLuid(CqzAccessPriveleges::UnknownPrivilegeLuid));
    EXPECT_FALSE(CqzAccessPriveleges::IsInvalidLuid(LUID{0xFDFDEFEF, 0}));
    EXPECT_FALSE(CqzAccessPriveleges::IsInvalidLuid(LUID{0, 0x0A0A0B0B}));
    EXPECT_FALSE(CqzAccessPriveleges::IsInvalidLuid(LUID{17, 0}));
}

TEST(StandardUserPrivileges, VistaListByLuid)
{
    if (CqzOperatingSystem::GetMajorVersion() < 6)
        GTEST_SKIP() << "the rows are the Vista list";
    struct Row
    {
        const wchar_t* name;
        bool standard;
    };
    const Row rows[] = {
        {L"SeChangeNotifyPrivilege", true}, {L"SeShutdownPrivilege", true},
        {L"SeUndockPrivilege", true},       {L"SeIncreaseWorkingSetPrivilege", true},
        {L"SeTimeZonePrivilege", true},     {L"SeCreateGlobalPrivilege", false},
        {L"SeBackupPrivilege", false},      {L"SeDebugPrivilege", false},
    };
    for (const Row& row : rows)
    {
        LUID luid = {};
        if (!::LookupPrivilegeValueW(nullptr, row.name, &luid))
            continue; // not known to this system (Wine lacks the Vista names)
        EXPECT_EQ(CqzAccessPriveleges::IsStandardUserPrivilege(luid), row.standard) << qztest::ToUtf8(row.name);
    }
    // A slot left empty by a name the system does not know never matches.
    EXPECT_FALSE(CqzAccessPriveleges::IsStandardUserPrivilege(LUID{0, 0}));
    EXPECT_FALSE(CqzAccessPriveleges::IsStandardUserPrivilege(CqzAccessPriveleges::UnknownPrivilegeLuid));
}

} // namespace
