// The exports of the stand-in agent libraries, with the signatures the
// launcher calls them through (all __stdcall, all HRESULT, exported under
// their undecorated names by the libraries' .def files).
//
//   qz_shex.dll: ShowEBH, QzToolExec
//   qz_bho.dll:  CallCGCOFU, ShowWB
//
// Suites do not link these: they load the DLLs. The declarations let a suite
// check at compile time that the launcher's export types match.
#pragma once

#include <windows.h>

extern "C"
{
    HRESULT WINAPI CallCGCOFU();
    HRESULT WINAPI ShowEBH(LPCWSTR location);
    HRESULT WINAPI QzToolExec(LPCWSTR tool, int showWindow, int argumentCount, LPWSTR* argumentsAfterTool);
    HRESULT WINAPI ShowWB(LPCWSTR address, bool autoElevate);
}
