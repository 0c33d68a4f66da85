// Randomized inputs for the payload readers and the record check: fields built
// by the writers, then cut, bit-flipped, given hostile length prefixes or
// extended, and placed so that they end at a no-access page. Every result is
// compared with the field rules written out independently below.
//
// The seed is fixed and printed; QZ_FUZZ_SEED=<n> and QZ_FUZZ_ITERATIONS=<n>
// reproduce or widen a run.
#include "common/cust_cmd/cust_cmd.h"

#include "testing/harness/harness.h"
#include "trace/qztrace.h"
#include "tests/cust_cmd/cust_cmd_test_util.h"
#include "testing/harness/guarded_bytes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace
{

using qztest::Bytes;
using qztest::Hex;

// Every refusal of a reader is one ERROR line of the record class.
qztest::TraceEntries ReaderError(const std::string& text)
{
    return {{QZT_ERROR, "CqzCustComdFileMap", text}};
}

// Switches every level off for the readers' class while it lives, so that the
// refusals' trace statements cost nothing, and restores each level after.
class TraceLevelsOff
{
public:
    TraceLevelsOff()
    {
        for (int i = 0; i < kCount; ++i)
        {
            // Asked the way a statement of the readers asks it.
            D_Support_c::Enter();
            m_wasOn[i] = D_Support_c::DoPrintFor("cust_cmd.cpp", "CqzCustComdFileMap", kLevels[i]) != 0;
            D_Support_c::Leave();
            D_Support_c::SetDoPrintFor(D_SCOPE_CLASS, ".*", kLevels[i], 0);
        }
    }
    ~TraceLevelsOff()
    {
        for (int i = 0; i < kCount; ++i)
            D_Support_c::SetDoPrintFor(D_SCOPE_CLASS, ".*", kLevels[i], m_wasOn[i] ? 1 : 0);
    }
    TraceLevelsOff(const TraceLevelsOff&) = delete;
    TraceLevelsOff& operator=(const TraceLevelsOff&) = delete;

private:
    static constexpr int kCount = 6;
    static constexpr unsigned kLevels[kCount] = {QZT_ERROR, QZT_WARNING, QZT_INFO, QZT_TRACE, QZT_VERBOSE, QZT_DEBUG};
    bool m_wasOn[kCount] = {};
};
constexpr unsigned TraceLevelsOff::kLevels[];

unsigned EnvNumber(const char* name, unsigned fallback)
{
    const char* text = std::getenv(name);
    return text && *text ? static_cast<unsigned>(std::strtoul(text, nullptr, 0)) : fallback;
}

DWORD Dword(const BYTE* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<DWORD>(p[3]) << 24);
}

// --- the field rules, as the agent and its senders agree on them -----------

struct StringModel
{
    bool ok = false;
    DWORD consumed = 0;
    std::wstring text;
};

StringModel ModelString(const Bytes& in)
{
    StringModel m;
    if (in.size() < 4)
        return m;
    const DWORD b = Dword(in.data());
    if (b > in.size() - 4)
        return m;
    m.ok = true;
    m.consumed = 4 + b;
    // Whole characters up to the first NUL; an odd last byte is consumed only.
    for (DWORD i = 0; i + 2 <= b; i += 2)
    {
        const wchar_t c = static_cast<wchar_t>(in[4 + i] | (in[5 + i] << 8));
        if (c == 0)
            break;
        m.text += c;
    }
    return m;
}

struct SidModel
{
    bool ok = false;
    DWORD consumed = 0;
    Bytes sid;
};

SidModel ModelSid(const Bytes& in)
{
    SidModel m;
    if (in.size() < 4)
        return m;
    const DWORD l = Dword(in.data());
    if (l > in.size() - 4)
        return m;
    if (l == 0)
    {
        m.ok = true;
        m.consumed = 4;
        m.sid = {1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        return m;
    }
    if (l < 8 || l > 68)
        return m;
    const BYTE revision = in[4];
    const BYTE count = in[5];
    if (revision != 1 || count > 15 || 8u + 4u * count > l)
        return m;
    m.ok = true;
    m.consumed = 4 + l;
    m.sid.assign(in.begin() + 4, in.begin() + 4 + 8 + 4 * count);
    return m;
}

// --- input generation -------------------------------------------------------

class Generator
{
public:
    explicit Generator(unsigned seed) : m_rng(seed) {}

    unsigned Below(unsigned n) { return n ? static_cast<unsigned>(m_rng() % n) : 0; }
    bool OneIn(unsigned n) { return Below(n) == 0; }
    BYTE Byte() { return static_cast<BYTE>(m_rng()); }

    Bytes Next()
    {
        Bytes in;
        switch (Below(5))
        {
        case 0:
            in = StringField();
            break;
        case 1:
            in = SidField();
            break;
        case 2:
            in = RandomBytes(Below(80));
            break;
        case 3:
        {
            const int fields = 1 + static_cast<int>(Below(4));
            for (int i = 0; i < fields; ++i)
            {
                const Bytes f = OneIn(2) ? StringField() : SidField();
                in.insert(in.end(), f.begin(), f.end());
            }
            break;
        }
        default:
            in = RecordHeader();
            break;
        }
        for (unsigned mutations = Below(4); mutations > 0; --mutations)
            Mutate(in);
        return in;
    }

    DWORD InterestingLength(DWORD size)
    {
        const DWORD values[] = {0,        1,        2,          3,          4,          7,          8,        12,
                                67,       68,       69,         72,         size,       size + 1,   size - 1, size - 3,
                                size - 4, size - 5, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFFC, 8176,     8177};
        return OneIn(6) ? static_cast<DWORD>(m_rng()) : values[Below(sizeof(values) / sizeof(values[0]))];
    }

private:
    Bytes RandomBytes(unsigned n)
    {
        Bytes b(n);
        for (BYTE& x : b)
            x = Byte();
        return b;
    }

    Bytes StringField()
    {
        std::wstring text;
        for (unsigned n = Below(40); n > 0; --n)
        {
            const unsigned pick = Below(8);
            text += pick == 0  ? L'\0'
                    : pick < 5 ? static_cast<wchar_t>(L'a' + Below(26))
                               : static_cast<wchar_t>(m_rng());
        }
        Bytes b(CqzCustComdFileMap::_GetSerializedSize(text));
        CqzCustComdFileMap::_Serialize(text, b.data());
        return b;
    }

    Bytes SidField()
    {
        CSid sid;
        if (!OneIn(8))
        {
            const BYTE count = static_cast<BYTE>(Below(16));
            Bytes raw = {1, count};
            for (int i = 0; i < 6; ++i)
                raw.push_back(OneIn(2) ? 0 : Byte());
            const Bytes rest = RandomBytes(4u * count);
            raw.insert(raw.end(), rest.begin(), rest.end());
            sid.LoadAccount(static_cast<PSID>(raw.data()));
        }
        Bytes b(CqzCustComdFileMap::_GetSerializedSize(sid));
        CqzCustComdFileMap::_Serialize(sid, b.data());
        return b;
    }

    Bytes RecordHeader()
    {
        const DWORD magic = OneIn(2) ? QZ_CIC_RECORD_MAGIC : static_cast<DWORD>(m_rng());
        Bytes b = qztest::RecordHeader(magic, Below(20), InterestingLength(8176));
        const Bytes tail = RandomBytes(Below(16));
        b.insert(b.end(), tail.begin(), tail.end());
        return b;
    }

    void Mutate(Bytes& in)
    {
        switch (Below(6))
        {
        case 0: // cut
            in.resize(Below(static_cast<unsigned>(in.size()) + 1));
            break;
        case 1: // flip a bit
            if (!in.empty())
                in[Below(static_cast<unsigned>(in.size()))] ^= static_cast<BYTE>(1u << Below(8));
            break;
        case 2:
        { // hostile length prefix
            if (in.size() < 4)
                break;
            const Bytes l = qztest::Le32(InterestingLength(static_cast<DWORD>(in.size()) - 4));
            std::memcpy(in.data(), l.data(), 4);
            break;
        }
        case 3:
        { // SID revision or sub-authority count
            const BYTE values[] = {0, 1, 2, 14, 15, 16, 255};
            if (in.size() > 5)
                in[4 + Below(2)] = values[Below(sizeof(values))];
            break;
        }
        case 4:
        { // more bytes behind
            const Bytes tail = RandomBytes(1 + Below(8));
            in.insert(in.end(), tail.begin(), tail.end());
            break;
        }
        default: // a random byte anywhere
            if (!in.empty())
                in[Below(static_cast<unsigned>(in.size()))] = Byte();
            break;
        }
    }

    std::mt19937 m_rng;
};

// Collects the first mismatch with what reproduces it.
class Mismatch
{
public:
    bool Any() const { return !m_text.empty(); }
    const std::string& Text() const { return m_text; }
    void Note(const char* what, unsigned iteration, const Bytes& in)
    {
        if (Any())
            return;
        std::ostringstream s;
        s << what << " at iteration " << iteration << ", input (" << in.size() << " bytes): " << Hex(in);
        m_text = s.str();
    }

private:
    std::string m_text;
};

TEST(CustCmdFuzz, ReadersAndRecordCheckOnGuardedInputs)
{
    const unsigned seed = EnvNumber("QZ_FUZZ_SEED", 0x5EED1D7C);
    const unsigned iterations = EnvNumber("QZ_FUZZ_ITERATIONS", 1000000);
    std::printf("seed %u (0x%08X), %u inputs\n", seed, seed, iterations);
    std::fflush(stdout);
    RecordProperty("seed", static_cast<int>(seed));

    qztest::GuardedBytes guard(3);
    ASSERT_TRUE(guard.Ready());
    // Names the input being tried when a reader faults, before the process dies.
    qztest::FaultNote reporter;
    // Every refusal traces; with the levels off nothing may reach the file.
    qztest::TraceCapture capture;
    std::optional<TraceLevelsOff> quiet;
    quiet.emplace();
    Generator gen(seed);
    Mismatch mismatch;
    const std::wstring stringSentinel = L"\xCCCC sentinel";
    const CSid sidSentinel = qztest::SidOf(L"S-1-1-0");
    const Bytes sidSentinelBytes(reinterpret_cast<const BYTE*>(sidSentinel.GetPSID()),
                                 reinterpret_cast<const BYTE*>(sidSentinel.GetPSID()) + sidSentinel.GetLength());
    Bytes rawOut;
    unsigned stringsRead = 0, sidsRead = 0, rawRead = 0, recordsValid = 0;

    for (unsigned i = 0; i < iterations && !mismatch.Any(); ++i)
    {
        qztest::FaultNote::Name(seed, i);
        Bytes in = gen.Next();
        if (in.size() > guard.Capacity())
            in.resize(guard.Capacity());
        const DWORD size = static_cast<DWORD>(in.size());
        const BYTE* pos = guard.Place(in);

        // String reader.
        {
            const StringModel m = ModelString(in);
            std::wstring out = stringSentinel;
            DWORD remaining = size;
            const BYTE* next = CqzCustComdFileMap::_Deserialize(pos, remaining, out);
            if (m.ok != (next != nullptr))
                mismatch.Note(m.ok ? "string refused" : "string accepted", i, in);
            else if (m.ok && (next != pos + m.consumed || remaining != size - m.consumed || out != m.text))
                mismatch.Note("string read wrongly", i, in);
            else if (!m.ok && (remaining != size || out != stringSentinel))
                mismatch.Note("failed string read changed its outputs", i, in);
            stringsRead += m.ok;
        }

        // SID reader.
        {
            const SidModel m = ModelSid(in);
            CSid out = sidSentinel;
            DWORD remaining = size;
            const BYTE* next = CqzCustComdFileMap::_Deserialize(pos, remaining, out);
            const BYTE* outBytes = reinterpret_cast<const BYTE*>(out.GetPSID());
            const Bytes read = outBytes ? Bytes(outBytes, outBytes + out.GetLength()) : Bytes();
            if (m.ok != (next != nullptr))
                mismatch.Note(m.ok ? "SID refused" : "SID accepted", i, in);
            else if (m.ok && (next != pos + m.consumed || remaining != size - m.consumed || read != m.sid))
                mismatch.Note("SID read wrongly", i, in);
            else if (!m.ok && (remaining != size || read != sidSentinelBytes))
                mismatch.Note("failed SID read changed its outputs", i, in);
            sidsRead += m.ok;
        }

        // Raw reader: N around the bytes left and beyond.
        {
            const DWORD n = gen.OneIn(4) ? gen.InterestingLength(size) : gen.Below(size + 2);
            const bool ok = n <= size;
            const DWORD outSize = ok ? n + 8 : 8;
            rawOut.assign(outSize, 0xCC);
            DWORD remaining = size;
            const BYTE* next = CqzCustComdFileMap::_Deserialize(pos, n, remaining, rawOut.data());
            if (ok != (next != nullptr))
                mismatch.Note(ok ? "raw refused" : "raw accepted", i, in);
            else if (ok && (next != pos + n || remaining != size - n || std::memcmp(rawOut.data(), pos, n) != 0 ||
                            rawOut[n] != 0xCC || rawOut[outSize - 1] != 0xCC))
                mismatch.Note("raw read wrongly", i, in);
            else if (!ok && (remaining != size || rawOut != Bytes(outSize, 0xCC)))
                mismatch.Note("failed raw read changed its outputs", i, in);
            rawRead += ok;
        }

        // Record check over a region that ends with the input; now and then a
        // whole section (or more) of which the input is the start.
        {
            SIZE_T region = size;
            const BYTE* at = pos;
            if (gen.OneIn(8) && size >= 12)
            {
                region = QZ_CIC_SECTION_SIZE - 1 + gen.Below(guard.Capacity() - QZ_CIC_SECTION_SIZE + 2);
                at = guard.End() - region;
                std::memmove(const_cast<BYTE*>(at), pos, 12);
            }
            const bool valid = region >= QZ_CIC_SECTION_SIZE && Dword(at) == QZ_CIC_RECORD_MAGIC &&
                               Dword(at + 8) <= QZ_CIC_MAX_DATA_LEN;
            if (reinterpret_cast<const SqzCustCmdRecord*>(at)->IsValid(region) != valid)
                mismatch.Note(valid ? "record refused" : "record accepted", i, in);
            recordsValid += valid;
        }
    }

    quiet.reset();
    EXPECT_FALSE(mismatch.Any()) << "seed " << seed << ": " << mismatch.Text();
    EXPECT_TRUE(capture.Lines().empty()) << "traced with the levels off";

    // The levels are back: a refusal traces again.
    DWORD remaining = 0;
    std::wstring out;
    EXPECT_EQ(nullptr, CqzCustComdFileMap::_Deserialize(guard.End(), remaining, out));
    EXPECT_EQ(ReaderError("ERROR: Cannot deserialize string. Remaining buffer size is less than "
                          "sizeof(DWORD)."),
              capture.Entries());
    std::printf("read back: %u strings, %u SIDs, %u raw, %u valid records\n", stringsRead, sidsRead, rawRead,
                recordsValid);
    // The generator must reach both sides of every rule.
    EXPECT_GT(stringsRead, iterations / 20);
    EXPECT_GT(sidsRead, iterations / 20);
    EXPECT_GT(rawRead, iterations / 20);
    EXPECT_GT(recordsValid, iterations / 1000);
}

} // namespace
