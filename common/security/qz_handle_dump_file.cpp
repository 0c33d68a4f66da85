// The file dump, the file attribute names and FileAccessCheck.
#include "common/security/access_token.h"
#include "common/security/qz_handle.h"
#include "common/security/qz_handle_dump_internal.h"
#include "common/security/security.h"
#include "common/ntapi/ntapi.h"
#include "common/util/exports.h"
#include "common/util/util.h"

#include "trace/trace.h"

#include <winioctl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

namespace
{

const char* const kFileClass = "CqzFileObjectHandle";

const qzdump::FlagName kFileAttributeNames[] = {
    {FILE_ATTRIBUTE_READONLY, L"READONLY"},
    {FILE_ATTRIBUTE_HIDDEN, L"HIDDEN"},
    {FILE_ATTRIBUTE_SYSTEM, L"SYSTEM"},
    {FILE_ATTRIBUTE_DIRECTORY, L"DIRECTORY"},
    {FILE_ATTRIBUTE_ARCHIVE, L"ARCHIVE"},
    {FILE_ATTRIBUTE_DEVICE, L"DEVICE"},
    {FILE_ATTRIBUTE_NORMAL, L"NORMAL"},
    {FILE_ATTRIBUTE_TEMPORARY, L"TEMPORARY"},
    {FILE_ATTRIBUTE_SPARSE_FILE, L"SPARSE_FILE"},
    {FILE_ATTRIBUTE_REPARSE_POINT, L"REPARSE_POINT"},
    {FILE_ATTRIBUTE_COMPRESSED, L"COMPRESSED"},
    {FILE_ATTRIBUTE_OFFLINE, L"OFFLINE"},
    {FILE_ATTRIBUTE_ENCRYPTED, L"ENCRYPTED"},
    {FILE_ATTRIBUTE_NOT_CONTENT_INDEXED, L"NOT_CONTENT_INDEXED"},
    // 0x10000 is the system's FILE_ATTRIBUTE_VIRTUAL; it takes that name.
    {0x10000, L"VIRTUAL"},
};

const DWORD kReparseTagMountPoint = 0xA0000003;
const DWORD kReparseTagSymbolicLink = 0xA000000C;

// The native class behind the file id: FileInternalInformation, the 64-bit
// index of the file on its volume.
const FILE_INFORMATION_CLASS kFileInternalInformation = static_cast<FILE_INFORMATION_CLASS>(6);
// STATUS_INVALID_HANDLE: the id line of a file that could not be opened.
const NTSTATUS kStatusInvalidHandle = static_cast<NTSTATUS>(0xC0000008L);

// READ_CONTROL | ACCESS_SYSTEM_SECURITY, and FILE_READ_ATTRIBUTES for a file.
const DWORD kOpenAccess = READ_CONTROL | ACCESS_SYSTEM_SECURITY;
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

typedef DWORD(WINAPI* GetFinalPathNameByHandleWFn)(HANDLE, LPWSTR, DWORD, DWORD);

// Resolved once: the function exists from Vista on.
GetFinalPathNameByHandleWFn ResolveGetFinalPathNameByHandle(DWORD& error)
{
    struct Resolved
    {
        GetFinalPathNameByHandleWFn function = nullptr;
        DWORD error = ERROR_SUCCESS;
    };
    static const Resolved resolved = []
    {
        Resolved r;
        r.function = CqzResolveExport<GetFinalPathNameByHandleWFn>(::GetModuleHandleW(L"kernel32.dll"),
                                                                   "GetFinalPathNameByHandleW");
        if (r.function == nullptr)
            r.error = ::GetLastError() != ERROR_SUCCESS ? ::GetLastError() : ERROR_PROC_NOT_FOUND;
        return r;
    }();
    error = resolved.error;
    return resolved.function;
}

// The file's final path; false with the error.
bool FinalPath(HANDLE file, std::wstring& path, DWORD& error)
{
    const GetFinalPathNameByHandleWFn function = ResolveGetFinalPathNameByHandle(error);
    if (function == nullptr)
        return false;
    std::vector<wchar_t> buffer(MAX_PATH * 4, L'\0');
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        const DWORD chars = function(file, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
        if (chars == 0)
        {
            error = ::GetLastError();
            return false;
        }
        if (chars < buffer.size())
        {
            path.assign(buffer.data(), chars);
            return true;
        }
        buffer.assign(static_cast<size_t>(chars) + 1, L'\0');
    }
    error = ERROR_INSUFFICIENT_BUFFER;
    return false;
}

// What the attribute read and the open of the dumped path gave.
struct OpenedPath
{
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    DWORD attributesError = ERROR_SUCCESS;
    CqzScopedHandle file;
    DWORD openError = ERROR_SUCCESS;
};

void ReadAndOpen(const wchar_t* path, OpenedPath& opened)
{
    opened.attributes = CqzUtil::GetFileAttributesLongPath(path);
    opened.attributesError = opened.attributes == INVALID_FILE_ATTRIBUTES ? ::GetLastError() : ERROR_SUCCESS;
    const bool directory =
        opened.attributes != INVALID_FILE_ATTRIBUTES && (opened.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const DWORD access = directory ? kOpenAccess : kOpenAccess | FILE_READ_ATTRIBUTES;
    opened.file.Reset(CqzUtil::CreateFileLongPath(path, access, kShareAll, nullptr, OPEN_EXISTING,
                                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!opened.file.IsValid() && ::GetLastError() == ERROR_PRIVILEGE_NOT_HELD)
        opened.file.Reset(CqzUtil::CreateFileLongPath(path, access & ~ACCESS_SYSTEM_SECURITY, kShareAll, nullptr,
                                                      OPEN_EXISTING, 0, nullptr));
    opened.openError = opened.file.IsValid() ? ERROR_SUCCESS : ::GetLastError();
}

// The attributes and the open, retried as the parent process's user when the
// attributes cannot be read (unless the process asked not to).
void ReadAndOpenWithRetry(const wchar_t* path, OpenedPath& opened)
{
    ReadAndOpen(path, opened);
    if (opened.attributes != INVALID_FILE_ATTRIBUTES || CqzUtil::GetNoParentImpersonation())
        return;
    CqzAccessToken parent;
    if (!parent.OpenParentProcessTokenAndImpersonate())
        return;
    OpenedPath retried;
    ReadAndOpen(path, retried);
    parent.Revert();
    opened.attributes = retried.attributes;
    opened.attributesError = retried.attributesError;
    opened.file = std::move(retried.file);
    opened.openError = retried.openError;
}

void DumpReparsePoint(const wchar_t* path, DWORD& tag, CqzTextSink& sink)
{
    tag = 0;
    WIN32_FIND_DATAW data = {};
    const std::wstring longPath = CqzUtil::MakeLongPath(path);
    const HANDLE find = ::FindFirstFileW(longPath.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
    {
        sink.PrintfLine(L"REPARSE_POINT: FindFirstFile() failed. LastError=%d", static_cast<int>(::GetLastError()));
        return;
    }
    ::FindClose(find);
    tag = data.dwReserved0;
    if (tag == kReparseTagMountPoint)
        sink.PrintfLine(L"REPARSE_POINT: %s", L"Mount Point");
    else if (tag == kReparseTagSymbolicLink)
        sink.PrintfLine(L"REPARSE_POINT: %s", L"Symbolic Link");
    else
        sink.PrintfLine(L"REPARSE_POINT: Type 0x%.8X", static_cast<unsigned>(tag));
}

// The link's target as its reparse data names it.
bool SymbolicLinkTarget(const wchar_t* path, std::wstring& target, DWORD& error)
{
    CqzScopedHandle link(CqzUtil::CreateFileLongPath(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                                     FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                                     nullptr));
    if (!link.IsValid())
    {
        error = ::GetLastError();
        return false;
    }
    std::vector<BYTE> data(MAXIMUM_REPARSE_DATA_BUFFER_SIZE, 0);
    DWORD returned = 0;
    if (!::DeviceIoControl(link.Get(), FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                           static_cast<DWORD>(data.size()), &returned, nullptr))
    {
        error = ::GetLastError();
        return false;
    }
    if (!qzdump::ParseSymbolicLinkTarget(data.data(), std::min<DWORD>(returned, static_cast<DWORD>(data.size())),
                                         target))
    {
        error = ERROR_INVALID_DATA;
        return false;
    }
    error = ERROR_SUCCESS;
    return true;
}

void DumpSymbolicLink(const wchar_t* path, CqzTextSink& sink)
{
    std::wstring target;
    DWORD error = ERROR_SUCCESS;
    if (SymbolicLinkTarget(path, target, error))
        sink.PrintfLine(L"SYMBOLIC LINK TARGET: %s", target.c_str());
    else
        sink.PrintfLine(L"SYMBOLIC_LINK: Failed to get target. LastError=%d", static_cast<int>(error));

    sink.PrintfLine(L"SYMBOLIC LINK SECURITY:");
    qzdump::DumpNamedObjectSecurity(path, sink);

    sink.PrintfLine(L"SYMBOLIC LINK TARGET SECURITY:");
    // Opened through the link: the handle is the target's.
    const HANDLE opened = CqzUtil::CreateFileLongPath(path, READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const DWORD openError = ::GetLastError();
    CqzFileObjectHandle targetHandle(opened);
    if (!targetHandle.IsValid())
    {
        sink.PrintfLine(L"   ERROR: CreateFile() failed. LastError=%d", static_cast<int>(openError));
        return;
    }
    targetHandle.DumpInfo(sink);
}

void DumpFileLines(const wchar_t* path, const OpenedPath& opened, CqzTextSink& sink)
{
    const bool valid = opened.file.IsValid();
    HANDLE file = opened.file.Get();

    std::wstring finalPath;
    DWORD error = opened.openError;
    if (valid && FinalPath(file, finalPath, error))
        sink.PrintfLine(L"FINAL PATH: %s", finalPath.c_str());
    else
        sink.PrintfLine(L"FINAL PATH: Failed to get final path. LastError=%d", static_cast<int>(error));

    LARGE_INTEGER fileId = {};
    IO_STATUS_BLOCK io = {};
    const NTSTATUS status =
        valid ? CqzNTAPI::NtQueryInformationFile(file, &io, &fileId, sizeof(fileId), kFileInternalInformation)
              : kStatusInvalidHandle;
    if (status >= 0)
        sink.PrintfLine(L"FLID: %I64d (0x%.16I64X)", fileId.QuadPart, fileId.QuadPart);
    else
        sink.PrintfLine(L"FLID: Failed. Status=%d", static_cast<int>(status));

    LARGE_INTEGER size = {};
    if (valid && ::GetFileSizeEx(file, &size))
        sink.PrintfLine(L"SIZE: %I64d bytes", size.QuadPart);
    else
        sink.PrintfLine(L"SIZE: Failed. LastError=%d", static_cast<int>(valid ? ::GetLastError() : opened.openError));

    if (opened.attributes == INVALID_FILE_ATTRIBUTES)
    {
        sink.PrintfLine(L"ATTR: GetFileAttributes() failed. LastError=%d", static_cast<int>(opened.attributesError));
        return;
    }
    sink.PrintfLine(L"ATTR: 0x%.8X (%s)", static_cast<unsigned>(opened.attributes),
                    CqzFileObjectHandle::GetFileAttributesString(opened.attributes).c_str());
    if ((opened.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return;
    DWORD tag = 0;
    DumpReparsePoint(path, tag, sink);
    if (tag == kReparseTagSymbolicLink)
        DumpSymbolicLink(path, sink);
}

} // namespace

namespace qzdump
{

bool ParseSymbolicLinkTarget(const BYTE* data, DWORD size, std::wstring& target)
{
    // Tag, data length, reserved word; then the four name words and the flags.
    const size_t headerBytes = 8;
    const size_t namesStart = headerBytes + 12;
    if (data == nullptr || size < namesStart)
        return false;
    const auto word = [data](size_t offset) { return static_cast<USHORT>(data[offset] | (data[offset + 1] << 8)); };
    DWORD tag = 0;
    std::memcpy(&tag, data, sizeof(tag));
    if (tag != kReparseTagSymbolicLink)
        return false;
    const size_t end = std::min<size_t>(size, headerBytes + word(4));
    const auto nameAt = [&](size_t offsetField, std::wstring& name)
    {
        const size_t offset = word(offsetField);
        const size_t length = word(offsetField + 2);
        if (length == 0 || length % sizeof(wchar_t) != 0 || namesStart + offset + length > end)
            return false;
        name.assign(length / sizeof(wchar_t), L'\0');
        std::memcpy(&name[0], data + namesStart + offset, length);
        return true;
    };
    // The print name is meant for people; the substitute name is the fallback.
    return nameAt(12, target) || nameAt(8, target);
}

} // namespace qzdump

std::wstring CqzFileObjectHandle::GetFileAttributesString(DWORD attributes)
{
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return L"INVALID";
    return qzdump::JoinFlagNames(attributes, kFileAttributeNames,
                                 sizeof(kFileAttributeNames) / sizeof(kFileAttributeNames[0]));
}

void CqzFileObjectHandle::Dump(const wchar_t* path, const wchar_t* dumpPath)
{
    QZ_STACK_NAME("Dump", kFileClass);
    const wchar_t* shownPath = path != nullptr ? path : L"";
    // Read before the dump file exists: a dump of its own path then shows
    // the path as it was.
    OpenedPath opened;
    ReadAndOpenWithRetry(shownPath, opened);

    qzdump::CqzDumpFile file(dumpPath, kFileClass);
    if (!file.IsOpen())
        return;
    CqzTextSink& sink = file.Sink();
    const bool directory =
        opened.attributes != INVALID_FILE_ATTRIBUTES && (opened.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const wchar_t* kind = directory ? L"Directory" : L"File";
    sink.PrintfLine(L"*** %s Info start ***", kind);
    sink.PrintfLine(L"PATH: %s", shownPath);
    DumpFileLines(shownPath, opened, sink);
    sink.PrintfLine(L"*** %s Info end ***\r\n", kind);
}

DWORD CqzFileObjectHandle::FileAccessCheck(const wchar_t* path, bool& readable)
{
    QZ_STACK_NAME("FileAccessCheck", kFileClass);
    readable = false;
    CqzAccessToken token;
    if (!token.GetEffectiveImpersonationToken())
        return token.LastError() != ERROR_SUCCESS ? token.LastError() : ::GetLastError();

    const wchar_t* shownPath = path != nullptr ? path : L"";
    const std::wstring longPath = CqzUtil::MakeLongPath(shownPath);
    CqzScopedLocal<void> descriptor;
    const DWORD result =
        ::GetNamedSecurityInfoW(longPath.c_str(), SE_FILE_OBJECT,
                                OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, nullptr, nullptr, descriptor.Receive());
    if (result != ERROR_SUCCESS)
    {
        QZTRACE(QZT_ERROR, kFileClass,
                "ERROR: GetNamedSecurityInfo(" << shownPath << ")"
                                               << " LastError=" << result);
        return result;
    }

    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    BYTE privilegeBytes[sizeof(PRIVILEGE_SET)] = {};
    DWORD privilegeLength = sizeof(privilegeBytes);
    DWORD granted = 0;
    BOOL status = FALSE;
    if (!::AccessCheck(descriptor.Get(), token.GetHandle(),
                       READ_CONTROL | FILE_READ_DATA | FILE_READ_EA | FILE_READ_ATTRIBUTES, &mapping,
                       reinterpret_cast<PRIVILEGE_SET*>(privilegeBytes), &privilegeLength, &granted, &status))
    {
        const DWORD error = ::GetLastError();
        QZTRACE(QZT_ERROR, kFileClass,
                "ERROR: AccessCheck(" << shownPath << ") failed."
                                      << " LastError=" << error);
        return error;
    }
    readable = status != FALSE;
    return ERROR_SUCCESS;
}
