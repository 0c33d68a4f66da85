// Helpers of the dump suites: dump files read back, and the lines a dump
// must hold for an object computed from the object itself by plain system
// calls (NtQueryObject, GetSecurityInfo, AccessCheck, the SDDL conversion).
#pragma once

#include <windows.h>

#include <aclapi.h>

#include <string>
#include <vector>

namespace qzdumptest
{

using Lines = std::vector<std::wstring>;

// "0x%.8X" / 16 upper-case digits without prefix / decimal of a 64-bit value.
std::wstring Hex8(DWORD value);
std::wstring Hex16(ULONGLONG value);
std::wstring Dec(long long value);
// The C runtime's "%p" of a pointer: upper-case hex, pointer-wide.
std::wstring PointerText(const void* pointer);

// The dump file's lines; false (problem says why) unless the file is a
// UTF-16LE text with the byte-order mark and every line ended by "\r\n".
bool ReadDump(const std::wstring& path, Lines& lines, std::string& problem);

// The lines the library's descriptor rendering gives for a descriptor; the
// first must be "   SECURITY DESCRIPTOR: " and the descriptor's SDDL (owner,
// group, DACL, label), which the helper checks (sddlMismatch tells).
Lines DescriptorLines(PSECURITY_DESCRIPTOR descriptor, std::string* sddlMismatch = nullptr);

// The access and security lines a handle's DumpInfo must give, from the
// handle (NtQueryObject, GetSecurityInfo with the object type) and the
// calling thread's own token (AccessCheck, MAXIMUM_ALLOWED).
Lines ExpectedInfoLines(HANDLE handle, SE_OBJECT_TYPE type);

// While it lives, records for one dumped path whether the calling thread
// impersonated at each GetFileAttributesW and CreateFileW of that path (as
// the library hands it to the system) and at each creation of the dump file
// for writing: import-table hooks of the executable. One at a time.
class DumpCallRecorder
{
public:
    DumpCallRecorder(const std::wstring& path, const std::wstring& dumpPath);
    ~DumpCallRecorder();
    DumpCallRecorder(const DumpCallRecorder&) = delete;
    DumpCallRecorder& operator=(const DumpCallRecorder&) = delete;

    bool Installed() const;
    // One digit per call, in order: "1" impersonating, "0" not.
    std::string Attributes() const;
    std::string Opens() const;
    std::string DumpOpens() const;

private:
    struct Hooks;
    Hooks* m_hooks;
};

// Appends b to a.
void Append(Lines& a, const Lines& b);

// "expected vs actual" line by line, for failure messages.
std::string Diff(const Lines& expected, const Lines& actual);

} // namespace qzdumptest
