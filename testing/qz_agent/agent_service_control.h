// Test helpers around the agent service stand-in: installing it with the
// service control manager into an agent installation tree, starting and
// stopping it, reading its log of received records, and writing records of
// any shape into the channel section by hand.
//
// Suites that use these touch HKLM\SYSTEM\CurrentControlSet\Services\qz_agent
// and the machine-wide channel objects: register them with
// LOCKS agent_service_key agent_service.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "testing/harness/harness.h"

class CqzCustCmdResultClient;

namespace qztest
{

// One line of the stand-in's log, split into its fields.
struct AgentLogEntry
{
    std::string raw;
    std::map<std::string, std::string> fields;

    bool Has(const std::string& key) const { return fields.count(key) != 0; }
    // Empty when absent.
    std::string Get(const std::string& key) const;
    // -1 when absent or not a number.
    long long Number(const std::string& key) const;
};

AgentLogEntry ParseAgentLogLine(const std::string& line);
std::vector<AgentLogEntry> ReadAgentLog(const std::wstring& path);
// Only the entries of control 130 ("event=control").
std::vector<AgentLogEntry> ControlEntries(const std::vector<AgentLogEntry>& entries);

// State of the qz_agent service; 0 when it is not installed or cannot be
// queried (error then says why).
DWORD QueryAgentServiceState(DWORD* error = nullptr);

// Stops and deletes any service named qz_agent and waits until the manager no
// longer knows it. True when it is gone.
bool RemoveAgentService(DWORD timeoutMs = 30000);

// The stand-in installed as the qz_agent service with ImagePath
// "\"<install>\bin\qz_agent.exe\"" (the quoted form the launcher's location
// check reads), demand start, own process. The destructor stops and deletes
// it and waits until it is gone.
class AgentService
{
public:
    // Copies qz_agent.exe and the DLLs it needs into install.BinDir(), removes
    // a leftover service of that name and creates the service.
    explicit AgentService(const AgentInstall& install);
    // The same with the stand-in and its files taken from another build's
    // binary directory (a 64-bit agent for 32-bit senders).
    AgentService(const AgentInstall& install, const std::wstring& fromDir, const std::vector<std::wstring>& files);
    ~AgentService();
    AgentService(const AgentService&) = delete;
    AgentService& operator=(const AgentService&) = delete;

    bool Installed() const { return m_installed; }
    // Win32 error of the failed step of installing, starting or stopping.
    DWORD Error() const { return m_error; }
    const std::string& FailedStep() const { return m_failedStep; }

    // StartServiceW and wait for SERVICE_RUNNING.
    bool Start(DWORD timeoutMs = 30000);
    // Stop control and wait for SERVICE_STOPPED.
    bool Stop(DWORD timeoutMs = 30000);

    std::wstring LogPath() const;
    std::wstring TracePath() const;
    std::vector<AgentLogEntry> ReadLog() const { return ReadAgentLog(LogPath()); }
    std::vector<AgentLogEntry> Controls() const { return ControlEntries(ReadLog()); }
    // Deletes the log (between cases).
    void ClearLog() const;

private:
    bool _Fail(const char* step, DWORD error);

    std::wstring m_binDir;
    bool m_installed = false;
    DWORD m_error = 0;
    std::string m_failedStep;
};

// Outcome of writing a section by hand.
struct RawSendResult
{
    bool sent = false; // ControlService succeeded
    DWORD error = 0;   // error of the failed step
    std::string step;  // name of the failed step
};

// Takes the channel mutex, creates (or opens) a section of `name` and
// `sectionSize` bytes with the given security (null: default), copies `bytes`
// to its start (the rest stays zero for a new section) and sends control 130;
// releases everything after the control returns.
RawSendResult SendRawSection(const std::vector<BYTE>& bytes, DWORD sectionSize = 0x2000,
                             const wchar_t* name = L"Global\\QzCustCmdFileMapName", SECURITY_ATTRIBUTES* sa = nullptr);

// ControlService(130) on a freshly opened service handle, with no section
// prepared; the Win32 error, 0 on success.
DWORD SendBareControl();

// Payload of the stand-in's load command: the tag as a string field, then a
// byte block of the tag's pattern.
std::vector<BYTE> BuildLoadPayload(const std::wstring& tag, DWORD blockSize);
// Payload of the stand-in's result command, with the client's result block.
// Empty when the client refuses to write its block.
std::vector<BYTE> BuildResultPayload(DWORD pid, DWORD mode, DWORD answer, CqzCustCmdResultClient& client);

// The files the stand-in needs beside it.
std::vector<std::wstring> AgentStandInFiles();

} // namespace qztest
