// The report sinks: the runtime's wide printf semantics ("%s" wide, "%S"
// narrow, "%I64d"), the "\r\n" line end, labels without a break, long lines,
// and the file form's byte-order mark and UTF-16 bytes.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "common/util/scoped.h"
#include "common/util/text_sink.h"
#include "testing/harness/harness.h"

TEST(TextSink, FormatsFollowTheWideRuntime)
{
    CqzStringTextSink sink;
    EXPECT_TRUE(sink.PrintfLine(L"TOKEN USER: %s", L"S-1-5-18"));
    EXPECT_TRUE(
        sink.PrintfLine(L"SOURCE: Name=[%.8S] Id=0x%I64X (%I64d)", "User32  longer", 0x1234567890LL, 0x1234567890LL));
    EXPECT_TRUE(sink.PrintfLine(L"   GROUP %.2d: mask=[%.8X]", 7, 0x1F01FFu));
    EXPECT_TRUE(sink.Printf(L"DEFAULT DACL:"));
    EXPECT_TRUE(sink.PrintfLine(L"   DACL contains %d ACEs", 2));
    EXPECT_EQ(sink.Text(), L"TOKEN USER: S-1-5-18\r\n"
                           L"SOURCE: Name=[User32  ] Id=0x1234567890 (78187493520)\r\n"
                           L"   GROUP 07: mask=[001F01FF]\r\n"
                           L"DEFAULT DACL:   DACL contains 2 ACEs\r\n");
}

TEST(TextSink, LongLinesAreWrittenWhole)
{
    CqzStringTextSink sink;
    const std::wstring path(40000, L'a');
    EXPECT_TRUE(sink.PrintfLine(L"PATH: %s", path.c_str()));
    EXPECT_EQ(sink.Text(), L"PATH: " + path + L"\r\n");
}

TEST(TextSink, FileFormIsUtf16WithByteOrderMark)
{
    qztest::TempDir dir;
    const std::wstring path = dir.Path() + L"\\sink.txt";
    {
        CqzScopedHandle file(CqzFileTextSink::CreateReportFile(path.c_str()));
        ASSERT_TRUE(file.IsValid()) << ::GetLastError();
        CqzFileTextSink sink(file.Get());
        EXPECT_TRUE(sink.WriteByteOrderMark());
        EXPECT_TRUE(sink.PrintfLine(L"A%d", 1));
    }
    const std::string bytes = qztest::ReadTextFile(path);
    EXPECT_EQ(bytes, std::string("\xFF\xFE"
                                 "A\0"
                                 "1\0"
                                 "\r\0"
                                 "\n\0",
                                 10));
}

TEST(TextSink, ClosedFileFailsTheWrite)
{
    CqzFileTextSink sink(INVALID_HANDLE_VALUE);
    EXPECT_FALSE(sink.PrintfLine(L"x"));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(TextSink, Utf16LinesReaderChecksTheForm)
{
    qztest::TempDir dir;
    std::vector<std::wstring> lines;
    std::string problem;
    ASSERT_TRUE(qztest::WriteTextFile(dir / L"ok.txt", std::string("\xFF\xFE"
                                                                   "a\0\r\0\n\0\r\0\n\0",
                                                                   12)));
    EXPECT_TRUE(qztest::ReadUtf16Lines(dir / L"ok.txt", lines, &problem)) << problem;
    EXPECT_EQ(lines, (std::vector<std::wstring>{L"a", L""}));
    ASSERT_TRUE(qztest::WriteTextFile(dir / L"nobom.txt", std::string("a\0\r\0\n\0", 6)));
    EXPECT_FALSE(qztest::ReadUtf16Lines(dir / L"nobom.txt", lines, &problem));
    ASSERT_TRUE(qztest::WriteTextFile(dir / L"tail.txt", std::string("\xFF\xFE"
                                                                     "a\0\n\0",
                                                                     6)));
    EXPECT_FALSE(qztest::ReadUtf16Lines(dir / L"tail.txt", lines, &problem));
}
