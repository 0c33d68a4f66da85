// The agent service stand-in's work, apart from the service plumbing: owning
// the channel mutex, reading the channel section on each control 130,
// checking and decoding the record, answering result blocks, and logging
// what arrived (format in agent_protocol.h).
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/cust_cmd/cust_cmd.h"

namespace qzagent
{

// One log line under construction: key=value fields in order.
class LogLine
{
public:
    void Add(const std::string& key, const std::string& value);
    void Add(const std::string& key, unsigned long value);
    void AddHex(const std::string& key, unsigned long value);
    // "key=value\tkey=value..." without a line end; values escaped.
    std::string Format() const;
    // Value of the first field of that key; empty when absent.
    std::string Get(const std::string& key) const;

private:
    std::vector<std::pair<std::string, std::string>> m_fields;
};

// Result blocks whose answer waits for kCmdAnswerHeld.
struct HeldResult
{
    std::unique_ptr<CqzCustCmdResultServer> server;
    DWORD answer = 0;
};

// Checks and decodes one record. section: a private copy of the section's
// first QZ_CIC_SECTION_SIZE bytes (zeros past the mapped region);
// regionSize: the mapped region as the view reported it. Never throws for
// any bytes; allocation failures propagate as std::bad_alloc.
void DecodeRecord(const BYTE* section, SIZE_T regionSize, LogLine& line, std::vector<HeldResult>& held);

// Payloads up to this size are logged whole in hex.
constexpr DWORD kLoggedPayloadBytes = 256;

class CqzAgentStandIn
{
public:
    // Files: the received-records log and the trace file (UTF-16 paths).
    CqzAgentStandIn(const std::wstring& logPath, const std::wstring& tracePath);
    ~CqzAgentStandIn();
    CqzAgentStandIn(const CqzAgentStandIn&) = delete;
    CqzAgentStandIn& operator=(const CqzAgentStandIn&) = delete;

    // Creates the channel mutex (granting senders SYNCHRONIZE and
    // MUTEX_MODIFY_STATE) and logs the start. False, with the Win32 error,
    // when the mutex cannot be had.
    bool Start(DWORD& error);
    // Logs the stop, closes the mutex and drops held results.
    void Stop();

    // Control 130: reads the section under the name in use (global, else
    // local), decodes the record and logs one line. Never throws.
    void OnChannelControl();
    // Any other user-defined control: logged.
    void OnOtherControl(DWORD control);

private:
    bool _MutexHeldByOther() const;
    void _WatchRelease(const std::wstring& sectionName);
    static DWORD WINAPI _WatchThread(void* context);
    void _AppendLog(const std::string& line);
    std::string _ReadTraceSince(ULONGLONG offset) const;
    ULONGLONG _TraceSize() const;

    std::wstring m_logPath;
    std::wstring m_tracePath;
    HANDLE m_hMutex = nullptr;
    unsigned long m_seq = 0;
    std::vector<HeldResult> m_held;
    std::vector<HANDLE> m_watchers;
    // The service's own user, read once at the start: it does not change
    // while the service runs, and every record would otherwise read it twice.
    BYTE m_userSid[SECURITY_MAX_SID_SIZE] = {};
    bool m_userKnown = false;
    // m_userSid when a section's DACL is to be widened for it (a service not
    // running as LocalSystem), else null.
    const BYTE* m_widenFor = nullptr;
};

} // namespace qzagent
