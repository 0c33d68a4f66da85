// DumpInfo of kernel objects and window objects, the registry-key dump, the
// path utilities and environment expansion.
#include "common/security/qz_handle.h"
#include "common/util/util.h"
#include "testing/harness/harness.h"
#include "tests/handles/handle_dump_test_util.h"

#include <gtest/gtest.h>

#include <sddl.h>

#include <string>
#include <vector>

namespace
{

using qzdumptest::Lines;

Lines SinkLines(const CqzStringTextSink& sink)
{
    Lines lines;
    std::string problem;
    EXPECT_TRUE(qztest::SplitCrLfLines(sink.Text(), lines, &problem)) << problem;
    return lines;
}

TEST(DumpInfoTest, MutexGivesAccessAndDescriptorLines)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"O:BAG:SYD:(A;;0x1F0001;;;WD)(A;;0x100000;;;AN)", SDDL_REVISION_1, &descriptor, nullptr));
    CqzScopedLocal<void> owner(descriptor);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    for (DWORD access : {static_cast<DWORD>(MUTEX_ALL_ACCESS), static_cast<DWORD>(READ_CONTROL | SYNCHRONIZE)})
    {
        SCOPED_TRACE(access);
        qztest::ScopedHandle created(::CreateMutexW(&attributes, FALSE, nullptr));
        ASSERT_TRUE(created.IsValid());
        HANDLE h = nullptr;
        ASSERT_TRUE(
            ::DuplicateHandle(::GetCurrentProcess(), created.Get(), ::GetCurrentProcess(), &h, access, FALSE, 0));
        CqzKernelObjectHandle mutex(h);
        CqzStringTextSink sink;
        mutex.DumpInfo(sink);
        const Lines expected = qzdumptest::ExpectedInfoLines(h, SE_KERNEL_OBJECT);
        const Lines actual = SinkLines(sink);
        EXPECT_EQ(expected, actual) << qzdumptest::Diff(expected, actual);
        ASSERT_GE(actual.size(), 3u);
        EXPECT_EQ(L"   OBJECT ACCESS GRANTED: " + qzdumptest::Hex8(access), actual[0]);
        CqzScopedLocal<void> read;
        ASSERT_EQ(0u, ::GetSecurityInfo(h, SE_KERNEL_OBJECT, 0x17, nullptr, nullptr, nullptr, nullptr, read.Receive()));
        const std::string sddl = qztest::SddlOf(read.Get(), 0x17);
        EXPECT_EQ("O:BAG:SYD:(A;;0x1f0001;;;WD)(A;;0x100000;;;AN)", sddl);
        EXPECT_EQ(L"   SECURITY DESCRIPTOR: " + qztest::FromUtf8(sddl), actual[2]);
    }
}

TEST(DumpInfoTest, EmptyObjectGivesErrorSix)
{
    CqzKernelObjectHandle empty;
    CqzStringTextSink sink;
    empty.DumpInfo(sink);
    const Lines expected = {L"   OBJECT ACCESS GRANTED: Unable to get granted access. Error 6",
                            L"   OBJECT ACCESS MAX ALLOWED: Unable to get granted access. Error 6",
                            L"  OBJECT SECURITY: Unable to get security. Error 6"};
    EXPECT_EQ(expected, SinkLines(sink));
}

// ---------------------------------------------------------------------------
// Window station and desktop
// ---------------------------------------------------------------------------

class WindowObjectDumpTest : public ::testing::Test
{
protected:
    qztest::TempDir m_dir{L"qzwdump"};
    std::wstring m_dump = m_dir / L"dump.txt";

    Lines ReadBack()
    {
        Lines lines;
        std::string problem;
        EXPECT_TRUE(qzdumptest::ReadDump(m_dump, lines, problem)) << problem;
        return lines;
    }
};

// Rows of user objects opened with and without READ_CONTROL. Without it,
// Wine's GetSecurityInfo fails with 5 (the real failure lines); with it, the
// descriptor's lines follow.
struct WindowObjectRow
{
    const char* name;
    bool desktop;
    DWORD access;
    bool readable;
};

const WindowObjectRow kWindowObjectRows[] = {
    {"window station, read control", false, READ_CONTROL | WINSTA_READATTRIBUTES, true},
    {"window station, attributes only", false, WINSTA_READATTRIBUTES, false},
    {"desktop, read control", true, READ_CONTROL | DESKTOP_READOBJECTS, true},
    {"desktop, objects only", true, DESKTOP_READOBJECTS, false},
};

TEST_F(WindowObjectDumpTest, WindowStationsAndDesktops)
{
    for (const WindowObjectRow& row : kWindowObjectRows)
    {
        SCOPED_TRACE(row.name);
        HANDLE h = row.desktop ? reinterpret_cast<HANDLE>(::OpenDesktopW(L"Default", 0, FALSE, row.access))
                               : reinterpret_cast<HANDLE>(::OpenWindowStationW(L"WinSta0", FALSE, row.access));
        ASSERT_NE(nullptr, h) << ::GetLastError();
        Lines expected = {row.desktop ? L"   USER OBJECT TYPE: Desktop" : L"   USER OBJECT TYPE: WindowStation",
                          row.desktop ? L"   USER OBJECT NAME: Default" : L"   USER OBJECT NAME: WinSta0",
                          L"   OBJECT ACCESS GRANTED: " + qzdumptest::Hex8(row.access)};
        const Lines info = qzdumptest::ExpectedInfoLines(h, SE_WINDOW_OBJECT);
        ASSERT_GE(info.size(), 3u);
        EXPECT_EQ(expected.back(), info[0]);
        expected.pop_back();
        qzdumptest::Append(expected, info);
        if (!row.readable)
        {
            EXPECT_EQ(5u, expected.size());
            EXPECT_EQ(L"   OBJECT ACCESS MAX ALLOWED: Unable to get granted access. Error 5", info[1]);
            EXPECT_EQ(L"  OBJECT SECURITY: Unable to get security. Error 5", info[2]);
        }
        else
        {
            CqzScopedLocal<void> descriptor;
            ASSERT_EQ(0u, ::GetSecurityInfo(h, SE_WINDOW_OBJECT, 0x17, nullptr, nullptr, nullptr, nullptr,
                                            descriptor.Receive()));
            std::string mismatch;
            qzdumptest::DescriptorLines(descriptor.Get(), &mismatch);
            EXPECT_EQ("", mismatch);
        }
        if (row.desktop)
        {
            CqzDesktopHandle handle(static_cast<HDESK>(h));
            handle.Dump(m_dump.c_str());
        }
        else
        {
            CqzWindowStationHandle handle(static_cast<HWINSTA>(h));
            handle.Dump(m_dump.c_str());
        }
        const Lines actual = ReadBack();
        EXPECT_EQ(expected, actual) << qzdumptest::Diff(expected, actual);
    }
}

TEST_F(WindowObjectDumpTest, EmptyWindowObjectGivesErrorLines)
{
    CqzDesktopHandle handle(nullptr);
    handle.Dump(m_dump.c_str());
    const Lines expected = {L"   USER OBJECT TYPE: Error 6", L"   USER OBJECT NAME: Error 6",
                            L"   OBJECT ACCESS GRANTED: Unable to get granted access. Error 6",
                            L"   OBJECT ACCESS MAX ALLOWED: Unable to get granted access. Error 6",
                            L"  OBJECT SECURITY: Unable to get security. Error 6"};
    EXPECT_EQ(expected, ReadBack());
}

TEST_F(WindowObjectDumpTest, DumpFileThatCannotBeCreatedIsTraced)
{
    HDESK desktop = ::OpenDesktopW(L"Default", 0, FALSE, READ_CONTROL | DESKTOP_READOBJECTS);
    CqzDesktopHandle handle(desktop);
    const std::wstring dumpPath = m_dir / L"missing\\dump.txt";
    qztest::TraceCapture capture;
    handle.Dump(dumpPath.c_str());
    EXPECT_EQ(qztest::EntriesOf(
                  QZT_ERROR, "CqzWindowObjectHandle",
                  {"ERROR: Failed to open dump file " + qztest::ToUtf8(dumpPath) + " for writing. hr=-2147024893"}),
              capture.Entries());
}

// ---------------------------------------------------------------------------
// Registry key
// ---------------------------------------------------------------------------

class RegistryDumpTest : public WindowObjectDumpTest
{
protected:
    std::wstring m_subKey = L"Software\\qz_h3_dump_" + std::to_wstring(::GetCurrentProcessId());
};

TEST_F(RegistryDumpTest, KeyGivesPathAndInfoLines)
{
    qztest::RegKeyGuard guard(HKEY_CURRENT_USER, m_subKey);
    ASSERT_TRUE(guard.Created());
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegOpenKeyExW(HKEY_CURRENT_USER, m_subKey.c_str(), 0, READ_CONTROL | ACCESS_SYSTEM_SECURITY, &key));
    CqzScopedRegKey ownKey(key);
    Lines expected = {L"*** Registry Key Info start ***", L"",
                      L"PATH: " + qzdumptest::PointerText(HKEY_CURRENT_USER) + L"\\" + m_subKey};
    qzdumptest::Append(expected, qzdumptest::ExpectedInfoLines(key, SE_REGISTRY_KEY));
    qzdumptest::Append(expected, {L"", L"*** Registry Key Info end ***", L""});
    CqzRegistryKeyHandle::Dump(HKEY_CURRENT_USER, m_subKey.c_str(), m_dump.c_str());
    const Lines actual = ReadBack();
    EXPECT_EQ(expected, actual) << qzdumptest::Diff(expected, actual);
#ifdef _WIN64
    EXPECT_EQ(0u, actual[2].find(L"PATH: FFFFFFFF80000001\\Software\\qz_h3_dump_"));
#else
    EXPECT_EQ(0u, actual[2].find(L"PATH: 80000001\\Software\\qz_h3_dump_"));
#endif
}

TEST_F(RegistryDumpTest, MissingKeyGivesOpenError)
{
    CqzRegistryKeyHandle::Dump(HKEY_LOCAL_MACHINE, L"SOFTWARE\\qz_h3_no_such_key", m_dump.c_str());
    const Lines expected = {L"*** Registry Key Info start ***",
                            L"",
                            L"PATH: " + qzdumptest::PointerText(HKEY_LOCAL_MACHINE) + L"\\SOFTWARE\\qz_h3_no_such_key",
                            L"   RegOpenKeyEx error: 2",
                            L"",
                            L"*** Registry Key Info end ***",
                            L""};
    EXPECT_EQ(expected, ReadBack());
}

TEST_F(RegistryDumpTest, TheKeyIsClosedAfterTheDump)
{
    // A key that the dump left open would keep the deleted key alive and the
    // handle count up; the count of this process's handles is the witness.
    qztest::RegKeyGuard guard(HKEY_CURRENT_USER, m_subKey);
    DWORD before = 0;
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &before));
    for (int i = 0; i < 20; ++i)
        CqzRegistryKeyHandle::Dump(HKEY_CURRENT_USER, m_subKey.c_str(), m_dump.c_str());
    DWORD after = 0;
    ASSERT_TRUE(::GetProcessHandleCount(::GetCurrentProcess(), &after));
    EXPECT_LE(after, before + 2);
}

// ---------------------------------------------------------------------------
// Path utilities and environment strings
// ---------------------------------------------------------------------------

TEST(LongPathTest, Rows)
{
    const std::wstring part(300, L'p');
    wchar_t cwd[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetCurrentDirectoryW(MAX_PATH, cwd));
    std::wstring cwdText = cwd;
    if (cwdText.back() != L'\\')
        cwdText += L'\\';
    struct Row
    {
        const char* name;
        std::wstring path;
        std::wstring expected;
    };
    const std::wstring shortest259 = L"C:\\" + std::wstring(256, L'a');
    const std::wstring at260 = L"C:\\" + std::wstring(257, L'a');
    const Row rows[] = {
        {"short drive path", L"C:\\dir\\file.txt", L"C:\\dir\\file.txt"},
        {"259 characters", shortest259, shortest259},
        {"260 characters", at260, L"\\\\?\\" + at260},
        {"long drive path", L"C:\\" + part, L"\\\\?\\C:\\" + part},
        {"slashes and dots", L"C:/x/../y/./" + part, L"\\\\?\\C:\\y\\" + part},
        {"long UNC path", L"\\\\server\\share\\" + part, L"\\\\?\\UNC\\server\\share\\" + part},
        {"already long", L"\\\\?\\C:\\" + part, L"\\\\?\\C:\\" + part},
        {"already long UNC", L"\\\\?\\UNC\\server\\share\\" + part, L"\\\\?\\UNC\\server\\share\\" + part},
        {"NT form", L"\\??\\C:\\" + part, L"\\??\\C:\\" + part},
        {"device path", L"\\\\.\\" + part, L"\\\\.\\" + part},
        {"relative", L"rel\\" + part, L"\\\\?\\" + cwdText + L"rel\\" + part},
        {"empty", L"", L""},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.expected, CqzUtil::MakeLongPath(row.path.c_str())) << row.name;
    EXPECT_EQ(L"", CqzUtil::MakeLongPath(nullptr));
}

TEST(LongPathTest, WrappersRefuseNull)
{
    ::SetLastError(0);
    EXPECT_EQ(INVALID_HANDLE_VALUE,
              CqzUtil::CreateFileLongPath(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), ::GetLastError());
    ::SetLastError(0);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, CqzUtil::GetFileAttributesLongPath(nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), ::GetLastError());
}

TEST(LongPathTest, WrappersReachShortAndLongPaths)
{
    qztest::TempDir dir(L"qzlong");
    std::wstring deep = dir.Path() + L"\\" + std::wstring(200, L'x');
    ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr));
    const std::wstring path = deep + L"\\" + std::wstring(100, L'f') + L".txt";
    for (const std::wstring& p : {dir / L"short.txt", path})
    {
        SCOPED_TRACE(p.size());
        {
            qztest::ScopedHandle file(CqzUtil::CreateFileLongPath(p.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                                  FILE_ATTRIBUTE_NORMAL, nullptr));
            ASSERT_TRUE(file.IsValid()) << ::GetLastError();
        }
        EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE), CqzUtil::GetFileAttributesLongPath(p.c_str()));
        EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE),
                  ::GetFileAttributesW(CqzUtil::MakeLongPath(p.c_str()).c_str()));
        EXPECT_TRUE(::DeleteFileW(CqzUtil::MakeLongPath(p.c_str()).c_str()));
    }
    EXPECT_TRUE(::RemoveDirectoryW((L"\\\\?\\" + deep).c_str()));
}

class EnvVar
{
public:
    EnvVar(const wchar_t* name, const std::wstring& value) : m_name(name)
    {
        ::SetEnvironmentVariableW(name, value.c_str());
    }
    ~EnvVar() { ::SetEnvironmentVariableW(m_name, nullptr); }

private:
    const wchar_t* m_name;
};

TEST(ExpandEnvStringsTest, Rows)
{
    const std::wstring big(5000, L'b');
    EnvVar small(L"QZ_H3_SMALL", L"value");
    EnvVar bigVar(L"QZ_H3_BIG", big);
    wchar_t systemRoot[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetEnvironmentVariableW(L"SystemRoot", systemRoot, MAX_PATH));
    struct Row
    {
        const char* name;
        std::wstring text;
        std::wstring expected;
    };
    const Row rows[] = {
        {"plain", L"C:\\plain", L"C:\\plain"},
        {"empty", L"", L""},
        {"one variable", L"%QZ_H3_SMALL%\\x", L"value\\x"},
        {"system root", L"%SystemRoot%\\system32\\svc.dll", std::wstring(systemRoot) + L"\\system32\\svc.dll"},
        {"unknown variable stays", L"%QZ_H3_NOT_SET%\\y", L"%QZ_H3_NOT_SET%\\y"},
        {"lone percent", L"50% off", L"50% off"},
        {"past the first buffer", L"<%QZ_H3_BIG%>", L"<" + big + L">"},
    };
    for (const Row& row : rows)
    {
        std::wstring expanded = L"stale";
        qztest::TraceCapture capture;
        EXPECT_TRUE(CqzUtil::ExpandEnvStrings(row.text.c_str(), expanded)) << row.name;
        EXPECT_EQ(row.expected.size(), expanded.size()) << row.name;
        EXPECT_TRUE(row.expected == expanded) << row.name;
        EXPECT_TRUE(capture.Entries().empty()) << row.name;
    }
}

TEST(ExpandEnvStringsTest, ResultPastTheSystemLimitIsRefused)
{
    // The system expands into at most 32767 characters and cuts the rest
    // off (Wine answers the full length but writes only what fits): a cut
    // text is refused, never handed on as the value.
    const std::wstring huge(20000, L'h');
    EnvVar hugeVar(L"QZ_H3_HUGE", huge);
    std::wstring expanded = L"stale";
    qztest::TraceCapture capture;
    EXPECT_FALSE(CqzUtil::ExpandEnvStrings(L"%QZ_H3_HUGE%%QZ_H3_HUGE%", expanded));
    EXPECT_EQ(L"", expanded);
    EXPECT_EQ(qztest::EntriesOf(QZT_ERROR, "CqzUtil",
                                {"ERROR: ExpandEnvironmentStrings(%QZ_H3_HUGE%%QZ_H3_HUGE%) failed. LastError=122"}),
              capture.Entries());
}

TEST(ExpandEnvStringsTest, NullIsRefusedAndTraced)
{
    std::wstring expanded = L"stale";
    qztest::TraceCapture capture;
    EXPECT_FALSE(CqzUtil::ExpandEnvStrings(nullptr, expanded));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), ::GetLastError());
    EXPECT_EQ(L"", expanded);
    EXPECT_EQ(qztest::EntriesOf(QZT_ERROR, "CqzUtil", {"ERROR: ExpandEnvironmentStrings(NULL) failed. LastError=87"}),
              capture.Entries());
}

} // namespace
