// CSid: one SID held by value (at most SECURITY_MAX_SID_SIZE bytes), with
// the account and domain names looked up once when first asked for, and the
// SID's string form.
//
// No operation throws; failures are reported by the result and the thread's
// last-error value.
#pragma once

#include <windows.h>

#include <string>

class CSid
{
public:
    CSid() = default;
    // Copies the SID; an invalid or oversized SID leaves the object empty.
    explicit CSid(PSID sid);
    CSid(const CSid&) = default;
    CSid& operator=(const CSid&) = default;

    // Loads the SID of an account name ("name", "DOMAIN\\name") on the given
    // system (null: the local one). The account and domain names are those
    // the system reports for the SID. On failure the object keeps what it
    // held and the thread's last error tells why.
    bool LoadAccount(const wchar_t* accountName, const wchar_t* systemName = nullptr);
    // Copies a SID. Its names are looked up on the given system when first
    // asked for. False (ERROR_INVALID_SID) for a null, invalid or oversized
    // SID; the object keeps what it held.
    bool LoadAccount(PSID sid, const wchar_t* systemName = nullptr);

    // Empties the object.
    void Clear();

    // The validity flag is set and the buffer is a well-formed SID.
    bool IsValid() const;
    // The SID, or null when the object is not valid.
    PSID GetPSID() const;
    DWORD GetLength() const;
    // The identifier authority, or null when the object is not valid.
    const SID_IDENTIFIER_AUTHORITY* GetPSID_IDENTIFIER_AUTHORITY() const;
    // Number of sub-authorities (0 when not valid) and one of them (0 when
    // the index is out of range).
    UCHAR GetSubAuthorityCount() const;
    DWORD GetSubAuthority(DWORD index) const;

    // Names looked up once (LookupAccountSidW) and cached; empty when the
    // system does not know the SID.
    const std::wstring& AccountName() const;
    const std::wstring& Domain() const;
    SID_NAME_USE SidNameUse() const;
    // "S-1-..." form, computed once; empty when the object is not valid.
    const std::wstring& Sid() const;

    // Two valid objects are equal when EqualSid says so; an invalid object
    // equals only another invalid one.
    bool operator==(const CSid& other) const;
    bool operator!=(const CSid& other) const { return !(*this == other); }
    // Strict order (for sorted containers): invalid first, then by bytes.
    bool operator<(const CSid& other) const;

private:
    void _LookupNames() const;

    BYTE m_buffer[SECURITY_MAX_SID_SIZE] = {};
    bool m_bValid = false;
    std::wstring m_systemName;

    mutable bool m_namesLookedUp = false;
    mutable std::wstring m_accountName;
    mutable std::wstring m_domainName;
    mutable SID_NAME_USE m_sidNameUse = SidTypeUnknown;
    mutable bool m_sidStringDone = false;
    mutable std::wstring m_sidString;
};
