// Helpers of the trace library's tests: private temporary files, reading
// files back, child processes.
#pragma once

#include <windows.h>

#include "testing/harness/harness.h"

#include <string>
#include <vector>

namespace qztrace_test
{

// A fresh directory under the temporary directory, removed with its files at
// destruction.
class TempDir : public qztest::TempDir
{
public:
    TempDir() : qztest::TempDir(L"qztrace_test") {}

    std::wstring Wide(const std::wstring& name) const { return Path() + L"\\" + name; }
    std::string Utf8(const std::wstring& name) const { return qztest::ToUtf8(Wide(name)); }
};

using qztest::FromUtf8;
using qztest::ToUtf8;

// The file's bytes; empty when it cannot be read.
inline std::string ReadAll(const std::wstring& path)
{
    return qztest::ReadTextFile(path);
}
inline bool Exists(const std::wstring& path)
{
    return qztest::FileExists(path);
}
long long FileSize(const std::wstring& path);
inline void WriteAll(const std::wstring& path, const std::string& text)
{
    qztest::WriteTextFile(path, text);
}
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

inline std::wstring ModuleDir()
{
    return qztest::BinDir();
}

} // namespace qztrace_test
