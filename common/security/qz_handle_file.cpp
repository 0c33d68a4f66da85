// CqzFileObjectHandle: renaming and deleting the file through its handle.
#include "common/security/qz_handle.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "common/security/qz_handle_internal.h"
#include "trace/trace.h"

using qzhandle::kFileClass;

namespace
{
// Longest name handed to the rename, in characters.
const size_t kMaxNameChars = 32767;

// SetFileInformationByHandle with its failure line.
bool SetFileInformation(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, void* information, DWORD size,
                        DWORD& lastError)
{
    if (!::SetFileInformationByHandle(file, infoClass, information, size))
    {
        lastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kFileClass,
                "ERROR: SetFileInformationByHandle failed, "
                    << " LastError=" << lastError);
        return false;
    }
    lastError = ERROR_SUCCESS;
    return true;
}
} // namespace

bool CqzFileObjectHandle::Rename(const wchar_t* newName)
{
    QZ_STACK_NAME("Rename", kFileClass);
    if (!IsValid())
    {
        m_dwLastError = ERROR_INVALID_HANDLE;
        QZTRACE(QZT_ERROR, kFileClass, "ERROR: invalid object.");
        return false;
    }
    const size_t chars = newName != nullptr ? std::wcslen(newName) : 0;
    if (chars == 0 || chars > kMaxNameChars)
    {
        m_dwLastError = ERROR_INVALID_PARAMETER;
        QZTRACE(QZT_ERROR, kFileClass, "ERROR: invalid name.");
        return false;
    }
    // The record with the name and its terminating null. In the 64-bit
    // layout the name starts 20 bytes in, so the 16 bytes of header room of
    // the 32-bit layout would be too few there.
    const size_t nameBytes = (chars + 1) * sizeof(wchar_t);
    size_t size = nameBytes + 16;
    if (size < offsetof(FILE_RENAME_INFO, FileName) + nameBytes)
        size = offsetof(FILE_RENAME_INFO, FileName) + nameBytes;
    CqzScopedHeap<FILE_RENAME_INFO> information(static_cast<FILE_RENAME_INFO*>(std::calloc(1, size)));
    if (!information)
    {
        m_dwLastError = ERROR_OUTOFMEMORY;
        QZTRACE(QZT_ERROR, kFileClass, "ERROR: alloc failed.");
        return false;
    }
    information.Get()->ReplaceIfExists = FALSE;
    information.Get()->RootDirectory = nullptr;
    information.Get()->FileNameLength = static_cast<DWORD>(chars * sizeof(wchar_t));
    std::memcpy(information.Get()->FileName, newName, nameBytes);
    return SetFileInformation(m_h, FileRenameInfo, information.Get(), static_cast<DWORD>(size), m_dwLastError);
}

bool CqzFileObjectHandle::Delete()
{
    QZ_STACK_NAME("Delete", kFileClass);
    if (!IsValid())
    {
        m_dwLastError = ERROR_INVALID_HANDLE;
        QZTRACE(QZT_ERROR, kFileClass, "ERROR: invalid object.");
        return false;
    }
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    return SetFileInformation(m_h, FileDispositionInfo, &disposition, sizeof(disposition), m_dwLastError);
}
