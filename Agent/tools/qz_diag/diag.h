// qz_diag: the support diagnostic command. A thin front over the shared
// library: each command asks the library's own classes and writes their
// report texts, to the console as UTF-8 or with --out into a UTF-16 report
// file. It changes nothing on the machine and sends nothing to the agent.
//
// Exit codes: 0 the report was written, 1 the thing asked about could not be
// read (one line on the error stream: what, the Win32 error and its system
// text), 2 a usage error (one line and the usage on the error stream).
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "common/util/scoped.h"
#include "common/util/text_sink.h"

namespace qzdiag
{

const int kExitWritten = 0;
const int kExitNotRead = 1;
const int kExitUsage = 2;

// The longest path the file functions accept (the "\\?\" form).
const size_t kMaxPathChars = 32767;

enum class Command
{
    None,
    Token,
    Object,
    Access,
    Process,
    Processes,
    Os,
    Agent,
};

enum class ObjectKind
{
    None,
    File,
    Key,
    Service,
    WindowStation,
    Desktop,
};

// One parsed command line.
struct Options
{
    Command command = Command::None;
    bool help = false;
    std::wstring outPath; // empty: the console
    bool hasOut = false;

    // token, access, process
    bool hasPid = false;
    DWORD pid = 0;
    bool self = false;
    // token
    bool shortReport = false;
    bool censor = false;
    bool noLinked = false;
    // object, access
    ObjectKind object = ObjectKind::None;
    std::wstring target; // the path, key or service name
    HKEY keyRoot = nullptr;
    std::wstring keyPath;
};

// Parses the arguments after the program name. False with the reason in
// error (a usage error); options.command is set as far as it was read, for
// the usage of that command.
bool ParseArguments(int argc, const wchar_t* const* argv, Options& options, std::wstring& error);
// The usage text: of every command (Command::None) or of one.
std::wstring UsageText(Command command);

// Why a command could not read what it was asked about: a description and a
// Win32 error, written as one line.
struct Failure
{
    std::wstring what;
    DWORD error = ERROR_SUCCESS;

    bool Set(const std::wstring& description, DWORD win32Error)
    {
        what = description;
        error = win32Error;
        return false;
    }
    // "qz_diag: <what>: error <n>: <system text>"
    std::wstring Line() const;
};

// Where a report goes: the console (kept in memory until Finish) or the
// UTF-16 report file named with --out.
class Report
{
public:
    explicit Report(const Options& options);
    ~Report();
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;

    // The sink of reports written line by line; the --out file is created
    // (with its byte-order mark) on the first call, or, after a dump, opened
    // to append to the dump's lines. Null when it cannot be created: the
    // failure says why.
    CqzTextSink* Sink(Failure& failure);
    // The file that a library dump writes itself: the --out file, or a
    // temporary one whose text Finish sends to the console. Empty when no
    // temporary file can be had.
    std::wstring DumpPath(Failure& failure);
    // Sends the console text (the sink's, then a dump file's) to standard
    // output as UTF-8. False when a dump file is missing or unreadable or
    // the output cannot be written.
    bool Finish(Failure& failure);

private:
    bool m_toFile;
    std::wstring m_outPath;
    CqzScopedHandle m_file;
    std::unique_ptr<CqzFileTextSink> m_fileSink;
    CqzStringTextSink m_text;
    CqzStringTextSink m_afterDump;
    std::wstring m_dumpPath;
    bool m_dumpIsTemporary = false;
};

// Writes UTF-16 text to a standard stream as UTF-8 bytes (the console
// switched to the UTF-8 code page). False when it cannot be written.
bool WriteUtf8(DWORD stdHandle, const std::wstring& text, DWORD& error);

// The commands. Each answers false with the failure filled when what it was
// asked about could not be read; true when the report was written to the
// report (items that could not be read become lines of it).
bool RunToken(const Options& options, Report& report, Failure& failure);
bool RunObject(const Options& options, Report& report, Failure& failure);
bool RunAccess(const Options& options, Report& report, Failure& failure);
bool RunProcess(const Options& options, Report& report, Failure& failure);
bool RunProcesses(const Options& options, Report& report, Failure& failure);
bool RunOs(const Options& options, Report& report, Failure& failure);
bool RunAgent(const Options& options, Report& report, Failure& failure);

// Shared pieces of the commands.
// "error <n> (<system text>)"
std::wstring ErrorText(DWORD error);
// A path or name as it appears in a failure line: shortened when very long.
std::wstring Shown(const std::wstring& text);
// "I386", "AMD64", "ARM64", "ARMNT", "unknown" for 0, else "0x%.4X".
std::wstring MachineName(USHORT machine);
// "yes" / "no"
const wchar_t* YesNo(bool value);

} // namespace qzdiag
