// CqzProcessHandle's thread walk and main-thread choice on a child with two
// threads.
#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>
#include <tlhelp32.h>

#include <map>
#include <string>
#include <vector>

#include "common/security/security.h"
#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"
#include "tests/process/process_test_util.h"

using qzproc::Child;
using qzproc::ProbePath;
using qztest::TraceEntries;

namespace
{

const char* const kClass = "CqzProcessHandle";

// The child's thread ids in the order a Toolhelp walk lists them: the oracle.
std::vector<DWORD> ToolhelpThreads(DWORD pid)
{
    std::vector<DWORD> threads;
    qztest::ScopedHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Thread32First(snapshot.Get(), &entry); more; more = ::Thread32Next(snapshot.Get(), &entry))
    {
        if (entry.th32OwnerProcessID == pid)
            threads.push_back(entry.th32ThreadID);
        entry.dwSize = sizeof entry;
    }
    return threads;
}

bool Collect(DWORD threadId, void* context)
{
    static_cast<std::vector<DWORD>*>(context)->push_back(threadId);
    return true;
}

bool CollectOne(DWORD threadId, void* context)
{
    static_cast<std::vector<DWORD>*>(context)->push_back(threadId);
    return false;
}

// A running probe that has started its second thread.
class TwoThreadsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const std::wstring name = L"qz_process_threads_" + std::to_wstring(::GetCurrentProcessId());
        m_event.Reset(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
        ASSERT_TRUE(m_event);
        m_child.reset(new Child(ProbePath(), qztest::QuoteArg(ProbePath()) + L" threads " + name, 0));
        ASSERT_TRUE(m_child->Started()) << m_child->Error();
        ASSERT_EQ(::WaitForSingleObject(m_event.Get(), 30000), WAIT_OBJECT_0);
        m_threads = ToolhelpThreads(m_child->Pid());
        ASSERT_GE(m_threads.size(), 2u);
    }

    qztest::ScopedHandle m_event;
    std::unique_ptr<Child> m_child;
    std::vector<DWORD> m_threads;
};

TEST_F(TwoThreadsTest, EnumThreadsListsEveryThreadAndStopsWhenAsked)
{
    std::vector<DWORD> seen;
    ASSERT_TRUE(CqzProcessHandle::EnumThreads(m_child->Pid(), &Collect, &seen));
    EXPECT_EQ(seen, m_threads);
    std::vector<DWORD> first;
    ASSERT_TRUE(CqzProcessHandle::EnumThreads(m_child->Pid(), &CollectOne, &first));
    EXPECT_EQ(first, std::vector<DWORD>{m_threads.front()});
    EXPECT_EQ(CqzProcessHandle::GetMainThreadId(m_child->Pid()), m_child->Tid());
}

// Wine gives every thread its own creation time; equal times, and a thread
// whose times cannot be read, come from a stand-in for GetThreadTimes that
// answers from a table.
std::map<DWORD, ULONGLONG> s_creationTimes;
BOOL WINAPI TableGetThreadTimes(HANDLE thread, FILETIME* created, FILETIME* exited, FILETIME* kernel, FILETIME* user)
{
    const auto found = s_creationTimes.find(::GetThreadId(thread));
    if (found == s_creationTimes.end() || found->second == 0)
    {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    created->dwLowDateTime = static_cast<DWORD>(found->second);
    created->dwHighDateTime = static_cast<DWORD>(found->second >> 32);
    *exited = *kernel = *user = FILETIME();
    return TRUE;
}

TEST_F(TwoThreadsTest, EarliestCreationWinsAndTheFirstListedOnATie)
{
    const DWORD first = m_threads[0], second = m_threads[1];
    struct Row
    {
        const char* name;
        ULONGLONG firstTime, secondTime; // 0: GetThreadTimes fails
        DWORD expected;
        size_t warnings;
    } rows[] = {
        {"equal times: the one listed first", 500, 500, first, 0},
        {"the second is earlier", 500, 400, second, 0},
        {"the first is earlier", 400, 500, first, 0},
        {"the first cannot be read", 0, 500, second, 1},
        {"neither can be read", 0, 0, 0, 2},
    };
    qztest::IatHook hook("kernel32.dll", "GetThreadTimes", reinterpret_cast<void*>(&TableGetThreadTimes));
    ASSERT_TRUE(hook.Installed());
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        s_creationTimes.clear();
        for (DWORD tid : m_threads)
            s_creationTimes[tid] = 900; // any further threads come later
        s_creationTimes[first] = row.firstTime;
        s_creationTimes[second] = row.secondTime;
        if (row.expected == 0)
            for (auto& entry : s_creationTimes)
                entry.second = 0;
        qztest::TraceCapture capture;
        EXPECT_EQ(CqzProcessHandle::GetMainThreadId(m_child->Pid()), row.expected);
        TraceEntries expected;
        for (size_t i = 0; i < (row.expected == 0 ? m_threads.size() : row.warnings); ++i)
            expected.push_back({QZT_WARNING, kClass, "WARNING: GetThreadTimes failed. LastError=5"});
        if (row.expected == 0)
            expected.push_back(
                {QZT_WARNING, kClass, "WARNING: No threads found for PID " + std::to_string(m_child->Pid())});
        EXPECT_EQ(capture.Entries(), expected);
    }
}

TEST(ProcessThreads, MissingProcessAndNullCallback)
{
    const DWORD pid = 0x7FFFFFF0;
    qztest::TraceCapture capture;
    std::vector<DWORD> seen;
    EXPECT_TRUE(CqzProcessHandle::EnumThreads(pid, &Collect, &seen));
    EXPECT_TRUE(seen.empty());
    EXPECT_FALSE(CqzProcessHandle::EnumThreads(pid, nullptr, nullptr));
    EXPECT_EQ(CqzProcessHandle::GetMainThreadId(pid), 0u);
    EXPECT_EQ(CqzProcessHandle::OpenMainThread(pid, THREAD_QUERY_INFORMATION, false), nullptr);
    const std::string text = std::to_string(pid);
    EXPECT_EQ(capture.Entries(), (TraceEntries{
                                     {QZT_ERROR, kClass, "ERROR: pfnEnumProc is NULL"},
                                     {QZT_WARNING, kClass, "WARNING: No threads found for PID " + text},
                                     {QZT_WARNING, kClass, "WARNING: No threads found for PID " + text},
                                     {QZT_ERROR, kClass, "ERROR: Failed to get main thread id. PID=" + text},
                                 }));
}

TEST(ProcessThreads, OpenMainThreadFailureNamesTheAccess)
{
    // A child whose main thread grants everyone the query access only: the
    // main thread is found, and opening it to terminate fails with 5.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const std::wstring sddl = L"D:P(A;;" + std::to_wstring(CqzProcessHandle::GetThreadQueryAccess()) + L";;;WD)";
    ASSERT_TRUE(
        ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr));
    CqzScopedLocal<void> descriptorHolder(descriptor);
    SECURITY_ATTRIBUTES threadAttributes = {sizeof threadAttributes, descriptor, FALSE};
    std::wstring commandLine = qztest::QuoteArg(ProbePath()) + L" wait";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    ASSERT_TRUE(::CreateProcessW(ProbePath().c_str(), &commandLine[0], nullptr, &threadAttributes, FALSE,
                                 CREATE_SUSPENDED, nullptr, nullptr, &startup, &info));
    qztest::ScopedHandle process(info.hProcess), thread(info.hThread);

    qztest::TraceCapture capture;
    HANDLE opened = CqzProcessHandle::OpenMainThread(info.dwProcessId, THREAD_TERMINATE, true);
    ::TerminateProcess(info.hProcess, 0);
    if (opened != nullptr)
        ::CloseHandle(opened);
    EXPECT_EQ(opened, nullptr);
    EXPECT_EQ(capture.Entries(), (TraceEntries{{QZT_ERROR, kClass,
                                                "ERROR: OpenThread(1, 1, " + std::to_string(info.dwProcessId) +
                                                    ") failed. LastError=5"}}));
}

} // namespace
