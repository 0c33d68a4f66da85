// The trace file: opening, directories, UTF-8 paths, concurrent writers in
// threads and processes, and rotation.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/trace/trace_test_util.h"
#include "trace/trace.h"

using namespace qztrace_test;

namespace
{

const size_t kWriterLineLength = 100; // what trace_writer writes per line, "\n" included

class TraceFile : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_level = FreshLevel();
        D_C_Support_SetRotation(0, 0, 0);
        D_C_Support_SetPrefix(".*", 1, m_level, "");
        D_Support_c::SetDoPrintFor(1, ".*", m_level, 1);
    }
    void TearDown() override { D_C_Support_SetRotation(0, 0, 0); }

    void Open(const std::wstring& path, int append = 1) { D_C_Support_SetD_File(ToUtf8(path).c_str(), 0, append); }

    // A line as trace_writer writes it.
    void WriterLine(const std::string& id, int seq)
    {
        std::string text = "writer=" + id + " seq=" + std::to_string(seq) + " ";
        text.resize(kWriterLineLength - 1, '.');
        QZTRACE(m_level, "CqzFileTest", text);
    }

    TempDir m_dir;
    int m_level = 0;
};

// writer id -> sequence numbers seen, in file order; malformed lines counted.
struct WriterLines
{
    std::map<std::string, std::vector<int>> seqs;
    std::vector<std::string> malformed;
};

void Collect(const std::string& text, WriterLines* out)
{
    for (const std::string& line : Lines(text))
    {
        char id[32] = {};
        int seq = -1;
        int used = 0;
        if (line.size() != kWriterLineLength - 1 ||
            std::sscanf(line.c_str(), "writer=%31[^ ] seq=%d %n", id, &seq, &used) != 2 ||
            line.find_first_not_of('.', static_cast<size_t>(used)) != std::string::npos)
        {
            out->malformed.push_back(line);
            continue;
        }
        out->seqs[id].push_back(seq);
    }
}

std::wstring Numbered(const std::wstring& path, int n)
{
    return path + L"." + std::to_wstring(n);
}

HANDLE NamedEvent(const std::wstring& name)
{
    return ::CreateEventW(nullptr, TRUE, FALSE, name.c_str());
}

} // namespace

TEST_F(TraceFile, FileThatCannotBeOpenedLeavesTracingOff)
{
    const std::wstring good = m_dir.Wide(L"good.log");
    WriteAll(m_dir.Wide(L"plainfile"), "x");
    struct Row
    {
        const char* name;
        std::string path;
    };
    const Row rows[] = {
        {"path under a file", m_dir.Utf8(L"plainfile") + "\\sub\\trace.log"},
        {"invalid characters", m_dir.Utf8(L"bad<>|name.log")},
        {"a directory", ToUtf8(m_dir.Path())},
        {"invalid UTF-8", m_dir.Utf8(L"x") + "\xFF\xFE.log"},
    };
    for (const Row& row : rows)
    {
        Open(good);
        QZTRACE(m_level, "CqzFileTest", "before " << row.name);
        D_C_Support_SetD_File(row.path.c_str(), 0, 1);
        EXPECT_EQ(0, D_Support_c::DoPrintFor(__FILE__, "CqzFileTest", static_cast<unsigned>(m_level))) << row.name;
        QZTRACE(m_level, "CqzFileTest", "after " << row.name);
    }
    D_C_Support_SetD_File(nullptr, 0, 1);
    QZTRACE(m_level, "CqzFileTest", "after null");
    const std::vector<std::string> lines = Lines(ReadAll(good));
    ASSERT_EQ(std::size(rows), lines.size());
    for (size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(std::string("before ") + rows[i].name, lines[i]);
    EXPECT_FALSE(Exists(m_dir.Wide(L"plainfile\\sub")));
}

TEST_F(TraceFile, MissingDirectoriesAreCreated)
{
    const std::wstring path = m_dir.Wide(L"one\\two\\three\\trace.log");
    Open(path);
    QZTRACE(m_level, "CqzFileTest", "created");
    EXPECT_EQ("created\n", ReadAll(path));
}

TEST_F(TraceFile, Utf8PathWithNonAsciiCharacters)
{
    const std::wstring path = m_dir.Wide(L"d\u00efr \u4e2d\u6587\\tr\u00e2ce \u00e9.log");
    Open(path);
    QZTRACE(m_level, "CqzFileTest", "text " << L"\u00e9\u4e2d");
    EXPECT_EQ("text \xC3\xA9\xE4\xB8\xAD\n", ReadAll(path));
}

TEST_F(TraceFile, AppendKeepsAndZeroTruncates)
{
    const std::wstring path = m_dir.Wide(L"append.log");
    WriteAll(path, "old\n");
    Open(path, 1);
    QZTRACE(m_level, "CqzFileTest", "kept");
    EXPECT_EQ("old\nkept\n", ReadAll(path));
    D_C_Support_SetD_File(nullptr, 0, 1);
    Open(path, 0);
    QZTRACE(m_level, "CqzFileTest", "fresh");
    EXPECT_EQ("fresh\n", ReadAll(path));
}

TEST_F(TraceFile, SwitchingFilesMovesTheOutput)
{
    const std::wstring first = m_dir.Wide(L"first.log");
    const std::wstring second = m_dir.Wide(L"second.log");
    Open(first);
    QZTRACE(m_level, "CqzFileTest", "one");
    Open(second);
    QZTRACE(m_level, "CqzFileTest", "two");
    Open(second); // the open file again: nothing changes
    QZTRACE(m_level, "CqzFileTest", "three");
    EXPECT_EQ("one\n", ReadAll(first));
    EXPECT_EQ("two\nthree\n", ReadAll(second));
}

TEST_F(TraceFile, ThreadsWritingOneFileKeepEveryLineWhole)
{
    const std::wstring path = m_dir.Wide(L"threads.log");
    Open(path);
    const int kThreads = 8;
    const int kLines = 1500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back(
            [this, t]
            {
                QZ_STACK_NAME("Worker", "CqzFileTest");
                for (int i = 0; i < kLines; ++i)
                    WriterLine("t" + std::to_string(t), i);
            });
    }
    for (std::thread& t : threads)
        t.join();
    WriterLines seen;
    Collect(ReadAll(path), &seen);
    EXPECT_TRUE(seen.malformed.empty()) << seen.malformed.size() << " malformed, first: " << seen.malformed[0];
    ASSERT_EQ(static_cast<size_t>(kThreads), seen.seqs.size());
    for (const auto& w : seen.seqs)
    {
        ASSERT_EQ(static_cast<size_t>(kLines), w.second.size()) << w.first;
        for (int i = 0; i < kLines; ++i)
            ASSERT_EQ(i, w.second[static_cast<size_t>(i)]) << w.first << " line " << i;
    }
}

TEST_F(TraceFile, ProcessesWritingOneFileKeepEveryLineWhole)
{
    const std::wstring path = m_dir.Wide(L"processes.log");
    const int kProcesses = 6;
    const int kLines = 2000;
    const std::wstring start = L"Local\\qztrace_test_start_" + std::to_wstring(::GetCurrentProcessId());
    HANDLE startEvent = NamedEvent(start);
    ASSERT_NE(nullptr, startEvent);
    std::vector<HANDLE> children;
    for (int p = 0; p < kProcesses; ++p)
    {
        HANDLE child = StartChild(L"trace_writer.exe", L"lines \"" + path + L"\" p" + std::to_wstring(p) + L" " +
                                                           std::to_wstring(kLines) + L" 0 0 " + start);
        ASSERT_NE(nullptr, child) << "process " << p;
        children.push_back(child);
    }
    ::Sleep(200);
    ::SetEvent(startEvent); // all at once
    for (size_t p = 0; p < children.size(); ++p)
    {
        EXPECT_EQ(0u, WaitChild(children[p])) << "process " << p;
        ::CloseHandle(children[p]);
    }
    ::CloseHandle(startEvent);

    WriterLines seen;
    Collect(ReadAll(path), &seen);
    EXPECT_TRUE(seen.malformed.empty()) << seen.malformed.size() << " malformed, first: " << seen.malformed[0];
    ASSERT_EQ(static_cast<size_t>(kProcesses), seen.seqs.size());
    for (const auto& w : seen.seqs)
    {
        ASSERT_EQ(static_cast<size_t>(kLines), w.second.size()) << w.first;
        for (int i = 0; i < kLines; ++i)
            ASSERT_EQ(i, w.second[static_cast<size_t>(i)]) << w.first << " line " << i;
    }
}

TEST_F(TraceFile, RotationAtTheSizeBoundaryKeepsNFiles)
{
    const std::wstring path = m_dir.Wide(L"rotate.log");
    // 10 lines of 100 bytes reach the size: each file holds exactly 10 lines.
    D_C_Support_SetRotation(3, 1000, 0);
    Open(path);
    const int kLines = 73;
    for (int i = 0; i < kLines; ++i)
        WriterLine("r", i);

    // 73 lines: 7 full files rotated away (0-9 ... 60-69), 3 in the current one;
    // three are kept: .1 = 60-69, .2 = 50-59, .3 = 40-49; the older ones are gone.
    EXPECT_FALSE(Exists(Numbered(path, 4)));
    const struct
    {
        std::wstring file;
        int first;
        int count;
    } expected[] = {
        {Numbered(path, 3), 40, 10},
        {Numbered(path, 2), 50, 10},
        {Numbered(path, 1), 60, 10},
        {path, 70, 3},
    };
    for (const auto& e : expected)
    {
        const std::string text = ReadAll(e.file);
        WriterLines seen;
        Collect(text, &seen);
        EXPECT_TRUE(seen.malformed.empty()) << ToUtf8(e.file);
        std::vector<int> want;
        for (int i = 0; i < e.count; ++i)
            want.push_back(e.first + i);
        EXPECT_EQ(want, seen.seqs["r"]) << ToUtf8(e.file);
        EXPECT_EQ(static_cast<size_t>(e.count) * kWriterLineLength, text.size()) << ToUtf8(e.file);
    }
    WIN32_FIND_DATAW fd;
    HANDLE find = ::FindFirstFileW(m_dir.Wide(L"*deleted*").c_str(), &fd);
    EXPECT_EQ(INVALID_HANDLE_VALUE, find) << "a dropped file was left behind";
    if (find != INVALID_HANDLE_VALUE)
        ::FindClose(find);
}

TEST_F(TraceFile, LineIsNeverSplitBetweenFiles)
{
    const std::wstring path = m_dir.Wide(L"split.log");
    D_C_Support_SetRotation(5, 250, 0);
    Open(path);
    // 100-byte lines against 250-byte files: the third line crosses the size
    // and still goes whole into the file it started in.
    for (int i = 0; i < 6; ++i)
        WriterLine("s", i);
    EXPECT_EQ(300u, ReadAll(Numbered(path, 2)).size());
    EXPECT_EQ(300u, ReadAll(Numbered(path, 1)).size());
    EXPECT_TRUE(ReadAll(path).empty());
    WriterLines seen;
    Collect(ReadAll(Numbered(path, 2)) + ReadAll(Numbered(path, 1)), &seen);
    EXPECT_TRUE(seen.malformed.empty());
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5}), seen.seqs["s"]);
}

TEST_F(TraceFile, ZeroOrNegativeRotationArgumentsMeanNoRotation)
{
    const int settings[][2] = {{0, 300}, {3, 0}, {-1, 300}, {3, -5}};
    for (const auto& s : settings)
    {
        TempDir dir;
        const std::wstring path = dir.Wide(L"norotate.log");
        D_C_Support_SetRotation(s[0], s[1], 0);
        Open(path);
        for (int i = 0; i < 10; ++i)
            WriterLine("n", i);
        EXPECT_EQ(1000, FileSize(path)) << s[0] << "," << s[1];
        EXPECT_FALSE(Exists(Numbered(path, 1))) << s[0] << "," << s[1];
        D_C_Support_SetD_File(nullptr, 0, 1);
    }
}

TEST_F(TraceFile, RotationWhileAnotherProcessHoldsTheFileOpen)
{
    const std::wstring path = m_dir.Wide(L"held.log");
    const std::wstring tag = std::to_wstring(::GetCurrentProcessId());
    const std::wstring readyName = L"Local\\qztrace_test_ready_" + tag;
    const std::wstring goName = L"Local\\qztrace_test_go_" + tag;
    HANDLE ready = NamedEvent(readyName);
    HANDLE go = NamedEvent(goName);
    ASSERT_TRUE(ready && go);
    // The child writes 3 lines and keeps its handle open while this process
    // fills and rotates the file twice.
    HANDLE child =
        StartChild(L"trace_writer.exe", L"hold \"" + path + L"\" child 3 5 9 1000 " + readyName + L" " + goName);
    ASSERT_NE(nullptr, child);
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(ready, 60000));
    D_C_Support_SetRotation(9, 1000, 0);
    Open(path);
    for (int i = 0; i < 17; ++i)
        WriterLine("parent", i); // 3 + 7 lines fill the first file, 10 the next
    ::SetEvent(go);
    EXPECT_EQ(0u, WaitChild(child));
    ::CloseHandle(child);
    ::CloseHandle(ready);
    ::CloseHandle(go);

    // .2: child 0-2 and parent 0-6; .1: parent 7-16; current: child 3-7.
    WriterLines older;
    Collect(ReadAll(Numbered(path, 2)), &older);
    WriterLines old;
    Collect(ReadAll(Numbered(path, 1)), &old);
    WriterLines current;
    Collect(ReadAll(path), &current);
    EXPECT_TRUE(older.malformed.empty() && old.malformed.empty() && current.malformed.empty());
    EXPECT_EQ((std::vector<int>{0, 1, 2}), older.seqs["child"]);
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4, 5, 6}), older.seqs["parent"]);
    EXPECT_EQ((std::vector<int>{7, 8, 9, 10, 11, 12, 13, 14, 15, 16}), old.seqs["parent"]);
    EXPECT_TRUE(old.seqs["child"].empty());
    EXPECT_EQ((std::vector<int>{3, 4, 5, 6, 7}), current.seqs["child"]);
    EXPECT_TRUE(current.seqs["parent"].empty());
}

TEST_F(TraceFile, ProcessesRotatingOneFileLoseNoLine)
{
    const std::wstring path = m_dir.Wide(L"busy.log");
    const int kProcesses = 4;
    const int kLines = 1500;
    const std::wstring start = L"Local\\qztrace_test_rotstart_" + std::to_wstring(::GetCurrentProcessId());
    HANDLE startEvent = NamedEvent(start);
    ASSERT_NE(nullptr, startEvent);
    std::vector<HANDLE> children;
    // 6000 lines of 100 bytes in files of about 200 lines: about 30 rotations,
    // and enough files kept that none is dropped.
    for (int p = 0; p < kProcesses; ++p)
    {
        HANDLE child = StartChild(L"trace_writer.exe", L"lines \"" + path + L"\" q" + std::to_wstring(p) + L" " +
                                                           std::to_wstring(kLines) + L" 200 20000 " + start);
        ASSERT_NE(nullptr, child);
        children.push_back(child);
    }
    ::Sleep(200);
    ::SetEvent(startEvent);
    for (HANDLE child : children)
    {
        EXPECT_EQ(0u, WaitChild(child));
        ::CloseHandle(child);
    }
    ::CloseHandle(startEvent);

    WriterLines seen;
    int rotated = 0;
    for (int n = 200; n >= 1; --n)
    {
        if (Exists(Numbered(path, n)))
        {
            ++rotated;
            Collect(ReadAll(Numbered(path, n)), &seen);
        }
    }
    Collect(ReadAll(path), &seen);
    EXPECT_GE(rotated, 20);
    EXPECT_TRUE(seen.malformed.empty()) << seen.malformed.size() << " malformed";
    ASSERT_EQ(static_cast<size_t>(kProcesses), seen.seqs.size());
    for (const auto& w : seen.seqs)
    {
        // Oldest file first: each writer's lines come out in its own order.
        ASSERT_EQ(static_cast<size_t>(kLines), w.second.size()) << w.first;
        for (int i = 0; i < kLines; ++i)
            ASSERT_EQ(i, w.second[static_cast<size_t>(i)]) << w.first << " line " << i;
    }
}

TEST_F(TraceFile, ProcessEndingWhileAThreadWritesLeavesWholeLines)
{
    const std::wstring path = m_dir.Wide(L"exit.log");
    // This process keeps the file (and the state shared with the child) open.
    Open(path);
    const int kRuns = 5;
    for (int run = 0; run < kRuns; ++run)
    {
        HANDLE child = StartChild(L"trace_writer.exe", L"exit \"" + path + L"\"");
        ASSERT_NE(nullptr, child);
        EXPECT_EQ(0u, WaitChild(child, 60000)) << "run " << run;
        ::CloseHandle(child);

        // The killed thread may have held the file's append lock: the next
        // writer takes it over once it sees the holder is gone, well before it
        // would give up waiting.
        const DWORD start = ::GetTickCount();
        WriterLine("parent", run);
        EXPECT_LT(::GetTickCount() - start, 1500u) << "run " << run;
    }
    D_C_Support_SetD_File(nullptr, 0, 1);
    std::string text = ReadAll(path);
    WriterLines seen;
    int destructorLines = 0;
    for (const std::string& line : Lines(text))
    {
        if (line == "static destructor")
            ++destructorLines;
        else
            Collect(line + "\n", &seen);
    }
    EXPECT_EQ(kRuns, destructorLines);
    EXPECT_TRUE(seen.malformed.empty()) << seen.malformed.size() << " malformed, first: " << seen.malformed[0];
    EXPECT_EQ((std::vector<int>(kRuns, 0)), seen.seqs["main"]);
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4}), seen.seqs["parent"]);
    EXPECT_GT(seen.seqs["busy"].size(), static_cast<size_t>(kRuns));
}

TEST_F(TraceFile, SwitchingFilesWhileThreadsWriteLosesNoLine)
{
    const std::wstring a = m_dir.Wide(L"switch_a.log");
    const std::wstring b = m_dir.Wide(L"switch_b.log");
    Open(a);
    const int kThreads = 4;
    const int kLines = 1500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(
            [this, t]
            {
                for (int i = 0; i < kLines; ++i)
                    WriterLine("w" + std::to_string(t), i);
            });
    for (int i = 0; i < 200; ++i)
    {
        Open(i % 2 ? a : b);
        ::Sleep(1);
    }
    for (std::thread& t : threads)
        t.join();
    WriterLines seen;
    Collect(ReadAll(a) + ReadAll(b), &seen);
    EXPECT_TRUE(seen.malformed.empty()) << seen.malformed.size() << " malformed";
    ASSERT_EQ(static_cast<size_t>(kThreads), seen.seqs.size());
    for (auto& w : seen.seqs)
    {
        std::sort(w.second.begin(), w.second.end());
        ASSERT_EQ(static_cast<size_t>(kLines), w.second.size()) << w.first;
        for (int i = 0; i < kLines; ++i)
            ASSERT_EQ(i, w.second[static_cast<size_t>(i)]) << w.first;
    }
}

TEST_F(TraceFile, WriterStuckHoldingTheLockDelaysOthersOnlyOnce)
{
    const std::wstring path = m_dir.Wide(L"stuck.log");
    Open(path);
    HANDLE thread = nullptr;
    HANDLE child = StartChild(L"trace_writer.exe", L"lines \"" + path + L"\" busy 100000000 0 0 -", &thread);
    ASSERT_NE(nullptr, child);
    ::Sleep(500);
    // Suspended while it writes without pause, as under a debugger's
    // breakpoint: most of the time it holds the append lock.
    ASSERT_NE(static_cast<DWORD>(-1), ::SuspendThread(thread));
    DWORD slowest = 0;
    for (int i = 0; i < 5; ++i)
    {
        const DWORD start = ::GetTickCount();
        WriterLine("parent", i);
        const DWORD took = ::GetTickCount() - start;
        if (i > 0)
            slowest = std::max(slowest, took);
        EXPECT_LT(took, 5000u) << "line " << i;
    }
    EXPECT_LT(slowest, 1000u) << "every line waited for the stuck writer";
    ::TerminateProcess(child, 0);
    ::WaitForSingleObject(child, 10000);
    ::CloseHandle(thread);
    ::CloseHandle(child);
    D_C_Support_SetD_File(nullptr, 0, 1);

    WriterLines seen;
    Collect(ReadAll(path), &seen);
    EXPECT_TRUE(seen.malformed.empty()) << seen.malformed.size() << " malformed";
    EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4}), seen.seqs["parent"]);
}
