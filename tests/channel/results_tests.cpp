// Command results: the result block as the client writes it, the server's
// checks and answers in this process, and the round trip with the stand-in
// service answering from its own process.
#include "common/cust_cmd/cust_cmd.h"

#include "testing/harness/harness.h"
#include "testing/qz_agent/agent_protocol.h"
#include "testing/qz_agent/agent_service_control.h"
#include "tests/channel/channel_test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{

using qzchan::Bytes;
using qztest::AgentLogEntry;

const std::string kPid = std::to_string(::GetCurrentProcessId());

// The sender's side and the agent's side trace under their own class names.
qztest::TraceEntry ClientError(const std::string& text)
{
    return {QZT_ERROR, "CqzCustCmdResultClient", text};
}

qztest::TraceEntry ServerError(const std::string& text)
{
    return {QZT_ERROR, "CqzCustCmdResultServer", text};
}

struct Block
{
    LONGLONG address = 0;
    LONGLONG eventHandle = 0;
};

Block ReadBlock(const BYTE* data)
{
    Block block;
    std::memcpy(&block.address, data, 8);
    std::memcpy(&block.eventHandle, data + 8, 8);
    return block;
}

Bytes MakeBlock(LONGLONG address, LONGLONG eventHandle)
{
    Bytes bytes(16);
    std::memcpy(bytes.data(), &address, 8);
    std::memcpy(bytes.data() + 8, &eventHandle, 8);
    return bytes;
}

LONGLONG SignExtend(const void* p)
{
    return static_cast<LONGLONG>(reinterpret_cast<INT_PTR>(p));
}

// The sender's result DWORD as the block announces it (this process).
DWORD ResultAt(const Block& block)
{
    return *reinterpret_cast<const DWORD*>(static_cast<INT_PTR>(block.address));
}

// Writes the client's block into a 16-byte buffer.
Block BlockOf(CqzCustCmdResultClient& client)
{
    Bytes buffer(16, 0xCC);
    BYTE* pos = buffer.data();
    DWORD remaining = 16;
    EXPECT_TRUE(client.ToBuffer(pos, remaining));
    return ReadBlock(buffer.data());
}

// ---------------------------------------------------------------------------
// Client

TEST(ResultClient, ClientThatDoesNotWaitWritesTheMarker)
{
    struct Row
    {
        const char* name;
        int ctor; // 0: (false), 1: (NoWait, true), 2: (NoWait, false)
        DWORD initial;
    };
    const Row rows[] = {
        {"useEvent false", 0, ERROR_CALL_NOT_IMPLEMENTED},
        {"no-wait, flag set", 1, ERROR_CALL_NOT_IMPLEMENTED},
        {"no-wait, flag clear", 2, QZ_CIC_RESULT_NOT_SET},
    };
    for (const Row& row : rows)
    {
        CqzCustCmdResultClient waitingNot(false);
        CqzCustCmdResultClient noWaitSet(CqzCustCmdResultClient::NoWait(), true);
        CqzCustCmdResultClient noWaitClear(CqzCustCmdResultClient::NoWait(), false);
        CqzCustCmdResultClient& client = row.ctor == 0 ? waitingNot : row.ctor == 1 ? noWaitSet : noWaitClear;

        qztest::TraceCapture capture;
        Bytes buffer(20, 0xCC);
        BYTE* pos = buffer.data() + 2;
        DWORD remaining = 18;
        ASSERT_TRUE(client.ToBuffer(pos, remaining)) << row.name;
        EXPECT_EQ(buffer.data() + 18, pos) << row.name;
        EXPECT_EQ(2u, remaining) << row.name;
        const Block block = ReadBlock(buffer.data() + 2);
        EXPECT_EQ(0x00000000FFFFFFFFLL, block.eventHandle) << row.name;
        ASSERT_NE(0, block.address) << row.name;
        EXPECT_EQ(row.initial, ResultAt(block)) << row.name;
        EXPECT_EQ(0xCC, buffer[0]) << row.name;
        EXPECT_EQ(0xCC, buffer[18]) << row.name;

        // Nothing to initialise twice.
        pos = buffer.data();
        remaining = 16;
        EXPECT_TRUE(client.ToBuffer(pos, remaining)) << row.name;
        EXPECT_EQ(block.address, ReadBlock(buffer.data()).address) << row.name;

        DWORD result = 0xDEADBEEF;
        EXPECT_FALSE(client.WaitRes(0, result)) << row.name;
        EXPECT_EQ(0xDEADBEEFu, result) << row.name;
        EXPECT_EQ(qztest::TraceEntries{ClientError("ERROR: WaitRes called when useEvent is False")}, capture.Entries())
            << row.name;
    }
}

TEST(ResultClient, WaitingClientCreatesItsEventOnce)
{
    CqzCustCmdResultClient client;
    qztest::TraceCapture capture;
    Bytes buffer(32, 0xCC);
    BYTE* pos = buffer.data();
    DWORD remaining = 32;
    ASSERT_TRUE(client.ToBuffer(pos, remaining));
    const Block block = ReadBlock(buffer.data());
    EXPECT_EQ(ERROR_CALL_NOT_IMPLEMENTED, ResultAt(block));

    // The announced handle is an auto-reset event of this process, not
    // signalled, not inheritable, admitting LocalSystem alone.
    const HANDLE event = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(block.eventHandle));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(event, 0));
    DWORD flags = 0xFFFFFFFF;
    ASSERT_TRUE(::GetHandleInformation(event, &flags));
    EXPECT_EQ(0u, flags & HANDLE_FLAG_INHERIT);
    EXPECT_TRUE(qzchan::IsLocalSystemOnly(qzchan::DaclSddl(event))) << qzchan::DaclSddl(event);
    ASSERT_TRUE(::SetEvent(event));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(event, 0));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(event, 0)) << "auto-reset";

    // A second block would announce a second event: refused.
    BYTE* const before = pos;
    EXPECT_FALSE(client.ToBuffer(pos, remaining));
    EXPECT_EQ(before, pos);
    EXPECT_EQ(16u, remaining);
    EXPECT_EQ(std::vector<std::string>{}, capture.Lines());
}

TEST(ResultClient, ShortOrMissingBufferIsRefusedUntouched)
{
    {
        CqzCustCmdResultClient client;
        Bytes buffer(15, 0xCC);
        BYTE* pos = buffer.data();
        DWORD remaining = 15;
        EXPECT_FALSE(client.ToBuffer(pos, remaining));
        EXPECT_EQ(buffer.data(), pos);
        EXPECT_EQ(15u, remaining);
        EXPECT_EQ(Bytes(15, 0xCC), buffer);
        // The event was made on the way: the client has initialised.
        Bytes room(16);
        pos = room.data();
        remaining = 16;
        EXPECT_FALSE(client.ToBuffer(pos, remaining));
        EXPECT_EQ(16u, remaining);
    }
    {
        CqzCustCmdResultClient client(false);
        BYTE* pos = nullptr;
        DWORD remaining = 16;
        EXPECT_FALSE(client.ToBuffer(pos, remaining));
        EXPECT_EQ(16u, remaining);
    }
}

TEST(ResultClient, WaitResFailures)
{
    qztest::TraceCapture capture;
    DWORD result = 0xDEADBEEF;
    CqzCustCmdResultClient beforeBlock;
    EXPECT_FALSE(beforeBlock.WaitRes(0, result));

    CqzCustCmdResultClient unanswered;
    BlockOf(unanswered);
    ::SetLastError(0xDEADBEEF);
    EXPECT_FALSE(unanswered.WaitRes(0, result));
    EXPECT_EQ(0xDEADBEEFu, ::GetLastError());
    EXPECT_EQ(0xDEADBEEFu, result);
    EXPECT_EQ((qztest::TraceEntries{ClientError("ERROR: Event handle is Null"),
                                    ClientError("ERROR: WaitForSingleObject returned 258")}),
              capture.Entries());
}

// ---------------------------------------------------------------------------
// Server in this process

TEST(ResultServer, AnswersAWaitingClient)
{
    CqzCustCmdResultClient client;
    const Block block = BlockOf(client);
    const Bytes bytes = MakeBlock(block.address, block.eventHandle);

    qztest::TraceCapture capture;
    CqzCustCmdResultServer server(::GetCurrentProcessId());
    EXPECT_EQ(QZ_CIC_RESULT_NOT_SET, server.GetResult());
    const BYTE* pos = bytes.data();
    DWORD remaining = 16;
    ASSERT_TRUE(server.FromBuffer(pos, remaining));
    EXPECT_EQ(bytes.data() + 16, pos);
    EXPECT_EQ(0u, remaining);
    EXPECT_TRUE(server.UsesEvent());
    EXPECT_TRUE(server.SetResultReady(0xC0FFEE));
    EXPECT_EQ(0xC0FFEEu, ResultAt(block));

    DWORD result = 0;
    EXPECT_TRUE(client.WaitRes(0, result));
    EXPECT_EQ(0xC0FFEEu, result);
    EXPECT_EQ(std::vector<std::string>{}, capture.Lines());
}

TEST(ResultServer, ClientThatDoesNotWaitIsNotTouched)
{
    CqzCustCmdResultClient client(false);
    const Block block = BlockOf(client);
    const Bytes bytes = MakeBlock(block.address, block.eventHandle);

    qztest::TraceCapture capture;
    CqzCustCmdResultServer server(::GetCurrentProcessId());
    const BYTE* pos = bytes.data();
    DWORD remaining = 16;
    ASSERT_TRUE(server.FromBuffer(pos, remaining));
    EXPECT_FALSE(server.UsesEvent());
    EXPECT_TRUE(server.SetResultReady(77));
    EXPECT_EQ(77u, server.GetResult());
    EXPECT_EQ(ERROR_CALL_NOT_IMPLEMENTED, ResultAt(block));
    EXPECT_EQ(std::vector<std::string>{}, capture.Lines());
}

TEST(ResultServer, BlocksItRefuses)
{
    const DWORD self = ::GetCurrentProcessId();
    ::SetLastError(0xDEADBEEF);
    const bool openedZero = ::OpenProcess(PROCESS_DUP_HANDLE, FALSE, 0) != nullptr;
    const DWORD openZeroError = ::GetLastError();
    ASSERT_FALSE(openedZero);

    DWORD result = 0;
    struct Row
    {
        const char* name;
        DWORD pid;
        LONGLONG eventHandle;
        std::string line;
    };
    const Row rows[] = {
        {"event handle 0", self, 0, "ERROR: UseEvent is True but cmdResReadyEventHandle is null. LastError=1234"},
        {"no such process", 0, 0x44, "ERROR: OpenProcess(0) failed. LastError=" + std::to_string(openZeroError)},
        {"not a handle of the sender", self, 0x7FFC, "ERROR: DuplicateHandle(" + kPid + ") failed. LastError=6"},
        {"handle value beyond 32 bits", self, 0x100000004LL,
         "ERROR: DuplicateHandle(" + kPid + ") failed. LastError=6"},
    };
    for (const Row& row : rows)
    {
        const Bytes bytes = MakeBlock(SignExtend(&result), row.eventHandle);
        qztest::TraceCapture capture;
        CqzCustCmdResultServer server(row.pid);
        const BYTE* pos = bytes.data();
        DWORD remaining = 16;
        ::SetLastError(1234);
        EXPECT_FALSE(server.FromBuffer(pos, remaining)) << row.name;
        EXPECT_EQ(0u, remaining) << row.name << ": the block was read";
        EXPECT_TRUE(server.UsesEvent()) << row.name;
        EXPECT_EQ(qztest::TraceEntries{ServerError(row.line)}, capture.Entries()) << row.name;
        // Without its event the server answers no one.
        EXPECT_FALSE(server.SetResultReady(5)) << row.name;
    }

    // Short and missing blocks are not read at all.
    const Bytes bytes = MakeBlock(SignExtend(&result), 0xFFFFFFFF);
    CqzCustCmdResultServer server(self);
    const BYTE* pos = bytes.data();
    DWORD remaining = 15;
    EXPECT_FALSE(server.FromBuffer(pos, remaining));
    EXPECT_EQ(bytes.data(), pos);
    EXPECT_EQ(15u, remaining);
    pos = nullptr;
    remaining = 16;
    EXPECT_FALSE(server.FromBuffer(pos, remaining));
    EXPECT_EQ(16u, remaining);
}

TEST(ResultServer, AnswersItCannotDeliver)
{
    const DWORD self = ::GetCurrentProcessId();
    // An address this process cannot write at, and the error writing there
    // gives: the top of the address space, else the first page.
    void* unwritable = nullptr;
    DWORD writeError = 0;
    for (INT_PTR candidate : {static_cast<INT_PTR>(-65536), static_cast<INT_PTR>(0x10)})
    {
        SIZE_T written = 0;
        DWORD value = 1;
        if (!::WriteProcessMemory(::GetCurrentProcess(), reinterpret_cast<void*>(candidate), &value, 4, &written))
        {
            unwritable = reinterpret_cast<void*>(candidate);
            writeError = ::GetLastError();
            break;
        }
    }
    ASSERT_NE(nullptr, unwritable);
#ifdef _WIN64
    // Every 64-bit value is a pointer here: an address outside the user's
    // address space is written at, and fails as the system says.
    const LONGLONG beyond = static_cast<LONGLONG>(0x8000000000000000ULL);
    DWORD beyondError = 0;
    {
        SIZE_T written = 0;
        DWORD value = 1;
        ASSERT_FALSE(::WriteProcessMemory(::GetCurrentProcess(), reinterpret_cast<void*>(beyond), &value, 4, &written));
        beyondError = ::GetLastError();
    }
    const char* const beyondName = "address outside the address space";
#else
    // A 32-bit agent cannot even form the address: ERROR_INVALID_ADDRESS.
    const LONGLONG beyond = 0x100000000LL;
    const DWORD beyondError = ERROR_INVALID_ADDRESS;
    const char* const beyondName = "address beyond 32 bits";
#endif
    // A handle that is not an event, and the error signalling it gives.
    qztest::ScopedHandle mutex(::CreateMutexW(nullptr, FALSE, nullptr));
    ASSERT_FALSE(::SetEvent(mutex.Get()));
    const DWORD setError = ::GetLastError();
    qztest::ScopedHandle event(::CreateEventW(nullptr, FALSE, FALSE, nullptr));

    DWORD result = 0;
    struct Row
    {
        const char* name;
        LONGLONG address;
        HANDLE eventHandle;
        std::vector<std::string> lines;
    };
    const Row rows[] = {
        {"address 0", 0, event.Get(), {}},
        {beyondName,
         beyond,
         event.Get(),
         {"ERROR: WriteProcessMemory(" + kPid + ") failed. LastError=" + std::to_string(beyondError)}},
        {"unwritable address",
         SignExtend(unwritable),
         event.Get(),
         {"ERROR: WriteProcessMemory(" + kPid + ") failed. LastError=" + std::to_string(writeError)}},
        {"handle of a mutex",
         SignExtend(&result),
         mutex.Get(),
         {"ERROR: SetEvent() failed. LastError=" + std::to_string(setError)}},
    };
    for (const Row& row : rows)
    {
        const Bytes bytes = MakeBlock(row.address, SignExtend(row.eventHandle));
        CqzCustCmdResultServer server(self);
        const BYTE* pos = bytes.data();
        DWORD remaining = 16;
        ASSERT_TRUE(server.FromBuffer(pos, remaining)) << row.name;
        qztest::TraceCapture capture;
        EXPECT_FALSE(server.SetResultReady(9)) << row.name;
        EXPECT_EQ(qztest::EntriesOf(QZT_ERROR, "CqzCustCmdResultServer", row.lines), capture.Entries()) << row.name;
    }
    // The mutex row wrote its result before failing to signal.
    EXPECT_EQ(9u, result);
}

TEST(ResultServer, SecondBlockDoesNotReplaceTheFirst)
{
    CqzCustCmdResultClient first;
    CqzCustCmdResultClient second;
    const Block a = BlockOf(first);
    const Block b = BlockOf(second);
    Bytes both = MakeBlock(a.address, a.eventHandle);
    const Bytes more = MakeBlock(b.address, b.eventHandle);
    both.insert(both.end(), more.begin(), more.end());

    CqzCustCmdResultServer server(::GetCurrentProcessId());
    const BYTE* pos = both.data();
    DWORD remaining = 32;
    ASSERT_TRUE(server.FromBuffer(pos, remaining));
    EXPECT_FALSE(server.FromBuffer(pos, remaining));
    EXPECT_EQ(0u, remaining);
    EXPECT_TRUE(server.SetResultReady(31));
    DWORD result = 0;
    EXPECT_TRUE(first.WaitRes(0, result));
    EXPECT_EQ(31u, result);
    EXPECT_EQ(ERROR_CALL_NOT_IMPLEMENTED, ResultAt(b));
}

// ---------------------------------------------------------------------------
// Across processes: the stand-in service answers

class ResultsAcrossProcesses : public qzchan::RunningAgentTest
{
};

TEST_F(ResultsAcrossProcesses, SenderWaitsWhileTheAgentAnswers)
{
    CqzCustCmdResultClient client;
    const Bytes payload = qztest::BuildResultPayload(::GetCurrentProcessId(), qzagent::kAnswerHeld, 0xC0FFEE, client);
    ASSERT_EQ(28u, payload.size());
    ASSERT_TRUE(CqzCustCmdClient::SendData(qzagent::kCmdResult, 28, payload.data()));

    DWORD result = 0xDEADBEEF;
    {
        // Not answered yet.
        qztest::TraceCapture capture;
        EXPECT_FALSE(client.WaitRes(0, result));
        EXPECT_EQ(qztest::TraceEntries{ClientError("ERROR: WaitForSingleObject returned 258")}, capture.Entries());
        EXPECT_EQ(0xDEADBEEFu, result);
    }

    ASSERT_TRUE(CqzCustCmdClient::SendData(qzagent::kCmdAnswerHeld, 0, nullptr));
    EXPECT_TRUE(client.WaitRes(10000, result));
    EXPECT_EQ(0xC0FFEEu, result);

    const std::vector<AgentLogEntry> controls = NewControls();
    ASSERT_EQ(2u, controls.size());
    EXPECT_EQ("accepted", controls[0].Get("status")) << controls[0].raw;
    EXPECT_EQ(kPid, controls[0].Get("client_pid"));
    EXPECT_EQ("1", controls[0].Get("uses_event"));
    EXPECT_EQ("held", controls[0].Get("set_result"));
    EXPECT_EQ(1, controls[1].Number("answered")) << controls[1].raw;
    EXPECT_EQ(1, controls[1].Number("succeeded"));
}

TEST_F(ResultsAcrossProcesses, AnswerWrittenBeforeTheControlReturns)
{
    CqzCustCmdResultClient client;
    const Bytes payload = qztest::BuildResultPayload(::GetCurrentProcessId(), qzagent::kAnswerNow, 4242, client);
    ASSERT_TRUE(CqzCustCmdClient::SendData(qzagent::kCmdResult, static_cast<DWORD>(payload.size()), payload.data()));
    DWORD result = 0;
    EXPECT_TRUE(client.WaitRes(0, result));
    EXPECT_EQ(4242u, result);
    const std::vector<AgentLogEntry> controls = NewControls();
    ASSERT_EQ(1u, controls.size());
    EXPECT_EQ("true", controls[0].Get("set_result")) << controls[0].raw;
    EXPECT_EQ(4242, controls[0].Number("result"));
}

TEST_F(ResultsAcrossProcesses, ClientWithoutEventIsLeftAlone)
{
    ExpectNoWaitClientLeftAlone();
}

} // namespace
