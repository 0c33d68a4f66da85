// Helpers of the launcher's end-to-end suites: an agent installation with the
// launcher, the stand-in libraries and the agent service stand-in; running
// qz_elevate.exe in it as a separate process (optionally under another
// primary token or with a show-window value); and reading back what the run
// left behind: the trace statements of each trace file, the stand-in
// library's recorded calls and the notifications the service received.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/harness/harness.h"
#include "testing/qz_agent/agent_service_control.h"
#include "testing/standin/standin_record.h"

namespace qzlaunch
{

// The banner statement of the trace start-up ("\n" + stars); compared as the
// placeholder kBanner, whatever prefix the library put in front of it.
extern const char* const kBannerStatement;
extern const char* const kBanner;

// Where statements come from, as "<class>::<innermost function>" of the
// library's prefix.
extern const char* const kAtRun;         // CqzElevateModule::Run
extern const char* const kAtAllow;       // CqzElevateModule::_AllowNonAdmin
extern const char* const kAtIsAdmin;     // CqzElevateModule::_IsUserAdmin
extern const char* const kAtGetProcAddr; // CqzElevateModule::_GetProcAddr
extern const char* const kAtEntry;       // ::wWinMain
extern const char* const kAtNotify;      // CqzQzElevateCmdClient::NotifyProcessExit
extern const char* const kAtSend;        // CqzCustCmdClient::_SendData

// One statement of a trace file: a line that starts with the launcher's
// prefix, and the lines that follow it without a prefix (a statement whose
// text holds line feeds).
struct TraceStatement
{
    bool prefixed = false;
    DWORD pid = 0;
    std::string className;
    std::string stack; // the <%STACK> field: function names joined by ">"
    std::string message;
};

std::vector<TraceStatement> ReadTraceStatements(const std::wstring& path);

// "where | message" for comparisons; the banner as kBanner.
std::string Canonical(const TraceStatement& statement);
std::string At(const char* where, const std::string& message);

// The statements of a file in canonical form, without those traced from
// inside _IsUserAdmin by the token wrapper (its own lines, which depend on
// the token and on the system).
std::vector<std::string> LauncherStatements(const std::vector<TraceStatement>& statements);

std::string Dump(const std::vector<std::string>& lines);

// Messages the launcher writes, built from their parts.
std::string CmdLineInfo(const std::wstring& cmdLine);                       // INFO: CmdLine [...]
std::string ExitLine(long result);                                          // ::wWinMain | INFO: Exited with code N
std::string KeyOpenFailed(long result);                                     // _AllowNonAdmin's key-open line
std::string RunError(const std::wstring& cmdLine, const std::string& what); // ERROR: CmdLine [...]. <what>

// How the policy value is set up before a run.
enum class Policy
{
    NoKey,      // Parameters\Marrowgate absent
    KeyOnly,    // key present, value absent
    DwordOne,   // REG_DWORD 1
    DwordSeven, // REG_DWORD 7 (any non-zero allows)
    DwordZero,  // REG_DWORD 0
    StringOne,  // REG_SZ "1"
    QwordOne,   // REG_QWORD 1 (8 bytes)
    LongDword,  // REG_DWORD type with 8 bytes of data
    ShortDword, // REG_DWORD type with 2 bytes of data (01 00)
    BinaryOne,  // REG_BINARY 01 00 00 00
};
const char* PolicyName(Policy policy);
bool ApplyPolicy(Policy policy);
std::wstring PolicyKeyPath();

// What one launcher run left behind.
struct LaunchResult
{
    qztest::ProcessResult process;
    std::wstring cmdLine;
    std::vector<qztest::StandinCall> calls;
    std::string callsError; // the calls file did not parse
    // Statements of the start-up file and of each command file (by word).
    std::vector<TraceStatement> startup;
    std::map<std::wstring, std::vector<TraceStatement>> commandFiles;
    // Control 130 entries the service logged during the run.
    std::vector<qztest::AgentLogEntry> notifications;
    // Names of the files in <install>\trace after the run.
    std::vector<std::wstring> traceFiles;
};

struct LaunchOptions
{
    HANDLE token = nullptr;  // primary token for CreateProcessAsUserW
    int showWindow = -1;     // STARTF_USESHOWWINDOW with this value; -1: none
    bool rawCmdLine = false; // arguments is the whole command line (argument 0 included)
    std::wstring exePath;    // another launcher binary; empty: the installation's
};

// An agent installation (launcher, trace library, C++ runtime, stand-in
// libraries) with the agent service stand-in installed from it and running.
// One per test suite: installing and starting a service takes long.
class LauncherInstall
{
public:
    LauncherInstall();
    ~LauncherInstall();
    LauncherInstall(const LauncherInstall&) = delete;
    LauncherInstall& operator=(const LauncherInstall&) = delete;

    // Empty when everything is ready, else what failed.
    const std::string& SetupError() const { return m_setupError; }
    const qztest::AgentInstall& Tree() const { return *m_install; }
    qztest::AgentService& Service() { return *m_service; }
    std::wstring BinDir() const { return m_install->BinDir(); }
    std::wstring LauncherPath() const { return m_install->LauncherPath(); }

    // Back to the common state before a case: no trace files, no recorded
    // calls, stand-ins answering S_OK, the regular stand-in libraries in
    // place, the service running.
    bool Reset(std::string& error);

    // Removes the service (leaving the installation) / installs and starts it
    // again.
    bool RemoveService();
    bool ReinstallService(std::string& error);

    // Runs the launcher with the arguments (after the quoted program path).
    LaunchResult Launch(const std::wstring& arguments, const LaunchOptions& options = {});

private:
    std::unique_ptr<qztest::AgentInstall> m_install;
    std::unique_ptr<qztest::AgentService> m_service;
    std::string m_setupError;
};

// The fixture of an end-to-end suite: one installation for the whole suite,
// brought back to the common state, with the policy key absent, before each
// case.
class LauncherSuite : public ::testing::Test
{
public:
    static void SetUpTestSuite();
    static void TearDownTestSuite();

protected:
    void SetUp() override;

    static LauncherInstall& Install() { return *s_install; }

private:
    static LauncherInstall* s_install;
};

// Reads what a run left in an installation (shared with the outside-install
// case, whose installation has no service).
void CollectRunOutput(const std::wstring& root, const std::wstring& binDir, LaunchResult& result);
bool ClearTraceDir(const std::wstring& traceDir);

// Runs a program with a full command line, optionally under a primary token
// and with a show-window value in its start-up information.
qztest::ProcessResult RunWithOptions(const std::wstring& exePath, const std::wstring& cmdLine,
                                     const LaunchOptions& options);

// Primary tokens derived from this process's token.
// Administrators (S-1-5-32-544) turned deny-only by CreateRestrictedToken.
qztest::ScopedHandle AdministratorsDenyOnlyToken();
// The linked token (TokenLinkedToken) as a primary token; empty when the
// process token has none.
qztest::ScopedHandle LinkedPrimaryToken(TOKEN_ELEVATION_TYPE* linkedType = nullptr);

// The user checksum of the current user (same as the launcher's).
unsigned UserCrc();

// Expected stand-in calls.
qztest::StandinCall Call(const std::string& exportName, std::vector<qztest::StandinArg> args, HRESULT result = S_OK);

// Checks that the run produced exactly one accepted exit notification
// carrying the launcher's process id.
::testing::AssertionResult NotifiedOnce(const LaunchResult& result);

// Checks recorded calls (export and arguments and result; apartment "main-STA"
// and the launcher's process id).
::testing::AssertionResult CallsAre(const LaunchResult& result, const std::vector<qztest::StandinCall>& expected);

// Every prefixed statement of a file carries the launcher's process id.
::testing::AssertionResult AllFromPid(const std::vector<TraceStatement>& statements, DWORD pid);

} // namespace qzlaunch
