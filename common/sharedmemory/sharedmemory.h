// Owner of one named file-mapping object and its mapped view: the agent's
// command channel section and read-only views of sections or files.
#pragma once

#include <windows.h>

#include "common/util/scoped.h"

// Size of the command channel section that Create makes or opens.
constexpr DWORD QZ_CIC_SECTION_SIZE = 0x2000;

class CqzSharedMemory
{
public:
    CqzSharedMemory() = default;
    // Unmaps the view and closes the mapping.
    virtual ~CqzSharedMemory();
    CqzSharedMemory(const CqzSharedMemory&) = delete;
    CqzSharedMemory& operator=(const CqzSharedMemory&) = delete;

    // Creates the QZ_CIC_SECTION_SIZE-byte paging-file section of that name, or
    // opens it when it exists (sa then plays no part), maps it read/write and
    // zero-fills it. Runs only under the channel mutex: it wipes whatever a
    // concurrent writer put there. A section of that name smaller than
    // QZ_CIC_SECTION_SIZE is refused with ERROR_INVALID_DATA. Null on failure,
    // with the Win32 error in GetError(). The view belongs to this object.
    BYTE* Create(const wchar_t* name, SECURITY_ATTRIBUTES* sa);

    // Read-only section of `size` bytes over an open file (GENERIC_READ at
    // least), or over the paging file for INVALID_HANDLE_VALUE; size 0 maps the
    // whole file. The file handle stays the caller's. The view is not zeroed.
    const BYTE* CreateForRead(HANDLE file, const wchar_t* name, DWORD size, SECURITY_ATTRIBUTES* sa);

    // Opens an existing section and maps it whole with the same FILE_MAP_*
    // access. Open traces its failure; TryOpen is silent and reports the error
    // through `error` as well (0 first, then the recorded code).
    BYTE* Open(const wchar_t* name, DWORD access);
    BYTE* TryOpen(const wchar_t* name, DWORD access, DWORD& error);

    // Unmaps the view and closes the mapping; the caller's last error survives.
    void Close();

    // Zeroes up to `count` bytes at the start of the view, never more than the
    // mapped region. Does nothing without a view.
    void ZeroView(SIZE_T count);

    // Size of the mapped region in whole pages; 0 without a view or when the
    // query fails.
    SIZE_T GetRegionSize();

    BYTE* GetView() const { return m_pView.Get(); }
    // Win32 error of the last create, open or map; ERROR_INVALID_HANDLE before any.
    DWORD GetError() const { return m_dwLastError; }

private:
    BYTE* _CreateAndMap(HANDLE file, const wchar_t* name, DWORD protect, DWORD size, SECURITY_ATTRIBUTES* sa,
                        DWORD mapAccess);
    BYTE* _OpenAndMap(const wchar_t* name, DWORD access);
    bool _QueryRegionSize(SIZE_T& size);

    // Close releases the view before the mapping.
    CqzScopedHandle m_hMapping;
    CqzScopedMappedView m_pView;
    DWORD m_dwLastError = ERROR_INVALID_HANDLE;
};
