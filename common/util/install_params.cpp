#include "common/util/install_params.h"

#include "common/util/os.h"
#include "common/util/scoped.h"
#include "trace/trace.h"

#include <objbase.h>

#include <cwchar>

// ---------------------------------------------------------------------------
// Product constants

const std::wstring SqzProductConstants::ProductGuid = L"{5E0D2B7C-3A41-4F86-9C12-7B3E8A9D0F64}";
const std::wstring SqzProductConstants::AgentExeName = L"qz_agent.exe";
const std::wstring SqzProductConstants::ElevateExeName = L"qz_elevate.exe";
const std::wstring SqzProductConstants::HostExeName = L"qz_host.exe";
const std::wstring SqzProductConstants::AgentUpgradeCode = L"{9B27E4C3-6D15-4A0E-8F3B-2C71D5A6E910}";
const std::wstring SqzProductConstants::AgentServiceDisplayName = L"Dunmoral Agent";
const std::wstring SqzProductConstants::AgentServiceName = L"qz_agent";
const std::wstring SqzProductConstants::DriverName = L"qzdrv";
const std::wstring SqzProductConstants::PdDriverName = L"qzpd";
const std::wstring SqzProductConstants::NetDriverName = L"qznet";
const std::wstring SqzProductConstants::CompanyName = L"Dunmoral Software Ltd.";
const std::wstring SqzProductConstants::CompanyPrefix = L"Dunmoral ";
const std::wstring SqzProductConstants::MfaUiExeName = L"kld_mfa_ui.exe";

namespace
{

const char* const kGuidClass = "CqzGUID";
const char* const kInstallParamsClass = "CqzAgentInstallParams";

const size_t kBracedLength = 38;
const size_t kPackedLength = 32;
// StringFromGUID2 output buffer, in characters.
const int kGuidTextChars = 128;
// Value names longer than this (terminator included) are refused by the
// enumeration itself.
const DWORD kValueNameChars = 64;

const wchar_t* const kUninstallKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

// Position in the braced text of each character of the packed text.
const unsigned char kPackedFromBraced[kPackedLength] = {
    8,  7,  6,  5,  4,  3,  2,  1,                  // first group, reversed
    13, 12, 11, 10,                                 // second group, reversed
    18, 17, 16, 15,                                 // third group, reversed
    21, 20, 23, 22,                                 // fourth group, digits of each byte swapped
    26, 25, 28, 27, 30, 29, 32, 31, 34, 33, 36, 35, // fifth group, likewise
};

// The install GUID: written once, under the lock, and never again.
SRWLOCK g_installGuidLock = SRWLOCK_INIT;
std::wstring g_installGuid;
const std::wstring g_noInstallGuid;

// The UpgradeCodes key is written by the 64-bit installer service.
REGSAM UpgradeCodesViewFlag()
{
    const USHORT native = CqzOperatingSystem::GetNativeOSImageType();
    return native == IMAGE_FILE_MACHINE_AMD64 || native == IMAGE_FILE_MACHINE_ARM64 ? KEY_WOW64_64KEY : 0;
}

bool SearchInstallGuid(std::wstring& installGuid)
{
    const std::wstring& upgradeCode = SqzProductConstants::AgentUpgradeCode;

    GUID upgradeGuid = {};
    CqzGUID::FromString(upgradeCode.c_str(), upgradeGuid);
    std::wstring upgradeText;
    std::wstring packedUpgradeCode;
    if (CqzGUID::GetString(upgradeGuid, upgradeText))
        CqzGUID::PackString(upgradeText, packedUpgradeCode);

    const std::wstring keyPath = L"Installer\\UpgradeCodes\\" + packedUpgradeCode;

    CqzScopedRegKey key;
    LSTATUS status =
        ::RegOpenKeyExW(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, KEY_QUERY_VALUE | UpgradeCodesViewFlag(), key.Receive());
    if (status != ERROR_SUCCESS)
    {
        QZTRACE(QZT_ERROR, kInstallParamsClass,
                "ERROR: Failed to open key [HKCR\\" << keyPath << "]. err=" << static_cast<long>(status));
        return false;
    }

    DWORD valueCount = 0;
    status = ::RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &valueCount, nullptr,
                                nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS)
    {
        QZTRACE(QZT_ERROR, kInstallParamsClass,
                "ERROR: RegQueryInfoKey(HKCR\\" << keyPath << ") failed. err=" << static_cast<long>(status));
    }
    else if (valueCount != 1)
    {
        QZTRACE(QZT_INFO, kInstallParamsClass,
                "INFO: [HKCR\\" << keyPath << "] has " << static_cast<unsigned long>(valueCount) << " values.");
    }

    std::wstring found;
    std::wstring foundName;
    for (DWORD index = 0;; ++index)
    {
        wchar_t name[kValueNameChars] = {};
        DWORD nameLength = kValueNameChars;
        status = ::RegEnumValueW(key.Get(), index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status == ERROR_MORE_DATA)
        {
            QZTRACE(QZT_ERROR, kInstallParamsClass,
                    "INFO: Value " << static_cast<unsigned long>(index) << " name under [HKCR\\" << keyPath << "] is "
                                   << static_cast<unsigned long>(nameLength)
                                   << " chars long. It cannot represent UpgradeCode.");
            continue;
        }
        if (status != ERROR_SUCCESS)
        {
            QZTRACE(QZT_ERROR, kInstallParamsClass,
                    "ERROR: RegEnumValue(" << static_cast<unsigned long>(index) << ", [HKCR\\" << keyPath
                                           << "]) failed. err=" << static_cast<long>(status));
            break;
        }

        // The returned length is not trusted beyond the buffer.
        const size_t length = ::wcsnlen(name, kValueNameChars);
        const std::wstring valueName(name, length);
        if (length != kPackedLength)
        {
            QZTRACE(QZT_ERROR, kInstallParamsClass,
                    "INFO: Value " << static_cast<unsigned long>(index) << " name [" << valueName << "] under [HKCR\\"
                                   << keyPath << "] is " << static_cast<unsigned long>(length)
                                   << " chars long. It cannot represent UpgradeCode.");
            continue;
        }

        GUID productGuid = {};
        if (!CqzGUID::FromString(valueName.c_str(), productGuid))
        {
            QZTRACE(QZT_ERROR, kInstallParamsClass,
                    "INFO: Value " << static_cast<unsigned long>(index) << " name [" << valueName << "] under [HKCR\\"
                                   << keyPath << "] is not a valid GUID.");
            continue;
        }

        std::wstring productCode;
        CqzGUID::GetString(productGuid, productCode, 0);
        if (!CqzAgentInstallParams::_IsValidProductCode(productCode.c_str()))
        {
            QZTRACE(QZT_ERROR, kInstallParamsClass,
                    "INFO: Value " << static_cast<unsigned long>(index) << " name " << valueName << " (i.e. "
                                   << productCode << ") under [HKCR\\" << keyPath << "] is not a valid Product Code.");
            continue;
        }

        found = productCode;
        foundName = valueName;
        break;
    }

    if (found.empty())
    {
        QZTRACE(QZT_ERROR, kInstallParamsClass,
                "ERROR: [HKCR\\" << keyPath << "] key doesn't contain a valid Product Code value.");
        return false;
    }

    QZTRACE(QZT_INFO, kInstallParamsClass, "INFO: UpgradeCode is " << upgradeCode << " (" << packedUpgradeCode << ").");
    QZTRACE(QZT_INFO, kInstallParamsClass, "INFO: ProductCode is " << found << " (" << foundName << ").");
    installGuid.swap(found);
    return true;
}

} // namespace

// ---------------------------------------------------------------------------
// CqzGUID

bool CqzGUID::PackString(const std::wstring& braced, std::wstring& packed)
{
    if (braced.size() != kBracedLength)
        return false;
    std::wstring out(kPackedLength, L'\0');
    for (size_t i = 0; i < kPackedLength; ++i)
        out[i] = braced[kPackedFromBraced[i]];
    packed.swap(out);
    return true;
}

bool CqzGUID::UnpackString(const std::wstring& packed, std::wstring& braced)
{
    if (packed.size() != kPackedLength)
        return false;
    std::wstring out(kBracedLength, L'-');
    out.front() = L'{';
    out.back() = L'}';
    for (size_t i = 0; i < kPackedLength; ++i)
        out[kPackedFromBraced[i]] = packed[i];
    braced.swap(out);
    return true;
}

bool CqzGUID::FromString(const wchar_t* text, GUID& guid)
{
    if (!text)
        return false;
    std::wstring braced;
    if (text[0] == L'{')
        braced = text;
    else if (!UnpackString(text, braced))
        return false;

    GUID parsed = {};
    if (FAILED(::IIDFromString(braced.c_str(), &parsed)))
        return false;
    guid = parsed;
    return true;
}

bool CqzGUID::GetString(const GUID& guid, std::wstring& text, DWORD /*flags*/)
{
    QZ_STACK_NAME("GetString", kGuidClass);
    wchar_t buffer[kGuidTextChars] = {};
    if (::StringFromGUID2(guid, buffer, kGuidTextChars) == 0)
    {
        QZTRACE(QZT_ERROR, kGuidClass, "ERROR: StringFromGUID2 failed");
        text.clear();
        return false;
    }
    text = buffer;
    return true;
}

// ---------------------------------------------------------------------------
// CqzAgentInstallParams

const std::wstring& CqzAgentInstallParams::GetInstallGuid()
{
    QZ_STACK_NAME("GetInstallGuid", kInstallParamsClass);
    if (!_InitInstallGuid())
    {
        QZTRACE(QZT_ERROR, kInstallParamsClass,
                "ERROR: Unable to determine Agent install GUID by upgrade code "
                    << SqzProductConstants::AgentUpgradeCode);
        // Not the shared string: another thread may still fill that in.
        return g_noInstallGuid;
    }
    return g_installGuid;
}

bool CqzAgentInstallParams::_InitInstallGuid()
{
    QZ_STACK_NAME("_InitInstallGuid", kInstallParamsClass);
    CqzSrwExclusiveLock lock(g_installGuidLock);
    if (!g_installGuid.empty())
        return true;
    return SearchInstallGuid(g_installGuid);
}

bool CqzAgentInstallParams::_IsValidProductCode(const wchar_t* productCode)
{
    QZ_STACK_NAME("_IsValidProductCode", kInstallParamsClass);
    const std::wstring path = std::wstring(kUninstallKey) + L"\\" + (productCode ? productCode : L"");
    CqzScopedRegKey key;
    const LSTATUS status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, key.Receive());
    if (status == ERROR_SUCCESS)
        return true;
    if (status != ERROR_FILE_NOT_FOUND && status != ERROR_PATH_NOT_FOUND)
    {
        QZTRACE(QZT_ERROR, kInstallParamsClass,
                "ERROR: Failed to open registry key [HKLM\\" << path << "]. err=" << static_cast<long>(status));
    }
    return false;
}
