// The file dump read back line by line: a file, a directory, a path past
// MAX_PATH, a missing path, reparse points and symbolic links; the dump
// file's own failures; FileAccessCheck; the attribute names.
#include "common/security/access_token.h"
#include "common/security/qz_handle.h"
#include "common/security/qz_handle_dump_internal.h"
#include "common/util/util.h"
#include "testing/harness/guarded_bytes.h"
#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"
#include "tests/handles/handle_dump_test_util.h"

#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <vector>

namespace
{

using qzdumptest::Lines;

const char* const kFileClass = "CqzFileObjectHandle";

// Wine 8 fails GetFinalPathNameByHandleW with 234 for a path past MAX_PATH
// whatever the buffer: the dump then shows that real failure.
std::wstring FinalPathLine(HANDLE file)
{
    std::vector<wchar_t> buffer(4096, L'\0');
    const DWORD chars = ::GetFinalPathNameByHandleW(file, buffer.data(), 4096, 0);
    if (chars == 0 || chars >= 4096)
        return L"FINAL PATH: Failed to get final path. LastError=" + qzdumptest::Dec(::GetLastError());
    return L"FINAL PATH: " + std::wstring(buffer.data(), chars);
}

// The lines from "FINAL PATH" to "SIZE" for an existing file or directory,
// from the test's own handle on it.
Lines IdentityLines(const std::wstring& path)
{
    qztest::ScopedHandle file(::CreateFileW(CqzUtil::MakeLongPath(path.c_str()).c_str(), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!file.IsValid() || !::GetFileInformationByHandle(file.Get(), &info))
        return {L"<cannot open " + path + L">"};
    const ULONGLONG id = (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    const ULONGLONG size = (static_cast<ULONGLONG>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return {FinalPathLine(file.Get()),
            L"FLID: " + qzdumptest::Dec(static_cast<long long>(id)) + L" (0x" + qzdumptest::Hex16(id) + L")",
            L"SIZE: " + qzdumptest::Dec(static_cast<long long>(size)) + L" bytes"};
}

Lines DumpOf(const std::wstring& path, const std::wstring& dumpPath)
{
    CqzFileObjectHandle::Dump(path.c_str(), dumpPath.c_str());
    Lines lines;
    std::string problem;
    EXPECT_TRUE(qzdumptest::ReadDump(dumpPath, lines, problem)) << problem;
    return lines;
}

class FileDumpTest : public ::testing::Test
{
protected:
    void SetUp() override { CqzUtil::SetNoParentImpersonation(false); }
    void TearDown() override { CqzUtil::SetNoParentImpersonation(false); }

    qztest::TempDir m_dir{L"qzfdump"};
    std::wstring m_dump = m_dir / L"dump.txt";
    std::string m_attributes, m_opens, m_dumpOpens;
};

TEST_F(FileDumpTest, FileGivesEveryLine)
{
    const std::wstring path = m_dir / L"five.bin";
    ASSERT_TRUE(qztest::WriteTextFile(path, "hello"));
    ASSERT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE), ::GetFileAttributesW(path.c_str()));
    Lines expected = {L"*** File Info start ***", L"PATH: " + path};
    qzdumptest::Append(expected, IdentityLines(path));
    ASSERT_EQ(L"SIZE: 5 bytes", expected.back());
    qzdumptest::Append(expected, {L"ATTR: 0x00000020 (ARCHIVE)", L"*** File Info end ***", L""});
    const Lines actual = DumpOf(path, m_dump);
    EXPECT_EQ(expected, actual) << qzdumptest::Diff(expected, actual);
}

TEST_F(FileDumpTest, DirectoryGivesItsKindAndAttributes)
{
    const std::wstring path = m_dir / L"sub";
    ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr));
    Lines expected = {L"*** Directory Info start ***", L"PATH: " + path};
    qzdumptest::Append(expected, IdentityLines(path));
    qzdumptest::Append(expected, {L"ATTR: 0x00000010 (DIRECTORY)", L"*** Directory Info end ***", L""});
    const Lines actual = DumpOf(path, m_dump);
    EXPECT_EQ(expected, actual) << qzdumptest::Diff(expected, actual);
}

TEST_F(FileDumpTest, PathPastMaxPathIsReachedThroughTheLongForm)
{
    // Directories of 100 characters each until the file's path is past 300.
    std::wstring dir = m_dir.Path();
    while (dir.size() < 300)
    {
        dir += L"\\" + std::wstring(100, L'd');
        ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + dir).c_str(), nullptr)) << ::GetLastError();
    }
    const std::wstring path = dir + L"\\long.txt";
    ASSERT_GT(path.size(), 300u);
    {
        qztest::ScopedHandle file(::CreateFileW((L"\\\\?\\" + path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file.IsValid()) << ::GetLastError();
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(file.Get(), "0123456789", 10, &written, nullptr));
    }
    EXPECT_EQ(L"\\\\?\\" + path, CqzUtil::MakeLongPath(path.c_str()));
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE), CqzUtil::GetFileAttributesLongPath(path.c_str()));

    Lines expected = {L"*** File Info start ***", L"PATH: " + path};
    qzdumptest::Append(expected, IdentityLines(path));
    ASSERT_EQ(L"SIZE: 10 bytes", expected.back());
    qzdumptest::Append(expected, {L"ATTR: 0x00000020 (ARCHIVE)", L"*** File Info end ***", L""});
    const Lines actual = DumpOf(path, m_dump);
    EXPECT_EQ(expected, actual) << qzdumptest::Diff(expected, actual);
    // The tree is too deep for the plain-path removal of the temporary folder.
    ASSERT_TRUE(::DeleteFileW((L"\\\\?\\" + path).c_str()));
    while (dir.size() > m_dir.Path().size())
    {
        ::RemoveDirectoryW((L"\\\\?\\" + dir).c_str());
        dir.resize(dir.rfind(L'\\'));
    }
}

// The lines of a path that neither exists nor can be opened: the open's
// error where a handle was needed, STATUS_INVALID_HANDLE for the id.
Lines MissingPathLines(const std::wstring& path, DWORD error)
{
    const std::wstring e = qzdumptest::Dec(error);
    return {L"*** File Info start ***",
            L"PATH: " + path,
            L"FINAL PATH: Failed to get final path. LastError=" + e,
            L"FLID: Failed. Status=-1073741816",
            L"SIZE: Failed. LastError=" + e,
            L"ATTR: GetFileAttributes() failed. LastError=" + e,
            L"*** File Info end ***",
            L""};
}

TEST_F(FileDumpTest, MissingPathGivesErrorLines)
{
    struct Row
    {
        const wchar_t* name;
        bool noParentImpersonation;
        DWORD error;
    };
    const Row rows[] = {
        {L"missing.txt", false, ERROR_FILE_NOT_FOUND},
        {L"missing.txt", true, ERROR_FILE_NOT_FOUND},
        {L"no_dir\\missing.txt", false, ERROR_PATH_NOT_FOUND},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(qztest::ToUtf8(row.name) + (row.noParentImpersonation ? " flag set" : " flag clear"));
        CqzUtil::SetNoParentImpersonation(row.noParentImpersonation);
        EXPECT_EQ(row.noParentImpersonation, CqzUtil::GetNoParentImpersonation());
        const std::wstring path = m_dir / row.name;
        const Lines expected = MissingPathLines(path, row.error);
        const Lines actual = DumpOf(path, m_dump);
        EXPECT_EQ(expected, actual) << qzdumptest::Diff(expected, actual);
        HANDLE token = nullptr;
        EXPECT_FALSE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) << "still impersonating";
        if (token)
            ::CloseHandle(token);
    }
}

typedef HANDLE(WINAPI* CreateFileWFn)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
typedef DWORD(WINAPI* GetFileAttributesWFn)(LPCWSTR);
CreateFileWFn g_realCreateFile = nullptr;

// One dump in this process: whether the retry happens depends on whether
// this process's parent token can be impersonated (the library's own
// answer is the witness; under CTest it usually can, run by hand under Wine
// it cannot). The probe below makes it certain.
TEST_F(FileDumpTest, UnreadablePathIsRetriedAsTheParentUnlessTheFlagIsSet)
{
    bool parentAvailable = false;
    {
        CqzAccessToken parent;
        parentAvailable = parent.OpenParentProcessTokenAndImpersonate();
        parent.Revert();
    }
    for (bool flag : {true, false})
    {
        SCOPED_TRACE(flag ? "flag set" : "flag clear");
        CqzUtil::SetNoParentImpersonation(flag);
        const std::wstring path = m_dir / L"missing.txt";
        {
            qzdumptest::DumpCallRecorder recorder(path, m_dump);
            ASSERT_TRUE(recorder.Installed());
            CqzFileObjectHandle::Dump(path.c_str(), m_dump.c_str());
            m_attributes = recorder.Attributes();
            m_opens = recorder.Opens();
            m_dumpOpens = recorder.DumpOpens();
        }
        EXPECT_EQ(MissingPathLines(path, ERROR_FILE_NOT_FOUND), DumpOf(path, m_dump));
        const bool retried = !flag && parentAvailable;
        EXPECT_EQ(retried ? "01" : "0", m_attributes);
        EXPECT_EQ(retried ? "01" : "0", m_opens);
        EXPECT_EQ("0", m_dumpOpens) << "the dump file is written as the caller";
    }
}

TEST_F(FileDumpTest, ChildRetriesAsItsParentUnlessTheFlagIsSet)
{
    // The probe's parent is this process, whose token it can always open.
    const std::wstring path = m_dir / L"missing.txt";
    for (bool flag : {true, false})
    {
        SCOPED_TRACE(flag ? "flag set" : "flag clear");
        const std::wstring result = m_dir / L"probe.txt";
        const std::wstring probe = qztest::BinDir() + L"\\handle_dump_probe.exe";
        const qztest::ProcessResult run = qztest::RunProcess(
            probe, qztest::QuoteArg(probe) + L" " + qztest::QuoteArg(path) + L" " + qztest::QuoteArg(m_dump) + L" " +
                       (flag ? L"1" : L"0") + L" " + qztest::QuoteArg(result));
        ASSERT_TRUE(run.started && run.finished) << run.error;
        EXPECT_EQ(0u, run.exitCode);
        const qztest::KeyValues values = qztest::ReadKeyValues(result);
        EXPECT_EQ(flag ? "0" : "01", values.Get("attributes"));
        EXPECT_EQ(flag ? "0" : "01", values.Get("opens"));
        EXPECT_EQ("0", values.Get("dump_opens"));
        EXPECT_EQ("0", values.Get("impersonating_after"));
        Lines lines;
        std::string problem;
        EXPECT_TRUE(qzdumptest::ReadDump(m_dump, lines, problem)) << problem;
        EXPECT_EQ(MissingPathLines(path, ERROR_FILE_NOT_FOUND), lines);
    }
}

struct OpenCall
{
    DWORD access;
    DWORD flags;
};
std::vector<OpenCall> g_openCalls;
std::wstring g_privilegePath;

// Refuses ACCESS_SYSTEM_SECURITY for one path, as Windows does for a caller
// without SeSecurityPrivilege enabled (Wine grants it).
HANDLE WINAPI PrivilegeNotHeldCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                                         DWORD disposition, DWORD flags, HANDLE templateFile)
{
    if (path != nullptr && g_privilegePath == path)
    {
        g_openCalls.push_back({access, flags});
        if ((access & ACCESS_SYSTEM_SECURITY) != 0)
        {
            ::SetLastError(ERROR_PRIVILEGE_NOT_HELD);
            return INVALID_HANDLE_VALUE;
        }
    }
    return g_realCreateFile(path, access, share, attributes, disposition, flags, templateFile);
}

TEST_F(FileDumpTest, OpenWithoutTheSecurityPrivilegeIsRetriedWithoutIt)
{
    struct Row
    {
        const char* name;
        bool directory;
    };
    for (const Row& row : {Row{"file", false}, Row{"directory", true}})
    {
        SCOPED_TRACE(row.name);
        g_privilegePath = m_dir / (row.directory ? L"priv_dir" : L"priv.txt");
        if (row.directory)
        {
            ASSERT_TRUE(::CreateDirectoryW(g_privilegePath.c_str(), nullptr));
        }
        else
        {
            ASSERT_TRUE(qztest::WriteTextFile(g_privilegePath, "abc"));
        }
        g_openCalls.clear();
        Lines actual;
        {
            qztest::IatHook hook("kernel32.dll", "CreateFileW", reinterpret_cast<void*>(&PrivilegeNotHeldCreateFile));
            ASSERT_TRUE(hook.Installed());
            g_realCreateFile = hook.OriginalAs<CreateFileWFn>();
            actual = DumpOf(g_privilegePath, m_dump);
        }
        const DWORD fileAccess = row.directory ? 0 : FILE_READ_ATTRIBUTES;
        ASSERT_EQ(2u, g_openCalls.size());
        EXPECT_EQ(READ_CONTROL | ACCESS_SYSTEM_SECURITY | fileAccess, g_openCalls[0].access);
        EXPECT_EQ(static_cast<DWORD>(FILE_FLAG_BACKUP_SEMANTICS), g_openCalls[0].flags);
        EXPECT_EQ(READ_CONTROL | fileAccess, g_openCalls[1].access);
        EXPECT_EQ(0u, g_openCalls[1].flags);
        Lines expected = {row.directory ? L"*** Directory Info start ***" : L"*** File Info start ***",
                          L"PATH: " + g_privilegePath};
        if (row.directory)
        {
            // Without backup semantics a directory does not open: the lines
            // that need the handle carry the open's error.
            qztest::ScopedHandle probe(
                ::CreateFileW(g_privilegePath.c_str(), READ_CONTROL, 7, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_FALSE(probe.IsValid());
            const std::wstring e = qzdumptest::Dec(::GetLastError());
            qzdumptest::Append(expected, {L"FINAL PATH: Failed to get final path. LastError=" + e,
                                          L"FLID: Failed. Status=-1073741816", L"SIZE: Failed. LastError=" + e,
                                          L"ATTR: 0x00000010 (DIRECTORY)", L"*** Directory Info end ***", L""});
        }
        else
        {
            qzdumptest::Append(expected, IdentityLines(g_privilegePath));
            qzdumptest::Append(expected, {L"ATTR: 0x00000020 (ARCHIVE)", L"*** File Info end ***", L""});
        }
        EXPECT_EQ(expected, actual) << qzdumptest::Diff(expected, actual);
    }
}

// ---------------------------------------------------------------------------
// Seams: Wine 8's CreateSymbolicLinkW answers TRUE and creates nothing, and
// its files carry no reparse data, so reparse points are produced by
// replacing the suite's imports of GetFileAttributesW, FindFirstFileW and
// DeviceIoControl for one path (a plain file standing in for the link). The
// dump's other calls stay real.
// ---------------------------------------------------------------------------

struct ReparseSeam
{
    std::wstring path; // the path whose calls are changed
    DWORD tag = 0;
    DWORD findError = 0; // FindFirstFileW fails with it when not 0
    bool replaceIoControl = false;
    std::vector<BYTE> reparseData;
    DWORD ioControlError = 0;
};
ReparseSeam g_seam;

typedef HANDLE(WINAPI* FindFirstFileWFn)(LPCWSTR, LPWIN32_FIND_DATAW);
typedef BOOL(WINAPI* DeviceIoControlFn)(HANDLE, DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
GetFileAttributesWFn g_getFileAttributes = nullptr;
FindFirstFileWFn g_findFirstFile = nullptr;
DeviceIoControlFn g_deviceIoControl = nullptr;

bool IsSeamPath(LPCWSTR path)
{
    return path != nullptr && _wcsicmp(path, g_seam.path.c_str()) == 0;
}

DWORD WINAPI SeamGetFileAttributes(LPCWSTR path)
{
    const DWORD attributes = g_getFileAttributes(path);
    if (IsSeamPath(path) && attributes != INVALID_FILE_ATTRIBUTES)
        return attributes | FILE_ATTRIBUTE_REPARSE_POINT;
    return attributes;
}

HANDLE WINAPI SeamFindFirstFile(LPCWSTR path, LPWIN32_FIND_DATAW data)
{
    if (IsSeamPath(path) && g_seam.findError != 0)
    {
        ::SetLastError(g_seam.findError);
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE find = g_findFirstFile(path, data);
    if (IsSeamPath(path) && find != INVALID_HANDLE_VALUE)
    {
        data->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
        data->dwReserved0 = g_seam.tag;
    }
    return find;
}

BOOL WINAPI SeamDeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                LPDWORD returned, LPOVERLAPPED overlapped)
{
    if (code != FSCTL_GET_REPARSE_POINT || !g_seam.replaceIoControl)
        return g_deviceIoControl(device, code, in, inSize, out, outSize, returned, overlapped);
    if (g_seam.ioControlError != 0)
    {
        ::SetLastError(g_seam.ioControlError);
        return FALSE;
    }
    if (g_seam.reparseData.size() > outSize)
    {
        ::SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    std::memcpy(out, g_seam.reparseData.data(), g_seam.reparseData.size());
    *returned = static_cast<DWORD>(g_seam.reparseData.size());
    return TRUE;
}

void PutWord(std::vector<BYTE>& bytes, size_t offset, USHORT value)
{
    bytes[offset] = static_cast<BYTE>(value & 0xFF);
    bytes[offset + 1] = static_cast<BYTE>(value >> 8);
}

// Reparse data of a symbolic link: substitute name, then print name.
std::vector<BYTE> SymbolicLinkData(const std::wstring& substitute, const std::wstring& print)
{
    const size_t subBytes = substitute.size() * 2;
    const size_t printBytes = print.size() * 2;
    std::vector<BYTE> bytes(20 + subBytes + printBytes, 0);
    const DWORD tag = 0xA000000C;
    std::memcpy(bytes.data(), &tag, 4);
    PutWord(bytes, 4, static_cast<USHORT>(12 + subBytes + printBytes));
    PutWord(bytes, 8, 0);
    PutWord(bytes, 10, static_cast<USHORT>(subBytes));
    PutWord(bytes, 12, static_cast<USHORT>(subBytes));
    PutWord(bytes, 14, static_cast<USHORT>(printBytes));
    if (subBytes)
        std::memcpy(bytes.data() + 20, substitute.data(), subBytes);
    if (printBytes)
        std::memcpy(bytes.data() + 20 + subBytes, print.data(), printBytes);
    return bytes;
}

class ReparseDumpTest : public FileDumpTest
{
protected:
    void SetUp() override
    {
        FileDumpTest::SetUp();
        m_link = m_dir / L"link.txt";
        m_target = m_dir / L"target.txt";
        ASSERT_TRUE(qztest::WriteTextFile(m_link, "link"));
        ASSERT_TRUE(qztest::WriteTextFile(m_target, "target"));
        g_seam = ReparseSeam();
        g_seam.path = m_link;
        g_getFileAttributes = m_attributesHook.OriginalAs<GetFileAttributesWFn>();
        g_findFirstFile = m_findHook.OriginalAs<FindFirstFileWFn>();
        g_deviceIoControl = m_ioControlHook.OriginalAs<DeviceIoControlFn>();
        ASSERT_TRUE(m_attributesHook.Installed() && m_findHook.Installed() && m_ioControlHook.Installed());
    }

    // The lines up to the reparse point's own line.
    Lines HeadLines()
    {
        Lines lines = {L"*** File Info start ***", L"PATH: " + m_link};
        qzdumptest::Append(lines, IdentityLines(m_link));
        lines.push_back(L"ATTR: 0x00000420 (ARCHIVE|REPARSE_POINT)");
        return lines;
    }

    // The link's own named security and its target's DumpInfo (the stand-in
    // is no real link: the handle the dump opens through it is the file's).
    Lines LinkSecurityLines()
    {
        Lines lines = {L"SYMBOLIC LINK SECURITY:", L"   NAMED OBJECT SECURITY:"};
        CqzScopedLocal<void> descriptor;
        EXPECT_EQ(0u, ::GetNamedSecurityInfoW(m_link.c_str(), SE_FILE_OBJECT, 0x17, nullptr, nullptr, nullptr, nullptr,
                                              descriptor.Receive()));
        std::string mismatch;
        qzdumptest::Append(lines, qzdumptest::DescriptorLines(descriptor.Get(), &mismatch));
        EXPECT_EQ("", mismatch);
        lines.push_back(L"SYMBOLIC LINK TARGET SECURITY:");
        qztest::ScopedHandle target(::CreateFileW(m_link.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        qzdumptest::Append(lines, qzdumptest::ExpectedInfoLines(target.Get(), SE_FILE_OBJECT));
        return lines;
    }

    void ExpectDump(const Lines& expected)
    {
        const Lines actual = DumpOf(m_link, m_dump);
        EXPECT_EQ(expected, actual) << qzdumptest::Diff(expected, actual);
    }

    std::wstring m_link;
    std::wstring m_target;
    qztest::IatHook m_attributesHook{"kernel32.dll", "GetFileAttributesW",
                                     reinterpret_cast<void*>(&SeamGetFileAttributes)};
    qztest::IatHook m_findHook{"kernel32.dll", "FindFirstFileW", reinterpret_cast<void*>(&SeamFindFirstFile)};
    qztest::IatHook m_ioControlHook{"kernel32.dll", "DeviceIoControl", reinterpret_cast<void*>(&SeamDeviceIoControl)};
};

TEST_F(ReparseDumpTest, TagsOtherThanSymbolicLinksAreNamedOnly)
{
    struct Row
    {
        DWORD tag;
        const wchar_t* line;
    };
    const Row rows[] = {
        {0xA0000003, L"REPARSE_POINT: Mount Point"},
        {0x80000017, L"REPARSE_POINT: Type 0x80000017"},
        {0x00000000, L"REPARSE_POINT: Type 0x00000000"},
        {0xA000000D, L"REPARSE_POINT: Type 0xA000000D"},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(qztest::ToUtf8(row.line));
        g_seam.tag = row.tag;
        Lines expected = HeadLines();
        qzdumptest::Append(expected, {row.line, L"*** File Info end ***", L""});
        ExpectDump(expected);
    }
}

TEST_F(ReparseDumpTest, FindFirstFileFailureIsItsLine)
{
    g_seam.tag = 0xA000000C;
    g_seam.findError = ERROR_ACCESS_DENIED;
    Lines expected = HeadLines();
    qzdumptest::Append(expected,
                       {L"REPARSE_POINT: FindFirstFile() failed. LastError=5", L"*** File Info end ***", L""});
    ExpectDump(expected);
}

TEST_F(ReparseDumpTest, SymbolicLinkGivesTargetAndBothSecurities)
{
    struct Row
    {
        const char* name;
        std::wstring substitute;
        std::wstring print;
        std::wstring shown;
    };
    const std::wstring nt = L"\\??\\" + m_target;
    const Row rows[] = {
        {"print name", nt, m_target, m_target},
        {"substitute name only", nt, L"", nt},
        {"relative", L"target.txt", L"target.txt", L"target.txt"},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        g_seam.tag = 0xA000000C;
        g_seam.replaceIoControl = true;
        g_seam.reparseData = SymbolicLinkData(row.substitute, row.print);
        Lines expected = HeadLines();
        qzdumptest::Append(expected, {L"REPARSE_POINT: Symbolic Link", L"SYMBOLIC LINK TARGET: " + row.shown});
        qzdumptest::Append(expected, LinkSecurityLines());
        qzdumptest::Append(expected, {L"*** File Info end ***", L""});
        ExpectDump(expected);
    }
}

TEST_F(ReparseDumpTest, UnreadableTargetIsItsLine)
{
    g_seam.tag = 0xA000000C;
    // The real call on a file without reparse data: Wine's own error.
    DWORD realError = 0;
    {
        qztest::ScopedHandle link(::CreateFileW(m_link.c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        std::vector<BYTE> out(16 * 1024);
        DWORD returned = 0;
        ASSERT_FALSE(::DeviceIoControl(link.Get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, out.data(),
                                       static_cast<DWORD>(out.size()), &returned, nullptr));
        realError = ::GetLastError();
    }
    std::vector<BYTE> pastEnd = SymbolicLinkData(L"\\??\\x", L"x");
    PutWord(pastEnd, 12, 200); // print name offset past the data
    PutWord(pastEnd, 8, 200);
    struct Row
    {
        const char* name;
        bool replace;
        std::vector<BYTE> data;
        DWORD error;
        DWORD expected;
    };
    const Row rows[] = {
        {"real Wine call", false, {}, 0, realError},
        {"call fails", true, {}, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {"names past the data", true, pastEnd, 0, ERROR_INVALID_DATA},
        {"mount point data",
         true,
         {0x03, 0, 0, 0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         0,
         ERROR_INVALID_DATA},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        g_seam.replaceIoControl = row.replace;
        g_seam.reparseData = row.data;
        g_seam.ioControlError = row.error;
        Lines expected = HeadLines();
        qzdumptest::Append(expected,
                           {L"REPARSE_POINT: Symbolic Link",
                            L"SYMBOLIC_LINK: Failed to get target. LastError=" + qzdumptest::Dec(row.expected)});
        qzdumptest::Append(expected, LinkSecurityLines());
        qzdumptest::Append(expected, {L"*** File Info end ***", L""});
        ExpectDump(expected);
    }
}

TEST(SymbolicLinkDataTest, RandomAndTruncatedDataIsReadInsideItsSize)
{
    qztest::GuardedBytes guarded(16);
    ASSERT_TRUE(guarded.Ready());
    const std::vector<BYTE> valid = SymbolicLinkData(L"\\??\\C:\\t", L"C:\\t");
    std::wstring target;
    ASSERT_TRUE(qzdump::ParseSymbolicLinkTarget(guarded.Place(valid), static_cast<DWORD>(valid.size()), target));
    EXPECT_EQ(L"C:\\t", target);
    // Every truncation of a valid record is read inside its size: one that
    // keeps the whole substitute name (stored first) falls back to it.
    const size_t substituteEnd = 20 + 16;
    for (size_t size = 0; size < valid.size(); ++size)
    {
        const BYTE* start = guarded.Place(valid.data(), static_cast<DWORD>(size));
        std::wstring name;
        EXPECT_EQ(size >= substituteEnd, qzdump::ParseSymbolicLinkTarget(start, static_cast<DWORD>(size), name))
            << size;
        if (size >= substituteEnd)
        {
            EXPECT_EQ(L"\\??\\C:\\t", name) << size;
        }
    }
    // Random records with the link tag, random sizes and name words.
    std::mt19937 random(0x5EED0011u);
    int parsed = 0;
    for (int i = 0; i < 200000; ++i)
    {
        std::vector<BYTE> bytes(random() % 96);
        for (BYTE& b : bytes)
            b = static_cast<BYTE>(random() % 8 == 0 ? 0 : random());
        if (bytes.size() >= 4)
        {
            const DWORD tag = 0xA000000C;
            std::memcpy(bytes.data(), &tag, 4);
        }
        for (size_t word = 4; word + 1 < bytes.size() && word < 16; word += 2)
            PutWord(bytes, word, static_cast<USHORT>(random() % 80));
        std::wstring name;
        if (qzdump::ParseSymbolicLinkTarget(guarded.Place(bytes), static_cast<DWORD>(bytes.size()), name))
        {
            ++parsed;
            EXPECT_FALSE(name.empty());
            EXPECT_LE(20 + name.size() * 2, bytes.size());
        }
    }
    EXPECT_GT(parsed, 0);
}

// ---------------------------------------------------------------------------
// The dump file itself
// ---------------------------------------------------------------------------

TEST_F(FileDumpTest, DumpFileThatCannotBeCreatedIsTraced)
{
    const std::wstring dumpPath = m_dir / L"no_dir\\dump.txt";
    qztest::TraceCapture capture;
    CqzFileObjectHandle::Dump(m_dir.Path().c_str(), dumpPath.c_str());
    const HRESULT hr = HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(qztest::EntriesOf(QZT_ERROR, kFileClass,
                                {"ERROR: Failed to open dump file " + qztest::ToUtf8(dumpPath) +
                                 " for writing. hr=" + std::to_string(static_cast<long>(hr))}),
              capture.Entries());
    EXPECT_FALSE(qztest::FileExists(dumpPath));
}

int g_writes = 0;

BOOL WINAPI FailingWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED)
{
    ++g_writes;
    ::SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

TEST_F(FileDumpTest, FailedByteOrderMarkEndsTheDump)
{
    // Seam: Wine's files do not fill up; the suite's WriteFile import fails.
    qztest::TraceCapture capture;
    {
        qztest::IatHook hook("kernel32.dll", "WriteFile", reinterpret_cast<void*>(&FailingWriteFile));
        ASSERT_TRUE(hook.Installed());
        g_writes = 0;
        CqzFileObjectHandle::Dump(m_dir.Path().c_str(), m_dump.c_str());
    }
    EXPECT_EQ(1, g_writes) << "nothing is written after the mark";
    EXPECT_EQ(qztest::EntriesOf(QZT_ERROR, kFileClass, {"ERROR: Failed to write to file " + qztest::ToUtf8(m_dump)}),
              capture.Entries());
    EXPECT_EQ("", qztest::ReadTextFile(m_dump));
}

// ---------------------------------------------------------------------------
// FileAccessCheck
// ---------------------------------------------------------------------------

bool CreateFileWithSddl(const std::wstring& path, const wchar_t* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    CqzScopedLocal<void> owner(descriptor);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    qztest::ScopedHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.IsValid();
}

TEST_F(FileDumpTest, FileAccessCheckFollowsTheDacl)
{
    struct Row
    {
        const wchar_t* name;
        const wchar_t* sddl;
        bool readable;
    };
    const Row rows[] = {
        {L"open.txt", L"D:(A;;FA;;;WD)", true},
        {L"read_only.txt", L"D:(A;;FR;;;WD)", true},
        {L"denied.txt", L"D:(D;;FR;;;WD)(A;;FA;;;WD)", false},
        {L"write_only.txt", L"D:(A;;FW;;;WD)", false},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(qztest::ToUtf8(row.name));
        const std::wstring path = m_dir / row.name;
        ASSERT_TRUE(CreateFileWithSddl(path, row.sddl));
        bool readable = !row.readable;
        qztest::TraceCapture capture;
        EXPECT_EQ(0u, CqzFileObjectHandle::FileAccessCheck(path.c_str(), readable));
        EXPECT_EQ(row.readable, readable);
        EXPECT_TRUE(capture.Entries().empty());
    }
}

TEST_F(FileDumpTest, FileAccessCheckOfMissingPathIsTraced)
{
    const std::wstring path = m_dir / L"missing.txt";
    bool readable = true;
    qztest::TraceCapture capture;
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), CqzFileObjectHandle::FileAccessCheck(path.c_str(), readable));
    EXPECT_FALSE(readable);
    EXPECT_EQ(qztest::EntriesOf(QZT_ERROR, kFileClass,
                                {"ERROR: GetNamedSecurityInfo(" + qztest::ToUtf8(path) + ") LastError=2"}),
              capture.Entries());
}

typedef BOOL(WINAPI* AccessCheckFn)(PSECURITY_DESCRIPTOR, HANDLE, DWORD, PGENERIC_MAPPING, PPRIVILEGE_SET, LPDWORD,
                                    LPDWORD, LPBOOL);
DWORD g_accessCheckDesired = 0;
GENERIC_MAPPING g_accessCheckMapping = {};

BOOL WINAPI FailingAccessCheck(PSECURITY_DESCRIPTOR, HANDLE, DWORD desired, PGENERIC_MAPPING mapping, PPRIVILEGE_SET,
                               LPDWORD, LPDWORD, LPBOOL)
{
    g_accessCheckDesired = desired;
    g_accessCheckMapping = *mapping;
    ::SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return FALSE;
}

TEST_F(FileDumpTest, FileAccessCheckFailureIsTraced)
{
    // Seam: AccessCheck does not fail on a file's real descriptor under Wine.
    const std::wstring path = m_dir / L"file.txt";
    ASSERT_TRUE(qztest::WriteTextFile(path, "x"));
    qztest::TraceCapture capture;
    bool readable = true;
    DWORD result = 0;
    {
        qztest::IatHook hook("advapi32.dll", "AccessCheck", reinterpret_cast<void*>(&FailingAccessCheck));
        ASSERT_TRUE(hook.Installed());
        result = CqzFileObjectHandle::FileAccessCheck(path.c_str(), readable);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SECURITY_DESCR), result);
    EXPECT_FALSE(readable);
    EXPECT_EQ(0x20089u, g_accessCheckDesired);
    EXPECT_EQ(0x120089u, g_accessCheckMapping.GenericRead);
    EXPECT_EQ(0x120116u, g_accessCheckMapping.GenericWrite);
    EXPECT_EQ(0x1200A0u, g_accessCheckMapping.GenericExecute);
    EXPECT_EQ(0x1F01FFu, g_accessCheckMapping.GenericAll);
    EXPECT_EQ(qztest::EntriesOf(QZT_ERROR, kFileClass,
                                {"ERROR: AccessCheck(" + qztest::ToUtf8(path) + ") failed. LastError=1338"}),
              capture.Entries());
}

// ---------------------------------------------------------------------------
// Attribute names
// ---------------------------------------------------------------------------

TEST(FileAttributeNamesTest, Rows)
{
    struct Row
    {
        DWORD attributes;
        const wchar_t* text;
    };
    const Row rows[] = {
        {0x0, L"NULL"},
        {INVALID_FILE_ATTRIBUTES, L"INVALID"},
        {0x21, L"READONLY|ARCHIVE"},
        {0x80000, L"0x00080000"},
        {0x1, L"READONLY"},
        {0x2, L"HIDDEN"},
        {0x4, L"SYSTEM"},
        {0x8, L"0x00000008"},
        {0x10, L"DIRECTORY"},
        {0x40, L"DEVICE"},
        {0x80, L"NORMAL"},
        {0x100, L"TEMPORARY"},
        {0x200, L"SPARSE_FILE"},
        {0x400, L"REPARSE_POINT"},
        {0x800, L"COMPRESSED"},
        {0x1000, L"OFFLINE"},
        {0x2000, L"NOT_CONTENT_INDEXED"},
        {0x4000, L"ENCRYPTED"},
        {0x10000, L"VIRTUAL"},
        {0x8000, L"0x00008000"},
        // Table order, not bit order: ENCRYPTED before NOT_CONTENT_INDEXED.
        {0x6000, L"ENCRYPTED|NOT_CONTENT_INDEXED"},
        {0x10421, L"READONLY|ARCHIVE|REPARSE_POINT|VIRTUAL"},
        {0x80021, L"READONLY|ARCHIVE|0x00080000"},
        {0x17FF7, L"READONLY|HIDDEN|SYSTEM|DIRECTORY|ARCHIVE|DEVICE|NORMAL|TEMPORARY|SPARSE_FILE|REPARSE_POINT|"
                  L"COMPRESSED|OFFLINE|ENCRYPTED|NOT_CONTENT_INDEXED|VIRTUAL"},
        {0xFFFE8008, L"0xFFFE8008"},
        {0xFFFFFFFE, L"HIDDEN|SYSTEM|DIRECTORY|ARCHIVE|DEVICE|NORMAL|TEMPORARY|SPARSE_FILE|REPARSE_POINT|"
                     L"COMPRESSED|OFFLINE|ENCRYPTED|NOT_CONTENT_INDEXED|VIRTUAL|0xFFFE8008"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(row.text, CqzFileObjectHandle::GetFileAttributesString(row.attributes)) << std::hex << row.attributes;
}

} // namespace
