// Pieces shared by the handle dumps: the dump file itself, flag-name lists
// and the named-object security lines.
#pragma once

#include <windows.h>

#include <string>

#include "common/util/flag_names.h"
#include "common/util/scoped.h"
#include "common/util/text_sink.h"

namespace qzdump
{

// One dump file: created anew (write access, shared for reading) with the
// UTF-16 byte-order mark written. A failure is traced under className
// ("ERROR: Failed to open dump file ... for writing. hr=", "ERROR: Failed to
// write to file ...") and leaves the object closed: the dump then ends.
class CqzDumpFile
{
public:
    CqzDumpFile(const wchar_t* path, const char* className);
    CqzDumpFile(const CqzDumpFile&) = delete;
    CqzDumpFile& operator=(const CqzDumpFile&) = delete;

    bool IsOpen() const { return m_open; }
    CqzTextSink& Sink() { return m_sink; }

private:
    CqzScopedHandle m_file;
    CqzFileTextSink m_sink;
    bool m_open = false;
};

using FlagName = CqzFlagName;

// The flag-word text of the dumps: "NULL" for 0, else the joined names.
std::wstring JoinFlagNames(DWORD value, const FlagName* names, size_t count);

// The lines of a file's security read by name (GetNamedSecurityInfoW, owner,
// group, DACL and label): "   NAMED OBJECT SECURITY:" and the descriptor's
// lines, or the line that says why there are none.
void DumpNamedObjectSecurity(const wchar_t* path, CqzTextSink& sink);

// The target a symbolic link's reparse data names (FSCTL_GET_REPARSE_POINT
// output of size bytes): its print name, else its substitute name. The bytes
// come from the file system and are not trusted: nothing past size, or past
// the length the data declares, is read. False when the data is no
// symbolic link's or names no target inside it.
bool ParseSymbolicLinkTarget(const BYTE* data, DWORD size, std::wstring& target);

} // namespace qzdump
