// A 32-bit sender and the 64-bit agent: the command record and the result
// block cross the bitness boundary unchanged. Runs in the x86 build on 64-bit
// Windows (WOW64), with the agent service stand-in of the x64 build beside
// this one; elsewhere it says why it cannot run.
#include "common/cust_cmd/cust_cmd.h"

#include "qz_runtime.h"
#include "testing/harness/harness.h"
#include "testing/qz_agent/agent_protocol.h"
#include "testing/qz_agent/agent_service_control.h"
#include "tests/channel/channel_test_util.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{

using qzchan::Bytes;
using qztest::AgentLogEntry;

// The x64 build's binary directory when the builds lie side by side
// (<root>\x86\bin and <root>\x64\bin, as the test script lays them out).
std::wstring PeerX64BinDir()
{
    std::wstring dir = qztest::BinDir();
    for (int up = 0; up < 2; ++up)
    {
        const size_t slash = dir.find_last_of(L"\\/");
        if (slash == std::wstring::npos)
            return L"";
        dir.erase(slash);
    }
    return dir + L"\\x64\\bin";
}

std::vector<std::wstring> PeerFiles()
{
    std::vector<std::wstring> files = {qzagent::kExeName, L"qztrace.dll"};
    for (const wchar_t* dll : {QZ_X64_RUNTIME_DLL_NAMES})
        files.push_back(dll);
    return files;
}

// Why this process cannot host the exchange; empty when it can.
std::string WhyNotHere()
{
    if (sizeof(void*) != 4)
        return "the sender of this suite is the 32-bit launcher's code; this is the 64-bit build";
    BOOL wow64 = FALSE;
    if (!::IsWow64Process(::GetCurrentProcess(), &wow64) || !wow64)
        return "32-bit Windows runs no 64-bit agent";
    if (!qztest::FileExists(PeerX64BinDir() + L"\\" + qzagent::kExeName))
        return "no x64 build beside this one (" + qztest::ToUtf8(PeerX64BinDir()) + ")";
    return "";
}

std::string Hex64(LONGLONG value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "0x%016llX", static_cast<unsigned long long>(value));
    return text;
}

LONGLONG BlockField(const Bytes& payload, size_t offset)
{
    LONGLONG value = 0;
    std::memcpy(&value, payload.data() + offset, sizeof(value));
    return value;
}

class CrossBitness : public qzchan::RunningAgentTest
{
public:
    static void SetUpTestSuite()
    {
        if (WhyNotHere().empty())
            StartAgentFrom(PeerX64BinDir(), PeerFiles());
    }

protected:
    void SetUp() override
    {
        const std::string why = WhyNotHere();
        if (!why.empty())
            GTEST_SKIP() << why;
        RunningAgentTest::SetUp();
    }
};

TEST_F(CrossBitness, TheAgentIsA64BitProcess)
{
    // The stand-in's image really is the x64 build's.
    const std::string image = qztest::ReadTextFile(Install().BinDir() + L"\\" + qzagent::kExeName);
    ASSERT_GT(image.size(), sizeof(IMAGE_DOS_HEADER));
    LONG peAt = 0;
    std::memcpy(&peAt, image.data() + offsetof(IMAGE_DOS_HEADER, e_lfanew), sizeof(peAt));
    ASSERT_LT(static_cast<size_t>(peAt) + 6, image.size());
    WORD machine = 0;
    std::memcpy(&machine, image.data() + peAt + 4, sizeof(machine));
    EXPECT_EQ(IMAGE_FILE_MACHINE_AMD64, machine);
}

TEST_F(CrossBitness, RecordsArriveUnchanged)
{
    const struct
    {
        const char* name;
        DWORD commandId;
        Bytes payload;
    } rows[] = {
        {"exit notification of this process", QZ_CIC_NOTIFY_QZELEVATE_EXIT,
         qzchan::ExitNotificationPayload(::GetCurrentProcessId())},
        {"one byte", 7, {0xAB}},
        {"8176 bytes, the largest", 0x56, Bytes(8176, 0x5A)},
    };
    for (const auto& row : rows)
    {
        MarkLog();
        ASSERT_TRUE(
            CqzCustCmdClient::SendData(row.commandId, static_cast<DWORD>(row.payload.size()), row.payload.data()))
            << row.name;
        const std::vector<AgentLogEntry> controls = NewControls();
        ASSERT_EQ(1u, controls.size()) << row.name;
        const AgentLogEntry& e = controls[0];
        EXPECT_EQ("accepted", e.Get("status")) << row.name << ": " << e.raw;
        EXPECT_EQ("0x1D7C", e.Get("magic")) << row.name;
        EXPECT_EQ(static_cast<long long>(row.commandId), e.Number("cmd")) << row.name;
        EXPECT_EQ(static_cast<long long>(row.payload.size()), e.Number("len")) << row.name;
        EXPECT_EQ(static_cast<long long>(qzagent::Crc32(row.payload.data(), row.payload.size())), e.Number("crc"))
            << row.name;
        if (row.commandId == QZ_CIC_NOTIFY_QZELEVATE_EXIT)
        {
            EXPECT_EQ(static_cast<long long>(::GetCurrentProcessId()), e.Number("pid")) << row.name;
        }
    }
}

// The 64-bit agent writes the answer into this 32-bit process's memory at the
// sign-extended address and signals the duplicated event.
TEST_F(CrossBitness, ResultBlockIsAnsweredWithAndWithoutWaiting)
{
    const struct
    {
        const char* name;
        DWORD mode;
        DWORD answer;
    } rows[] = {
        {"answered inside the control", qzagent::kAnswerNow, 4242},
        {"answered later", qzagent::kAnswerHeld, 0xC0FFEE},
    };
    for (const auto& row : rows)
    {
        MarkLog();
        CqzCustCmdResultClient client;
        const Bytes payload = qztest::BuildResultPayload(::GetCurrentProcessId(), row.mode, row.answer, client);
        ASSERT_EQ(28u, payload.size()) << row.name;
        ASSERT_TRUE(CqzCustCmdClient::SendData(qzagent::kCmdResult, 28, payload.data())) << row.name;
        if (row.mode == qzagent::kAnswerHeld)
        {
            ASSERT_TRUE(CqzCustCmdClient::SendData(qzagent::kCmdAnswerHeld, 0, nullptr)) << row.name;
        }
        DWORD result = 0xDEADBEEF;
        EXPECT_TRUE(client.WaitRes(10000, result)) << row.name;
        EXPECT_EQ(row.answer, result) << row.name;

        const std::vector<AgentLogEntry> controls = NewControls();
        ASSERT_LE(1u, controls.size()) << row.name;
        const AgentLogEntry& e = controls[0];
        EXPECT_EQ("accepted", e.Get("status")) << row.name << ": " << e.raw;
        EXPECT_EQ(std::to_string(::GetCurrentProcessId()), e.Get("client_pid")) << row.name;
        // The agent read both 64-bit fields exactly as this sender wrote them.
        EXPECT_EQ(Hex64(BlockField(payload, 12)), e.Get("address")) << row.name;
        EXPECT_EQ(Hex64(BlockField(payload, 20)), e.Get("event_handle")) << row.name;
        EXPECT_EQ("1", e.Get("uses_event")) << row.name;
    }
}

TEST_F(CrossBitness, ClientThatDoesNotWaitIsLeftAlone)
{
    ExpectNoWaitClientLeftAlone();
}

} // namespace
