// Helpers of the qz_diag suites: one run of qz_diag.exe with its output
// captured and split into lines, a suspended child process, and line
// lookups whose failure messages show the whole output.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "testing/harness/harness.h"

namespace qzdiagtest
{

// One run of qz_diag.exe.
struct DiagRun
{
    qztest::ProcessResult result;
    std::string outBytes;
    std::string errBytes;
    bool outIsUtf8 = false;
    bool errIsUtf8 = false;
    std::wstring out;
    std::wstring err;
    std::vector<std::wstring> lines;    // standard output split at "\r\n"
    std::vector<std::wstring> errLines; // standard error likewise

    DWORD Exit() const { return result.exitCode; }
    // The first line that starts with the prefix; "<no line>" when none does.
    std::wstring LineStarting(const std::wstring& prefix) const;
    bool HasLine(const std::wstring& line) const;
    // The whole output for failure messages (UTF-8).
    std::string Text() const;
};

// The built qz_diag.exe beside the suite.
std::wstring DiagExe();
// Runs exe (default: DiagExe()) with the arguments, each quoted as needed.
DiagRun RunDiag(const std::vector<std::wstring>& args, const qztest::RunOptions& options = {},
                const std::wstring& exe = std::wstring());

// Whether bytes are well-formed UTF-8 (empty counts as well-formed).
bool IsUtf8(const std::string& bytes);

// A child process created suspended (with a token when given), terminated
// when the object goes.
class SuspendedChild
{
public:
    SuspendedChild(const std::wstring& exe, const std::wstring& cmdLine, const std::wstring& cwd = std::wstring(),
                   HANDLE token = nullptr);
    ~SuspendedChild();
    SuspendedChild(const SuspendedChild&) = delete;
    SuspendedChild& operator=(const SuspendedChild&) = delete;

    bool Started() const { return m_process.IsValid(); }
    DWORD Error() const { return m_error; }
    DWORD Pid() const { return m_pid; }
    DWORD ThreadId() const { return m_threadId; }
    HANDLE Process() const { return m_process.Get(); }

private:
    qztest::ScopedHandle m_process;
    qztest::ScopedHandle m_thread;
    DWORD m_pid = 0;
    DWORD m_threadId = 0;
    DWORD m_error = 0;
};

// A path or name as qz_diag's lines show it: whole up to 80 characters,
// else the first 80 and "... (<n> characters)".
std::wstring Shown(const std::wstring& text);
// "0x%.8X"
std::wstring Hex8(DWORD value);
// The SID string of the token's user; empty when it cannot be read.
std::wstring TokenUserSid(HANDLE token);

} // namespace qzdiagtest
