// qz_elevate.exe end to end: the switch table, the operands and flags handed
// to the agent library, the refusals with E_INVALIDARG, the library and
// export failures, the exports' own results, and hostile command lines.
//
// Each case starts the launcher as a separate process in an agent
// installation with the stand-in libraries and the running agent service
// stand-in, and checks the 32-bit exit code, the call the stand-in recorded,
// every statement of the start-up and command trace files, and the exit
// notification the service received. The policy key is absent and the
// launcher runs under this process's token (an elevated administrator's
// under Wine), the agent's typical run.
#include "tests/launcher/launcher_test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace
{

using qzlaunch::At;
using qzlaunch::Call;
using qzlaunch::CmdLineInfo;
using qzlaunch::ExitLine;
using qzlaunch::kAtGetProcAddr;
using qzlaunch::kAtRun;
using qzlaunch::kBanner;
using qzlaunch::KeyOpenFailed;
using qzlaunch::LauncherStatements;
using qzlaunch::LaunchResult;
using qzlaunch::RunError;
using qztest::StandinArg;
using qztest::StandinCall;

const long kInvalidArg = static_cast<long>(0x80070057);
const long kFail = static_cast<long>(0x80004005);
const int kShowDefault = SW_SHOWDEFAULT; // what the runtime passes without STARTF_USESHOWWINDOW

std::vector<std::optional<std::wstring>> Entries(std::initializer_list<const wchar_t*> texts)
{
    std::vector<std::optional<std::wstring>> entries;
    for (const wchar_t* text : texts)
        entries.push_back(text ? std::optional<std::wstring>(text) : std::nullopt);
    return entries;
}

StandinCall ShowEBH(const std::wstring& location, HRESULT result = S_OK)
{
    return Call("ShowEBH", {StandinArg::Text(location.c_str())}, result);
}

StandinCall ShowWB(const std::wstring& address, unsigned char flag, HRESULT result = S_OK)
{
    return Call("ShowWB", {StandinArg::Text(address.c_str()), StandinArg::Bool(flag)}, result);
}

StandinCall CallCGCOFU(HRESULT result = S_OK)
{
    return Call("CallCGCOFU", {}, result);
}

StandinCall QzToolExec(const std::wstring& tool, int show, int count, std::vector<std::optional<std::wstring>> entries,
                       HRESULT result = S_OK)
{
    return Call("QzToolExec",
                {StandinArg::Text(tool.c_str()), StandinArg::Int(show), StandinArg::Int(count),
                 StandinArg::Vector(std::move(entries))},
                result);
}

bool Guarded(const std::wstring& word)
{
    return word != L"activex";
}

class Dispatch : public qzlaunch::LauncherSuite
{
protected:
    // The statements a dispatched command writes to its own file when the
    // rights check passes by the token: the command line, the policy key's
    // absence for the guarded switches, what `between` adds, the exit line.
    static std::vector<std::string> CommandStatements(const LaunchResult& result, const std::wstring& word,
                                                      const std::vector<std::string>& between, long exitCode)
    {
        std::vector<std::string> expected = {CmdLineInfo(result.cmdLine)};
        if (Guarded(word))
            expected.push_back(KeyOpenFailed(ERROR_FILE_NOT_FOUND));
        expected.insert(expected.end(), between.begin(), between.end());
        expected.push_back(ExitLine(exitCode));
        return expected;
    }

    // A dispatched command: the start-up file holds the banner alone, the
    // command file the given statements, and the agent was notified.
    static void ExpectDispatched(const LaunchResult& result, const std::wstring& word,
                                 const std::vector<std::string>& commandStatements)
    {
        EXPECT_EQ(std::vector<std::string>{kBanner}, LauncherStatements(result.startup))
            << qzlaunch::Dump(LauncherStatements(result.startup));
        ASSERT_EQ(1u, result.commandFiles.size()) << "command trace files: " << result.traceFiles.size();
        ASSERT_EQ(1u, result.commandFiles.count(word)) << "no command file for " << qztest::ToUtf8(word);
        const std::vector<std::string> got = LauncherStatements(result.commandFiles.at(word));
        EXPECT_EQ(commandStatements, got) << qzlaunch::Dump(got);
        EXPECT_TRUE(qzlaunch::AllFromPid(result.commandFiles.at(word), result.process.pid));
        EXPECT_TRUE(qzlaunch::NotifiedOnce(result));
    }
};

// ---------------------------------------------------------------------------
// Each switch with its operands, in any letter case.

struct SwitchRow
{
    const char* name;
    std::wstring arguments;
    int showWindow; // -1: none in the start-up information
    const wchar_t* word;
    StandinCall call;
};

TEST_F(Dispatch, EachSwitchCallsItsExportWithItsOperands)
{
    const std::vector<SwitchRow> rows = {
        {"/explore with a folder", L"/explore C:\\Users\\Public", -1, L"ebh", ShowEBH(L"C:\\Users\\Public")},
        {"/EXPLORE in capitals, quoted folder", L"/EXPLORE \"C:\\Program Files\\Dunmoral\"", -1, L"ebh",
         ShowEBH(L"C:\\Program Files\\Dunmoral")},
        {"/Explore: words after the folder ignored", L"/Explore C:\\x more words", -1, L"ebh", ShowEBH(L"C:\\x")},
        {"/explore with an empty quoted folder", L"/explore \"\"", -1, L"ebh", ShowEBH(L"")},
        {"/axinst", L"/axinst", -1, L"activex", CallCGCOFU()},
        {"/AXINST with extra arguments", L"/AXINST extra \"more args\" /setautoelvateflag", -1, L"activex",
         CallCGCOFU()},
        {"/navigate with the flag", L"/navigate https://example.test/a?b=c /setautoelvateflag", -1, L"wbh",
         ShowWB(L"https://example.test/a?b=c", 1)},
        {"/NAVIGATE with the flag in capitals", L"/NAVIGATE https://x.test/ /SETAUTOELVATEFLAG", -1, L"wbh",
         ShowWB(L"https://x.test/", 1)},
        {"/NaviGate with the flag in mixed case", L"/NaviGate https://x.test/ /SetAutoElvateFlag", -1, L"wbh",
         ShowWB(L"https://x.test/", 1)},
        {"/navigate with the flag and more", L"/navigate https://x.test/ /setautoelvateflag more", -1, L"wbh",
         ShowWB(L"https://x.test/", 1)},
        {"/navigate with a word one letter longer", L"/navigate https://x.test/ /setautoelvateflagx", -1, L"wbh",
         ShowWB(L"https://x.test/", 0)},
        {"/navigate with the word spelt correctly", L"/navigate https://x.test/ /setautoelevateflag", -1, L"wbh",
         ShowWB(L"https://x.test/", 0)},
        {"/navigate with the flag lacking its slash", L"/navigate https://x.test/ setautoelvateflag", -1, L"wbh",
         ShowWB(L"https://x.test/", 0)},
        {"/navigate with the address alone", L"/navigate https://x.test/", -1, L"wbh", ShowWB(L"https://x.test/", 0)},
        {"/qztoolexec with a tool alone", L"/qztoolexec tool.exe", -1, L"qztool",
         QzToolExec(L"tool.exe", kShowDefault, 3, Entries({nullptr}))},
        {"/QzToolExec with further arguments", L"/QzToolExec tool.exe a \"b c\" /d", -1, L"qztool",
         QzToolExec(L"tool.exe", kShowDefault, 6, Entries({L"a", L"b c", L"/d", nullptr}))},
        {"/QZTOOLEXEC with a show-window value", L"/QZTOOLEXEC \"C:\\Tools\\t.exe\" x", SW_SHOWMINNOACTIVE, L"qztool",
         QzToolExec(L"C:\\Tools\\t.exe", SW_SHOWMINNOACTIVE, 4, Entries({L"x", nullptr}))},
        {"/explore with a show-window value", L"/explore C:\\y", SW_HIDE, L"ebh", ShowEBH(L"C:\\y")},
    };
    for (const SwitchRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(SetUp());
        qzlaunch::LaunchOptions options;
        options.showWindow = row.showWindow;
        const LaunchResult result = Install().Launch(row.arguments, options);
        ASSERT_TRUE(result.process.finished) << "start error " << result.process.error;
        EXPECT_EQ(0u, result.process.exitCode);
        EXPECT_TRUE(qzlaunch::CallsAre(result, {row.call}));
        ExpectDispatched(result, row.word, CommandStatements(result, row.word, {}, 0));
    }
}

// ---------------------------------------------------------------------------
// Refusals with E_INVALIDARG: no library is touched.

struct RefusalRow
{
    const char* name;
    std::wstring arguments; // appended to the quoted program path
    const wchar_t* word;    // the command file the refusal goes to; null: the start-up file
    const char* what;       // the message after "ERROR: CmdLine [...]. "
};

TEST_F(Dispatch, RefusalsEndWithInvalidArgAndTouchNoLibrary)
{
    const std::vector<RefusalRow> rows = {
        {"the program path alone", L"", nullptr, "Missing command line arguments."},
        {"the program path and blanks", L"   \t ", nullptr, "Missing command line arguments."},
        {"no switch, a folder", L"C:\\folder", nullptr, "Unexpected command line arguments."},
        {"a switch one letter longer", L"/explorer C:\\x", nullptr, "Unexpected command line arguments."},
        {"a switch one letter shorter", L"/explor C:\\x", nullptr, "Unexpected command line arguments."},
        {"a switch without its slash", L"explore C:\\x", nullptr, "Unexpected command line arguments."},
        {"a switch with a dash", L"-explore C:\\x", nullptr, "Unexpected command line arguments."},
        {"switch and operand quoted as one", L"\"/explore C:\\x\"", nullptr, "Unexpected command line arguments."},
        {"the flag in the switch's place", L"/setautoelvateflag https://x/", nullptr,
         "Unexpected command line arguments."},
        {"/explore without its folder", L"/explore", L"ebh", "Missing command line arguments after /explore switch."},
        {"/EXPLORE without its folder", L"/EXPLORE", L"ebh", "Missing command line arguments after /explore switch."},
        {"/QzToolExec without its tool", L"/QzToolExec", L"qztool",
         "Missing command line arguments after /qztoolexec switch."},
        {"/NAVIGATE without its address", L"/NAVIGATE   ", L"wbh",
         "Missing command line arguments after /navigate switch."},
    };
    for (const RefusalRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(SetUp());
        const LaunchResult result = Install().Launch(row.arguments);
        ASSERT_TRUE(result.process.finished) << "start error " << result.process.error;
        EXPECT_EQ(0x80070057u, result.process.exitCode);
        EXPECT_TRUE(qzlaunch::CallsAre(result, {}));
        EXPECT_TRUE(qzlaunch::NotifiedOnce(result));

        const std::vector<std::string> startup = LauncherStatements(result.startup);
        if (row.word == nullptr)
        {
            // No trace tag is set: everything stays in the start-up file.
            EXPECT_TRUE(result.commandFiles.empty()) << "a command file was named";
            const std::vector<std::string> expected = {kBanner, RunError(result.cmdLine, row.what),
                                                       ExitLine(kInvalidArg)};
            EXPECT_EQ(expected, startup) << qzlaunch::Dump(startup);
        }
        else
        {
            EXPECT_EQ(std::vector<std::string>{kBanner}, startup) << qzlaunch::Dump(startup);
            ASSERT_EQ(1u, result.commandFiles.count(row.word));
            EXPECT_EQ(1u, result.commandFiles.size());
            const std::vector<std::string> expected = {CmdLineInfo(result.cmdLine), RunError(result.cmdLine, row.what),
                                                       ExitLine(kInvalidArg)};
            const std::vector<std::string> got = LauncherStatements(result.commandFiles.at(row.word));
            EXPECT_EQ(expected, got) << qzlaunch::Dump(got);
        }
    }
}

// ---------------------------------------------------------------------------
// A library that is missing or lacks its export: E_FAIL.

struct LibraryRow
{
    const char* name;
    const wchar_t* removeDll;   // deleted from the installation before the run
    const wchar_t* variant;     // copied over the library before the run (relative to the build's bin)
    const wchar_t* variantName; // the library it replaces
    std::wstring arguments;
    const wchar_t* word;
    const char* exportName;
};

TEST_F(Dispatch, MissingLibraryOrExportEndsWithFail)
{
    const std::vector<LibraryRow> rows = {
        {"qz_shex.dll missing, /explore", L"qz_shex.dll", nullptr, nullptr, L"/explore C:\\x", L"ebh", nullptr},
        {"qz_shex.dll missing, /qztoolexec", L"qz_shex.dll", nullptr, nullptr, L"/qztoolexec t.exe", L"qztool",
         nullptr},
        {"qz_bho.dll missing, /axinst", L"qz_bho.dll", nullptr, nullptr, L"/axinst", L"activex", nullptr},
        {"qz_bho.dll missing, /navigate", L"qz_bho.dll", nullptr, nullptr, L"/navigate u", L"wbh", nullptr},
        {"qz_shex.dll without ShowEBH", nullptr, qztest::kShexWithoutShowEBH, L"qz_shex.dll", L"/explore C:\\x", L"ebh",
         "ShowEBH"},
        {"qz_bho.dll without ShowWB", nullptr, qztest::kBhoWithoutShowWB, L"qz_bho.dll",
         L"/navigate u /setautoelvateflag", L"wbh", "ShowWB"},
    };
    for (const LibraryRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(SetUp());
        const std::wstring bin = Install().BinDir();
        std::wstring dll;
        if (row.removeDll)
        {
            dll = bin + L"\\" + row.removeDll;
            ASSERT_TRUE(::DeleteFileW(dll.c_str()));
        }
        else
        {
            dll = bin + L"\\" + row.variantName;
            ASSERT_TRUE(::CopyFileW((qztest::BinDir() + L"\\" + row.variant).c_str(), dll.c_str(), FALSE));
        }
        const LaunchResult result = Install().Launch(row.arguments);
        ASSERT_TRUE(result.process.finished) << "start error " << result.process.error;
        EXPECT_EQ(0x80004005u, result.process.exitCode);
        EXPECT_TRUE(qzlaunch::CallsAre(result, {}));

        const std::string failure = row.removeDll
                                        ? "ERROR: LoadLibrary(" + qztest::ToUtf8(dll) + ") failed. LastError=126"
                                        : std::string("ERROR: GetProcAddress(") + row.exportName + ") from [" +
                                              qztest::ToUtf8(dll) + "] failed. LastError=127";
        ExpectDispatched(result, row.word, CommandStatements(result, row.word, {At(kAtGetProcAddr, failure)}, kFail));
    }
}

// ---------------------------------------------------------------------------
// The export's own result: the exit code, unchanged; a failure traced.

struct ResultRow
{
    const char* name;
    std::wstring arguments;
    const wchar_t* word;
    HRESULT result;
    StandinCall call;
    const char* failure; // the call-failure message; null for success codes
};

TEST_F(Dispatch, ExportResultBecomesTheExitCode)
{
    const HRESULT denied = static_cast<HRESULT>(0x80070005);
    const HRESULT notImpl = static_cast<HRESULT>(0x80004001);
    const std::vector<ResultRow> rows = {
        {"ShowEBH answers S_FALSE", L"/explore C:\\x", L"ebh", S_FALSE, ShowEBH(L"C:\\x", S_FALSE), nullptr},
        {"ShowWB answers 0x7FFFFFFF", L"/navigate u", L"wbh", 0x7FFFFFFF, ShowWB(L"u", 0, 0x7FFFFFFF), nullptr},
        {"CallCGCOFU answers 2", L"/axinst", L"activex", 2, CallCGCOFU(2), nullptr},
        {"CallCGCOFU fails", L"/axinst extra", L"activex", denied, CallCGCOFU(denied),
         "ERROR: CallCGCOFU() failed. hr=-2147024891"},
        {"ShowEBH fails", L"/explore \"C:\\a b\"", L"ebh", denied, ShowEBH(L"C:\\a b", denied),
         "ERROR: ShowEBH(C:\\a b) failed. hr=-2147024891"},
        {"QzToolExec fails", L"/qztoolexec t.exe a", L"qztool", notImpl,
         QzToolExec(L"t.exe", kShowDefault, 4, Entries({L"a", nullptr}), notImpl),
         "ERROR: QzToolExec(t.exe) failed. hr=-2147467263"},
        {"ShowWB fails with the flag", L"/navigate https://u/ /SETAUTOELVATEFLAG", L"wbh", denied,
         ShowWB(L"https://u/", 1, denied), "ERROR: ShowWB(https://u/, 1) failed. hr=-2147024891"},
        {"ShowWB fails without the flag", L"/navigate https://u/", L"wbh", E_FAIL, ShowWB(L"https://u/", 0, E_FAIL),
         "ERROR: ShowWB(https://u/, 0) failed. hr=-2147467259"},
        {"ShowEBH answers -1", L"/explore C:\\x", L"ebh", static_cast<HRESULT>(0xFFFFFFFF),
         ShowEBH(L"C:\\x", static_cast<HRESULT>(0xFFFFFFFF)), "ERROR: ShowEBH(C:\\x) failed. hr=-1"},
    };
    for (const ResultRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(SetUp());
        ASSERT_TRUE(qztest::SetStandinResult(Install().BinDir(), row.result));
        const LaunchResult result = Install().Launch(row.arguments);
        ASSERT_TRUE(result.process.finished) << "start error " << result.process.error;
        EXPECT_EQ(static_cast<DWORD>(row.result), result.process.exitCode);
        EXPECT_TRUE(qzlaunch::CallsAre(result, {row.call}));
        std::vector<std::string> between;
        if (row.failure)
            between.push_back(At(kAtRun, row.failure));
        ExpectDispatched(result, row.word, CommandStatements(result, row.word, between, row.result));
    }
}

// ---------------------------------------------------------------------------
// Hostile command lines: a defined result and no crash.

// The UTF-8 the trace library writes for wide text: an unpaired surrogate
// becomes U+FFFD.
std::wstring AsTraced(const std::wstring& text)
{
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i)
    {
        const wchar_t c = text[i];
        const bool high = c >= 0xD800 && c <= 0xDBFF;
        const bool low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
        {
            out += c;
            out += text[++i];
        }
        else
        {
            out += (high || low) ? wchar_t(0xFFFD) : c;
        }
    }
    return out;
}

struct HostileRow
{
    const char* name;
    std::wstring arguments;
    const wchar_t* word; // null: refused in the start-up file
    std::vector<StandinCall> calls;
    bool raw = false; // arguments is the whole command line, argument 0 included
};

TEST_F(Dispatch, HostileCommandLinesHaveADefinedResult)
{
    const std::wstring longOperand = L"C:\\" + std::wstring(32000, L'a');
    std::wstring manyArguments = L"/qztoolexec t.exe";
    std::vector<std::optional<std::wstring>> manyEntries;
    for (int i = 0; i < 2000; ++i)
    {
        manyArguments += L" a" + std::to_wstring(i);
        manyEntries.push_back(L"a" + std::to_wstring(i));
    }
    manyEntries.push_back(std::nullopt);

    const std::vector<HostileRow> rows = {
        {"a 32000-character folder", L"/explore " + longOperand, L"ebh", {ShowEBH(longOperand)}},
        {"2000 arguments after the tool",
         manyArguments,
         L"qztool",
         {QzToolExec(L"t.exe", kShowDefault, 2003, manyEntries)}},
        {"an unbalanced quote in the operand",
         L"/explore \"C:\\dir with space",
         L"ebh",
         {ShowEBH(L"C:\\dir with space")}},
        {"an unbalanced quote swallowing the flag",
         L"/navigate \"https://x/ /setautoelvateflag",
         L"wbh",
         {ShowWB(L"https://x/ /setautoelvateflag", 0)}},
        {"an unbalanced quote before the switch", L"\"/explore C:\\x", nullptr, {}},
        {"control characters in the operand",
         L"/explore C:\\a\x01\x07\x1b\x7f"
         L"b",
         L"ebh",
         {ShowEBH(L"C:\\a\x01\x07\x1b\x7f"
                  L"b")}},
        {"line feed and carriage return in the operand",
         L"/explore \"C:\\one\ntwo\rthree\"",
         L"ebh",
         {ShowEBH(L"C:\\one\ntwo\rthree")}},
        {"a control character in the switch", L"/explore\x01 C:\\x", nullptr, {}},
        {"non-ASCII operand",
         L"/explore \"C:\\\x00DCn\x00EF\x0063\x00F8\x0064\x00E9\\\x65E5\x672C\x8A9E\\\xD83D\xDE00\"",
         L"ebh",
         {ShowEBH(L"C:\\\x00DCn\x00EF\x0063\x00F8\x0064\x00E9\\\x65E5\x672C\x8A9E\\\xD83D\xDE00")}},
        {"non-ASCII switch look-alike", L"/\x0435xplore C:\\x", nullptr, {}},
        {"an unpaired surrogate in the address",
         L"/navigate https://x/\xD800y",
         L"wbh",
         {ShowWB(L"https://x/\xD800y", 0)}},
        {"blanks only, quoted", L"/explore \"   \"", L"ebh", {ShowEBH(L"   ")}},
        // The C runtime reads argument 0 with quotes (one argument here), the
        // split without (three or six): the runtime's vector ends before its
        // fourth entry, and the export gets the position of its terminator.
        {"runtime vector shorter than the split",
         L"X\"  /qztoolexec t\"",
         L"qztool",
         {QzToolExec(L"t", kShowDefault, 3, Entries({nullptr}))},
         true},
        {"runtime vector much shorter than the split",
         L"X\"  /qztoolexec t a b c\"",
         L"qztool",
         {QzToolExec(L"t", kShowDefault, 6, Entries({nullptr}))},
         true},
    };
    for (const HostileRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(SetUp());
        qzlaunch::LaunchOptions options;
        options.rawCmdLine = row.raw;
        const LaunchResult result = Install().Launch(row.arguments, options);
        ASSERT_TRUE(result.process.finished) << "start error " << result.process.error;
        EXPECT_TRUE(qzlaunch::CallsAre(result, row.calls));
        const std::wstring traced = AsTraced(result.cmdLine);
        if (row.word == nullptr)
        {
            EXPECT_EQ(0x80070057u, result.process.exitCode);
            EXPECT_TRUE(result.commandFiles.empty());
            const std::vector<std::string> expected = {kBanner, RunError(traced, "Unexpected command line arguments."),
                                                       ExitLine(kInvalidArg)};
            const std::vector<std::string> got = LauncherStatements(result.startup);
            EXPECT_EQ(expected, got) << qzlaunch::Dump(got);
            EXPECT_TRUE(qzlaunch::NotifiedOnce(result));
        }
        else
        {
            EXPECT_EQ(0u, result.process.exitCode);
            std::vector<std::string> expected = CommandStatements(result, row.word, {}, 0);
            expected[0] = CmdLineInfo(traced);
            ExpectDispatched(result, row.word, expected);
        }
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Levels. The launcher's own prefix shows the class but not the level, so a
// statement moved to another level would still read the same in its files.
// With a configuration file whose prefix also names the level, every
// statement the launcher's classes write in a set of typical runs must carry
// the level of its severity word: ERROR at QZT_ERROR, INFO at QZT_INFO, ...

class DispatchLevels : public Dispatch
{
protected:
    void SetUp() override
    {
        Dispatch::SetUp();
        m_config = Install().Tree().ConfigDir() + L"\\qz_elevate.cfg";
        // The start-up statements go where the launcher's own start-up file
        // would be, so the run output is collected as usual.
        const std::string config =
            "file = ..\\trace\\" + qztest::ToUtf8(qztest::StartupTraceName(qzlaunch::UserCrc())) +
            "\nprefix class .* * \"<%YEAR>.<%MONTH>.<%DAY> <%HOUR>:<%MIN>:<%SEC> PID:<%PID> TID:<%TID> "
            "<%CLASS>::<%STACK>:<%LEVEL>|\"\n";
        ASSERT_TRUE(qztest::WriteTextFile(m_config, config));
    }
    void TearDown() override { ::DeleteFileW(m_config.c_str()); }

    std::wstring m_config;
};

TEST_F(DispatchLevels, EveryStatementCarriesTheLevelOfItsSeverityWord)
{
    const struct
    {
        const char* word;
        const char* level;
    } severities[] = {
        {"ERROR: ", "QZT_ERROR"}, {"WARNING: ", "QZT_WARNING"}, {"INFO: ", "QZT_INFO"},
        {"TRACE: ", "QZT_TRACE"}, {"DEBUG: ", "QZT_DEBUG"},
    };
    const char* const launcherClasses[] = {"CqzElevateModule", "", "CqzQzElevateCmdClient", "CqzCustCmdClient"};
    const wchar_t* const runs[] = {
        L"/explore C:\\x", // dispatched: command line, policy key absent, exit line
        L"C:\\x",          // no switch: the refusal
        L"/explore",       // missing operand
        L"/navigate https://x.test/ /setautoelvateflag",
    };
    std::map<std::string, int> seen;
    for (const wchar_t* arguments : runs)
    {
        SCOPED_TRACE(qztest::ToUtf8(arguments));
        ASSERT_NO_FATAL_FAILURE(Dispatch::SetUp());
        const LaunchResult result = Install().Launch(arguments);
        ASSERT_TRUE(result.process.finished) << "start error " << result.process.error;
        std::vector<qzlaunch::TraceStatement> statements = result.startup;
        for (const auto& file : result.commandFiles)
            statements.insert(statements.end(), file.second.begin(), file.second.end());
        ASSERT_FALSE(statements.empty());
        for (const qzlaunch::TraceStatement& statement : statements)
        {
            if (!statement.prefixed)
                continue;
            bool ours = false;
            for (const char* name : launcherClasses)
                ours = ours || statement.className == name;
            if (!ours)
                continue;
            const size_t bar = statement.message.find('|');
            ASSERT_NE(std::string::npos, bar) << statement.message;
            const std::string level = statement.message.substr(0, bar);
            const std::string text = statement.message.substr(bar + 1);
            for (const auto& severity : severities)
            {
                if (text.compare(0, std::strlen(severity.word), severity.word) != 0)
                    continue;
                EXPECT_EQ(severity.level, level) << statement.className << "::" << statement.stack << ": " << text;
                ++seen[severity.level];
            }
        }
    }
    // The runs above write both kinds: a check that saw none would pass
    // vacuously.
    EXPECT_LT(0, seen["QZT_ERROR"]);
    EXPECT_LT(0, seen["QZT_INFO"]);
}
