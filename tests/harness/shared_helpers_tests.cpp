// The machinery the suites share: probe result files, registry values put
// back, Wine's per-program version, SDDL texts and tokens made from the
// process token.
#include "testing/harness/harness.h"

#include <sddl.h>

#include <gtest/gtest.h>

namespace
{

const wchar_t* const kTestKey = L"Software\\QzHarnessTests\\Restorer";

TEST(KeyValues, FirstEqualsSplitsAndRepeatedKeysKeepAll)
{
    const qztest::KeyValues kv =
        qztest::ParseKeyValues({"a=1", "b=x=y", "no equals sign", "a=2\r", "=empty key", "c="});
    EXPECT_EQ("2", kv.Get("a"));
    EXPECT_EQ((std::vector<std::string>{"1", "2"}), kv.All("a"));
    EXPECT_EQ("x=y", kv.Get("b"));
    EXPECT_EQ("empty key", kv.Get(""));
    EXPECT_TRUE(kv.Has("c"));
    EXPECT_EQ("", kv.Get("c"));
    EXPECT_FALSE(kv.Has("no equals sign"));
    EXPECT_EQ("<missing>", kv.Get("d"));
    EXPECT_EQ(std::vector<std::string>{}, kv.All("d"));
}

TEST(KeyValues, ReadFromFile)
{
    qztest::TempDir dir(L"qzkv");
    ASSERT_TRUE(qztest::WriteTextFile(dir / L"out.txt", "trace=one\r\nkey=value\ntrace=two"));
    const qztest::KeyValues kv = qztest::ReadKeyValues(dir / L"out.txt");
    EXPECT_EQ("value", kv.Get("key"));
    EXPECT_EQ((std::vector<std::string>{"one", "two"}), kv.All("trace"));
}

DWORD ReadDword(const std::wstring& subKey, const wchar_t* name, DWORD& type)
{
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (::RegGetValueW(HKEY_CURRENT_USER, subKey.c_str(), name, RRF_RT_ANY, &type, &value, &size) != ERROR_SUCCESS)
        return 0xFFFFFFFF;
    return value;
}

TEST(RegValueRestorer, PutsBackValueTypeAndAbsence)
{
    qztest::DeleteRegTree(HKEY_CURRENT_USER, kTestKey);
    // Absent key: gone again afterwards.
    {
        qztest::RegValueRestorer value(HKEY_CURRENT_USER, kTestKey, L"V");
        ASSERT_TRUE(value.SetDword(7));
        DWORD type = 0;
        EXPECT_EQ(7u, ReadDword(kTestKey, L"V", type));
    }
    EXPECT_FALSE(qztest::RegKeyExists(HKEY_CURRENT_USER, kTestKey));

    // Present value: its type and bytes come back; absent value in a present
    // key: deleted, the key stays.
    ASSERT_TRUE(qztest::SetRegBytes(HKEY_CURRENT_USER, kTestKey, L"V", "\x05\x00\x00\x00", 4, REG_BINARY));
    {
        qztest::RegValueRestorer value(HKEY_CURRENT_USER, kTestKey, L"V");
        qztest::RegValueRestorer other(HKEY_CURRENT_USER, kTestKey, L"W");
        ASSERT_TRUE(value.SetString(L"text"));
        ASSERT_TRUE(other.SetDword(1));
    }
    DWORD type = 0;
    EXPECT_EQ(5u, ReadDword(kTestKey, L"V", type));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
    EXPECT_EQ(0xFFFFFFFFu, ReadDword(kTestKey, L"W", type));
    EXPECT_TRUE(qztest::RegKeyExists(HKEY_CURRENT_USER, kTestKey));

    // Delete() now, restored later.
    {
        qztest::RegValueRestorer value(HKEY_CURRENT_USER, kTestKey, L"V");
        ASSERT_TRUE(value.Delete());
        EXPECT_EQ(0xFFFFFFFFu, ReadDword(kTestKey, L"V", type));
    }
    EXPECT_EQ(5u, ReadDword(kTestKey, L"V", type));
    qztest::DeleteRegTree(HKEY_CURRENT_USER, L"Software\\QzHarnessTests");
}

TEST(WineVersionScope, SetsAndRemovesTheProgramsVersion)
{
    const std::wstring key = qztest::WineVersionScope::KeyPath(L"qz_harness_version_probe.exe");
    EXPECT_EQ(L"Software\\Wine\\AppDefaults\\qz_harness_version_probe.exe", key);
    {
        qztest::WineVersionScope version(L"qz_harness_version_probe.exe", L"winxp");
        ASSERT_TRUE(version.Ok());
        wchar_t text[32] = {};
        DWORD size = sizeof(text);
        ASSERT_EQ(ERROR_SUCCESS,
                  ::RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"Version", RRF_RT_REG_SZ, nullptr, text, &size));
        EXPECT_STREQ(L"winxp", text);
    }
    EXPECT_FALSE(qztest::RegKeyExists(HKEY_CURRENT_USER, key));
}

TEST(Sddl, DescriptorAndObjectDaclAsText)
{
    CqzScopedLocal<void> sd;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:SYD:(A;;GA;;;SY)(A;;GR;;;BA)",
                                                                       SDDL_REVISION_1, sd.Receive(), nullptr));
    EXPECT_EQ("D:(A;;GA;;;SY)(A;;GR;;;BA)", qztest::SddlOf(sd.Get(), DACL_SECURITY_INFORMATION));
    EXPECT_EQ("O:SY", qztest::SddlOf(sd.Get(), OWNER_SECURITY_INFORMATION));
    EXPECT_EQ("(unconvertible)", qztest::SddlOf(nullptr, DACL_SECURITY_INFORMATION));

    SECURITY_ATTRIBUTES sa = {sizeof(sa), sd.Get(), FALSE};
    qztest::ScopedHandle event(::CreateEventW(&sa, TRUE, FALSE, nullptr));
    ASSERT_TRUE(event.IsValid());
    const std::string dacl = qztest::ObjectDaclSddl(event.Get());
    // Wine keeps generic rights as given; Windows maps them to the event's.
    EXPECT_TRUE(dacl == "D:(A;;GA;;;SY)(A;;GR;;;BA)" || dacl == "D:(A;;0x1f0003;;;SY)(A;;0x120001;;;BA)") << dacl;
    EXPECT_EQ("(unreadable)", qztest::ObjectDaclSddl(nullptr));
}

TEST(Sids, TextOfASid)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(sid);
    ASSERT_TRUE(::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size));
    EXPECT_EQ(L"S-1-5-32-544", qztest::SidToString(sid));
    EXPECT_EQ(L"", qztest::SidToString(nullptr));
}

TEST(Tokens, DerivedFromTheProcessToken)
{
    const qztest::ScopedHandle process = qztest::OpenOwnProcessToken();
    ASSERT_TRUE(process.IsValid());

    const qztest::ScopedHandle denyOnly = qztest::RestrictedAdministratorsDenyOnly(process.Get());
    ASSERT_TRUE(denyOnly.IsValid());
    DWORD attributes = 0;
    if (qztest::TokenGroupAttributes(process.Get(), L"S-1-5-32-544", attributes))
    {
        ASSERT_TRUE(qztest::TokenGroupAttributes(denyOnly.Get(), L"S-1-5-32-544", attributes));
        EXPECT_EQ(static_cast<DWORD>(SE_GROUP_USE_FOR_DENY_ONLY), attributes & SE_GROUP_USE_FOR_DENY_ONLY);
    }
    EXPECT_FALSE(qztest::TokenGroupAttributes(process.Get(), L"S-1-5-21-1-2-3-4", attributes));

    const wchar_t* const privilege = L"SeChangeNotifyPrivilege";
    ASSERT_TRUE(qztest::TokenHasPrivilege(process.Get(), privilege));
    const qztest::ScopedHandle without = qztest::WithoutPrivilege(process.Get(), privilege);
    ASSERT_TRUE(without.IsValid());
    EXPECT_FALSE(qztest::TokenHasPrivilege(without.Get(), privilege));

    const qztest::ScopedHandle disabled = qztest::DuplicateWithPrivilege(process.Get(), privilege, 0);
    ASSERT_TRUE(disabled.IsValid());
    attributes = 0xDEADBEEF;
    ASSERT_TRUE(qztest::TokenHasPrivilege(disabled.Get(), privilege, &attributes));
    EXPECT_EQ(0u, attributes & SE_PRIVILEGE_ENABLED);
    EXPECT_FALSE(qztest::TokenHasPrivilege(disabled.Get(), L"SeNoSuchPrivilege"));

    TOKEN_TYPE type = TokenPrimary;
    DWORD returned = 0;
    const qztest::ScopedHandle impersonation = qztest::DuplicateImpersonation(process.Get());
    ASSERT_TRUE(impersonation.IsValid());
    ASSERT_TRUE(::GetTokenInformation(impersonation.Get(), TokenType, &type, sizeof(type), &returned));
    EXPECT_EQ(TokenImpersonation, type);
    {
        qztest::ThreadImpersonation scope(impersonation.Get());
        ASSERT_TRUE(scope.Active());
        HANDLE thread = nullptr;
        EXPECT_TRUE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &thread));
        qztest::ScopedHandle threadToken(thread);
    }
    HANDLE thread = nullptr;
    EXPECT_FALSE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &thread));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_TOKEN), ::GetLastError());
    qztest::ScopedHandle noToken(thread);
    qztest::ThreadImpersonation none(nullptr);
    EXPECT_FALSE(none.Active());
}

} // namespace
