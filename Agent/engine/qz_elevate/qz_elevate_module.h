// The launcher's module: the one object that carries the process from static
// initialisation to exit.
#pragma once

#include <windows.h>

class CqzElevateModule
{
public:
    // Moves tracing to the trace file of one command ("activex", "ebh",
    // "qztool", "wbh") and records the process command line there.
    void SetCommandTraceFile(const wchar_t* commandWord);

    // --- agent library entry points ---
};

// Names the start-up trace file (a bare file name) and configures tracing from
// the configuration file or the built-in defaults.
void InitTrace(const char* traceFileName);
