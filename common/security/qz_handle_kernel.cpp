// CqzKernelObjectHandle: the object's security descriptor read and written
// with the kernel-object security functions, and copied between objects.
#include "common/security/qz_handle.h"

#include "common/security/qz_handle_internal.h"
#include "trace/trace.h"

using qzhandle::kKernelClass;

namespace
{
// The first read's size; a larger descriptor is read again at its size.
const DWORD kFirstDescriptorSize = 1024;
// Owner, group, DACL and label.
const SECURITY_INFORMATION kCopiedParts =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION;

bool AllocateDescriptor(CqzScopedLocal<void>& block, DWORD size, DWORD& lastError)
{
    block.Reset(::LocalAlloc(LPTR, size));
    if (block)
        return true;
    lastError = ERROR_OUTOFMEMORY;
    QZTRACE(QZT_ERROR, kKernelClass, "ERROR: LocalAlloc(LPTR," << size << ") failed.");
    return false;
}
} // namespace

bool CqzKernelObjectHandle::GetSecurity(SECURITY_INFORMATION flags, CqzScopedLocal<void>& descriptor)
{
    QZ_STACK_NAME("GetSecurity", kKernelClass);
    descriptor.Reset();
    if (!_RequireHandle(kKernelClass))
        return false;
    DWORD size = kFirstDescriptorSize;
    CqzScopedLocal<void> block;
    if (!AllocateDescriptor(block, size, m_dwLastError))
        return false;
    DWORD needed = 0;
    BOOL ok = ::GetKernelObjectSecurity(m_h, flags, block.Get(), size, &needed);
    m_dwLastError = ok ? ERROR_SUCCESS : ::GetLastError();
    if (!ok && m_dwLastError == ERROR_INSUFFICIENT_BUFFER && needed > size)
    {
        size = needed;
        if (!AllocateDescriptor(block, size, m_dwLastError))
            return false;
        ok = ::GetKernelObjectSecurity(m_h, flags, block.Get(), size, &needed);
        m_dwLastError = ok ? ERROR_SUCCESS : ::GetLastError();
    }
    if (!ok)
    {
        QZTRACE(QZT_ERROR, kKernelClass,
                "ERROR: GetKernelObjectSecurity(" << static_cast<unsigned long>(flags)
                                                  << ") failed. LastError=" << m_dwLastError);
        return false;
    }
    descriptor = std::move(block);
    return true;
}

bool CqzKernelObjectHandle::SetSecurity(SECURITY_INFORMATION flags, PSECURITY_DESCRIPTOR descriptor)
{
    QZ_STACK_NAME("SetSecurity", kKernelClass);
    if (!_RequireHandle(kKernelClass))
        return false;
    if (!::SetKernelObjectSecurity(m_h, flags, descriptor))
    {
        m_dwLastError = ::GetLastError();
        QZTRACE(QZT_ERROR, kKernelClass,
                "ERROR: SetKernelObjectSecurity(" << static_cast<unsigned long>(flags)
                                                  << ") failed. LastError=" << m_dwLastError);
        return false;
    }
    m_dwLastError = ERROR_SUCCESS;
    return true;
}

bool CqzKernelObjectHandle::SetSecurity(CqzKernelObjectHandle& source)
{
    QZ_STACK_NAME("SetSecurity", kKernelClass);
    CqzScopedLocal<void> descriptor;
    if (!source.GetSecurity(kCopiedParts, descriptor))
    {
        m_dwLastError = source.LastError();
        QZTRACE(QZT_ERROR, kKernelClass, "ERROR: srcToken.GetSecurity() failed");
        return false;
    }
    if (!SetSecurity(kCopiedParts, descriptor.Get()))
    {
        QZTRACE(QZT_ERROR, kKernelClass, "ERROR: this->SetSecurity() failed");
        return false;
    }
    return true;
}
