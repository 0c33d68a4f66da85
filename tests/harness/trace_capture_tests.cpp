// The capture tells each statement's level and class apart from its text, so
// that a message moved to another level or class fails the suites that check
// it.
#include "testing/harness/harness.h"
#include "trace/trace.h"

#include <sstream>

#include <gtest/gtest.h>

namespace
{

class CqzCaptureSample
{
public:
    static void Error() { QZTRACE(QZT_ERROR, "CqzCaptureSample", "ERROR: sample failed. LastError=5"); }
    static void Info() { QZTRACE(QZT_INFO, "CqzCaptureSample", "INFO: sample"); }
};

void FreeDebug()
{
    QZTRACE(QZT_DEBUG, nullptr, "DEBUG: outside classes");
}

TEST(TraceCapture, EntriesCarryLevelClassAndText)
{
    qztest::TraceCapture capture;
    CqzCaptureSample::Error();
    CqzCaptureSample::Info();
    FreeDebug();
    QZTRACE(QZT_WARNING, "CqzOther", "WARNING: a|b|c");

    const qztest::TraceEntries expected = {
        {QZT_ERROR, "CqzCaptureSample", "ERROR: sample failed. LastError=5"},
        {QZT_INFO, "CqzCaptureSample", "INFO: sample"},
        {QZT_DEBUG, "", "DEBUG: outside classes"},
        {QZT_WARNING, "CqzOther", "WARNING: a|b|c"},
    };
    EXPECT_EQ(expected, capture.Entries()) << capture.Text();
    // The plain texts, as the suites compared them before levels were kept.
    EXPECT_EQ((std::vector<std::string>{"ERROR: sample failed. LastError=5", "INFO: sample", "DEBUG: outside classes",
                                        "WARNING: a|b|c"}),
              capture.Lines());
}

// The same text at another level or in another class is another entry.
TEST(TraceCapture, LevelAndClassAreCompared)
{
    qztest::TraceCapture capture;
    QZTRACE(QZT_WARNING, "CqzCaptureSample", "ERROR: sample failed. LastError=5");
    QZTRACE(QZT_ERROR, "CqzElsewhere", "ERROR: sample failed. LastError=5");
    const qztest::TraceEntries entries = capture.Entries();
    ASSERT_EQ(2u, entries.size()) << capture.Text();
    const qztest::TraceEntry wanted = {QZT_ERROR, "CqzCaptureSample", "ERROR: sample failed. LastError=5"};
    EXPECT_NE(wanted, entries[0]);
    EXPECT_NE(wanted, entries[1]);
    EXPECT_EQ(entries[0].text, entries[1].text);
}

TEST(TraceCapture, StatementWithLineFeedsIsOneEntry)
{
    qztest::TraceCapture capture;
    QZTRACE(QZT_INFO, "CqzCaptureSample", "INFO: first\nsecond\nthird");
    EXPECT_EQ((qztest::TraceEntries{{QZT_INFO, "CqzCaptureSample", "INFO: first\nsecond\nthird"}}), capture.Entries());
    EXPECT_EQ((std::vector<std::string>{"INFO: first", "second", "third"}), capture.Lines());
}

TEST(TraceCapture, EntriesOfSharesLevelAndClass)
{
    EXPECT_EQ((qztest::TraceEntries{{QZT_ERROR, "CqzX", "ERROR: a"}, {QZT_ERROR, "CqzX", "ERROR: b"}}),
              qztest::EntriesOf(QZT_ERROR, "CqzX", {"ERROR: a", "ERROR: b"}));
}

TEST(TraceCapture, ParseLineRows)
{
    struct Row
    {
        const char* line;
        bool parsed;
        int level;
        const char* className;
        const char* text;
    };
    const Row rows[] = {
        {"QZT_ERROR|CqzA|ERROR: x", true, QZT_ERROR, "CqzA", "ERROR: x"},
        {"QZT_REDIRECTED||text", true, QZT_REDIRECTED, "", "text"},
        {"QZT_FLASHBACK_INFO|CqzA|", true, QZT_FLASHBACK_INFO, "CqzA", ""},
        // A level nobody named is written as its number.
        {"250|CqzA|x", true, 250, "CqzA", "x"},
        {"ERROR: no prefix", false, 0, "", ""},
        {"ERROR: a|b|c", false, 0, "", ""},
        {"QZT_ERROR|only one bar", false, 0, "", ""},
        {"|CqzA|x", false, 0, "", ""},
        {"QZT_NOSUCH|CqzA|x", false, 0, "", ""},
        {"-1|CqzA|x", false, 0, "", ""},
    };
    for (const Row& row : rows)
    {
        qztest::TraceEntry entry;
        EXPECT_EQ(row.parsed, qztest::TraceCapture::ParseLine(row.line, entry)) << "row " << row.line;
        if (row.parsed)
        {
            EXPECT_EQ((qztest::TraceEntry{row.level, row.className, row.text}), entry) << "row " << row.line;
        }
    }
}

TEST(TraceCapture, EntryPrintsLevelNameClassAndText)
{
    std::ostringstream out;
    out << qztest::TraceEntry{QZT_WARNING, "CqzA", "WARNING: x"} << ";" << qztest::TraceEntry{250, "", "y"};
    EXPECT_EQ("QZT_WARNING|CqzA|WARNING: x;250||y", out.str());
}

} // namespace
