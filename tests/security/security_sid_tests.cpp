// SIDs: loading by SID string and by name with the BUILTIN / computer-name /
// ".\" fallbacks, integrity-label and capability SIDs, the trace strings and
// group-attribute words, local-group membership, localized group names,
// well-known SIDs, and the lines for the process-monitor debug device.
#include <windows.h>

#include <lm.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/security/security.h"
#include "common/util/os.h"
#include "testing/harness/harness.h"
#include "tests/security/sec_test_util.h"

namespace
{
typedef std::vector<std::string> Lines;

std::wstring ComputerName()
{
    std::wstring name;
    CqzOperatingSystem::GetComputerNameW(name);
    return name;
}

// ---------------------------------------------------------------------------
// Integrity-label and capability SIDs
// ---------------------------------------------------------------------------

TEST(SidKinds, IntegrityLevelSids)
{
    struct Row
    {
        const wchar_t* sid;
        bool valid;
        DWORD rid;
        Lines lines;
    };
    const Row rows[] = {
        {L"S-1-16-12288", true, 0x3000, {}},
        {L"S-1-16-16384", true, 0x4000, {}},
        {L"S-1-16-0", true, 0, {}},
        {L"S-1-16-12288-1",
         false,
         0,
         {"WARNING: SECURITY_MANDATORY_LABEL_AUTHORITY SID has unexpected subauthorities count: [S-1-16-12288-1]"}},
        {L"S-1-5-32-544", false, 0, {}},
        {L"S-1-15-3-1", false, 0, {}},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(qztest::ToUtf8(row.sid));
        CqzSid sid;
        ASSERT_TRUE(sid.LoadAccountBySidString(row.sid));
        qztest::TraceCapture capture;
        DWORD rid = 0xdeadbeef;
        EXPECT_EQ(sid.IsValidIntegrityLevelSid(rid), row.valid);
        EXPECT_EQ(rid, row.valid ? row.rid : 0xdeadbeef);
        EXPECT_EQ(capture.Lines(), row.lines);
    }
    qztest::TraceCapture capture;
    DWORD rid = 0xdeadbeef;
    EXPECT_FALSE(CqzSid().IsValidIntegrityLevelSid(rid));
    EXPECT_EQ(rid, 0xdeadbeefu);
    EXPECT_EQ(capture.Lines(), Lines{});
}

// The SID of a device capability: S-1-15-3 followed by the GUID's four DWORDs.
std::wstring CapabilitySidOf(const GUID& guid)
{
    DWORD parts[4];
    std::memcpy(parts, &guid, sizeof(parts));
    return L"S-1-15-3-" + std::to_wstring(parts[0]) + L"-" + std::to_wstring(parts[1]) + L"-" +
           std::to_wstring(parts[2]) + L"-" + std::to_wstring(parts[3]);
}

TEST(SidKinds, CapabilitySidsRenderWithTheirNames)
{
    const GUID webcam = {0xe5323777, 0xf976, 0x4f5b, {0x9b, 0x55, 0xb9, 0x46, 0x99, 0xc4, 0x6e, 0x44}};
    const GUID location = {0xbfa794e4, 0xf964, 0x4fdb, {0x90, 0xf6, 0x51, 0x05, 0x6b, 0xfe, 0x4b, 0x44}};
    const GUID other = {0x01234567, 0x89ab, 0xcdef, {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}};
    struct Row
    {
        std::wstring sid;
        std::wstring trace;
    };
    const std::wstring webcamSid = CapabilitySidOf(webcam);
    const std::wstring locationSid = CapabilitySidOf(location);
    const std::wstring otherSid = CapabilitySidOf(other);
    const Row rows[] = {
        {L"S-1-15-3-1", L"Capability=[InternetClient] SID=[S-1-15-3-1]"},
        {L"S-1-15-3-10", L"Capability=[RemovableStorage] SID=[S-1-15-3-10]"},
        {L"S-1-15-3-4096", L"Capability=[InternetExplorer] SID=[S-1-15-3-4096]"},
        {L"S-1-15-3-77", L"Capability=[0x0000004D] SID=[S-1-15-3-77]"},
        {webcamSid, L"Capability=[Webcam] SID=[" + webcamSid + L"]"},
        {locationSid, L"Capability=[Location] SID=[" + locationSid + L"]"},
        {otherSid, L"Capability=[{01234567-89AB-CDEF-0123-456789ABCDEF}] SID=[" + otherSid + L"]"},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(qztest::ToUtf8(row.sid));
        CqzSid sid(row.sid.c_str());
        ASSERT_TRUE(sid.IsValid());
        EXPECT_EQ(sid.GetTraceString(), row.trace);
    }

    DWORD rid = 0;
    EXPECT_TRUE(CqzSid(L"S-1-15-3-1").IsBuiltInCapabilitySid(rid));
    EXPECT_EQ(rid, 1u);
    DWORD guid[4] = {};
    EXPECT_TRUE(CqzSid(webcamSid.c_str()).IsCustomCapabilitySid(guid));
    EXPECT_EQ(std::memcmp(guid, &webcam, sizeof(guid)), 0);
    // Wrong authority, wrong first sub-authority, wrong counts.
    for (const wchar_t* text : {L"S-1-15-2-1", L"S-1-5-3-1", L"S-1-15-4-1", L"S-1-15-3-1-2", L"S-1-15-3-1-2-3-4-5"})
    {
        SCOPED_TRACE(qztest::ToUtf8(text));
        CqzSid sid(text);
        ASSERT_TRUE(sid.IsValid());
        EXPECT_FALSE(sid.IsBuiltInCapabilitySid(rid));
        EXPECT_FALSE(sid.IsCustomCapabilitySid(guid));
    }
    EXPECT_FALSE(CqzSid(L"S-1-15-3-1").IsCustomCapabilitySid(guid));
}

TEST(SidKinds, IdentifierAuthority)
{
    const SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
    const SID_IDENTIFIER_AUTHORITY label = {SECURITY_MANDATORY_LABEL_AUTHORITY};
    EXPECT_TRUE(CqzSid(L"S-1-5-18").IsIdentifierAuthority(nt));
    EXPECT_FALSE(CqzSid(L"S-1-5-18").IsIdentifierAuthority(label));
    EXPECT_TRUE(CqzSid(L"S-1-16-8192").IsIdentifierAuthority(label));
    EXPECT_FALSE(CqzSid().IsIdentifierAuthority(nt));
}

// ---------------------------------------------------------------------------
// Texts
// ---------------------------------------------------------------------------

TEST(SidTexts, GroupAttributeWords)
{
    struct Row
    {
        DWORD attributes;
        const wchar_t* text;
    };
    const Row rows[] = {
        {0xC0000007, L"Mandatory|EnabledByDefault|Enabled|LogonID"},
        {0, L"00000000"},
        {0x1F, L"Mandatory|EnabledByDefault|Enabled|Owner|Deny"},
        {0x60, L"Integrity|IntegrityEnabled"},
        {0x20000000, L"Resource"},
        {0xE0000000, L"LogonID|Resource"},
        {0x80, L"00000080"},
        {0x1FFFFF80, L"1FFFFF80"},
        {0x00010004, L"Enabled|00010000"},
        // One of the two LogonID bits alone names nothing.
        {0x80000001, L"Mandatory"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(CqzSid::GetGroupAttributesString(row.attributes), row.text) << std::hex << row.attributes;
}

TEST(SidTexts, TraceStrings)
{
    EXPECT_EQ(CqzSid().GetTraceString(), L"[Invalid SID]");
    EXPECT_EQ(CqzSid::GetTraceString(nullptr), L"PSID=[NULL]");
    EXPECT_EQ(CqzSid(L"S-1-5-18").GetTraceString(), L"Name=[NT AUTHORITY\\SYSTEM] SID=[S-1-5-18]");
    EXPECT_EQ(CqzSid(L"S-1-5-32-544").GetTraceString(), L"Name=[BUILTIN\\Administrators] SID=[S-1-5-32-544]");
    // No domain.
    EXPECT_EQ(CqzSid(L"S-1-1-0").GetTraceString(), L"Name=[Everyone] SID=[S-1-1-0]");
    // No account.
    EXPECT_EQ(CqzSid(L"S-1-5-21-1-2-3-4").GetTraceString(), L"SID=[S-1-5-21-1-2-3-4]");
    CqzSid administrators(L"S-1-5-32-544");
    EXPECT_EQ(CqzSid::GetTraceString(administrators.GetPSID()), administrators.GetTraceString());
    EXPECT_EQ(administrators.GetGroupTraceString(0xF),
              L"ATTR=[Mandatory|EnabledByDefault|Enabled|Owner] Name=[BUILTIN\\Administrators] SID=[S-1-5-32-544]");
}

typedef BOOL(WINAPI* LookupAccountSidWFn)(LPCWSTR, PSID, LPWSTR, LPDWORD, LPWSTR, LPDWORD, PSID_NAME_USE);
LookupAccountSidWFn g_lookupAccountSid = nullptr;
int g_lookupAccountSidCalls = 0;

BOOL WINAPI CountingLookupAccountSidW(LPCWSTR system, PSID sid, LPWSTR name, LPDWORD nameSize, LPWSTR domain,
                                      LPDWORD domainSize, PSID_NAME_USE use)
{
    ++g_lookupAccountSidCalls;
    return g_lookupAccountSid(system, sid, name, nameSize, domain, domainSize, use);
}

TEST(SidTexts, AccountNameIsLookedUpOnce)
{
    qzsec::IatHook hook("advapi32.dll", "LookupAccountSidW", reinterpret_cast<void*>(&CountingLookupAccountSidW));
    ASSERT_TRUE(hook.Installed());
    g_lookupAccountSid = hook.OriginalAs<LookupAccountSidWFn>();
    g_lookupAccountSidCalls = 0;
    CqzSid system(L"S-1-5-18");
    const std::wstring first = system.GetTraceString();
    EXPECT_EQ(g_lookupAccountSidCalls, 1);
    EXPECT_EQ(system.GetTraceString(), first);
    EXPECT_EQ(g_lookupAccountSidCalls, 1);
    // Also for a SID the system cannot name.
    CqzSid unknown(L"S-1-5-21-1-2-3-4");
    unknown.GetTraceString();
    unknown.GetTraceString();
    EXPECT_EQ(g_lookupAccountSidCalls, 2);
    // A copy carries the looked-up names.
    CqzSid copy = system;
    EXPECT_EQ(copy.GetTraceString(), first);
    EXPECT_EQ(g_lookupAccountSidCalls, 2);
}

TEST(SidTexts, SidString)
{
    std::wstring text;
    ASSERT_TRUE(CqzSid(L"s-1-5-32-544").GetSidString(text));
    EXPECT_EQ(text, L"S-1-5-32-544");
    qztest::TraceCapture capture;
    text = L"unchanged";
    EXPECT_FALSE(CqzSid().GetSidString(text));
    EXPECT_EQ(text, L"unchanged");
    const Lines lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("ERROR: ConvertSidToStringSid failed. LastError=", 0), 0u) << lines[0];
}

// ---------------------------------------------------------------------------
// Loading
// ---------------------------------------------------------------------------

typedef BOOL(WINAPI* LookupAccountNameWFn)(LPCWSTR, LPCWSTR, PSID, LPDWORD, LPWSTR, LPDWORD, PSID_NAME_USE);

// Records the names looked up; names in `refuse` fail as unknown; names in
// `alias` are looked up as their alias instead (a name form only Windows
// resolves, given Windows' answer).
struct AccountNameSeam
{
    LookupAccountNameWFn original = nullptr;
    std::vector<std::wstring> tried;
    std::vector<std::wstring> refuse;
    std::vector<std::pair<std::wstring, std::wstring>> alias;
};
AccountNameSeam g_names;

BOOL WINAPI SeamLookupAccountNameW(LPCWSTR system, LPCWSTR name, PSID sid, LPDWORD sidSize, LPWSTR domain,
                                   LPDWORD domainSize, PSID_NAME_USE use)
{
    const std::wstring text = name != nullptr ? name : L"";
    // A retry of the same name (a larger buffer) counts once.
    if (g_names.tried.empty() || g_names.tried.back() != text)
        g_names.tried.push_back(text);
    for (const std::wstring& refused : g_names.refuse)
    {
        if (::lstrcmpiW(refused.c_str(), text.c_str()) == 0)
        {
            ::SetLastError(ERROR_NONE_MAPPED);
            return FALSE;
        }
    }
    for (const auto& entry : g_names.alias)
    {
        if (::lstrcmpiW(entry.first.c_str(), text.c_str()) == 0)
            return g_names.original(system, entry.second.c_str(), sid, sidSize, domain, domainSize, use);
    }
    return g_names.original(system, name, sid, sidSize, domain, domainSize, use);
}

class SidLoadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_hook.reset(
            new qzsec::IatHook("advapi32.dll", "LookupAccountNameW", reinterpret_cast<void*>(&SeamLookupAccountNameW)));
        ASSERT_TRUE(m_hook->Installed());
        g_names = AccountNameSeam();
        g_names.original = m_hook->OriginalAs<LookupAccountNameWFn>();
        m_computer = ComputerName();
        ASSERT_FALSE(m_computer.empty());
    }
    void TearDown() override { m_hook.reset(); }

    std::unique_ptr<qzsec::IatHook> m_hook;
    std::wstring m_computer;
};

TEST_F(SidLoadTest, SidStringsInEitherCase)
{
    for (const wchar_t* text : {L"S-1-5-32-544", L"s-1-5-32-544"})
    {
        CqzSid sid;
        EXPECT_TRUE(sid.LoadAccount(text)) << qztest::ToUtf8(text);
        EXPECT_EQ(sid.Sid(), L"S-1-5-32-544");
    }
    EXPECT_EQ(g_names.tried, std::vector<std::wstring>{}) << "a SID string is not looked up by name";
    EXPECT_TRUE(CqzSid::IsSidString(L"S-1-5-18"));
    EXPECT_FALSE(CqzSid::IsSidString(L"S-1-5-x"));
    EXPECT_FALSE(CqzSid::IsSidString(L"Administrators"));
    EXPECT_FALSE(CqzSid::IsSidString(L""));
    EXPECT_FALSE(CqzSid::IsSidString(nullptr));
}

TEST_F(SidLoadTest, NamesAndTheirFallbacks)
{
    const std::wstring computer = m_computer;
    struct Row
    {
        const char* name;
        std::wstring account;
        std::vector<std::wstring> refuse;
        std::vector<std::pair<std::wstring, std::wstring>> alias;
        std::vector<std::wstring> tried;
        const wchar_t* sid;
    };
    const std::vector<Row> rows = {
        {"BUILTIN name that resolves as given",
         L"BUILTIN\\Administrators",
         {},
         {},
         {L"BUILTIN\\Administrators"},
         L"S-1-5-32-544"},
        // Wine resolves ".\Users" only through the BUILTIN form: no seam.
        {".\\ name: BUILTIN form first", L".\\Users", {}, {}, {L".\\Users", L"BUILTIN\\Users"}, L"S-1-5-32-545"},
        // Wine resolves "<computer>\Guests" only through the BUILTIN form.
        {"computer-qualified name: BUILTIN form",
         computer + L"\\Guests",
         {},
         {},
         {computer + L"\\Guests", L"BUILTIN\\Guests"},
         L"S-1-5-32-546"},
        // A system where only the computer-qualified name resolves.
        {"BUILTIN name on a system that knows only the computer-qualified one",
         L"BUILTIN\\Administrators",
         {L"BUILTIN\\Administrators"},
         {{computer + L"\\Administrators", L"Administrators"}},
         {L"BUILTIN\\Administrators", computer + L"\\Administrators"},
         L"S-1-5-32-544"},
        {".\\ name where the BUILTIN form fails too",
         L".\\Users",
         {L"BUILTIN\\Users"},
         {{computer + L"\\Users", L"Users"}},
         {L".\\Users", L"BUILTIN\\Users", computer + L"\\Users"},
         L"S-1-5-32-545"},
        {"lower-case prefixes",
         L"builtin\\Administrators",
         {L"builtin\\Administrators"},
         {{computer + L"\\Administrators", L"Administrators"}},
         {L"builtin\\Administrators", computer + L"\\Administrators"},
         L"S-1-5-32-544"},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        g_names.tried.clear();
        g_names.refuse = row.refuse;
        g_names.alias = row.alias;
        qztest::TraceCapture capture;
        CqzSid sid;
        EXPECT_TRUE(sid.LoadAccount(row.account.c_str()));
        EXPECT_EQ(sid.Sid(), row.sid);
        EXPECT_EQ(g_names.tried, row.tried);
        EXPECT_EQ(capture.Lines(), Lines{});
    }
}

TEST_F(SidLoadTest, NamesThatDoNotLoad)
{
    struct Row
    {
        std::wstring text;
        std::vector<std::wstring> tried;
    };
    const std::vector<Row> rows = {
        {L"QzNoSuchAccount", {L"QzNoSuchAccount"}},
        // "BUILTIN\" followed by nothing is not a BUILTIN name (8 characters).
        {L"BUILTIN\\", {L"BUILTIN\\"}},
        {L".\\", {L".\\"}},
        {L".\\QzNoSuchGroup", {L".\\QzNoSuchGroup", L"BUILTIN\\QzNoSuchGroup", m_computer + L"\\QzNoSuchGroup"}},
        {L"S-1-5-x", {L"S-1-5-x"}},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(qztest::ToUtf8(row.text));
        g_names.tried.clear();
        qztest::TraceCapture capture;
        CqzSid sid;
        EXPECT_FALSE(sid.LoadAccount(row.text.c_str()));
        EXPECT_FALSE(sid.IsValid());
        EXPECT_EQ(g_names.tried, row.tried);
        EXPECT_EQ(capture.Lines(),
                  Lines{"WARNING: Failed to load SID by name or SID string: " + qztest::ToUtf8(row.text)});
    }

    // A failed load does not leave the SID of an earlier one in place.
    CqzSid sid(L"S-1-5-18");
    ASSERT_TRUE(sid.IsValid());
    EXPECT_FALSE(sid.LoadAccount(L"QzNoSuchAccount"));
    EXPECT_FALSE(sid.IsValid());
}

TEST_F(SidLoadTest, EmptyTextAndNames)
{
    qztest::TraceCapture capture;
    CqzSid empty(L"");
    CqzSid null(static_cast<const wchar_t*>(nullptr));
    EXPECT_FALSE(empty.IsValid());
    EXPECT_FALSE(null.IsValid());
    EXPECT_EQ(capture.Lines(),
              (Lines{"WARNING: Empty account name or SID string", "WARNING: Empty account name or SID string"}));
    EXPECT_EQ(g_names.tried, std::vector<std::wstring>{});

    CqzSid byName(L"BUILTIN\\Administrators");
    EXPECT_EQ(byName.AccountName(), L"Administrators");
    EXPECT_EQ(byName.Domain(), L"BUILTIN");
    EXPECT_EQ(byName.SidNameUse(), SidTypeAlias);
}

TEST(SidCopies, CopyAndCompare)
{
    CqzSid a(L"S-1-5-32-544");
    CqzSid b(L"S-1-5-32-545");
    CSid copy = a;
    EXPECT_TRUE(copy == a);
    EXPECT_FALSE(copy != a);
    EXPECT_TRUE(a != b);
    EXPECT_TRUE(a < b);
    EXPECT_FALSE(b < a);
    EXPECT_TRUE(CSid() == CSid());
    EXPECT_FALSE(CSid() == a);
    EXPECT_TRUE(CSid() < a);
    CSid fromPointer(a.GetPSID());
    EXPECT_TRUE(fromPointer == a);
    EXPECT_EQ(a.GetLength(), 16u);
    EXPECT_EQ(a.GetSubAuthorityCount(), 2);
    EXPECT_EQ(a.GetSubAuthority(1), 544u);
    EXPECT_EQ(a.GetSubAuthority(2), 0u);

    // Invalid SIDs are refused and leave the object as it was.
    BYTE garbage[SECURITY_MAX_SID_SIZE] = {9, 200};
    CSid target = a;
    ::SetLastError(0);
    EXPECT_FALSE(target.LoadAccount(static_cast<PSID>(garbage)));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
    EXPECT_TRUE(target == a);
    EXPECT_FALSE(target.LoadAccount(static_cast<PSID>(nullptr)));
    target.Clear();
    EXPECT_FALSE(target.IsValid());
    EXPECT_EQ(target.GetPSID(), nullptr);
}

// ---------------------------------------------------------------------------
// Local groups
// ---------------------------------------------------------------------------

typedef NET_API_STATUS(WINAPI* NetLocalGroupMembersFn)(LPCWSTR, LPCWSTR, DWORD, LPBYTE, DWORD);

struct GroupSeam
{
    NET_API_STATUS status = 0;
    std::wstring group;
    std::wstring memberSid;
    DWORD level = 99;
    DWORD count = 99;
    int calls = 0;
};
GroupSeam g_group;

NET_API_STATUS WINAPI SeamGroupMembers(LPCWSTR server, LPCWSTR group, DWORD level, LPBYTE buffer, DWORD count)
{
    ++g_group.calls;
    g_group.group = group != nullptr ? group : L"";
    g_group.level = level;
    g_group.count = count;
    g_group.memberSid = server == nullptr && buffer != nullptr
                            ? qzsec::SidToString(reinterpret_cast<LOCALGROUP_MEMBERS_INFO_0*>(buffer)->lgrmi0_sid)
                            : L"<bad call>";
    return g_group.status;
}

TEST(LocalGroups, AddingAnExistingMemberSucceeds)
{
    CSid user;
    HANDLE token = nullptr;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token));
    qztest::ScopedHandle owned(token);
    DWORD attributes = 0;
    ASSERT_TRUE(qzsec::TokenGroupAttributes(token, L"S-1-5-32-544", attributes)) << "the user is an administrator";
    CqzSid self;
    {
        BYTE buffer[256];
        DWORD size = sizeof(buffer);
        ASSERT_TRUE(::GetTokenInformation(token, TokenUser, buffer, size, &size));
        ASSERT_TRUE(self.LoadAccount(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid));
    }
    qztest::TraceCapture capture;
    EXPECT_TRUE(self.AddToGroup(L"Administrators"));
    EXPECT_EQ(capture.Lines(), Lines{});
}

TEST(LocalGroups, StatusesOfTheSystem)
{
    struct Row
    {
        bool add;
        NET_API_STATUS status;
        bool result;
        Lines lines;
    };
    const Row rows[] = {
        {true, NERR_Success, true, {}},
        {true, ERROR_MEMBER_IN_ALIAS, true, {}},
        {true, NERR_GroupNotFound, false, {"ERROR: AddToGroup failed. Error=2220"}},
        {true, ERROR_ACCESS_DENIED, false, {"ERROR: AddToGroup failed. Error=5"}},
        {false, NERR_Success, true, {}},
        {false, ERROR_NO_SUCH_MEMBER, true, {}},
        {false, ERROR_MEMBER_NOT_IN_ALIAS, true, {}},
        {false, ERROR_MEMBER_IN_ALIAS, false, {"ERROR: RemoveFromGroup failed. Error=1378"}},
        {false, ERROR_ACCESS_DENIED, false, {"ERROR: RemoveFromGroup failed. Error=5"}},
    };
    qzsec::IatHook add("netapi32.dll", "NetLocalGroupAddMembers", reinterpret_cast<void*>(&SeamGroupMembers));
    qzsec::IatHook del("netapi32.dll", "NetLocalGroupDelMembers", reinterpret_cast<void*>(&SeamGroupMembers));
    ASSERT_TRUE(add.Installed());
    ASSERT_TRUE(del.Installed());
    CqzSid sid(L"S-1-5-21-1-2-3-1001");
    for (const Row& row : rows)
    {
        SCOPED_TRACE(std::string(row.add ? "add " : "remove ") + std::to_string(row.status));
        g_group = GroupSeam();
        g_group.status = row.status;
        qztest::TraceCapture capture;
        EXPECT_EQ(row.add ? sid.AddToGroup(L"Users") : sid.RemoveFromGroup(L"Users"), row.result);
        EXPECT_EQ(g_group.calls, 1);
        EXPECT_EQ(g_group.group, L"Users");
        EXPECT_EQ(g_group.memberSid, L"S-1-5-21-1-2-3-1001");
        EXPECT_EQ(g_group.level, 0u);
        EXPECT_EQ(g_group.count, 1u);
        EXPECT_EQ(capture.Lines(), row.lines);
    }
    g_group = GroupSeam();
    qztest::TraceCapture capture;
    EXPECT_FALSE(CqzSid().AddToGroup(L"Users"));
    EXPECT_FALSE(CqzSid().RemoveFromGroup(L"Users"));
    EXPECT_EQ(g_group.calls, 0);
    EXPECT_EQ(capture.Lines(), (Lines{"ERROR: AddToGroup failed, sid is not valid.",
                                      "ERROR: RemoveFromGroup failed, sid is not valid."}));
}

TEST(LocalGroups, LocalizedNames)
{
    struct Row
    {
        const wchar_t* english;
        DWORD rid;
    };
    const Row rows[] = {
        {L"Administrators", 544},
        {L"Account Operators", 548},
        {L"Backup Operators", 551},
        {L"Guests", 546},
        {L"Network Configuration Operators", 556},
        {L"Performance Monitor Users", 558},
        {L"Performance Log Users", 559},
        {L"Power Users", 547},
        {L"Print Operators", 550},
        {L"Users", 545},
        {L"Remote Desktop Users", 555},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(qztest::ToUtf8(row.english));
        CSid sid(CqzSid((L"S-1-5-32-" + std::to_wstring(row.rid)).c_str()));
        const std::wstring& systemName = sid.AccountName();
        std::wstring name = L"junk";
        EXPECT_EQ(CqzSid::GetLocalizedGroupName(row.english, name), !systemName.empty());
        EXPECT_EQ(name, systemName.empty() ? std::wstring(row.english) : systemName);
    }
    for (const wchar_t* english : {L"administrators", L"Domain Admins", L""})
    {
        std::wstring name = L"junk";
        EXPECT_FALSE(CqzSid::GetLocalizedGroupName(english, name)) << qztest::ToUtf8(english);
        EXPECT_EQ(name, english);
    }
}

// ---------------------------------------------------------------------------
// Well-known and role SIDs
// ---------------------------------------------------------------------------

TEST(WellKnownSids, CreatedLocally)
{
    struct Row
    {
        WELL_KNOWN_SID_TYPE type;
        const wchar_t* sid;
    };
    const Row rows[] = {
        {WinBuiltinAdministratorsSid, L"S-1-5-32-544"},
        {WinLocalSystemSid, L"S-1-5-18"},
        {WinWorldSid, L"S-1-1-0"},
        {WinHighLabelSid, L"S-1-16-12288"},
    };
    for (const Row& row : rows)
    {
        CSid sid;
        EXPECT_TRUE(SqzSids::GetWellKnownSid(row.type, sid)) << row.type;
        EXPECT_EQ(sid.Sid(), row.sid);
    }
    // A domain SID is needed for the account SIDs.
    qztest::TraceCapture capture;
    CSid sid;
    EXPECT_FALSE(SqzSids::GetWellKnownSid(WinAccountAdministratorSid, sid));
    EXPECT_FALSE(sid.IsValid());
    const Lines lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("ERROR: CreateWellKnownSid(AccountAdministratorSid, Local) failed. LastError=", 0), 0u)
        << lines[0];
}

TEST(WellKnownSids, TypeNames)
{
    struct Row
    {
        int type;
        const char* name;
    };
    const Row rows[] = {
        {WinNullSid, "NullSid"},
        {WinWorldSid, "WorldSid"},
        {WinNtAuthoritySid, "NtAuthoritySid"},
        {WinLocalSystemSid, "LocalSystemSid"},
        {WinBuiltinAdministratorsSid, "BuiltinAdministratorsSid"},
        {WinBuiltinPreWindows2000CompatibleAccessSid, "BuiltinPreWindows2000CompatibleAccessSid"},
        {WinAccountAdministratorSid, "AccountAdministratorSid"},
        {WinNTLMAuthenticationSid, "NTLMAuthenticationSid"},
        {WinSChannelAuthenticationSid, "SChannelAuthenticationSid"},
        {WinIUserSid, "IUserSid"},
        {WinMediumLabelSid, "MediumLabelSid"},
        {WinBuiltinEventLogReadersGroup, "BuiltinEventLogReadersGroup"},
        {WinNewEnterpriseReadonlyControllersSid, "NewEnterpriseReadonlyControllersSid"},
        {WinBuiltinCertSvcDComAccessGroup, "BuiltinCertSvcDComAccessGroup"},
        {79, "Unknown"},
        {-1, "Unknown"},
    };
    for (const Row& row : rows)
        EXPECT_STREQ(SqzSids::GetWellKnownSidTypeName(row.type), row.name) << row.type;
    for (int type = 0; type <= 78; ++type)
        EXPECT_STRNE(SqzSids::GetWellKnownSidTypeName(type), "Unknown") << type;
}

TEST(RoleSids, AllApplicationPackages)
{
    const CqzSid& packages = SqzSids::GetAllApplicationPackagesSid();
    ASSERT_TRUE(packages.IsValid());
    EXPECT_EQ(packages.Sid(), L"S-1-15-2-1");
    EXPECT_EQ(&SqzSids::GetAllApplicationPackagesSid(), &packages);
}

// ---------------------------------------------------------------------------
// The process-monitor debug device
// ---------------------------------------------------------------------------

typedef HANDLE(WINAPI* CreateFileWFn)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
typedef BOOL(WINAPI* DeviceIoControlFn)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);

// The device does not exist under Wine: the seam opens an event in its place
// and records what is sent to it.
struct DeviceSeam
{
    CreateFileWFn createFile = nullptr;
    DeviceIoControlFn ioControl = nullptr;
    HANDLE device = nullptr;
    int opens = 0;
    DWORD access = 0;
    DWORD share = 0;
    DWORD disposition = 0;
    std::vector<DWORD> codes;
    std::vector<std::wstring> texts;
    std::vector<DWORD> inputBytes;
    bool outputEmpty = true;
};
DeviceSeam g_device;

HANDLE WINAPI SeamCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                              DWORD disposition, DWORD flags, HANDLE templateFile)
{
    if (path != nullptr && std::wstring(path) == L"\\\\.\\Global\\ProcmonDebugLogger" && g_device.device != nullptr)
    {
        ++g_device.opens;
        g_device.access = access;
        g_device.share = share;
        g_device.disposition = disposition;
        HANDLE copy = nullptr;
        ::DuplicateHandle(::GetCurrentProcess(), g_device.device, ::GetCurrentProcess(), &copy, 0, FALSE,
                          DUPLICATE_SAME_ACCESS);
        ::SetLastError(0x12345678); // the caller's value must survive
        return copy;
    }
    return g_device.createFile(path, access, share, attributes, disposition, flags, templateFile);
}

BOOL WINAPI SeamDeviceIoControl(HANDLE device, DWORD code, LPVOID input, DWORD inputSize, LPVOID output,
                                DWORD outputSize, LPDWORD returned, LPOVERLAPPED overlapped)
{
    g_device.codes.push_back(code);
    g_device.inputBytes.push_back(inputSize);
    g_device.texts.emplace_back(static_cast<const wchar_t*>(input), inputSize / sizeof(wchar_t));
    g_device.outputEmpty = g_device.outputEmpty && output == nullptr && outputSize == 0;
    (void)device;
    (void)returned;
    (void)overlapped;
    ::SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

class ProcmonTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_create.reset(new qzsec::IatHook("kernel32.dll", "CreateFileW", reinterpret_cast<void*>(&SeamCreateFileW)));
        m_io.reset(
            new qzsec::IatHook("kernel32.dll", "DeviceIoControl", reinterpret_cast<void*>(&SeamDeviceIoControl)));
        ASSERT_TRUE(m_create->Installed());
        ASSERT_TRUE(m_io->Installed());
        g_device = DeviceSeam();
        g_device.createFile = m_create->OriginalAs<CreateFileWFn>();
        g_device.ioControl = m_io->OriginalAs<DeviceIoControlFn>();
        m_event.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        g_device.device = m_event.Get();
    }
    void TearDown() override
    {
        m_io.reset();
        m_create.reset();
    }

    std::unique_ptr<qzsec::IatHook> m_create;
    std::unique_ptr<qzsec::IatHook> m_io;
    qztest::ScopedHandle m_event;
};

TEST_F(ProcmonTest, SidStringLoadsAreReported)
{
    CqzSid sid;
    EXPECT_TRUE(sid.LoadAccountBySidString(L"S-1-5-32-544"));
    EXPECT_FALSE(sid.LoadAccountBySidString(L"S-1-5-nonsense"));
    ASSERT_EQ(g_device.texts.size(), 2u);
    EXPECT_EQ(g_device.texts[0], L"LoadAccountBySidString: account 'S-1-5-32-544' loading by SID string (res=1)");
    EXPECT_EQ(g_device.texts[1], L"LoadAccountBySidString: account 'S-1-5-nonsense' loading by SID string (res=0)");
    EXPECT_EQ(g_device.codes, (std::vector<DWORD>{0x95358204, 0x95358204}));
    EXPECT_TRUE(g_device.outputEmpty);
    EXPECT_EQ(g_device.access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(g_device.share, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
    EXPECT_EQ(g_device.disposition, static_cast<DWORD>(OPEN_EXISTING));
}

TEST_F(ProcmonTest, LongTextsAreCutEmptyOnesNotSentLastErrorKept)
{
    const std::wstring longText(3000, L'x');
    ::SetLastError(0xdeadbeef);
    CqzProcmonDebugLogger::Write(longText.c_str());
    EXPECT_EQ(::GetLastError(), 0xdeadbeefu);
    ASSERT_EQ(g_device.inputBytes.size(), 1u);
    EXPECT_EQ(g_device.inputBytes[0], 4092u);
    EXPECT_EQ(g_device.texts[0], std::wstring(2046, L'x'));

    const std::wstring exact(2046, L'y');
    CqzProcmonDebugLogger::Write(exact.c_str());
    EXPECT_EQ(g_device.inputBytes.back(), 4092u);

    const int opens = g_device.opens;
    CqzProcmonDebugLogger::Write(L"");
    CqzProcmonDebugLogger::Write(nullptr);
    EXPECT_EQ(g_device.opens, opens);
    EXPECT_EQ(g_device.texts.size(), 2u);
}

TEST(ProcmonAbsent, NothingHappensWithoutTheDevice)
{
    ::SetLastError(0xdeadbeef);
    CqzProcmonDebugLogger::Write(L"text");
    EXPECT_EQ(::GetLastError(), 0xdeadbeefu);
    CqzSid sid;
    ::SetLastError(0xdeadbeef);
    EXPECT_TRUE(sid.LoadAccountBySidString(L"S-1-5-18"));
}

} // namespace
