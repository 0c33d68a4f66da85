// Security attributes and real tokens. Wine fails reading and writing the
// class for real (error 1): those failures and their lines are tested as
// they happen. A block the token hands out cannot be had from Wine, so one
// group of tests serves a block laid out by this file's own model through
// the executable's import of GetTokenInformation; another watches what
// SetTokenInformation is given before passing the call on.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/security/access_token.h"
#include "common/security/token_security_attributes.h"
#include "common/util/os.h"
#include "common/util/text_sink.h"
#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"
#include "tests/claims/claims_support.h"
#include "trace/qztrace.h"

namespace
{
using qzclaims::TOKEN_SECURITY_ATTRIBUTE_OCTET_STRING_VALUE;
using qzclaims::TOKEN_SECURITY_ATTRIBUTE_V1;
using qzclaims::TOKEN_SECURITY_ATTRIBUTES_AND_OPERATION_INFORMATION;
using qzclaims::TOKEN_SECURITY_ATTRIBUTES_INFORMATION;

using qzclaimstest::DumpLines;

const char kSet[] = "CqzTokenSecurityAttributes";
const char kToken[] = "CqzAccessToken";

// ---- The model of a block as the token returns it ------------------------

struct ModelAttribute
{
    const wchar_t* name; // null: no name text
    USHORT type;
    ULONG flags;
    std::vector<ULONG64> numbers;        // INT64, UINT64, BOOLEAN
    std::vector<std::wstring> strings;   // STRING
    std::vector<std::vector<BYTE>> sids; // SID
};

// Lays the set out in one block the way the system does: the header, the
// record array, then names and values, every pointer into the block itself.
// With a null base only the size is computed.
class BlockModel
{
public:
    explicit BlockModel(std::vector<ModelAttribute> attributes) : m_attributes(std::move(attributes)) {}

    size_t Write(BYTE* base) const
    {
        size_t cursor = 0;
        auto take = [&](size_t bytes) -> BYTE*
        {
            cursor = (cursor + 7) & ~static_cast<size_t>(7);
            BYTE* at = base == nullptr ? nullptr : base + cursor;
            cursor += bytes;
            return at;
        };
        auto* set = reinterpret_cast<TOKEN_SECURITY_ATTRIBUTES_INFORMATION*>(
            take(sizeof(TOKEN_SECURITY_ATTRIBUTES_INFORMATION)));
        auto* records = reinterpret_cast<TOKEN_SECURITY_ATTRIBUTE_V1*>(
            take(sizeof(TOKEN_SECURITY_ATTRIBUTE_V1) * m_attributes.size()));
        if (base != nullptr)
        {
            set->Version = 1;
            set->Reserved = 0;
            set->AttributeCount = static_cast<ULONG>(m_attributes.size());
            set->Attribute.pAttributeV1 = m_attributes.empty() ? nullptr : records;
        }
        for (size_t i = 0; i < m_attributes.size(); ++i)
        {
            const ModelAttribute& model = m_attributes[i];
            TOKEN_SECURITY_ATTRIBUTE_V1 record = {};
            record.ValueType = model.type;
            record.Flags = model.flags;
            if (model.name != nullptr)
                record.Name = WriteText(take, model.name);
            if (!model.numbers.empty())
            {
                BYTE* values = take(model.numbers.size() * sizeof(ULONG64));
                record.ValueCount = static_cast<ULONG>(model.numbers.size());
                record.Values.pGeneric = values;
                if (base != nullptr)
                    std::memcpy(values, model.numbers.data(), model.numbers.size() * sizeof(ULONG64));
            }
            if (!model.strings.empty())
            {
                auto* values = reinterpret_cast<UNICODE_STRING*>(take(model.strings.size() * sizeof(UNICODE_STRING)));
                record.ValueCount = static_cast<ULONG>(model.strings.size());
                record.Values.pString = values;
                for (size_t j = 0; j < model.strings.size(); ++j)
                {
                    const UNICODE_STRING text = WriteText(take, model.strings[j].c_str());
                    if (base != nullptr)
                        values[j] = text;
                }
            }
            if (!model.sids.empty())
            {
                auto* values = reinterpret_cast<TOKEN_SECURITY_ATTRIBUTE_OCTET_STRING_VALUE*>(
                    take(model.sids.size() * sizeof(TOKEN_SECURITY_ATTRIBUTE_OCTET_STRING_VALUE)));
                record.ValueCount = static_cast<ULONG>(model.sids.size());
                record.Values.pOctetString = values;
                for (size_t j = 0; j < model.sids.size(); ++j)
                {
                    BYTE* sid = take(model.sids[j].size());
                    if (base != nullptr)
                    {
                        std::memcpy(sid, model.sids[j].data(), model.sids[j].size());
                        values[j] = {sid, static_cast<ULONG>(model.sids[j].size())};
                    }
                }
            }
            if (base != nullptr)
                records[i] = record;
        }
        return cursor;
    }

private:
    template <typename Take>
    static UNICODE_STRING WriteText(Take& take, const wchar_t* text)
    {
        const size_t bytes = std::wcslen(text) * sizeof(wchar_t);
        BYTE* at = take(bytes + sizeof(wchar_t));
        UNICODE_STRING counted = {};
        counted.Length = static_cast<USHORT>(bytes);
        counted.MaximumLength = static_cast<USHORT>(bytes + sizeof(wchar_t));
        counted.Buffer = reinterpret_cast<PWSTR>(at);
        if (at != nullptr)
            std::memcpy(at, text, bytes + sizeof(wchar_t));
        return counted;
    }

    std::vector<ModelAttribute> m_attributes;
};

// ---- Seams ---------------------------------------------------------------

typedef BOOL(WINAPI* GetTokenInformationFn)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
typedef BOOL(WINAPI* SetTokenInformationFn)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD);
GetTokenInformationFn g_getOriginal = nullptr;
SetTokenInformationFn g_setOriginal = nullptr;
const BlockModel* g_served = nullptr;

BOOL WINAPI ServingGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID buffer, DWORD size,
                                       PDWORD returned)
{
    if (infoClass != TokenSecurityAttributes || g_served == nullptr)
        return g_getOriginal(token, infoClass, buffer, size, returned);
    const size_t needed = g_served->Write(nullptr);
    *returned = static_cast<DWORD>(needed);
    if (buffer == nullptr || size < needed)
    {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    g_served->Write(static_cast<BYTE*>(buffer));
    ::SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// What one SetTokenInformation(TokenSecurityAttributes) call was given.
struct SetCall
{
    DWORD size = 0;
    bool seen = false;
    USHORT version = 0;
    ULONG count = 0;
    std::vector<ULONG> operations;
    std::vector<TOKEN_SECURITY_ATTRIBUTE_V1> records;
    std::vector<std::wstring> names;
};
std::vector<SetCall> g_setCalls;

BOOL WINAPI WatchingSetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID buffer, DWORD size)
{
    if (infoClass == TokenSecurityAttributes)
    {
        SetCall call;
        call.seen = true;
        call.size = size;
        const auto* operation = static_cast<const TOKEN_SECURITY_ATTRIBUTES_AND_OPERATION_INFORMATION*>(buffer);
        if (size >= sizeof(*operation) && operation->Attributes != nullptr)
        {
            call.version = operation->Attributes->Version;
            call.count = operation->Attributes->AttributeCount;
            for (ULONG i = 0; i < call.count; ++i)
            {
                const TOKEN_SECURITY_ATTRIBUTE_V1& record = operation->Attributes->Attribute.pAttributeV1[i];
                call.records.push_back(record);
                call.names.push_back(record.Name.Buffer == nullptr
                                         ? std::wstring()
                                         : std::wstring(record.Name.Buffer, record.Name.Length / sizeof(wchar_t)));
                call.operations.push_back(operation->Operations[i]);
            }
        }
        g_setCalls.push_back(call);
    }
    return g_setOriginal(token, infoClass, buffer, size);
}

class ClaimsTokenTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!CqzOperatingSystem::IsWin8OrLater())
            GTEST_SKIP() << "security attributes exist from Windows 8 on";
        m_token = qztest::OpenOwnProcessToken();
        ASSERT_TRUE(m_token.IsValid());
    }

    qztest::ScopedHandle m_token;
};

// Wine's own answer, read with plain advapi32: the library is tested against
// the failure as it really happens.
DWORD SystemErrorOfClass39(HANDLE token)
{
    DWORD returned = 0;
    ::SetLastError(ERROR_SUCCESS);
    if (::GetTokenInformation(token, TokenSecurityAttributes, nullptr, 0, &returned))
        return ERROR_SUCCESS;
    return ::GetLastError();
}

// A built set of one INT64 attribute.
void BuildOne(CqzTokenSecurityAttributes& set, const wchar_t* name = L"Claim.Set")
{
    const LONG64 values[2] = {4, -4};
    CqzTokenSecurityAttribute attribute;
    ASSERT_TRUE(attribute._SetNameAndSimpleValues(name, values, sizeof(LONG64), 2, qzclaims::kTypeInt64, 0x20));
    set.FromPolicyData(attribute);
    ASSERT_EQ(set.GetCount(), 1u);
}

TEST_F(ClaimsTokenTest, FromAccessTokenFailsAsWineFails)
{
    const DWORD systemError = SystemErrorOfClass39(m_token.Get());
    ASSERT_NE(systemError, static_cast<DWORD>(ERROR_SUCCESS)) << "this Wine reads class 39";
    ASSERT_NE(systemError, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    CqzTokenSecurityAttributes set;
    BuildOne(set);
    qztest::TraceCapture capture;
    DWORD error = 0;
    EXPECT_FALSE(set.FromAccessToken(m_token.Get(), error));
    EXPECT_EQ(error, systemError);
    const std::string code = std::to_string(systemError);
    const qztest::TraceEntries expected = {
        {QZT_ERROR, kToken, "ERROR: GetTokenInformation(TokenSecurityAttributes, NULL) failed. LastError=" + code},
        {QZT_ERROR, kSet, "ERROR: GetTokenInformationAlloc(TokenSecurityAttributes) failed. LastError=" + code}};
    EXPECT_EQ(capture.Entries(), expected);
    EXPECT_EQ(set.GetCount(), 0u) << "what was held is released";
    EXPECT_EQ(set.GetSet(), nullptr);
    EXPECT_EQ(DumpLines(set), (std::vector<std::wstring>{L"TOKEN SECURITY ATTRIBUTES: NULL", L""}));
}

TEST_F(ClaimsTokenTest, FromAccessTokenWithoutAToken)
{
    CqzTokenSecurityAttributes set;
    qztest::TraceCapture capture;
    DWORD error = 0;
    EXPECT_FALSE(set.FromAccessToken(nullptr, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(capture.Entries(), qztest::EntriesOf(QZT_ERROR, kSet, {"ERROR: token is NULL"}));
}

TEST_F(ClaimsTokenTest, SetToAccessTokenFailsAsWineFails)
{
    CqzTokenSecurityAttributes set;
    BuildOne(set);

    // The token object keeps the system's error.
    HANDLE copy = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), m_token.Get(), ::GetCurrentProcess(), &copy, 0, FALSE,
                                  DUPLICATE_SAME_ACCESS));
    CqzAccessToken token;
    token.Attach(copy);
    {
        qztest::TraceCapture capture;
        EXPECT_FALSE(set.SetToAccessToken(token));
        EXPECT_EQ(token.LastError(), 1u);
        EXPECT_EQ(capture.Entries(),
                  qztest::EntriesOf(QZT_ERROR, kToken,
                                    {"ERROR: SetTokenInformation(TokenSecurityAttributes) failed. LastError=1"}));
    }
    // The handle form leaves it as the thread's last error and the handle open.
    {
        qztest::TraceCapture capture;
        ::SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(set.SetToAccessToken(m_token.Get()));
        EXPECT_EQ(::GetLastError(), 1u);
        EXPECT_EQ(capture.Entries(),
                  qztest::EntriesOf(QZT_ERROR, kToken,
                                    {"ERROR: SetTokenInformation(TokenSecurityAttributes) failed. LastError=1"}));
        DWORD type = 0;
        DWORD returned = 0;
        EXPECT_TRUE(::GetTokenInformation(m_token.Get(), TokenType, &type, sizeof(type), &returned));
    }
    EXPECT_EQ(set.GetCount(), 1u) << "a failed write keeps the set";
}

TEST_F(ClaimsTokenTest, SetToAccessTokenWithNothingHeld)
{
    CqzTokenSecurityAttributes set;
    qztest::IatHook watch("advapi32.dll", "SetTokenInformation", reinterpret_cast<void*>(&WatchingSetTokenInformation));
    ASSERT_TRUE(watch.Installed());
    g_setOriginal = watch.OriginalAs<SetTokenInformationFn>();
    g_setCalls.clear();
    qztest::TraceCapture capture;
    EXPECT_FALSE(set.SetToAccessToken(m_token.Get()));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(capture.Entries(), qztest::EntriesOf(QZT_ERROR, kSet, {"ERROR: No security attributes to set."}));
    EXPECT_TRUE(g_setCalls.empty()) << "no null set is handed to the system";
}

TEST_F(ClaimsTokenTest, SetAttributeWithoutValuesHandsOverOneBareRecord)
{
    qztest::IatHook watch("advapi32.dll", "SetTokenInformation", reinterpret_cast<void*>(&WatchingSetTokenInformation));
    ASSERT_TRUE(watch.Installed());
    g_setOriginal = watch.OriginalAs<SetTokenInformationFn>();
    g_setCalls.clear();

    qztest::TraceCapture capture;
    ::SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(
        CqzTokenSecurityAttributes::SetAttributeWithoutValues(m_token.Get(), L"Claim.Bare", qzclaims::kTypeString));
    EXPECT_EQ(::GetLastError(), 1u);
    EXPECT_EQ(capture.Entries(),
              qztest::EntriesOf(QZT_ERROR, kToken,
                                {"ERROR: SetTokenInformation(TokenSecurityAttributes) failed. LastError=1"}));
    ASSERT_EQ(g_setCalls.size(), 1u);
    const SetCall& call = g_setCalls[0];
    EXPECT_EQ(call.size, sizeof(TOKEN_SECURITY_ATTRIBUTES_AND_OPERATION_INFORMATION));
    EXPECT_EQ(call.version, 1);
    ASSERT_EQ(call.count, 1u);
    EXPECT_EQ(call.operations, std::vector<ULONG>{4});
    EXPECT_EQ(call.names[0], L"Claim.Bare");
    EXPECT_EQ(call.records[0].Name.Length, 20);
    EXPECT_EQ(call.records[0].Name.MaximumLength, 22);
    EXPECT_EQ(call.records[0].ValueType, qzclaims::kTypeString);
    EXPECT_EQ(call.records[0].Flags, 0u);
    EXPECT_EQ(call.records[0].ValueCount, 0u);
    EXPECT_EQ(call.records[0].Values.pGeneric, nullptr);

    // An empty name is refused before the system is asked.
    g_setCalls.clear();
    qztest::TraceCapture quiet;
    EXPECT_FALSE(CqzTokenSecurityAttributes::SetAttributeWithoutValues(m_token.Get(), L"", qzclaims::kTypeInt64));
    EXPECT_FALSE(CqzTokenSecurityAttributes::SetAttributeWithoutValues(m_token.Get(), nullptr, qzclaims::kTypeInt64));
    EXPECT_TRUE(g_setCalls.empty());
    EXPECT_TRUE(quiet.Entries().empty());
}

TEST_F(ClaimsTokenTest, SetToAccessTokenHandsOverTheSetWithOneCodePerAttribute)
{
    qztest::IatHook watch("advapi32.dll", "SetTokenInformation", reinterpret_cast<void*>(&WatchingSetTokenInformation));
    ASSERT_TRUE(watch.Installed());
    g_setOriginal = watch.OriginalAs<SetTokenInformationFn>();
    g_setCalls.clear();

    CqzTokenSecurityAttributes built;
    BuildOne(built, L"Claim.Written");
    EXPECT_FALSE(built.SetToAccessToken(m_token.Get()));
    ASSERT_EQ(g_setCalls.size(), 1u);
    EXPECT_EQ(g_setCalls[0].version, 1);
    EXPECT_EQ(g_setCalls[0].names, std::vector<std::wstring>{L"Claim.Written"});
    EXPECT_EQ(g_setCalls[0].operations, std::vector<ULONG>{4});
    EXPECT_EQ(g_setCalls[0].records[0].ValueCount, 2u);
    EXPECT_EQ(g_setCalls[0].records[0].Flags, 0x20u);

    // A set read from a token with several attributes: a code for each.
    const BlockModel model({{L"A", 1, 0, {1}, {}, {}}, {L"B", 2, 0, {2}, {}, {}}, {L"C", 6, 0, {0}, {}, {}}});
    qztest::IatHook serve("advapi32.dll", "GetTokenInformation", reinterpret_cast<void*>(&ServingGetTokenInformation));
    ASSERT_TRUE(serve.Installed());
    g_getOriginal = serve.OriginalAs<GetTokenInformationFn>();
    g_served = &model;
    CqzTokenSecurityAttributes read;
    DWORD error = 0;
    EXPECT_TRUE(read.FromAccessToken(m_token.Get(), error));
    g_served = nullptr;
    g_setCalls.clear();
    EXPECT_FALSE(read.SetToAccessToken(m_token.Get()));
    ASSERT_EQ(g_setCalls.size(), 1u);
    EXPECT_EQ(g_setCalls[0].names, (std::vector<std::wstring>{L"A", L"B", L"C"}));
    EXPECT_EQ(g_setCalls[0].operations, (std::vector<ULONG>{4, 4, 4}));
}

// A block as the token hands it out: held as one allocation, rendered, looked
// up, and freed whole.
class ServedBlockTest : public ClaimsTokenTest
{
protected:
    void Serve(const BlockModel& model)
    {
        m_serve.reset(new qztest::IatHook("advapi32.dll", "GetTokenInformation",
                                          reinterpret_cast<void*>(&ServingGetTokenInformation)));
        ASSERT_TRUE(m_serve->Installed());
        g_getOriginal = m_serve->OriginalAs<GetTokenInformationFn>();
        g_served = &model;
    }
    void TearDown() override
    {
        g_served = nullptr;
        m_serve.reset();
    }

    std::unique_ptr<qztest::IatHook> m_serve;
};

TEST_F(ServedBlockTest, ReadBlockRendersFindsAndFreesWhole)
{
    const std::vector<BYTE> system = qzclaimstest::SidBytes(L"S-1-5-18");
    const BlockModel model({
        {L"Claim.Name.Long", qzclaims::kTypeInt64, 0x21, {7}, {}, {}},
        {L"Claim.Name", qzclaims::kTypeString, 0x02, {}, {L"v1", L"v2"}, {}},
        {nullptr, qzclaims::kTypeBoolean, 0, {0}, {}, {}},
        {L"Claim.Name", qzclaims::kTypeUint64, 0, {1}, {}, {}},
        {L"Claim.Sid", qzclaims::kTypeSid, 0, {}, {}, {system}},
        {L"Claim.None", qzclaims::kTypeInt64, 0, {}, {}, {}},
    });
    Serve(model);

    qzclaimstest::HeapLedger ledger;
    ASSERT_TRUE(ledger.Installed());
    {
        CqzTokenSecurityAttributes set;
        BuildOne(set);
        qztest::TraceCapture capture;
        DWORD error = 99;
        ASSERT_TRUE(set.FromAccessToken(m_token.Get(), error));
        EXPECT_EQ(error, 0u);
        EXPECT_TRUE(capture.Entries().empty());
        EXPECT_TRUE(set.IsFromToken());
        EXPECT_EQ(set.GetSize(), model.Write(nullptr));
        EXPECT_EQ(ledger.Live(), 1u) << "the built set is gone; the block is one allocation";

        const std::vector<std::wstring> expected = {
            L"TOKEN SECURITY ATTRIBUTES: Count=6",
            L"   SECURITY ATTRIBUTE 00: [Claim.Name.Long] Type=1 (INT64) Flags=0x00000021 (MANDATORY|NON_INHERITABLE)",
            L"      VALUE 0: 7",
            L"   SECURITY ATTRIBUTE 01: [Claim.Name] Type=3 (STRING) Flags=0x00000002 (VALUE_CASE_SENSITIVE)",
            L"      VALUE 0: v1",
            L"      VALUE 1: v2",
            L"   SECURITY ATTRIBUTE 02: [] Type=6 (BOOLEAN) Flags=0x00000000 (0)",
            L"      VALUE 0: False",
            L"   SECURITY ATTRIBUTE 03: [Claim.Name] Type=2 (UINT64) Flags=0x00000000 (0)",
            L"      VALUE 0: 1",
            L"   SECURITY ATTRIBUTE 04: [Claim.Sid] Type=5 (SID) Flags=0x00000000 (0)",
            L"      VALUE 0: " + qztest::AccountTraceText(const_cast<BYTE*>(system.data())),
            L"   SECURITY ATTRIBUTE 05: [Claim.None] Type=1 (INT64) Flags=0x00000000 (0)",
        };
        EXPECT_EQ(DumpLines(set), expected);

        // The first of two records with the name; a prefix of a longer one
        // does not match it.
        CqzTokenSecurityAttribute found;
        ASSERT_TRUE(set.FindByName(L"Claim.Name", found));
        EXPECT_EQ(found.GetType(), qzclaims::kTypeString);
        EXPECT_FALSE(found.IsOwned());
        EXPECT_EQ(found.GetSummary(), L"Type=3 (STRING), Flags=0x00000002 (VALUE_CASE_SENSITIVE) Count=2 {v1}, {v2}");
        EXPECT_FALSE(set.FindByName(L"Claim.Name.Lon", found));
        EXPECT_FALSE(set.FindByName(L"Claim", found));
        ASSERT_TRUE(set.FindByName(L"", found)) << "the record without a name";
        EXPECT_EQ(found.GetType(), qzclaims::kTypeBoolean);

        CqzTokenSecurityAttribute at;
        ASSERT_TRUE(set.GetAt(5, at));
        EXPECT_EQ(at.GetSummary(), L"Type=1 (INT64), Flags=0x00000000 (0) Count=0");
        const BYTE* block = reinterpret_cast<const BYTE*>(set.GetSet());
        const BYTE* name = reinterpret_cast<const BYTE*>(at.GetRecord().Name.Buffer);
        EXPECT_TRUE(name > block && name < block + set.GetSize()) << "the record refers into the block";
        EXPECT_FALSE(set.GetAt(6, at));
        EXPECT_TRUE(at.IsEmpty());
        EXPECT_EQ(ledger.Live(), 1u) << "looking up frees nothing";
    }
    EXPECT_EQ(ledger.Live(), 0u);
    EXPECT_EQ(ledger.ForeignFrees(), 0u);
}

TEST_F(ServedBlockTest, ATokenWithoutAttributesDumpsTheCountOnly)
{
    const BlockModel model({});
    Serve(model);
    CqzTokenSecurityAttributes set;
    DWORD error = 0;
    ASSERT_TRUE(set.FromAccessToken(m_token.Get(), error));
    EXPECT_EQ(DumpLines(set), std::vector<std::wstring>{L"TOKEN SECURITY ATTRIBUTES: Count=0"});
    EXPECT_EQ(set.GetCount(), 0u);
}

} // namespace
