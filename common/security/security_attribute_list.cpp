// Process-thread attribute lists: the parent-process list and the handle list.
#include "common/security/security.h"

#include <cstdlib>

#include "common/util/exports.h"
#include "common/util/os.h"
#include "trace/trace.h"

namespace
{
const char* const kListClass = "CqzProcThreadAttributeList";
const char* const kParentProcClass = "CqzProcThreadAttributeListParentProc";

typedef BOOL(WINAPI* InitializeProcThreadAttributeListFn)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD, PSIZE_T);
typedef BOOL(WINAPI* UpdateProcThreadAttributeFn)(LPPROC_THREAD_ATTRIBUTE_LIST, DWORD, DWORD_PTR, PVOID, SIZE_T, PVOID,
                                                  PSIZE_T);
typedef VOID(WINAPI* DeleteProcThreadAttributeListFn)(LPPROC_THREAD_ATTRIBUTE_LIST);

// The list functions exist from Windows Vista on; a null entry is missing.
struct ListFunctions
{
    InitializeProcThreadAttributeListFn initialize;
    UpdateProcThreadAttributeFn update;
    DeleteProcThreadAttributeListFn remove;
};

const ListFunctions& GetListFunctions()
{
    static const ListFunctions functions = []
    {
        const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
        ListFunctions resolved;
        resolved.initialize =
            CqzResolveExport<InitializeProcThreadAttributeListFn>(kernel32, "InitializeProcThreadAttributeList");
        resolved.update = CqzResolveExport<UpdateProcThreadAttributeFn>(kernel32, "UpdateProcThreadAttribute");
        resolved.remove = CqzResolveExport<DeleteProcThreadAttributeListFn>(kernel32, "DeleteProcThreadAttributeList");
        // A list that could be initialised but never deleted would leak what
        // the system keeps in it: all three, or none.
        if (resolved.initialize == nullptr || resolved.update == nullptr || resolved.remove == nullptr)
            resolved = ListFunctions{nullptr, nullptr, nullptr};
        return resolved;
    }();
    return functions;
}
} // namespace

// ---------------------------------------------------------------------------
// CqzProcThreadAttributeList
// ---------------------------------------------------------------------------

CqzProcThreadAttributeList::~CqzProcThreadAttributeList()
{
    _Free();
}

LPPROC_THREAD_ATTRIBUTE_LIST CqzProcThreadAttributeList::Get() const
{
    return m_ptal.Get();
}

bool CqzProcThreadAttributeList::_InitBase()
{
    QZ_STACK_NAME("_InitBase", kListClass);
    if (m_ptal)
    {
        QZTRACE(QZT_ERROR, kListClass, "ERROR: _m_ptal is not NULL");
        return false;
    }
    const ListFunctions& functions = GetListFunctions();
    SIZE_T size = 0;
    if (functions.initialize != nullptr)
        functions.initialize(nullptr, 1, 0, &size);
    if (size == 0)
    {
        QZTRACE(QZT_ERROR, kListClass, "ERROR: Failed to get allocation size");
        return false;
    }
    CqzScopedHeap<std::remove_pointer<LPPROC_THREAD_ATTRIBUTE_LIST>::type> list(
        static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(std::malloc(size)));
    if (!list)
    {
        QZTRACE(QZT_ERROR, kListClass, "ERROR: AllocateBytes(" << size << ") failed");
        return false;
    }
    SIZE_T initializedSize = size;
    if (!functions.initialize(list.Get(), 1, 0, &initializedSize) || initializedSize == 0)
    {
        QZTRACE(QZT_ERROR, kListClass,
                "ERROR: InitializeProcThreadAttributeList failed. LastError=" << ::GetLastError());
        return false;
    }
    m_ptal.Reset(list.Release());
    return true;
}

bool CqzProcThreadAttributeList::_UpdateAttribute(DWORD_PTR attribute, PVOID value, SIZE_T size)
{
    QZ_STACK_NAME("_UpdateAttribute", kListClass);
    if (!m_ptal)
        return false;
    if (!GetListFunctions().update(m_ptal.Get(), 0, attribute, value, size, nullptr, nullptr))
    {
        QZTRACE(QZT_ERROR, kListClass, "ERROR: UpdateProcThreadAttribute failed. LastError=" << ::GetLastError());
        _Free();
        return false;
    }
    return true;
}

void CqzProcThreadAttributeList::_Free()
{
    if (!m_ptal)
        return;
    // Only an initialised list is ever held, and the functions that made it
    // are there to delete it.
    GetListFunctions().remove(m_ptal.Get());
    m_ptal.Reset();
}

// ---------------------------------------------------------------------------
// CqzProcThreadAttributeListParentProc
// ---------------------------------------------------------------------------

CqzProcThreadAttributeListParentProc::CqzProcThreadAttributeListParentProc(DWORD parentProcessId)
{
    QZ_STACK_NAME("CqzProcThreadAttributeListParentProc", kParentProcClass);
    if (parentProcessId == 0 || CqzOperatingSystem::GetMajorVersion() < 6)
        return;
    m_ownedParentProcess.Reset(::OpenProcess(MAXIMUM_ALLOWED, FALSE, parentProcessId));
    if (!m_ownedParentProcess)
    {
        QZTRACE(QZT_ERROR, kParentProcClass,
                "ERROR: OpenProcess(" << parentProcessId << ") failed."
                                      << " LastError=" << ::GetLastError());
        return;
    }
    m_parentProcess = m_ownedParentProcess.Get();
    if (!_SetParentProcess())
    {
        m_parentProcess = nullptr;
        m_ownedParentProcess.Reset();
    }
}

CqzProcThreadAttributeListParentProc::CqzProcThreadAttributeListParentProc(HANDLE parentProcess)
    : m_parentProcess(parentProcess)
{
    QZ_STACK_NAME("CqzProcThreadAttributeListParentProc", kParentProcClass);
    _SetParentProcess();
}

CqzProcThreadAttributeListParentProc::~CqzProcThreadAttributeListParentProc()
{
    // The list refers to the handle: it goes first, then the handle.
    _Free();
}

bool CqzProcThreadAttributeListParentProc::_SetParentProcess()
{
    if (m_parentProcess == nullptr)
    {
        QZTRACE(QZT_ERROR, kParentProcClass, "ERROR: _m_parentProcess is NULL");
        return false;
    }
    // The list keeps the address of the value, not a copy: the member.
    return _InitBase() &&
           _UpdateAttribute(PROC_THREAD_ATTRIBUTE_PARENT_PROCESS, &m_parentProcess, sizeof(m_parentProcess));
}

// ---------------------------------------------------------------------------
// CqzProcThreadAttributeListHandles
// ---------------------------------------------------------------------------

CqzProcThreadAttributeListHandles::CqzProcThreadAttributeListHandles(HANDLE* handles, DWORD count)
    : m_handles(handles), m_count(count)
{
    QZ_STACK_NAME("CqzProcThreadAttributeListHandles", kListClass);
    ReInit();
}

bool CqzProcThreadAttributeListHandles::ReInit()
{
    QZ_STACK_NAME("ReInit", kListClass);
    if (m_count == 0)
        return false;
    if (m_handles == nullptr || m_count >= HandleCountLimit)
    {
        QZTRACE(QZT_ERROR, kListClass,
                "ERROR: Invalid handle list: " << (m_handles == nullptr ? "no array" : "too many handles") << ", count "
                                               << m_count);
        return false;
    }
    if (!_InitBase())
        return false;
    if (!_UpdateAttribute(PROC_THREAD_ATTRIBUTE_HANDLE_LIST, m_handles, m_count * sizeof(HANDLE)))
    {
        m_handles = nullptr;
        m_count = 0;
        return false;
    }
    return true;
}
