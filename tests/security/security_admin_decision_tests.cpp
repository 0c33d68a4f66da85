// The administrator decision (CqzAccessToken::IsElevatedAdmin) against real
// tokens, in this process and in a probe started under each token, on
// Windows 7 (Wine's default) and as Windows XP; and the states Wine cannot
// produce, through a seam on GetTokenInformation.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
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

const wchar_t* const kXpProbe = L"sec_probe_xp.exe";

std::vector<std::string> ErrorAndWarningLines(const std::vector<std::string>& lines)
{
    std::vector<std::string> found;
    for (const std::string& line : lines)
    {
        if (line.rfind("ERROR", 0) == 0 || line.rfind("WARNING", 0) == 0)
            found.push_back(line);
    }
    return found;
}

// One token of the decision table. make() builds it from the process token;
// the probe is started with a primary copy of it.
struct TokenCase
{
    const char* name;
    std::function<ScopedHandle(HANDLE)> make;
    // Checks, with plain advapi32, that the token is what the row claims.
    std::function<bool(HANDLE)> precondition;
    bool adminFromVista; // major version 6 and later
    bool adminOnXp;      // major version 5: rows 1-4 and 6-20, no elevation step
};

const std::vector<TokenCase>& TokenCases()
{
    static const std::vector<TokenCase> cases = {
        {"process token", [](HANDLE process) { return qzsec::DuplicatePrimary(process); },
         [](HANDLE token)
         {
             DWORD attributes = 0;
             return qzsec::TokenGroupAttributes(token, L"S-1-5-32-544", attributes) &&
                    (attributes & SE_GROUP_ENABLED) != 0;
         },
         true, true},
        {"Administrators deny-only (CreateRestrictedToken)",
         [](HANDLE process) { return qzsec::RestrictedAdministratorsDenyOnly(process); },
         [](HANDLE token)
         {
             DWORD attributes = 0;
             return qzsec::TokenGroupAttributes(token, L"S-1-5-32-544", attributes) &&
                    (attributes & SE_GROUP_USE_FOR_DENY_ONLY) != 0;
         },
         false, false},
        {"SeBackupPrivilege removed",
         [](HANDLE process)
         { return qzsec::DuplicateWithPrivilege(process, L"SeBackupPrivilege", SE_PRIVILEGE_REMOVED); },
         [](HANDLE token) { return !qzsec::TokenHasPrivilege(token, L"SeBackupPrivilege"); }, false, false},
        {"SeUndockPrivilege (last row counting on XP) removed",
         [](HANDLE process)
         { return qzsec::DuplicateWithPrivilege(process, L"SeUndockPrivilege", SE_PRIVILEGE_REMOVED); },
         [](HANDLE token) { return !qzsec::TokenHasPrivilege(token, L"SeUndockPrivilege"); }, false, false},
        {"SeImpersonatePrivilege disabled but present",
         [](HANDLE process) { return qzsec::DuplicateWithPrivilege(process, L"SeImpersonatePrivilege", 0); },
         [](HANDLE token)
         {
             DWORD attributes = 0;
             return qzsec::TokenHasPrivilege(token, L"SeImpersonatePrivilege", &attributes) &&
                    (attributes & SE_PRIVILEGE_ENABLED) == 0;
         },
         true, true},
        {"SeDebugPrivilege (never counts) removed",
         [](HANDLE process)
         { return qzsec::DuplicateWithPrivilege(process, L"SeDebugPrivilege", SE_PRIVILEGE_REMOVED); },
         [](HANDLE token) { return !qzsec::TokenHasPrivilege(token, L"SeDebugPrivilege"); }, true, true},
        // Wine's linked token: elevation type Limited, not elevated, yet with
        // the Administrators group enabled, every privilege and high
        // integrity. Only the elevation steps refuse it; XP has none.
        {"linked token", [](HANDLE process) { return qzsec::LinkedToken(process); },
         [](HANDLE token)
         {
             DWORD type = 0;
             DWORD returned = 0;
             DWORD attributes = 0;
             return ::GetTokenInformation(token, TokenElevationType, &type, sizeof(type), &returned) &&
                    type == TokenElevationTypeLimited &&
                    qzsec::TokenGroupAttributes(token, L"S-1-5-32-544", attributes) &&
                    (attributes & SE_GROUP_ENABLED) != 0;
         },
         false, true},
    };
    return cases;
}

struct ProbeResult
{
    qztest::ProcessResult process;
    qzsec::KeyValues values;
};

ProbeResult RunProbe(const wchar_t* exeName, const wchar_t* mode, HANDLE token)
{
    qztest::TempDir dir(L"qzsec");
    const std::wstring resultPath = dir / L"result.txt";
    const std::wstring exe = qztest::BinDir() + L"\\" + exeName;
    qztest::RunOptions options;
    options.token = token;
    ProbeResult result;
    result.process =
        qztest::RunProcess(exe, qztest::QuoteArg(exe) + L" " + mode + L" " + qztest::QuoteArg(resultPath), options);
    result.values = qzsec::ReadKeyValues(resultPath);
    return result;
}

class AdminDecisionTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        // Wine runs sec_probe_xp.exe as Windows XP; the key goes with the suite.
        s_xpVersion = new qztest::WineVersionScope(kXpProbe, L"winxp");
    }
    static void TearDownTestSuite()
    {
        delete s_xpVersion;
        s_xpVersion = nullptr;
    }
    static qztest::WineVersionScope* s_xpVersion;

    void SetUp() override
    {
        if (CqzOperatingSystem::GetMajorVersion() < 6)
            GTEST_SKIP() << "these rows are written for Windows Vista and later";
        m_process = qzsec::OpenOwnProcessToken();
        ASSERT_TRUE(m_process.IsValid());
    }

    ScopedHandle m_process;

    // Starts the probe under a primary copy of the row's token and lets it
    // decide for its own process token.
    void DecideInProbe(const TokenCase& row, const wchar_t* probeName, ProbeResult& probe)
    {
        ScopedHandle made = row.make(m_process.Get());
        ASSERT_TRUE(made.IsValid());
        ScopedHandle token = qzsec::DuplicatePrimary(made.Get());
        ASSERT_TRUE(token.IsValid());
        ASSERT_TRUE(row.precondition(token.Get())) << "the primary copy is not what the row describes";
        probe = RunProbe(probeName, L"decide", token.Get());
        ASSERT_TRUE(probe.process.started) << "CreateProcessAsUserW error " << probe.process.error;
        ASSERT_TRUE(probe.process.finished);
    }
};

qztest::WineVersionScope* AdminDecisionTest::s_xpVersion = nullptr;

TEST_F(AdminDecisionTest, RealTokensInThisProcess)
{
    for (const TokenCase& row : TokenCases())
    {
        SCOPED_TRACE(row.name);
        ScopedHandle token = row.make(m_process.Get());
        ASSERT_TRUE(token.IsValid());
        ASSERT_TRUE(row.precondition(token.Get())) << "the token is not what the row describes";

        qztest::TraceCapture capture;
        // Borrowed-handle form: the handle stays open.
        bool isAdmin = !row.adminFromVista;
        EXPECT_TRUE(CqzAccessToken::IsElevatedAdmin(token.Get(), isAdmin));
        EXPECT_EQ(isAdmin, row.adminFromVista);
        DWORD type = 0;
        DWORD returned = 0;
        EXPECT_TRUE(::GetTokenInformation(token.Get(), TokenType, &type, sizeof(type), &returned))
            << "the borrowed handle was closed";

        // Member form on an owned copy of the handle.
        HANDLE copy = nullptr;
        ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), token.Get(), ::GetCurrentProcess(), &copy, 0, FALSE,
                                      DUPLICATE_SAME_ACCESS));
        CqzAccessToken owned;
        owned.Attach(copy);
        bool memberAdmin = !row.adminFromVista;
        EXPECT_TRUE(owned.IsElevatedAdmin(memberAdmin));
        EXPECT_EQ(memberAdmin, row.adminFromVista);
        EXPECT_EQ(owned.IsElevatedAdmin(), row.adminFromVista);

        // A decision on a real token is silent.
        EXPECT_EQ(ErrorAndWarningLines(capture.Lines()), std::vector<std::string>());
    }
}

TEST_F(AdminDecisionTest, ProbeUnderEachTokenDecidesForItsOwnProcessToken)
{
    for (const TokenCase& row : TokenCases())
    {
        SCOPED_TRACE(row.name);
        ProbeResult probe;
        ASSERT_NO_FATAL_FAILURE(DecideInProbe(row, L"sec_probe.exe", probe));
        EXPECT_EQ(probe.process.exitCode, row.adminFromVista ? 1u : 0u);
        EXPECT_EQ(probe.values.Get("major"), "6");
        EXPECT_EQ(probe.values.Get("decided"), "1");
        EXPECT_EQ(probe.values.Get("isAdmin"), row.adminFromVista ? "1" : "0");
        EXPECT_EQ(probe.values.Get("parameterless"), row.adminFromVista ? "1" : "0");
        EXPECT_EQ(probe.values.Get("borrowed"), row.adminFromVista ? "1" : "0");
        EXPECT_EQ(probe.values.Get("standardUserCreateGlobal"), "0");
        EXPECT_EQ(probe.values.Get("standardUserChangeNotify"), "1");
        EXPECT_EQ(probe.values.Get("standardUserBackup"), "0");
    }
}

TEST_F(AdminDecisionTest, ProbeAsWindowsXpUnderEachToken)
{
    for (const TokenCase& row : TokenCases())
    {
        SCOPED_TRACE(row.name);
        ProbeResult probe;
        ASSERT_NO_FATAL_FAILURE(DecideInProbe(row, kXpProbe, probe));
        ASSERT_EQ(probe.values.Get("major"), "5") << "Wine's version setting did not apply";
        EXPECT_EQ(probe.process.exitCode, row.adminOnXp ? 1u : 0u);
        EXPECT_EQ(probe.values.Get("decided"), "1");
        EXPECT_EQ(probe.values.Get("isAdmin"), row.adminOnXp ? "1" : "0");
        // The standard user's privileges of XP.
        EXPECT_EQ(probe.values.Get("standardUserCreateGlobal"), "1");
        EXPECT_EQ(probe.values.Get("standardUserChangeNotify"), "1");
        EXPECT_EQ(probe.values.Get("standardUserBackup"), "0");
        // No elevation step and no linked token before Vista.
        EXPECT_EQ(probe.values.Get("GetIntegrityLevel"), "0,50");
        EXPECT_EQ(probe.values.Get("GetIntegrityLevelRid"), "0,50,0");
        EXPECT_EQ(probe.values.Get("GetElevationType"), "0,50,1");
        EXPECT_EQ(probe.values.Get("IsElevated"), "0,50,0");
        EXPECT_EQ(probe.values.Get("GetLinkedToken"), "0");
        EXPECT_EQ(probe.values.Get("linkedAdmin"), "0");
        EXPECT_EQ(probe.values.Get("GetMandatoryPolicy"), "1,0");
        EXPECT_EQ(probe.values.Get("SetMandatoryPolicy"), "1,0");
        EXPECT_EQ(probe.values.Get("SetMediumIntegrityLevel"), "1,0");
        // No GetTokenInformation of a Vista-only class was attempted.
        EXPECT_EQ(probe.values.All("trace").size(), 0u) << probe.values.Get("trace");
    }
}

// "SeTimeZonePrivilege" counts from Vista on only. Wine does not know the
// name, so the probe gives it Windows' LUID while the token lacks it.
TEST_F(AdminDecisionTest, PrivilegeCountingFromVistaOnlyIsRequiredOnVistaNotOnXp)
{
    ScopedHandle token = qzsec::DuplicatePrimary(m_process.Get());
    ASSERT_TRUE(token.IsValid());

    ProbeResult vista = RunProbe(L"sec_probe.exe", L"decide-timezone-not-held", token.Get());
    ASSERT_TRUE(vista.process.finished);
    EXPECT_EQ(vista.values.Get("hook"), "1");
    EXPECT_EQ(vista.process.exitCode, 0u);
    EXPECT_EQ(vista.values.Get("hasAllAdminPrivileges"), "0");

    ProbeResult xp = RunProbe(kXpProbe, L"decide-timezone-not-held", token.Get());
    ASSERT_TRUE(xp.process.finished);
    ASSERT_EQ(xp.values.Get("major"), "5");
    EXPECT_EQ(xp.process.exitCode, 1u);
    EXPECT_EQ(xp.values.Get("hasAllAdminPrivileges"), "1");
}

// A counting privilege whose lookup fails for a reason other than "no such
// privilege" is a no, and the failure is not cached.
TEST_F(AdminDecisionTest, FailedPrivilegeLookupFailsClosed)
{
    ScopedHandle token = qzsec::DuplicatePrimary(m_process.Get());
    ASSERT_TRUE(token.IsValid());
    ProbeResult probe = RunProbe(L"sec_probe.exe", L"decide-lookup-fails", token.Get());
    ASSERT_TRUE(probe.process.finished);
    EXPECT_EQ(probe.values.Get("hook"), "1");
    EXPECT_EQ(probe.process.exitCode, 0u);
    EXPECT_EQ(probe.values.Get("decided"), "1");
    EXPECT_EQ(probe.values.Get("isAdmin"), "0");
    EXPECT_EQ(probe.values.Get("hasAllAdminPrivileges"), "0");
    // Each decision asks the system again: the failure was not cached.
    EXPECT_EQ(probe.values.Get("undockLookupsAfterDecision"), "1");
    EXPECT_EQ(probe.values.Get("undockLookupsAfterSecondDecision"), "2");
    const std::vector<std::string> traces = probe.values.All("trace");
    ASSERT_GE(traces.size(), 4u);
    const std::vector<std::string> firstTwoDecisions(traces.begin(), traces.begin() + 4);
    EXPECT_EQ(firstTwoDecisions, (std::vector<std::string>{
                                     "INFO: Unknown prvilege name [SeUndockPrivilege]. LastError=1722",
                                     "ERROR: LookupPrivilegeValue(SeUndockPrivilege) failed. LastError=1722",
                                     "INFO: Unknown prvilege name [SeUndockPrivilege]. LastError=1722",
                                     "ERROR: LookupPrivilegeValue(SeUndockPrivilege) failed. LastError=1722",
                                 }));
}

// With the version unreadable every accessor sees major version 0: no
// privilege row applies and no elevation step is made. That must not add up
// to a yes.
TEST_F(AdminDecisionTest, UnreadableVersionIsNotAnAdministrator)
{
    ScopedHandle token = qzsec::DuplicatePrimary(m_process.Get());
    ASSERT_TRUE(token.IsValid());
    ProbeResult probe = RunProbe(L"sec_probe.exe", L"decide-no-version", token.Get());
    ASSERT_TRUE(probe.process.finished);
    EXPECT_EQ(probe.values.Get("hook"), "1");
    ASSERT_EQ(probe.values.Get("major"), "0") << "the version was read after all";
    EXPECT_EQ(probe.process.exitCode, 0u);
    EXPECT_EQ(probe.values.Get("decided"), "1");
    EXPECT_EQ(probe.values.Get("isAdmin"), "0");
    EXPECT_EQ(probe.values.Get("hasAllAdminPrivileges"), "0");
    EXPECT_EQ(probe.values.Get("decisionError"), "50");
}

// ---------------------------------------------------------------------------
// The seam: states of real tokens that Wine cannot produce.
//
// Wine accepts SetTokenInformation(TokenIntegrityLevel) without effect, and
// every token it hands out is at high integrity; its tokens are never of
// elevation type Default. The hook below sits in this executable's import
// table for GetTokenInformation and answers only for one token handle and
// only for the classes a row names; everything else (groups, privileges,
// other handles) reaches the real function.
// ---------------------------------------------------------------------------

typedef BOOL(WINAPI* GetTokenInformationFn)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);

enum class LabelMode
{
    Real,
    Rid,         // S-1-16-<rid>
    TwoSubAuths, // S-1-16-<rid>-1
    NullSid,     // TOKEN_MANDATORY_LABEL with no SID
    Fail,        // the read fails with `error`
};

struct Seam
{
    HANDLE target = nullptr;
    GetTokenInformationFn original = nullptr;
    LabelMode label = LabelMode::Real;
    DWORD rid = 0;
    DWORD error = ERROR_ACCESS_DENIED;
    int elevationType = -1; // -1: real; -2: the read fails
    int elevation = -1;     // -1: real; -2: the read fails
    LONG linkedTokenReads = 0;
    DWORD linkedTokenError = 0; // non-zero: the TokenLinkedToken read fails with it
    DWORD removedLowPart = 0;   // non-zero: this privilege is listed with SE_PRIVILEGE_REMOVED
};
Seam g_seam;

BOOL FillAnswer(const void* data, DWORD dataSize, LPVOID buffer, DWORD length, PDWORD returned)
{
    if (returned != nullptr)
        *returned = dataSize;
    if (buffer == nullptr || length < dataSize)
    {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, data, dataSize);
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SeamGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID buffer, DWORD length,
                                    PDWORD returned)
{
    if (token == g_seam.target && g_seam.target != nullptr)
    {
        if (infoClass == TokenLinkedToken)
        {
            ::InterlockedIncrement(&g_seam.linkedTokenReads);
            if (g_seam.linkedTokenError != 0)
            {
                ::SetLastError(g_seam.linkedTokenError);
                return FALSE;
            }
        }
        if (infoClass == TokenIntegrityLevel && g_seam.label != LabelMode::Real)
        {
            if (g_seam.label == LabelMode::Fail)
            {
                ::SetLastError(g_seam.error);
                return FALSE;
            }
            // A self-relative label: the SID follows the structure.
            BYTE answer[sizeof(TOKEN_MANDATORY_LABEL) + SECURITY_MAX_SID_SIZE] = {};
            const bool twoSubAuthorities = g_seam.label == LabelMode::TwoSubAuths;
            const DWORD sidSize = twoSubAuthorities ? 16 : 12;
            BYTE* sid = answer + sizeof(TOKEN_MANDATORY_LABEL);
            SID_IDENTIFIER_AUTHORITY authority = {SECURITY_MANDATORY_LABEL_AUTHORITY};
            ::InitializeSid(sid, &authority, twoSubAuthorities ? 2 : 1);
            *::GetSidSubAuthority(sid, 0) = g_seam.rid;
            if (twoSubAuthorities)
                *::GetSidSubAuthority(sid, 1) = 1;
            const DWORD size = sizeof(TOKEN_MANDATORY_LABEL) + sidSize;
            if (buffer != nullptr && length >= size)
            {
                auto* label = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(answer);
                label->Label.Sid = g_seam.label == LabelMode::NullSid
                                       ? nullptr
                                       : static_cast<BYTE*>(buffer) + sizeof(TOKEN_MANDATORY_LABEL);
                label->Label.Attributes = SE_GROUP_INTEGRITY | SE_GROUP_INTEGRITY_ENABLED;
            }
            return FillAnswer(answer, size, buffer, length, returned);
        }
        if (infoClass == TokenPrivileges && g_seam.removedLowPart != 0)
        {
            const BOOL ok = g_seam.original(token, infoClass, buffer, length, returned);
            if (ok)
            {
                auto* privileges = static_cast<TOKEN_PRIVILEGES*>(buffer);
                LUID_AND_ATTRIBUTES* entries = privileges->Privileges;
                for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
                {
                    if (entries[i].Luid.LowPart == g_seam.removedLowPart && entries[i].Luid.HighPart == 0)
                        entries[i].Attributes |= SE_PRIVILEGE_REMOVED;
                }
            }
            return ok;
        }
        if (infoClass == TokenElevationType && g_seam.elevationType != -1)
        {
            if (g_seam.elevationType == -2)
            {
                ::SetLastError(g_seam.error);
                return FALSE;
            }
            const DWORD value = static_cast<DWORD>(g_seam.elevationType);
            return FillAnswer(&value, sizeof(value), buffer, length, returned);
        }
        if (infoClass == TokenElevation && g_seam.elevation != -1)
        {
            if (g_seam.elevation == -2)
            {
                ::SetLastError(g_seam.error);
                return FALSE;
            }
            const DWORD value = static_cast<DWORD>(g_seam.elevation);
            return FillAnswer(&value, sizeof(value), buffer, length, returned);
        }
    }
    return g_seam.original(token, infoClass, buffer, length, returned);
}

class SeamTest : public AdminDecisionTest
{
protected:
    void SetUp() override
    {
        AdminDecisionTest::SetUp();
        if (IsSkipped())
            return;
        m_hook.reset(new qzsec::IatHook("advapi32.dll", "GetTokenInformation",
                                        reinterpret_cast<void*>(&SeamGetTokenInformation)));
        ASSERT_TRUE(m_hook->Installed());
        g_seam = Seam();
        g_seam.original = m_hook->OriginalAs<GetTokenInformationFn>();
        m_token = qzsec::DuplicatePrimary(m_process.Get());
        ASSERT_TRUE(m_token.IsValid());
        g_seam.target = m_token.Get();
    }
    void TearDown() override
    {
        g_seam.target = nullptr;
        m_hook.reset();
    }

    std::unique_ptr<qzsec::IatHook> m_hook;
    ScopedHandle m_token;
};

struct SeamCase
{
    const char* name;
    DWORD removedLowPart;
    LabelMode label;
    DWORD rid;
    int elevationType;
    int elevation;
    bool decided;
    bool isAdmin;
    DWORD lastError; // m_dwLastError after the call
    std::vector<std::string> lines;
};

TEST_F(SeamTest, DecisionOnStatesWineCannotProduce)
{
    const std::vector<SeamCase> cases = {
        // Windows and Wine drop a removed privilege from the list; a list
        // that keeps it marked removed must count as lacking it.
        {"SeBackupPrivilege listed as removed", 17, LabelMode::Real, 0, -1, -1, true, false, 0, {}},
        {"SeDebugPrivilege (never counts) listed as removed", 20, LabelMode::Real, 0, -1, -1, true, true, 0, {}},
        {"high integrity (as Wine has it)", 0, LabelMode::Rid, 0x3000, -1, -1, true, true, 0, {}},
        {"system integrity", 0, LabelMode::Rid, 0x4000, -1, -1, true, true, 0, {}},
        {"medium integrity administrator", 0, LabelMode::Rid, 0x2000, -1, -1, true, false, 0, {}},
        {"just below high integrity", 0, LabelMode::Rid, 0x2FFF, -1, -1, true, false, 0, {}},
        {"integrity level unreadable",
         0,
         LabelMode::Fail,
         0,
         -1,
         -1,
         false,
         false,
         5,
         {"ERROR: GetTokenInformation(TokenIntegrityLevel, NULL) failed. LastError=5",
          "ERROR: Failed to get integrity level. LastError=5"}},
        {"label with two sub-authorities",
         0,
         LabelMode::TwoSubAuths,
         0x3000,
         -1,
         -1,
         false,
         false,
         1337,
         {"WARNING: SECURITY_MANDATORY_LABEL_AUTHORITY SID has unexpected subauthorities count: [S-1-16-12288-1]",
          "ERROR: Failed to get integrity level. LastError=1337"}},
        {"label without SID",
         0,
         LabelMode::NullSid,
         0x3000,
         -1,
         -1,
         false,
         false,
         13,
         {"ERROR: TOKEN_MANDATORY_LABEL contains NULL Sid pointer.",
          "ERROR: Failed to get integrity level. LastError=13"}},
        {"elevation type Default, elevated (UAC off)", 0, LabelMode::Real, 0, 1, 1, true, true, 0, {}},
        {"elevation type Limited though elevated", 0, LabelMode::Real, 0, 3, 1, true, false, 0, {}},
        {"elevation type outside the three known", 0, LabelMode::Real, 0, 4, 1, true, false, 0, {}},
        {"elevation type unreadable",
         0,
         LabelMode::Real,
         0,
         -2,
         1,
         true,
         false,
         5,
         {"ERROR: GetTokenInformation(TokenElevationType) failed. LastError=5"}},
        {"not elevated", 0, LabelMode::Real, 0, 2, 0, true, false, 0, {}},
        {"elevation unreadable",
         0,
         LabelMode::Real,
         0,
         2,
         -2,
         true,
         false,
         5,
         {"ERROR: GetTokenInformation(TokenElevation) failed. LastError=5"}},
    };
    for (const SeamCase& row : cases)
    {
        SCOPED_TRACE(row.name);
        g_seam.removedLowPart = row.removedLowPart;
        g_seam.label = row.label;
        g_seam.rid = row.rid;
        g_seam.elevationType = row.elevationType;
        g_seam.elevation = row.elevation;
        g_seam.error = ERROR_ACCESS_DENIED;

        CqzAccessToken warmUp; // privilege names looked up once, outside the capture
        warmUp.Attach(qzsec::DuplicatePrimary(m_process.Get()).Release());
        warmUp.HasAllAdminPrivileges();

        qztest::TraceCapture capture;
        bool isAdmin = true;
        EXPECT_EQ(CqzAccessToken::IsElevatedAdmin(m_token.Get(), isAdmin), row.decided);
        EXPECT_EQ(isAdmin, row.isAdmin);
        EXPECT_EQ(::GetLastError(), row.lastError) << "the borrowed form leaves the object's error";
        EXPECT_EQ(capture.Lines(), row.lines);
        // The parameterless form answers no when no decision was made.
        EXPECT_EQ(CqzAccessToken::IsElevatedAdmin(m_token.Get()), row.decided && row.isAdmin);
    }
}

TEST_F(SeamTest, GetLinkedTokenOfDefaultTypeDoesNotReadTheLinkedToken)
{
    g_seam.elevationType = TokenElevationTypeDefault;
    CqzAccessToken token;
    token.Attach(qzsec::DuplicatePrimary(m_process.Get()).Release());
    g_seam.target = token.GetHandle();
    CqzAccessToken linked;
    qztest::TraceCapture capture;
    EXPECT_FALSE(token.GetLinkedToken(linked));
    EXPECT_EQ(linked.GetHandle(), nullptr);
    EXPECT_EQ(g_seam.linkedTokenReads, 0);
    EXPECT_EQ(capture.Lines(), std::vector<std::string>());
    EXPECT_FALSE(token.IsLinkedAdmin());
    EXPECT_EQ(g_seam.linkedTokenReads, 0);

    // The same token as Wine has it (Full) reads it exactly once.
    g_seam.elevationType = -1;
    EXPECT_TRUE(token.GetLinkedToken(linked));
    EXPECT_NE(linked.GetHandle(), nullptr);
    EXPECT_EQ(g_seam.linkedTokenReads, 1);
}

TEST_F(SeamTest, MissingLogonSessionOfLinkedTokenIsADebugLine)
{
    g_seam.elevationType = TokenElevationTypeFull;
    CqzAccessToken token;
    token.Attach(qzsec::DuplicatePrimary(m_process.Get()).Release());
    g_seam.target = token.GetHandle();
    // The TokenLinkedToken read fails as for a logon session that has gone.
    g_seam.linkedTokenError = ERROR_NO_SUCH_LOGON_SESSION;
    CqzAccessToken linked;
    qztest::TraceCapture capture;
    EXPECT_FALSE(token.GetLinkedToken(linked));
    EXPECT_EQ(token.LastError(), static_cast<DWORD>(ERROR_NO_SUCH_LOGON_SESSION));
    EXPECT_EQ(capture.Lines(),
              std::vector<std::string>{
                  "INFO: GetTokenInformation(TokenLinkedToken) failed. LastError=ERROR_NO_SUCH_LOGON_SESSION."});
}

TEST_F(AdminDecisionTest, LinkedAndElevatedOrLinked)
{
    CqzAccessToken token;
    ASSERT_TRUE(token.GetProcessToken(TOKEN_QUERY | TOKEN_DUPLICATE));
    EXPECT_TRUE(token.IsElevatedAdmin());
    // Wine's linked token is Limited: not an administrator's.
    EXPECT_FALSE(token.IsLinkedAdmin());
    EXPECT_TRUE(token.IsElevatedOrLinkedAdmin());

    ScopedHandle linked = qzsec::LinkedToken(m_process.Get());
    ASSERT_TRUE(linked.IsValid());
    EXPECT_FALSE(CqzAccessToken::IsElevatedAdmin(linked.Get()));
    // The linked token's own linked token is the full one again.
    EXPECT_TRUE(CqzAccessToken::IsLinkedAdmin(linked.Get()));
    EXPECT_TRUE(CqzAccessToken::IsElevatedOrLinkedAdmin(linked.Get()));

    ScopedHandle restricted = qzsec::RestrictedAdministratorsDenyOnly(m_process.Get());
    ASSERT_TRUE(restricted.IsValid());
    EXPECT_FALSE(CqzAccessToken::IsElevatedAdmin(restricted.Get()));
}

} // namespace
