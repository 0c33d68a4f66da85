// CqzKeyValueMap: memory-block images against the format model, the capacity
// edges of the writer, the reader's rules on blocks that end at a no-access
// page, the trace dump and the comparison.
#include "common/util/key_value_map.h"

#include "testing/harness/guarded_bytes.h"
#include "testing/harness/harness.h"
#include "tests/keyvalue/keyvalue_model.h"
#include "trace/qztrace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace
{

using kvtest::Bytes;
using kvtest::Contents;
using kvtest::Entries;
using kvtest::MapOf;

constexpr BYTE kUnwritten = 0xCC;

std::string Hex(const Bytes& bytes)
{
    std::string text;
    char byte[4];
    for (size_t i = 0; i < bytes.size(); ++i)
    {
        std::snprintf(byte, sizeof(byte), i ? " %02X" : "%02X", bytes[i]);
        text += byte;
    }
    return text;
}

qztest::TraceEntries Errors(const std::vector<std::string>& texts)
{
    return qztest::EntriesOf(QZT_ERROR, "", texts);
}

// What ToMemoryBlock left in a buffer of the given capacity filled with
// kUnwritten beforehand, with its result, leftover count and trace.
struct WriteResult
{
    bool ok = false;
    DWORD left = 0;
    Bytes buffer;
    qztest::TraceEntries trace;
};

WriteResult Write(const CqzKeyValueMap& map, DWORD capacity)
{
    WriteResult result;
    result.buffer.assign(capacity + 8, kUnwritten); // the 8 extra bytes must stay
    result.left = capacity;
    qztest::TraceCapture capture;
    result.ok = map.ToMemoryBlock(result.buffer.data(), result.left);
    result.trace = capture.Entries();
    return result;
}

// The model's image of the first `written` bytes, the rest unwritten.
Bytes Expected(const Bytes& model, size_t written, DWORD capacity)
{
    Bytes expected(model.begin(), model.begin() + written);
    expected.resize(capacity + 8, kUnwritten);
    return expected;
}

struct ImageRow
{
    const char* name;
    Entries entries;
};

TEST(KeyValueBlock, ByteImagesMatchTheFormat)
{
    const ImageRow rows[] = {
        {"empty map", {}},
        {"empty key, value a", {{L"", L"a"}}},
        {"key a, empty value", {{L"a", L""}}},
        {"both empty", {{L"", L""}}},
        {"keys differing in case only", {{L"Key", L"value"}, {L"key", L"VALUE"}}},
        {"non-ASCII and a surrogate pair", {{L"Gr\u00FC\u00DFe", L"\u20AC 5"}, {L"\xD83D\xDE00", L"smile"}}},
        {"three entries", {{L"path", L"C:\\Program Files\\x"}, {L"b", L"2"}, {L"a", L"1"}}},
    };
    for (const ImageRow& row : rows)
    {
        const CqzKeyValueMap map = MapOf(row.entries);
        const Entries order = kvtest::EntriesOf(map);
        const size_t size = kvtest::ModelSize(order);
        EXPECT_EQ(size, map.GetSerializedSize()) << "row " << row.name;

        // Exactly the size needed, then five bytes more: the size field
        // follows the capacity and the spare bytes are reported and untouched.
        for (DWORD spare : {0u, 5u})
        {
            const DWORD capacity = static_cast<DWORD>(size) + spare;
            const Bytes model = kvtest::ModelBlock(order, capacity);
            const WriteResult written = Write(map, capacity);
            EXPECT_TRUE(written.ok) << "row " << row.name << ", spare " << spare;
            EXPECT_EQ(spare, written.left) << "row " << row.name << ", spare " << spare;
            EXPECT_EQ(Hex(Expected(model, model.size(), capacity)), Hex(written.buffer))
                << "row " << row.name << ", spare " << spare;
            EXPECT_TRUE(written.trace.empty()) << "row " << row.name;
        }
    }
}

TEST(KeyValueBlock, EmptyKeyWithValueANeeds27Bytes)
{
    const CqzKeyValueMap map = MapOf({{L"", L"a"}});
    ASSERT_EQ(27u, map.GetSerializedSize());
    const WriteResult written = Write(map, 27);
    ASSERT_TRUE(written.ok);
    EXPECT_EQ(0u, written.left);
    const Bytes image(written.buffer.begin(), written.buffer.begin() + 27);
    EXPECT_EQ("4E 75 20 69 20 6E 75 14 00 00 00 01 00 00 00 00 00 00 00 04 00 00 00 61 00 00 00", Hex(image));
}

TEST(KeyValueBlock, CapacityBelowElevenIsRefusedWithALine)
{
    const CqzKeyValueMap map = MapOf({{L"k", L"v"}});
    for (DWORD capacity : {0u, 1u, 7u, 10u})
    {
        const WriteResult written = Write(map, capacity);
        EXPECT_FALSE(written.ok) << "capacity " << capacity;
        EXPECT_EQ(capacity, written.left) << "capacity " << capacity;
        EXPECT_EQ(Bytes(capacity + 8, kUnwritten), written.buffer) << "capacity " << capacity;
        EXPECT_EQ(Errors({"Insufficient memory size to start serializing: " + std::to_string(capacity)}), written.trace)
            << "capacity " << capacity;
    }
}

TEST(KeyValueBlock, CapacityElevenToFourteenWritesMagicAndSizeOnly)
{
    for (const Entries& entries : {Entries{}, Entries{{L"k", L"v"}}})
    {
        const CqzKeyValueMap map = MapOf(entries);
        for (DWORD capacity = 11; capacity <= 14; ++capacity)
        {
            const WriteResult written = Write(map, capacity);
            EXPECT_FALSE(written.ok) << "capacity " << capacity << ", entries " << entries.size();
            EXPECT_EQ(capacity - 11, written.left) << "capacity " << capacity;
            EXPECT_EQ(Hex(Expected(kvtest::ModelBlock(entries, capacity), 11, capacity)), Hex(written.buffer))
                << "capacity " << capacity << ", entries " << entries.size();
            EXPECT_TRUE(written.trace.empty()) << "capacity " << capacity;
        }
    }
    // Fifteen bytes hold an empty map whole.
    const WriteResult written = Write(CqzKeyValueMap(), 15);
    EXPECT_TRUE(written.ok);
    EXPECT_EQ(0u, written.left);
}

TEST(KeyValueBlock, OneByteShortOfEachFieldStopsBeforeIt)
{
    // Every field kind: an empty key (4 bytes), text, an empty value.
    const CqzKeyValueMap map = MapOf({{L"", L"first"}, {L"second", L""}, {L"third", L"3"}});
    const Entries order = kvtest::EntriesOf(map);
    const Bytes model = kvtest::ModelBlock(order, static_cast<DWORD>(kvtest::ModelSize(order)));
    size_t fieldStart = kvtest::kHeaderSize;
    for (const auto& entry : order)
    {
        for (const std::wstring* field : {&entry.first, &entry.second})
        {
            const size_t fieldEnd = fieldStart + kvtest::FieldSize(*field);
            const DWORD capacity = static_cast<DWORD>(fieldEnd - 1);
            const Bytes full = kvtest::ModelBlock(order, capacity);
            const WriteResult written = Write(map, capacity);
            const std::string where = "field ending at " + std::to_string(fieldEnd);
            EXPECT_FALSE(written.ok) << where;
            EXPECT_EQ(capacity - fieldStart, written.left) << where;
            EXPECT_EQ(Hex(Expected(full, fieldStart, capacity)), Hex(written.buffer)) << where;
            EXPECT_EQ(Errors({"Insufficient memory size to serialize value " + qztest::ToUtf8(entry.first)}),
                      written.trace)
                << where;
            fieldStart = fieldEnd;
        }
    }
    EXPECT_EQ(model.size(), fieldStart);
}

TEST(KeyValueBlock, NullBufferIsRefused)
{
    const CqzKeyValueMap map = MapOf({{L"k", L"v"}});
    DWORD size = 64;
    qztest::TraceCapture capture;
    EXPECT_FALSE(map.ToMemoryBlock(nullptr, size));
    EXPECT_EQ(64u, size);
    EXPECT_EQ(Errors({"ERROR: Pointer is NULL"}), capture.Entries());
}

// --- reading -----------------------------------------------------------------

Bytes Field(const Bytes& bytes)
{
    Bytes field;
    kvtest::AppendLe32(field, static_cast<DWORD>(bytes.size()));
    field.insert(field.end(), bytes.begin(), bytes.end());
    return field;
}

Bytes Text(const std::wstring& text)
{
    Bytes field;
    kvtest::AppendField(field, text);
    return field;
}

// A block with the given size field and count, then the bytes given.
Bytes Block(DWORD sizeField, DWORD count, std::vector<Bytes> fields)
{
    Bytes block(kvtest::kMagic, kvtest::kMagic + kvtest::kMagicSize);
    kvtest::AppendLe32(block, sizeField);
    kvtest::AppendLe32(block, count);
    for (const Bytes& field : fields)
        block.insert(block.end(), field.begin(), field.end());
    return block;
}

// The size field of a block whose capacity is exactly its bytes.
DWORD Exact(const std::vector<Bytes>& fields)
{
    DWORD size = 8;
    for (const Bytes& field : fields)
        size += static_cast<DWORD>(field.size());
    return size;
}

struct ReadRow
{
    const char* name;
    Bytes block;
    bool ok;
    Contents contents; // after reading into a map holding {"held": "before"}
    const char* line;  // the ERROR line, if any
};

Bytes Cut(Bytes bytes, size_t size)
{
    bytes.resize(size);
    return bytes;
}

TEST(KeyValueRead, BlocksEndingAtANoAccessPage)
{
    const Bytes ab = Text(L"ab");
    const std::vector<Bytes> two = {Text(L"k1"), Text(L"v1"), Text(L"k2"), Text(L"v2")};
    const Bytes good = Block(Exact(two), 2, two);
    const Contents held = {{L"held", L"before"}};
    const Contents both = {{L"held", L"before"}, {L"k1", L"v1"}, {L"k2", L"v2"}};
    const Contents first = {{L"held", L"before"}, {L"k1", L"v1"}};
    const ReadRow rows[] = {
        {"two entries, exact size", good, true, both, nullptr},
        {"size field claims more than the entries need", Block(Exact(two) + 100, 2, two), true, both, nullptr},
        {"empty block", Block(8, 0, {}), true, held, nullptr},
        {"size field 4, count 0", Block(4, 0, {}), true, held, nullptr},
        {"size field 4, count 1", Block(4, 1, {Text(L"k"), Text(L"v")}), false, held, nullptr},
        {"size field 3", Block(3, 0, {}), false, held, nullptr},
        {"size field 0", Block(0, 1, {Text(L"k"), Text(L"v")}), false, held, nullptr},
        {"entries overrun the size field", Block(Exact(two) - 1, 2, two), false, first, nullptr},
        {"count beyond the entries", Block(Exact(two), 3, two), false, both, nullptr},
        {"count below the entries", Block(Exact(two), 1, two), true, first, nullptr},
        {"bytes end in the second value", Cut(good, good.size() - 1), false, first, nullptr},
        {"bytes end in the second value's count", Cut(good, good.size() - ab.size() + 2), false, first, nullptr},
        {"bytes end after the count field", Cut(good, 15), false, held, nullptr},
        {"bytes end in the count field", Cut(good, 14), false, held, nullptr},
        {"bytes end in the size field", Cut(good, 9), false, held, nullptr},
        {"bytes end after the magic", Cut(good, 7), false, held, nullptr},
        {"bytes end in the magic", Cut(good, 6), false, held, "Magic word difference "},
        {"no bytes", Bytes(), false, held, "Magic word difference "},
        {"magic in lower case",
         []
         {
             Bytes b = Block(8, 0, {});
             b[0] = 'n';
             return b;
         }(),
         false, held, "Magic word difference "},
        {"value with an embedded zero is cut",
         Block(100, 1, {Text(L"k"), Field({'a', 0, 0, 0, 'b', 0, 0, 0})}),
         true,
         {{L"held", L"before"}, {L"k", L"a"}},
         nullptr},
        {"value without a terminator",
         Block(100, 1, {Text(L"k"), Field({'x', 0, 'y', 0})}),
         true,
         {{L"held", L"before"}, {L"k", L"xy"}},
         nullptr},
        {"odd count: the last byte is not a character",
         Block(100, 1, {Text(L"k"), Field({'x', 0, 'y'})}),
         true,
         {{L"held", L"before"}, {L"k", L"x"}},
         nullptr},
        {"L 2: only the terminator",
         Block(100, 1, {Field({0, 0}), Text(L"v")}),
         true,
         {{L"held", L"before"}, {L"", L"v"}},
         nullptr},
        {"key already held takes the new value",
         Block(100, 1, {Text(L"held"), Text(L"after")}),
         true,
         {{L"held", L"after"}},
         nullptr},
        {"key differing in case is another key",
         Block(100, 1, {Text(L"HELD"), Text(L"x")}),
         true,
         {{L"held", L"before"}, {L"HELD", L"x"}},
         nullptr},
        {"same key twice: the last value wins",
         Block(100, 2, {Text(L"k"), Text(L"1"), Text(L"k"), Text(L"2")}),
         true,
         {{L"held", L"before"}, {L"k", L"2"}},
         nullptr},
        {"field count of 0xFFFFFFFF", Block(100, 1, {Text(L"k"), {0xFF, 0xFF, 0xFF, 0xFF}}), false, held, nullptr},
        {"hostile key count", Block(Exact({Text(L"k")}) + 4, 1, {{0xFC, 0xFF, 0xFF, 0xFF}, Text(L"k")}), false, held,
         nullptr},
        {"huge entry count, one entry",
         Block(Exact({Text(L"k"), Text(L"v")}), 0xFFFFFFFF, {Text(L"k"), Text(L"v")}),
         false,
         {{L"held", L"before"}, {L"k", L"v"}},
         nullptr},
    };
    qztest::GuardedBytes guard;
    ASSERT_TRUE(guard.Ready());
    for (const ReadRow& row : rows)
    {
        // The model's verdict first: the rows are checked against the format.
        const kvtest::ReadModel model = kvtest::ModelRead(row.block, held);
        EXPECT_EQ(row.ok, model.ok) << "model, row " << row.name;
        EXPECT_EQ(row.contents, model.contents) << "model, row " << row.name;

        CqzKeyValueMap map = MapOf({held.begin(), held.end()});
        const BYTE* block = guard.Place(row.block);
        qztest::TraceCapture capture;
        EXPECT_EQ(row.ok, map.FromMemoryBlock(block, static_cast<DWORD>(row.block.size()))) << "row " << row.name;
        EXPECT_EQ(row.contents, kvtest::ContentsOf(map)) << "row " << row.name;
        EXPECT_EQ(row.line ? Errors({row.line}) : qztest::TraceEntries(), capture.Entries()) << "row " << row.name;
    }
}

TEST(KeyValueRead, NullPointerIsRefused)
{
    CqzKeyValueMap map = MapOf({{L"held", L"before"}});
    qztest::TraceCapture capture;
    EXPECT_FALSE(map.FromMemoryBlock(nullptr, 100));
    EXPECT_EQ(Errors({"ERROR: Pointer is NULL"}), capture.Entries());
    EXPECT_EQ((Contents{{L"held", L"before"}}), kvtest::ContentsOf(map));
}

TEST(KeyValueRead, WrittenBlocksReadBackIntoAMapThatHoldsAKey)
{
    const CqzKeyValueMap source =
        MapOf({{L"shared", L"from the block"}, {L"", L"empty key"}, {L"new", L""}, {L"\u00E9t\u00E9", L"\u20AC"}});
    const DWORD capacity = source.GetSerializedSize() + 3;
    Bytes buffer(capacity);
    DWORD left = capacity;
    ASSERT_TRUE(source.ToMemoryBlock(buffer.data(), left));
    ASSERT_EQ(3u, left);

    // Only the used bytes are handed over: the size field claims three more.
    qztest::GuardedBytes guard;
    ASSERT_TRUE(guard.Ready());
    const BYTE* block = guard.Place(buffer.data(), capacity - left);
    CqzKeyValueMap target = MapOf({{L"shared", L"held"}, {L"kept", L"as it was"}});
    ASSERT_TRUE(target.FromMemoryBlock(block, capacity - left));
    Contents expected = kvtest::ContentsOf(source);
    expected[L"kept"] = L"as it was";
    EXPECT_EQ(expected, kvtest::ContentsOf(target));

    CqzKeyValueMap fresh;
    ASSERT_TRUE(fresh.FromMemoryBlock(block, capacity - left));
    EXPECT_TRUE(fresh.IsEqual(source));
    EXPECT_EQ(kvtest::ContentsOf(source), kvtest::ContentsOf(fresh));
}

// --- trace dump and comparison ------------------------------------------------

TEST(KeyValueDump, LinesOfEmptyAndFilledMaps)
{
    {
        qztest::TraceCapture capture;
        CqzKeyValueMap().DumpToTrace();
        EXPECT_EQ(qztest::EntriesOf(QZT_INFO, "", {"******\r\nEmpty\r\n******"}), capture.Entries());
    }
    const CqzKeyValueMap map = MapOf({{L"b", L"2"}, {L"a", L""}, {L"Gr\u00FC\u00DFe", L"\u20AC"}});
    std::vector<std::string> lines = {"******\r\n3 entries:"};
    for (const auto& entry : map)
        lines.push_back("* " + qztest::ToUtf8(entry.first) + ": " + qztest::ToUtf8(entry.second));
    lines.push_back("******");
    qztest::TraceCapture capture;
    map.DumpToTrace();
    EXPECT_EQ(qztest::EntriesOf(QZT_INFO, "", lines), capture.Entries());
    EXPECT_NE(std::string::npos, capture.Text().find("* Gr\xC3\xBC\xC3\x9F"
                                                     "e: \xE2\x82\xAC\n"));
}

struct EqualRow
{
    const char* name;
    Entries mine;
    Entries other;
    bool equal;
};

TEST(KeyValueEqual, KeysExactValuesWithoutCase)
{
    const EqualRow rows[] = {
        {"both empty", {}, {}, true},
        {"same entries", {{L"a", L"1"}, {L"b", L"2"}}, {{L"b", L"2"}, {L"a", L"1"}}, true},
        {"values differ in case", {{L"a", L"Value"}}, {{L"a", L"vALUE"}}, true},
        {"non-ASCII values differ in case", {{L"a", L"\u00E9T\u00C9"}}, {{L"a", L"\u00C9t\u00E9"}}, true},
        {"keys differ in case", {{L"Key", L"v"}}, {{L"key", L"v"}}, false},
        {"values differ", {{L"a", L"1"}}, {{L"a", L"2"}}, false},
        {"value is a prefix", {{L"a", L"ab"}}, {{L"a", L"a"}}, false},
        {"empty and non-empty value", {{L"a", L""}}, {{L"a", L"x"}}, false},
        {"more entries", {{L"a", L"1"}}, {{L"a", L"1"}, {L"b", L"2"}}, false},
        {"same count, other key", {{L"a", L"1"}}, {{L"b", L"1"}}, false},
        {"embedded zero kept in the comparison",
         {{L"a", std::wstring(L"x\0y", 3)}},
         {{L"a", std::wstring(L"X\0Z", 3)}},
         false},
        {"embedded zero, case only", {{L"a", std::wstring(L"x\0y", 3)}}, {{L"a", std::wstring(L"X\0Y", 3)}}, true},
    };
    for (const EqualRow& row : rows)
    {
        const CqzKeyValueMap mine = MapOf(row.mine);
        const CqzKeyValueMap other = MapOf(row.other);
        EXPECT_EQ(row.equal, mine.IsEqual(other)) << "row " << row.name;
        EXPECT_EQ(row.equal, other.IsEqual(mine)) << "row " << row.name << " (reversed)";
        EXPECT_TRUE(mine.IsEqual(mine)) << "row " << row.name;
    }
}

TEST(KeyValueMapEntries, SetLookupRemove)
{
    CqzKeyValueMap map;
    EXPECT_TRUE(map.IsEmpty());
    EXPECT_TRUE(map.SetAt(L"k", L"1"));
    EXPECT_TRUE(map.SetAt(L"K", L"2"));
    EXPECT_TRUE(map.SetAt(L"k", L"3"));
    EXPECT_EQ(2u, map.GetCount());
    std::wstring value = L"untouched";
    EXPECT_TRUE(map.Lookup(L"k", value));
    EXPECT_EQ(L"3", value);
    EXPECT_FALSE(map.Lookup(L"missing", value));
    EXPECT_EQ(L"3", value);
    EXPECT_TRUE(map.RemoveKey(L"K"));
    EXPECT_FALSE(map.RemoveKey(L"K"));
    EXPECT_EQ(1u, map.GetCount());
    map.RemoveAll();
    EXPECT_TRUE(map.IsEmpty());
}

} // namespace
