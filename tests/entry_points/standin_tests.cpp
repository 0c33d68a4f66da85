// The stand-in agent libraries and their record reader: what a suite reads
// back is exactly what the export received, in the documented line format.
#include "qz_runtime.h"
#include "testing/harness/harness.h"
#include "testing/standin/standin_exports.h"
#include "testing/standin/standin_record.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace
{

using A = qztest::StandinArg;
typedef HRESULT(WINAPI* PFN_CallCGCOFU)();
typedef HRESULT(WINAPI* PFN_ShowEBH)(LPCWSTR);
typedef HRESULT(WINAPI* PFN_QzToolExec)(LPCWSTR, int, int, LPWSTR*);
typedef HRESULT(WINAPI* PFN_ShowWB)(LPCWSTR, bool);
// ShowWB as a caller that leaves arbitrary bits in the bool's argument slot
// (__stdcall passes it in a 4-byte slot either way).
typedef HRESULT(WINAPI* PFN_ShowWBRaw)(LPCWSTR, int);

template <typename T>
T As(FARPROC proc)
{
    return reinterpret_cast<T>(reinterpret_cast<void (*)()>(proc));
}

std::string U8(const std::wstring& text)
{
    return qztest::ToUtf8(text);
}

// Copies of both stand-ins in a private directory, loaded by full path, so
// the records of one test are its own.
class StandinTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (const std::wstring& name : qztest::kStandinDlls)
            ASSERT_TRUE(::CopyFileW((qztest::BinDir() + L"\\" + name).c_str(), (m_dir / name).c_str(), FALSE))
                << U8(name);
        m_shex = ::LoadLibraryW((m_dir / L"qz_shex.dll").c_str());
        m_bho = ::LoadLibraryW((m_dir / L"qz_bho.dll").c_str());
        ASSERT_NE(nullptr, m_shex);
        ASSERT_NE(nullptr, m_bho);
        m_showEBH = As<PFN_ShowEBH>(::GetProcAddress(m_shex, "ShowEBH"));
        m_qzToolExec = As<PFN_QzToolExec>(::GetProcAddress(m_shex, "QzToolExec"));
        m_callCGCOFU = As<PFN_CallCGCOFU>(::GetProcAddress(m_bho, "CallCGCOFU"));
        m_showWB = As<PFN_ShowWB>(::GetProcAddress(m_bho, "ShowWB"));
        ASSERT_TRUE(m_showEBH && m_qzToolExec && m_callCGCOFU && m_showWB);
    }

    void TearDown() override
    {
        if (m_shex)
            ::FreeLibrary(m_shex);
        if (m_bho)
            ::FreeLibrary(m_bho);
    }

    std::vector<qztest::StandinCall> Calls()
    {
        std::vector<qztest::StandinCall> calls;
        std::string error;
        EXPECT_TRUE(qztest::ReadStandinCalls(m_dir.Path(), calls, &error)) << error;
        return calls;
    }

    qztest::TempDir m_dir{L"qzstandin"};
    HMODULE m_shex = nullptr;
    HMODULE m_bho = nullptr;
    PFN_ShowEBH m_showEBH = nullptr;
    PFN_QzToolExec m_qzToolExec = nullptr;
    PFN_CallCGCOFU m_callCGCOFU = nullptr;
    PFN_ShowWB m_showWB = nullptr;
};

TEST_F(StandinTest, LineFormatIsTheDocumentedOne)
{
    EXPECT_EQ(S_OK, m_showEBH(L"a\tb\\c \u00fc"));
    const std::string expected = "ShowEBH\tuninitialised\t" + std::to_string(::GetCurrentProcessId()) + "\t" +
                                 std::to_string(::GetCurrentThreadId()) + "\t0x00000000\ts:a\\tb\\\\c \xC3\xBC\n";
    EXPECT_EQ(expected, qztest::ReadTextFile(m_dir / qztest::kStandinCallsFile));
}

TEST_F(StandinTest, TextArgumentsComeBackExactly)
{
    const struct
    {
        const char* row;
        std::optional<std::wstring> text;
    } rows[] = {
        {"plain path", std::wstring(L"C:\\Program Files\\Dunmoral\\file.txt")},
        {"empty", std::wstring()},
        {"null pointer", std::nullopt},
        {"escaped characters", std::wstring(L"a\tb\nc\rd\\e")},
        {"other control characters", std::wstring(L"\x01\x1f\x7f|")},
        {"latin-1 and euro", std::wstring(L"\u00fc\u00ff\u20ac")},
        {"surrogate pair", std::wstring(L"x\U0001F600y")},
        {"lone high surrogate", std::wstring{0xD83D, L'x'}},
        {"lone low surrogate", std::wstring{L'x', 0xDE00}},
        {"high surrogate at the end", std::wstring{L'a', 0xD83D}},
        {"reversed pair", std::wstring{0xDE00, 0xD83D}},
        {"escape look-alikes", std::wstring(L"\\u0041\\x41\\t s:")},
        {"long", std::wstring(40000, L'\u00e9')},
    };
    for (const auto& row : rows)
        m_showEBH(row.text ? row.text->c_str() : nullptr);

    const std::vector<qztest::StandinCall> calls = Calls();
    ASSERT_EQ(std::size(rows), calls.size());
    for (size_t i = 0; i < calls.size(); ++i)
    {
        SCOPED_TRACE(rows[i].row);
        EXPECT_EQ("ShowEBH", calls[i].exportName);
        ASSERT_EQ(1u, calls[i].args.size());
        EXPECT_EQ(A::Kind::Text, calls[i].args[0].kind);
        EXPECT_EQ(rows[i].text, calls[i].args[0].text);
    }
}

TEST_F(StandinTest, QzToolExecRecordsTheVectorUpToTheCountAndItsTerminator)
{
    wchar_t a[] = L"-a", b[] = L"b c", c[] = L"c";
    LPWSTR terminatedTwo[] = {a, b, nullptr};
    LPWSTR unterminated[] = {a, b, c};
    LPWSTR nullInside[] = {a, nullptr, c, nullptr};
    LPWSTR empty[] = {nullptr};
    const struct
    {
        const char* row;
        int show;
        int count;
        LPWSTR* vector;
        A expected;
    } rows[] = {
        {"tool alone: the terminator", 1, 3, empty, A::Vector({std::nullopt})},
        {"two after the tool", SW_HIDE, 5, terminatedTwo, A::Vector({L"-a", L"b c", std::nullopt})},
        {"count short of the terminator", 7, 4, terminatedTwo, A::Vector({L"-a", L"b c"})},
        {"no terminator where the count says", 5, 5, unterminated, A::Vector({L"-a", L"b c", L"c"})},
        {"stops after the first null", 0, 6, nullInside, A::Vector({L"-a", std::nullopt})},
        {"count below 3", -1, 2, terminatedTwo, A::Vector({})},
        {"negative count", INT_MIN, INT_MIN, terminatedTwo, A::Vector({})},
        {"null vector", INT_MAX, 4, nullptr, A::NullVector()},
    };
    for (const auto& row : rows)
        m_qzToolExec(L"tool.exe", row.show, row.count, row.vector);

    const std::vector<qztest::StandinCall> calls = Calls();
    ASSERT_EQ(std::size(rows), calls.size());
    for (size_t i = 0; i < calls.size(); ++i)
    {
        SCOPED_TRACE(rows[i].row);
        EXPECT_EQ("QzToolExec", calls[i].exportName);
        EXPECT_EQ((std::vector<A>{A::Text(L"tool.exe"), A::Int(rows[i].show), A::Int(rows[i].count), rows[i].expected}),
                  calls[i].args);
    }
}

TEST_F(StandinTest, ShowWBRecordsTheFlagByteAsReceived)
{
    m_showWB(L"https://a.test/", true);
    m_showWB(nullptr, false);
    // Callers that leave other bits in the slot: only the low byte counts.
    PFN_ShowWBRaw raw = As<PFN_ShowWBRaw>(::GetProcAddress(m_bho, "ShowWB"));
    raw(L"x", 0x100);
    raw(L"x", 0x7F01);
    raw(L"x", 2);

    const std::vector<qztest::StandinCall> calls = Calls();
    const std::vector<std::vector<A>> expected = {
        {A::Text(L"https://a.test/"), A::Bool(1)},
        {A::Text(nullptr), A::Bool(0)},
        {A::Text(L"x"), A::Bool(0)},
        {A::Text(L"x"), A::Bool(1)},
        {A::Text(L"x"), A::Bool(2)},
    };
    ASSERT_EQ(expected.size(), calls.size());
    for (size_t i = 0; i < calls.size(); ++i)
    {
        EXPECT_EQ("ShowWB", calls[i].exportName) << "call " << i;
        EXPECT_EQ(expected[i], calls[i].args) << "call " << i;
    }
}

TEST_F(StandinTest, EveryExportReturnsTheChosenResult)
{
    const struct
    {
        const char* row;
        const char* content; // null: no file
        HRESULT expected;
    } rows[] = {
        {"no file", nullptr, S_OK},
        {"failure with 0x", "0x80004005\n", static_cast<HRESULT>(0x80004005)},
        {"success code", "1", S_FALSE},
        {"no 0x, spaces around", "  8007000e \r\n", static_cast<HRESULT>(0x8007000E)},
        {"upper-case 0X", "0X8000FFFF", static_cast<HRESULT>(0x8000FFFF)},
        {"empty file", "", E_UNEXPECTED},
        {"not hex", "zz", E_UNEXPECTED},
        {"nine digits", "0x123456789", E_UNEXPECTED},
        {"two numbers", "1 2", E_UNEXPECTED},
        {"only 0x", "0x", E_UNEXPECTED},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.row);
        ASSERT_TRUE(qztest::ClearStandinCalls(m_dir.Path()));
        if (row.content)
            ASSERT_TRUE(qztest::WriteTextFile(m_dir / qztest::kStandinResultFile, row.content));
        else
            ASSERT_TRUE(qztest::ClearStandinResult(m_dir.Path()));

        wchar_t tool[] = L"t";
        LPWSTR vector[] = {nullptr};
        EXPECT_EQ(row.expected, m_callCGCOFU());
        EXPECT_EQ(row.expected, m_showEBH(L"p"));
        EXPECT_EQ(row.expected, m_qzToolExec(tool, 0, 3, vector));
        EXPECT_EQ(row.expected, m_showWB(L"u", true));

        const std::vector<qztest::StandinCall> calls = Calls();
        ASSERT_EQ(4u, calls.size());
        for (const qztest::StandinCall& call : calls)
            EXPECT_EQ(row.expected, call.result) << call.exportName;
    }
    // The helper writes what the stand-in reads.
    ASSERT_TRUE(qztest::SetStandinResult(m_dir.Path(), static_cast<HRESULT>(0x80070057)));
    EXPECT_EQ(static_cast<HRESULT>(0x80070057), m_callCGCOFU());
}

struct ThreadCall
{
    PFN_CallCGCOFU call;
    DWORD initFlags; // ~0u: no COM on the thread
    HANDLE ready = nullptr;
    HANDLE release = nullptr;
    bool callIt = true;
};

DWORD WINAPI ApartmentThread(void* parameter)
{
    ThreadCall& t = *static_cast<ThreadCall*>(parameter);
    const HRESULT init = t.initFlags == ~0u ? E_FAIL : ::CoInitializeEx(nullptr, t.initFlags);
    if (t.callIt)
        t.call();
    if (t.ready)
        ::SetEvent(t.ready);
    if (t.release)
        ::WaitForSingleObject(t.release, INFINITE);
    if (SUCCEEDED(init))
        ::CoUninitialize();
    return 0;
}

void RunThread(ThreadCall& t)
{
    qztest::ScopedHandle thread(::CreateThread(nullptr, 0, ApartmentThread, &t, 0, nullptr));
    ASSERT_TRUE(thread.IsValid());
    ::WaitForSingleObject(thread.Get(), INFINITE);
}

// Main-STA and STA are seen in a fresh process by the entry-point suite;
// here the apartments a thread can have without owning the process's first
// single-threaded apartment.
TEST_F(StandinTest, RecordsTheCallingThreadsApartment)
{
    ThreadCall none{m_callCGCOFU, ~0u};
    RunThread(none);
    ThreadCall mta{m_callCGCOFU, COINIT_MULTITHREADED};
    RunThread(mta);
    {
        // A thread without COM while another holds the multithreaded apartment.
        qztest::ScopedHandle ready(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        qztest::ScopedHandle release(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        ThreadCall holder{m_callCGCOFU, COINIT_MULTITHREADED, ready.Get(), release.Get(), false};
        qztest::ScopedHandle thread(::CreateThread(nullptr, 0, ApartmentThread, &holder, 0, nullptr));
        ASSERT_TRUE(thread.IsValid());
        ::WaitForSingleObject(ready.Get(), INFINITE);
        ThreadCall implicit{m_callCGCOFU, ~0u};
        RunThread(implicit);
        ::SetEvent(release.Get());
        ::WaitForSingleObject(thread.Get(), INFINITE);
    }

    const std::vector<qztest::StandinCall> calls = Calls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ("uninitialised", calls[0].apartment);
    EXPECT_EQ("MTA", calls[1].apartment);
    EXPECT_EQ("implicit-MTA", calls[2].apartment);
    for (const qztest::StandinCall& call : calls)
    {
        EXPECT_EQ("CallCGCOFU", call.exportName);
        EXPECT_EQ(::GetCurrentProcessId(), call.pid);
        EXPECT_NE(::GetCurrentThreadId(), call.tid);
        EXPECT_TRUE(call.args.empty());
    }
    EXPECT_NE(calls[0].tid, calls[1].tid);
}

DWORD WINAPI HammerShowEBH(void* parameter)
{
    const PFN_ShowEBH showEBH = *static_cast<const PFN_ShowEBH*>(parameter);
    const std::wstring text(3000, static_cast<wchar_t>(L'a' + ::GetCurrentThreadId() % 26));
    for (int i = 0; i < 25; ++i)
        showEBH(text.c_str());
    return 0;
}

TEST_F(StandinTest, ConcurrentCallsAppendWholeLines)
{
    std::vector<qztest::ScopedHandle> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back(::CreateThread(nullptr, 0, HammerShowEBH, &m_showEBH, 0, nullptr));
    for (const qztest::ScopedHandle& thread : threads)
    {
        ASSERT_TRUE(thread.IsValid());
        ::WaitForSingleObject(thread.Get(), INFINITE);
    }
    const std::vector<qztest::StandinCall> calls = Calls();
    ASSERT_EQ(100u, calls.size());
    for (const qztest::StandinCall& call : calls)
    {
        ASSERT_EQ(1u, call.args.size());
        ASSERT_TRUE(call.args[0].text.has_value());
        EXPECT_EQ(std::wstring(3000, static_cast<wchar_t>(L'a' + call.tid % 26)), *call.args[0].text);
    }
}

TEST(StandinLibraries, ExportUndecoratedNamesAndVariantsLackOne)
{
    const struct
    {
        const wchar_t* file;
        const char* name;
        bool exported;
    } rows[] = {
        {L"qz_shex.dll", "ShowEBH", true},
        {L"qz_shex.dll", "QzToolExec", true},
        {L"qz_shex.dll", "_ShowEBH@4", false},
        {L"qz_shex.dll", "ShowEBH@4", false},
        {L"qz_shex.dll", "QzToolExec@16", false},
        {L"qz_shex.dll", "CallCGCOFU", false},
        {L"qz_bho.dll", "CallCGCOFU", true},
        {L"qz_bho.dll", "ShowWB", true},
        {L"qz_bho.dll", "_ShowWB@8", false},
        {L"qz_bho.dll", "ShowWB@8", false},
        {L"qz_bho.dll", "ShowEBH", false},
        {qztest::kShexWithoutShowEBH, "ShowEBH", false},
        {qztest::kShexWithoutShowEBH, "QzToolExec", true},
        {qztest::kBhoWithoutShowWB, "ShowWB", false},
        {qztest::kBhoWithoutShowWB, "CallCGCOFU", true},
    };
    for (const auto& row : rows)
    {
        const std::wstring path = qztest::BinDir() + L"\\" + row.file;
        HMODULE module = ::LoadLibraryW(path.c_str());
        ASSERT_NE(nullptr, module) << U8(path);
        EXPECT_EQ(row.exported, ::GetProcAddress(module, row.name) != nullptr) << U8(row.file) << " " << row.name;
        ::FreeLibrary(module);
    }
}

// Names of the DLLs a PE file imports, read from the file itself.
bool ImportedDlls(const std::wstring& path, std::vector<std::string>& names)
{
    const std::string file = qztest::ReadTextFile(path);
    auto fits = [&](size_t offset, size_t size) { return offset <= file.size() && size <= file.size() - offset; };
    IMAGE_DOS_HEADER dos;
    if (!fits(0, sizeof(dos)))
        return false;
    std::memcpy(&dos, file.data(), sizeof(dos));
    IMAGE_NT_HEADERS nt; // the stand-ins are built in this suite's flavour
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0 || !fits(dos.e_lfanew, sizeof(nt)))
        return false;
    std::memcpy(&nt, file.data() + dos.e_lfanew, sizeof(nt));
    if (nt.Signature != IMAGE_NT_SIGNATURE || nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC)
        return false;
    const size_t sectionsAt =
        dos.e_lfanew + offsetof(IMAGE_NT_HEADERS, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
    std::vector<IMAGE_SECTION_HEADER> sections(nt.FileHeader.NumberOfSections);
    if (!fits(sectionsAt, sections.size() * sizeof(IMAGE_SECTION_HEADER)))
        return false;
    std::memcpy(sections.data(), file.data() + sectionsAt, sections.size() * sizeof(IMAGE_SECTION_HEADER));
    auto offsetOf = [&](DWORD rva, size_t& offset)
    {
        for (const IMAGE_SECTION_HEADER& s : sections)
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + s.SizeOfRawData)
            {
                offset = rva - s.VirtualAddress + s.PointerToRawData;
                return true;
            }
        return false;
    };
    size_t at = 0;
    if (!offsetOf(nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress, at))
        return false;
    for (;; at += sizeof(IMAGE_IMPORT_DESCRIPTOR))
    {
        IMAGE_IMPORT_DESCRIPTOR descriptor;
        if (!fits(at, sizeof(descriptor)))
            return false;
        std::memcpy(&descriptor, file.data() + at, sizeof(descriptor));
        if (descriptor.Name == 0)
            return true;
        size_t nameAt = 0;
        if (!offsetOf(descriptor.Name, nameAt))
            return false;
        const size_t end = file.find('\0', nameAt);
        if (end == std::string::npos)
            return false;
        names.push_back(file.substr(nameAt, end - nameAt));
    }
}

// The stand-ins keep a C-like boundary: system DLLs and the one shared libgcc
// that every binary of the build uses, never libstdc++.
TEST(StandinLibraries, ImportSystemLibrariesAndSharedLibgccOnly)
{
    const char* const allowed[] = {"kernel32.dll", "msvcrt.dll", "ole32.dll", QZ_RUNTIME_LIBGCC_NAME};
    for (const wchar_t* file : {L"qz_shex.dll", L"qz_bho.dll", qztest::kShexWithoutShowEBH, qztest::kBhoWithoutShowWB})
    {
        std::vector<std::string> names;
        ASSERT_TRUE(ImportedDlls(qztest::BinDir() + L"\\" + file, names)) << U8(file);
        EXPECT_FALSE(names.empty()) << U8(file);
        for (const std::string& name : names)
        {
            bool ok = false;
            for (const char* a : allowed)
                ok = ok || ::lstrcmpiA(name.c_str(), a) == 0;
            EXPECT_TRUE(ok) << U8(file) << " imports " << name;
        }
    }
}

TEST(StandinRecordReader, RejectsMalformedLines)
{
    const std::string head = "ShowEBH\tSTA\t1\t2\t0x00000000";
    const struct
    {
        const char* row;
        std::string line;
    } rows[] = {
        {"too few fields", "ShowEBH\tSTA\t1\t2"},
        {"empty export", "\tSTA\t1\t2\t0x00000000"},
        {"bad pid", "ShowEBH\tSTA\tx\t2\t0x00000000"},
        {"pid beyond 32 bits", "ShowEBH\tSTA\t4294967296\t2\t0x00000000"},
        {"result without 0x", "ShowEBH\tSTA\t1\t2\t00000000"},
        {"short result", "ShowEBH\tSTA\t1\t2\t0x0"},
        {"unknown field", head + "\tq:1"},
        {"unknown escape", head + "\ts:a\\qb"},
        {"escape at the end", head + "\ts:a\\"},
        {"short \\x escape", head + "\ts:\\x4"},
        {"bad \\u escape", head + "\ts:\\uD83G"},
        {"not UTF-8", head + "\ts:\xC3"},
        {"int out of range", head + "\ti:2147483648"},
        {"bool out of range", head + "\tb:256"},
        {"vector longer than the line", head + "\tv:2\ts:a"},
        {"vector entry not a text", head + "\tv:1\ti:1"},
        {"negative vector count", head + "\tv:-1"},
    };
    for (const auto& row : rows)
    {
        qztest::StandinCall call;
        std::string error;
        EXPECT_FALSE(qztest::ParseStandinLine(row.line, call, &error)) << row.row;
        EXPECT_FALSE(error.empty()) << row.row;
    }

    qztest::StandinCall call;
    ASSERT_TRUE(qztest::ParseStandinLine(
        "QzToolExec\tmain-STA\t4294967295\t7\t0x8007000E\ts:t\\x01\\uD83D\ti:-2147483648\ti:5\tv:3\ts:\ts-\ts:z",
        call));
    EXPECT_EQ("QzToolExec", call.exportName);
    EXPECT_EQ("main-STA", call.apartment);
    EXPECT_EQ(0xFFFFFFFFu, call.pid);
    EXPECT_EQ(7u, call.tid);
    EXPECT_EQ(static_cast<HRESULT>(0x8007000E), call.result);
    EXPECT_EQ((std::vector<A>{A::Text(std::wstring{L't', 0x01, 0xD83D}.c_str()), A::Int(INT_MIN), A::Int(5),
                              A::Vector({L"", std::nullopt, L"z"})}),
              call.args);
}

TEST(StandinRecordReader, MissingFileIsNoCallsAndAnUnendedLastLineIsAnError)
{
    qztest::TempDir dir(L"qzrecord");
    std::vector<qztest::StandinCall> calls(1);
    EXPECT_TRUE(qztest::ReadStandinCalls(dir.Path(), calls));
    EXPECT_TRUE(calls.empty());

    ASSERT_TRUE(qztest::WriteTextFile(dir / qztest::kStandinCallsFile,
                                      "CallCGCOFU\tMTA\t1\t2\t0x00000000\nCallCGCOFU\tMTA\t1\t2\t0x0000"));
    std::string error;
    EXPECT_FALSE(qztest::ReadStandinCalls(dir.Path(), calls, &error));
    EXPECT_FALSE(error.empty());
}

} // namespace
