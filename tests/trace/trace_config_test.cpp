// The configuration file: applied when named, re-read after a change, bad
// lines ignored with a warning in the trace file.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "tests/trace/trace_test_util.h"
#include "trace/trace.h"

using namespace qztrace_test;

namespace
{

class TraceConfig : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_config = m_dir.Wide(L"config\\qz_test.cfg");
        ::CreateDirectoryW(m_dir.Wide(L"config").c_str(), nullptr);
        m_trace = m_dir.Wide(L"trace\\qz_test.trace");
        m_level = FreshLevel();
        m_other = FreshLevel();
        D_C_Support_SetRotation(0, 0, 0);
    }
    void TearDown() override
    {
        D_C_Support_SetConfigFile(nullptr);
        D_C_Support_SetRefreshInterval(30, 0);
    }

    std::string Level(int level) const { return std::to_string(level); }

    // Runs statements (the library checks the file from within them) until the
    // condition holds or 15 seconds pass.
    template <class Condition>
    bool TraceUntil(Condition condition)
    {
        const DWORD start = ::GetTickCount();
        while (::GetTickCount() - start < 15000)
        {
            for (int i = 0; i < 512; ++i)
                QZTRACE(m_other + 1000000, "CqzConfigIdle", "never written");
            if (condition())
                return true;
            ::Sleep(20);
        }
        return false;
    }

    TempDir m_dir;
    std::wstring m_config;
    std::wstring m_trace;
    int m_level = 0;
    int m_other = 0;
};

} // namespace

TEST_F(TraceConfig, FileIsAppliedWhenNamedAndReadAgainAfterAChange)
{
    WriteAll(m_config, "# trace settings\n"
                       "file = ..\\trace\\qz_test.trace\n"
                       "level class CqzConfigA " +
                           Level(m_level) +
                           " on\n"
                           "prefix class .* " +
                           Level(m_level) + " \"A<%CLASS>: \"\n");
    D_C_Support_SetConfigFile(m_config.c_str());
    ASSERT_NE(nullptr, D_C_Support_GetConfigFile());
    EXPECT_EQ(m_config, std::wstring(D_C_Support_GetConfigFile()));
    QZTRACE(m_level, "CqzConfigA", "one");
    QZTRACE(m_level, "CqzConfigB", "not written");
    EXPECT_EQ("ACqzConfigA: one\n", ReadAll(m_trace));

    D_C_Support_SetRefreshInterval(1, 0);
    ::Sleep(50);
    WriteAll(m_config, "file = ..\\trace\\qz_test.trace\n"
                       "level class CqzConfigB " +
                           Level(m_level) +
                           " on\n"
                           "prefix class .* " +
                           Level(m_level) + " B<%CLASS>:\n");
    ASSERT_TRUE(TraceUntil([&] { return D_Support_c::DoPrintFor(__FILE__, "CqzConfigB", m_level) != 0; }));
    QZTRACE(m_level, "CqzConfigA", "no longer written");
    QZTRACE(m_level, "CqzConfigB", "two");
    EXPECT_EQ("ACqzConfigA: one\nBCqzConfigB:two\n", ReadAll(m_trace));
}

TEST_F(TraceConfig, MalformedLinesAreIgnoredAndReported)
{
    const std::string l = Level(m_level);
    WriteAll(m_config, "\xEF\xBB\xBF# comment\r\n" // 1
                       "file = " +
                           ToUtf8(m_trace) +
                           "\r\n"              // 2
                           "colour = blue\r\n" // 3
                           "level class CqzConfigGood " +
                           l +
                           " on\r\n" // 4
                           "level class CqzConfigBad " +
                           l +
                           " maybe\r\n" // 5
                           "level planet CqzConfigBad " +
                           l +
                           " on\r\n"                                           // 6
                           "level class CqzConfigBad QZT_NO_SUCH_LEVEL on\r\n" // 7
                           "level class\r\n"                                   // 8
                           "rotation = many files\r\n"                         // 9
                           "refresh = -3\r\n"                                  // 10
                           "prefix class .* " +
                           l +
                           " \"unclosed\r\n" // 11
                           "= value\r\n"     // 12
                           + std::string(5000, 'x') +
                           "\r\n" // 13
                           "prefix class CqzConfigGood " +
                           l +
                           " \"[<%CLASS>] \"\r\n"                        // 14
                           "level class CqzConfigAlso QZT_INFO on\r\n"); // 15
    D_C_Support_SetConfigFile(m_config.c_str());
    QZTRACE(m_level, "CqzConfigGood", "good");
    QZTRACE(m_level, "CqzConfigBad", "bad");
    EXPECT_EQ(1, D_Support_c::DoPrintFor(__FILE__, "CqzConfigAlso", QZT_INFO));

    const std::string where = "qztrace: WARNING: " + ToUtf8(m_config);
    const std::vector<std::string> expected = {
        where + "(3): unknown key \"colour\"; line ignored",
        where + "(5): level needs on or off, found \"maybe\"; line ignored",
        where + "(6): unknown scope \"planet\" (file, class, 0 or 1); line ignored",
        where + "(7): unknown level \"QZT_NO_SUCH_LEVEL\"; line ignored",
        where + "(8): level needs a scope, a pattern and a level; line ignored",
        where + "(9): rotation numbers out of range: \"many\" \"files\"; line ignored",
        where + "(10): refresh needs a number of seconds, found \"-3\"; line ignored",
        where + "(11): unclosed quotation mark; line ignored",
        where + "(12): no key at the start of the line; line ignored",
        where + "(13): line longer than 4096 bytes; line ignored",
        "[CqzConfigGood] good",
    };
    EXPECT_EQ(expected, Lines(ReadAll(m_trace)));
}

TEST_F(TraceConfig, MissingFileIsNamedAndPickedUpWhenItAppears)
{
    D_C_Support_SetRefreshInterval(1, 0);
    D_C_Support_SetConfigFile(m_config.c_str());
    ASSERT_NE(nullptr, D_C_Support_GetConfigFile());
    EXPECT_EQ(m_config, std::wstring(D_C_Support_GetConfigFile()));
    EXPECT_FALSE(Exists(m_trace));

    WriteAll(m_config, "file=" + ToUtf8(m_trace) + "\nlevel 1 CqzConfigLate " + Level(m_level) + " on\n");
    ASSERT_TRUE(TraceUntil([&] { return D_Support_c::DoPrintFor(__FILE__, "CqzConfigLate", m_level) != 0; }));
    QZTRACE(m_level, "CqzConfigLate", "late");
    EXPECT_EQ("late\n", ReadAll(m_trace));

    // Removing the file takes its rules away.
    ::DeleteFileW(m_config.c_str());
    ASSERT_TRUE(TraceUntil([&] { return D_Support_c::DoPrintFor(__FILE__, "CqzConfigLate", m_level) == 0; }));
}

TEST_F(TraceConfig, NoConfigurationFileAfterNull)
{
    WriteAll(m_config, "file=" + ToUtf8(m_trace) + "\nlevel class CqzConfigGone " + Level(m_level) + " on\n");
    D_C_Support_SetConfigFile(m_config.c_str());
    EXPECT_EQ(1, D_Support_c::DoPrintFor(__FILE__, "CqzConfigGone", m_level));
    D_C_Support_SetConfigFile(nullptr);
    EXPECT_EQ(nullptr, D_C_Support_GetConfigFile());
    EXPECT_EQ(0, D_Support_c::DoPrintFor(__FILE__, "CqzConfigGone", m_level));
    D_C_Support_SetConfigFile(L"");
    EXPECT_EQ(nullptr, D_C_Support_GetConfigFile());
}

TEST_F(TraceConfig, RulesSetThroughTheInterfaceAfterTheFileOverrideIt)
{
    WriteAll(m_config, "file=" + ToUtf8(m_trace) + "\nlevel class .* " + Level(m_level) + " on\n");
    D_C_Support_SetConfigFile(m_config.c_str());
    EXPECT_EQ(1, D_Support_c::DoPrintFor(__FILE__, "CqzConfigMix", m_level));
    D_Support_c::SetDoPrintFor(1, "CqzConfigMix", m_level, 0);
    EXPECT_EQ(0, D_Support_c::DoPrintFor(__FILE__, "CqzConfigMix", m_level));
    EXPECT_EQ(1, D_Support_c::DoPrintFor(__FILE__, "CqzConfigOther", m_level));
}

TEST_F(TraceConfig, TraceFileNamedLaterStaysWhenTheFileIsReadAgain)
{
    const std::wstring command = m_dir.Wide(L"trace\\command.trace");
    WriteAll(m_config, "file=" + ToUtf8(m_trace) + "\nlevel class .* " + Level(m_level) + " on\n");
    D_C_Support_SetConfigFile(m_config.c_str());
    D_C_Support_SetD_File(ToUtf8(command).c_str(), 0, 1);
    D_C_Support_SetRefreshInterval(1, 0);
    ::Sleep(50);
    WriteAll(m_config, "file=" + ToUtf8(m_trace) + "\nlevel class .* " + Level(m_level) +
                           " on\nlevel class CqzConfigNew " + Level(m_level) + " off\n");
    ASSERT_TRUE(TraceUntil([&] { return D_Support_c::DoPrintFor(__FILE__, "CqzConfigNew", m_level) == 0; }));
    QZTRACE(m_level, "CqzConfigCmd", "to the command file");
    EXPECT_EQ("to the command file\n", ReadAll(command));
    EXPECT_EQ("", ReadAll(m_trace));
}

TEST_F(TraceConfig, HugeFileIsReadOnlyInPart)
{
    std::string text = "file=" + ToUtf8(m_trace) + "\nlevel class CqzConfigHuge " + Level(m_level) + " on\n";
    const std::string filler = "# " + std::string(1000, '-') + "\n";
    while (text.size() < 3 * 1024 * 1024)
        text += filler;
    text += "level class CqzConfigTail " + Level(m_level) + " on\n";
    WriteAll(m_config, text);
    D_C_Support_SetConfigFile(m_config.c_str());
    EXPECT_EQ(1, D_Support_c::DoPrintFor(__FILE__, "CqzConfigHuge", m_level));
    EXPECT_EQ(0, D_Support_c::DoPrintFor(__FILE__, "CqzConfigTail", m_level));
    const std::vector<std::string> lines = Lines(ReadAll(m_trace));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("qztrace: WARNING: " + ToUtf8(m_config) + ": file larger than 1 MiB; the rest is ignored", lines[0]);
}

TEST_F(TraceConfig, RotationAndRefreshFromTheFile)
{
    WriteAll(m_config, "file=" + ToUtf8(m_trace) + "\nrotation = 2 150\nlevel class .* " + Level(m_level) +
                           " on\nprefix class .* " + Level(m_level) + " \"\"\n");
    D_C_Support_SetConfigFile(m_config.c_str());
    for (int i = 0; i < 5; ++i)
        QZTRACE(m_level, "CqzConfigRot", std::string(99, static_cast<char>('a' + i)));
    EXPECT_EQ(std::string(99, 'a') + "\n" + std::string(99, 'b') + "\n", ReadAll(m_trace + L".2"));
    EXPECT_EQ(std::string(99, 'c') + "\n" + std::string(99, 'd') + "\n", ReadAll(m_trace + L".1"));
    EXPECT_EQ(std::string(99, 'e') + "\n", ReadAll(m_trace));
    D_C_Support_SetRotation(0, 0, 0);
}
