// CqzUtil: module paths, the installation check against the agent service's
// "ImagePath", the user checksum, UTF-8 conversion, system error texts and the
// cached paths. Runs against real Wine modules, registry values and tokens.
#include "common/util/util.h"

#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"
#include "trace/qztrace.h"
#include "tests/util/util_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace
{

using qztest::ToUtf8;

std::wstring Upper(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towupper(c); });
    return text;
}

std::wstring Lower(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towlower(c); });
    return text;
}

std::wstring ParentDir(const std::wstring& dir)
{
    return dir.substr(0, dir.find_last_of(L'\\'));
}

// Bit-by-bit CRC-32/ISO-HDLC over the low byte of each code unit: an oracle
// that shares nothing with the table-driven code under test.
unsigned int ReferenceCrc32(const std::wstring& text)
{
    unsigned int crc = 0xFFFFFFFFu;
    for (wchar_t c : text)
    {
        crc ^= static_cast<unsigned int>(c) & 0xFFu;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

int AnchorInExecutable = 0;

// ---------------------------------------------------------------------------
// CRC-32 and the user checksum

TEST(Crc32, KnownValues)
{
    const struct
    {
        const wchar_t* text;
        unsigned int expected;
    } rows[] = {
        {L"S-1-0-0", 3638711226u},
        {L"123456789", 0xCBF43926u},
        {L"", 0u},
        {L"a", 0xE8B7BE43u},
        {L"The quick brown fox jumps over the lazy dog", 0x414FA339u},
        // Above U+00FF only the low byte counts: U+0141 is taken as 0x41 ("A").
        {L"\u0141", 0xD3D99E8Bu},
        {L"\x41", 0xD3D99E8Bu},
    };
    for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); ++i)
        EXPECT_EQ(rows[i].expected, CqzUtil::CalcCrc32(rows[i].text)) << "row " << i << ": " << ToUtf8(rows[i].text);
}

TEST(Crc32, HighCodeUnitsCountByTheirLowByte)
{
    const struct
    {
        const wchar_t* wide;
        const wchar_t* lowBytes;
    } rows[] = {
        {L"\u0141", L"\x41"},
        {L"S-1-5-21-\u4E31\u0132", L"S-1-5-21-\x31\x32"},
        {L"\uFF00\u0100\u1234", L"\x00\x00\x34"},
    };
    for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); ++i)
    {
        const std::wstring wide = rows[i].wide;
        std::wstring low;
        for (wchar_t c : wide)
            low += static_cast<wchar_t>(c & 0xFF);
        EXPECT_EQ(ReferenceCrc32(low), CqzUtil::CalcCrc32(wide.c_str())) << "row " << i;
        if (low.find(L'\0') == std::wstring::npos)
        {
            EXPECT_EQ(CqzUtil::CalcCrc32(rows[i].lowBytes), CqzUtil::CalcCrc32(wide.c_str())) << "row " << i;
        }
    }
}

TEST(Crc32, MatchesBitwiseReferenceAndStopsAtTerminator)
{
    std::wstring text;
    for (int i = 0; i < 600; ++i)
    {
        text += static_cast<wchar_t>(0x20 + (i * 7919) % 0x3000);
        EXPECT_EQ(ReferenceCrc32(text), CqzUtil::CalcCrc32(text.c_str())) << "length " << text.size();
    }
    const wchar_t embedded[] = L"abc\0def";
    EXPECT_EQ(CqzUtil::CalcCrc32(L"abc"), CqzUtil::CalcCrc32(embedded));
    EXPECT_EQ(0u, CqzUtil::CalcCrc32(nullptr));
}

TEST(UserSidCrc, IsTheChecksumOfTheProcessUsersSidString)
{
    const std::wstring sid = qztest_util::ProcessUserSidString();
    ASSERT_FALSE(sid.empty());
    ASSERT_EQ(0u, sid.rfind(L"S-1-", 0)) << ToUtf8(sid);
    EXPECT_EQ(ReferenceCrc32(sid), CqzUtil::GetUserSidCrc()) << ToUtf8(sid);
    EXPECT_EQ(CqzUtil::CalcCrc32(sid.c_str()), CqzUtil::GetUserSidCrc());
    // The start-up trace file name of this user.
    EXPECT_EQ(L"qz_elevate." + std::wstring(qztest::kArchWord) + L".{" + std::to_wstring(ReferenceCrc32(sid)) +
                  L"}.trace",
              qztest::StartupTraceName(CqzUtil::GetUserSidCrc()));
}

// Wine always opens and reads the process token, so the failures come from
// import-table hooks on the calls CqzUtil makes (linked into this suite).
namespace user_sid_seams
{
typedef BOOL(WINAPI* GetTokenInformationFn)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
GetTokenInformationFn g_realGetTokenInformation = nullptr;

BOOL WINAPI FailingOpenProcessToken(HANDLE, DWORD, PHANDLE token)
{
    *token = nullptr;
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL WINAPI FailingGetTokenInformation(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD returned)
{
    *returned = 0;
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// The size query answers; the read itself fails.
BOOL WINAPI FailingSecondGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID buffer, DWORD size,
                                             PDWORD returned)
{
    if (buffer == nullptr)
        return g_realGetTokenInformation(token, infoClass, buffer, size, returned);
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// A size too small for a TOKEN_USER.
BOOL WINAPI ShortGetTokenInformation(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD returned)
{
    *returned = 2;
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
}

BOOL WINAPI FailingConvertSidToStringSidW(PSID, LPWSTR* text)
{
    *text = nullptr;
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}
} // namespace user_sid_seams

TEST(UserSidCrc, UnreadableSidGivesTheChecksumOfNullSid)
{
    using namespace user_sid_seams;
    struct Row
    {
        const char* name;
        const char* function;
        void* replacement;
    };
    const Row rows[] = {
        {"the process token does not open", "OpenProcessToken", reinterpret_cast<void*>(&FailingOpenProcessToken)},
        {"the size of the user cannot be asked", "GetTokenInformation",
         reinterpret_cast<void*>(&FailingGetTokenInformation)},
        {"the user cannot be read", "GetTokenInformation", reinterpret_cast<void*>(&FailingSecondGetTokenInformation)},
        {"the reported size holds no TOKEN_USER", "GetTokenInformation",
         reinterpret_cast<void*>(&ShortGetTokenInformation)},
        {"the SID has no string form", "ConvertSidToStringSidW",
         reinterpret_cast<void*>(&FailingConvertSidToStringSidW)},
    };
    for (const Row& row : rows)
    {
        qztest::IatHook hook("advapi32.dll", row.function, row.replacement);
        ASSERT_TRUE(hook.Installed()) << row.name;
        g_realGetTokenInformation = hook.OriginalAs<GetTokenInformationFn>();
        qztest::TraceCapture capture;
        const unsigned crc = CqzUtil::GetUserSidCrc();
        EXPECT_EQ(3638711226u, crc) << row.name;
        EXPECT_EQ(CqzUtil::CalcCrc32(L"S-1-0-0"), crc) << row.name;
        EXPECT_EQ(L"qz_elevate." + std::wstring(qztest::kArchWord) + L".{3638711226}.trace",
                  qztest::StartupTraceName(crc))
            << row.name;
        // Nothing is traced on the way.
        EXPECT_EQ(qztest::TraceEntries{}, capture.Entries()) << row.name;
    }
    // With the hooks gone the real user counts again.
    EXPECT_NE(3638711226u, CqzUtil::GetUserSidCrc());
}

// ---------------------------------------------------------------------------
// Module paths

TEST(ModulePath, ExecutablePathAndDirectory)
{
    std::wstring path = L"prefilled";
    ASSERT_TRUE(CqzUtil::GetModulePath(nullptr, path));
    EXPECT_EQ(qztest::ModulePath(), path);

    std::wstring dir = L"prefilled";
    ASSERT_TRUE(CqzUtil::GetModuleDir(dir));
    EXPECT_EQ(qztest::BinDir(), dir);

    std::wstring byAddr = L"prefilled";
    ASSERT_TRUE(CqzUtil::GetModuleDirByAddr(&AnchorInExecutable, byAddr));
    EXPECT_EQ(dir, byAddr);

    std::wstring pathByAddr;
    ASSERT_TRUE(CqzUtil::GetModulePathByAddr(&AnchorInExecutable, pathByAddr));
    EXPECT_EQ(path, pathByAddr);
}

TEST(ModulePath, AddressInsideALibrary)
{
    std::wstring path;
    ASSERT_TRUE(CqzUtil::GetModulePathByAddr(reinterpret_cast<const void*>(&D_C_Support_SetD_File), path));
    EXPECT_EQ(qztest::BinDir() + L"\\qztrace.dll", path);

    std::wstring dir;
    ASSERT_TRUE(CqzUtil::GetModuleDirByAddr(reinterpret_cast<const void*>(&D_C_Support_SetD_File), dir));
    EXPECT_EQ(qztest::BinDir(), dir);

    HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    ASSERT_NE(nullptr, kernel32);
    std::wstring byHandle;
    std::wstring byAddr;
    ASSERT_TRUE(CqzUtil::GetModulePath(kernel32, byHandle));
    ASSERT_TRUE(
        CqzUtil::GetModulePathByAddr(reinterpret_cast<const void*>(::GetProcAddress(kernel32, "Sleep")), byAddr));
    EXPECT_EQ(byHandle, byAddr);
    EXPECT_EQ(L"kernel32.dll", Lower(byAddr.substr(byAddr.find_last_of(L'\\') + 1)));
}

TEST(ModulePath, ModuleReferenceIsGivenBack)
{
    const std::wstring dllPath = qztest::BinDir() + L"\\qz_test_plain.dll";
    HMODULE module = ::LoadLibraryW(dllPath.c_str());
    ASSERT_NE(nullptr, module) << ::GetLastError();
    const void* function = reinterpret_cast<const void*>(::GetProcAddress(module, "QzTestPlainFunction"));
    ASSERT_NE(nullptr, function);

    std::wstring path;
    std::wstring dir;
    EXPECT_TRUE(CqzUtil::GetModulePathByAddr(function, path));
    EXPECT_TRUE(CqzUtil::GetModuleDirByAddr(function, dir));
    EXPECT_EQ(dllPath, path);
    EXPECT_EQ(qztest::BinDir(), dir);

    // Our one reference goes: the module must leave the process with it.
    ASSERT_TRUE(::FreeLibrary(module));
    EXPECT_EQ(nullptr, ::GetModuleHandleW(L"qz_test_plain.dll")) << "GetModulePathByAddr kept a module reference";
}

TEST(ModulePath, AddressOutsideEveryModuleFailsAndLeavesOutUntouched)
{
    const void* const addresses[] = {reinterpret_cast<const void*>(0x10), reinterpret_cast<const void*>(0x7FFE1230)};
    for (const void* address : addresses)
    {
        qztest::TraceCapture capture;
        std::wstring path = L"untouched";
        std::wstring dir = L"untouched too";
        EXPECT_FALSE(CqzUtil::GetModulePathByAddr(address, path));
        EXPECT_FALSE(CqzUtil::GetModuleDirByAddr(address, dir));
        EXPECT_EQ(L"untouched", path);
        EXPECT_EQ(L"untouched too", dir);
        const std::string line = "ERROR: GetModuleHandleEx(" + std::to_string(reinterpret_cast<ULONG_PTR>(address)) +
                                 ") failed. LastError=" + std::to_string(ERROR_MOD_NOT_FOUND);
        EXPECT_EQ((std::vector<std::string>{line, line}), capture.Lines());
    }
}

TEST(ModulePath, InvalidModuleHandleFailsAndEmptiesOut)
{
    const HMODULE bogus = reinterpret_cast<HMODULE>(0x12340000);
    qztest::TraceCapture capture;
    std::wstring path = L"prefilled";
    ::SetLastError(0);
    EXPECT_FALSE(CqzUtil::GetModulePath(bogus, path));
    EXPECT_TRUE(path.empty());
    std::ostringstream handleText;
    handleText << static_cast<const void*>(bogus);
    EXPECT_EQ((std::vector<std::string>{"ERROR: GetModuleFileName(" + handleText.str() +
                                        ", charCount=1040) failed. LastError=" + std::to_string(ERROR_MOD_NOT_FOUND)}),
              capture.Lines());
}

// Paths longer than the first 1040-character buffer take the growth loop.
TEST(ModulePath, PathLongerThanTheFirstBuffer)
{
    qztest::TempDir temp(L"qzlong");
    ASSERT_FALSE(temp.Path().empty());
    std::wstring dir = temp.Path();
    const std::wstring component(200, L'd');
    while (dir.size() < 2300)
    {
        dir += L"\\" + component;
        ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + dir).c_str(), nullptr)) << ::GetLastError();
    }
    const std::wstring dllPath = dir + L"\\qz_test_plain.dll";
    ASSERT_TRUE(::CopyFileW((qztest::BinDir() + L"\\qz_test_plain.dll").c_str(), (L"\\\\?\\" + dllPath).c_str(), FALSE))
        << ::GetLastError();
    HMODULE module = ::LoadLibraryW((L"\\\\?\\" + dllPath).c_str());
    if (!module)
        GTEST_SKIP() << "this Wine cannot load a module from a path of " << dllPath.size() << " characters (error "
                     << ::GetLastError() << ")";

    std::wstring path;
    const bool ok = CqzUtil::GetModulePath(module, path);
    std::wstring byAddr;
    const bool okByAddr = CqzUtil::GetModulePathByAddr(
        reinterpret_cast<const void*>(::GetProcAddress(module, "QzTestPlainFunction")), byAddr);
    std::wstring dirByAddr;
    const bool okDir = CqzUtil::GetModuleDirByAddr(
        reinterpret_cast<const void*>(::GetProcAddress(module, "QzTestPlainFunction")), dirByAddr);
    ::FreeLibrary(module);

    ASSERT_TRUE(ok);
    ASSERT_TRUE(okByAddr);
    ASSERT_TRUE(okDir);
    // The loader may report the path with or without the \\?\ prefix.
    const std::wstring reported = path.rfind(L"\\\\?\\", 0) == 0 ? path.substr(4) : path;
    EXPECT_GT(path.size(), 2080u);
    EXPECT_EQ(dllPath, reported);
    EXPECT_EQ(path, byAddr);
    EXPECT_EQ(path.substr(0, path.find_last_of(L'\\')), dirByAddr);
    // The directory tree is too deep for plain removal.
    for (std::wstring d = dir; d.size() > temp.Path().size(); d = ParentDir(d))
    {
        ::DeleteFileW((L"\\\\?\\" + d + L"\\qz_test_plain.dll").c_str());
        ::RemoveDirectoryW((L"\\\\?\\" + d).c_str());
    }
}

// ---------------------------------------------------------------------------
// Installation check

std::vector<BYTE> Bytes(const std::wstring& text, bool terminator = true)
{
    const BYTE* begin = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(begin, begin + (text.size() + (terminator ? 1 : 0)) * sizeof(wchar_t));
}

std::wstring Quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

enum class Setup
{
    Value,   // write the bytes with the type
    NoValue, // key present, "ImagePath" absent
    NoKey,   // agent service key absent
};

struct ImagePathRow
{
    std::string name;
    Setup setup;
    DWORD type;
    std::vector<BYTE> data;
    bool expected;
    std::vector<std::string> lines;
};

class IsValidProcessPathTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_backup.Ok()) << "the existing agent service key could not be saved"; }

    static void Apply(const ImagePathRow& row)
    {
        qztest::DeleteRegTree(HKEY_LOCAL_MACHINE, qztest::kAgentServiceKey);
        if (row.setup == Setup::NoKey)
            return;
        ASSERT_TRUE(qztest::CreateRegKey(HKEY_LOCAL_MACHINE, qztest::kAgentServiceKey)) << row.name;
        ASSERT_TRUE(
            qztest::SetRegString(HKEY_LOCAL_MACHINE, qztest::kAgentServiceKey, L"DisplayName", L"Dunmoral Agent"))
            << row.name;
        if (row.setup == Setup::NoValue)
            return;
        ASSERT_TRUE(qztest::SetRegBytes(HKEY_LOCAL_MACHINE, qztest::kAgentServiceKey, L"ImagePath",
                                        row.data.empty() ? nullptr : row.data.data(),
                                        static_cast<DWORD>(row.data.size()), row.type))
            << row.name;
    }

    static void Check(const std::vector<ImagePathRow>& rows)
    {
        for (const ImagePathRow& row : rows)
        {
            Apply(row);
            qztest::TraceCapture capture;
            EXPECT_EQ(row.expected, CqzUtil::IsValidProcessPath()) << "row: " << row.name;
            EXPECT_EQ(row.lines, capture.Lines()) << "row: " << row.name;
        }
    }

    qztest_util::AgentServiceKeyBackup m_backup;
    const std::wstring m_exeDir = qztest::BinDir();
};

std::vector<std::string> ReadFailed(const std::wstring& exeDir)
{
    return {"ERROR: Failed to read value ProcDir:" + ToUtf8(exeDir)};
}

std::vector<std::string> Invalid(const std::wstring& leading)
{
    return {"Invalid path: " + ToUtf8(leading)};
}

TEST_F(IsValidProcessPathTest, AgentDirectoryDerivationAndComparison)
{
    const std::wstring& exe = m_exeDir;
    const std::wstring parent = ParentDir(exe);
    ASSERT_GT(exe.size(), 16u);
    const std::wstring unexpanded = L"%QZ_TEST_AGENT_DIR%";
    // Were the value expanded, this row would pass.
    ASSERT_TRUE(::SetEnvironmentVariableW(L"QZ_TEST_AGENT_DIR", exe.c_str()));

    const std::vector<ImagePathRow> rows = {
        {"quoted image in the launcher directory",
         Setup::Value,
         REG_SZ,
         Bytes(Quoted(exe + L"\\qz_agent.exe")),
         true,
         {}},
        {"quoted image with arguments without backslash",
         Setup::Value,
         REG_SZ,
         Bytes(Quoted(exe + L"\\qz_agent.exe") + L" -service /run"),
         true,
         {}},
        {"launcher in a subdirectory of the agent directory",
         Setup::Value,
         REG_SZ,
         Bytes(Quoted(parent + L"\\qz_agent.exe")),
         true,
         {}},
        {"launcher directory merely begins with the agent directory text",
         Setup::Value,
         REG_SZ,
         Bytes(Quoted(exe.substr(0, exe.size() - 1) + L"\\qz_agent.exe")),
         true,
         {}},
        {"upper case", Setup::Value, REG_SZ, Bytes(Quoted(Upper(exe) + L"\\QZ_AGENT.EXE")), true, {}},
        {"lower case", Setup::Value, REG_SZ, Bytes(Quoted(Lower(exe) + L"\\qz_agent.exe")), true, {}},
        {"unquoted image loses its drive letter", Setup::Value, REG_SZ, Bytes(exe + L"\\qz_agent.exe"), false,
         Invalid(exe.substr(0, exe.size() - 1))},
        {"arguments holding backslashes move the cut", Setup::Value, REG_SZ,
         Bytes(Quoted(exe + L"\\qz_agent.exe") + L" /log C:\\logs\\agent.log"), false, Invalid(exe)},
        {"agent directory below the launcher directory", Setup::Value, REG_SZ,
         Bytes(Quoted(exe + L"\\sub\\qz_agent.exe")), false, Invalid(exe)},
        {"sibling directory", Setup::Value, REG_SZ, Bytes(Quoted(parent + L"\\other\\qz_agent.exe")), false,
         Invalid(exe.substr(0, parent.size() + 6))},
        {"no backslash: taken whole", Setup::Value, REG_SZ, Bytes(L"\"qz_agent.exe\""), false,
         Invalid(exe.substr(0, 14))},
        {"only backslash is the first character: taken whole", Setup::Value, REG_SZ, Bytes(L"\\qz_agent.exe"), false,
         Invalid(exe.substr(0, 13))},
        {"REG_EXPAND_SZ with a literal path",
         Setup::Value,
         REG_EXPAND_SZ,
         Bytes(Quoted(exe + L"\\qz_agent.exe")),
         true,
         {}},
        {"REG_EXPAND_SZ is used unexpanded", Setup::Value, REG_EXPAND_SZ, Bytes(Quoted(unexpanded + L"\\qz_agent.exe")),
         false, Invalid(exe.substr(0, unexpanded.size()))},
    };
    Check(rows);
    ::SetEnvironmentVariableW(L"QZ_TEST_AGENT_DIR", nullptr);
}

TEST_F(IsValidProcessPathTest, EmptyAgentDirectoryPasses)
{
    // Every directory begins with an empty agent directory.
    const std::vector<ImagePathRow> rows = {
        {"empty text", Setup::Value, REG_SZ, Bytes(L""), true, {}},
        {"value without data", Setup::Value, REG_SZ, {}, true, {}},
        {"quotation mark and backslash only", Setup::Value, REG_SZ, Bytes(L"\"\\"), true, {}},
    };
    Check(rows);
}

TEST_F(IsValidProcessPathTest, ValueThatCannotBeReadFails)
{
    const std::wstring& exe = m_exeDir;
    const std::wstring good = Quoted(exe + L"\\qz_agent.exe");
    std::vector<BYTE> odd = Bytes(good);
    odd.push_back(0); // a whole terminator and one stray byte
    const DWORD number = 0x12345678;
    const std::vector<BYTE> dword(reinterpret_cast<const BYTE*>(&number),
                                  reinterpret_cast<const BYTE*>(&number) + sizeof(number));
    std::vector<BYTE> multi = Bytes(good);
    multi.push_back(0);
    multi.push_back(0);

    const std::vector<ImagePathRow> rows = {
        {"REG_DWORD", Setup::Value, REG_DWORD, dword, false, ReadFailed(exe)},
        {"REG_BINARY holding a good path", Setup::Value, REG_BINARY, Bytes(good), false, ReadFailed(exe)},
        {"REG_MULTI_SZ holding a good path", Setup::Value, REG_MULTI_SZ, multi, false, ReadFailed(exe)},
        {"odd byte count", Setup::Value, REG_SZ, odd, false, ReadFailed(exe)},
        {"missing terminator", Setup::Value, REG_SZ, Bytes(good, false), false, ReadFailed(exe)},
        {"value missing", Setup::NoValue, REG_SZ, {}, false, ReadFailed(exe)},
        {"key missing", Setup::NoKey, REG_SZ, {}, false, ReadFailed(exe)},
    };
    Check(rows);
}

TEST_F(IsValidProcessPathTest, ValueMustFitFiveHundredTwentyCharacters)
{
    const std::wstring& exe = m_exeDir;
    // A quoted image path in the launcher directory, padded to a length.
    auto padded = [&exe](size_t length)
    {
        std::wstring text = L"\"" + exe + L"\\";
        text.append(length - text.size() - 1, L'a');
        text += L"\"";
        return text;
    };
    ASSERT_EQ(519u, padded(519).size());
    const std::vector<ImagePathRow> rows = {
        {"519 characters: 1040 bytes with the terminator", Setup::Value, REG_SZ, Bytes(padded(519)), true, {}},
        {"520 characters", Setup::Value, REG_SZ, Bytes(padded(520)), false, ReadFailed(exe)},
        {"600 characters", Setup::Value, REG_SZ, Bytes(padded(600)), false, ReadFailed(exe)},
        {"520 characters without terminator: 1040 bytes", Setup::Value, REG_SZ, Bytes(padded(520), false), false,
         ReadFailed(exe)},
        {"519 characters as REG_EXPAND_SZ", Setup::Value, REG_EXPAND_SZ, Bytes(padded(519)), true, {}},
    };
    Check(rows);
}

TEST_F(IsValidProcessPathTest, MissingKeyIsNotCreated)
{
    ImagePathRow row{"good", Setup::Value, REG_SZ, Bytes(Quoted(m_exeDir + L"\\qz_agent.exe")), true, {}};
    Apply(row);
    EXPECT_TRUE(CqzUtil::IsValidProcessPath());
    // The key is opened for reading only: a missing key stays missing.
    qztest::DeleteRegTree(HKEY_LOCAL_MACHINE, qztest::kAgentServiceKey);
    EXPECT_FALSE(CqzUtil::IsValidProcessPath());
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, qztest::kAgentServiceKey, 0, KEY_READ, &key));
}

// ---------------------------------------------------------------------------
// Texts

TEST(GetErrorText, SystemTextTrimmed)
{
    wchar_t* raw = nullptr;
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
                         nullptr, ERROR_ACCESS_DENIED, 0, reinterpret_cast<LPWSTR>(&raw), 0, nullptr);
    ASSERT_NE(0u, length);
    std::wstring expected(raw, length);
    ::LocalFree(raw);
    while (!expected.empty() && std::iswspace(expected.back()))
        expected.pop_back();

    std::wstring text = L"prefilled";
    EXPECT_TRUE(CqzUtil::GetErrorText(ERROR_ACCESS_DENIED, text));
    EXPECT_EQ(expected, text);
    ASSERT_FALSE(text.empty());
    EXPECT_FALSE(std::iswspace(text.back()));
    EXPECT_FALSE(std::iswspace(text.front()));
    EXPECT_EQ(std::wstring::npos, text.find_first_of(L"\r\n"));
}

TEST(GetErrorText, UnknownCodeGivesItsNumber)
{
    const struct
    {
        DWORD code;
        const wchar_t* expected;
    } rows[] = {
        {0x2FFFFFFF, L"805306367"},
        {0xE0F0F0F0, L"-521080592"},
    };
    for (const auto& row : rows)
    {
        std::wstring text = L"prefilled";
        EXPECT_FALSE(CqzUtil::GetErrorText(row.code, text)) << row.code;
        EXPECT_EQ(row.expected, text) << row.code;
    }
}

TEST(WideToUtf8, ConvertsWithoutTerminator)
{
    const struct
    {
        const wchar_t* wide;
        std::string utf8;
    } rows[] = {
        {L"", ""},
        {L"plain", "plain"},
        {L"Z\u00fcrich \u2713", "Z\xc3\xbcrich \xe2\x9c\x93"},
        {L"C:\\Program Files\\Dunmoral \u00c5gent\\trace", "C:\\Program Files\\Dunmoral \xc3\x85gent\\trace"},
        {L"\U0001F600", "\xf0\x9f\x98\x80"},
    };
    for (size_t i = 0; i < sizeof(rows) / sizeof(rows[0]); ++i)
    {
        std::string out = "prefilled";
        EXPECT_TRUE(CqzUtil::WideToUtf8(rows[i].wide, out)) << "row " << i;
        EXPECT_EQ(rows[i].utf8, out) << "row " << i;
        EXPECT_EQ(rows[i].utf8.size(), out.size()) << "row " << i;
    }
    std::string untouched = "untouched";
    EXPECT_FALSE(CqzUtil::WideToUtf8(nullptr, untouched));
    EXPECT_EQ("untouched", untouched);
}

TEST(AgentParametersKeyPath, IsTheConstant)
{
    EXPECT_STREQ(L"SYSTEM\\CurrentControlSet\\Services\\qz_agent\\Parameters\\Marrowgate",
                 CqzUtil::GetAgentParametersKeyPath());
}

// ---------------------------------------------------------------------------
// Cached paths

void ExpectCachedValues(const std::wstring& moduleDir, const std::wstring& configDir, const std::wstring& markerDir)
{
    const std::wstring bin = qztest::BinDir();
    EXPECT_EQ(bin, moduleDir);
    EXPECT_EQ(bin + L"\\config", configDir);
    ASSERT_EQ(14u, markerDir.size());
    EXPECT_EQ(bin[0], markerDir[0]);
    EXPECT_EQ(L":\\.marrowgate", markerDir.substr(1));
}

TEST(CachedPaths, ValuesAndStableReferences)
{
    const std::wstring& moduleDir = CqzUtil::GetCachedModuleDir();
    const std::wstring& configDir = CqzUtil::GetCachedConfigDir();
    const std::wstring& markerDir = CqzUtil::GetCachedMarkerDir();
    ExpectCachedValues(moduleDir, configDir, markerDir);
    EXPECT_EQ(&moduleDir, &CqzUtil::GetCachedModuleDir());
    EXPECT_EQ(&configDir, &CqzUtil::GetCachedConfigDir());
    EXPECT_EQ(&markerDir, &CqzUtil::GetCachedMarkerDir());
    EXPECT_NE(&moduleDir, &configDir);
    EXPECT_NE(&configDir, &markerDir);
}

// The first calls must come from many threads at once, so they run in a fresh
// process: this executable again, with only the test below.
TEST(CachedPaths, FirstCallsFromManyThreadsAgree)
{
    const std::wstring exe = qztest::ModulePath();
    const qztest::ProcessResult result = qztest::RunProcess(
        exe, qztest::QuoteArg(exe) +
                 L" --gtest_filter=CachedPathsFresh.DISABLED_FirstCallsRace --gtest_also_run_disabled_tests");
    ASSERT_TRUE(result.started) << result.error;
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(0u, result.exitCode);
}

TEST(CachedPathsFresh, DISABLED_FirstCallsRace)
{
    const int threadCount = 12;
    struct Seen
    {
        const std::wstring* module = nullptr;
        const std::wstring* config = nullptr;
        const std::wstring* marker = nullptr;
        std::wstring moduleText, configText, markerText;
    };
    std::vector<Seen> seen(threadCount);
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t)
    {
        threads.emplace_back(
            [t, &seen, &ready, &go]
            {
                ++ready;
                while (!go.load())
                    std::this_thread::yield();
                Seen& s = seen[t];
                // Different first calls: some threads reach the module directory
                // through the configuration or marker directory.
                switch (t % 3)
                {
                case 0:
                    s.module = &CqzUtil::GetCachedModuleDir();
                    s.config = &CqzUtil::GetCachedConfigDir();
                    s.marker = &CqzUtil::GetCachedMarkerDir();
                    break;
                case 1:
                    s.config = &CqzUtil::GetCachedConfigDir();
                    s.marker = &CqzUtil::GetCachedMarkerDir();
                    s.module = &CqzUtil::GetCachedModuleDir();
                    break;
                default:
                    s.marker = &CqzUtil::GetCachedMarkerDir();
                    s.module = &CqzUtil::GetCachedModuleDir();
                    s.config = &CqzUtil::GetCachedConfigDir();
                    break;
                }
                s.moduleText = *s.module;
                s.configText = *s.config;
                s.markerText = *s.marker;
            });
    }
    while (ready.load() < threadCount)
        std::this_thread::yield();
    go = true;
    for (std::thread& thread : threads)
        thread.join();

    for (int t = 0; t < threadCount; ++t)
    {
        SCOPED_TRACE("thread " + std::to_string(t));
        EXPECT_EQ(seen[0].module, seen[t].module);
        EXPECT_EQ(seen[0].config, seen[t].config);
        EXPECT_EQ(seen[0].marker, seen[t].marker);
        ExpectCachedValues(seen[t].moduleText, seen[t].configText, seen[t].markerText);
    }
}

} // namespace
