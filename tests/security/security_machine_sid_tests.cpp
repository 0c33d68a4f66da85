// The machine SID: read from the SAM's account-domain value, with its
// fallback to the computer's own account domain by name, cached once valid.
// The cache lives for the process, so the test below runs its cases in
// order, valid data last; the fallback's success runs in a child process.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/security/security.h"
#include "common/util/os.h"
#include "testing/harness/harness.h"
#include "tests/security/sec_test_util.h"

namespace
{
typedef std::vector<std::string> Lines;
const wchar_t* const kAccountKey = L"SECURITY\\SAM\\Domains\\Account";

typedef LONG(WINAPI* RegOpenKeyExWFn)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY);
typedef BOOL(WINAPI* LookupAccountNameWFn)(LPCWSTR, LPCWSTR, PSID, LPDWORD, LPWSTR, LPDWORD, PSID_NAME_USE);

struct Seam
{
    RegOpenKeyExWFn regOpen = nullptr;
    LookupAccountNameWFn lookup = nullptr;
    LONG openResult = ERROR_SUCCESS; // non-zero: opening the account key fails with it
    int accountKeyOpens = 0;
    std::vector<std::wstring> tried;
    std::vector<std::pair<std::wstring, std::wstring>> alias;
};
Seam g_seam;

LONG WINAPI SeamRegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM access, PHKEY key)
{
    if (root == HKEY_LOCAL_MACHINE && subKey != nullptr && ::lstrcmpiW(subKey, kAccountKey) == 0)
    {
        ++g_seam.accountKeyOpens;
        if (g_seam.openResult != ERROR_SUCCESS)
            return g_seam.openResult;
    }
    return g_seam.regOpen(root, subKey, options, access, key);
}

BOOL WINAPI SeamLookupAccountNameW(LPCWSTR system, LPCWSTR name, PSID sid, LPDWORD sidSize, LPWSTR domain,
                                   LPDWORD domainSize, PSID_NAME_USE use)
{
    const std::wstring text = name != nullptr ? name : L"";
    if (g_seam.tried.empty() || g_seam.tried.back() != text)
        g_seam.tried.push_back(text);
    for (const auto& entry : g_seam.alias)
    {
        if (::lstrcmpiW(entry.first.c_str(), text.c_str()) == 0)
            return g_seam.lookup(system, entry.second.c_str(), sid, sidSize, domain, domainSize, use);
    }
    return g_seam.lookup(system, name, sid, sidSize, domain, domainSize, use);
}

// Value "V" ending with the SID S-1-5-<subAuthorities...>.
std::vector<BYTE> ValueEndingWithSid(size_t prefix, const std::vector<DWORD>& subAuthorities, BYTE revision = 1)
{
    std::vector<BYTE> data(prefix, 0xAB);
    data.push_back(revision);
    data.push_back(static_cast<BYTE>(subAuthorities.size()));
    const BYTE authority[6] = {0, 0, 0, 0, 0, 5};
    data.insert(data.end(), authority, authority + 6);
    for (DWORD value : subAuthorities)
    {
        const BYTE* bytes = reinterpret_cast<const BYTE*>(&value);
        data.insert(data.end(), bytes, bytes + 4);
    }
    return data;
}

class MachineSidTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_regHook.reset(
            new qzsec::IatHook("advapi32.dll", "RegOpenKeyExW", reinterpret_cast<void*>(&SeamRegOpenKeyExW)));
        m_nameHook.reset(
            new qzsec::IatHook("advapi32.dll", "LookupAccountNameW", reinterpret_cast<void*>(&SeamLookupAccountNameW)));
        ASSERT_TRUE(m_regHook->Installed());
        ASSERT_TRUE(m_nameHook->Installed());
        g_seam = Seam();
        g_seam.regOpen = m_regHook->OriginalAs<RegOpenKeyExWFn>();
        g_seam.lookup = m_nameHook->OriginalAs<LookupAccountNameWFn>();
        ASSERT_TRUE(CqzOperatingSystem::GetComputerNameW(m_computer));
    }
    void TearDown() override
    {
        m_nameHook.reset();
        m_regHook.reset();
    }

    std::unique_ptr<qzsec::IatHook> m_regHook;
    std::unique_ptr<qzsec::IatHook> m_nameHook;
    std::wstring m_computer;
};

TEST_F(MachineSidTest, RegistryValueThenCache)
{
    HKEY existing = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SECURITY", 0, KEY_QUERY_VALUE, &existing) == ERROR_SUCCESS)
    {
        ::RegCloseKey(existing);
        GTEST_SKIP() << "HKLM\\SECURITY exists: this is not a test prefix";
    }
    struct Cleanup
    {
        ~Cleanup() { qztest::DeleteRegTree(HKEY_LOCAL_MACHINE, L"SECURITY"); }
    } cleanup;

    struct Row
    {
        const char* name;
        LONG openResult;
        DWORD type;
        std::vector<BYTE> data; // empty with REG_NONE: no key at all
        Lines lines;
    };
    std::vector<BYTE> tooLong = ValueEndingWithSid(1100, {21, 1, 2, 3});
    const std::vector<Row> rows = {
        {"no key", 0, REG_NONE, {}, {"WARNING: Failed to retrieve machine SID from registry. res=2"}},
        {"access denied: no line", ERROR_ACCESS_DENIED, REG_NONE, {}, {}},
        {"string value", 0, REG_SZ, {'a', 0, 0, 0}, {"WARNING: Failed to retrieve machine SID from registry. res=13"}},
        {"23 bytes",
         0,
         REG_BINARY,
         std::vector<BYTE>(23, 1),
         {"WARNING: Failed to retrieve machine SID from registry. res=13"}},
        {"ends with S-1-5-32-1-2-3",
         0,
         REG_BINARY,
         ValueEndingWithSid(16, {32, 1, 2, 3}),
         {"WARNING: Failed to retrieve machine SID from registry. res=13"}},
        {"ends with a 3-part S-1-5-21 SID",
         0,
         REG_BINARY,
         ValueEndingWithSid(20, {21, 1, 2}),
         {"WARNING: Failed to retrieve machine SID from registry. res=13"}},
        {"revision 2",
         0,
         REG_BINARY,
         ValueEndingWithSid(16, {21, 1, 2, 3}, 2),
         {"WARNING: Failed to retrieve machine SID from registry. res=13"}},
        {"more than 1024 bytes",
         0,
         REG_BINARY,
         tooLong,
         {"WARNING: Failed to retrieve machine SID from registry. res=234"}},
    };
    // Windows resolves "<computer>\" to the account domain. Wine does not; the
    // name fallbacks then try "BUILTIN\", which names the BUILTIN domain on
    // Windows (Wine resolves it only without the backslash, so the seam says
    // it as Windows would): that SID is refused as a machine SID.
    g_seam.alias = {{L"BUILTIN\\", L"BUILTIN"}};
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        qztest::DeleteRegTree(HKEY_LOCAL_MACHINE, L"SECURITY");
        if (row.type != REG_NONE)
        {
            ASSERT_TRUE(qztest::SetRegBytes(HKEY_LOCAL_MACHINE, kAccountKey, L"V", row.data.data(),
                                            static_cast<DWORD>(row.data.size()), row.type));
        }
        g_seam.openResult = row.openResult;
        g_seam.tried.clear();
        qztest::TraceCapture capture;
        const CqzSid& sid = SqzSids::GetMachineSid();
        EXPECT_FALSE(sid.IsValid()) << qztest::ToUtf8(sid.Sid());
        EXPECT_EQ(capture.Lines(), row.lines);
        EXPECT_EQ(g_seam.tried, (std::vector<std::wstring>{m_computer + L"\\", L"BUILTIN\\"}));
        EXPECT_FALSE(SqzSids::GetLocalDomainUsersSid().IsValid());
    }

    // Valid data: the last 24 bytes.
    g_seam.openResult = ERROR_SUCCESS;
    g_seam.tried.clear();
    const std::vector<BYTE> good = ValueEndingWithSid(100, {21, 11, 22, 33});
    ASSERT_TRUE(qztest::SetRegBytes(HKEY_LOCAL_MACHINE, kAccountKey, L"V", good.data(), static_cast<DWORD>(good.size()),
                                    REG_BINARY));
    {
        qztest::TraceCapture capture;
        const CqzSid& sid = SqzSids::GetMachineSid();
        ASSERT_TRUE(sid.IsValid());
        EXPECT_EQ(sid.Sid(), L"S-1-5-21-11-22-33");
        EXPECT_EQ(capture.Lines(), Lines{});
        EXPECT_EQ(g_seam.tried, std::vector<std::wstring>{});
    }

    // From now on the cache answers: the registry is not read again.
    qztest::DeleteRegTree(HKEY_LOCAL_MACHINE, L"SECURITY");
    const int opens = g_seam.accountKeyOpens;
    EXPECT_EQ(SqzSids::GetMachineSid().Sid(), L"S-1-5-21-11-22-33");
    EXPECT_EQ(&SqzSids::GetMachineSid(), &SqzSids::GetMachineSid());
    EXPECT_EQ(g_seam.accountKeyOpens, opens);

    const CqzSid& users = SqzSids::GetLocalDomainUsersSid();
    ASSERT_TRUE(users.IsValid());
    EXPECT_EQ(users.Sid(), L"S-1-5-21-11-22-33-513");
    EXPECT_EQ(&SqzSids::GetLocalDomainUsersSid(), &users);
}

// Runs in a child process of this executable (see below): the fallback by
// name, answered as Windows answers "<computer>\".
TEST_F(MachineSidTest, DISABLED_FallbackToTheComputersAccountDomain)
{
    g_seam.openResult = ERROR_FILE_NOT_FOUND;
    // Wine names the account domain only without the backslash.
    g_seam.alias = {{m_computer + L"\\", m_computer}};
    qztest::TraceCapture capture;
    const CqzSid& sid = SqzSids::GetMachineSid();
    ASSERT_TRUE(sid.IsValid());
    EXPECT_EQ(sid.GetSubAuthorityCount(), 4);
    EXPECT_EQ(sid.GetSubAuthority(0), 21u);
    EXPECT_EQ(g_seam.tried, std::vector<std::wstring>{m_computer + L"\\"});
    EXPECT_EQ(capture.Lines(), Lines{"WARNING: Failed to retrieve machine SID from registry. res=2"});
    std::wstring text;
    ASSERT_TRUE(sid.GetSidString(text));
    EXPECT_EQ(SqzSids::GetLocalDomainUsersSid().Sid(), text + L"-513");
}

TEST(MachineSidFallback, RunsInAFreshProcess)
{
    const std::wstring exe = qztest::ModulePath();
    qztest::ProcessResult run = qztest::RunProcess(
        exe, qztest::QuoteArg(exe) + L" --gtest_also_run_disabled_tests "
                                     L"--gtest_filter=MachineSidTest.DISABLED_FallbackToTheComputersAccountDomain");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u) << "the child's test failed";
}

} // namespace
