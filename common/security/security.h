// Privilege names and LUIDs, SIDs by name, string and role, and their texts
// for trace lines.
//
//   CqzAccessPriveleges  privilege index -> name, name -> LUID (process-wide
//                        cache), LUID -> name, the standard user's privileges
//   CqzSid               a SID loaded from an account name or SID string
//   SqzSids              SIDs by role and well-known SIDs
//   CqzProcmonDebugLogger  lines for the process-monitor debug device
//
// Nothing here throws. Every trace line keeps the caller's last-error value.
#pragma once

#include <windows.h>

#include <string>

#include "common/atl/atl_sid.h"

// ---------------------------------------------------------------------------
// Privileges
// ---------------------------------------------------------------------------

class CqzAccessPriveleges
{
public:
    // Number of privileges in the index table. The table follows the
    // well-known LUIDs (index i is LUID i + 2) only up to index 4: machine
    // account shares LUID 6 with unsolicited input, and the last five are out
    // of LUID order. Nothing relies on that order; lookups go by name.
    static const int PrivilegeIndexCount = 35;

    // The value stored in the cache for a name the system does not know.
    static const LUID UnknownPrivilegeLuid;

    // Name of a privilege index; null (and an ERROR line) outside the table.
    static const wchar_t* GetPrivilegeName(int index);

    // LUID of a privilege name through the process-wide cache. False for a
    // null name and for a name that cannot be looked up; the thread's last
    // error then tells why: ERROR_NO_SUCH_PRIVILEGE when the system does not
    // know the name (answered from the cache after the first time), any
    // other code for a failed lookup (never cached, the next call asks the
    // system again). Safe from any thread.
    static bool LookupPrivilegeValue(const wchar_t* name, LUID& luid);
    // The same for a privilege index.
    static bool LookupPrivilegeValue(int index, LUID& luid);
    // Name of a LUID (LookupPrivilegeNameW on the local system).
    static bool LookupPrivilegeName(const LUID& luid, std::wstring& name);
    // Whether the LUID is the unknown-privilege marker.
    static bool IsInvalidLuid(const LUID& luid);
    // Whether two LUIDs are the same.
    static bool SameLuid(const LUID& a, const LUID& b);
    // Whether a standard user holds this privilege on the running system.
    static bool IsStandardUserPrivilege(const LUID& luid);
};

// ---------------------------------------------------------------------------
// SIDs
// ---------------------------------------------------------------------------

class CqzSid : public CSid
{
public:
    CqzSid() = default;
    // Loads as LoadAccount does; an empty or null text leaves the object
    // invalid and traces a WARNING.
    explicit CqzSid(const wchar_t* accountNameOrSidString);
    explicit CqzSid(PSID sid) : CSid(sid) {}
    CqzSid(const CSid& sid) : CSid(sid) {}

    // A SID string ("S-..." in either case) or an account name; names that
    // do not resolve as given are tried in their BUILTIN / computer-name /
    // ".\\" forms.
    bool LoadAccount(const wchar_t* accountNameOrSidString);
    bool LoadAccount(PSID sid) { return CSid::LoadAccount(sid); }
    bool LoadAccountBySidString(const wchar_t* sidString);
    // Whether the text converts to a SID.
    static bool IsSidString(const wchar_t* text);

    // Validity flag set and the buffer accepted by IsValidSid.
    bool IsValid() const;
    bool IsIdentifierAuthority(const SID_IDENTIFIER_AUTHORITY& authority) const;
    // S-1-16-<rid>: a mandatory label with exactly one sub-authority.
    bool IsValidIntegrityLevelSid(DWORD& rid) const;
    // S-1-15-3-<rid>.
    bool IsBuiltInCapabilitySid(DWORD& rid) const;
    // S-1-15-3-<d0>-<d1>-<d2>-<d3>: the GUID as four DWORDs.
    bool IsCustomCapabilitySid(DWORD guid[4]) const;

    bool GetSidString(std::wstring& text) const;
    // "Name=[DOMAIN\\name] SID=[S-...]" and its variants, for trace lines.
    std::wstring GetTraceString() const;
    // The same for a raw SID; "PSID=[NULL]" for null.
    static std::wstring GetTraceString(PSID sid);
    // "ATTR=[<attribute words>] <trace string>".
    std::wstring GetGroupTraceString(DWORD attributes) const;

    // Local-group membership of this SID on the local system.
    bool AddToGroup(const wchar_t* groupName) const;
    bool RemoveFromGroup(const wchar_t* groupName) const;

    // The local name of a built-in group given by its English name; false,
    // with the English name copied, when it cannot be had.
    static bool GetLocalizedGroupName(const wchar_t* englishName, std::wstring& name);

    // Texts used in trace strings.
    static std::wstring GetGroupAttributesString(DWORD attributes);
    static std::wstring GetCapabilityName(DWORD rid);
    static std::wstring GetDeviceCapabilityName(const DWORD guid[4]);

private:
    // Loading by name with the BUILTIN / computer-name / ".\\" forms.
    bool _LoadAccountByName(const wchar_t* name);
    friend class SqzSids;
};

class SqzSids
{
public:
    // Each returns a SID that lives for the rest of the process; it may be
    // invalid, and is then looked for again on the next call.
    static const CqzSid& GetMachineSid();
    static const CqzSid& GetLocalDomainUsersSid();
    static const CqzSid& GetAllApplicationPackagesSid();

    static bool GetWellKnownSid(WELL_KNOWN_SID_TYPE type, CSid& sid);
    // Name of a WELL_KNOWN_SID_TYPE value without its "Win" prefix;
    // "Unknown" outside 0..78.
    static const char* GetWellKnownSidTypeName(int type);
};

// Lines for the process-monitor debug device "\\.\Global\ProcmonDebugLogger",
// written only when the device exists.
class CqzProcmonDebugLogger
{
public:
    // Longest text sent, in characters; longer texts are cut.
    static const size_t MaxChars = 2046;
    static const DWORD IoctlWrite = 0x95358204;

    // Sends the text (without terminator); an empty text sends nothing. The
    // caller's last-error value is kept.
    static void Write(const wchar_t* text);
};
