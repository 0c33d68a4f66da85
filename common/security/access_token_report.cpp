// The token report: its start, the items both reports share, the short
// report, the file forms and the forms on a borrowed handle. The full
// report's own items are in access_token_report_full.cpp.
#include "common/security/access_token.h"

#include <string>
#include <vector>

#include "common/security/access_token_internal.h"
#include "common/security/access_token_report_internal.h"
#include "common/security/security.h"
#include "common/util/util.h"
#include "trace/trace.h"

using qzaccesstoken::kClass;

namespace
{
const wchar_t kSidMarker[] = L"SID=[S";

// A new report file. With a unique name the stamp goes up by one for each
// name already taken, so that two reports within one clock tick do not
// overwrite each other. An invalid handle on failure, the reason in error
// and the path last tried in shownPath.
HANDLE CreateReportFile(const wchar_t* path, bool uniqueName, std::wstring& shownPath, DWORD& error)
{
    const std::wstring requested = path != nullptr ? path : L"";
    shownPath = requested;
    if (!uniqueName)
    {
        const HANDLE file = CqzFileTextSink::CreateReportFile(requested.c_str());
        error = ::GetLastError();
        return file;
    }
    // Enough for reports started together from many threads.
    const int kMaxAttempts = 1000;
    ULONGLONG stamp = CqzTime::GetCurrentTime64();
    error = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < kMaxAttempts && error == ERROR_FILE_EXISTS; ++attempt, ++stamp)
    {
        std::wstring uniquePath;
        if (!qztokenreport::MakeUniquePath(requested.c_str(), stamp, uniquePath))
        {
            error = ERROR_FILENAME_EXCED_RANGE;
            break;
        }
        const HANDLE file = ::CreateFileW(uniquePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        error = ::GetLastError();
        shownPath.swap(uniquePath);
        if (file != INVALID_HANDLE_VALUE)
            return file;
    }
    return INVALID_HANDLE_VALUE;
}

// Creates the file, writes the byte-order mark and then the report; the
// file is closed on every path.
template <typename WriteReport>
bool ReportToFile(const wchar_t* path, bool uniqueName, WriteReport writeReport)
{
    std::wstring shownPath;
    DWORD error = ERROR_SUCCESS;
    CqzScopedHandle file(CreateReportFile(path, uniqueName, shownPath, error));
    if (!file.IsValid())
    {
        QZTRACE(QZT_ERROR, kClass,
                "ERROR: Failed to open file " << shownPath
                                              << " for writing. hr=" << static_cast<long>(HRESULT_FROM_WIN32(error)));
        return false;
    }
    CqzFileTextSink sink(file.Get());
    if (!sink.WriteByteOrderMark())
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: Failed to write to file " << shownPath);
        return false;
    }
    return writeReport(static_cast<CqzTextSink&>(sink));
}
} // namespace

namespace qztokenreport
{

Start WriteHeader(CqzAccessToken& token, CqzTextSink& sink)
{
    if (!sink.PrintfLine(L"\r\n    *** Access Token Info start ***\r\n"))
    {
        QZTRACE(QZT_ERROR, kClass, "ERROR: PrintfLine failed");
        return Start::Failed;
    }
    if (token.GetHandle() == nullptr)
    {
        sink.PrintfLine(L"TOKEN HANDLE IS NULL");
        return Start::NoToken;
    }
    return Start::Items;
}

bool CensorSidText(std::wstring& text)
{
    const size_t lastDash = text.rfind(L'-');
    if (lastDash == std::wstring::npos)
        return false;
    size_t from = text.find(kSidMarker);
    if (from != std::wstring::npos)
        from += (sizeof(kSidMarker) / sizeof(kSidMarker[0])) - 1;
    else if ((from = text.find(L'S')) != std::wstring::npos)
        from += 1;
    // A marker behind the last "-" would leave the whole SID readable.
    if (from == std::wstring::npos || from > lastDash)
        return false;
    text.replace(from, lastDash - from, lastDash - from, L'*');
    return true;
}

void DumpSidItem(CqzAccessToken& token, CqzTextSink& sink, TOKEN_INFORMATION_CLASS infoClass, const wchar_t* label,
                 bool censor)
{
    CqzScopedHeap<BYTE> block;
    DWORD size = 0;
    // TOKEN_USER, TOKEN_OWNER and TOKEN_PRIMARY_GROUP all begin with the
    // SID pointer.
    if (!token.GetTokenInformationAlloc(infoClass, block, size) || size < sizeof(PSID))
    {
        sink.PrintfLine(L"%s: Error", label);
        return;
    }
    PSID sid = *reinterpret_cast<PSID*>(block.Get());
    std::wstring text = CqzSid::GetTraceString(sid);
    if (censor && !CensorSidText(text))
    {
        sink.PrintfLine(L"%s: Error Censoring", label);
        return;
    }
    sink.PrintfLine(L"%s: %s", label, text.c_str());
}

void DumpSessionId(CqzAccessToken& token, CqzTextSink& sink)
{
    DWORD sessionId = 0;
    if (token.GetSessionId(sessionId))
        sink.PrintfLine(L"TOKEN SESSION ID: %d", static_cast<int>(sessionId));
    else
        sink.PrintfLine(L"TOKEN SESSION ID: Error");
}

void DumpGroupLines(CqzTextSink& sink, const CTokenGroups& groups, const wchar_t* lineFormat, bool censor)
{
    std::vector<CSid> sids;
    std::vector<DWORD> attributes;
    groups.GetSidsAndAttributes(&sids, &attributes);
    for (size_t i = 0; i < sids.size() && i < attributes.size(); ++i)
    {
        std::wstring text = CqzSid(sids[i]).GetGroupTraceString(attributes[i]);
        if (censor && !CensorSidText(text))
            text = L"Error Censoring";
        sink.PrintfLine(lineFormat, static_cast<int>(i), text.c_str());
    }
}

void DumpGroups(CqzAccessToken& token, CqzTextSink& sink, bool censor)
{
    CqzScopedHeap<BYTE> block;
    DWORD size = 0;
    CTokenGroups groups;
    if (!token.GetTokenInformationAlloc(TokenGroups, block, size) ||
        !groups.LoadFromTokenGroups(reinterpret_cast<const TOKEN_GROUPS*>(block.Get()), size))
    {
        sink.PrintfLine(L"TOKEN GROUPS: Error");
        return;
    }
    sink.PrintfLine(L"TOKEN GROUPS: Count=%d", static_cast<int>(groups.GetCount()));
    DumpGroupLines(sink, groups, L"   GROUP %.2d: %s", censor);
}

void DumpPrivileges(CqzAccessToken& token, CqzTextSink& sink)
{
    CqzScopedHeap<BYTE> block;
    DWORD size = 0;
    if (!token.GetPrivileges(block, size))
    {
        sink.PrintfLine(L"TOKEN PRIVILEGES: Error");
        return;
    }
    // GetPrivileges has checked the count against the bytes returned.
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(block.Get());
    sink.PrintfLine(L"TOKEN PRIVILEGES: Count=%d", static_cast<int>(privileges->PrivilegeCount));
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
    {
        const LUID_AND_ATTRIBUTES& privilege = privileges->Privileges[i];
        std::wstring name;
        if (CqzAccessPriveleges::LookupPrivilegeName(privilege.Luid, name) || !name.empty())
        {
            sink.PrintfLine(L"   PRIVILEGE %.2d: Attributes=[%.8X] %s", static_cast<int>(i),
                            static_cast<unsigned>(privilege.Attributes), name.c_str());
            continue;
        }
        // The lookup names only the LUIDs it retried; every unknown one
        // gets the same text.
        sink.PrintfLine(L"   PRIVILEGE %.2d: Attributes=[%.8X] Unknown{%d,%u}", static_cast<int>(i),
                        static_cast<unsigned>(privilege.Attributes), static_cast<int>(privilege.Luid.HighPart),
                        static_cast<unsigned>(privilege.Luid.LowPart));
    }
}

bool MakeUniquePath(const wchar_t* path, ULONGLONG stamp, std::wstring& uniquePath)
{
    const std::wstring original = path != nullptr ? path : L"";
    const size_t componentStart = original.find_last_of(L"\\/:");
    size_t dot = original.rfind(L'.');
    if (dot == std::wstring::npos || (componentStart != std::wstring::npos && dot < componentStart))
        dot = original.size();
    std::wstring result = original.substr(0, dot) + L"." + std::to_wstring(stamp) + original.substr(dot);
    if (result.size() + 1 > kPathChars)
        return false;
    uniquePath.swap(result);
    return true;
}

} // namespace qztokenreport

// ---------------------------------------------------------------------------
// The short report
// ---------------------------------------------------------------------------

bool CqzAccessToken::DumpUserGroupsAndPriviliges(CqzTextSink& sink, bool censor)
{
    QZ_STACK_NAME("DumpUserGroupsAndPriviliges", kClass);
    const qztokenreport::Start start = qztokenreport::WriteHeader(*this, sink);
    if (start != qztokenreport::Start::Items)
        return start == qztokenreport::Start::NoToken;
    qztokenreport::DumpSidItem(*this, sink, TokenUser, L"TOKEN USER", censor);
    qztokenreport::DumpSessionId(*this, sink);
    qztokenreport::DumpSidItem(*this, sink, TokenOwner, L"TOKEN OWNER", censor);
    qztokenreport::DumpSidItem(*this, sink, TokenPrimaryGroup, L"TOKEN PRIMARY GROUP", censor);
    qztokenreport::DumpGroups(*this, sink, censor);
    qztokenreport::DumpPrivileges(*this, sink);
    return true;
}

// ---------------------------------------------------------------------------
// File forms and borrowed handles
// ---------------------------------------------------------------------------

bool CqzAccessToken::DumpUserGroupsAndPriviliges(const wchar_t* path, bool censor, bool uniqueName)
{
    QZ_STACK_NAME("DumpUserGroupsAndPriviliges", kClass);
    return ReportToFile(path, uniqueName, [&](CqzTextSink& sink) { return DumpUserGroupsAndPriviliges(sink, censor); });
}

bool CqzAccessToken::Dump(const wchar_t* path, bool includeLinked, bool uniqueName)
{
    QZ_STACK_NAME("Dump", kClass);
    return ReportToFile(path, uniqueName, [&](CqzTextSink& sink) { return Dump(sink, includeLinked); });
}

bool CqzAccessToken::DumpUserGroupsAndPriviliges(HANDLE hToken, CqzTextSink& sink, bool censor)
{
    return _OnBorrowedHandle(hToken,
                             [&](CqzAccessToken& token) { return token.DumpUserGroupsAndPriviliges(sink, censor); });
}

bool CqzAccessToken::Dump(HANDLE hToken, CqzTextSink& sink, bool includeLinked)
{
    return _OnBorrowedHandle(hToken, [&](CqzAccessToken& token) { return token.Dump(sink, includeLinked); });
}

bool CqzAccessToken::DumpUserGroupsAndPriviliges(HANDLE hToken, const wchar_t* path, bool censor, bool uniqueName)
{
    return _OnBorrowedHandle(hToken, [&](CqzAccessToken& token)
                             { return token.DumpUserGroupsAndPriviliges(path, censor, uniqueName); });
}

bool CqzAccessToken::Dump(HANDLE hToken, const wchar_t* path, bool includeLinked, bool uniqueName)
{
    return _OnBorrowedHandle(hToken,
                             [&](CqzAccessToken& token) { return token.Dump(path, includeLinked, uniqueName); });
}
