#include "common/sharedmemory/sharedmemory.h"

#include "trace/trace.h"

namespace
{
const char* const kClassName = "CqzSharedMemory";
} // namespace

CqzSharedMemory::~CqzSharedMemory()
{
    Close();
}

BYTE* CqzSharedMemory::Create(const wchar_t* name, SECURITY_ATTRIBUTES* sa)
{
    QZ_STACK_NAME("Create", kClassName);
    BYTE* view = _CreateAndMap(INVALID_HANDLE_VALUE, name, PAGE_READWRITE, QZ_CIC_SECTION_SIZE, sa,
                               FILE_MAP_READ | FILE_MAP_WRITE);
    if (!view)
        return nullptr;

    // A section of this name that someone else made smaller maps smaller too;
    // zeroing or writing a whole record into it would run off the view.
    SIZE_T regionSize = 0;
    if (!_QueryRegionSize(regionSize))
    {
        Close();
        return nullptr;
    }
    if (regionSize < QZ_CIC_SECTION_SIZE)
    {
        m_dwLastError = ERROR_INVALID_DATA;
        ::SetLastError(m_dwLastError);
        QZTRACE(QZT_ERROR, kClassName,
                "ERROR: Shared memory [" << name << "] has " << static_cast<unsigned long>(regionSize)
                                         << " bytes, less than " << static_cast<unsigned long>(QZ_CIC_SECTION_SIZE)
                                         << ".");
        Close();
        return nullptr;
    }
    ::ZeroMemory(view, QZ_CIC_SECTION_SIZE);
    return view;
}

const BYTE* CqzSharedMemory::CreateForRead(HANDLE file, const wchar_t* name, DWORD size, SECURITY_ATTRIBUTES* sa)
{
    QZ_STACK_NAME("CreateForRead", kClassName);
    return _CreateAndMap(file, name, PAGE_READONLY, size, sa, FILE_MAP_READ);
}

BYTE* CqzSharedMemory::_CreateAndMap(HANDLE file, const wchar_t* name, DWORD protect, DWORD size,
                                     SECURITY_ATTRIBUTES* sa, DWORD mapAccess)
{
    Close();

    m_hMapping.Reset(::CreateFileMappingW(file, sa, protect, 0, size, name));
    m_dwLastError = ::GetLastError();
    if (!m_hMapping)
    {
        QZTRACE(QZT_ERROR, kClassName,
                "ERROR: CreateFileMapping(" << name << ", " << static_cast<unsigned long>(size) << ") failed."
                                            << " LastError=" << static_cast<unsigned long>(m_dwLastError));
        return nullptr;
    }

    m_pView.Reset(static_cast<BYTE*>(::MapViewOfFile(m_hMapping.Get(), mapAccess, 0, 0, 0)));
    m_dwLastError = ::GetLastError();
    if (!m_pView)
    {
        QZTRACE(QZT_ERROR, kClassName,
                "ERROR: MapViewOfFile(" << name << ", " << static_cast<unsigned long>(size) << ") failed."
                                        << " LastError=" << static_cast<unsigned long>(m_dwLastError));
        Close();
        return nullptr;
    }
    return m_pView.Get();
}

BYTE* CqzSharedMemory::Open(const wchar_t* name, DWORD access)
{
    QZ_STACK_NAME("Open", kClassName);
    BYTE* view = _OpenAndMap(name, access);
    if (!view)
    {
        QZTRACE(QZT_ERROR, kClassName,
                "ERROR: Failed to open shared memory [" << name << "] with access "
                                                        << static_cast<unsigned long>(access)
                                                        << ". LastError=" << static_cast<unsigned long>(m_dwLastError));
    }
    return view;
}

BYTE* CqzSharedMemory::TryOpen(const wchar_t* name, DWORD access, DWORD& error)
{
    error = 0;
    BYTE* view = _OpenAndMap(name, access);
    error = m_dwLastError;
    return view;
}

BYTE* CqzSharedMemory::_OpenAndMap(const wchar_t* name, DWORD access)
{
    Close();

    m_hMapping.Reset(::OpenFileMappingW(access, FALSE, name));
    if (m_hMapping)
        m_pView.Reset(static_cast<BYTE*>(::MapViewOfFile(m_hMapping.Get(), access, 0, 0, 0)));
    m_dwLastError = ::GetLastError();
    if (!m_pView)
        Close();
    return m_pView.Get();
}

void CqzSharedMemory::Close()
{
    // The holders keep the caller's last error.
    m_pView.Reset();
    m_hMapping.Reset();
}

void CqzSharedMemory::ZeroView(SIZE_T count)
{
    if (!m_pView)
        return;
    SIZE_T regionSize = 0;
    if (!_QueryRegionSize(regionSize))
        return;
    ::ZeroMemory(m_pView.Get(), count < regionSize ? count : regionSize);
}

SIZE_T CqzSharedMemory::GetRegionSize()
{
    QZ_STACK_NAME("GetRegionSize", kClassName);
    if (!m_pView)
    {
        QZTRACE(QZT_ERROR, kClassName, "ERROR: SharedMemory is not open");
        return 0;
    }
    SIZE_T regionSize = 0;
    return _QueryRegionSize(regionSize) ? regionSize : 0;
}

bool CqzSharedMemory::_QueryRegionSize(SIZE_T& size)
{
    MEMORY_BASIC_INFORMATION info = {};
    if (!::VirtualQuery(m_pView.Get(), &info, sizeof(info)))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kClassName,
                "ERROR: VirtualQuery failed."
                    << " LastError=" << static_cast<unsigned long>(m_dwLastError));
        return false;
    }
    size = info.RegionSize;
    return true;
}
