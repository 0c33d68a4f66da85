// Shared by the handle family's sources; not for other code.
#pragma once

#include <windows.h>

#include "common/security/qz_handle.h"

namespace qzhandle
{
constexpr const char kClass[] = "CqzHandle";
constexpr const char kKernelClass[] = "CqzKernelObjectHandle";
constexpr const char kFileClass[] = "CqzFileObjectHandle";
constexpr const char kWindowClass[] = "CqzWindowObjectHandle";

// False with 1337 (traced) for an invalid SID.
bool RequireValidSid(const CSid& sid, DWORD& lastError);
// An ACL the list class cannot hold: 1336, traced; answers false.
bool TraceCopyFailure(DWORD& lastError);
// Owner or group (part 1 or 2) of the handle's descriptor; an absent one
// leaves the SID as it was.
bool ReadSidPart(CqzHandle& handle, SECURITY_INFORMATION part, CSid& sid, DWORD& lastError);
// DACL or SACL (part 4 or 8); an absent one gives the null list.
bool ReadAclPart(CqzHandle& handle, SECURITY_INFORMATION part, CDacl& acl, DWORD& lastError);
} // namespace qzhandle
