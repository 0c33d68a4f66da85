#include "tests/launcher/launcher_test_util.h"

#include "common/util/util.h"

#include <sddl.h>

#include <cctype>

namespace qzlaunch
{

const char* const kBanner = "<banner>";
const char* const kBannerStatement = "\n***************** QZ_ELEVATE Start *****************";

const char* const kAtRun = "CqzElevateModule::Run";
const char* const kAtAllow = "CqzElevateModule::_AllowNonAdmin";
const char* const kAtIsAdmin = "CqzElevateModule::_IsUserAdmin";
const char* const kAtGetProcAddr = "CqzElevateModule::_GetProcAddr";
const char* const kAtEntry = "::wWinMain";
const char* const kAtNotify = "CqzQzElevateCmdClient::NotifyProcessExit";
const char* const kAtSend = "CqzCustCmdClient::_SendData";

namespace
{

const char* const kBannerStars = "***************** QZ_ELEVATE Start *****************";
const wchar_t* const kPolicyValue = L"QzElevateAllowNonAdmin";

bool Digits(const std::string& text, size_t at, size_t count)
{
    if (at + count > text.size())
        return false;
    for (size_t i = at; i < at + count; ++i)
    {
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

// Parses "<%YEAR>.<%MONTH>.<%DAY> <%HOUR>:<%MIN>:<%SEC> PID:<%PID> TID:<%TID>
// <%CLASS>::<%STACK>:" at the start of a line.
bool ParsePrefixed(const std::string& line, TraceStatement& statement)
{
    if (!Digits(line, 0, 4) || line[4] != '.' || !Digits(line, 5, 2) || line[7] != '.' || !Digits(line, 8, 2) ||
        line[10] != ' ' || !Digits(line, 11, 2) || line[13] != ':' || !Digits(line, 14, 2) || line[16] != ':' ||
        !Digits(line, 17, 2) || line.compare(19, 5, " PID:") != 0)
        return false;
    size_t pos = 24;
    size_t end = pos;
    while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end])))
        ++end;
    if (end == pos || line.compare(end, 5, " TID:") != 0)
        return false;
    const unsigned long pid = std::stoul(line.substr(pos, end - pos));
    pos = end + 5;
    end = pos;
    while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end])))
        ++end;
    if (end == pos || end >= line.size() || line[end] != ' ')
        return false;
    pos = end + 1;
    const size_t classEnd = line.find("::", pos);
    if (classEnd == std::string::npos)
        return false;
    const size_t stackEnd = line.find(':', classEnd + 2);
    if (stackEnd == std::string::npos)
        return false;
    statement.prefixed = true;
    statement.pid = static_cast<DWORD>(pid);
    statement.className = line.substr(pos, classEnd - pos);
    statement.stack = line.substr(classEnd + 2, stackEnd - classEnd - 2);
    statement.message = line.substr(stackEnd + 1);
    return true;
}

std::string Innermost(const std::string& stack)
{
    const size_t gt = stack.rfind('>');
    return gt == std::string::npos ? stack : stack.substr(gt + 1);
}

bool EndsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string Shorten(const std::string& text)
{
    return text.size() <= 400 ? text : text.substr(0, 300) + " ... (" + std::to_string(text.size()) + " bytes)";
}

void Print(std::string& out, const qztest::StandinCall& call)
{
    out += "    " + Shorten(qztest::Describe(call)) + " pid " + std::to_string(call.pid) + "\n";
}

// The first difference between a recorded call and the expected one; empty
// when there is none.
std::string FirstDifference(const qztest::StandinCall& got, const qztest::StandinCall& want, DWORD pid)
{
    if (got.exportName != want.exportName)
        return "export " + got.exportName + " instead of " + want.exportName;
    if (got.apartment != "main-STA")
        return "apartment " + got.apartment + " instead of main-STA";
    if (got.pid != pid)
        return "pid " + std::to_string(got.pid) + " instead of the launcher's " + std::to_string(pid);
    if (got.result != want.result)
        return "result " + std::to_string(got.result) + " instead of " + std::to_string(want.result);
    if (got.args.size() != want.args.size())
        return std::to_string(got.args.size()) + " arguments instead of " + std::to_string(want.args.size());
    for (size_t i = 0; i < want.args.size(); ++i)
    {
        if (got.args[i] == want.args[i])
            continue;
        const qztest::StandinArg& a = got.args[i];
        const qztest::StandinArg& b = want.args[i];
        if (a.kind == qztest::StandinArg::Kind::Vector && b.kind == a.kind && a.vectorPresent && b.vectorPresent)
        {
            if (a.entries.size() != b.entries.size())
                return "argument " + std::to_string(i) + ": " + std::to_string(a.entries.size()) +
                       " vector entries instead of " + std::to_string(b.entries.size());
            for (size_t k = 0; k < a.entries.size(); ++k)
            {
                if (a.entries[k] != b.entries[k])
                    return "argument " + std::to_string(i) + ", vector entry " + std::to_string(k) + ": " +
                           Shorten(qztest::Describe(qztest::StandinArg::Vector({a.entries[k]}))) + " instead of " +
                           Shorten(qztest::Describe(qztest::StandinArg::Vector({b.entries[k]})));
            }
        }
        return "argument " + std::to_string(i) + ": " + Shorten(qztest::Describe(a)) + " instead of " +
               Shorten(qztest::Describe(b));
    }
    return std::string();
}

} // namespace

std::vector<TraceStatement> ReadTraceStatements(const std::wstring& path)
{
    std::vector<TraceStatement> statements;
    for (const std::string& line : qztest::ReadLines(path))
    {
        TraceStatement statement;
        if (ParsePrefixed(line, statement))
        {
            statements.push_back(statement);
            continue;
        }
        // A line without the prefix continues the statement before it.
        if (statements.empty())
        {
            statement.message = line;
            statements.push_back(statement);
        }
        else
        {
            statements.back().message += "\n" + line;
        }
    }
    return statements;
}

std::string Canonical(const TraceStatement& statement)
{
    // The banner is traced before the launcher sets its prefix: whatever the
    // library put in front of it stands alone on the line before the stars.
    if (statement.message == kBannerStatement || EndsWith(statement.message, std::string("\n") + kBannerStars))
        return kBanner;
    if (!statement.prefixed)
        return "(no prefix) | " + statement.message;
    return statement.className + "::" + Innermost(statement.stack) + " | " + statement.message;
}

std::string At(const char* where, const std::string& message)
{
    return std::string(where) + " | " + message;
}

std::vector<std::string> LauncherStatements(const std::vector<TraceStatement>& statements)
{
    std::vector<std::string> out;
    for (const TraceStatement& statement : statements)
    {
        if (statement.stack.find("_IsUserAdmin>") != std::string::npos)
            continue;
        out.push_back(Canonical(statement));
    }
    return out;
}

std::string Dump(const std::vector<std::string>& lines)
{
    std::string out = "\n";
    for (const std::string& line : lines)
        out += "    | " + line + "\n";
    return out;
}

std::string CmdLineInfo(const std::wstring& cmdLine)
{
    return At(kAtRun, "INFO: CmdLine [" + qztest::ToUtf8(cmdLine) + "]");
}

std::string ExitLine(long result)
{
    return At(kAtEntry, "INFO: Exited with code " + std::to_string(result));
}

std::string KeyOpenFailed(long result)
{
    return At(kAtAllow, "ERROR: Failed to open key [HKLM\\" + qztest::ToUtf8(PolicyKeyPath()) +
                            "]. res=" + std::to_string(result));
}

std::string RunError(const std::wstring& cmdLine, const std::string& what)
{
    return At(kAtRun, "ERROR: CmdLine [" + qztest::ToUtf8(cmdLine) + "]. " + what);
}

std::wstring PolicyKeyPath()
{
    return std::wstring(qztest::kAgentServiceKey) + L"\\Parameters\\Marrowgate";
}

const char* PolicyName(Policy policy)
{
    switch (policy)
    {
    case Policy::NoKey:
        return "no policy key";
    case Policy::KeyOnly:
        return "policy key without the value";
    case Policy::DwordOne:
        return "REG_DWORD 1";
    case Policy::DwordSeven:
        return "REG_DWORD 7";
    case Policy::DwordZero:
        return "REG_DWORD 0";
    case Policy::StringOne:
        return "REG_SZ \"1\"";
    case Policy::QwordOne:
        return "REG_QWORD 1";
    case Policy::LongDword:
        return "REG_DWORD type with 8 bytes";
    case Policy::ShortDword:
        return "REG_DWORD type with 2 bytes";
    case Policy::BinaryOne:
        return "REG_BINARY 01 00 00 00";
    }
    return "?";
}

bool ApplyPolicy(Policy policy)
{
    const std::wstring key = PolicyKeyPath();
    if (!qztest::DeleteRegTree(HKEY_LOCAL_MACHINE, key))
        return false;
    if (policy == Policy::NoKey)
        return true;
    if (!qztest::CreateRegKey(HKEY_LOCAL_MACHINE, key))
        return false;
    const BYTE one[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    switch (policy)
    {
    case Policy::NoKey:
    case Policy::KeyOnly:
        return true;
    case Policy::DwordOne:
        return qztest::SetRegDword(HKEY_LOCAL_MACHINE, key, kPolicyValue, 1);
    case Policy::DwordSeven:
        return qztest::SetRegDword(HKEY_LOCAL_MACHINE, key, kPolicyValue, 7);
    case Policy::DwordZero:
        return qztest::SetRegDword(HKEY_LOCAL_MACHINE, key, kPolicyValue, 0);
    case Policy::StringOne:
        return qztest::SetRegString(HKEY_LOCAL_MACHINE, key, kPolicyValue, L"1");
    case Policy::QwordOne:
        return qztest::SetRegBytes(HKEY_LOCAL_MACHINE, key, kPolicyValue, one, 8, REG_QWORD);
    case Policy::LongDword:
        return qztest::SetRegBytes(HKEY_LOCAL_MACHINE, key, kPolicyValue, one, 8, REG_DWORD);
    case Policy::ShortDword:
        return qztest::SetRegBytes(HKEY_LOCAL_MACHINE, key, kPolicyValue, one, 2, REG_DWORD);
    case Policy::BinaryOne:
        return qztest::SetRegBytes(HKEY_LOCAL_MACHINE, key, kPolicyValue, one, 4, REG_BINARY);
    }
    return false;
}

unsigned UserCrc()
{
    // The launcher's own computation is an established part (its suites
    // check it against an independent oracle).
    return CqzUtil::GetUserSidCrc();
}

bool ClearTraceDir(const std::wstring& traceDir)
{
    bool ok = true;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((traceDir + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return true;
    do
    {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        const std::wstring path = traceDir + L"\\" + data.cFileName;
        ok = ::DeleteFileW(path.c_str()) && ok;
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return ok;
}

void CollectRunOutput(const std::wstring& root, const std::wstring& binDir, LaunchResult& result)
{
    std::string error;
    if (!qztest::ReadStandinCalls(binDir, result.calls, &error))
        result.callsError = error.empty() ? "unreadable" : error;

    const std::wstring traceDir = root + L"\\trace";
    const std::wstring startupName = qztest::StartupTraceName(UserCrc());
    const std::wstring commandTail =
        L"." + std::wstring(qztest::kArchWord) + L".{" + std::to_wstring(UserCrc()) + L"}.trace";
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((traceDir + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do
    {
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        const std::wstring name = data.cFileName;
        result.traceFiles.push_back(name);
        const std::wstring path = traceDir + L"\\" + name;
        if (name == startupName)
        {
            result.startup = ReadTraceStatements(path);
            continue;
        }
        const std::wstring head = L"qz_elevate.";
        if (name.compare(0, head.size(), head) == 0 && name.size() > head.size() + commandTail.size() &&
            name.compare(name.size() - commandTail.size(), commandTail.size(), commandTail) == 0)
        {
            const std::wstring word = name.substr(head.size(), name.size() - head.size() - commandTail.size());
            result.commandFiles[word] = ReadTraceStatements(path);
        }
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
}

LauncherInstall* LauncherSuite::s_install = nullptr;

void LauncherSuite::SetUpTestSuite()
{
    s_install = new LauncherInstall();
}

void LauncherSuite::TearDownTestSuite()
{
    delete s_install;
    s_install = nullptr;
}

void LauncherSuite::SetUp()
{
    std::string error;
    ASSERT_TRUE(s_install->Reset(error)) << error;
    ASSERT_TRUE(ApplyPolicy(Policy::NoKey));
}

qztest::ProcessResult RunWithOptions(const std::wstring& exePath, const std::wstring& cmdLine,
                                     const LaunchOptions& options)
{
    qztest::RunOptions runOptions;
    runOptions.token = options.token;
    runOptions.showWindow = options.showWindow;
    return qztest::RunProcess(exePath, cmdLine, runOptions);
}

// ---------------------------------------------------------------------------
LauncherInstall::LauncherInstall()
{
    m_install.reset(new qztest::AgentInstall());
    if (m_install->Root().empty() || !m_install->CopyLauncher() || !m_install->CopyFromBuild(qztest::kStandinDlls))
    {
        m_setupError = "cannot lay out the agent installation";
        return;
    }
    m_service.reset(new qztest::AgentService(*m_install));
    if (!m_service->Installed())
    {
        m_setupError = "cannot install the agent service stand-in: " + m_service->FailedStep() + " error " +
                       std::to_string(m_service->Error());
        return;
    }
    if (!m_service->Start())
    {
        m_setupError = "cannot start the agent service stand-in: " + m_service->FailedStep() + " error " +
                       std::to_string(m_service->Error());
        return;
    }
}

LauncherInstall::~LauncherInstall()
{
    m_service.reset();
    ApplyPolicy(Policy::NoKey);
}

bool LauncherInstall::Reset(std::string& error)
{
    if (!m_setupError.empty())
    {
        error = m_setupError;
        return false;
    }
    const std::wstring bin = BinDir();
    if (!ClearTraceDir(m_install->TraceDir()) || !qztest::ClearStandinCalls(bin) || !qztest::ClearStandinResult(bin))
    {
        error = "cannot clear the traces or the stand-ins' files";
        return false;
    }
    // A case may have removed or replaced a stand-in library.
    if (!m_install->CopyFromBuild(qztest::kStandinDlls))
    {
        error = "cannot restore the stand-in libraries";
        return false;
    }
    if (!m_service)
    {
        std::string reinstallError;
        if (!ReinstallService(reinstallError))
        {
            error = reinstallError;
            return false;
        }
    }
    if (qztest::QueryAgentServiceState() != SERVICE_RUNNING && !m_service->Start())
    {
        error = "cannot start the agent service stand-in";
        return false;
    }
    return true;
}

bool LauncherInstall::RemoveService()
{
    m_service.reset();
    return qztest::RemoveAgentService();
}

bool LauncherInstall::ReinstallService(std::string& error)
{
    m_service.reset(new qztest::AgentService(*m_install));
    if (!m_service->Installed() || !m_service->Start())
    {
        error = "cannot reinstall the agent service stand-in: " + m_service->FailedStep() + " error " +
                std::to_string(m_service->Error());
        return false;
    }
    return true;
}

LaunchResult LauncherInstall::Launch(const std::wstring& arguments, const LaunchOptions& options)
{
    LaunchResult result;
    const std::wstring exe = options.exePath.empty() ? LauncherPath() : options.exePath;
    if (options.rawCmdLine)
        result.cmdLine = arguments;
    else
        result.cmdLine = qztest::QuoteArg(exe) + (arguments.empty() ? L"" : L" " + arguments);

    const size_t controlsBefore = m_service ? m_service->Controls().size() : 0;
    result.process = RunWithOptions(exe, result.cmdLine, options);
    // The service logs a record while the sender's control call is running,
    // so by the time the launcher has exited its notification is in the log.
    if (m_service)
    {
        std::vector<qztest::AgentLogEntry> controls = m_service->Controls();
        if (controls.size() > controlsBefore)
            result.notifications.assign(controls.begin() + static_cast<std::ptrdiff_t>(controlsBefore), controls.end());
    }
    CollectRunOutput(m_install->Root(), BinDir(), result);
    return result;
}

// ---------------------------------------------------------------------------
qztest::ScopedHandle AdministratorsDenyOnlyToken()
{
    const qztest::ScopedHandle process = qztest::OpenOwnProcessToken();
    if (!process.IsValid())
        return qztest::ScopedHandle();
    return qztest::RestrictedAdministratorsDenyOnly(process.Get());
}

qztest::ScopedHandle LinkedPrimaryToken(TOKEN_ELEVATION_TYPE* linkedType)
{
    const qztest::ScopedHandle process = qztest::OpenOwnProcessToken();
    qztest::ScopedHandle linkedToken = qztest::LinkedToken(process.Get());
    if (!linkedToken.IsValid())
        return qztest::ScopedHandle();
    DWORD size = 0;
    if (linkedType)
    {
        TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
        if (::GetTokenInformation(linkedToken.Get(), TokenElevationType, &type, sizeof(type), &size))
            *linkedType = type;
    }
    HANDLE primary = nullptr;
    if (!::DuplicateTokenEx(linkedToken.Get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, &primary))
        return qztest::ScopedHandle();
    return qztest::ScopedHandle(primary);
}

qztest::StandinCall Call(const std::string& exportName, std::vector<qztest::StandinArg> args, HRESULT result)
{
    qztest::StandinCall call;
    call.exportName = exportName;
    call.args = std::move(args);
    call.result = result;
    return call;
}

::testing::AssertionResult NotifiedOnce(const LaunchResult& result)
{
    if (result.notifications.size() != 1)
    {
        std::string out =
            "expected one exit notification, the service logged " + std::to_string(result.notifications.size()) + ":\n";
        for (const qztest::AgentLogEntry& entry : result.notifications)
            out += "    " + entry.raw + "\n";
        return ::testing::AssertionFailure() << out;
    }
    const qztest::AgentLogEntry& entry = result.notifications[0];
    if (entry.Get("cmd") != "10" || entry.Get("status") != "accepted" ||
        entry.Number("pid") != static_cast<long long>(result.process.pid))
        return ::testing::AssertionFailure() << "notification is not command 10, accepted, with the launcher's pid "
                                             << result.process.pid << ": " << entry.raw;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult CallsAre(const LaunchResult& result, const std::vector<qztest::StandinCall>& expected)
{
    if (!result.callsError.empty())
        return ::testing::AssertionFailure() << "the stand-ins' record does not parse: " << result.callsError;
    std::string difference;
    if (result.calls.size() != expected.size())
        difference = std::to_string(result.calls.size()) + " calls instead of " + std::to_string(expected.size());
    for (size_t i = 0; difference.empty() && i < expected.size(); ++i)
    {
        difference = FirstDifference(result.calls[i], expected[i], result.process.pid);
        if (!difference.empty())
            difference = "call " + std::to_string(i) + ": " + difference;
    }
    if (difference.empty())
        return ::testing::AssertionSuccess();
    std::string out = difference + "\nexpected (in main-STA of pid " + std::to_string(result.process.pid) + "):\n";
    for (const qztest::StandinCall& call : expected)
        Print(out, call);
    out += "recorded:\n";
    for (const qztest::StandinCall& call : result.calls)
        Print(out, call);
    return ::testing::AssertionFailure() << out;
}

::testing::AssertionResult AllFromPid(const std::vector<TraceStatement>& statements, DWORD pid)
{
    for (const TraceStatement& statement : statements)
    {
        if (statement.prefixed && statement.pid != pid)
            return ::testing::AssertionFailure()
                   << "statement of pid " << statement.pid << " (launcher " << pid << "): " << statement.message;
    }
    return ::testing::AssertionSuccess();
}

} // namespace qzlaunch
