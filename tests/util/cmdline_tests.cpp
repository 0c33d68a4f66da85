// CqzCmdLine: the split, argument access by index, numbers and GUIDs in
// arguments, program-name matching, the text after the program name, switches
// and their values, and comparison of two lines.
#include "common/util/util.h"

#include "testing/harness/harness.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

namespace
{

using qztest::ToUtf8;

static_assert(std::has_virtual_destructor<CqzCmdLine>::value, "deleted through base pointers");
static_assert(!std::is_copy_constructible<CqzCmdLine>::value, "owns the argument block");
static_assert(!std::is_copy_assignable<CqzCmdLine>::value, "owns the argument block");

std::string OutOfRange(int index, int count)
{
    return "ERROR: Arg index " + std::to_string(index) + " is out of range. Total arguments: " + std::to_string(count);
}

TEST(CmdLineSplit, EmptyLineHasNoArguments)
{
    const wchar_t* const lines[] = {L"", nullptr};
    for (const wchar_t* text : lines)
    {
        qztest::TraceCapture capture;
        CqzCmdLine line(text);
        EXPECT_EQ(0, line.m_argc);
        EXPECT_EQ(nullptr, line.m_argv);
        EXPECT_TRUE(line.m_cmdLine.empty());
        EXPECT_TRUE(capture.Lines().empty()) << "constructing an empty line traces nothing";

        EXPECT_EQ(nullptr, line.GetArg(0));
        EXPECT_EQ((std::vector<std::string>{OutOfRange(0, 0)}), capture.Lines());
    }
}

TEST(CmdLineSplit, SplitsLikeThePlatformAndKeepsTheRawLine)
{
    const std::wstring raw = L"\"C:\\Program Files\\Qz\\prog.exe\"  /a \"b c\" d\\\"e";
    CqzCmdLine line(raw.c_str());
    EXPECT_EQ(raw, line.m_cmdLine);
    ASSERT_EQ(4, line.m_argc);
    ASSERT_NE(nullptr, line.m_argv);
    EXPECT_STREQ(L"C:\\Program Files\\Qz\\prog.exe", line.GetArg(0));
    EXPECT_STREQ(L"/a", line.GetArg(1));
    EXPECT_STREQ(L"b c", line.GetArg(2));
    EXPECT_STREQ(L"d\"e", line.GetArg(3));
    // GetArg hands out the object's own texts.
    EXPECT_EQ(line.m_argv[2], line.GetArg(2));
}

TEST(CmdLineSplit, IndexOutOfRangeIsTracedAndNull)
{
    CqzCmdLine line(L"prog.exe one two");
    qztest::TraceCapture capture;
    EXPECT_EQ(nullptr, line.GetArg(-1));
    EXPECT_EQ(nullptr, line.GetArg(3));
    EXPECT_EQ(nullptr, line.GetArg(0x7FFFFFFF));
    EXPECT_EQ((std::vector<std::string>{OutOfRange(-1, 3), OutOfRange(3, 3), OutOfRange(0x7FFFFFFF, 3)}),
              capture.Lines());
}

// ---------------------------------------------------------------------------
// Numbers and GUIDs

TEST(CmdLineNumbers, ULong)
{
    const struct
    {
        const wchar_t* text;
        int radix;
        bool ok;
        ULONG value;
    } rows[] = {
        {L"0x10", 16, true, 16},
        {L"10", 16, true, 16},
        {L"4294967295", 10, false, 4294967295u}, // all ones: refused
        {L"0xFFFFFFFF", 16, false, 0xFFFFFFFFu},
        {L"4294967294", 10, true, 4294967294u},
        {L"99999999999", 10, false, 0xFFFFFFFFu}, // overflow answers all ones
        {L"12abc", 10, true, 12},
        {L"abc", 10, false, 0},
        {L"0", 10, true, 0},
        {L"010", 0, true, 8},
        {L"0x1F", 0, true, 31},
        {L"z", 36, true, 35},
        {L"-1", 10, false, 0xFFFFFFFFu},
        {L"  7", 10, true, 7},
        {L"7", 1, false, 0}, // no such radix: nothing converted
    };
    for (const auto& row : rows)
    {
        const std::wstring raw = L"prog.exe " + qztest::QuoteArg(row.text);
        CqzCmdLine line(raw.c_str());
        ASSERT_EQ(2, line.m_argc) << ToUtf8(raw);
        ULONG value = 0xDEADBEEF;
        EXPECT_EQ(row.ok, line.GetArgAsULong(1, value, row.radix)) << ToUtf8(row.text) << " radix " << row.radix;
        EXPECT_EQ(row.value, value) << ToUtf8(row.text) << " radix " << row.radix;
    }
}

TEST(CmdLineNumbers, ULongLong)
{
    const struct
    {
        const wchar_t* text;
        int radix;
        bool ok;
        ULONGLONG value;
    } rows[] = {
        {L"0x10", 16, true, 16},
        {L"4294967296", 10, true, 4294967296ull},
        {L"4294967295", 10, true, 4294967295ull},
        {L"18446744073709551615", 10, false, ~0ull},
        {L"0xFFFFFFFFFFFFFFFF", 16, false, ~0ull},
        {L"18446744073709551614", 10, true, ~0ull - 1},
        {L"12abc", 10, true, 12},
        {L"xyz", 10, false, 0},
        {L"7", 37, false, 0}, // no such radix: nothing converted
    };
    for (const auto& row : rows)
    {
        const std::wstring raw = L"prog.exe " + qztest::QuoteArg(row.text);
        CqzCmdLine line(raw.c_str());
        ULONGLONG value = 0xDEADBEEFDEADBEEFull;
        EXPECT_EQ(row.ok, line.GetArgAsULongLong(1, value, row.radix)) << ToUtf8(row.text);
        EXPECT_EQ(row.value, value) << ToUtf8(row.text);
    }
}

TEST(CmdLineNumbers, MissingOrEmptyArgumentIsRefusedAndOutUntouched)
{
    CqzCmdLine line(L"prog.exe \"\"");
    ASSERT_EQ(2, line.m_argc);
    qztest::TraceCapture capture;
    ULONG value = 0xDEADBEEF;
    ULONGLONG value64 = 0xDEADBEEFull;
    EXPECT_FALSE(line.GetArgAsULong(1, value, 10));
    EXPECT_FALSE(line.GetArgAsULongLong(1, value64, 10));
    EXPECT_TRUE(capture.Lines().empty());
    EXPECT_FALSE(line.GetArgAsULong(2, value, 10));
    EXPECT_FALSE(line.GetArgAsULongLong(5, value64, 10));
    EXPECT_EQ(0xDEADBEEFu, value);
    EXPECT_EQ(0xDEADBEEFull, value64);
    EXPECT_EQ((std::vector<std::string>{OutOfRange(2, 2), OutOfRange(5, 2)}), capture.Lines());
}

TEST(CmdLineGuid, BraceFormOnly)
{
    const GUID expected = {0x6B29FC40, 0xCA47, 0x1067, {0xB3, 0x1D, 0x00, 0xDD, 0x01, 0x06, 0x62, 0xDA}};
    const struct
    {
        const wchar_t* text;
        bool ok;
    } rows[] = {
        {L"{6B29FC40-CA47-1067-B31D-00DD010662DA}", true},
        {L"{6b29fc40-ca47-1067-b31d-00dd010662da}", true},
        {L"6B29FC40-CA47-1067-B31D-00DD010662DA", false},
        {L"{6B29FC40-CA47-1067-B31D-00DD010662D}", false},
        {L"{not-a-guid}", false},
        {L"", false},
    };
    for (const auto& row : rows)
    {
        const std::wstring raw = L"prog.exe " + qztest::QuoteArg(row.text);
        CqzCmdLine line(raw.c_str());
        GUID guid = {};
        EXPECT_EQ(row.ok, line.GetArgAsGuid(1, guid)) << ToUtf8(row.text);
        if (row.ok)
        {
            EXPECT_TRUE(::IsEqualGUID(expected, guid)) << ToUtf8(row.text);
        }
    }
    CqzCmdLine line(L"prog.exe");
    qztest::TraceCapture capture;
    GUID guid = {};
    EXPECT_FALSE(line.GetArgAsGuid(1, guid));
    EXPECT_EQ((std::vector<std::string>{OutOfRange(1, 1)}), capture.Lines());
}

// ---------------------------------------------------------------------------
// Program names and the text after them

TEST(CmdLineProgName, ExtensionMayBeMissingOnlyFromTheFirst)
{
    const struct
    {
        const wchar_t* a;
        const wchar_t* b;
        bool same;
    } rows[] = {
        {L"prog", L"C:\\dir\\prog.exe", true},
        {L"prog.exe", L"prog", false},
        {L"C:\\dir\\prog.exe", L"prog", false},
        {L"prog", L"PROG.EXE", true},
        {L"PROG.EXE", L"c:\\x\\prog.exe", true},
        {L"C:\\a\\prog.exe", L"D:\\b\\prog.exe", true},
        {L"prog", L"prog.dll", true},
        {L"prog.exe", L"prog.com", false},
        {L"prog", L"prog.ex", false},
        {L"prog", L"prog.exe1", false},
        {L"prog", L"progxexe", false},
        {L"prog", L"prig.exe", false},
        {L"prog", L"prog", true},
        {L"", L"prog", false},
        {L"prog", L"", false},
        {nullptr, L"prog", false},
        {L"prog", nullptr, false},
        {nullptr, nullptr, false},
    };
    for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); ++i)
    {
        EXPECT_EQ(rows[i].same, CqzCmdLine::IsSameProgName(rows[i].a, rows[i].b))
            << "row " << i << ": " << (rows[i].a ? ToUtf8(rows[i].a) : "<null>") << " / "
            << (rows[i].b ? ToUtf8(rows[i].b) : "<null>");
    }
}

TEST(CmdLineProgName, ArgIsProgNameUsesArgumentZeroAsTheFirst)
{
    CqzCmdLine bare(L"prog /x");
    EXPECT_TRUE(bare.ArgIsProgName(L"C:\\Program Files\\Qz\\prog.exe"));
    CqzCmdLine full(L"\"C:\\Program Files\\Qz\\prog.exe\" /x");
    EXPECT_FALSE(full.ArgIsProgName(L"prog"));
    EXPECT_TRUE(full.ArgIsProgName(L"PROG.EXE"));

    qztest::TraceCapture capture;
    CqzCmdLine empty(L"");
    EXPECT_FALSE(empty.ArgIsProgName(L"prog.exe"));
    EXPECT_TRUE(capture.Lines().empty()) << "the count is tested before argument 0 is used";
}

TEST(CmdLineArguments, TextAfterTheProgramName)
{
    const struct
    {
        const wchar_t* raw;
        const wchar_t* progName;
        const wchar_t* expected;
    } rows[] = {
        {L"\"C:\\Program Files\\Qz\\prog.exe\"  /switch operand", L"prog.exe", L"/switch operand"},
        {L"\"C:\\Program Files\\Qz\\prog.exe\"  /switch operand", L"D:\\elsewhere\\PROG.EXE", L"/switch operand"},
        {L"C:\\Qz\\prog.exe   /a b", L"prog.exe", L"/a b"},
        {L"prog.exe\t/a", L"prog.exe", L"/a"},
        {L"prog.exe /a  \"b c\"  ", L"prog.exe", L"/a  \"b c\"  "},
        {L"\"prog.exe\"\t \t\"quoted operand\"", L"prog.exe", L"\"quoted operand\""},
        {L"prog /a", L"prog.exe", L"/a"},
        // Argument 0 does not name the program: the whole raw line.
        {L"prog.exe /a", L"other.exe", L"prog.exe /a"},
        {L"prog.exe /a", L"prog", L"prog.exe /a"},
        // Only the program.
        {L"\"C:\\Qz\\prog.exe\"", L"prog.exe", L""},
        {L"prog.exe", L"prog.exe", L""},
        {L"", L"prog.exe", L""},
    };
    for (const auto& row : rows)
    {
        qztest::TraceCapture capture;
        CqzCmdLine line(row.raw);
        std::wstring member = L"prefilled";
        line.FindArguments(row.progName, member);
        EXPECT_EQ(row.expected, member) << ToUtf8(row.raw) << " / " << ToUtf8(row.progName);

        std::wstring fromStatic = L"prefilled";
        CqzCmdLine::FindArguments(row.raw, row.progName, fromStatic);
        EXPECT_EQ(row.expected, fromStatic) << ToUtf8(row.raw) << " / " << ToUtf8(row.progName);
        EXPECT_TRUE(capture.Lines().empty()) << ToUtf8(row.raw);
    }
}

TEST(CmdLineArguments, LaunchersOwnCommandLine)
{
    // The shape of line the agent starts the launcher with.
    const std::wstring exe = qztest::ModulePath();
    const std::wstring raw = qztest::QuoteArg(exe) + L"  /explore \"C:\\Users\\Public\\Documents\"";
    std::wstring arguments;
    CqzCmdLine::FindArguments(raw.c_str(), exe.c_str(), arguments);
    EXPECT_EQ(L"/explore \"C:\\Users\\Public\\Documents\"", arguments);
}

// ---------------------------------------------------------------------------
// Switches

TEST(CmdLineSwitch, FindSwitch)
{
    CqzCmdLine line(L"prog.exe -Alpha /alpha beta /beta -s /s");
    const struct
    {
        const wchar_t* name;
        bool ignoreCase;
        bool withPrefix;
        int expected;
    } rows[] = {
        {L"alpha", false, true, 2},     {L"alpha", true, true, 1},     {L"Alpha", false, true, 1},
        {L"ALPHA", false, true, -1},    {L"beta", false, false, 3},    {L"beta", false, true, 4},
        {L"/beta", false, false, 4},    {L"s", false, true, 5}, // the lowest index wins, dash form or not
        {L"prog.exe", false, false, 0}, {L"PROG.EXE", true, false, 0}, {L"gamma", true, true, -1},
        {L"", true, true, -1},          {nullptr, true, true, -1},
    };
    for (const auto& row : rows)
    {
        EXPECT_EQ(row.expected, line.FindSwitch(row.name, row.ignoreCase, row.withPrefix))
            << (row.name ? ToUtf8(row.name) : "<null>") << " ignoreCase=" << row.ignoreCase
            << " withPrefix=" << row.withPrefix;
    }
}

TEST(CmdLineSwitch, ArgumentZeroIsLookedAtToo)
{
    CqzCmdLine slash(L"/x -x");
    EXPECT_EQ(0, slash.FindSwitch(L"x", false, true));
    CqzCmdLine dash(L"-x /x");
    EXPECT_EQ(0, dash.FindSwitch(L"x", false, true));
    CqzCmdLine empty(L"");
    EXPECT_EQ(-1, empty.FindSwitch(L"x", true, true));
}

TEST(CmdLineSwitch, Values)
{
    CqzCmdLine line(L"prog.exe /t 0x20 -n 42 /big 4294967296 /ones 4294967295 /e \"\" /last");
    std::wstring value = L"untouched";
    EXPECT_TRUE(line.GetSwitchValue(L"t", false, true, value));
    EXPECT_EQ(L"0x20", value);
    EXPECT_TRUE(line.GetSwitchValue(L"N", true, true, value));
    EXPECT_EQ(L"42", value);
    EXPECT_TRUE(line.GetSwitchValue(L"/t", false, false, value));
    EXPECT_EQ(L"0x20", value);

    value = L"untouched";
    EXPECT_FALSE(line.GetSwitchValue(L"last", false, true, value)) << "a switch at the end has no value";
    EXPECT_FALSE(line.GetSwitchValue(L"missing", false, true, value));
    EXPECT_FALSE(line.GetSwitchValue(L"N", false, true, value)) << "case matters without ignoreCase";
    EXPECT_EQ(L"untouched", value);
    EXPECT_TRUE(line.GetSwitchValue(L"e", false, true, value));
    EXPECT_EQ(L"", value);

    ULONG number = 0;
    EXPECT_TRUE(line.GetSwitchValueAsULong(L"t", false, true, number, 16));
    EXPECT_EQ(0x20u, number);
    EXPECT_TRUE(line.GetSwitchValueAsULong(L"n", false, true, number, 10));
    EXPECT_EQ(42u, number);
    EXPECT_FALSE(line.GetSwitchValueAsULong(L"ones", false, true, number, 10));
    EXPECT_FALSE(line.GetSwitchValueAsULong(L"big", false, true, number, 10));
    number = 7;
    EXPECT_FALSE(line.GetSwitchValueAsULong(L"e", false, true, number, 10));
    EXPECT_FALSE(line.GetSwitchValueAsULong(L"last", false, true, number, 10));
    EXPECT_EQ(7u, number);

    ULONGLONG number64 = 0;
    EXPECT_TRUE(line.GetSwitchValueAsULongLong(L"big", false, true, number64, 10));
    EXPECT_EQ(4294967296ull, number64);
    EXPECT_TRUE(line.GetSwitchValueAsULongLong(L"ones", false, true, number64, 10));
    EXPECT_EQ(4294967295ull, number64);
    EXPECT_TRUE(line.GetSwitchValueAsULongLong(L"t", false, true, number64, 16));
    EXPECT_EQ(0x20ull, number64);
    number64 = 7;
    EXPECT_FALSE(line.GetSwitchValueAsULongLong(L"e", false, true, number64, 10));
    EXPECT_FALSE(line.GetSwitchValueAsULongLong(L"missing", false, true, number64, 10));
    EXPECT_EQ(7ull, number64);
}

// ---------------------------------------------------------------------------
// Comparison

TEST(CmdLineEqual, ArgumentByArgument)
{
    const struct
    {
        const wchar_t* a;
        const wchar_t* b;
        bool exact;
        bool ignoringCase;
    } rows[] = {
        {L"prog.exe /a b", L"prog.exe /a b", true, true},
        {L"prog.exe /a b", L"PROG.exe /A b", false, true},
        {L"\"prog.exe\"  /a   \"b\"", L"prog.exe /a b", true, true},
        {L"prog.exe /a b", L"prog.exe /a", false, false},
        {L"prog.exe /a b", L"prog.exe /a c", false, false},
        {L"", L"", true, true},
        {L"", L"prog.exe", false, false},
        {nullptr, L"", true, true},
    };
    for (const auto& row : rows)
    {
        CqzCmdLine a(row.a);
        CqzCmdLine b(row.b);
        const std::string name = (row.a ? ToUtf8(row.a) : "<null>") + " | " + ToUtf8(row.b);
        EXPECT_EQ(row.exact, a.IsEqual(b, false)) << name;
        EXPECT_EQ(row.exact, b.IsEqual(a, false)) << name;
        EXPECT_EQ(row.ignoringCase, a.IsEqual(b, true)) << name;
        EXPECT_TRUE(a.IsEqual(a, false)) << name;
    }
}

} // namespace
