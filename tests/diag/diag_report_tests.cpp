// qz_diag token, object, access and os against what this suite reads itself.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstring>

#include <gtest/gtest.h>

#include "common/security/qz_handle.h"
#include "common/util/exports.h"
#include "tests/diag/diag_test_util.h"

namespace
{

using qzdiagtest::DiagRun;
using qzdiagtest::RunDiag;
using qztest::ToUtf8;

// The child runs with this suite's own token, so what the suite reads of its
// token is what the child reports.
struct OwnGroups
{
    std::vector<std::wstring> sids;
    std::vector<DWORD> attributes;
};

OwnGroups ReadGroups(HANDLE token)
{
    OwnGroups groups;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !::GetTokenInformation(token, TokenGroups, buffer.data(), size, &size))
        return groups;
    const TOKEN_GROUPS* list = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < list->GroupCount; ++i)
    {
        groups.sids.push_back(qztest::SidToString(list->Groups[i].Sid));
        groups.attributes.push_back(list->Groups[i].Attributes);
    }
    return groups;
}

bool Contains(const std::wstring& text, const std::wstring& part)
{
    return text.find(part) != std::wstring::npos;
}

// The lines of "   GROUP nn: ..." up to the first "TOKEN PRIVILEGES" line.
std::vector<std::wstring> GroupLines(const DiagRun& run)
{
    std::vector<std::wstring> lines;
    for (const std::wstring& line : run.lines)
    {
        if (line.compare(0, 16, L"TOKEN PRIVILEGES") == 0)
            break;
        if (line.compare(0, 9, L"   GROUP ") == 0)
            lines.push_back(line);
    }
    return lines;
}

// The administrator decision as this suite sees its own token: elevated and
// Administrators enabled.
bool OwnTokenIsElevatedAdmin()
{
    qztest::ScopedHandle token = qztest::OpenOwnProcessToken();
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    DWORD attributes = 0;
    return ::GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof(elevation), &size) &&
           elevation.TokenIsElevated != 0 && qztest::TokenGroupAttributes(token.Get(), L"S-1-5-32-544", attributes) &&
           (attributes & SE_GROUP_ENABLED) != 0 && (attributes & SE_GROUP_USE_FOR_DENY_ONLY) == 0;
}

TEST(DiagToken, ReportShowsTheUserAndEveryGroupOfTheToken)
{
    qztest::ScopedHandle token = qztest::OpenOwnProcessToken();
    const std::wstring user = qzdiagtest::TokenUserSid(token.Get());
    const OwnGroups groups = ReadGroups(token.Get());
    ASSERT_FALSE(user.empty());
    ASSERT_FALSE(groups.sids.empty());

    for (const std::vector<std::wstring>& args :
         {std::vector<std::wstring>{L"token"}, std::vector<std::wstring>{L"token", L"--short"}})
    {
        const DiagRun run = RunDiag(args);
        ASSERT_TRUE(run.result.finished) << run.Text();
        EXPECT_EQ(0u, run.Exit()) << run.Text();
        EXPECT_TRUE(run.err.empty()) << run.Text();
        EXPECT_TRUE(run.HasLine(L"    *** Access Token Info start ***")) << run.Text();
        EXPECT_TRUE(Contains(run.LineStarting(L"TOKEN USER: "), L"SID=[" + user + L"]")) << run.Text();
        EXPECT_EQ(L"TOKEN GROUPS: Count=" + std::to_wstring(groups.sids.size()), run.LineStarting(L"TOKEN GROUPS:"));
        const std::vector<std::wstring> lines = GroupLines(run);
        ASSERT_EQ(groups.sids.size(), lines.size()) << run.Text();
        for (size_t i = 0; i < lines.size(); ++i)
            EXPECT_TRUE(Contains(lines[i], L"SID=[" + groups.sids[i] + L"]")) << ToUtf8(lines[i]);
        EXPECT_EQ(std::wstring(L"ADMINISTRATOR DECISION: ") + (OwnTokenIsElevatedAdmin() ? L"yes" : L"no"),
                  run.lines.empty() ? L"" : run.lines.back())
            << run.Text();
    }
}

TEST(DiagToken, LinkedTokenUnlessAskedNotToAndCensoredShortReport)
{
    const DiagRun full = RunDiag({L"token"});
    const DiagRun noLinked = RunDiag({L"token", L"--no-linked"});
    EXPECT_EQ(0u, full.Exit());
    EXPECT_EQ(0u, noLinked.Exit());
    // This suite's token is split (Wine gives administrators a linked token).
    qztest::ScopedHandle linked = qztest::LinkedToken(qztest::OpenOwnProcessToken().Get());
    EXPECT_EQ(linked.IsValid(), full.HasLine(L"    *** Linked token ***")) << full.Text();
    EXPECT_FALSE(noLinked.HasLine(L"    *** Linked token ***")) << noLinked.Text();
    EXPECT_NE(L"<no line>", noLinked.LineStarting(L"DEFAULT DACL:")) << noLinked.Text();

    const std::wstring user = qzdiagtest::TokenUserSid(qztest::OpenOwnProcessToken().Get());
    const DiagRun censored = RunDiag({L"token", L"--short", L"--censor"});
    EXPECT_EQ(0u, censored.Exit()) << censored.Text();
    const std::wstring userLine = censored.LineStarting(L"TOKEN USER: ");
    EXPECT_FALSE(Contains(censored.out, user)) << censored.Text();
    EXPECT_TRUE(Contains(userLine, user.substr(user.rfind(L'-')) + L"]")) << ToUtf8(userLine);
}

TEST(DiagToken, RestrictedChildShowsAdministratorsDenyOnlyAndDecisionNo)
{
    qztest::ScopedHandle own = qztest::OpenOwnProcessToken();
    qztest::ScopedHandle restricted = qztest::RestrictedAdministratorsDenyOnly(own.Get());
    ASSERT_TRUE(restricted.IsValid());
    DWORD oracle = 0;
    ASSERT_TRUE(qztest::TokenGroupAttributes(restricted.Get(), L"S-1-5-32-544", oracle));
    ASSERT_NE(0u, oracle & SE_GROUP_USE_FOR_DENY_ONLY);

    qzdiagtest::SuspendedChild child(qzdiagtest::DiagExe(), L"qz_diag.exe os", L"", restricted.Get());
    ASSERT_TRUE(child.Started()) << child.Error();
    for (const std::vector<std::wstring>& args :
         {std::vector<std::wstring>{L"token", L"--pid", std::to_wstring(child.Pid()), L"--short"},
          std::vector<std::wstring>{L"token", L"--pid", std::to_wstring(child.Pid())}})
    {
        const DiagRun run = RunDiag(args);
        EXPECT_EQ(0u, run.Exit()) << run.Text();
        std::wstring adminLine = L"<no line>";
        for (const std::wstring& line : GroupLines(run))
        {
            if (Contains(line, L"SID=[S-1-5-32-544]"))
                adminLine = line;
        }
        EXPECT_TRUE(Contains(adminLine, L"ATTR=[") && Contains(adminLine, L"Deny")) << run.Text();
        EXPECT_FALSE(Contains(adminLine, L"|Enabled|") || Contains(adminLine, L"|Enabled]")) << ToUtf8(adminLine);
        EXPECT_EQ(L"ADMINISTRATOR DECISION: no", run.lines.empty() ? L"" : run.lines.back()) << run.Text();
    }
}

// ---------------------------------------------------------------------------
// Objects

// A file created with a DACL of its own.
std::wstring CreateSecuredFile(const std::wstring& path, const wchar_t* sddl, const char* content = "hello")
{
    CqzScopedLocal<void> descriptor;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, descriptor.Receive(), nullptr))
        return std::wstring();
    SECURITY_ATTRIBUTES sa = {sizeof(sa), descriptor.Get(), FALSE};
    qztest::ScopedHandle file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
        return std::wstring();
    DWORD written = 0;
    ::WriteFile(file.Get(), content, static_cast<DWORD>(std::strlen(content)), &written, nullptr);
    return path;
}

// The descriptor of a file by name as SDDL (owner, group, DACL).
std::string FileSddl(const std::wstring& path)
{
    CqzScopedLocal<void> descriptor;
    if (::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, nullptr, nullptr, descriptor.Receive()) != ERROR_SUCCESS)
        return "(unreadable)";
    return qztest::SddlOf(descriptor.Get(),
                          OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION);
}

// What the library writes for the same dump in this process.
std::vector<std::wstring> LibraryFileDump(const std::wstring& path, const qztest::TempDir& dir)
{
    const std::wstring dumpPath = dir / L"library-dump.txt";
    CqzFileObjectHandle::Dump(path.c_str(), dumpPath.c_str());
    std::vector<std::wstring> lines;
    qztest::ReadUtf16Lines(dumpPath, lines);
    return lines;
}

TEST(DiagObject, FileDumpIsTheLibrarysFollowedByTheFileSecurity)
{
    qztest::TempDir dir(L"qzdiag");
    const std::wstring path = CreateSecuredFile(dir / L"secured.txt", L"D:P(A;;FA;;;BA)(A;;FR;;;WD)");
    ASSERT_FALSE(path.empty());
    const DiagRun run = RunDiag({L"object", L"file", path});
    ASSERT_EQ(0u, run.Exit()) << run.Text();
    EXPECT_TRUE(run.err.empty()) << run.Text();

    const std::vector<std::wstring> library = LibraryFileDump(path, dir);
    ASSERT_GE(library.size(), 5u);
    ASSERT_GE(run.lines.size(), library.size()) << run.Text();
    for (size_t i = 0; i < library.size(); ++i)
        EXPECT_EQ(library[i], run.lines[i]) << "line " << i;
    EXPECT_EQ(L"*** File Info start ***", run.lines[0]);
    EXPECT_EQ(L"PATH: " + path, run.lines[1]);
    EXPECT_TRUE(run.HasLine(L"SIZE: 5 bytes")) << run.Text();
    EXPECT_TRUE(run.HasLine(L"*** File Security start ***")) << run.Text();
    EXPECT_EQ(L"   SECURITY DESCRIPTOR: " + qztest::FromUtf8(FileSddl(path)),
              run.LineStarting(L"   SECURITY DESCRIPTOR: "))
        << run.Text();
    EXPECT_EQ(L"*** File Security end ***", run.lines.back());
}

TEST(DiagObject, DirectoryDumpAndReportFileOut)
{
    qztest::TempDir dir(L"qzdiag");
    const std::wstring outPath = dir / L"report.txt";
    const DiagRun console = RunDiag({L"object", L"file", dir.Path()});
    const DiagRun toFile = RunDiag({L"object", L"file", dir.Path(), L"--out", outPath});
    ASSERT_EQ(0u, console.Exit()) << console.Text();
    ASSERT_EQ(0u, toFile.Exit()) << toFile.Text();
    EXPECT_TRUE(toFile.out.empty()) << toFile.Text();
    EXPECT_EQ(L"*** Directory Info start ***", console.lines.empty() ? L"" : console.lines[0]);
    EXPECT_TRUE(console.HasLine(L"*** Directory Security start ***")) << console.Text();
    EXPECT_EQ(L"   SECURITY DESCRIPTOR: " + qztest::FromUtf8(FileSddl(dir.Path())),
              console.LineStarting(L"   SECURITY DESCRIPTOR: "));

    // The report file: the byte-order mark, then the same lines in UTF-16.
    std::vector<std::wstring> fileLines;
    std::string problem;
    ASSERT_TRUE(qztest::ReadUtf16Lines(outPath, fileLines, &problem)) << problem;
    std::vector<std::wstring> consoleLines = console.lines;
    EXPECT_EQ(consoleLines, fileLines);
}

TEST(DiagObject, RegistryKeyDumpIsTheLibrarys)
{
    const std::wstring subKey = L"Software\\QzDiagTest\\Schl\u00FCssel";
    qztest::RegKeyGuard guard(HKEY_CURRENT_USER, subKey);
    ASSERT_TRUE(guard.Created());
    qztest::TempDir dir(L"qzdiag");
    const std::wstring dumpPath = dir / L"key.txt";
    CqzRegistryKeyHandle::Dump(HKEY_CURRENT_USER, subKey.c_str(), dumpPath.c_str());
    std::vector<std::wstring> library;
    ASSERT_TRUE(qztest::ReadUtf16Lines(dumpPath, library));

    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_CURRENT_USER, subKey.c_str(), 0, READ_CONTROL, &key));
    BYTE descriptor[4096] = {};
    DWORD size = sizeof(descriptor);
    const SECURITY_INFORMATION parts =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    ASSERT_EQ(ERROR_SUCCESS, ::RegGetKeySecurity(key, parts, descriptor, &size));
    ::RegCloseKey(key);

    for (const wchar_t* root : {L"HKCU\\", L"HKEY_CURRENT_USER\\", L"hkcu\\"})
    {
        const DiagRun run = RunDiag({L"object", L"key", root + subKey});
        ASSERT_EQ(0u, run.Exit()) << run.Text();
        EXPECT_TRUE(run.outIsUtf8);
        EXPECT_EQ(library, run.lines) << run.Text();
        EXPECT_EQ(L"   SECURITY DESCRIPTOR: " + qztest::FromUtf8(qztest::SddlOf(descriptor, parts)),
                  run.LineStarting(L"   SECURITY DESCRIPTOR: "))
            << run.Text();
    }
}

std::wstring UserObjectName(HANDLE object)
{
    wchar_t name[256] = {};
    DWORD needed = 0;
    if (!::GetUserObjectInformationW(object, UOI_NAME, name, sizeof(name) - sizeof(wchar_t), &needed))
        return L"(unreadable)";
    return name;
}

TEST(DiagObject, WindowStationAndDesktopOfTheCaller)
{
    const struct
    {
        const wchar_t* kind;
        const wchar_t* type;
        HANDLE object;
    } rows[] = {
        {L"winsta", L"WindowStation", ::GetProcessWindowStation()},
        {L"desktop", L"Desktop", ::GetThreadDesktop(::GetCurrentThreadId())},
    };
    for (const auto& row : rows)
    {
        const DiagRun run = RunDiag({L"object", row.kind});
        EXPECT_EQ(0u, run.Exit()) << run.Text();
        EXPECT_EQ(std::wstring(L"   USER OBJECT TYPE: ") + row.type, run.LineStarting(L"   USER OBJECT TYPE:"));
        EXPECT_EQ(L"   USER OBJECT NAME: " + UserObjectName(row.object), run.LineStarting(L"   USER OBJECT NAME:"));
        EXPECT_TRUE(Contains(run.LineStarting(L"   OBJECT ACCESS GRANTED: "), L"0x")) << run.Text();
    }
}

// ---------------------------------------------------------------------------
// Access

// AccessCheck with MAXIMUM_ALLOWED and with the read rights of the file
// dump's check, for a token, as plain advapi32 answers them.
struct AccessOracle
{
    DWORD mask = 0;
    bool readable = false;
    bool ok = false;
};

AccessOracle CheckAccess(const std::wstring& path, HANDLE primaryToken)
{
    AccessOracle oracle;
    qztest::ScopedHandle token = qztest::DuplicateImpersonation(primaryToken);
    CqzScopedLocal<void> descriptor;
    if (!token.IsValid() ||
        ::GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT,
                                OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, nullptr, nullptr, descriptor.Receive()) != ERROR_SUCCESS)
        return oracle;
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    BYTE privileges[256] = {};
    DWORD length = sizeof(privileges);
    BOOL status = FALSE;
    if (!::AccessCheck(descriptor.Get(), token.Get(), MAXIMUM_ALLOWED, &mapping,
                       reinterpret_cast<PRIVILEGE_SET*>(privileges), &length, &oracle.mask, &status))
        return oracle;
    DWORD granted = 0;
    length = sizeof(privileges);
    status = FALSE;
    if (!::AccessCheck(descriptor.Get(), token.Get(),
                       READ_CONTROL | FILE_READ_DATA | FILE_READ_EA | FILE_READ_ATTRIBUTES, &mapping,
                       reinterpret_cast<PRIVILEGE_SET*>(privileges), &length, &granted, &status))
        return oracle;
    oracle.readable = status != FALSE;
    oracle.ok = true;
    return oracle;
}

// The names of the bits of a file mask, in the order qz_diag lists them.
std::wstring FileRightNames(DWORD mask)
{
    static const wchar_t* const names[] = {L"READ_DATA",    L"WRITE_DATA",      L"APPEND_DATA",
                                           L"READ_EA",      L"WRITE_EA",        L"EXECUTE",
                                           L"DELETE_CHILD", L"READ_ATTRIBUTES", L"WRITE_ATTRIBUTES"};
    std::wstring text;
    for (int bit = 0; bit < 9; ++bit)
    {
        if ((mask & (1u << bit)) != 0)
            text += (text.empty() ? L"" : L"|") + std::wstring(names[bit]);
    }
    return text.empty() ? L"NULL" : text;
}

TEST(DiagAccess, MaximumAllowedAndReadOfThisTokenAndOfARestrictedChild)
{
    qztest::TempDir dir(L"qzdiag");
    qztest::ScopedHandle own = qztest::OpenOwnProcessToken();
    qztest::ScopedHandle restricted = qztest::RestrictedAdministratorsDenyOnly(own.Get());
    ASSERT_TRUE(restricted.IsValid());
    qzdiagtest::SuspendedChild child(qzdiagtest::DiagExe(), L"qz_diag.exe os", L"", restricted.Get());
    ASSERT_TRUE(child.Started()) << child.Error();

    const struct
    {
        const wchar_t* name;
        const wchar_t* sddl;
    } files[] = {
        {L"admins-all-everyone-read.txt", L"D:P(A;;FA;;;BA)(A;;FR;;;WD)"},
        {L"everyone-write.txt", L"D:P(A;;FW;;;WD)"},
    };
    for (const auto& file : files)
    {
        const std::wstring path = CreateSecuredFile(dir / file.name, file.sddl);
        ASSERT_FALSE(path.empty());
        for (bool viaPid : {false, true})
        {
            SCOPED_TRACE(ToUtf8(std::wstring(file.name) + (viaPid ? L" --pid" : L"")));
            const AccessOracle oracle = CheckAccess(path, viaPid ? restricted.Get() : own.Get());
            ASSERT_TRUE(oracle.ok);
            std::vector<std::wstring> args = {L"access", L"file", path};
            if (viaPid)
                args.insert(args.end(), {L"--pid", std::to_wstring(child.Pid())});
            const DiagRun run = RunDiag(args);
            ASSERT_EQ(0u, run.Exit()) << run.Text();
            EXPECT_EQ(L"PATH: " + path, run.LineStarting(L"PATH: "));
            EXPECT_EQ(L"MAXIMUM ALLOWED: " + qzdiagtest::Hex8(oracle.mask), run.LineStarting(L"MAXIMUM ALLOWED: "))
                << run.Text();
            EXPECT_EQ(L"   FILE RIGHTS: " + FileRightNames(oracle.mask), run.LineStarting(L"   FILE RIGHTS: "));
            EXPECT_EQ(std::wstring(L"MAY READ: ") + (oracle.readable ? L"yes" : L"no"),
                      run.LineStarting(L"MAY READ: "));
        }
    }
}

// ---------------------------------------------------------------------------
// The OS record as Wine reports it, per program

typedef LONG(WINAPI* RtlGetVersionFn)(RTL_OSVERSIONINFOEXW*);

TEST(DiagOs, RecordOfThisSystemAndOfTheVersionsWineReportsPerProgram)
{
    RTL_OSVERSIONINFOEXW own = {};
    own.dwOSVersionInfoSize = sizeof(own);
    const RtlGetVersionFn rtlGetVersion =
        CqzResolveExport<RtlGetVersionFn>(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion");
    ASSERT_NE(nullptr, rtlGetVersion);
    ASSERT_EQ(0, rtlGetVersion(&own));
    const DiagRun plain = RunDiag({L"os"});
    ASSERT_EQ(0u, plain.Exit()) << plain.Text();
    EXPECT_EQ(L"VERSION: " + std::to_wstring(own.dwMajorVersion) + L"." + std::to_wstring(own.dwMinorVersion),
              plain.LineStarting(L"VERSION: "));
    EXPECT_EQ(L"BUILD: " + std::to_wstring(own.dwBuildNumber), plain.LineStarting(L"BUILD: "));
    EXPECT_EQ(L"PRODUCT TYPE: " + std::to_wstring(own.wProductType) + L" (Workstation)",
              plain.LineStarting(L"PRODUCT TYPE: "));
    EXPECT_EQ(std::wstring(L"PROCESS MACHINE: ") +
                  (qztest::kImageMachine == IMAGE_FILE_MACHINE_AMD64 ? L"AMD64" : L"I386"),
              plain.LineStarting(L"PROCESS MACHINE: "));
    BOOL wow64 = FALSE;
    ::IsWow64Process(::GetCurrentProcess(), &wow64);
    const bool native64 = wow64 != FALSE || qztest::kImageMachine == IMAGE_FILE_MACHINE_AMD64;
    EXPECT_EQ(std::wstring(L"NATIVE MACHINE: ") + (native64 ? L"AMD64" : L"I386"),
              plain.LineStarting(L"NATIVE MACHINE: "));

    // Version and build as Wine 8 reports them for each setting.
    const struct
    {
        const wchar_t* wineVersion;
        const wchar_t* version;
        const wchar_t* build;
    } rows[] = {
        {L"vista", L"VERSION: 6.0", L"BUILD: 6002"},   {L"win7", L"VERSION: 6.1", L"BUILD: 7601"},
        {L"win8", L"VERSION: 6.2", L"BUILD: 9200"},    {L"win81", L"VERSION: 6.3", L"BUILD: 9600"},
        {L"win10", L"VERSION: 10.0", L"BUILD: 18362"},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(ToUtf8(row.wineVersion));
        qztest::WineVersionScope version(L"qz_diag.exe", row.wineVersion);
        ASSERT_TRUE(version.Ok());
        const DiagRun run = RunDiag({L"os"});
        ASSERT_EQ(0u, run.Exit()) << run.Text();
        EXPECT_EQ(row.version, run.LineStarting(L"VERSION: "));
        EXPECT_EQ(row.build, run.LineStarting(L"BUILD: "));
        EXPECT_NE(L"<no line>", run.LineStarting(L"PRODUCT: Windows ")) << run.Text();
    }
}

} // namespace
