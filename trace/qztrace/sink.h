// The trace file: opening, whole-line appends shared with other processes,
// and size-based rotation.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

namespace qztrace
{

extern std::atomic<bool> g_sinkOpen;

// Opens the file (UTF-8 path; missing directories are created) and makes it
// the trace file. The path that is already open is left as it is. A path that
// cannot be opened leaves no trace file; error then says why.
bool SinkOpen(const char* utf8Path, bool append, std::string* error);
void SinkClose();

// Appends the text with one write. Lines of other threads and processes never
// interleave with it.
void SinkWrite(const char* data, size_t length);

// filesKept or bytesPerFile <= 0: no rotation.
void SinkSetRotation(int filesKept, int bytesPerFile);

// Set at process exit: writes that would wait for a lock are dropped.
void SinkProcessExiting();

} // namespace qztrace
