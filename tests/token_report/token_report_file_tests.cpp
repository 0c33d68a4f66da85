// The file forms of the token report: the unique file name, a file that
// exists already, and the lines traced when the file cannot be created or
// written. A sink that refuses every write ends the report after its header.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/security/access_token.h"
#include "common/security/access_token_report_internal.h"
#include "common/util/text_sink.h"
#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"
#include "tests/token_report/report_oracle.h"
#include "tests/token_report/token_report_test_util.h"
#include "trace/qztrace.h"

namespace
{
using qzreporttest::Lines;
using qztest::ScopedHandle;

// "-2147024893" and the like: the HRESULT of a Win32 error as the trace
// line prints it.
std::string HresultText(DWORD error)
{
    return std::to_string(static_cast<long>(HRESULT_FROM_WIN32(error)));
}

ULONGLONG Now()
{
    FILETIME now = {};
    ::GetSystemTimeAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// The names of the files in a directory, sorted.
std::vector<std::wstring> FileNames(const std::wstring& directory)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data = {};
    const HANDLE find = ::FindFirstFileW((directory + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do
    {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            names.push_back(data.cFileName);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

// The stamp of "report.<stamp>.txt"; false for another name.
bool StampOf(const std::wstring& name, ULONGLONG& stamp)
{
    const std::wstring prefix = L"report.";
    const std::wstring suffix = L".txt";
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::wstring digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    if (digits.find_first_not_of(L"0123456789") != std::wstring::npos)
        return false;
    stamp = std::stoull(digits);
    return true;
}

// Every unique-name report, short or full, on the member or the static form.
bool WriteUniqueReport(int form, HANDLE token, const std::wstring& path)
{
    return form == 0 ? CqzAccessToken::Dump(token, path.c_str(), false, true)
                     : CqzAccessToken::DumpUserGroupsAndPriviliges(token, path.c_str(), false, true);
}

TEST(TokenReportFileTest, UniqueNameTwiceInARowCreatesTwoFiles)
{
    const ScopedHandle process = qztest::OpenOwnProcessToken();
    ASSERT_TRUE(process.IsValid());
    for (int form = 0; form < 2; ++form)
    {
        qzreporttest::ReportFile file;
        const ULONGLONG before = Now();
        ASSERT_TRUE(WriteUniqueReport(form, process.Get(), file.Path())) << form;
        ASSERT_TRUE(WriteUniqueReport(form, process.Get(), file.Path())) << form;
        const ULONGLONG after = Now();

        const std::vector<std::wstring> names = FileNames(file.Dir().Path());
        ASSERT_EQ(2u, names.size()) << form;
        for (const std::wstring& name : names)
        {
            ULONGLONG stamp = 0;
            ASSERT_TRUE(StampOf(name, stamp)) << qztest::ToUtf8(name);
            EXPECT_LE(before, stamp) << qztest::ToUtf8(name);
            EXPECT_GE(after + 1, stamp) << qztest::ToUtf8(name);
            Lines lines;
            std::string problem;
            EXPECT_TRUE(qztest::ReadUtf16Lines(file.Dir() / name, lines, &problem)) << problem;
            EXPECT_EQ(L"    *** Access Token Info start ***", lines.at(1));
        }
        EXPECT_FALSE(qztest::FileExists(file.Path())) << "the plain name is not written";
    }
}

// The clock stands still: GetSystemTimeAsFileTime answers one value. A
// clock tick of Windows is long enough for two reports; Wine's clock never
// repeats, hence the seam.
const ULONGLONG kFrozenTime = 133520000000000000ull;

void WINAPI FrozenGetSystemTimeAsFileTime(LPFILETIME time)
{
    time->dwLowDateTime = static_cast<DWORD>(kFrozenTime);
    time->dwHighDateTime = static_cast<DWORD>(kFrozenTime >> 32);
}

TEST(TokenReportFileTest, UniqueNameWithinOneClockTickTakesTheNextValue)
{
    const ScopedHandle process = qztest::OpenOwnProcessToken();
    ASSERT_TRUE(process.IsValid());
    qzreporttest::ReportFile file;
    {
        qztest::IatHook clock("kernel32.dll", "GetSystemTimeAsFileTime",
                              reinterpret_cast<void*>(&FrozenGetSystemTimeAsFileTime));
        ASSERT_TRUE(clock.Installed());
        ASSERT_TRUE(CqzAccessToken::Dump(process.Get(), file.Path().c_str(), false, true));
        ASSERT_TRUE(CqzAccessToken::DumpUserGroupsAndPriviliges(process.Get(), file.Path().c_str(), false, true));
    }
    const std::wstring first = L"report." + std::to_wstring(kFrozenTime) + L".txt";
    const std::wstring second = L"report." + std::to_wstring(kFrozenTime + 1) + L".txt";
    EXPECT_EQ((std::vector<std::wstring>{first, second}), FileNames(file.Dir().Path()));
    Lines full;
    Lines brief;
    ASSERT_TRUE(qztest::ReadUtf16Lines(file.Dir() / first, full));
    ASSERT_TRUE(qztest::ReadUtf16Lines(file.Dir() / second, brief));
    EXPECT_EQ(L"<none>", qzreporttest::LineStartingWith(brief, L"TOKEN ACCESS GRANTED: "));
    EXPECT_NE(L"<none>", qzreporttest::LineStartingWith(full, L"TOKEN ACCESS GRANTED: "));
}

TEST(TokenReportFileTest, UniquePathReplacesTheExtensionOfTheLastComponent)
{
    const ULONGLONG stamp = 133520000000000000ull;
    struct Row
    {
        std::wstring path;
        std::wstring unique;
    };
    const std::vector<Row> rows = {
        {L"C:\\logs\\report.txt", L"C:\\logs\\report.133520000000000000.txt"},
        {L"C:\\logs\\report", L"C:\\logs\\report.133520000000000000"},
        {L"C:\\logs.old\\report", L"C:\\logs.old\\report.133520000000000000"},
        {L"C:\\logs\\a.b.log", L"C:\\logs\\a.b.133520000000000000.log"},
        {L"C:/logs/report.txt", L"C:/logs/report.133520000000000000.txt"},
        {L"report.", L"report.133520000000000000."},
        {L"", L".133520000000000000"},
    };
    for (const Row& row : rows)
    {
        std::wstring unique = L"untouched";
        EXPECT_TRUE(qztokenreport::MakeUniquePath(row.path.c_str(), stamp, unique)) << qztest::ToUtf8(row.path);
        EXPECT_EQ(row.unique, unique) << qztest::ToUtf8(row.path);
    }

    // The path buffer holds 1040 characters with the terminator.
    const size_t added = std::wstring(L".133520000000000000").size();
    const std::wstring fits = L"C:\\" + std::wstring(qztokenreport::kPathChars - 1 - added - 3 - 4, L'x') + L".txt";
    std::wstring unique;
    EXPECT_TRUE(qztokenreport::MakeUniquePath(fits.c_str(), stamp, unique));
    EXPECT_EQ(qztokenreport::kPathChars - 1, unique.size());
    const std::wstring tooLong = fits + L"x";
    unique = L"untouched";
    EXPECT_FALSE(qztokenreport::MakeUniquePath(tooLong.c_str(), stamp, unique));
    EXPECT_EQ(L"untouched", unique);
}

TEST(TokenReportFileTest, UniqueNameTooLongForThePathBufferIsAnOpenFailure)
{
    const ScopedHandle process = qztest::OpenOwnProcessToken();
    qzreporttest::ReportFile file;
    const std::wstring path = file.Dir() / (std::wstring(1100, L'r') + L".txt");
    qztest::TraceCapture capture;
    EXPECT_FALSE(CqzAccessToken::Dump(process.Get(), path.c_str(), false, true));
    EXPECT_EQ(qztest::EntriesOf(QZT_ERROR, "CqzAccessToken",
                                {"ERROR: Failed to open file " + qztest::ToUtf8(path) +
                                 " for writing. hr=" + HresultText(ERROR_FILENAME_EXCED_RANGE)}),
              capture.Entries());
    EXPECT_TRUE(FileNames(file.Dir().Path()).empty());
}

TEST(TokenReportFileTest, FileThatCannotBeCreatedIsTracedWithItsHresult)
{
    const ScopedHandle process = qztest::OpenOwnProcessToken();
    qzreporttest::ReportFile file;
    const std::wstring path = file.Dir() / L"missing\\report.txt";
    CqzAccessToken empty;
    for (int form = 0; form < 5; ++form)
    {
        qztest::TraceCapture capture;
        bool result = true;
        switch (form)
        {
        case 0:
            result = CqzAccessToken::Dump(process.Get(), path.c_str(), true, false);
            break;
        case 1:
            result = CqzAccessToken::DumpUserGroupsAndPriviliges(process.Get(), path.c_str(), true, false);
            break;
        case 2:
            result = empty.Dump(path.c_str(), false, false);
            break;
        case 3:
            result = empty.DumpUserGroupsAndPriviliges(path.c_str(), false, false);
            break;
        default:
            result = CqzAccessToken::DumpUserGroupsAndPriviliges(process.Get(), nullptr, false, false);
            break;
        }
        EXPECT_FALSE(result) << "form " << form;
        // No path is the empty one, which the system refuses in its own way.
        DWORD error = ERROR_PATH_NOT_FOUND;
        if (form == 4)
        {
            const ScopedHandle none(::CreateFileW(L"", GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr));
            error = ::GetLastError();
            ASSERT_FALSE(none.IsValid());
        }
        EXPECT_EQ(
            qztest::EntriesOf(QZT_ERROR, "CqzAccessToken",
                              {"ERROR: Failed to open file " + (form == 4 ? std::string() : qztest::ToUtf8(path)) +
                               " for writing. hr=" + HresultText(error)}),
            capture.Entries())
            << "form " << form;
    }
}

TEST(TokenReportFileTest, ExistingFileIsReplacedWhenTheNameIsNotUnique)
{
    const ScopedHandle process = qztest::OpenOwnProcessToken();
    qzreporttest::ReportFile file;
    ASSERT_TRUE(qztest::WriteTextFile(file.Path(), std::string(100000, 'x')));
    ASSERT_TRUE(CqzAccessToken::DumpUserGroupsAndPriviliges(process.Get(), file.Path().c_str(), false, false));
    EXPECT_EQ("", qzreporttest::Describe(
                      qzreporttest::Compare(file.Read(), qzreporttest::ExpectedShortReport(process.Get(), false))));
    // Closed again: the file can be deleted at once.
    EXPECT_TRUE(::DeleteFileW(file.Path().c_str())) << ::GetLastError();
}

// WriteFile fails from the call numbered g_failFrom on (counted from 1). A
// file that has just been created does not fail to take a few bytes under
// Wine, hence the seam.
typedef BOOL(WINAPI* WriteFileFn)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
WriteFileFn g_originalWriteFile = nullptr;
int g_writeCalls = 0;
int g_failFrom = 1;

BOOL WINAPI FailingWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (++g_writeCalls >= g_failFrom)
    {
        if (written != nullptr)
            *written = 0;
        ::SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    return g_originalWriteFile(file, data, size, written, overlapped);
}

TEST(TokenReportFileTest, WriteFailuresEndTheReportWithTheirLines)
{
    const ScopedHandle process = qztest::OpenOwnProcessToken();
    struct Row
    {
        const char* name;
        int failFrom;
        bool full;
        std::vector<std::string> lines; // "%s" is the path
        size_t bytesLeft;
    };
    const std::vector<Row> rows = {
        {"byte-order mark, full", 1, true, {"ERROR: Failed to write to file %s"}, 0},
        {"byte-order mark, short", 1, false, {"ERROR: Failed to write to file %s"}, 0},
        {"header, full", 2, true, {"ERROR: PrintfLine failed"}, 2},
        {"header, short", 2, false, {"ERROR: PrintfLine failed"}, 2},
    };
    for (const Row& row : rows)
    {
        qzreporttest::ReportFile file;
        qztest::TraceCapture capture;
        bool result = true;
        {
            qztest::IatHook hook("kernel32.dll", "WriteFile", reinterpret_cast<void*>(&FailingWriteFile));
            ASSERT_TRUE(hook.Installed());
            g_originalWriteFile = hook.OriginalAs<WriteFileFn>();
            g_writeCalls = 0;
            g_failFrom = row.failFrom;
            result = row.full
                         ? CqzAccessToken::Dump(process.Get(), file.Path().c_str(), true, false)
                         : CqzAccessToken::DumpUserGroupsAndPriviliges(process.Get(), file.Path().c_str(), true, false);
            // Nothing is written after the failed write.
            EXPECT_EQ(row.failFrom, g_writeCalls) << row.name;
        }
        EXPECT_FALSE(result) << row.name;
        std::vector<std::string> expected;
        for (std::string line : row.lines)
        {
            const size_t at = line.find("%s");
            if (at != std::string::npos)
                line.replace(at, 2, qztest::ToUtf8(file.Path()));
            expected.push_back(line);
        }
        EXPECT_EQ(qztest::EntriesOf(QZT_ERROR, "CqzAccessToken", expected), capture.Entries()) << row.name;
        EXPECT_EQ(row.bytesLeft, qztest::ReadTextFile(file.Path()).size()) << row.name;
        EXPECT_TRUE(::DeleteFileW(file.Path().c_str())) << row.name << ": the file was left open";
    }
}

// A sink whose every write fails.
class RefusingSink : public CqzTextSink
{
public:
    int writes = 0;

protected:
    bool Write(const wchar_t*, size_t) override
    {
        ++writes;
        return false;
    }
};

TEST(TokenReportFileTest, SinkThatRefusesTheHeaderGetsNothingMore)
{
    const ScopedHandle process = qztest::OpenOwnProcessToken();
    for (const bool full : {true, false})
    {
        RefusingSink sink;
        qztest::TraceCapture capture;
        const bool result = full ? CqzAccessToken::Dump(process.Get(), sink, true)
                                 : CqzAccessToken::DumpUserGroupsAndPriviliges(process.Get(), sink, true);
        EXPECT_FALSE(result) << full;
        EXPECT_EQ(1, sink.writes) << full;
        EXPECT_EQ(qztest::EntriesOf(QZT_ERROR, "CqzAccessToken", {"ERROR: PrintfLine failed"}), capture.Entries());
    }
}

} // namespace
