// Pieces shared by the two halves of the token report (the short report and
// the file forms in access_token_report.cpp, the full report in
// access_token_report_full.cpp); not for other code.
#pragma once

#include <windows.h>

#include <string>

#include "common/security/access_token.h"
#include "common/util/text_sink.h"

namespace qztokenreport
{
// How a report starts: the header could not be written (traced; nothing
// else is written), the object holds no token (its line written), or the
// items follow.
enum class Start
{
    Failed,
    NoToken,
    Items,
};
Start WriteHeader(CqzAccessToken& token, CqzTextSink& sink);

// Keeps only the final sub-authority of the SID in a SID text: every
// character after the first "SID=[S" (else the first "S") and before the
// last "-" becomes "*". False, text unchanged, when there is no "-", no
// marker, or no marker before the last "-".
bool CensorSidText(std::wstring& text);

// "<label>: <SID text>" of TokenUser, TokenOwner or TokenPrimaryGroup, or
// "<label>: Error" / "<label>: Error Censoring".
void DumpSidItem(CqzAccessToken& token, CqzTextSink& sink, TOKEN_INFORMATION_CLASS infoClass, const wchar_t* label,
                 bool censor);
void DumpSessionId(CqzAccessToken& token, CqzTextSink& sink);
// One line per group: lineFormat ("   GROUP %.2d: %s") of the index and the
// group text, or of the index and "Error Censoring".
void DumpGroupLines(CqzTextSink& sink, const CTokenGroups& groups, const wchar_t* lineFormat, bool censor);
// The count line and the group / privilege lines, or the "Error" line.
void DumpGroups(CqzAccessToken& token, CqzTextSink& sink, bool censor);
void DumpPrivileges(CqzAccessToken& token, CqzTextSink& sink);

// The file name of a unique-name report: the extension of the last path
// component (from its last ".", none when it has no ".") is replaced by
// ".<stamp in decimal><extension>". False when the result does not fit the
// report path buffer (kPathChars characters with the terminator).
const size_t kPathChars = 1040;
bool MakeUniquePath(const wchar_t* path, ULONGLONG stamp, std::wstring& uniquePath);
} // namespace qztokenreport
