// Several sender processes with several threads each send at once: the
// stand-in service receives every record, each whole, none mixed with
// another.
#include "common/cust_cmd/cust_cmd.h"

#include "testing/harness/harness.h"
#include "testing/qz_agent/agent_protocol.h"
#include "testing/qz_agent/agent_service_control.h"
#include "tests/channel/channel_test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace
{

using qztest::AgentLogEntry;

// As the sender computes it.
DWORD LoadBlockSize(unsigned process, unsigned thread, unsigned record)
{
    return (process * 977 + thread * 131 + record * 37) % 2048;
}

class ChannelLoad : public qzchan::RunningAgentTest
{
};

TEST_F(ChannelLoad, EveryRecordOfConcurrentSendersArrivesWhole)
{
    const unsigned kProcesses = 4;
    const unsigned kThreads = 4;
    const unsigned kPerThread = 130;
    const std::wstring goName = L"QzChannelLoadGo." + std::to_wstring(::GetCurrentProcessId());
    qztest::ScopedHandle go(::CreateEventW(nullptr, TRUE, FALSE, goName.c_str()));
    ASSERT_TRUE(go.IsValid());

    const std::wstring exe = qztest::BinDir() + L"\\qz_channel_sender.exe";
    // The senders' error lines, for a failure message.
    qztest::TempDir traces(L"qzload");
    const std::wstring tracePath = traces / L"sender.trace";
    ::SetEnvironmentVariableW(L"QZ_SENDER_TRACE", tracePath.c_str());
    std::vector<qztest::ProcessResult> results(kProcesses);
    std::vector<std::thread> runners;
    for (unsigned p = 0; p < kProcesses; ++p)
    {
        runners.emplace_back(
            [&, p]
            {
                qztest::RunOptions options;
                options.timeoutMs = 300000;
                results[p] = qztest::RunProcess(exe,
                                                qztest::QuoteArg(exe) + L" load " + std::to_wstring(p) + L" " +
                                                    std::to_wstring(kThreads) + L" " + std::to_wstring(kPerThread) +
                                                    L" " + goName,
                                                options);
            });
    }
    // Let the senders reach their wait; a late one finds the event set.
    ::Sleep(300);
    const ULONGLONG start = ::GetTickCount64();
    ::SetEvent(go.Get());
    for (std::thread& runner : runners)
        runner.join();
    const ULONGLONG elapsedMs = ::GetTickCount64() - start;

    for (unsigned p = 0; p < kProcesses; ++p)
    {
        ASSERT_TRUE(results[p].started && results[p].finished) << "sender " << p << ": error " << results[p].error;
        EXPECT_EQ(0u, results[p].exitCode) << "sender " << p << ": failed sends";
    }
    ::SetEnvironmentVariableW(L"QZ_SENDER_TRACE", nullptr);
    EXPECT_EQ("", qztest::ReadTextFile(tracePath)) << "the senders' error lines";

    // What each record must look like, by tag.
    std::map<std::string, std::vector<BYTE>> expected;
    for (unsigned p = 0; p < kProcesses; ++p)
        for (unsigned t = 0; t < kThreads; ++t)
            for (unsigned n = 0; n < kPerThread; ++n)
            {
                const std::wstring tag =
                    L"p" + std::to_wstring(p) + L"t" + std::to_wstring(t) + L"n" + std::to_wstring(n);
                expected[qztest::ToUtf8(tag)] = qztest::BuildLoadPayload(tag, LoadBlockSize(p, t, n));
            }

    const std::vector<AgentLogEntry> controls = NewControls();
    ASSERT_EQ(expected.size(), controls.size());
    std::map<std::string, int> seen;
    for (const AgentLogEntry& e : controls)
    {
        const std::string tag = e.Get("tag");
        ++seen[tag];
        const auto it = expected.find(tag);
        ASSERT_NE(expected.end(), it) << e.raw;
        ASSERT_EQ("accepted", e.Get("status")) << e.raw;
        ASSERT_EQ("1", e.Get("whole")) << e.raw;
        ASSERT_EQ("zero", e.Get("tail")) << e.raw;
        ASSERT_EQ("held", e.Get("mutex")) << e.raw;
        ASSERT_EQ(static_cast<long long>(it->second.size()), e.Number("len")) << e.raw;
        ASSERT_EQ(static_cast<long long>(qzagent::Crc32(it->second.data(), it->second.size())), e.Number("crc"))
            << e.raw;
    }
    for (const auto& entry : seen)
        EXPECT_EQ(1, entry.second) << entry.first << " arrived more than once";

    std::printf("[ load     ] %u records from %u processes x %u threads in %llu ms (%.0f records/s)\n",
                static_cast<unsigned>(controls.size()), kProcesses, kThreads,
                static_cast<unsigned long long>(elapsedMs),
                elapsedMs ? 1000.0 * static_cast<double>(controls.size()) / static_cast<double>(elapsedMs) : 0.0);
    RecordProperty("records", static_cast<int>(controls.size()));
    RecordProperty("elapsed_ms", static_cast<int>(elapsedMs));
}

} // namespace
