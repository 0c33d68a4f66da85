// Statements: prefix fields, level switching, operand evaluation, last error,
// nesting, flushing, wide text and a second module writing through the stream.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <iomanip>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/trace/trace_peer.h"
#include "tests/trace/trace_test_util.h"
#include "trace/trace.h"

using namespace qztrace_test;

namespace
{

// Each test gets its own file and its own level with an empty prefix.
class TraceStatement : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_path = m_dir.Wide(L"trace.log");
        m_level = FreshLevel();
        D_C_Support_SetRotation(0, 0, 0);
        D_C_Support_SetD_File(ToUtf8(m_path).c_str(), 0, 1);
        D_C_Support_SetPrefix(".*", 1, m_level, "");
        D_Support_c::SetDoPrintFor(1, ".*", m_level, 1);
    }

    std::vector<std::string> FileLines() const { return Lines(ReadAll(m_path)); }

    TempDir m_dir;
    std::wstring m_path;
    int m_level = 0;
};

std::string Inner(int level)
{
    QZ_STACK_NAME("Inner", "CqzNested");
    QZTRACE(level, "CqzNested", "inner line");
    return "value";
}

ULONGLONG Ticks(const SYSTEMTIME& st)
{
    FILETIME ft = {};
    ::SystemTimeToFileTime(&st, &ft);
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

} // namespace

TEST_F(TraceStatement, PrefixFieldsExpandForTheCallingThread)
{
    const D_LevelName_c name("QZT_TEST_FIELDS", m_level);
    D_C_Support_SetPrefix(".*", 1, m_level,
                          "<%YEAR>.<%MONTH>.<%DAY> <%HOUR>:<%MIN>:<%SEC>.<%MSEC> PID:<%PID> TID:<%TID> "
                          "<%CLASS>::<%STACK>: L=<%LEVEL> F=<%FILE> N=<%LINE> FN=<%FUNC> U=<%NOPE> <%CLASS|");
    SYSTEMTIME before;
    ::GetLocalTime(&before);
    int line = 0;
    {
        QZ_STACK_NAME("Outer", "CqzFields");
        {
            D_StackName_c inner("Inner", "CqzFields");
            line = __LINE__ + 1;
            QZTRACE(m_level, "CqzFields", "x");
        }
    }
    SYSTEMTIME after;
    ::GetLocalTime(&after);

    const std::vector<std::string> lines = FileLines();
    ASSERT_EQ(1u, lines.size());
    std::smatch m;
    const std::regex shape(R"(^(\d{4})\.(\d{2})\.(\d{2}) (\d{2}):(\d{2}):(\d{2})\.(\d{3}) PID:(\d+) TID:(\d+) (.*)$)");
    ASSERT_TRUE(std::regex_match(lines[0], m, shape)) << lines[0];
    EXPECT_EQ(std::to_string(::GetCurrentProcessId()), m[8].str());
    EXPECT_EQ(std::to_string(::GetCurrentThreadId()), m[9].str());
    EXPECT_EQ("CqzFields::Outer>Inner: L=QZT_TEST_FIELDS F=trace_statement_test.cpp N=" + std::to_string(line) +
                  " FN=Inner U=<%NOPE> <%CLASS|x",
              m[10].str());
    SYSTEMTIME stamp = {};
    stamp.wYear = static_cast<WORD>(std::stoi(m[1].str()));
    stamp.wMonth = static_cast<WORD>(std::stoi(m[2].str()));
    stamp.wDay = static_cast<WORD>(std::stoi(m[3].str()));
    stamp.wHour = static_cast<WORD>(std::stoi(m[4].str()));
    stamp.wMinute = static_cast<WORD>(std::stoi(m[5].str()));
    stamp.wSecond = static_cast<WORD>(std::stoi(m[6].str()));
    stamp.wMilliseconds = static_cast<WORD>(std::stoi(m[7].str()));
    const ULONGLONG second = 10000000ULL;
    EXPECT_GE(Ticks(stamp) + second, Ticks(before)) << lines[0];
    EXPECT_LE(Ticks(stamp), Ticks(after) + second) << lines[0];
}

TEST_F(TraceStatement, LauncherTemplateGivesClassAndScope)
{
    D_C_Support_SetPrefix(".*", 1, m_level,
                          "<%YEAR>.<%MONTH>.<%DAY> <%HOUR>:<%MIN>:<%SEC> PID:<%PID> TID:<%TID> <%CLASS>::<%STACK>:");
    {
        QZ_STACK_NAME("Run", "CqzElevateModule");
        QZTRACE(m_level, "CqzElevateModule", "INFO: CmdLine [" << L"/explore C:\\" << "]");
    }
    QZTRACE(m_level, nullptr, "\n***************** QZ_ELEVATE Start *****************");

    const std::string ids =
        " PID:" + std::to_string(::GetCurrentProcessId()) + " TID:" + std::to_string(::GetCurrentThreadId());
    const std::vector<std::string> lines = FileLines();
    ASSERT_EQ(3u, lines.size());
    const std::regex date(R"(^\d{4}\.\d{2}\.\d{2} \d{2}:\d{2}:\d{2}$)");
    EXPECT_TRUE(std::regex_match(lines[0].substr(0, 19), date)) << lines[0];
    EXPECT_EQ(ids + " CqzElevateModule::Run:INFO: CmdLine [/explore C:\\]", lines[0].substr(19));
    EXPECT_EQ(ids + " :::", lines[1].substr(19)); // no class, no scope; the text starts a new line
    EXPECT_EQ("***************** QZ_ELEVATE Start *****************", lines[2]);
}

TEST_F(TraceStatement, PrefixOfAnotherThreadNamesThatThread)
{
    D_C_Support_SetPrefix(".*", 1, m_level, "<%TID>|<%STACK>|");
    DWORD tid = 0;
    std::thread worker(
        [&]
        {
            tid = ::GetCurrentThreadId();
            QZ_STACK_NAME("Worker", "CqzThreads");
            QZTRACE(m_level, "CqzThreads", "from worker");
        });
    worker.join();
    QZTRACE(m_level, "CqzThreads", "from main");
    const std::vector<std::string> lines = FileLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(std::to_string(tid) + "|Worker|from worker", lines[0]);
    EXPECT_EQ(std::to_string(::GetCurrentThreadId()) + "||from main", lines[1]);
}

TEST_F(TraceStatement, EmptyTemplateGivesNoPrefix)
{
    D_C_Support_SetPrefix(".*", 1, m_level, "<%TID> ");
    D_C_Support_SetPrefix("CqzBare", 1, m_level, "");
    QZTRACE(m_level, "CqzBare", "bare");
    QZTRACE(m_level, "CqzOther", "other");
    const std::vector<std::string> lines = FileLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("bare", lines[0]);
    EXPECT_EQ(std::to_string(::GetCurrentThreadId()) + " other", lines[1]);
}

TEST_F(TraceStatement, DeepStackIsBoundedAndUnwinds)
{
    D_C_Support_SetPrefix(".*", 1, m_level, "<%STACK>|<%FUNC>|");
    std::vector<std::string> names;
    for (int i = 0; i < 100; ++i)
        names.push_back("f" + std::to_string(i));
    std::vector<std::unique_ptr<D_StackName_c>> frames;
    for (int i = 0; i < 100; ++i)
    {
        frames.emplace_back(new D_StackName_c(names[static_cast<size_t>(i)].c_str(), "CqzDeep"));
        if (i == 19)
            QZTRACE(m_level, "CqzDeep", "twenty");
    }
    QZTRACE(m_level, "CqzDeep", "hundred");
    while (!frames.empty())
        frames.pop_back();
    QZTRACE(m_level, "CqzDeep", "none");

    const std::vector<std::string> lines = FileLines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("...>f4>f5>f6>f7>f8>f9>f10>f11>f12>f13>f14>f15>f16>f17>f18>f19|f19|twenty", lines[0]);
    EXPECT_EQ("...>f48>f49>f50>f51>f52>f53>f54>f55>f56>f57>f58>f59>f60>f61>f62>f63>...|...|hundred", lines[1]);
    EXPECT_EQ("||none", lines[2]);
}

TEST_F(TraceStatement, ScopeEndingOutOfTurnLeavesTheOthers)
{
    D_C_Support_SetPrefix(".*", 1, m_level, "<%STACK>: ");
    std::unique_ptr<D_StackName_c> a(new D_StackName_c("A", "CqzOrder"));
    std::unique_ptr<D_StackName_c> b(new D_StackName_c("B", "CqzOrder"));
    std::unique_ptr<D_StackName_c> c(new D_StackName_c("C", "CqzOrder"));
    b.reset();
    QZTRACE(m_level, "CqzOrder", "without B");
    c.reset();
    a.reset();
    const std::vector<std::string> lines = FileLines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("A>C: without B", lines[0]);
}

TEST_F(TraceStatement, LevelsFollowTheRules)
{
    struct Check
    {
        const char* file;
        const char* className;
        int levelOffset;
        int expected;
    };
    struct Row
    {
        const char* name;
        void (*rules)(int level);
        std::vector<Check> checks;
    };
    const Row rows[] = {
        {"class rule",
         [](int l) { D_Support_c::SetDoPrintFor(1, "CqzAlpha", l, 1); },
         {{"C:\\src\\a.cpp", "CqzAlpha", 0, 1}, {"C:\\src\\a.cpp", "CqzBeta", 0, 0}, {"a.cpp", nullptr, 0, 0}}},
        {"null class is the empty name",
         [](int l) { D_Support_c::SetDoPrintFor(1, "", l, 1); },
         {{"a.cpp", nullptr, 0, 1}, {"a.cpp", "", 0, 1}, {"a.cpp", "CqzAlpha", 0, 0}}},
        {"file rule on the base name, any case",
         [](int l) { D_Support_c::SetDoPrintFor(0, "util\\.cpp", l, 1); },
         {{"C:\\src\\common\\util.cpp", "CqzX", 0, 1},
          {"/work/common/util.cpp", nullptr, 0, 1},
          {"C:\\src\\UTIL.CPP", "CqzX", 0, 1},
          {"C:\\src\\util.cpp.bak", "CqzX", 0, 0},
          {"C:\\util.cpp\\other.cpp", "CqzX", 0, 0}}},
        {"later rule overrides earlier",
         [](int l)
         {
             D_Support_c::SetDoPrintFor(1, ".*", l, 1);
             D_Support_c::SetDoPrintFor(1, "CqzAlpha", l, 0);
         },
         {{"a.cpp", "CqzAlpha", 0, 0}, {"a.cpp", "CqzBeta", 0, 1}}},
        {"switched on again",
         [](int l)
         {
             D_Support_c::SetDoPrintFor(1, ".*", l, 0);
             D_Support_c::SetDoPrintFor(1, "Cqz.*Token", l, 1);
             D_Support_c::SetDoPrintFor(1, "CqzAccessToken", l, 0);
             D_Support_c::SetDoPrintFor(1, "CqzAccessToken", l, 1);
         },
         {{"a.cpp", "CqzAccessToken", 0, 1}, {"a.cpp", "CqzToken", 0, 1}, {"a.cpp", "CqzAccessTokens", 0, 0}}},
        {"class rule for every level",
         [](int) { D_Support_c::SetDoPrintFor(1, "CqzEveryLevelRow", -1, 1); },
         {{"a.cpp", "CqzEveryLevelRow", 0, 1}, {"a.cpp", "CqzEveryLevelRow", 1, 1}, {"a.cpp", "CqzOther", 0, 0}}},
        {"a level never switched on is off", [](int) {}, {{"a.cpp", "CqzAlpha", 0, 0}, {"a.cpp", nullptr, 0, 0}}},
        {"an off rule alone is off",
         [](int l) { D_Support_c::SetDoPrintFor(1, ".*", l, 0); },
         {{"a.cpp", "CqzAlpha", 0, 0}}},
        {"levels above the quick table",
         [](int l) { D_Support_c::SetDoPrintFor(1, "CqzHigh", 100000 + l, 1); },
         {{"a.cpp", "CqzHigh", 100000, 1}, {"a.cpp", "CqzHigh", 100001, 0}, {"a.cpp", "CqzLow", 100000, 0}}},
        {"bad scope and pattern are ignored",
         [](int l)
         {
             D_Support_c::SetDoPrintFor(7, ".*", l, 1);
             D_Support_c::SetDoPrintFor(1, nullptr, l, 1);
         },
         {{"a.cpp", "CqzAlpha", 0, 0}}},
    };
    for (const Row& row : rows)
    {
        const int level = FreshLevel();
        FreshLevel(); // room for levelOffset 1
        row.rules(level);
        for (size_t i = 0; i < row.checks.size(); ++i)
        {
            const Check& c = row.checks[i];
            const unsigned l = static_cast<unsigned>(level + c.levelOffset);
            // Twice: the second answer comes from the thread's cache.
            EXPECT_EQ(c.expected, D_Support_c::DoPrintFor(c.file, c.className, l))
                << row.name << ", check " << i << ": " << c.file << " / " << (c.className ? c.className : "(null)");
            EXPECT_EQ(c.expected, D_Support_c::DoPrintFor(c.file, c.className, l)) << row.name << ", check " << i;
        }
    }
}

TEST_F(TraceStatement, DisabledStatementDoesNotEvaluateItsPieces)
{
    int evaluated = 0;
    auto piece = [&evaluated]
    {
        ++evaluated;
        return "piece";
    };
    const int off = FreshLevel();
    QZTRACE(off, "CqzCounter", "off " << piece());
    EXPECT_EQ(0, evaluated);
    D_Support_c::SetDoPrintFor(1, "CqzOtherClass", off, 1);
    QZTRACE(off, "CqzCounter", "other class on " << piece());
    EXPECT_EQ(0, evaluated);
    QZTRACE(m_level, "CqzCounter", "on " << piece());
    EXPECT_EQ(1, evaluated);
    D_C_Support_SetD_File("", 0, 1); // no file: nothing would be written
    QZTRACE(m_level, "CqzCounter", "no file " << piece());
    EXPECT_EQ(1, evaluated);
    const std::vector<std::string> lines = FileLines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("on piece", lines[0]);
}

TEST_F(TraceStatement, LastErrorSurvivesEveryCall)
{
    const int off = FreshLevel();
    const int level = m_level;
    const std::wstring missingConfig = m_dir.Wide(L"missing.cfg");
    struct Row
    {
        const char* name;
        std::function<void()> call;
    };
    const Row rows[] = {
        {"enabled statement", [&] { QZTRACE(level, "CqzError", "enabled " << 1L << L"\u00e9"); }},
        {"disabled statement", [&] { QZTRACE(off, "CqzError", "disabled"); }},
        {"Enter", [] { D_Support_c::Enter(); }},
        {"DoPrintFor on", [&] { D_Support_c::DoPrintFor(__FILE__, "CqzError", static_cast<unsigned>(level)); }},
        {"DoPrintFor off", [&] { D_Support_c::DoPrintFor(__FILE__, "CqzError", static_cast<unsigned>(off)); }},
        {"Prefix", [&] { D_Support_c::Prefix(__FILE__, 1, "CqzError", level); }},
        {"D_Stream", [] { D_Support_c::D_Stream(); }},
        {"wide insertion", [] { D_Support_c::D_Stream() << L"w\u4e2d"; }},
        {"null wide insertion", [] { D_Support_c::D_Stream() << static_cast<const wchar_t*>(nullptr) << "\n"; }},
        {"Leave", [] { D_Support_c::Leave(); }},
        {"stack name", [] { D_StackName_c s("F", "CqzError"); }},
        {"level name", [] { D_LevelName_c n("QZT_ERROR_TEST", 99999); }},
        {"SetDoPrintFor", [&] { D_Support_c::SetDoPrintFor(1, "CqzErrorX", off, 1); }},
        {"SetPrefix", [&] { D_C_Support_SetPrefix(".*", 1, off, "<%PID>"); }},
        {"SetRotation", [] { D_C_Support_SetRotation(0, 0, 0); }},
        {"SetRefreshInterval", [] { D_C_Support_SetRefreshInterval(30, 0); }},
        {"SetConfigFile missing", [&] { D_C_Support_SetConfigFile(missingConfig.c_str()); }},
        {"GetConfigFile", [] { D_C_Support_GetConfigFile(); }},
        {"SetConfigFile none", [] { D_C_Support_SetConfigFile(nullptr); }},
        {"SetD_File unopenable", [&] { D_C_Support_SetD_File((m_dir.Utf8(L"a") + "\\<bad>|name.log").c_str(), 0, 1); }},
        {"SetD_File again", [&] { D_C_Support_SetD_File(ToUtf8(m_path).c_str(), 0, 1); }},
    };
    for (const Row& row : rows)
    {
        ::SetLastError(0xDEADBEEF);
        row.call();
        EXPECT_EQ(0xDEADBEEFu, ::GetLastError()) << row.name;
    }
    // Inside a statement the pieces see the caller's value.
    ::SetLastError(5);
    QZTRACE(m_level, "CqzError", "LastError=" << ::GetLastError());
    EXPECT_EQ(5u, ::GetLastError());
    const std::vector<std::string> lines = FileLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("LastError=5", lines.back());
}

TEST_F(TraceStatement, NestedStatementGivesTwoWholeLines)
{
    D_C_Support_SetPrefix(".*", 1, m_level, "[<%CLASS>:<%FUNC>] ");
    {
        QZ_STACK_NAME("Outer", "CqzNested");
        QZTRACE(m_level, "CqzNested", "outer start " << Inner(m_level) << " outer end");
    }
    const std::vector<std::string> lines = FileLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("[CqzNested:Inner] inner line", lines[0]);
    EXPECT_EQ("[CqzNested:Outer] outer start value outer end", lines[1]);
}

TEST_F(TraceStatement, FlushInsideAStatementWritesNothing)
{
    QZTRACE(m_level, "CqzFlush", "first");
    const long long before = FileSize(m_path);
    long long during = -1;
    auto probe = [&]
    {
        during = FileSize(m_path);
        return "";
    };
    QZTRACE(m_level, "CqzFlush", "part one" << std::flush << probe() << " part two");
    EXPECT_EQ(before, during);
    const std::vector<std::string> lines = FileLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("part one part two", lines[1]);
}

TEST_F(TraceStatement, TextOutsideStatementsGoesOutWholeAtFlush)
{
    std::ostream& os = D_Support_c::D_Stream();
    os << "free line\n"
       << "partial";
    os.flush();
    EXPECT_EQ("free line\n", ReadAll(m_path));
    QZTRACE(m_level, "CqzFree", "statement");
    EXPECT_EQ("free line\nstatement\n", ReadAll(m_path));
    os << " end\n";
    os.flush();
    EXPECT_EQ("free line\nstatement\npartial end\n", ReadAll(m_path));
}

TEST_F(TraceStatement, WideTextIsWrittenAsUtf8)
{
    struct Row
    {
        const char* name;
        std::wstring text;
        std::string expected;
    };
    const Row rows[] = {
        {"latin and cjk", L"\u00e9\u4e2d", "\xC3\xA9\xE4\xB8\xAD"},
        {"surrogate pair", L"<\U0001F600>", "<\xF0\x9F\x98\x80>"},
        {"unpaired high surrogate", std::wstring(L"a") + wchar_t(0xD800) + L"z", "a\xEF\xBF\xBDz"},
        {"unpaired low surrogate", std::wstring(1, wchar_t(0xDC00)) + L"z", "\xEF\xBF\xBDz"},
        {"high surrogate at the end", std::wstring(L"z") + wchar_t(0xDBFF), "z\xEF\xBF\xBD"},
        {"empty", L"", ""},
        {"long", std::wstring(3000, L'\u00e9'),
         []
         {
             std::string s;
             for (int i = 0; i < 3000; ++i)
                 s += "\xC3\xA9";
             return s;
         }()},
    };
    for (const Row& row : rows)
    {
        QZTRACE(m_level, "CqzWide", "[" << row.text.c_str() << "][" << row.text << "]");
    }
    QZTRACE(m_level, "CqzWide", "[" << static_cast<const wchar_t*>(nullptr) << "]");
    const std::vector<std::string> lines = FileLines();
    ASSERT_EQ(std::size(rows) + 1, lines.size());
    for (size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ("[" + rows[i].expected + "][" + rows[i].expected + "]", lines[i]) << rows[i].name;
    EXPECT_EQ("[(null)]", lines.back());
}

TEST_F(TraceStatement, StreamFormatDoesNotLeakIntoTheNextStatement)
{
    QZTRACE(m_level, "CqzFormat", std::hex << std::uppercase << 255 << " " << std::setw(0) << 1.5);
    QZTRACE(m_level, "CqzFormat", 255 << " " << 1.5);
    const std::vector<std::string> lines = FileLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("FF 1.5", lines[0]);
    EXPECT_EQ("255 1.5", lines[1]);
}

TEST_F(TraceStatement, OverlongLineIsCutAndMarked)
{
    const std::string huge(3 * 1024 * 1024, 'a');
    QZTRACE(m_level, "CqzLong", huge);
    QZTRACE(m_level, "CqzLong", "after");
    const std::vector<std::string> lines = FileLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(std::string(1024 * 1024, 'a') + "...", lines[0]);
    EXPECT_EQ("after", lines[1]);
}

TEST_F(TraceStatement, AnotherModuleWritesNumbersAndWideTextThroughTheStream)
{
    // The peer's static initialiser traced before main.
    EXPECT_EQ(1, PeerStaticStatements());

    D_Support_c::Enter();
    std::ostream& os = D_Support_c::D_Stream();
    // A facet missing in the other module would throw instead of failing quietly.
    os.exceptions(std::ios_base::badbit);
    const int inserted = PeerInsert(os);
    os.exceptions(std::ios_base::goodbit);
    os << "\n";
    D_Support_c::Leave();
    EXPECT_EQ(kPeerOk, inserted);
    EXPECT_EQ(kPeerOk, PeerTrace(m_level));

    const std::vector<std::string> lines = FileLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(TRACE_PEER_EXPECTED, lines[0]);
    EXPECT_EQ(TRACE_PEER_EXPECTED, lines[1]);
}

TEST_F(TraceStatement, ThreadStateIsFreedWhenTheThreadEnds)
{
    // Committed private memory, from the address space itself (Wine does not
    // keep the process memory counters).
    auto privateBytes = []
    {
        long long total = 0;
        MEMORY_BASIC_INFORMATION mbi;
        for (const char* p = nullptr; ::VirtualQuery(p, &mbi, sizeof mbi) == sizeof mbi;)
        {
            if (mbi.State == MEM_COMMIT && mbi.Type == MEM_PRIVATE)
                total += static_cast<long long>(mbi.RegionSize);
            const char* next = static_cast<const char*>(mbi.BaseAddress) + mbi.RegionSize;
            if (next <= p)
                break;
            p = next;
        }
        return total;
    };
    auto run = [this](int threads)
    {
        for (int i = 0; i < threads; ++i)
        {
            std::thread t(
                [this]
                {
                    QZ_STACK_NAME("Short", "CqzThreadExit");
                    QZTRACE(m_level, "CqzThreadExit",
                            "line of a short thread with a longer text " << std::string(2000, 'x'));
                });
            t.join();
        }
    };
    run(50); // the heap settles
    const long long before = privateBytes();
    run(1000);
    const long long grown = privateBytes() - before;
    // Every thread's state holds more than 8 KiB once it has written a line of
    // this length: kept states would add 8 MB and more.
    EXPECT_LT(grown, 3 * 1024 * 1024) << grown;
    EXPECT_EQ(1050u, FileLines().size());
}
