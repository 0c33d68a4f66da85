// Helpers shared by the test suites, one of each: child processes with their
// full 32-bit exit codes, registry fixtures and value restorers, Wine's
// per-program Windows version, probe result files, SDDL texts, tokens made
// from the process token, temporary directory trees that look like an agent
// installation, and trace readers that keep each line's level and class.
#pragma once

#include <windows.h>

#include "common/util/scoped.h"
#include "trace/qztrace.h" // the levels of TraceEntry

#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace qztest
{

// Closes a kernel handle on scope exit (NULL and INVALID_HANDLE_VALUE are
// empty): the product's own holder.
using ScopedHandle = ::CqzScopedHandle;

// Outcome of one child process run.
struct ProcessResult
{
    bool started = false;  // CreateProcess(AsUser)W succeeded
    bool finished = false; // the process ended within the time-out
    DWORD error = 0;       // Win32 error when not started
    DWORD pid = 0;
    DWORD exitCode = 0; // full 32 bits, from GetExitCodeProcess
};

struct RunOptions
{
    HANDLE token = nullptr;       // primary token: CreateProcessAsUserW; null: CreateProcessW
    const wchar_t* cwd = nullptr; // current directory of the child
    DWORD timeoutMs = 60000;      // a child still running then is terminated
    const wchar_t* desktop = nullptr;
    int showWindow = -1; // STARTF_USESHOWWINDOW with this value; -1: none
};

// Runs exePath with the full command line cmdLine (argument 0 included, as the
// child's GetCommandLineW will show it) and waits for it.
ProcessResult RunProcess(const std::wstring& exePath, const std::wstring& cmdLine, const RunOptions& options = {});

// The same with the child's standard output and error captured, each
// through its own pipe read while the child runs (standard input is NUL).
struct CapturedRun
{
    ProcessResult result;
    std::string out; // the bytes written to standard output
    std::string err; // the bytes written to standard error
};
CapturedRun RunProcessCaptured(const std::wstring& exePath, const std::wstring& cmdLine,
                               const RunOptions& options = {});

// Quotes one argument the way CommandLineToArgvW splits it back.
std::wstring QuoteArg(const std::wstring& arg);

// Path of the running test executable and its directory (where every built
// binary lives).
std::wstring ModulePath();
std::wstring BinDir();

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

// Registry: one value put back as it was when the guard goes (written again
// with its type and bytes, or deleted when it was absent; the key too when
// the key was absent).
class RegValueRestorer
{
public:
    RegValueRestorer(HKEY root, const std::wstring& subKey, const std::wstring& name, REGSAM view = 0);
    ~RegValueRestorer();
    RegValueRestorer(const RegValueRestorer&) = delete;
    RegValueRestorer& operator=(const RegValueRestorer&) = delete;

    // Writes the value now (the key is created when missing).
    bool Set(DWORD type, const void* data, DWORD size) const;
    bool SetString(const std::wstring& text, DWORD type = REG_SZ) const;
    bool SetDword(DWORD value) const;
    bool Delete() const;

private:
    HKEY m_root;
    std::wstring m_subKey;
    std::wstring m_name;
    REGSAM m_view;
    bool m_keyExisted = false;
    bool m_existed = false;
    DWORD m_type = REG_NONE;
    std::vector<BYTE> m_data;
};

// Wine's per-program Windows version (HKCU\Software\Wine\AppDefaults\<exe
// name>\Version, "winxp", "win7", "win10" ...) while the object lives: a
// program started under that name meanwhile sees that version. Removed with
// its key when the object goes.
class WineVersionScope
{
public:
    WineVersionScope(const std::wstring& exeName, const std::wstring& version);
    ~WineVersionScope();
    WineVersionScope(const WineVersionScope&) = delete;
    WineVersionScope& operator=(const WineVersionScope&) = delete;

    bool Ok() const { return m_ok; }
    static std::wstring KeyPath(const std::wstring& exeName); // Software\Wine\AppDefaults\<exe name>

private:
    std::wstring m_key;
    bool m_ok = false;
};

// Registry: a key deleted with its whole tree when the guard goes.
class RegKeyGuard
{
public:
    RegKeyGuard(HKEY root, const std::wstring& subKey);
    ~RegKeyGuard();
    RegKeyGuard(const RegKeyGuard&) = delete;
    RegKeyGuard& operator=(const RegKeyGuard&) = delete;

    bool Created() const { return m_created; }
    HKEY Root() const { return m_root; }
    const std::wstring& SubKey() const { return m_subKey; }

private:
    HKEY m_root;
    std::wstring m_subKey;
    bool m_created = false;
};

// view: 0 for the process's own registry view, KEY_WOW64_64KEY or
// KEY_WOW64_32KEY for that one.
bool CreateRegKey(HKEY root, const std::wstring& subKey, REGSAM view = 0);
bool DeleteRegTree(HKEY root, const std::wstring& subKey, REGSAM view = 0);
// Writes a string value with its terminator (type REG_SZ or REG_EXPAND_SZ).
bool SetRegString(HKEY root, const std::wstring& subKey, const std::wstring& name, const std::wstring& value,
                  DWORD type = REG_SZ, REGSAM view = 0);
// Writes raw bytes with any type: odd byte counts, missing terminators.
bool SetRegBytes(HKEY root, const std::wstring& subKey, const std::wstring& name, const void* data, DWORD size,
                 DWORD type, REGSAM view = 0);
bool SetRegDword(HKEY root, const std::wstring& subKey, const std::wstring& name, DWORD value);
bool DeleteRegValue(HKEY root, const std::wstring& subKey, const std::wstring& name);
// Whether the key opens for reading.
bool RegKeyExists(HKEY root, const std::wstring& subKey);

// Probe programs report key=value lines; the first '=' splits. Repeated keys
// keep the last value in values and all of them, in order, in All().
struct KeyValues
{
    std::map<std::string, std::string> values;
    std::multimap<std::string, std::string> multi;

    bool Has(const std::string& key) const { return values.count(key) != 0; }
    // The value, or "<missing>" (a text no probe writes) when absent.
    std::string Get(const std::string& key) const;
    std::vector<std::string> All(const std::string& key) const;
};
KeyValues ParseKeyValues(const std::vector<std::string>& lines); // a "\r" before "\n" is dropped
KeyValues ReadKeyValues(const std::wstring& path);

// Security descriptors as SDDL text, for exact comparisons such as
// EXPECT_EQ("D:(A;;GA;;;SY)", ...). "(unconvertible)" when the system cannot
// convert it, "(unreadable)" when the object's descriptor cannot be read.
std::string SddlOf(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION parts);
// The DACL of a kernel object through its handle (READ_CONTROL): "D:...".
std::string ObjectDaclSddl(HANDLE object);
std::wstring SidToString(PSID sid); // empty for null or an invalid SID
// The library's trace text of an account SID, from LookupAccountSidW:
// "Name=[DOMAIN\name] SID=[S-...]", "Name=[name] SID=[S-...]" without a
// domain, "SID=[S-...]" when the SID names no account.
std::wstring AccountTraceText(PSID sid);

// Tokens derived from this process's token, each an owned handle (empty on
// failure, with the failing call's error as the last error).
ScopedHandle OpenOwnProcessToken(); // TOKEN_ALL_ACCESS
// A duplicate with full access, primary or impersonation.
ScopedHandle DuplicatePrimary(HANDLE token);
ScopedHandle DuplicateImpersonation(HANDLE token, PSECURITY_DESCRIPTOR descriptor = nullptr);
// BUILTIN\Administrators made deny-only (CreateRestrictedToken), primary.
ScopedHandle RestrictedAdministratorsDenyOnly(HANDLE token);
// Removed privilege (CreateRestrictedToken), primary.
ScopedHandle WithoutPrivilege(HANDLE token, const wchar_t* privilege);
// A primary duplicate with one privilege set to the given attributes
// (SE_PRIVILEGE_ENABLED, 0 for disabled, SE_PRIVILEGE_REMOVED).
ScopedHandle DuplicateWithPrivilege(HANDLE token, const wchar_t* privilege, DWORD attributes);
// Sets one privilege's attributes in the token itself (TOKEN_ADJUST_PRIVILEGES);
// false also when the token does not hold it.
bool AdjustPrivilege(HANDLE token, const wchar_t* privilege, DWORD attributes);
// The raw linked token (TokenLinkedToken, an impersonation token); empty when
// the token has none.
ScopedHandle LinkedToken(HANDLE token);
// Whether the token lists the privilege, and its attributes.
bool TokenHasPrivilege(HANDLE token, const wchar_t* privilege, DWORD* attributes = nullptr);
// Attributes of a group ("S-1-5-32-544") in the token; false when absent.
bool TokenGroupAttributes(HANDLE token, const wchar_t* sidString, DWORD& attributes);

// The calling thread impersonates a token while the object lives and
// reverts to itself after.
class ThreadImpersonation
{
public:
    explicit ThreadImpersonation(HANDLE impersonationToken);
    ~ThreadImpersonation();
    ThreadImpersonation(const ThreadImpersonation&) = delete;
    ThreadImpersonation& operator=(const ThreadImpersonation&) = delete;
    bool Active() const { return m_active; }

private:
    bool m_active = false;
};

// A unique directory under the temporary directory, removed with everything
// below it when the object goes.
class TempDir
{
public:
    explicit TempDir(const std::wstring& tag = L"qz");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::wstring& Path() const { return m_path; }
    std::wstring operator/(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

bool RemoveTree(const std::wstring& path);
bool CreateDirs(const std::wstring& path);
bool FileExists(const std::wstring& path);
bool WriteTextFile(const std::wstring& path, const std::string& content);
// Whole file as bytes; empty when it cannot be read.
std::string ReadTextFile(const std::wstring& path);
// Lines of a file, split at "\n"; a final line without "\n" is kept.
std::vector<std::string> ReadLines(const std::wstring& path);
// A report file as the library writes it: the UTF-16LE byte-order mark, then
// lines each ending in "\r\n". Fills the lines (without their ends) and
// answers true only when the file has exactly that form; `problem` then says
// what is wrong (no mark, odd byte count, text after the last "\r\n").
bool ReadUtf16Lines(const std::wstring& path, std::vector<std::wstring>& lines, std::string* problem = nullptr);
// The same split for text already in memory (no byte-order mark).
bool SplitCrLfLines(const std::wstring& text, std::vector<std::wstring>& lines, std::string* problem = nullptr);

// The agent service key the launcher's location check reads.
extern const wchar_t* const kAgentServiceKey; // SYSTEM\CurrentControlSet\Services\qz_agent

// A temporary tree that looks like an agent installation:
//   <install>\<bin>\qz_elevate.exe (and the DLLs it needs), <install>\config,
//   <install>\trace.
class AgentInstall
{
public:
    // binName: the directory of the executables under the installation.
    explicit AgentInstall(const std::wstring& binName = L"bin");
    AgentInstall(const AgentInstall&) = delete;
    AgentInstall& operator=(const AgentInstall&) = delete;

    // Copies files from the build's binary directory into <bin>.
    bool CopyFromBuild(const std::vector<std::wstring>& names);
    // Copies the launcher, qztrace.dll and the C++ runtime DLLs.
    bool CopyLauncher();

    const std::wstring& Root() const { return m_root; }
    std::wstring BinDir() const { return m_root + L"\\" + m_binName; }
    std::wstring ConfigDir() const { return m_root + L"\\config"; }
    std::wstring TraceDir() const { return m_root + L"\\trace"; }
    std::wstring LauncherPath() const { return BinDir() + L"\\qz_elevate.exe"; }
    // The "ImagePath" text for a service executable in <bin>, quoted.
    std::wstring QuotedServiceImage(const std::wstring& exeName = L"qz_agent.exe") const;

private:
    TempDir m_dir;
    std::wstring m_root;
    std::wstring m_binName;
};

// The build's own flavour, as the suites expect to see it: the architecture
// word of the launcher's trace file names and the machine type of its images.
#ifdef _WIN64
const wchar_t* const kArchWord = L"x64";
const WORD kImageMachine = IMAGE_FILE_MACHINE_AMD64;
#else
const wchar_t* const kArchWord = L"x32";
const WORD kImageMachine = IMAGE_FILE_MACHINE_I386;
#endif

// names followed by the C++ runtime DLLs of the build, for copying a program
// with what it needs to load.
std::vector<std::wstring> WithRuntime(std::vector<std::wstring> names);

// Start-up and command trace file names of the launcher for a user checksum.
std::wstring StartupTraceName(unsigned crc);
std::wstring CommandTraceName(const std::wstring& word, unsigned crc);

// One trace statement as a capture saw it: its level (QZT_ERROR ...), the
// class named in the statement (empty outside classes) and its text. A
// statement whose text holds line feeds is one entry.
struct TraceEntry
{
    int level = 0;
    std::string className;
    std::string text;

    bool operator==(const TraceEntry& other) const
    {
        return level == other.level && className == other.className && text == other.text;
    }
    bool operator!=(const TraceEntry& other) const { return !(*this == other); }
};
using TraceEntries = std::vector<TraceEntry>;

// "QZT_ERROR" for 100 and so on; the number for a level without a name.
std::string LevelName(int level);
// "QZT_ERROR|CqzCustCmdClient|ERROR: ..." in failure messages.
std::ostream& operator<<(std::ostream& os, const TraceEntry& entry);
// Entries with one level and class, for a function whose lines all share
// them: ErrorsOf("CqzCustCmdClient", {"ERROR: a", "ERROR: b"}).
TraceEntries EntriesOf(int level, const std::string& className, const std::vector<std::string>& texts);

// Captures trace lines of this process in a private file: levels 100..600
// and 3838 on, every line prefixed with its level and class so that the
// capture can tell them apart. Lines() returns the texts written since
// construction without that prefix, Entries() the statements with level and
// class, Text() the file as written (prefixes included).
class TraceCapture
{
public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<std::string> Lines() const;
    TraceEntries Entries() const;
    std::string Text() const;
    const std::wstring& Path() const { return m_path; }

    // The prefix template of the capture and the reader of one line: true
    // with level, class and text when the line starts with that prefix.
    static const char* const kPrefixTemplate;
    static bool ParseLine(const std::string& line, TraceEntry& entry);

private:
    TempDir m_dir;
    std::wstring m_path;
};

} // namespace qztest
