#include "testing/qz_agent/agent_record_handler.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

#include "common/util/scoped.h"
#include "testing/qz_agent/agent_protocol.h"
#include "trace/trace.h"

namespace qzagent
{

namespace
{

const wchar_t kExitTextHead[] = L"<?xml version=\"1.0\" encoding=\"utf-16\"?><XML><PID>";
const wchar_t kExitTextTail[] = L"</PID></XML>";
// The mutex admits senders to wait for it and release it, nothing more.
const wchar_t kMutexSddl[] = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100001;;;WD)";
// At most this many payload bytes are logged in hex for unknown commands.
const DWORD kHexBytes = 64;

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::string();
    std::string out(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

std::string Hex(const BYTE* data, size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < size; ++i)
    {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

// The process token's user SID, copied into sid.
bool GetProcessUserSid(BYTE (&sid)[SECURITY_MAX_SID_SIZE])
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    CqzScopedHandle owner(token);
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
    DWORD size = 0;
    if (!::GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size))
        return false;
    PSID user = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
    return ::CopySid(SECURITY_MAX_SID_SIZE, sid, user) != FALSE;
}

std::string SidText(const BYTE* sid)
{
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(const_cast<BYTE*>(sid), &text))
        return "?";
    std::string out = ToUtf8(text);
    ::LocalFree(text);
    return out;
}

// Whether LocalSystem, which the real agent runs as, would be let in to read:
// an allow entry for it (or for a group it is in) with read rights and no deny
// entry before it. A null DACL admits everyone.
bool LocalSystemMayRead(PSECURITY_DESCRIPTOR sd)
{
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted))
        return false;
    if (!present || !dacl)
        return true;
    const ACCESS_MASK readRights = GENERIC_ALL | GENERIC_READ | FILE_MAP_READ;
    for (DWORD i = 0; i < dacl->AceCount; ++i)
    {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace))
            return false;
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE && header->AceType != ACCESS_DENIED_ACE_TYPE)
            continue;
        // Both ACE types share this layout.
        ACCESS_ALLOWED_ACE* entry = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        PSID sid = &entry->SidStart;
        const bool forSystem = ::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinWorldSid) ||
                               ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
                               ::IsWellKnownSid(sid, WinAuthenticatedUserSid);
        if (!forSystem || (entry->Mask & readRights) == 0)
            continue;
        return header->AceType == ACCESS_ALLOWED_ACE_TYPE;
    }
    return false;
}

// One attempt to open a section name for reading, as the agent would.
struct SectionAttempt
{
    const BYTE* view = nullptr;
    DWORD error = 0;
    std::string dacl;
    bool widened = false;
};

// Adds an entry that lets user map the section for reading, to the DACL the
// section was read with. Wine runs services under the same account as
// everything else, not as LocalSystem: this stands in for the access
// LocalSystem has. It relies on the implicit WRITE_DAC right of the
// section's owner.
bool GrantRead(HANDLE section, PACL oldDacl, const BYTE* user)
{
    EXPLICIT_ACCESS_W access = {};
    access.grfAccessPermissions = FILE_MAP_READ | SECTION_QUERY;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_USER;
    access.Trustee.ptstrName = reinterpret_cast<LPWSTR>(const_cast<BYTE*>(user));
    CqzScopedLocal<void> newDacl;
    if (::SetEntriesInAclW(1, &access, oldDacl, reinterpret_cast<PACL*>(newDacl.Receive())) != ERROR_SUCCESS)
        return false;
    return ::SetSecurityInfo(section, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                             static_cast<PACL>(newDacl.Get()), nullptr) == ERROR_SUCCESS;
}

// Reads the section's DACL as the sender set it (for the log), then opens the
// section for reading; when that is refused to a service that is not
// LocalSystem although LocalSystem would be let in, widens the DACL for the
// service's user (widenFor: null for a LocalSystem service, or when the user
// is not known) and opens once more. One handle serves the DACL's reading and
// its widening.
SectionAttempt OpenAsAgent(CqzSharedMemory& shm, const wchar_t* name, const BYTE* widenFor)
{
    SectionAttempt attempt;
    bool mayWrite = true;
    CqzScopedHandle section(::OpenFileMappingW(READ_CONTROL | WRITE_DAC, FALSE, name));
    if (!section.Get() && ::GetLastError() == ERROR_ACCESS_DENIED)
    {
        mayWrite = false;
        section.Reset(::OpenFileMappingW(READ_CONTROL, FALSE, name));
    }
    bool systemMayRead = false;
    PACL dacl = nullptr;
    CqzScopedLocal<void> sd;
    if (section.Get() && ::GetSecurityInfo(section.Get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                           &dacl, nullptr, sd.Receive()) == ERROR_SUCCESS)
    {
        wchar_t* text = nullptr;
        if (::ConvertSecurityDescriptorToStringSecurityDescriptorW(sd.Get(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                   &text, nullptr))
        {
            attempt.dacl = ToUtf8(text);
            ::LocalFree(text);
        }
        systemMayRead = LocalSystemMayRead(sd.Get());
    }
    attempt.view = shm.TryOpen(name, FILE_MAP_READ, attempt.error);
    if (!attempt.view && attempt.error == ERROR_ACCESS_DENIED && systemMayRead && widenFor != nullptr && mayWrite &&
        GrantRead(section.Get(), dacl, widenFor))
    {
        attempt.widened = true;
        attempt.view = shm.TryOpen(name, FILE_MAP_READ, attempt.error);
    }
    return attempt;
}

void Refuse(LogLine& line, const std::string& reason)
{
    line.Add("status", "refused");
    line.Add("reason", reason);
}

// "<?xml ...?><XML><PID>digits</PID></XML>" -> the number; false for any other text.
bool ParseExitText(const std::wstring& text, DWORD& pid)
{
    const size_t head = sizeof(kExitTextHead) / sizeof(wchar_t) - 1;
    const size_t tail = sizeof(kExitTextTail) / sizeof(wchar_t) - 1;
    if (text.size() <= head + tail || text.compare(0, head, kExitTextHead) != 0 ||
        text.compare(text.size() - tail, tail, kExitTextTail) != 0)
        return false;
    const std::wstring digits = text.substr(head, text.size() - head - tail);
    if (digits.empty() || digits.size() > 10 || (digits.size() > 1 && digits[0] == L'0'))
        return false;
    ULONGLONG value = 0;
    for (wchar_t c : digits)
    {
        if (c < L'0' || c > L'9')
            return false;
        value = value * 10 + static_cast<ULONGLONG>(c - L'0');
    }
    if (value > 0xFFFFFFFFull)
        return false;
    pid = static_cast<DWORD>(value);
    return true;
}

void DecodeExitNotification(const BYTE* data, DWORD length, LogLine& line)
{
    DWORD remaining = length;
    std::wstring text;
    if (!CqzCustComdFileMap::_Deserialize(data, remaining, text))
    {
        Refuse(line, "string field unreadable");
        return;
    }
    line.Add("text", ToUtf8(text));
    if (remaining != 0)
    {
        line.Add("extra", remaining);
        Refuse(line, "bytes after the text");
        return;
    }
    DWORD pid = 0;
    if (!ParseExitText(text, pid))
    {
        Refuse(line, "not an exit notification text");
        return;
    }
    line.Add("pid", pid);
    line.Add("status", "accepted");
}

void DecodeResultRequest(const BYTE* data, DWORD length, LogLine& line, std::vector<HeldResult>& held)
{
    DWORD remaining = length;
    DWORD pid = 0;
    DWORD mode = 0;
    DWORD answer = 0;
    const BYTE* pos = CqzCustComdFileMap::_Deserialize(data, sizeof(pid), remaining, &pid);
    if (pos)
        pos = CqzCustComdFileMap::_Deserialize(pos, sizeof(mode), remaining, &mode);
    if (pos)
        pos = CqzCustComdFileMap::_Deserialize(pos, sizeof(answer), remaining, &answer);
    if (!pos)
    {
        Refuse(line, "result request header unreadable");
        return;
    }
    line.Add("client_pid", pid);
    line.Add("mode", mode);
    line.Add("answer", answer);
    if (remaining >= CqzCustCmdResultClient::GetBufferSize())
    {
        LONGLONG address = 0;
        LONGLONG eventHandle = 0;
        std::memcpy(&address, pos, sizeof(address));
        std::memcpy(&eventHandle, pos + sizeof(address), sizeof(eventHandle));
        char text[40];
        std::snprintf(text, sizeof(text), "0x%016llX", static_cast<unsigned long long>(address));
        line.Add("address", text);
        std::snprintf(text, sizeof(text), "0x%016llX", static_cast<unsigned long long>(eventHandle));
        line.Add("event_handle", text);
    }

    std::unique_ptr<CqzCustCmdResultServer> server(new CqzCustCmdResultServer(pid));
    if (!server->FromBuffer(pos, remaining))
    {
        Refuse(line, "result block refused");
        return;
    }
    line.Add("uses_event", server->UsesEvent() ? "1" : "0");
    if (remaining != 0)
        line.Add("extra", remaining);
    if (mode == kAnswerHeld)
    {
        HeldResult entry;
        entry.server = std::move(server);
        entry.answer = answer;
        held.push_back(std::move(entry));
        line.Add("set_result", "held");
    }
    else
    {
        const bool set = server->SetResultReady(answer);
        line.Add("set_result", set ? "true" : "false");
        line.Add("result", server->GetResult());
    }
    line.Add("status", "accepted");
}

void AnswerHeld(LogLine& line, std::vector<HeldResult>& held)
{
    unsigned long answered = 0;
    unsigned long succeeded = 0;
    for (HeldResult& entry : held)
    {
        ++answered;
        if (entry.server->SetResultReady(entry.answer))
            ++succeeded;
    }
    held.clear();
    line.Add("answered", answered);
    line.Add("succeeded", succeeded);
    line.Add("status", "accepted");
}

void DecodeLoad(const BYTE* data, DWORD length, LogLine& line)
{
    DWORD remaining = length;
    std::wstring tag;
    DWORD blockLength = 0;
    const BYTE* pos = CqzCustComdFileMap::_Deserialize(data, remaining, tag);
    if (pos)
        pos = CqzCustComdFileMap::_Deserialize(pos, sizeof(blockLength), remaining, &blockLength);
    std::vector<BYTE> block;
    if (pos)
    {
        // Room for the block only once the reader could hold it; a longer
        // count is refused by the reader before it writes anything.
        BYTE unused = 0;
        if (blockLength <= remaining)
            block.resize(blockLength);
        pos = CqzCustComdFileMap::_Deserialize(pos, blockLength, remaining, block.empty() ? &unused : block.data());
    }
    if (!pos)
    {
        line.Add("tag", ToUtf8(tag));
        Refuse(line, "load fields unreadable");
        return;
    }
    line.Add("tag", ToUtf8(tag));
    line.Add("block", blockLength);
    const bool whole = remaining == 0 && block == LoadPattern(tag, blockLength);
    line.Add("whole", whole ? "1" : "0");
    if (!whole)
    {
        Refuse(line, "block does not match its tag");
        return;
    }
    line.Add("status", "accepted");
}

} // namespace

// ---------------------------------------------------------------------------
// LogLine

void LogLine::Add(const std::string& key, const std::string& value)
{
    m_fields.emplace_back(key, value);
}

void LogLine::Add(const std::string& key, unsigned long value)
{
    Add(key, std::to_string(value));
}

void LogLine::AddHex(const std::string& key, unsigned long value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%04lX", value);
    Add(key, text);
}

std::string LogLine::Format() const
{
    std::string out;
    for (const auto& field : m_fields)
    {
        if (!out.empty())
            out += '\t';
        out += field.first + "=" + EscapeLogValue(field.second);
    }
    return out;
}

std::string LogLine::Get(const std::string& key) const
{
    for (const auto& field : m_fields)
    {
        if (field.first == key)
            return field.second;
    }
    return std::string();
}

// ---------------------------------------------------------------------------

void DecodeRecord(const BYTE* section, SIZE_T regionSize, LogLine& line, std::vector<HeldResult>& held)
{
    line.Add("region", static_cast<unsigned long>(regionSize));
    const SqzCustCmdRecord* record = reinterpret_cast<const SqzCustCmdRecord*>(section);
    if (!record->IsValid(regionSize))
    {
        if (regionSize < QZ_CIC_SECTION_SIZE)
        {
            Refuse(line, "region below " + std::to_string(QZ_CIC_SECTION_SIZE) + " bytes");
            return;
        }
        line.AddHex("magic", record->dwMagic);
        line.Add("cmd", record->dwCommandId);
        line.Add("len", record->dwDataLen);
        Refuse(line, record->dwMagic != QZ_CIC_RECORD_MAGIC ? "bad magic" : "data length above 8176");
        return;
    }

    const DWORD length = record->dwDataLen;
    line.AddHex("magic", record->dwMagic);
    line.Add("cmd", record->dwCommandId);
    line.Add("len", length);
    line.Add("crc", Crc32(record->data, length));
    const BYTE* tailStart = section + offsetof(SqzCustCmdRecord, data) + length;
    const BYTE* sectionEnd = section + QZ_CIC_SECTION_SIZE;
    line.Add("tail", std::all_of(tailStart, sectionEnd, [](BYTE b) { return b == 0; }) ? "zero" : "dirty");
    if (length <= kLoggedPayloadBytes)
        line.Add("hex", Hex(record->data, length));

    switch (record->dwCommandId)
    {
    case QZ_CIC_NOTIFY_QZELEVATE_EXIT:
        DecodeExitNotification(record->data, length, line);
        break;
    case kCmdResult:
        DecodeResultRequest(record->data, length, line, held);
        break;
    case kCmdAnswerHeld:
        AnswerHeld(line, held);
        break;
    case kCmdLoad:
        DecodeLoad(record->data, length, line);
        break;
    case kCmdWatchRelease:
        line.Add("status", "accepted");
        break;
    default:
        if (length > kLoggedPayloadBytes)
            line.Add("hex", Hex(record->data, kHexBytes));
        line.Add("status", "accepted");
        break;
    }
}

// ---------------------------------------------------------------------------
// CqzAgentStandIn

CqzAgentStandIn::CqzAgentStandIn(const std::wstring& logPath, const std::wstring& tracePath)
    : m_logPath(logPath), m_tracePath(tracePath)
{
    // The readers' own lines say why a record was refused; they go to the
    // trace file without a prefix and are copied into the log.
    D_C_Support_SetD_File(ToUtf8(m_tracePath).c_str(), 0, 1);
    D_C_Support_SetPrefix(".*", D_SCOPE_CLASS, -1, "");
    for (int level : {QZT_ERROR, QZT_WARNING, QZT_INFO, QZT_TRACE})
        D_Support_c::SetDoPrintFor(D_SCOPE_CLASS, ".*", level, 1);
}

CqzAgentStandIn::~CqzAgentStandIn()
{
    Stop();
}

bool CqzAgentStandIn::Start(DWORD& error)
{
    error = 0;
    CqzScopedLocal<void> sd;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kMutexSddl, SDDL_REVISION_1, sd.Receive(), nullptr))
    {
        error = ::GetLastError();
        return false;
    }
    SECURITY_ATTRIBUTES sa = {sizeof(sa), sd.Get(), FALSE};
    m_hMutex = ::CreateMutexW(&sa, FALSE, QZ_CIC_MUTEX_NAME);
    const DWORD createError = ::GetLastError();
    if (!m_hMutex)
    {
        error = createError;
        return false;
    }

    m_userKnown = GetProcessUserSid(m_userSid);
    m_widenFor = m_userKnown && !::IsWellKnownSid(m_userSid, WinLocalSystemSid) ? m_userSid : nullptr;

    LogLine line;
    line.Add("event", "start");
    line.Add("pid", ::GetCurrentProcessId());
    DWORD session = 0;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
    line.Add("session", session);
    line.Add("user", m_userKnown ? SidText(m_userSid) : std::string("?"));
    line.Add("mutex", createError == ERROR_ALREADY_EXISTS ? "existing" : "created");
    _AppendLog(line.Format());
    return true;
}

void CqzAgentStandIn::Stop()
{
    // Watchers end within their bounded wait.
    for (HANDLE watcher : m_watchers)
    {
        ::WaitForSingleObject(watcher, INFINITE);
        ::CloseHandle(watcher);
    }
    m_watchers.clear();
    if (!m_hMutex)
        return;
    m_held.clear();
    ::CloseHandle(m_hMutex);
    m_hMutex = nullptr;
    try
    {
        LogLine line;
        line.Add("event", "stop");
        line.Add("controls", m_seq);
        _AppendLog(line.Format());
    }
    catch (const std::exception&)
    {
    }
}

void CqzAgentStandIn::OnChannelControl()
{
    const unsigned long seq = ++m_seq;
    std::string text;
    try
    {
        const ULONGLONG traceStart = _TraceSize();
        LogLine line;
        line.Add("event", "control");
        line.Add("seq", seq);
        line.Add("mutex", _MutexHeldByOther() ? "held" : "free");

        CqzSharedMemory shm;
        SectionAttempt global = OpenAsAgent(shm, QZ_CIC_GLOBAL_SECTION_NAME, m_widenFor);
        SectionAttempt local;
        const SectionAttempt* used = &global;
        const wchar_t* name = QZ_CIC_GLOBAL_SECTION_NAME;
        if (!global.view)
        {
            local = OpenAsAgent(shm, QZ_CIC_LOCAL_SECTION_NAME, m_widenFor);
            used = &local;
            name = QZ_CIC_LOCAL_SECTION_NAME;
        }

        if (!used->view)
        {
            line.Add("section", "none");
            line.Add("global_error", global.error);
            line.Add("local_error", local.error);
            Refuse(line, "no section");
        }
        else
        {
            line.Add("section", ToUtf8(name));
            if (used == &local)
                line.Add("global_error", global.error);
            if (!used->dacl.empty())
                line.Add("dacl", used->dacl);
            if (used->widened)
                line.Add("widened", "1");

            // A private copy: the sender's view stays writable while we parse.
            const SIZE_T region = shm.GetRegionSize();
            std::vector<BYTE> copy(QZ_CIC_SECTION_SIZE, 0);
            std::memcpy(copy.data(), used->view, std::min<SIZE_T>(region, QZ_CIC_SECTION_SIZE));
            shm.Close();
            DecodeRecord(copy.data(), region, line, m_held);
            if (line.Get("status") == "accepted" && line.Get("cmd") == std::to_string(kCmdWatchRelease))
                _WatchRelease(name);
        }

        if (line.Get("status") == "refused")
        {
            const std::string trace = _ReadTraceSince(traceStart);
            if (!trace.empty())
                line.Add("trace", trace);
        }
        text = line.Format();
    }
    catch (const std::exception& e)
    {
        text = "event=control\tseq=" + std::to_string(seq) +
               "\tstatus=refused\treason=" + EscapeLogValue(std::string("exception: ") + e.what());
    }
    _AppendLog(text);
}

bool CqzAgentStandIn::_MutexHeldByOther() const
{
    const DWORD wait = ::WaitForSingleObject(m_hMutex, 0);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED)
    {
        ::ReleaseMutex(m_hMutex);
        return false;
    }
    return wait == WAIT_TIMEOUT;
}

namespace
{
struct WatchContext
{
    CqzAgentStandIn* standIn;
    HANDLE mutex;
    std::wstring sectionName;
};
const DWORD kWatchTimeoutMs = 10000;
} // namespace

void CqzAgentStandIn::_WatchRelease(const std::wstring& sectionName)
{
    HANDLE mutex = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), m_hMutex, ::GetCurrentProcess(), &mutex, 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        return;
    std::unique_ptr<WatchContext> context(new WatchContext{this, mutex, sectionName});
    HANDLE thread = ::CreateThread(nullptr, 0, _WatchThread, context.get(), 0, nullptr);
    if (!thread)
    {
        ::CloseHandle(mutex);
        return;
    }
    context.release();
    m_watchers.push_back(thread);
}

DWORD WINAPI CqzAgentStandIn::_WatchThread(void* parameter)
{
    std::unique_ptr<WatchContext> context(static_cast<WatchContext*>(parameter));
    CqzScopedHandle mutex(context->mutex);
    const DWORD wait = ::WaitForSingleObject(mutex.Get(), kWatchTimeoutMs);
    HANDLE section = ::OpenFileMappingW(READ_CONTROL, FALSE, context->sectionName.c_str());
    const DWORD openError = section ? 0 : ::GetLastError();
    if (section)
        ::CloseHandle(section);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED)
        ::ReleaseMutex(mutex.Get());
    try
    {
        LogLine line;
        line.Add("event", "after_release");
        line.Add("section", ToUtf8(context->sectionName));
        line.Add("wait", wait);
        line.Add("section_exists", section ? "1" : "0");
        line.Add("open_error", openError);
        context->standIn->_AppendLog(line.Format());
    }
    catch (const std::exception&)
    {
    }
    return 0;
}

void CqzAgentStandIn::OnOtherControl(DWORD control)
{
    try
    {
        LogLine line;
        line.Add("event", "other_control");
        line.Add("control", control);
        _AppendLog(line.Format());
    }
    catch (const std::exception&)
    {
    }
}

void CqzAgentStandIn::_AppendLog(const std::string& line)
{
    HANDLE file =
        ::CreateFileW(m_logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    CqzScopedHandle owner(file);
    std::string whole = line + "\n";
    DWORD written = 0;
    ::WriteFile(file, whole.data(), static_cast<DWORD>(whole.size()), &written, nullptr);
}

ULONGLONG CqzAgentStandIn::_TraceSize() const
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!::GetFileAttributesExW(m_tracePath.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string CqzAgentStandIn::_ReadTraceSince(ULONGLONG offset) const
{
    HANDLE file =
        ::CreateFileW(m_tracePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
    CqzScopedHandle owner(file);
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(file, position, nullptr, FILE_BEGIN))
        return std::string();
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (text.size() < 65536 && ::ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read != 0)
        text.append(buffer, read);
    // Lines joined with " | ", the last line end dropped.
    std::string joined;
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string one = text.substr(start, end - start);
        if (!one.empty() && one.back() == '\r')
            one.pop_back();
        if (!one.empty())
            joined += (joined.empty() ? "" : " | ") + one;
        start = end + 1;
    }
    return joined;
}

} // namespace qzagent
