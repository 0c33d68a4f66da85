// Helpers shared by the test suites: child processes with their full 32-bit
// exit codes, registry fixtures, temporary directory trees that look like an
// agent installation, and trace-file readers.
#pragma once

#include <windows.h>

#include "common/util/scoped.h"

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

// Quotes one argument the way CommandLineToArgvW splits it back.
std::wstring QuoteArg(const std::wstring& arg);

// Path of the running test executable and its directory (where every built
// binary lives).
std::wstring ModulePath();
std::wstring BinDir();

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

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

// Captures trace lines of this process in a private file: no prefix, levels
// 100..600 and 3838 on. Lines() returns what was written since construction.
class TraceCapture
{
public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<std::string> Lines() const;
    std::string Text() const;
    const std::wstring& Path() const { return m_path; }

private:
    TempDir m_dir;
    std::wstring m_path;
};

} // namespace qztest
