// The library's parts that need no process state: the pattern matcher, the
// configuration parser, prefix templates and the UTF-8 encoder.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "trace/qztrace/config_parse.h"
#include "trace/qztrace/pattern.h"
#include "trace/qztrace/prefix_template.h"
#include "trace/qztrace/utf.h"

using namespace qztrace;

TEST(TracePattern, MatchesWholeNames)
{
    const struct
    {
        const char* pattern;
        const char* name;
        bool ignoreCase;
        bool expected;
    } rows[] = {
        {".*", "", false, true},
        {".*", "anything at all", false, true},
        {"CqzSid", "CqzSid", false, true},
        {"CqzSid", "CqzSids", false, false},
        {"CqzSid", "XCqzSid", false, false},
        {"CqzSid", "cqzsid", false, false},
        {"CqzSid", "cqzsid", true, true},
        {"Cqz.*", "Cqz", false, true},
        {"Cqz.*", "CqzAccessToken", false, true},
        {"Cqz.*", "SqzSids", false, false},
        {"Cqz...", "CqzSid", false, true},
        {"Cqz...", "CqzSids", false, false},
        {"a*b", "b", false, true},
        {"a*b", "aaab", false, true},
        {"a*b", "aaac", false, false},
        {"util\\.cpp", "util.cpp", false, true},
        {"util\\.cpp", "utilXcpp", false, false},
        {"util.cpp", "utilXcpp", false, true},
        {"\\*", "*", false, true},
        {"\\*", "a", false, false},
        {"*x", "*x", false, true},
        {"a**", "aaaa", false, true},
        {"a\\", "a\\", false, true},
        {"", "", false, true},
        {"", "a", false, false},
        {".*_.*_.*", "a_b_c", false, true},
        {".*_.*_.*", "a_bc", false, false},
        {"Cqz.*Token", "CqzAccessToken", false, true},
        {"Cqz.*Token", "CqzAccessTokens", false, false},
    };
    for (const auto& r : rows)
    {
        Pattern p;
        ASSERT_TRUE(p.Compile(r.pattern, r.ignoreCase)) << r.pattern;
        EXPECT_EQ(r.expected, p.Matches(r.name)) << "\"" << r.pattern << "\" vs \"" << r.name << "\"";
    }
}

TEST(TracePattern, RejectsNullAndOverlongPatterns)
{
    Pattern p;
    EXPECT_FALSE(p.Compile(nullptr, false));
    EXPECT_FALSE(p.Matches("x"));
    EXPECT_FALSE(p.Compile(std::string(Pattern::kMaxText + 1, 'a').c_str(), false));
    EXPECT_FALSE(p.Matches("a"));
    EXPECT_TRUE(p.Compile(std::string(Pattern::kMaxText, 'a').c_str(), false));
    EXPECT_TRUE(p.Matches(std::string(Pattern::kMaxText, 'a').c_str()));
}

TEST(TracePattern, NoBlowUpOnPathologicalInput)
{
    // A backtracking matcher takes exponential time on this; the position-set
    // matcher takes name length times pattern length.
    std::string pattern;
    for (int i = 0; i < 30; ++i)
        pattern += "a*";
    pattern += "b";
    const std::string name(100000, 'a');
    Pattern p;
    ASSERT_TRUE(p.Compile(pattern.c_str(), false));
    EXPECT_FALSE(p.Matches(name.c_str()));
    EXPECT_TRUE(p.Matches((name + "b").c_str()));
}

namespace
{
bool ResolveTestLevel(const std::string& name, int* level)
{
    if (name != "MY_LEVEL")
        return false;
    *level = 4242;
    return true;
}
} // namespace

TEST(TraceConfigParse, ReadsEveryKey)
{
    const std::string text = "\xEF\xBB\xBF"
                             "# comment\n"
                             "  \t\n"
                             "file = C:\\agent\\trace\\x.trace  \n"
                             "append = off\n"
                             "rotation = 20 1000000\n"
                             "refresh = 5\n"
                             "level class .* QZT_INFO on\n"
                             "level = file util\\.cpp 400 off\n"
                             "LEVEL 1 Cqz.* * yes\n"
                             "level class X MY_LEVEL 1\n"
                             "prefix class .* * <%YEAR> <%CLASS>::<%STACK>:\n"
                             "prefix 1 .* 3838 \"\"\n"
                             "prefix class Q 300 \"  spaced \\\"quoted\\\" \\\\ \"\n";
    ConfigSettings s;
    ParseConfig(text.data(), text.size(), &ResolveTestLevel, &s);
    EXPECT_TRUE(s.diagnostics.empty()) << s.diagnostics[0].line << ": " << s.diagnostics[0].reason;
    EXPECT_TRUE(s.hasFile);
    EXPECT_EQ("C:\\agent\\trace\\x.trace", s.file);
    EXPECT_TRUE(s.hasAppend);
    EXPECT_FALSE(s.append);
    EXPECT_TRUE(s.hasRotation);
    EXPECT_EQ(20, s.rotationFiles);
    EXPECT_EQ(1000000, s.rotationBytes);
    EXPECT_TRUE(s.hasRefresh);
    EXPECT_EQ(5, s.refreshSeconds);
    ASSERT_EQ(4u, s.levels.size());
    EXPECT_EQ(1, s.levels[0].scope);
    EXPECT_EQ(".*", s.levels[0].pattern);
    EXPECT_EQ(300, s.levels[0].level);
    EXPECT_TRUE(s.levels[0].on);
    EXPECT_EQ(0, s.levels[1].scope);
    EXPECT_EQ("util\\.cpp", s.levels[1].pattern);
    EXPECT_EQ(400, s.levels[1].level);
    EXPECT_FALSE(s.levels[1].on);
    EXPECT_EQ(-1, s.levels[2].level);
    EXPECT_EQ(4242, s.levels[3].level);
    ASSERT_EQ(3u, s.prefixes.size());
    EXPECT_EQ(-1, s.prefixes[0].level);
    EXPECT_EQ("<%YEAR> <%CLASS>::<%STACK>:", s.prefixes[0].prefixTemplate);
    EXPECT_EQ(3838, s.prefixes[1].level);
    EXPECT_EQ("", s.prefixes[1].prefixTemplate);
    EXPECT_EQ("  spaced \"quoted\" \\ ", s.prefixes[2].prefixTemplate);
}

TEST(TraceConfigParse, BadLinesLeaveADiagnosticAndNothingElse)
{
    const struct
    {
        const char* line;
        const char* reason;
    } rows[] = {
        {"colour = blue", "unknown key \"colour\""},
        {"= 5", "no key at the start of the line"},
        {"file.name = x", "no key at the start of the line"},
        {"append = perhaps", "append needs on or off, found \"perhaps\""},
        {"rotation = 5", "rotation needs two numbers: files kept and bytes per file"},
        {"rotation = 5 6 7", "rotation needs two numbers: files kept and bytes per file"},
        {"rotation = 5 99999999999", "rotation numbers out of range: \"5\" \"99999999999\""},
        {"rotation = -1 100", "rotation numbers out of range: \"-1\" \"100\""},
        {"refresh =", "refresh needs one number of seconds"},
        {"refresh = 1 2", "refresh needs one number of seconds"},
        {"refresh = soon", "refresh needs a number of seconds, found \"soon\""},
        {"level class .*", "level needs a scope, a pattern and a level"},
        {"level galaxy .* 300 on", "unknown scope \"galaxy\" (file, class, 0 or 1)"},
        {"level class .* NOPE on", "unknown level \"NOPE\""},
        {"level class .* 300", "level needs on or off after the level"},
        {"level class .* 300 on extra", "text after on/off"},
        {"level class \"open 300 on", "unclosed quotation mark"},
        {"prefix class .*", "prefix needs a scope, a pattern and a level"},
        {"prefix class .* 300 \"a\" b", "text after the closing quotation mark"},
        {"file = \"unclosed", "unclosed quotation mark"},
    };
    for (const auto& r : rows)
    {
        ConfigSettings s;
        const std::string text = std::string("level class Keep 100 on\n") + r.line + "\n";
        ParseConfig(text.data(), text.size(), &ResolveTestLevel, &s);
        ASSERT_EQ(1u, s.diagnostics.size()) << r.line;
        EXPECT_EQ(2u, s.diagnostics[0].line) << r.line;
        EXPECT_EQ(r.reason, s.diagnostics[0].reason) << r.line;
        EXPECT_EQ(1u, s.levels.size()) << r.line;
        EXPECT_TRUE(s.prefixes.empty()) << r.line;
        EXPECT_FALSE(s.hasFile || s.hasAppend || s.hasRotation || s.hasRefresh) << r.line;
    }
}

TEST(TraceConfigParse, LimitsAreKept)
{
    std::string text;
    for (size_t i = 0; i < kMaxConfigRules + 5; ++i)
        text += "level class .* 100 on\n";
    text += "x" + std::string(kMaxConfigLine + 10, 'y') + "\n";
    text += std::string("level class\0 .* 100 on\n", 23);
    ConfigSettings s;
    ParseConfig(text.data(), text.size(), nullptr, &s);
    EXPECT_EQ(kMaxConfigRules, s.levels.size());
    ASSERT_EQ(7u, s.diagnostics.size());
    EXPECT_EQ("too many level rules", s.diagnostics[0].reason);
    EXPECT_EQ("line longer than 4096 bytes", s.diagnostics[5].reason);
    EXPECT_EQ("NUL character in the line", s.diagnostics[6].reason);
}

TEST(TracePrefixTemplate, ExpandsFieldsWithFixedWidths)
{
    const StackFrame frames[] = {{nullptr, "Run", "CqzElevateModule"}, {nullptr, "_IsUserAdmin", "CqzElevateModule"}};
    PrefixContext c;
    c.year = 2024;
    c.month = 3;
    c.day = 7;
    c.hour = 4;
    c.minute = 5;
    c.second = 6;
    c.msec = 9;
    c.pid = 1234;
    c.tid = 56;
    c.className = "CqzElevateModule";
    c.file = "C:\\src\\Agent/engine\\qz_elevate.cpp";
    c.line = 77;
    c.levelName = "QZT_INFO";
    c.level = 300;
    c.frames = frames;
    c.storedFrames = 2;
    c.totalFrames = 2;
    const struct
    {
        const char* text;
        const char* expected;
    } rows[] = {
        {"<%YEAR>.<%MONTH>.<%DAY> <%HOUR>:<%MIN>:<%SEC> PID:<%PID> TID:<%TID> <%CLASS>::<%STACK>:",
         "2024.03.07 04:05:06 PID:1234 TID:56 CqzElevateModule::Run>_IsUserAdmin:"},
        {"<%SEC>.<%MSEC>", "06.009"},
        {"<%LEVEL>/<%FILE>:<%LINE> <%FUNC>", "QZT_INFO/qz_elevate.cpp:77 _IsUserAdmin"},
        {"<%UNKNOWN> <% <%YEAR <%>", "<%UNKNOWN> <% <%YEAR <%>"},
        {"<<%PID>>", "<1234>"},
        {"", ""},
    };
    for (const auto& r : rows)
    {
        PrefixTemplate t;
        t.Compile(r.text);
        char out[256];
        EXPECT_EQ(std::strlen(r.expected), t.Expand(c, out, sizeof out)) << r.text;
        EXPECT_STREQ(r.expected, out) << r.text;
    }
    c.levelName = nullptr;
    c.level = 3838;
    c.className = nullptr;
    c.storedFrames = c.totalFrames = 0;
    PrefixTemplate t;
    t.Compile("<%LEVEL>|<%CLASS>|<%STACK>|<%FUNC>|");
    char out[64];
    t.Expand(c, out, sizeof out);
    EXPECT_STREQ("3838||||", out);
    EXPECT_FALSE(t.NeedsTime());
    t.Compile("<%MSEC>");
    EXPECT_TRUE(t.NeedsTime());
}

TEST(TracePrefixTemplate, OutputIsCutAtTheBufferSize)
{
    PrefixContext c;
    const std::string longClass(500, 'C');
    c.className = longClass.c_str();
    PrefixTemplate t;
    t.Compile("<%CLASS><%CLASS>");
    char out[100];
    EXPECT_EQ(99u, t.Expand(c, out, sizeof out));
    EXPECT_EQ(std::string(99, 'C'), out);
}

TEST(TraceUtf8, EncodesWholeCharactersIntoSmallBuffers)
{
    const std::wstring text = L"a\u00e9\u4e2d\U0001F600";
    const wchar_t* p = text.data();
    char out[8];
    // A character is encoded only while 4 bytes are free: 1 + 2 + 3 bytes,
    // then the 4-byte one goes into the next call.
    size_t n = EncodeUtf8(&p, text.data() + text.size(), out, sizeof out);
    EXPECT_EQ("a\xC3\xA9\xE4\xB8\xAD", std::string(out, n));
    n = EncodeUtf8(&p, text.data() + text.size(), out, sizeof out);
    EXPECT_EQ("\xF0\x9F\x98\x80", std::string(out, n));
    EXPECT_EQ(text.data() + text.size(), p);
    EXPECT_EQ("\xEF\xBF\xBD", WideToUtf8(L"\xDC01", 1));
    std::wstring wide;
    EXPECT_FALSE(Utf8ToWide("\xFF", 1, &wide));
    EXPECT_TRUE(Utf8ToWide("\xC3\xA9", 2, &wide));
    EXPECT_EQ(L"\u00e9", wide);
}
