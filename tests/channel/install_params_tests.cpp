// Product constants, GUID texts both ways, and the search for the agent's
// product code under real registry keys: every rejected value with its line,
// the first value that passes all tests, and a found GUID kept for good.
#include "common/util/install_params.h"

#include "testing/harness/harness.h"

#include "trace/qztrace.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{

using qztest::ToUtf8;

const wchar_t kUpgradeCode[] = L"{9B27E4C3-6D15-4A0E-8F3B-2C71D5A6E910}";
const wchar_t kPackedUpgradeCode[] = L"3C4E72B951D6E0A4F8B3C2175D6A9E01";
const std::wstring kKeyPath = std::wstring(L"Installer\\UpgradeCodes\\") + kPackedUpgradeCode;
const std::string kKeyText = "HKCR\\" + ToUtf8(kKeyPath);
const wchar_t kUninstall[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
// The UpgradeCodes key lives in the system's native view, which a 32-bit
// process under WOW64 reaches with this flag (elsewhere it is its own view,
// and 32-bit Windows ignores the flag).
const REGSAM kNativeView = KEY_WOW64_64KEY;

const std::string kUnableLine =
    "ERROR: Unable to determine Agent install GUID by upgrade code {9B27E4C3-6D15-4A0E-8F3B-2C71D5A6E910}";
const std::string kNoProductCodeLine = "ERROR: [" + kKeyText + "] key doesn't contain a valid Product Code value.";

// Two product codes and their packed names.
const wchar_t kProductA[] = L"{A1B2C3D4-E5F6-0718-293A-4B5C6D7E8F90}";
const wchar_t kPackedA[] = L"4D3C2B1A6F5E817092A3B4C5D6E7F809";
const wchar_t kProductB[] = L"{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}";
const wchar_t kPackedB[] = L"C3D2E1F0A5B4879678695A4B3C2D1E0F";

// Captures this process's trace lines without those of the machine-type
// query, which traces every call of its own.
class Capture : public qztest::TraceCapture
{
public:
    Capture()
    {
        for (int level : {100, 200, 300, 400, 500, 600})
            D_Support_c::SetDoPrintFor(D_SCOPE_CLASS, "CqzOperatingSystem", level, 0);
    }
};

// Lines of the install parameters: the search traces its rejected values
// with "INFO: " texts at level ERROR, the count and the result at INFO.
qztest::TraceEntry ParamsError(const std::string& text)
{
    return {QZT_ERROR, "CqzAgentInstallParams", text};
}

qztest::TraceEntry ParamsInfo(const std::string& text)
{
    return {QZT_INFO, "CqzAgentInstallParams", text};
}

bool SameGuid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

// ---------------------------------------------------------------------------

TEST(ProductConstants, Values)
{
    const struct
    {
        const char* role;
        const std::wstring& value;
        const wchar_t* expected;
    } rows[] = {
        {"product GUID", SqzProductConstants::ProductGuid, L"{5E0D2B7C-3A41-4F86-9C12-7B3E8A9D0F64}"},
        {"agent executable", SqzProductConstants::AgentExeName, L"qz_agent.exe"},
        {"launcher executable", SqzProductConstants::ElevateExeName, L"qz_elevate.exe"},
        {"host executable", SqzProductConstants::HostExeName, L"qz_host.exe"},
        {"agent UpgradeCode", SqzProductConstants::AgentUpgradeCode, kUpgradeCode},
        {"service display name", SqzProductConstants::AgentServiceDisplayName, L"Dunmoral Agent"},
        {"service name", SqzProductConstants::AgentServiceName, L"qz_agent"},
        {"driver", SqzProductConstants::DriverName, L"qzdrv"},
        {"driver pd", SqzProductConstants::PdDriverName, L"qzpd"},
        {"driver net", SqzProductConstants::NetDriverName, L"qznet"},
        {"company name", SqzProductConstants::CompanyName, L"Dunmoral Software Ltd."},
        {"company prefix", SqzProductConstants::CompanyPrefix, L"Dunmoral "},
        {"MFA interface", SqzProductConstants::MfaUiExeName, L"kld_mfa_ui.exe"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(std::wstring(row.expected), row.value) << row.role;
}

// ---------------------------------------------------------------------------
// GUID texts

TEST(GuidText, PackedFormBothWays)
{
    const struct
    {
        const wchar_t* braced;
        const wchar_t* packed;
    } rows[] = {
        {kUpgradeCode, kPackedUpgradeCode},
        {L"{01234567-89AB-CDEF-0123-456789ABCDEF}", L"76543210BA98FEDC1032547698BADCFE"},
        {L"{5E0D2B7C-3A41-4F86-9C12-7B3E8A9D0F64}", L"C7B2D0E514A368F4C921B7E3A8D9F046"},
        {kProductA, kPackedA},
        {kProductB, kPackedB},
        {L"{00000000-0000-0000-0000-000000000000}", L"00000000000000000000000000000000"},
    };
    for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); ++i)
    {
        const auto& row = rows[i];
        std::wstring packed;
        ASSERT_TRUE(CqzGUID::PackString(row.braced, packed)) << "row " << i;
        EXPECT_EQ(std::wstring(row.packed), packed) << "row " << i;
        std::wstring braced;
        ASSERT_TRUE(CqzGUID::UnpackString(row.packed, braced)) << "row " << i;
        EXPECT_EQ(std::wstring(row.braced), braced) << "row " << i;

        GUID fromBraced = {};
        GUID fromPacked = {};
        ASSERT_TRUE(CqzGUID::FromString(row.braced, fromBraced)) << "row " << i;
        ASSERT_TRUE(CqzGUID::FromString(row.packed, fromPacked)) << "row " << i;
        EXPECT_TRUE(SameGuid(fromBraced, fromPacked)) << "row " << i;
        std::wstring text = L"old";
        EXPECT_TRUE(CqzGUID::GetString(fromPacked, text, 0)) << "row " << i;
        EXPECT_EQ(std::wstring(row.braced), text) << "row " << i;
    }
}

TEST(GuidText, WrongLengthsAreNotMoved)
{
    for (const wchar_t* text : {L"", L"{01234567-89AB-CDEF-0123-456789ABCDE}",
                                L"{01234567-89AB-CDEF-0123-456789ABCDEF}}", L"76543210BA98FEDC1032547698BADCF"})
    {
        std::wstring out = L"untouched";
        EXPECT_FALSE(CqzGUID::PackString(text, out)) << ToUtf8(text);
        EXPECT_EQ(L"untouched", out) << ToUtf8(text);
    }
    for (const wchar_t* text : {L"", L"76543210BA98FEDC1032547698BADCF", L"76543210BA98FEDC1032547698BADCFE0"})
    {
        std::wstring out = L"untouched";
        EXPECT_FALSE(CqzGUID::UnpackString(text, out)) << ToUtf8(text);
        EXPECT_EQ(L"untouched", out) << ToUtf8(text);
    }
}

TEST(GuidText, FromStringAcceptsBracedAndPackedOnly)
{
    GUID upgrade = {};
    ASSERT_TRUE(CqzGUID::FromString(kUpgradeCode, upgrade));
    EXPECT_EQ(0x9B27E4C3u, upgrade.Data1);
    EXPECT_EQ(0x6D15, upgrade.Data2);
    EXPECT_EQ(0x4A0E, upgrade.Data3);
    EXPECT_EQ(0x8F, upgrade.Data4[0]);
    EXPECT_EQ(0x10, upgrade.Data4[7]);

    const struct
    {
        const wchar_t* text;
        bool accepted;
    } rows[] = {
        {L"{9b27e4c3-6d15-4a0e-8f3b-2c71d5a6e910}", true},
        {L"3c4e72b951d6e0a4f8b3c2175d6a9e01", true},
        {L"", false},
        {L"9B27E4C3-6D15-4A0E-8F3B-2C71D5A6E910", false},
        {L"{9B27E4C3-6D15-4A0E-8F3B-2C71D5A6E910", false},
        {L"{9B27E4C3-6D15-4A0E-8F3B-2C71D5A6E910}x", false},
        {L"{9B27E4C3-6D15-4A0E-8F3B-2C71D5A6E91G}", false},
        {L"{", false},
        {L"3C4E72B951D6E0A4F8B3C2175D6A9E0", false},
        {L"3C4E72B951D6E0A4F8B3C2175D6A9E011", false},
        {L"3C4E72B951D6E0A4F8B3C2175D6A9E0G", false},
        {L"3C4E72B9-1D6E0A4F8B3C2175D6A9E01", false},
    };
    for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); ++i)
    {
        GUID guid;
        std::memset(&guid, 0xCC, sizeof(guid));
        GUID before = guid;
        const bool accepted = CqzGUID::FromString(rows[i].text, guid);
        EXPECT_EQ(rows[i].accepted, accepted) << "row " << i << ": " << ToUtf8(rows[i].text);
        if (accepted)
            EXPECT_TRUE(SameGuid(upgrade, guid)) << "row " << i;
        else
            EXPECT_TRUE(SameGuid(before, guid)) << "row " << i << ": output changed";
    }
    GUID untouched = {};
    EXPECT_FALSE(CqzGUID::FromString(nullptr, untouched));
}

TEST(GuidText, GetStringGivesBracedUpperCase)
{
    Capture capture;
    GUID guid = {};
    ASSERT_TRUE(CqzGUID::FromString(L"{a1b2c3d4-e5f6-0718-293a-4b5c6d7e8f90}", guid));
    std::wstring text;
    EXPECT_TRUE(CqzGUID::GetString(guid, text));
    EXPECT_EQ(std::wstring(kProductA), text);
    EXPECT_TRUE(CqzGUID::GetString(GUID(), text, 0));
    EXPECT_EQ(L"{00000000-0000-0000-0000-000000000000}", text);
    EXPECT_EQ(std::vector<std::string>{}, capture.Lines());
}

// ---------------------------------------------------------------------------
// Product code check

TEST(InstallParams, ProductCodeCountsWhenItsUninstallKeyExists)
{
    qztest::RegKeyGuard uninstall(HKEY_LOCAL_MACHINE, std::wstring(kUninstall) + kProductA);
    ASSERT_TRUE(uninstall.Created());
    Capture capture;
    EXPECT_TRUE(CqzAgentInstallParams::_IsValidProductCode(kProductA));
    EXPECT_FALSE(CqzAgentInstallParams::_IsValidProductCode(kProductB));
    EXPECT_FALSE(CqzAgentInstallParams::_IsValidProductCode(L"{A1B2C3D4-E5F6-0718-293A-4B5C6D7E8F90}\\missing"));
    EXPECT_EQ(std::vector<std::string>{}, capture.Lines());
}

TEST(InstallParams, OtherOpenErrorsAreTraced)
{
    // A key name beyond the registry's limit of 255 characters.
    const std::wstring code(300, L'A');
    const std::wstring path = std::wstring(kUninstall) + code;
    HKEY key = nullptr;
    const LSTATUS expected = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key);
    if (key)
        ::RegCloseKey(key);
    if (expected == ERROR_SUCCESS || expected == ERROR_FILE_NOT_FOUND || expected == ERROR_PATH_NOT_FOUND)
        GTEST_SKIP() << "this system answers " << expected << " for an over-long key name";
    Capture capture;
    EXPECT_FALSE(CqzAgentInstallParams::_IsValidProductCode(code.c_str()));
    EXPECT_EQ(qztest::TraceEntries{ParamsError("ERROR: Failed to open registry key [HKLM\\" + ToUtf8(path) +
                                               "]. err=" + std::to_string(expected))},
              capture.Entries());
}

// ---------------------------------------------------------------------------
// Searches that find nothing (run in this process: nothing is kept)

class InstallGuidSearch : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qztest::DeleteRegTree(HKEY_CLASSES_ROOT, kKeyPath, kNativeView);
        ASSERT_TRUE(CqzAgentInstallParams::GetInstallGuid().empty()) << "found by an earlier test in this process";
    }
    void TearDown() override { qztest::DeleteRegTree(HKEY_CLASSES_ROOT, kKeyPath, kNativeView); }

    // Adds a value of that name (the data plays no part).
    static bool AddValue(const std::wstring& name)
    {
        return qztest::SetRegString(HKEY_CLASSES_ROOT, kKeyPath, name, L"", REG_SZ, kNativeView);
    }

    // Value names in the order the registry enumerates them.
    static std::vector<std::wstring> EnumerationOrder()
    {
        std::vector<std::wstring> names;
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, kKeyPath.c_str(), 0, KEY_QUERY_VALUE | kNativeView, &key) !=
            ERROR_SUCCESS)
            return names;
        for (DWORD index = 0;; ++index)
        {
            wchar_t name[512];
            DWORD length = 512;
            if (::RegEnumValueW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            names.emplace_back(name, length);
        }
        ::RegCloseKey(key);
        return names;
    }

    // What the enumeration leaves in its size argument for a name that does
    // not fit 64 characters.
    static DWORD SizeLeftForLongName(DWORD index)
    {
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, kKeyPath.c_str(), 0, KEY_QUERY_VALUE | kNativeView, &key) !=
            ERROR_SUCCESS)
            return 0xFFFFFFFF;
        wchar_t name[64];
        DWORD length = 64;
        ::RegEnumValueW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        ::RegCloseKey(key);
        return length;
    }
};

TEST_F(InstallGuidSearch, NoUpgradeCodesKey)
{
    Capture capture;
    EXPECT_FALSE(CqzAgentInstallParams::_InitInstallGuid());
    EXPECT_EQ(L"", CqzAgentInstallParams::GetInstallGuid());
    const std::string openLine = "ERROR: Failed to open key [" + kKeyText + "]. err=2";
    EXPECT_EQ((qztest::TraceEntries{ParamsError(openLine), ParamsError(openLine), ParamsError(kUnableLine)}),
              capture.Entries());
}

TEST_F(InstallGuidSearch, KeyWithoutValues)
{
    ASSERT_TRUE(qztest::CreateRegKey(HKEY_CLASSES_ROOT, kKeyPath, kNativeView));
    Capture capture;
    EXPECT_EQ(L"", CqzAgentInstallParams::GetInstallGuid());
    EXPECT_EQ((qztest::TraceEntries{ParamsInfo("INFO: [" + kKeyText + "] has 0 values."),
                                    ParamsError(kNoProductCodeLine), ParamsError(kUnableLine)}),
              capture.Entries());
}

TEST_F(InstallGuidSearch, SingleValueIsNotCounted)
{
    const std::wstring name = L"ZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZ";
    ASSERT_TRUE(AddValue(name));
    Capture capture;
    EXPECT_EQ(L"", CqzAgentInstallParams::GetInstallGuid());
    EXPECT_EQ((qztest::TraceEntries{ParamsError("INFO: Value 0 name [" + ToUtf8(name) + "] under [" + kKeyText +
                                                "] is not a valid GUID."),
                                    ParamsError(kNoProductCodeLine), ParamsError(kUnableLine)}),
              capture.Entries());
}

TEST_F(InstallGuidSearch, EveryKindOfRejectedValue)
{
    const std::wstring shortName = L"short";
    const std::wstring name40(40, L'4');
    const std::wstring name63(63, L'6');
    const std::wstring name64(64, L'7');
    const std::wstring name100(100, L'9');
    const std::wstring notHex = L"3C4E72B951D6E0A4F8B3C2175D6A9EXY";
    ASSERT_TRUE(AddValue(shortName) && AddValue(name40) && AddValue(name63) && AddValue(name64) && AddValue(name100) &&
                AddValue(notHex) && AddValue(kPackedA));
    // kPackedA names a product code without an Uninstall key.
    qztest::DeleteRegTree(HKEY_LOCAL_MACHINE, std::wstring(kUninstall) + kProductA);

    qztest::TraceEntries expected = {ParamsInfo("INFO: [" + kKeyText + "] has 7 values.")};
    const std::vector<std::wstring> order = EnumerationOrder();
    ASSERT_EQ(7u, order.size());
    for (DWORD i = 0; i < order.size(); ++i)
    {
        const std::wstring& name = order[i];
        const std::string index = std::to_string(i);
        if (name.size() >= 64)
            expected.push_back(ParamsError("INFO: Value " + index + " name under [" + kKeyText + "] is " +
                                           std::to_string(SizeLeftForLongName(i)) +
                                           " chars long. It cannot represent UpgradeCode."));
        else if (name.size() != 32)
            expected.push_back(ParamsError("INFO: Value " + index + " name [" + ToUtf8(name) + "] under [" + kKeyText +
                                           "] is " + std::to_string(name.size()) +
                                           " chars long. It cannot represent UpgradeCode."));
        else if (name == notHex)
            expected.push_back(ParamsError("INFO: Value " + index + " name [" + ToUtf8(name) + "] under [" + kKeyText +
                                           "] is not a valid GUID."));
        else
            expected.push_back(ParamsError("INFO: Value " + index + " name " + ToUtf8(name) + " (i.e. " +
                                           ToUtf8(kProductA) + ") under [" + kKeyText +
                                           "] is not a valid Product Code."));
    }
    expected.push_back(ParamsError(kNoProductCodeLine));
    expected.push_back(ParamsError(kUnableLine));

    Capture capture;
    EXPECT_EQ(L"", CqzAgentInstallParams::GetInstallGuid());
    EXPECT_EQ(expected, capture.Entries());
}

// ---------------------------------------------------------------------------
// Searches that succeed, each in a process of its own

class InstallGuidFound : public InstallGuidSearch
{
protected:
    struct ProbeOutput
    {
        std::vector<std::string> guids;
        qztest::TraceEntries trace;
    };

    static bool RunProbe(const wchar_t* mode, ProbeOutput& output)
    {
        qztest::TempDir dir(L"qzinstallprobe");
        const std::wstring out = dir / L"out.txt";
        const std::wstring exe = qztest::BinDir() + L"\\qz_install_params_probe.exe";
        const qztest::ProcessResult result =
            qztest::RunProcess(exe, qztest::QuoteArg(exe) + L" " + qztest::QuoteArg(out) + L" " + mode);
        if (!result.started || !result.finished || result.exitCode != 0)
            return false;
        const qztest::KeyValues values = qztest::ReadKeyValues(out);
        for (size_t i = 0; values.Has("guid" + std::to_string(i)); ++i)
            output.guids.push_back(values.Get("guid" + std::to_string(i)));
        // The probe writes each entry as the capture's prefix and text.
        for (const std::string& line : values.All("trace"))
        {
            qztest::TraceEntry entry;
            if (!qztest::TraceCapture::ParseLine(line, entry))
                entry.text = "(unparsed) " + line;
            output.trace.push_back(entry);
        }
        return true;
    }
};

TEST_F(InstallGuidFound, FirstValueThatPassesEveryTestWins)
{
    qztest::RegKeyGuard uninstallA(HKEY_LOCAL_MACHINE, std::wstring(kUninstall) + kProductA);
    qztest::RegKeyGuard uninstallB(HKEY_LOCAL_MACHINE, std::wstring(kUninstall) + kProductB);
    ASSERT_TRUE(uninstallA.Created() && uninstallB.Created());
    const std::wstring notHex = L"3C4E72B951D6E0A4F8B3C2175D6A9EXY";
    const std::wstring shortName = L"ab";
    ASSERT_TRUE(AddValue(kPackedA) && AddValue(kPackedB) && AddValue(notHex) && AddValue(shortName));

    // The winner: the first valid product code in enumeration order; the
    // lines: one per value rejected before it.
    const std::vector<std::wstring> order = EnumerationOrder();
    ASSERT_EQ(4u, order.size());
    qztest::TraceEntries expected = {ParamsInfo("INFO: [" + kKeyText + "] has 4 values.")};
    std::wstring winner;
    std::wstring winnerName;
    for (DWORD i = 0; i < order.size() && winner.empty(); ++i)
    {
        const std::string index = std::to_string(i);
        if (order[i] == kPackedA || order[i] == kPackedB)
        {
            winnerName = order[i];
            winner = order[i] == kPackedA ? kProductA : kProductB;
        }
        else if (order[i] == notHex)
            expected.push_back(ParamsError("INFO: Value " + index + " name [" + ToUtf8(notHex) + "] under [" +
                                           kKeyText + "] is not a valid GUID."));
        else
            expected.push_back(ParamsError("INFO: Value " + index + " name [ab] under [" + kKeyText +
                                           "] is 2 chars long. It cannot represent UpgradeCode."));
    }
    expected.push_back(
        ParamsInfo("INFO: UpgradeCode is " + ToUtf8(kUpgradeCode) + " (" + ToUtf8(kPackedUpgradeCode) + ")."));
    expected.push_back(ParamsInfo("INFO: ProductCode is " + ToUtf8(winner) + " (" + ToUtf8(winnerName) + ")."));

    ProbeOutput output;
    ASSERT_TRUE(RunProbe(L"once", output));
    EXPECT_EQ(std::vector<std::string>{ToUtf8(winner)}, output.guids);
    EXPECT_EQ(expected, output.trace);
}

TEST_F(InstallGuidFound, OnlyValueWithAnUninstallKeyIsTaken)
{
    // A has no Uninstall key: whatever the order, B is the answer.
    qztest::RegKeyGuard uninstallB(HKEY_LOCAL_MACHINE, std::wstring(kUninstall) + kProductB);
    qztest::DeleteRegTree(HKEY_LOCAL_MACHINE, std::wstring(kUninstall) + kProductA);
    ASSERT_TRUE(AddValue(kPackedA) && AddValue(kPackedB));
    ProbeOutput output;
    ASSERT_TRUE(RunProbe(L"once", output));
    EXPECT_EQ(std::vector<std::string>{ToUtf8(kProductB)}, output.guids);
}

TEST_F(InstallGuidFound, FoundGuidIsNeverSearchedAgain)
{
    qztest::RegKeyGuard uninstallA(HKEY_LOCAL_MACHINE, std::wstring(kUninstall) + kProductA);
    ASSERT_TRUE(AddValue(kPackedA));
    ProbeOutput output;
    ASSERT_TRUE(RunProbe(L"twice", output));
    EXPECT_EQ((std::vector<std::string>{ToUtf8(kProductA), ToUtf8(kProductA)}), output.guids);
    // One value: no count line; one search: two INFO lines, nothing after.
    EXPECT_EQ((qztest::TraceEntries{
                  ParamsInfo("INFO: UpgradeCode is " + ToUtf8(kUpgradeCode) + " (" + ToUtf8(kPackedUpgradeCode) + ")."),
                  ParamsInfo("INFO: ProductCode is " + ToUtf8(kProductA) + " (" + ToUtf8(kPackedA) + ").")}),
              output.trace);
}

TEST_F(InstallGuidFound, ThreadsAtOnceSearchOnce)
{
    qztest::RegKeyGuard uninstallA(HKEY_LOCAL_MACHINE, std::wstring(kUninstall) + kProductA);
    ASSERT_TRUE(AddValue(kPackedA));
    ProbeOutput output;
    ASSERT_TRUE(RunProbe(L"threads", output));
    EXPECT_EQ(std::vector<std::string>(8, ToUtf8(kProductA)), output.guids);
    EXPECT_EQ(2u, output.trace.size());
}

// The registry view other than this process's own: the 64-bit one for a
// 32-bit process under WOW64, the 32-bit one for a 64-bit process; 0 on
// 32-bit Windows, which has one view.
REGSAM OtherRegistryView()
{
#ifdef _WIN64
    return KEY_WOW64_32KEY;
#else
    BOOL wow64 = FALSE;
    return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64 ? KEY_WOW64_64KEY : 0;
#endif
}

// A key created through one registry view, deleted again through it.
class ViewKey
{
public:
    ViewKey(HKEY root, const std::wstring& path, REGSAM view) : m_root(root), m_path(path), m_view(view)
    {
        CqzScopedRegKey key;
        m_created = ::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, key.Receive(),
                                      nullptr) == ERROR_SUCCESS;
    }
    ~ViewKey() { ::RegDeleteKeyExW(m_root, m_path.c_str(), m_view, 0); }
    ViewKey(const ViewKey&) = delete;
    ViewKey& operator=(const ViewKey&) = delete;
    bool Created() const { return m_created; }

private:
    HKEY m_root;
    std::wstring m_path;
    REGSAM m_view;
    bool m_created = false;
};

// The Uninstall key is looked for in the process's own view only: a product
// whose key lies in the other view alone is passed over.
TEST_F(InstallGuidFound, UninstallKeyIsReadFromTheProcessView)
{
    const REGSAM other = OtherRegistryView();
    if (other == 0)
        GTEST_SKIP() << "32-bit Windows has one registry view";
    const std::wstring pathA = std::wstring(kUninstall) + kProductA;
    const std::wstring pathB = std::wstring(kUninstall) + kProductB;
    qztest::DeleteRegTree(HKEY_LOCAL_MACHINE, pathA);
    ViewKey uninstallAOther(HKEY_LOCAL_MACHINE, pathA, other);
    qztest::RegKeyGuard uninstallBOwn(HKEY_LOCAL_MACHINE, pathB);
    ASSERT_TRUE(uninstallAOther.Created() && uninstallBOwn.Created());
    // The views really are apart: A is not visible in this process's view.
    CqzScopedRegKey probe;
    ASSERT_EQ(ERROR_FILE_NOT_FOUND,
              ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, pathA.c_str(), 0, KEY_QUERY_VALUE, probe.Receive()));
    ASSERT_TRUE(AddValue(kPackedA) && AddValue(kPackedB));
    ProbeOutput output;
    ASSERT_TRUE(RunProbe(L"once", output));
    EXPECT_EQ(std::vector<std::string>{ToUtf8(kProductB)}, output.guids);
}

// The UpgradeCodes key is read from the system's native view: under WOW64 the
// key written through the 64-bit view alone is found (elsewhere that is the
// process's own view).
TEST_F(InstallGuidFound, UpgradeCodesKeyIsReadFromTheNativeView)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CLASSES_ROOT, kKeyPath.c_str(), 0, nullptr, 0,
                                               KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr));
    ::RegSetValueExW(key, kPackedA, 0, REG_SZ, reinterpret_cast<const BYTE*>(L""), sizeof(wchar_t));
    ::RegCloseKey(key);
    qztest::RegKeyGuard uninstallA(HKEY_LOCAL_MACHINE, std::wstring(kUninstall) + kProductA);
    ProbeOutput output;
    ASSERT_TRUE(RunProbe(L"once", output));
    EXPECT_EQ(std::vector<std::string>{ToUtf8(kProductA)}, output.guids);
    ::RegDeleteKeyExW(HKEY_CLASSES_ROOT, kKeyPath.c_str(), KEY_WOW64_64KEY, 0);
}

} // namespace
