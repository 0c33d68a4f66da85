// Helpers of the trace library's tests: private temporary files, reading
// files back, child processes.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qztrace_test
{

// A fresh directory under the temporary directory, removed with its files
// (one level of subdirectories) at destruction.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::wstring& Path() const { return m_path; }
    std::wstring Wide(const std::wstring& name) const { return m_path + L"\\" + name; }
    std::string Utf8(const std::wstring& name) const;

private:
    std::wstring m_path;
};

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

// The file's bytes; empty when it cannot be read.
std::string ReadAll(const std::wstring& path);
bool Exists(const std::wstring& path);
long long FileSize(const std::wstring& path);
void WriteAll(const std::wstring& path, const std::string& text);
// Lines of the text, each without its "\n"; a last piece without "\n" is
// returned with a trailing "<no newline>" marker.
std::vector<std::string> Lines(const std::string& text);

// A level no other test uses, so that the process-wide rules of one test do
// not reach another.
int FreshLevel();

// Runs the program beside the test executable; the process handle (owned by
// the caller) or null. With mainThread, its first thread's handle as well.
HANDLE StartChild(const std::wstring& exeName, const std::wstring& arguments, HANDLE* mainThread = nullptr);
// Waits for the process and returns its exit code (0xFFFFFFFF on time-out).
DWORD WaitChild(HANDLE process, DWORD timeoutMs = 120000);

std::wstring ModuleDir();

} // namespace qztrace_test
