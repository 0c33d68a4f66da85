// The rights check of the guarded switches: the machine policy value and the
// process token.
//
// In-process, the two questions themselves (through a peer of the module),
// with the exact lines they trace. End to end, qz_elevate.exe started under
// this process's token, under a restricted copy of it whose Administrators
// group is deny-only (CreateRestrictedToken) and under its linked token
// (elevation type Limited), each with the policy value in various shapes: the
// run goes on when the policy allows (the token is then not examined) or
// when the token is an elevated administrator's, and otherwise ends with 5
// without loading a library. "/axinst" is never checked.
#include "Agent/engine/qz_elevate/qz_elevate_module.h"
#include "tests/launcher/launcher_test_util.h"
#include "tests/launcher/module_peer.h"

#include "testing/harness/iat_hook.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

using qzlaunch::ApplyPolicy;
using qzlaunch::Call;
using qzlaunch::CmdLineInfo;
using qzlaunch::ExitLine;
using qzlaunch::kBanner;
using qzlaunch::KeyOpenFailed;
using qzlaunch::LauncherStatements;
using qzlaunch::LaunchResult;
using qzlaunch::Policy;
using qzlaunch::RunError;
using qztest::StandinArg;

const char* const kNoRights = "qz_elevate.exe launched without adminstrative rights.";

// Whether this process's token is that of an elevated administrator, asked
// with plain advapi32: the Administrators group enabled and an elevated
// token of high integrity or above.
bool ProcessIsElevatedAdmin()
{
    BYTE sidBuffer[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(sidBuffer);
    BOOL member = FALSE;
    if (!::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sidBuffer, &sidSize) ||
        !::CheckTokenMembership(nullptr, sidBuffer, &member) || !member)
        return false;
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw))
        return false;
    qztest::ScopedHandle token(raw);
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    if (!::GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof(elevation), &size) ||
        !elevation.TokenIsElevated)
        return false;
    DWORD labelBuffer[32];
    if (!::GetTokenInformation(token.Get(), TokenIntegrityLevel, labelBuffer, sizeof(labelBuffer), &size))
        return false;
    PSID label = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(labelBuffer)->Label.Sid;
    const DWORD rid = *::GetSidSubAuthority(label, *::GetSidSubAuthorityCount(label) - 1u);
    return rid >= SECURITY_MANDATORY_HIGH_RID;
}

// ---------------------------------------------------------------------------
// The two questions, in-process.

class RightsQuestions : public ::testing::Test
{
protected:
    void SetUp() override { m_serviceKeyExisted = qztest::RegKeyExists(HKEY_LOCAL_MACHINE, qztest::kAgentServiceKey); }
    void TearDown() override
    {
        ApplyPolicy(Policy::NoKey);
        qztest::DeleteRegTree(HKEY_LOCAL_MACHINE, std::wstring(qztest::kAgentServiceKey) + L"\\Parameters");
        if (!m_serviceKeyExisted)
            qztest::DeleteRegTree(HKEY_LOCAL_MACHINE, qztest::kAgentServiceKey);
    }

private:
    bool m_serviceKeyExisted = false;
};

TEST_F(RightsQuestions, PolicyValueInEveryShape)
{
    const std::string keyLine =
        "ERROR: Failed to open key [HKLM\\" + qztest::ToUtf8(qzlaunch::PolicyKeyPath()) + "]. res=2";
    const struct
    {
        Policy policy;
        bool allows;
        bool keyLine;
    } rows[] = {
        {Policy::NoKey, false, true},
        {Policy::KeyOnly, false, false},
        {Policy::DwordOne, true, false},
        {Policy::DwordSeven, true, false},
        {Policy::DwordZero, false, false},
        {Policy::StringOne, false, false},
        {Policy::QwordOne, false, false},
        {Policy::LongDword, false, false},
        {Policy::BinaryOne, false, false},
        // Malformed: fewer bytes than a number holds. Counted as absent.
        {Policy::ShortDword, false, false},
    };
    CqzElevateModule module;
    for (const auto& row : rows)
    {
        SCOPED_TRACE(qzlaunch::PolicyName(row.policy));
        ASSERT_TRUE(ApplyPolicy(row.policy));
        qztest::TraceCapture capture;
        ::SetLastError(0xDEADBEEF);
        EXPECT_EQ(row.allows, CqzElevateModulePeer::AllowNonAdmin(module));
        qztest::TraceEntries expected;
        if (row.keyLine)
            expected.push_back({QZT_ERROR, "CqzElevateModule", keyLine});
        EXPECT_EQ(expected, capture.Entries()) << capture.Text();
    }
}

TEST_F(RightsQuestions, PolicyIsReadAfreshEachTime)
{
    CqzElevateModule module;
    ASSERT_TRUE(ApplyPolicy(Policy::DwordOne));
    EXPECT_TRUE(CqzElevateModulePeer::AllowNonAdmin(module));
    ASSERT_TRUE(ApplyPolicy(Policy::DwordZero));
    EXPECT_FALSE(CqzElevateModulePeer::AllowNonAdmin(module));
    ASSERT_TRUE(ApplyPolicy(Policy::DwordOne));
    EXPECT_TRUE(CqzElevateModulePeer::AllowNonAdmin(module));
}

TEST_F(RightsQuestions, ProcessTokenDecides)
{
    CqzElevateModule module;
    qztest::TraceCapture capture;
    const bool oracle = ProcessIsElevatedAdmin();
    EXPECT_EQ(oracle, CqzElevateModulePeer::IsUserAdmin(module)) << capture.Text();
    // The token-open failure is the question's only own line.
    for (const std::string& line : capture.Lines())
        EXPECT_EQ(std::string::npos, line.find("GetProcessToken(TOKEN_QUERY|TOKEN_DUPLICATE)")) << line;
}

// The process token cannot be opened. Wine opens its own process token for
// any access, so the suite hooks its import of OpenProcessToken (the token
// wrapper is linked into this executable) and refuses the call with the
// error of each row.
DWORD g_openProcessTokenError = 0;
int g_openProcessTokenCalls = 0;

BOOL WINAPI RefuseOpenProcessToken(HANDLE, DWORD, PHANDLE token)
{
    ++g_openProcessTokenCalls;
    if (token)
        *token = nullptr;
    ::SetLastError(g_openProcessTokenError);
    return FALSE;
}

TEST_F(RightsQuestions, TokenThatCannotBeOpenedIsTracedThenAnswersNo)
{
    const DWORD errors[] = {ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_HANDLE};
    for (DWORD error : errors)
    {
        const std::string row = "error " + std::to_string(error);
        CqzElevateModule module;
        g_openProcessTokenError = error;
        g_openProcessTokenCalls = 0;
        qztest::TraceCapture capture;
        bool answer = true;
        {
            qztest::IatHook hook("advapi32.dll", "OpenProcessToken", reinterpret_cast<void*>(&RefuseOpenProcessToken));
            ASSERT_TRUE(hook.Installed()) << row;
            answer = CqzElevateModulePeer::IsUserAdmin(module);
        }
        EXPECT_FALSE(answer) << row;
        EXPECT_EQ(1, g_openProcessTokenCalls) << row;
        EXPECT_EQ(qztest::EntriesOf(QZT_ERROR, "CqzElevateModule",
                                    {"ERROR: CqzAccessToken::GetProcessToken(TOKEN_QUERY|TOKEN_DUPLICATE) failed. "
                                     "LastError=" +
                                     std::to_string(error)}),
                  capture.Entries())
            << row << "\n"
            << capture.Text();
    }
}

// ---------------------------------------------------------------------------
// End to end, under three tokens.

enum class Token
{
    Own,      // this process's token
    DenyOnly, // Administrators deny-only
    Linked,   // the linked token
};

const char* TokenName(Token token)
{
    switch (token)
    {
    case Token::Own:
        return "own token";
    case Token::DenyOnly:
        return "Administrators deny-only";
    case Token::Linked:
        return "linked token";
    }
    return "?";
}

class RightsEndToEnd : public qzlaunch::LauncherSuite
{
public:
    static void SetUpTestSuite()
    {
        LauncherSuite::SetUpTestSuite();
        s_denyOnly = new qztest::ScopedHandle(qzlaunch::AdministratorsDenyOnlyToken());
        s_linkedType = TokenElevationTypeDefault;
        s_linked = new qztest::ScopedHandle(qzlaunch::LinkedPrimaryToken(&s_linkedType));
    }
    static void TearDownTestSuite()
    {
        delete s_linked;
        delete s_denyOnly;
        s_linked = s_denyOnly = nullptr;
        LauncherSuite::TearDownTestSuite();
    }

protected:
    // Not the suite's common SetUp: the rows set the policy themselves.
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(Install().Reset(error)) << error;
        if (!ProcessIsElevatedAdmin())
            GTEST_SKIP() << "this process does not run as an elevated administrator: the rows assume it does";
        ASSERT_TRUE(s_denyOnly->IsValid()) << "CreateRestrictedToken failed";
    }

    // Null for the own token; skips when the linked token is unavailable.
    static HANDLE TokenFor(Token token, bool& available)
    {
        available = true;
        switch (token)
        {
        case Token::Own:
            return nullptr;
        case Token::DenyOnly:
            return s_denyOnly->Get();
        case Token::Linked:
            available = s_linked->IsValid() && s_linkedType == TokenElevationTypeLimited;
            return s_linked->Get();
        }
        return nullptr;
    }

private:
    static qztest::ScopedHandle* s_denyOnly;
    static qztest::ScopedHandle* s_linked;
    static TOKEN_ELEVATION_TYPE s_linkedType;
};

qztest::ScopedHandle* RightsEndToEnd::s_denyOnly = nullptr;
qztest::ScopedHandle* RightsEndToEnd::s_linked = nullptr;
TOKEN_ELEVATION_TYPE RightsEndToEnd::s_linkedType = TokenElevationTypeDefault;

struct RightsRow
{
    Policy policy;
    Token token;
    std::wstring arguments;
    const wchar_t* word;
    bool allowed;             // the export is called
    qztest::StandinCall call; // when allowed
};

qztest::StandinCall ShowEBH(const wchar_t* location)
{
    return Call("ShowEBH", {StandinArg::Text(location)});
}

TEST_F(RightsEndToEnd, PolicyThenTokenDecide)
{
    const qztest::StandinCall explore = ShowEBH(L"C:\\x");
    const qztest::StandinCall axinst = Call("CallCGCOFU", {});
    const qztest::StandinCall navigate = Call("ShowWB", {StandinArg::Text(L"https://u/"), StandinArg::Bool(1)});
    const std::vector<RightsRow> rows = {
        // The policy allows: the token is not examined.
        {Policy::DwordOne, Token::DenyOnly, L"/explore C:\\x", L"ebh", true, explore},
        {Policy::DwordSeven, Token::DenyOnly, L"/explore C:\\x", L"ebh", true, explore},
        {Policy::DwordOne, Token::Linked, L"/explore C:\\x", L"ebh", true, explore},
        {Policy::DwordOne, Token::DenyOnly, L"/navigate https://u/ /setautoelvateflag", L"wbh", true, navigate},
        // The policy says no: the token decides.
        {Policy::DwordZero, Token::Own, L"/explore C:\\x", L"ebh", true, explore},
        {Policy::DwordZero, Token::DenyOnly, L"/explore C:\\x", L"ebh", false, {}},
        {Policy::StringOne, Token::Own, L"/explore C:\\x", L"ebh", true, explore},
        {Policy::StringOne, Token::DenyOnly, L"/explore C:\\x", L"ebh", false, {}},
        {Policy::QwordOne, Token::DenyOnly, L"/explore C:\\x", L"ebh", false, {}},
        {Policy::LongDword, Token::DenyOnly, L"/explore C:\\x", L"ebh", false, {}},
        {Policy::BinaryOne, Token::DenyOnly, L"/explore C:\\x", L"ebh", false, {}},
        {Policy::ShortDword, Token::DenyOnly, L"/explore C:\\x", L"ebh", false, {}},
        {Policy::KeyOnly, Token::Own, L"/explore C:\\x", L"ebh", true, explore},
        {Policy::KeyOnly, Token::DenyOnly, L"/explore C:\\x", L"ebh", false, {}},
        // No policy key: its line, then the token decides.
        {Policy::NoKey, Token::Own, L"/explore C:\\x", L"ebh", true, explore},
        {Policy::NoKey, Token::DenyOnly, L"/explore C:\\x", L"ebh", false, {}},
        {Policy::NoKey, Token::DenyOnly, L"/QZTOOLEXEC t.exe", L"qztool", false, {}},
        {Policy::NoKey, Token::DenyOnly, L"/navigate https://u/ /setautoelvateflag", L"wbh", false, {}},
        {Policy::NoKey, Token::Linked, L"/explore C:\\x", L"ebh", false, {}},
        {Policy::DwordZero, Token::Linked, L"/navigate https://u/", L"wbh", false, {}},
        // "/axinst" is never checked.
        {Policy::NoKey, Token::DenyOnly, L"/axinst extra \"more args\"", L"activex", true, axinst},
        {Policy::DwordZero, Token::Linked, L"/AXINST", L"activex", true, axinst},
    };
    for (const RightsRow& row : rows)
    {
        SCOPED_TRACE(std::string(qzlaunch::PolicyName(row.policy)) + ", " + TokenName(row.token) + ", " +
                     qztest::ToUtf8(row.arguments));
        std::string error;
        ASSERT_TRUE(Install().Reset(error)) << error;
        ASSERT_TRUE(ApplyPolicy(row.policy));
        bool available = true;
        qzlaunch::LaunchOptions options;
        options.token = TokenFor(row.token, available);
        if (!available)
        {
            ADD_FAILURE() << "this process's token has no linked token of elevation type Limited";
            continue;
        }
        const LaunchResult result = Install().Launch(row.arguments, options);
        ASSERT_TRUE(result.process.started) << "CreateProcess(AsUser)W error " << result.process.error;
        ASSERT_TRUE(result.process.finished);

        const bool guarded = std::wstring(row.word) != L"activex";
        std::vector<std::string> expected = {CmdLineInfo(result.cmdLine)};
        if (guarded && row.policy == Policy::NoKey)
            expected.push_back(KeyOpenFailed(ERROR_FILE_NOT_FOUND));
        if (row.allowed)
        {
            EXPECT_EQ(0u, result.process.exitCode);
            EXPECT_TRUE(qzlaunch::CallsAre(result, {row.call}));
            expected.push_back(ExitLine(0));
        }
        else
        {
            EXPECT_EQ(5u, result.process.exitCode);
            EXPECT_TRUE(qzlaunch::CallsAre(result, {}));
            expected.push_back(RunError(result.cmdLine, kNoRights));
            expected.push_back(ExitLine(5));
        }
        ASSERT_EQ(1u, result.commandFiles.count(row.word));
        const std::vector<std::string> got = LauncherStatements(result.commandFiles.at(row.word));
        EXPECT_EQ(expected, got) << qzlaunch::Dump(got);
        // With the policy allowing, nothing was traced from inside the token
        // question: it was never asked.
        if (row.policy == Policy::DwordOne || row.policy == Policy::DwordSeven || !guarded)
        {
            for (const qzlaunch::TraceStatement& statement : result.commandFiles.at(row.word))
                EXPECT_EQ(std::string::npos, statement.stack.find("_IsUserAdmin")) << statement.message;
        }
        EXPECT_EQ(std::vector<std::string>{kBanner}, LauncherStatements(result.startup));
        EXPECT_TRUE(qzlaunch::NotifiedOnce(result));
    }
}

} // namespace
