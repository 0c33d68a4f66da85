// The agent service stand-in itself: it refuses to run outside the service
// manager, owns the channel mutex with the senders' rights, and refuses every
// malformed record with a reason while it keeps running; its decoding never
// reads past the section, whatever the section holds.
#include "testing/qz_agent/agent_record_handler.h"

#include "common/cust_cmd/cust_cmd.h"
#include "testing/harness/harness.h"
#include "testing/qz_agent/agent_protocol.h"
#include "testing/qz_agent/agent_service_control.h"
#include "tests/channel/channel_test_util.h"
#include "testing/harness/guarded_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace
{

using qzchan::Bytes;
using qzchan::Le32;
using qztest::AgentLogEntry;

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes Header(DWORD magic, DWORD commandId, DWORD dataLen)
{
    return Cat({Le32(magic), Le32(commandId), Le32(dataLen)});
}

Bytes Utf16(const std::wstring& text)
{
    Bytes bytes;
    for (wchar_t c : text)
    {
        bytes.push_back(static_cast<BYTE>(c));
        bytes.push_back(static_cast<BYTE>(c >> 8));
    }
    return bytes;
}

// A string field of that text, terminator included.
Bytes StringField(const std::wstring& text)
{
    return Cat({Le32(static_cast<DWORD>(text.size() * 2 + 2)), Utf16(text), Bytes{0, 0}});
}

// A whole record: header with the payload's own length, then the payload.
Bytes Record(DWORD commandId, const Bytes& payload)
{
    return Cat({Header(QZ_CIC_RECORD_MAGIC, commandId, static_cast<DWORD>(payload.size())), payload});
}

const std::wstring kXmlHead = L"<?xml version=\"1.0\" encoding=\"utf-16\"?><XML><PID>";
const std::wstring kXmlTail = L"</PID></XML>";

TEST(AgentStandIn, StartedDirectlyExitsWith1063)
{
    const std::wstring exe = qztest::BinDir() + L"\\qz_agent.exe";
    const qztest::ProcessResult result = qztest::RunProcess(exe, qztest::QuoteArg(exe));
    ASSERT_TRUE(result.started && result.finished) << result.error;
    EXPECT_EQ(static_cast<DWORD>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), result.exitCode);
}

class RunningStandIn : public qzchan::RunningAgentTest
{
};

TEST_F(RunningStandIn, OwnsTheMutexWithTheSendersRights)
{
    const std::vector<AgentLogEntry> all = Service().ReadLog();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ("start", all[0].Get("event")) << all[0].raw;
    EXPECT_EQ("created", all[0].Get("mutex")) << all[0].raw;

    qztest::ScopedHandle mutex(::OpenMutexW(READ_CONTROL | SYNCHRONIZE, FALSE, QZ_CIC_MUTEX_NAME));
    ASSERT_TRUE(mutex.IsValid()) << ::GetLastError();
    const std::string sddl = qzchan::DaclSddl(mutex.Get());
    // Everyone may wait for it and release it, and nothing more.
    EXPECT_NE(std::string::npos, sddl.find("(A;;0x100001;;;WD)")) << sddl;
    EXPECT_EQ(std::string::npos, sddl.find("GA;;;WD")) << sddl;
}

struct MalformedRow
{
    const char* name;
    Bytes bytes;
    DWORD sectionSize;
    const char* reason;
    std::string trace; // the readers' lines, joined with " | "; "*" for any
};

TEST_F(RunningStandIn, MalformedRecordsAreRefusedWithTheirReason)
{
    const DWORD self = ::GetCurrentProcessId();
    const Bytes xml = StringField(kXmlHead + L"12" + kXmlTail);
    const MalformedRow rows[] = {
        {"other magic", Header(0x1D7D, 10, 0), 0x2000, "bad magic", ""},
        {"empty section", {}, 0x2000, "bad magic", ""},
        {"length 8177", Header(QZ_CIC_RECORD_MAGIC, 10, 8177), 0x2000, "data length above 8176", ""},
        {"length 0xFFFFFFFF", Header(QZ_CIC_RECORD_MAGIC, 10, 0xFFFFFFFF), 0x2000, "data length above 8176", ""},
        {"section of one page", Record(10, xml), 0x1000, "region below 8192 bytes", ""},
        {"exit: no payload", Record(10, {}), 0x2000, "string field unreadable",
         "ERROR: Cannot deserialize string. Remaining buffer size is less than sizeof(DWORD)."},
        {"exit: 2 bytes", Record(10, {4, 0}), 0x2000, "string field unreadable",
         "ERROR: Cannot deserialize string. Remaining buffer size is less than sizeof(DWORD)."},
        {"exit: string longer than the payload", Record(10, Cat({Le32(100), Bytes(8, 0x41)})), 0x2000,
         "string field unreadable",
         "ERROR: Cannot deserialize string. Remaining buffer size is less string byte length."},
        {"exit: count 0xFFFFFFFF", Record(10, Cat({Le32(0xFFFFFFFF), Bytes(8, 0x41)})), 0x2000,
         "string field unreadable",
         "ERROR: Cannot deserialize string. Remaining buffer size is less string byte length."},
        {"exit: bytes after the text", Record(10, Cat({xml, Le32(0)})), 0x2000, "bytes after the text", ""},
        {"exit: not the exit text", Record(10, StringField(L"<XML><PID>12</PID></XML>")), 0x2000,
         "not an exit notification text", ""},
        {"exit: letters for the id", Record(10, StringField(kXmlHead + L"12a" + kXmlTail)), 0x2000,
         "not an exit notification text", ""},
        {"exit: 11 digits", Record(10, StringField(kXmlHead + L"12345678901" + kXmlTail)), 0x2000,
         "not an exit notification text", ""},
        {"exit: above 32 bits", Record(10, StringField(kXmlHead + L"4294967296" + kXmlTail)), 0x2000,
         "not an exit notification text", ""},
        {"exit: empty text", Record(10, Le32(0)), 0x2000, "not an exit notification text", ""},
        {"result: header cut short", Record(qzagent::kCmdResult, Cat({Le32(self), Le32(0)})), 0x2000,
         "result request header unreadable", "ERROR: Cannot deserialize 4 bytes. Remaining buffer size is 0 bytes"},
        {"result: block cut short", Record(qzagent::kCmdResult, Cat({Le32(self), Le32(0), Le32(1), Bytes(15, 1)})),
         0x2000, "result block refused", ""},
        {"result: event handle 0",
         Record(qzagent::kCmdResult, Cat({Le32(self), Le32(0), Le32(1), Bytes(8, 0x10), Bytes(8, 0)})), 0x2000,
         "result block refused", "*UseEvent is True but cmdResReadyEventHandle is null."},
        {"result: sender 0",
         Record(qzagent::kCmdResult, Cat({Le32(0), Le32(0), Le32(1), Bytes(8, 0x10), Le32(0x44), Le32(0)})), 0x2000,
         "result block refused", "*ERROR: OpenProcess(0) failed."},
        {"load: block count beyond the payload",
         Record(qzagent::kCmdLoad, Cat({StringField(L"t"), Le32(0xFFFFFFF0), Bytes(3, 0)})), 0x2000,
         "load fields unreadable", "ERROR: Cannot deserialize 4294967280 bytes. Remaining buffer size is 3 bytes"},
    };
    for (const MalformedRow& row : rows)
    {
        MarkLog();
        const qztest::RawSendResult sent = qztest::SendRawSection(row.bytes, row.sectionSize);
        ASSERT_TRUE(sent.sent) << row.name << ": " << sent.step << " failed with " << sent.error;
        const std::vector<AgentLogEntry> controls = NewControls();
        ASSERT_EQ(1u, controls.size()) << row.name;
        const AgentLogEntry& e = controls[0];
        EXPECT_EQ("refused", e.Get("status")) << row.name << ": " << e.raw;
        EXPECT_EQ(row.reason, e.Get("reason")) << row.name << ": " << e.raw;
        if (!row.trace.empty() && row.trace[0] == '*')
            EXPECT_NE(std::string::npos, e.Get("trace").find(row.trace.substr(1))) << row.name << ": " << e.raw;
        else
            EXPECT_EQ(row.trace, e.Get("trace")) << row.name << ": " << e.raw;
    }
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), qztest::QueryAgentServiceState());
}

TEST_F(RunningStandIn, LoadRecordOfAnotherTagIsRefused)
{
    // The pattern of "other" under the tag "mine": the mix of two senders.
    Bytes payload = qztest::BuildLoadPayload(L"mine", 40);
    const Bytes foreign = qztest::BuildLoadPayload(L"other", 40);
    std::copy(foreign.end() - 40, foreign.end(), payload.end() - 40);
    ASSERT_TRUE(qztest::SendRawSection(Record(qzagent::kCmdLoad, payload)).sent);
    const std::vector<AgentLogEntry> controls = NewControls();
    ASSERT_EQ(1u, controls.size());
    EXPECT_EQ("refused", controls[0].Get("status"));
    EXPECT_EQ("block does not match its tag", controls[0].Get("reason"));
    EXPECT_EQ("0", controls[0].Get("whole"));
    EXPECT_EQ("mine", controls[0].Get("tag"));
}

TEST_F(RunningStandIn, BytesAfterTheRecordAreReported)
{
    Bytes bytes = Record(0x55, {1, 2, 3});
    bytes.resize(200, 0);
    bytes[150] = 0x7F;
    ASSERT_TRUE(qztest::SendRawSection(bytes).sent);
    const std::vector<AgentLogEntry> controls = NewControls();
    ASSERT_EQ(1u, controls.size());
    EXPECT_EQ("accepted", controls[0].Get("status"));
    EXPECT_EQ("dirty", controls[0].Get("tail"));
    EXPECT_EQ("010203", controls[0].Get("hex"));
}

TEST_F(RunningStandIn, ControlWithoutASectionIsRefused)
{
    EXPECT_EQ(0u, qztest::SendBareControl());
    const std::vector<AgentLogEntry> controls = NewControls();
    ASSERT_EQ(1u, controls.size());
    EXPECT_EQ("none", controls[0].Get("section"));
    EXPECT_EQ("no section", controls[0].Get("reason"));
    EXPECT_EQ(static_cast<long long>(ERROR_FILE_NOT_FOUND), controls[0].Number("global_error"));
    EXPECT_EQ(static_cast<long long>(ERROR_FILE_NOT_FOUND), controls[0].Number("local_error"));
}

// ---------------------------------------------------------------------------
// Random records

// Starts from a well-formed record and breaks it: flipped bits, overwritten
// length fields, cut payloads. Never the result commands: a random process id
// and address there would have the stand-in write into some process.
Bytes RandomRecord(std::mt19937& random)
{
    std::uniform_int_distribution<int> pick(0, 99);
    Bytes payload;
    DWORD commandId = 0;
    switch (pick(random) % 3)
    {
    case 0:
        commandId = QZ_CIC_NOTIFY_QZELEVATE_EXIT;
        payload = StringField(kXmlHead + std::to_wstring(random()) + kXmlTail);
        break;
    case 1:
        commandId = qzagent::kCmdLoad;
        payload = qztest::BuildLoadPayload(L"r" + std::to_wstring(random() % 1000), random() % 300);
        break;
    default:
        commandId = random();
        payload.resize(random() % 600);
        for (BYTE& b : payload)
            b = static_cast<BYTE>(random());
        break;
    }
    Bytes record = Record(commandId, payload);
    const int mutations = pick(random) % 6;
    for (int m = 0; m < mutations && !record.empty(); ++m)
    {
        const size_t at = random() % record.size();
        switch (pick(random) % 5)
        {
        case 0:
            record[at] ^= static_cast<BYTE>(1u << (random() % 8));
            break;
        case 1:
            record[at] = static_cast<BYTE>(random());
            break;
        case 2:
        {
            // A length: the header's or a field's in the payload.
            size_t field = 8;
            if (pick(random) % 2 == 0 && record.size() > 16)
                field = 12 + random() % (record.size() - 15);
            const DWORD value = pick(random) < 50 ? static_cast<DWORD>(random()) : random() % 9000;
            if (field + 4 <= record.size())
                std::copy_n(Le32(value).begin(), 4, record.begin() + static_cast<std::ptrdiff_t>(field));
            break;
        }
        case 3:
            record.resize(at);
            break;
        default:
            record.insert(record.begin() + static_cast<std::ptrdiff_t>(at), static_cast<BYTE>(random()));
            break;
        }
    }
    // Keep the result commands out (see above).
    if (record.size() >= 8)
    {
        DWORD id = 0;
        std::copy_n(record.begin() + 4, 4, reinterpret_cast<BYTE*>(&id));
        if (id == qzagent::kCmdResult || id == qzagent::kCmdAnswerHeld || id == qzagent::kCmdWatchRelease)
            record[4] ^= 0x80;
    }
    if (record.size() > QZ_CIC_SECTION_SIZE)
        record.resize(QZ_CIC_SECTION_SIZE);
    return record;
}

TEST_F(RunningStandIn, RandomRecordsNeverStopTheService)
{
    std::mt19937 random(20240607);
    const int kRecords = 600;
    int refused = 0;
    for (int i = 0; i < kRecords; ++i)
    {
        const qztest::RawSendResult sent = qztest::SendRawSection(RandomRecord(random));
        ASSERT_TRUE(sent.sent) << "record " << i << ": " << sent.step << " failed with " << sent.error;
    }
    const std::vector<AgentLogEntry> controls = NewControls();
    ASSERT_EQ(static_cast<size_t>(kRecords), controls.size());
    for (size_t i = 0; i < controls.size(); ++i)
    {
        const std::string status = controls[i].Get("status");
        ASSERT_TRUE(status == "accepted" || status == "refused") << "record " << i << ": " << controls[i].raw;
        ASSERT_FALSE(controls[i].Get("reason").find("exception") == 0) << controls[i].raw;
        refused += status == "refused";
    }
    EXPECT_GT(refused, kRecords / 4);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), qztest::QueryAgentServiceState());

    // And it still takes a good record.
    MarkLog();
    const Bytes good = {5, 6, 7};
    EXPECT_TRUE(CqzCustCmdClient::SendData(0x60, 3, good.data()));
    const std::vector<AgentLogEntry> after = NewControls();
    ASSERT_EQ(1u, after.size());
    EXPECT_EQ("050607", after[0].Get("hex"));
}

// The stand-in's decoding in this process, on sections that end where a
// no-access page begins.
TEST(AgentStandInDecoding, RandomSectionsAreDecodedWithinTheirBytes)
{
    qztest::GuardedBytes guarded(2);
    ASSERT_TRUE(guarded.Ready());
    ASSERT_EQ(QZ_CIC_SECTION_SIZE, guarded.Capacity());
    std::mt19937 random(77);
    const SIZE_T regions[] = {0, 4096, 8191, 8192, 65536};
    std::vector<qzagent::HeldResult> held;
    const int kSections = 100000;
    int accepted = 0;
    for (int i = 0; i < kSections; ++i)
    {
        Bytes section = RandomRecord(random);
        section.resize(QZ_CIC_SECTION_SIZE, 0);
        if (random() % 8 == 0)
        {
            // Garbage after the record as well.
            for (size_t k = 12 + random() % 8000; k < section.size(); k += 1 + random() % 64)
                section[k] = static_cast<BYTE>(random());
        }
        const BYTE* placed = guarded.Place(section);
        qzagent::LogLine line;
        qzagent::DecodeRecord(placed, regions[random() % 5], line, held);
        const std::string status = line.Get("status");
        ASSERT_TRUE(status == "accepted" || status == "refused") << "section " << i << ": " << line.Format();
        accepted += status == "accepted";
    }
    EXPECT_TRUE(held.empty());
    EXPECT_GT(accepted, 0);
}

} // namespace
