// Probe started by token_report_tests as another Windows version (Wine's
// per-program version setting, which is why it is built under one name per
// version). It writes one report of its own process token to a file, reads
// it back, compares it with the report its token's facts give (for the
// version it was told to expect), and writes what it found as key=value
// lines.
//
//   token_report_probe.exe <version> <report> <report file> <result file>
//   versions: xp (no Vista items), win7 (Vista items), win10 (and the
//             Windows 8 items)
//   reports:  full, full-linked, short, short-censor, and
//             full-capabilities: the full report while the token's
//             capabilities read as InternetClient (S-1-15-3-1, Enabled) and
//             BUILTIN\Users (attributes 7); Wine has no capabilities to read
//
// Result keys: major, minor (RtlGetVersion), written (the report's answer),
// problem (one per difference from the expected report).
// Exit code: 0 the report was written, 1 it was not, 2 bad arguments, 3 the
// process token could not be opened.
#include <windows.h>

#include <memory>
#include <sstream>
#include <string>

#include "common/security/access_token.h"
#include "testing/harness/harness.h"
#include "tests/token_report/report_oracle.h"
#include "tests/token_report/token_info_seam.h"

namespace
{
// The capabilities of full-capabilities, built in the caller's buffer.
BOOL TwoCapabilities(LPVOID buffer, DWORD size, PDWORD returned)
{
    SID_IDENTIFIER_AUTHORITY package = {SECURITY_APP_PACKAGE_AUTHORITY};
    SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
    const DWORD sidSize = ::GetSidLengthRequired(2);
    const DWORD needed = static_cast<DWORD>(sizeof(TOKEN_GROUPS) + sizeof(SID_AND_ATTRIBUTES)) + 2 * sidSize;
    *returned = needed;
    if (size < needed)
    {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* groups = static_cast<TOKEN_GROUPS*>(buffer);
    BYTE* sids = static_cast<BYTE*>(buffer) + sizeof(TOKEN_GROUPS) + sizeof(SID_AND_ATTRIBUTES);
    ::InitializeSid(sids, &package, 2);
    *::GetSidSubAuthority(sids, 0) = SECURITY_CAPABILITY_BASE_RID;
    *::GetSidSubAuthority(sids, 1) = 1;
    ::InitializeSid(sids + sidSize, &nt, 2);
    *::GetSidSubAuthority(sids + sidSize, 0) = SECURITY_BUILTIN_DOMAIN_RID;
    *::GetSidSubAuthority(sids + sidSize, 1) = DOMAIN_ALIAS_RID_USERS;
    groups->GroupCount = 2;
    groups->Groups[0].Sid = sids;
    groups->Groups[0].Attributes = SE_GROUP_ENABLED;
    groups->Groups[1].Sid = sids + sidSize;
    groups->Groups[1].Attributes = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;
    return TRUE;
}

bool ExpectedVersions(const std::wstring& word, qzreporttest::Versions& versions)
{
    versions.vista = word != L"xp";
    versions.win8 = word == L"win10";
    return word == L"xp" || word == L"win7" || word == L"win10";
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    qzreporttest::Versions versions;
    if (argc != 5 || !ExpectedVersions(argv[1], versions))
        return 2;
    const std::wstring report = argv[2];
    const std::wstring reportPath = argv[3];
    const bool capabilities = report == L"full-capabilities";
    const bool full = report == L"full" || report == L"full-linked" || capabilities;
    const bool linked = report == L"full-linked";
    const bool censor = report == L"short-censor";
    if (!full && report != L"short" && !censor)
        return 2;

    std::unique_ptr<qzreporttest::TokenInformationSeam> seam;
    if (capabilities)
    {
        seam.reset(new qzreporttest::TokenInformationSeam(TokenCapabilities,
                                                          [](HANDLE, LPVOID buffer, DWORD size, PDWORD returned)
                                                          { return TwoCapabilities(buffer, size, returned); }));
    }
    CqzAccessToken token;
    if (!token.GetProcessToken(TOKEN_QUERY | TOKEN_QUERY_SOURCE | READ_CONTROL))
        return 3;
    const bool written = full ? token.Dump(reportPath.c_str(), linked, false)
                              : token.DumpUserGroupsAndPriviliges(reportPath.c_str(), censor, false);

    std::ostringstream out;
    DWORD major = 0;
    DWORD minor = 0;
    if (qzreporttest::RunningVersion(major, minor))
        out << "major=" << major << "\nminor=" << minor << "\n";
    out << "written=" << (written ? 1 : 0) << "\n";

    qzreporttest::Lines lines;
    std::string problem;
    if (!qztest::ReadUtf16Lines(reportPath, lines, &problem))
        out << "problem=the report file is no UTF-16 report: " << problem << "\n";
    const qzreporttest::Report expected = full ? qzreporttest::ExpectedFullReport(token.GetHandle(), versions, linked)
                                               : qzreporttest::ExpectedShortReport(token.GetHandle(), censor);
    for (const std::string& difference : qzreporttest::Compare(lines, expected))
        out << "problem=" << difference << "\n";
    qztest::WriteTextFile(argv[4], out.str());
    return written ? 0 : 1;
}
