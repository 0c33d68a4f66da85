// The agent's product constants, GUID texts in the braced and the Windows
// Installer's packed form, and the search for the agent's installed product
// code by its UpgradeCode.
#pragma once

#include <windows.h>

#include <string>

// Process-lifetime product constants, constructed during static
// initialisation. Do not read them from another translation unit's static
// initialisers.
class SqzProductConstants
{
public:
    SqzProductConstants() = delete;

    static const std::wstring ProductGuid;             // "{5E0D2B7C-...}"
    static const std::wstring AgentExeName;            // "qz_agent.exe"
    static const std::wstring ElevateExeName;          // "qz_elevate.exe"
    static const std::wstring HostExeName;             // "qz_host.exe"
    static const std::wstring AgentUpgradeCode;        // "{9B27E4C3-...}"
    static const std::wstring AgentServiceDisplayName; // "Dunmoral Agent"
    static const std::wstring AgentServiceName;        // "qz_agent"
    static const std::wstring DriverName;              // "qzdrv"
    static const std::wstring PdDriverName;            // "qzpd"
    static const std::wstring NetDriverName;           // "qznet"
    static const std::wstring CompanyName;             // "Dunmoral Software Ltd."
    static const std::wstring CompanyPrefix;           // "Dunmoral " (trailing blank)
    static const std::wstring MfaUiExeName;            // "kld_mfa_ui.exe"
};

// GUID texts. The braced form is "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
// (38 characters); the packed form (32 characters) is what the Windows
// Installer uses as key and value names: the first three groups reversed
// character by character, the last eight bytes with the two digits of each
// byte swapped.
class CqzGUID
{
public:
    CqzGUID() = delete;

    // A text that begins with "{" is parsed as it stands; a text of exactly
    // 32 characters is unpacked first. Anything else, and any text the system
    // cannot parse, fails with the GUID untouched.
    static bool FromString(const wchar_t* text, GUID& guid);

    // The braced upper-case text of the GUID. flags: 0 leaves the text as the
    // system produces it (no other value is defined; others act as 0). False,
    // with the text emptied and the failure traced, when no text can be made.
    static bool GetString(const GUID& guid, std::wstring& text, DWORD flags = 0);

    // Braced (38 characters) -> packed (32); packed -> braced. False, with the
    // output untouched, for a text of the wrong length. Characters are moved,
    // not checked: whether the result is a GUID is for FromString to say.
    static bool PackString(const std::wstring& braced, std::wstring& packed);
    static bool UnpackString(const std::wstring& packed, std::wstring& braced);
};

// The agent's product code, found through the installer's UpgradeCodes key
// (HKCR\Installer\UpgradeCodes\<packed UpgradeCode>) whose value names are
// packed product codes; a product code counts only when its Uninstall key
// exists.
class CqzAgentInstallParams
{
public:
    CqzAgentInstallParams() = delete;

    // The install GUID (braced, upper case), or an empty text when it cannot
    // be found; each call searches again until one search succeeds, after
    // which the text never changes. Safe from any thread.
    static const std::wstring& GetInstallGuid();

    // True when the install GUID is known (searching now if it is not yet).
    static bool _InitInstallGuid();

    // Whether HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\<code>
    // exists (in the process's own registry view).
    static bool _IsValidProductCode(const wchar_t* productCode);
};
