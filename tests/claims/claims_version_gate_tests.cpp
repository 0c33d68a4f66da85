// The version gate: a probe run as Windows XP or 7 reads, builds, renders
// and writes nothing and traces nothing; the same probe as Windows 8 or 10
// does all of it (and fails where Wine fails).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/harness/harness.h"

namespace
{
const wchar_t kProbe[] = L"claims_probe.exe";

// The probe's findings when Wine runs it as `version` ("win7", ...); its
// version, checked here, is the first thing it reports.
qztest::KeyValues RunProbeAs(const qztest::TempDir& dir, const wchar_t* version, const char* major, const char* minor)
{
    qztest::WineVersionScope scope(kProbe, version);
    EXPECT_TRUE(scope.Ok());
    const std::wstring result = dir / (std::wstring(version) + L".txt");
    const std::wstring exe = qztest::BinDir() + L"\\" + kProbe;
    const qztest::ProcessResult run = qztest::RunProcess(exe, qztest::QuoteArg(exe) + L" " + qztest::QuoteArg(result));
    EXPECT_TRUE(run.started) << "error " << run.error;
    EXPECT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    const qztest::KeyValues probe = qztest::ReadKeyValues(result);
    EXPECT_EQ(probe.Get("done"), "1");
    EXPECT_EQ(probe.Get("major"), major);
    EXPECT_EQ(probe.Get("minor"), minor);
    EXPECT_EQ(probe.Get("hooks"), "1");
    return probe;
}

struct VersionRow
{
    const wchar_t* version;
    const char* major;
    const char* minor;
};

TEST(ClaimsVersionGateTest, BelowWindowsEightNothingIsReadWrittenOrRendered)
{
    const VersionRow rows[] = {{L"winxp", "5", "1"}, {L"win7", "6", "1"}};
    qztest::TempDir dir(L"claims");
    for (const auto& row : rows)
    {
        SCOPED_TRACE(qztest::ToUtf8(row.version));
        const qztest::KeyValues probe = RunProbeAs(dir, row.version, row.major, row.minor);
        EXPECT_EQ(probe.Get("from_token"), "0");
        EXPECT_EQ(probe.Get("from_token_error"), "50");
        EXPECT_EQ(probe.Get("policy_count"), "0");
        EXPECT_EQ(probe.Get("attribute_kept"), "1") << "FromPolicyData took nothing";
        EXPECT_EQ(probe.Get("dump"), "") << "Dump wrote nothing";
        EXPECT_EQ(probe.Get("set_without_values"), "1");
        EXPECT_EQ(probe.Get("get_calls"), "0");
        EXPECT_EQ(probe.Get("set_calls"), "0") << "nothing was written to the token";
        EXPECT_TRUE(probe.All("trace").empty()) << "no line: " << probe.Get("trace");
    }
}

// From Windows 8 (6.2) on every operation reaches the system, and reading
// and writing fail as Wine fails.
TEST(ClaimsVersionGateTest, FromWindowsEightEveryOperationRuns)
{
    const VersionRow rows[] = {{L"win8", "6", "2"}, {L"win10", "10", "0"}};
    qztest::TempDir dir(L"claims");
    for (const auto& row : rows)
    {
        SCOPED_TRACE(qztest::ToUtf8(row.version));
        const qztest::KeyValues probe = RunProbeAs(dir, row.version, row.major, row.minor);
        EXPECT_EQ(probe.Get("from_token"), "0");
        EXPECT_EQ(probe.Get("from_token_error"), "1");
        EXPECT_EQ(probe.Get("policy_count"), "1");
        EXPECT_EQ(probe.Get("attribute_kept"), "0");
        EXPECT_EQ(probe.Get("dump"), "TOKEN SECURITY ATTRIBUTES: Count=1|   SECURITY ATTRIBUTE 00: [Claim.Probe] "
                                     "Type=1 (INT64) Flags=0x00000000 (0)|      VALUE 0: 1|");
        EXPECT_EQ(probe.Get("set_without_values"), "0");
        EXPECT_EQ(probe.Get("get_calls"), "1");
        EXPECT_EQ(probe.Get("set_calls"), "1");
        const std::vector<std::string> expected = {
            "ERROR: GetTokenInformation(TokenSecurityAttributes, NULL) failed. LastError=1",
            "ERROR: GetTokenInformationAlloc(TokenSecurityAttributes) failed. LastError=1",
            "ERROR: SetTokenInformation(TokenSecurityAttributes) failed. LastError=1"};
        EXPECT_EQ(probe.All("trace"), expected);
    }
}
} // namespace
