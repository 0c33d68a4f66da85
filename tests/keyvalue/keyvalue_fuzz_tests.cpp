// Randomized memory blocks for CqzKeyValueMap: blocks written by the format
// model, then cut, given hostile size, count and length fields, bit-flipped or
// replaced by noise, each placed so that it ends at a no-access page and read
// into a map that may already hold keys. Every result is checked against the
// reader model of tests/keyvalue/keyvalue_model.h. The writer is driven the
// same way with capacities around what a map needs.
//
// The seed is fixed and printed; QZ_FUZZ_SEED=<n> and QZ_FUZZ_ITERATIONS=<n>
// reproduce or widen a run.
#include "common/util/key_value_map.h"

#include "testing/harness/guarded_bytes.h"
#include "tests/keyvalue/keyvalue_model.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace
{

using kvtest::Bytes;
using kvtest::Contents;
using kvtest::Entries;

unsigned EnvNumber(const char* name, unsigned fallback)
{
    const char* text = std::getenv(name);
    return text && *text ? static_cast<unsigned>(std::strtoul(text, nullptr, 0)) : fallback;
}

class Generator
{
public:
    explicit Generator(unsigned seed) : m_random(seed) {}

    unsigned Below(unsigned bound) { return bound ? m_random() % bound : 0; }
    bool OneIn(unsigned n) { return Below(n) == 0; }

    std::wstring String()
    {
        // Mostly short texts; zeros, non-ASCII and surrogates now and then.
        static const wchar_t kChars[] = {L'a', L'b',   L'K',   L'k',   L' ',   L'\\',
                                         0,    0x00E9, 0x00C9, 0x20AC, 0xD83D, 0xFFFF};
        const unsigned length = OneIn(10) ? Below(40) : Below(6);
        std::wstring text;
        for (unsigned i = 0; i < length; ++i)
            text += kChars[Below(sizeof(kChars) / sizeof(kChars[0]))];
        return text;
    }

    Entries SomeEntries(unsigned most)
    {
        Entries entries;
        const unsigned count = Below(most + 1);
        for (unsigned i = 0; i < count; ++i)
            entries.emplace_back(String(), String());
        return entries;
    }

    DWORD Hostile(DWORD usual)
    {
        const DWORD picks[] = {0, 1,         2,     3,         4,          5,          7,         8,
                               9, usual - 1, usual, usual + 1, 0x7FFFFFFF, 0xFFFFFFFC, 0xFFFFFFFF};
        return OneIn(8) ? static_cast<DWORD>(m_random()) : picks[Below(sizeof(picks) / sizeof(picks[0]))];
    }

    Bytes Noise(unsigned most)
    {
        Bytes bytes(Below(most + 1));
        for (BYTE& b : bytes)
            b = static_cast<BYTE>(m_random());
        return bytes;
    }

private:
    std::mt19937 m_random;
};

void PutLe32(Bytes& bytes, size_t at, DWORD value)
{
    for (size_t i = 0; i < 4 && at + i < bytes.size(); ++i)
        bytes[at + i] = static_cast<BYTE>(value >> (8 * i));
}

// Offsets at which the fields of a model block start.
std::vector<size_t> FieldStarts(const Entries& entries)
{
    std::vector<size_t> starts;
    size_t at = kvtest::kHeaderSize;
    for (const auto& entry : entries)
    {
        starts.push_back(at);
        at += kvtest::FieldSize(entry.first);
        starts.push_back(at);
        at += kvtest::FieldSize(entry.second);
    }
    return starts;
}

Bytes RandomBlock(Generator& gen, Entries& entries)
{
    entries = gen.SomeEntries(6);
    if (gen.OneIn(20))
    {
        // Noise behind a valid magic, or no magic at all.
        Bytes block = gen.OneIn(2) ? Bytes(kvtest::kMagic, kvtest::kMagic + kvtest::kMagicSize) : Bytes();
        const Bytes noise = gen.Noise(64);
        block.insert(block.end(), noise.begin(), noise.end());
        return block;
    }
    const DWORD exact = static_cast<DWORD>(kvtest::ModelSize(entries));
    const DWORD spare = gen.OneIn(3) ? gen.Below(9) : 0;
    Bytes block = kvtest::ModelBlock(entries, exact + spare);
    if (spare && gen.OneIn(2))
    {
        const Bytes tail = gen.Noise(spare);
        block.insert(block.end(), tail.begin(), tail.end());
    }
    const std::vector<size_t> starts = FieldStarts(entries);
    const unsigned mutations = gen.Below(4);
    for (unsigned m = 0; m < mutations; ++m)
    {
        switch (gen.Below(6))
        {
        case 0:
            block.resize(gen.Below(static_cast<unsigned>(block.size()) + 1));
            break;
        case 1:
            PutLe32(block, 7, gen.Hostile(exact - 7));
            break;
        case 2:
            PutLe32(block, 11, gen.Hostile(static_cast<DWORD>(entries.size())));
            break;
        case 3:
            if (!starts.empty())
            {
                const size_t at = starts[gen.Below(static_cast<unsigned>(starts.size()))];
                PutLe32(block, at, gen.Hostile(static_cast<DWORD>(block.size() - at - 4)));
            }
            break;
        case 4:
            if (!block.empty())
                block[gen.Below(static_cast<unsigned>(block.size()))] ^= static_cast<BYTE>(1u << gen.Below(8));
            break;
        default:
            if (!block.empty() && gen.OneIn(4))
                block[gen.Below(kvtest::kMagicSize)] ^= 0x20;
            break;
        }
    }
    return block;
}

TEST(KeyValueFuzz, RandomizedBlocksMatchTheReaderModel)
{
    const unsigned seed = EnvNumber("QZ_FUZZ_SEED", 0x6B760002);
    const unsigned iterations = EnvNumber("QZ_FUZZ_ITERATIONS", 1000000);
    std::printf("seed %u, %u blocks\n", seed, iterations);
    Generator gen(seed);
    qztest::GuardedBytes guard(2);
    ASSERT_TRUE(guard.Ready());
    qztest::FaultNote note;

    unsigned accepted = 0;
    unsigned failedWithEntries = 0;
    for (unsigned i = 0; i < iterations; ++i)
    {
        qztest::FaultNote::Name(seed, i);
        Entries entries;
        const Bytes block = RandomBlock(gen, entries);
        ASSERT_LE(block.size(), guard.Capacity());

        // Sometimes the map already holds one of the block's keys.
        Contents held;
        if (gen.OneIn(3))
            held.emplace(gen.String(), L"held");
        if (!entries.empty() && gen.OneIn(3))
            held[entries[gen.Below(static_cast<unsigned>(entries.size()))].first] = L"held";

        CqzKeyValueMap map;
        for (const auto& entry : held)
            ASSERT_TRUE(map.SetAt(entry.first, entry.second));
        const bool ok = map.FromMemoryBlock(guard.Place(block), static_cast<DWORD>(block.size()));
        const kvtest::ReadModel model = kvtest::ModelRead(block, held);
        ASSERT_EQ(model.ok, ok) << "seed " << seed << ", iteration " << i;
        ASSERT_EQ(model.contents, kvtest::ContentsOf(map)) << "seed " << seed << ", iteration " << i;
        accepted += ok ? 1 : 0;
        failedWithEntries += !ok && model.contents.size() > held.size() ? 1 : 0;
    }
    std::printf("%u accepted, %u failed after adding entries\n", accepted, failedWithEntries);
    // The mix must exercise both outcomes, and failures that keep pairs.
    EXPECT_GT(accepted, iterations / 10);
    EXPECT_GT(iterations - accepted, iterations / 10);
    EXPECT_GT(failedWithEntries, iterations / 100);
}

TEST(KeyValueFuzz, WriterMatchesTheModelAtEveryCapacity)
{
    const unsigned seed = EnvNumber("QZ_FUZZ_SEED", 0x6B760002) + 1;
    const unsigned iterations = EnvNumber("QZ_FUZZ_ITERATIONS", 1000000) / 20;
    Generator gen(seed);
    qztest::GuardedBytes guard(2);
    ASSERT_TRUE(guard.Ready());
    qztest::FaultNote note;

    for (unsigned i = 0; i < iterations; ++i)
    {
        qztest::FaultNote::Name(seed, i);
        CqzKeyValueMap map;
        for (const auto& entry : gen.SomeEntries(5))
            ASSERT_TRUE(map.SetAt(entry.first, entry.second));
        const Entries order = kvtest::EntriesOf(map);
        const DWORD size = static_cast<DWORD>(kvtest::ModelSize(order));
        ASSERT_EQ(size, map.GetSerializedSize());
        const DWORD capacity = gen.Below(size + 5);

        // The buffer ends at the guard page: a write past the capacity faults.
        BYTE* buffer = const_cast<BYTE*>(guard.End()) - capacity;
        std::memset(buffer, 0xCC, capacity);
        DWORD left = capacity;
        const bool ok = map.ToMemoryBlock(buffer, left);

        // The model: whole fields up to the first that does not fit.
        const Bytes model = kvtest::ModelBlock(order, capacity);
        size_t written = capacity < 11 ? 0 : 11;
        bool modelOk = capacity >= 15;
        if (modelOk)
        {
            written = kvtest::kHeaderSize;
            for (const auto& entry : order)
            {
                for (const std::wstring* field : {&entry.first, &entry.second})
                {
                    if (modelOk && written + kvtest::FieldSize(*field) <= capacity)
                        written += kvtest::FieldSize(*field);
                    else
                        modelOk = false;
                }
            }
        }
        Bytes expected(model.begin(), model.begin() + written);
        expected.resize(capacity, 0xCC);
        ASSERT_EQ(modelOk, ok) << "seed " << seed << ", iteration " << i << ", capacity " << capacity;
        ASSERT_EQ(capacity < 11 ? capacity : capacity - written, left) << "seed " << seed << ", iteration " << i;
        ASSERT_EQ(expected, Bytes(buffer, buffer + capacity)) << "seed " << seed << ", iteration " << i;
    }
}

} // namespace
