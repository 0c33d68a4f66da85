// The token report as it must read for a token, built from the token's facts
// read here with plain advapi32 (and NtQueryObject for the handle's access),
// and the comparison of a written report with it. Used by the suite and by
// its probe, which checks its own token's report as another Windows version.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qzreporttest
{
using Lines = std::vector<std::wstring>;

// Which version-dependent items a report holds.
struct Versions
{
    bool vista = false; // major version 6 on
    bool win8 = false;  // 6.2 on
};
// The version as RtlGetVersion tells it to this process, and what it means
// for the report.
bool RunningVersion(DWORD& major, DWORD& minor);
Versions RunningVersions();

// One expected line, or a block that the comparison reads in its own way.
struct Expected
{
    enum class Kind
    {
        Line,               // exactly text
        AnyLuid,            // text, then "0x<hex> (<decimal>)" of one value:
                            // the linked token's ids where every read makes
                            // a new token
        DefaultDacl,        // "DEFAULT DACL:   DACL contains <aceCount> ACEs"
                            // and ACE lines that give the SDDL sddl
        SecurityAttributes, // text (the count line), then the attribute lines
    };
    Kind kind = Kind::Line;
    std::wstring text;
    std::string sddl;
    DWORD aceCount = 0;
};
using Report = std::vector<Expected>;

Report ExpectedShortReport(HANDLE token, bool censor);
Report ExpectedFullReport(HANDLE token, const Versions& versions, bool includeLinked);
// The header ("", "    *** Access Token Info start ***", "") and, for an
// empty object, "TOKEN HANDLE IS NULL".
Report ExpectedHeader();
Report ExpectedEmptyReport();

// What differs between the lines and the expected report (empty: the lines
// are that report), each problem naming the line.
std::vector<std::string> Compare(const Lines& actual, const Report& expected);
// The problems joined for a failure message.
std::string Describe(const std::vector<std::string>& problems);

// Texts of the report, modelled here from their formats.
std::wstring TraceString(PSID sid);
std::wstring GroupAttributeWords(DWORD attributes);
// The SID text with every character after "SID=[S" (else the first "S") and
// before the last "-" made "*"; "Error Censoring" when it cannot be.
std::wstring Censored(const std::wstring& text);
// The expiration line's value text.
std::wstring ExpirationText(LONGLONG expiration);

// The ACE lines of a report turned back into SDDL ("D:(A;;0x10000000;;;S-1-5-18)..."
// as the system's conversion prints it); "(unparsable)" for a line that is
// no ACE line of the mask form.
std::string DaclSddlOfAceLines(const Lines& aceLines);
// The SDDL of an ACL (null: "D:NO_ACCESS_CONTROL" as the system prints it).
std::string DaclSddl(const ACL* acl);
} // namespace qzreporttest
