// Command records and payload fields: exact byte images of every writer, the
// readers' refusals with their trace lines, and the record check.
#include "common/cust_cmd/cust_cmd.h"

#include "testing/harness/harness.h"
#include "tests/cust_cmd/cust_cmd_test_util.h"
#include "testing/harness/guarded_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace
{

using qztest::Bytes;
using qztest::Cat;
using qztest::Hex;
using qztest::Le32;
using qztest::SidBytes;
using qztest::SidOf;
using qztest::SidText;
using qztest::Utf16;

const char kBufIsNull[] = "ERROR: Invalid parameter. buf is NULL";

// Every refusal of a reader is one ERROR line of the record class.
qztest::TraceEntries ReaderError(const std::string& text)
{
    return {{QZT_ERROR, "CqzCustComdFileMap", text}};
}
const char kStringNoPrefix[] = "ERROR: Cannot deserialize string. Remaining buffer size is less than sizeof(DWORD).";
const char kStringShort[] = "ERROR: Cannot deserialize string. Remaining buffer size is less string byte length.";
const char kSidNoPrefix[] = "ERROR: Cannot deserialize SID. Remaining buffer size is less than sizeof(DWORD).";
const char kSidShort[] = "ERROR: Cannot deserialize SID. Remaining buffer size is less SID byte length.";
const char kSidInvalid[] = "ERROR: Cannot deserialize SID. Invalid SID data.";

// A SID with 15 sub-authorities, the largest there is: 68 bytes.
const wchar_t kLongestSid[] = L"S-1-5-21-1-2-3-4-5-6-7-8-9-10-11-12-13-14";

std::wstring ExitNotificationText(DWORD pid)
{
    return L"<?xml version=\"1.0\" encoding=\"utf-16\"?><XML><PID>" + std::to_wstring(pid) + L"</PID></XML>";
}

// ---------------------------------------------------------------------------
// Writers

struct WriterRow
{
    const char* name;
    BYTE* (*write)(BYTE* pos);
    DWORD (*size)(); // the matching _GetSerializedSize, or null
    Bytes expected;
};

TEST(CustCmdWriters, ByteImagesOfEveryFieldType)
{
    const Bytes abc = {0x08, 0, 0, 0, 0x61, 0, 0x62, 0, 0x63, 0, 0, 0};
    const WriterRow rows[] = {
        {"empty counted string",
         [](BYTE* p) { return CqzCustComdFileMap::_Serialize(std::wstring(), p); },
         [] { return CqzCustComdFileMap::_GetSerializedSize(std::wstring()); },
         {0, 0, 0, 0}},
        {"counted abc", [](BYTE* p) { return CqzCustComdFileMap::_Serialize(std::wstring(L"abc"), p); },
         [] { return CqzCustComdFileMap::_GetSerializedSize(std::wstring(L"abc")); }, abc},
        {"null pointer string",
         [](BYTE* p) { return CqzCustComdFileMap::_Serialize(static_cast<const wchar_t*>(nullptr), p); },
         [] { return CqzCustComdFileMap::_GetSerializedSize(static_cast<const wchar_t*>(nullptr)); },
         {0, 0, 0, 0}},
        {"empty pointer string",
         [](BYTE* p) { return CqzCustComdFileMap::_Serialize(L"", p); },
         [] { return CqzCustComdFileMap::_GetSerializedSize(L""); },
         {0, 0, 0, 0}},
        {"pointer abc", [](BYTE* p) { return CqzCustComdFileMap::_Serialize(L"abc", p); },
         [] { return CqzCustComdFileMap::_GetSerializedSize(L"abc"); }, abc},
        {"counted string with embedded NUL",
         [](BYTE* p) { return CqzCustComdFileMap::_Serialize(std::wstring(L"a\0b", 3), p); },
         [] { return CqzCustComdFileMap::_GetSerializedSize(std::wstring(L"a\0b", 3)); },
         {0x08, 0, 0, 0, 0x61, 0, 0, 0, 0x62, 0, 0, 0}},
        {"pointer string stops at NUL",
         [](BYTE* p) { return CqzCustComdFileMap::_Serialize(L"a\0b", p); },
         [] { return CqzCustComdFileMap::_GetSerializedSize(L"a\0b"); },
         {0x04, 0, 0, 0, 0x61, 0, 0, 0}},
        {"non-ASCII and a surrogate pair",
         [](BYTE* p) { return CqzCustComdFileMap::_Serialize(std::wstring(L"\u00e9\u20ac\xD83D\xDE00"), p); },
         [] { return CqzCustComdFileMap::_GetSerializedSize(std::wstring(L"\u00e9\u20ac\xD83D\xDE00")); },
         {0x0A, 0, 0, 0, 0xE9, 0x00, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}},
        {"SID S-1-5-18",
         [](BYTE* p) { return CqzCustComdFileMap::_Serialize(SidOf(L"S-1-5-18"), p); },
         [] { return CqzCustComdFileMap::_GetSerializedSize(SidOf(L"S-1-5-18")); },
         {0x0C, 0, 0, 0, 0x01, 0x01, 0, 0, 0, 0, 0, 0x05, 0x12, 0, 0, 0}},
        {"SID S-1-5-32-544",
         [](BYTE* p) { return CqzCustComdFileMap::_Serialize(SidOf(L"S-1-5-32-544"), p); },
         [] { return CqzCustComdFileMap::_GetSerializedSize(SidOf(L"S-1-5-32-544")); },
         {0x10, 0, 0, 0, 0x01, 0x02, 0, 0, 0, 0, 0, 0x05, 0x20, 0, 0, 0, 0x20, 0x02, 0, 0}},
        {"SID S-1-0-0",
         [](BYTE* p) { return CqzCustComdFileMap::_Serialize(SidOf(L"S-1-0-0"), p); },
         [] { return CqzCustComdFileMap::_GetSerializedSize(SidOf(L"S-1-0-0")); },
         {0x0C, 0, 0, 0, 0x01, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"SID with 15 sub-authorities", [](BYTE* p) { return CqzCustComdFileMap::_Serialize(SidOf(kLongestSid), p); },
         [] { return CqzCustComdFileMap::_GetSerializedSize(SidOf(kLongestSid)); },
         Cat({Le32(68),
              {0x01, 0x0F, 0, 0, 0, 0, 0, 0x05, 0x15, 0, 0, 0},
              {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 5, 0, 0, 0, 6, 0, 0, 0, 7, 0, 0, 0},
              {8, 0, 0, 0, 9, 0, 0, 0, 10, 0, 0, 0, 11, 0, 0, 0, 12, 0, 0, 0, 13, 0, 0, 0, 14, 0, 0, 0}})},
        {"unset SID",
         [](BYTE* p) { return CqzCustComdFileMap::_Serialize(CSid(), p); },
         [] { return CqzCustComdFileMap::_GetSerializedSize(CSid()); },
         {0, 0, 0, 0}},
        {"byte block xyz",
         [](BYTE* p) { return CqzCustComdFileMap::_Serialize("xyz", 7, p); },
         nullptr,
         {0x03, 0, 0, 0, 0x78, 0x79, 0x7A}},
        {"empty byte block",
         [](BYTE* p) { return CqzCustComdFileMap::_Serialize(nullptr, 4, p); },
         nullptr,
         {0, 0, 0, 0}},
        {"byte block without data is zeros",
         [](BYTE* p) { return CqzCustComdFileMap::_Serialize(nullptr, 6, p); },
         nullptr,
         {0x02, 0, 0, 0, 0, 0}},
        {"byte block size below its prefix writes nothing",
         [](BYTE* p) { return CqzCustComdFileMap::_Serialize("xyz", 3, p); },
         nullptr,
         {}},
        {"raw xyz",
         [](BYTE* p) { return CqzCustComdFileMap::_SerializeRaw("xyz", 3, p); },
         nullptr,
         {0x78, 0x79, 0x7A}},
        {"raw nothing", [](BYTE* p) { return CqzCustComdFileMap::_SerializeRaw("xyz", 0, p); }, nullptr, {}},
        {"raw without data is zeros",
         [](BYTE* p) { return CqzCustComdFileMap::_SerializeRaw(nullptr, 2, p); },
         nullptr,
         {0, 0}},
    };

    qztest::TraceCapture capture;
    for (const WriterRow& row : rows)
    {
        Bytes out(row.expected.size() + 16, 0xCC);
        BYTE* end = row.write(out.data());
        ASSERT_EQ(row.expected.size(), static_cast<size_t>(end - out.data())) << "row " << row.name;
        EXPECT_EQ(Hex(row.expected), Hex(out.data(), row.expected.size())) << "row " << row.name;
        for (size_t i = row.expected.size(); i < out.size(); ++i)
            ASSERT_EQ(0xCC, out[i]) << "row " << row.name << ": wrote past the field at " << i;
        if (row.size)
        {
            EXPECT_EQ(row.expected.size(), row.size()) << "row " << row.name;
        }
    }
    EXPECT_TRUE(capture.Lines().empty()) << capture.Text();
}

TEST(CustCmdWriters, UnsetSidAndInvalidBytesGiveNoSid)
{
    CSid sid;
    EXPECT_FALSE(sid.IsValid());
    EXPECT_EQ(nullptr, sid.GetPSID());
    EXPECT_EQ(0u, sid.GetLength());

    // Refused assignments leave the object as it was. Each SID lies at the
    // start of a whole 68-byte buffer, so only its content can be wrong (a
    // SID cut short is a reader's case: see the SID field rows).
    sid = SidOf(L"S-1-5-18");
    const Bytes bad[] = {
        {0x02, 0x01, 0, 0, 0, 0, 0, 0x05, 0x12, 0, 0, 0}, // revision 2
        {0x00, 0x01, 0, 0, 0, 0, 0, 0x05, 0x12, 0, 0, 0}, // revision 0
        {0x01, 0x10, 0, 0, 0, 0, 0, 0x05},                // 16 sub-authorities
    };
    EXPECT_FALSE(sid.LoadAccount(static_cast<PSID>(nullptr))) << "null";
    EXPECT_EQ("S-1-5-18", SidText(sid)) << "null";
    for (size_t i = 0; i < sizeof(bad) / sizeof(bad[0]); ++i)
    {
        Bytes whole(SECURITY_MAX_SID_SIZE, 0x01);
        std::copy(bad[i].begin(), bad[i].end(), whole.begin());
        EXPECT_FALSE(sid.LoadAccount(static_cast<PSID>(whole.data()))) << "row " << i;
        EXPECT_EQ("S-1-5-18", SidText(sid)) << "row " << i;
    }
    sid.Clear();
    EXPECT_FALSE(sid.IsValid());
}

TEST(CustCmdWriters, FieldsAddUpToTheAllocatedPayload)
{
    const std::wstring name = L"Hello";
    const CSid admins = SidOf(L"S-1-5-32-544");
    const BYTE block[] = {1, 2, 3, 4, 5};
    const BYTE raw[] = {9, 8, 7};

    const DWORD total = CqzCustComdFileMap::_GetSerializedSize(name) + CqzCustComdFileMap::_GetSerializedSize(admins) +
                        sizeof(block) + 4 + sizeof(raw) + CqzCustComdFileMap::_GetSerializedSize(L"");
    ASSERT_EQ(16u + 20u + 9u + 3u + 4u, total);

    Bytes payload(total + 8, 0xCC);
    BYTE* pos = payload.data();
    pos = CqzCustComdFileMap::_Serialize(name, pos);
    pos = CqzCustComdFileMap::_Serialize(admins, pos);
    pos = CqzCustComdFileMap::_Serialize(block, sizeof(block) + 4, pos);
    pos = CqzCustComdFileMap::_SerializeRaw(raw, sizeof(raw), pos);
    pos = CqzCustComdFileMap::_Serialize(L"", pos);
    ASSERT_EQ(payload.data() + total, pos);
    EXPECT_EQ(Hex(Cat({Le32(12),
                       Utf16(L"Hello"),
                       {0, 0},
                       Le32(16),
                       SidBytes(L"S-1-5-32-544"),
                       Le32(5),
                       {1, 2, 3, 4, 5},
                       {9, 8, 7},
                       Le32(0)})),
              Hex(payload.data(), total));
    EXPECT_EQ(Hex(Bytes(8, 0xCC)), Hex(payload.data() + total, 8));
}

// ---------------------------------------------------------------------------
// Exit notification record

TEST(CustCmdExitNotification, RecordForProcess1234)
{
    const std::wstring text = ExitNotificationText(1234);
    ASSERT_EQ(65u, text.size());

    const DWORD dataLen = CqzCustComdFileMap::_GetSerializedSize(text.c_str());
    ASSERT_EQ(136u, dataLen);

    // The record as a sender lays it into the zero-filled section.
    Bytes section(QZ_CIC_SECTION_SIZE, 0);
    SqzCustCmdRecord* record = reinterpret_cast<SqzCustCmdRecord*>(section.data());
    record->dwMagic = QZ_CIC_RECORD_MAGIC;
    record->dwCommandId = QZ_CIC_NOTIFY_QZELEVATE_EXIT;
    record->dwDataLen = dataLen;
    BYTE* end = CqzCustComdFileMap::_Serialize(text.c_str(), record->data);
    ASSERT_EQ(record->data + dataLen, end);

    EXPECT_EQ("7C 1D 00 00 0A 00 00 00 88 00 00 00", Hex(section.data(), 12));
    EXPECT_EQ("84 00 00 00 3C 00 3F 00 78 00 6D 00 6C 00", Hex(section.data() + 12, 14));
    EXPECT_EQ(
        Hex(Cat({Le32(132), Utf16(L"<?xml version=\"1.0\" encoding=\"utf-16\"?><XML><PID>1234</PID></XML>"), {0, 0}})),
        Hex(section.data() + 12, dataLen));
    // Declaration and root element directly joined, no byte-order mark.
    const Bytes joined = Utf16(L"?><XML><PID>1234</PID></XML>");
    EXPECT_EQ(Hex(joined), Hex(section.data() + 12 + 4 + 2 * 37, joined.size()));
    for (size_t i = 12 + dataLen; i < section.size(); ++i)
        ASSERT_EQ(0, section[i]) << "byte " << i;
    EXPECT_TRUE(record->IsValid(QZ_CIC_SECTION_SIZE));

    // The agent's side reads the text back.
    DWORD remaining = record->dwDataLen;
    std::wstring read;
    EXPECT_EQ(record->data + dataLen, CqzCustComdFileMap::_Deserialize(record->data, remaining, read));
    EXPECT_EQ(text, read);
    EXPECT_EQ(0u, remaining);
}

TEST(CustCmdExitNotification, DataLengthFollowsTheDigits)
{
    const struct
    {
        DWORD pid;
        DWORD dataLen;
    } rows[] = {{0, 130}, {4, 130}, {1234, 136}, {65535, 138}, {4294967295u, 148}};
    for (const auto& row : rows)
    {
        const std::wstring text = ExitNotificationText(row.pid);
        EXPECT_EQ(row.dataLen, CqzCustComdFileMap::_GetSerializedSize(text)) << "pid " << row.pid;
        Bytes payload(row.dataLen);
        EXPECT_EQ(payload.data() + row.dataLen, CqzCustComdFileMap::_Serialize(text, payload.data()))
            << "pid " << row.pid;
        EXPECT_EQ(Hex(Le32(row.dataLen - 4)), Hex(payload.data(), 4)) << "pid " << row.pid;
    }
}

// ---------------------------------------------------------------------------
// Readers

// What one reader call must do with an input that ends at a guard page.
struct ReadRow
{
    const char* name;
    Bytes input; // remaining = input.size()
    bool ok;
    DWORD consumed;
    const char* line; // trace line of a refusal
};

// Runs the call with the caller's last error set, then checks the common rules:
// the result, the count, the trace line and the preserved last error.
template <class Call>
void CheckRead(const ReadRow& row, qztest::GuardedBytes& guard, Call call, bool& outputChanged)
{
    const BYTE* pos = guard.Place(row.input);
    const DWORD initial = static_cast<DWORD>(row.input.size());
    DWORD remaining = initial;

    qztest::TraceCapture capture;
    ::SetLastError(0xDEADBEEF);
    const BYTE* result = call(pos, remaining);
    EXPECT_EQ(0xDEADBEEFu, ::GetLastError()) << "row " << row.name;

    if (row.ok)
    {
        EXPECT_EQ(pos + row.consumed, result) << "row " << row.name;
        EXPECT_EQ(initial - row.consumed, remaining) << "row " << row.name;
        EXPECT_TRUE(capture.Lines().empty()) << "row " << row.name << ": " << capture.Text();
    }
    else
    {
        EXPECT_EQ(nullptr, result) << "row " << row.name;
        EXPECT_EQ(initial, remaining) << "row " << row.name;
        EXPECT_EQ(ReaderError(row.line), capture.Entries()) << "row " << row.name;
        EXPECT_FALSE(outputChanged) << "row " << row.name << ": output changed by a failed read";
    }
}

struct StringReadRow
{
    ReadRow read;
    std::wstring text;
};

TEST(CustCmdReaders, StringFields)
{
    const StringReadRow rows[] = {
        {{"B 0", {0, 0, 0, 0}, true, 4, nullptr}, L""},
        {{"B 0 with more behind", {0, 0, 0, 0, 0x41, 0}, true, 4, nullptr}, L""},
        {{"abc, remaining B + 4", {8, 0, 0, 0, 0x61, 0, 0x62, 0, 0x63, 0, 0, 0}, true, 12, nullptr}, L"abc"},
        {{"abc with more behind", {8, 0, 0, 0, 0x61, 0, 0x62, 0, 0x63, 0, 0, 0, 0x7A, 0}, true, 12, nullptr}, L"abc"},
        {{"abc, remaining B + 3", {8, 0, 0, 0, 0x61, 0, 0x62, 0, 0x63, 0, 0}, false, 0, kStringShort}, L""},
        {{"a NUL b NUL", {8, 0, 0, 0, 0x61, 0, 0, 0, 0x62, 0, 0, 0}, true, 12, nullptr}, L"a"},
        {{"no terminator", {4, 0, 0, 0, 0x61, 0, 0x62, 0}, true, 8, nullptr}, L"ab"},
        {{"odd byte count", {5, 0, 0, 0, 0x61, 0, 0x62, 0, 0x63}, true, 9, nullptr}, L"ab"},
        {{"one byte", {1, 0, 0, 0, 0x41}, true, 5, nullptr}, L""},
        {{"only a terminator", {2, 0, 0, 0, 0, 0}, true, 6, nullptr}, L""},
        {{"non-ASCII", Cat({Le32(8), {0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}}), true, 12, nullptr},
         L"\u00e9\xD83D\xDE00"},
        {{"nothing left", {}, false, 0, kStringNoPrefix}, L""},
        {{"one byte left", {0}, false, 0, kStringNoPrefix}, L""},
        {{"three bytes left", {0, 0, 0}, false, 0, kStringNoPrefix}, L""},
        {{"B 2, nothing after the prefix", {2, 0, 0, 0}, false, 0, kStringShort}, L""},
        {{"B 0xFFFFFFFF", {0xFF, 0xFF, 0xFF, 0xFF, 0x41, 0}, false, 0, kStringShort}, L""},
        {{"B 0xFFFFFFFC", {0xFC, 0xFF, 0xFF, 0xFF}, false, 0, kStringShort}, L""},
        {{"B 0x80000000", {0, 0, 0, 0x80, 0x41, 0, 0, 0}, false, 0, kStringShort}, L""},
    };

    qztest::GuardedBytes guard;
    ASSERT_TRUE(guard.Ready());
    const std::wstring sentinel = L"\xCCCC\xCCCC untouched";
    for (const StringReadRow& row : rows)
    {
        std::wstring out = sentinel;
        bool changed = false;
        CheckRead(
            row.read, guard,
            [&](const BYTE* pos, DWORD& remaining)
            {
                const BYTE* result = CqzCustComdFileMap::_Deserialize(pos, remaining, out);
                changed = out != sentinel;
                return result;
            },
            changed);
        if (row.read.ok)
        {
            EXPECT_EQ(row.text, out) << "row " << row.read.name;
        }
    }
}

struct SidReadRow
{
    ReadRow read;
    const char* sid; // string form of the SID read
};

TEST(CustCmdReaders, SidFields)
{
    const Bytes system = SidBytes(L"S-1-5-18");
    const Bytes longest = SidBytes(kLongestSid);
    ASSERT_EQ(12u, system.size());
    ASSERT_EQ(68u, longest.size());

    const SidReadRow rows[] = {
        {{"L 0", {0, 0, 0, 0}, true, 4, nullptr}, "S-1-0-0"},
        {{"S-1-5-18", Cat({Le32(12), system}), true, 16, nullptr}, "S-1-5-18"},
        {{"S-1-5-18 with more behind", Cat({Le32(12), system, {0xAA}}), true, 16, nullptr}, "S-1-5-18"},
        {{"15 sub-authorities", Cat({Le32(68), longest}), true, 72, nullptr},
         "S-1-5-21-1-2-3-4-5-6-7-8-9-10-11-12-13-14"},
        {{"no sub-authority", {8, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0x05}, true, 12, nullptr}, "S-1-5"},
        // L counts bytes behind the SID: they belong to the field.
        {{"L longer than the SID", Cat({Le32(16), system, {1, 2, 3, 4}}), true, 20, nullptr}, "S-1-5-18"},
        {{"L 69", Cat({Le32(69), longest, {0}}), false, 0, kSidInvalid}, ""},
        {{"L 72 with 16 sub-authorities", Cat({Le32(72), {0x01, 0x10, 0, 0, 0, 0, 0, 0x05}, Bytes(64, 0x01)}), false, 0,
          kSidInvalid},
         ""},
        {{"16 sub-authorities in 68 bytes", Cat({Le32(68), {0x01, 0x10, 0, 0, 0, 0, 0, 0x05}, Bytes(60, 0x01)}), false,
          0, kSidInvalid},
         ""},
        {{"revision 2", Cat({Le32(12), {0x02, 0x01, 0, 0, 0, 0, 0, 0x05, 0x12, 0, 0, 0}}), false, 0, kSidInvalid}, ""},
        {{"revision 0", Cat({Le32(12), {0x00, 0x01, 0, 0, 0, 0, 0, 0x05, 0x12, 0, 0, 0}}), false, 0, kSidInvalid}, ""},
        {{"count 2 in 12 bytes", Cat({Le32(12), {0x01, 0x02, 0, 0, 0, 0, 0, 0x05, 0x20, 0, 0, 0}}), false, 0,
          kSidInvalid},
         ""},
        {{"count 1 in 8 bytes", Cat({Le32(8), {0x01, 0x01, 0, 0, 0, 0, 0, 0x05}}), false, 0, kSidInvalid}, ""},
        {{"L 7", Cat({Le32(7), {0x01, 0, 0, 0, 0, 0, 0}}), false, 0, kSidInvalid}, ""},
        {{"L 1", Cat({Le32(1), {0x01}}), false, 0, kSidInvalid}, ""},
        {{"L beyond the input by one", Cat({Le32(12), Bytes(system.begin(), system.end() - 1)}), false, 0, kSidShort},
         ""},
        {{"L 0xFFFFFFFF", Cat({Le32(0xFFFFFFFF), system}), false, 0, kSidShort}, ""},
        {{"nothing left", {}, false, 0, kSidNoPrefix}, ""},
        {{"three bytes left", {12, 0, 0}, false, 0, kSidNoPrefix}, ""},
    };

    qztest::GuardedBytes guard;
    ASSERT_TRUE(guard.Ready());
    for (const SidReadRow& row : rows)
    {
        CSid out = SidOf(L"S-1-1-0");
        bool changed = false;
        CheckRead(
            row.read, guard,
            [&](const BYTE* pos, DWORD& remaining)
            {
                const BYTE* result = CqzCustComdFileMap::_Deserialize(pos, remaining, out);
                changed = SidText(out) != "S-1-1-0";
                return result;
            },
            changed);
        if (row.read.ok)
        {
            EXPECT_EQ(row.sid, SidText(out)) << "row " << row.read.name;
        }
    }
}

struct RawReadRow
{
    ReadRow read;
    DWORD size; // N
};

TEST(CustCmdReaders, RawBytes)
{
    const RawReadRow rows[] = {
        {{"N equal to remaining", {1, 2, 3, 4}, true, 4, nullptr}, 4},
        {{"N below remaining", {1, 2, 3, 4}, true, 3, nullptr}, 3},
        {{"N remaining + 1",
          {1, 2, 3, 4},
          false,
          0,
          "ERROR: Cannot deserialize 5 bytes. Remaining buffer size is 4 bytes"},
         5},
        {{"N 0, nothing left", {}, true, 0, nullptr}, 0},
        {{"N 0, bytes left", {1, 2, 3}, true, 0, nullptr}, 0},
        {{"N 1, nothing left", {}, false, 0, "ERROR: Cannot deserialize 1 bytes. Remaining buffer size is 0 bytes"}, 1},
        {{"N 0xFFFFFFFF",
          {1, 2, 3},
          false,
          0,
          "ERROR: Cannot deserialize 4294967295 bytes. Remaining buffer size is 3 bytes"},
         0xFFFFFFFF},
    };

    qztest::GuardedBytes guard;
    ASSERT_TRUE(guard.Ready());
    for (const RawReadRow& row : rows)
    {
        Bytes out(16, 0xCC);
        bool changed = false;
        CheckRead(
            row.read, guard,
            [&](const BYTE* pos, DWORD& remaining)
            {
                const BYTE* result = CqzCustComdFileMap::_Deserialize(pos, row.size, remaining, out.data());
                changed = out != Bytes(16, 0xCC);
                return result;
            },
            changed);
        if (row.read.ok)
        {
            EXPECT_EQ(Hex(row.read.input.data(), row.size), Hex(out.data(), row.size)) << "row " << row.read.name;
            EXPECT_EQ(Hex(Bytes(16 - row.size, 0xCC)), Hex(out.data() + row.size, 16 - row.size))
                << "row " << row.read.name;
        }
    }
}

TEST(CustCmdReaders, NullPositionIsRefusedByEveryReader)
{
    const struct
    {
        const char* name;
        const BYTE* (*read)(DWORD& remaining);
    } rows[] = {
        {"string",
         [](DWORD& r)
         {
             std::wstring s = L"keep";
             const BYTE* p = CqzCustComdFileMap::_Deserialize(nullptr, r, s);
             return s == L"keep" ? p : reinterpret_cast<const BYTE*>(1);
         }},
        {"SID",
         [](DWORD& r)
         {
             CSid sid = SidOf(L"S-1-1-0");
             const BYTE* p = CqzCustComdFileMap::_Deserialize(nullptr, r, sid);
             return SidText(sid) == "S-1-1-0" ? p : reinterpret_cast<const BYTE*>(1);
         }},
        {"raw",
         [](DWORD& r)
         {
             BYTE out[4] = {0xCC, 0xCC, 0xCC, 0xCC};
             const BYTE* p = CqzCustComdFileMap::_Deserialize(nullptr, 4, r, out);
             return out[0] == 0xCC ? p : reinterpret_cast<const BYTE*>(1);
         }},
        {"raw of 0 bytes",
         [](DWORD& r)
         {
             BYTE out[1] = {0xCC};
             return CqzCustComdFileMap::_Deserialize(nullptr, 0, r, out);
         }},
    };
    for (const auto& row : rows)
    {
        qztest::TraceCapture capture;
        DWORD remaining = 100;
        ::SetLastError(0xDEADBEEF);
        EXPECT_EQ(nullptr, row.read(remaining)) << "row " << row.name;
        EXPECT_EQ(0xDEADBEEFu, ::GetLastError()) << "row " << row.name;
        EXPECT_EQ(100u, remaining) << "row " << row.name;
        EXPECT_EQ(ReaderError(kBufIsNull), capture.Entries()) << "row " << row.name;
    }
}

TEST(CustCmdReaders, RawReadWithoutOutputBuffer)
{
    const BYTE input[] = {1, 2};
    qztest::TraceCapture capture;
    DWORD remaining = 2;
    EXPECT_EQ(nullptr, CqzCustComdFileMap::_Deserialize(input, 2, remaining, nullptr));
    EXPECT_EQ(2u, remaining);
    EXPECT_EQ(input, CqzCustComdFileMap::_Deserialize(input, 0, remaining, nullptr));
    EXPECT_EQ(2u, remaining);
    EXPECT_EQ(ReaderError("ERROR: Invalid parameter. out is NULL"), capture.Entries());
}

// A payload of every field type read back in order, then cut at every length:
// each field inside the cut reads, the first one across it fails with its own
// message, and nothing past the cut is touched.
TEST(CustCmdReaders, EveryTruncationOfAPayload)
{
    const std::wstring name = L"Hello";
    const CSid admins = SidOf(L"S-1-5-32-544");
    const BYTE block[] = {1, 2, 3, 4, 5};
    const BYTE raw[] = {9, 8, 7};

    enum Kind
    {
        String,
        Sid,
        BlockLength,
        BlockBytes,
        Raw,
    };
    struct Field
    {
        Kind kind;
        DWORD size;
    };
    const Field fields[] = {{String, 16}, {Sid, 20}, {BlockLength, 4}, {BlockBytes, 5}, {Raw, 3}, {String, 4}};

    Bytes payload(16 + 20 + 9 + 3 + 4);
    BYTE* pos = payload.data();
    pos = CqzCustComdFileMap::_Serialize(name, pos);
    pos = CqzCustComdFileMap::_Serialize(admins, pos);
    pos = CqzCustComdFileMap::_Serialize(block, sizeof(block) + 4, pos);
    pos = CqzCustComdFileMap::_SerializeRaw(raw, sizeof(raw), pos);
    pos = CqzCustComdFileMap::_Serialize(L"", pos);
    ASSERT_EQ(payload.data() + payload.size(), pos);

    qztest::GuardedBytes guard;
    ASSERT_TRUE(guard.Ready());
    for (DWORD cut = 0; cut <= payload.size(); ++cut)
    {
        const BYTE* start = guard.Place(payload.data(), cut);
        const BYTE* at = start;
        DWORD remaining = cut;
        DWORD offset = 0;
        qztest::TraceCapture capture;
        for (const Field& field : fields)
        {
            const bool fits = offset + field.size <= cut;
            const DWORD left = cut - offset;
            std::string expectedLine;
            const BYTE* next = nullptr;
            switch (field.kind)
            {
            case String:
            {
                std::wstring s;
                next = CqzCustComdFileMap::_Deserialize(at, remaining, s);
                expectedLine = left < 4 ? kStringNoPrefix : kStringShort;
                if (next)
                {
                    EXPECT_EQ(offset == 0 ? name : std::wstring(), s) << "cut " << cut;
                }
                break;
            }
            case Sid:
            {
                CSid sid;
                next = CqzCustComdFileMap::_Deserialize(at, remaining, sid);
                expectedLine = left < 4 ? kSidNoPrefix : kSidShort;
                if (next)
                {
                    EXPECT_EQ("S-1-5-32-544", SidText(sid)) << "cut " << cut;
                }
                break;
            }
            case BlockLength:
            case BlockBytes:
            case Raw:
            {
                BYTE out[8] = {};
                next = CqzCustComdFileMap::_Deserialize(at, field.size, remaining, out);
                expectedLine = "ERROR: Cannot deserialize " + std::to_string(field.size) +
                               " bytes. Remaining buffer size is " + std::to_string(left) + " bytes";
                if (next && field.kind == BlockLength)
                {
                    EXPECT_EQ(Hex(Le32(5)), Hex(out, 4)) << "cut " << cut;
                }
                if (next && field.kind == Raw)
                {
                    EXPECT_EQ("09 08 07", Hex(out, 3)) << "cut " << cut;
                }
                break;
            }
            }
            if (!fits)
            {
                EXPECT_EQ(nullptr, next) << "cut " << cut << " offset " << offset;
                EXPECT_EQ(left, remaining) << "cut " << cut << " offset " << offset;
                EXPECT_EQ(ReaderError(expectedLine), capture.Entries()) << "cut " << cut;
                break;
            }
            ASSERT_EQ(at + field.size, next) << "cut " << cut << " offset " << offset;
            at = next;
            offset += field.size;
            EXPECT_EQ(cut - offset, remaining) << "cut " << cut;
        }
        if (cut == payload.size())
        {
            EXPECT_TRUE(capture.Lines().empty()) << capture.Text();
        }
    }
}

// ---------------------------------------------------------------------------
// Record check

TEST(CustCmdRecord, IsValid)
{
    const struct
    {
        const char* name;
        SIZE_T region;
        DWORD magic;
        DWORD dataLen;
        bool valid;
    } rows[] = {
        {"largest payload", 8192, 0x1D7C, 8176, true},
        {"payload one too long", 8192, 0x1D7C, 8177, false},
        {"empty payload", 8192, 0x1D7C, 0, true},
        {"payload 8180", 8192, 0x1D7C, 8180, false},
        {"payload 0xFFFFFFFF", 8192, 0x1D7C, 0xFFFFFFFF, false},
        {"region 8191", 8191, 0x1D7C, 0, false},
        {"region 0", 0, 0x1D7C, 0, false},
        {"region 12288", 12288, 0x1D7C, 8176, true},
        {"magic 0x1D7D", 8192, 0x1D7D, 0, false},
        {"magic byte-swapped", 8192, 0x7C1D0000, 0, false},
        {"magic 0", 8192, 0, 0, false},
        {"magic with a high bit", 8192, 0x80001D7C, 0, false},
        {"magic 0xFFFFFFFF", 8192, 0xFFFFFFFF, 0, false},
    };

    qztest::GuardedBytes guard(3);
    ASSERT_TRUE(guard.Ready());
    for (const auto& row : rows)
    {
        const DWORD commandIds[] = {0, QZ_CIC_NOTIFY_QZELEVATE_EXIT, 0xFFFFFFFF};
        for (DWORD commandId : commandIds)
        {
            // The record sits at the start of a region that ends at the guard page.
            const Bytes header = qztest::RecordHeader(row.magic, commandId, row.dataLen);
            const SIZE_T region = row.region < 12 ? 12 : row.region;
            Bytes bytes(region, 0);
            std::memcpy(bytes.data(), header.data(), header.size());
            const auto* record = reinterpret_cast<const SqzCustCmdRecord*>(guard.Place(bytes));
            EXPECT_EQ(row.valid, record->IsValid(row.region)) << "row " << row.name << ", command " << commandId;
        }
    }
}

TEST(CustCmdRecord, IsValidReadsNothingOfASmallRegion)
{
    qztest::GuardedBytes guard;
    ASSERT_TRUE(guard.Ready());
    for (DWORD size : {0u, 1u, 4u, 8u, 11u})
    {
        const Bytes header = qztest::RecordHeader(QZ_CIC_RECORD_MAGIC, 10, 0);
        const auto* record = reinterpret_cast<const SqzCustCmdRecord*>(guard.Place(header.data(), size));
        EXPECT_FALSE(record->IsValid(size)) << "region " << size;
    }
}

} // namespace
