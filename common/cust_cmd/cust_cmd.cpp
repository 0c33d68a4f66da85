#include "common/cust_cmd/cust_cmd.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <initializer_list>
#include <memory>
#include <new>

#include "common/atl/atl_access_token.h"
#include "common/util/install_params.h"
#include "common/util/scoped.h"
#include "common/util/token_information.h"
#include "common/util/util.h"
#include "trace/trace.h"

namespace
{
const char* const kFileMapClass = "CqzCustComdFileMap";
const char* const kClientClass = "CqzCustCmdClient";

const wchar_t kCreateGlobalPrivilege[] = L"SeCreateGlobalPrivilege";
const char kCreateGlobalPrivilegeA[] = "SeCreateGlobalPrivilege";

constexpr DWORD kPrefixSize = sizeof(DWORD);

// S-1-0-0: what an empty SID field reads as.
alignas(DWORD) const BYTE kNullSid[] = {SID_REVISION, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// Fields are packed without alignment: integers go through memcpy.
BYTE* PutDword(BYTE* pos, DWORD value)
{
    std::memcpy(pos, &value, sizeof(value));
    return pos + sizeof(value);
}

DWORD GetDword(const BYTE* pos)
{
    DWORD value = 0;
    std::memcpy(&value, pos, sizeof(value));
    return value;
}

BYTE* PutBytes(const void* data, DWORD size, BYTE* pos)
{
    if (size == 0)
        return pos;
    if (data)
        std::memcpy(pos, data, size);
    else
        std::memset(pos, 0, size);
    return pos + size;
}

DWORD StringFieldSize(size_t length)
{
    return length == 0 ? kPrefixSize : static_cast<DWORD>(kPrefixSize + (length + 1) * sizeof(wchar_t));
}

BYTE* PutString(const wchar_t* text, size_t length, BYTE* pos)
{
    if (length == 0)
        return PutDword(pos, 0);
    const DWORD textBytes = static_cast<DWORD>(length * sizeof(wchar_t));
    pos = PutDword(pos, textBytes + sizeof(wchar_t));
    pos = PutBytes(text, textBytes, pos);
    return PutBytes(nullptr, sizeof(wchar_t), pos);
}

// Reads the length prefix of a string or SID field and checks that the field
// lies within the remaining bytes. `what` names the field in the trace lines.
bool ReadLengthPrefix(const BYTE* pos, DWORD remaining, const char* what, DWORD& length)
{
    if (!pos)
    {
        QZTRACE(QZT_ERROR, kFileMapClass, "ERROR: Invalid parameter. buf is NULL");
        return false;
    }
    if (remaining < kPrefixSize)
    {
        QZTRACE(QZT_ERROR, kFileMapClass,
                "ERROR: Cannot deserialize " << what << ". Remaining buffer size is less than sizeof(DWORD).");
        return false;
    }
    const DWORD fieldLength = GetDword(pos);
    if (fieldLength > remaining - kPrefixSize)
    {
        QZTRACE(QZT_ERROR, kFileMapClass,
                "ERROR: Cannot deserialize " << what << ". Remaining buffer size is less " << what << " byte length.");
        return false;
    }
    length = fieldLength;
    return true;
}
} // namespace

// ---------------------------------------------------------------------------
// SqzCustCmdRecord

bool SqzCustCmdRecord::IsValid(SIZE_T regionSize) const
{
    // The region size comes first: below a whole section the header itself
    // may lie outside the mapping.
    return regionSize >= QZ_CIC_SECTION_SIZE && dwMagic == QZ_CIC_RECORD_MAGIC && dwDataLen <= QZ_CIC_MAX_DATA_LEN;
}

// ---------------------------------------------------------------------------
// SID fields

namespace
{

// Reads the SID at the start of `size` bytes (no alignment needed) into sid.
// False, with sid untouched, unless the bytes hold a whole valid SID of at
// most SECURITY_MAX_SID_SIZE bytes.
bool AssignSid(const BYTE* bytes, DWORD size, CSid& sid)
{
    // The fixed part of a SID (revision, count, authority) precedes the
    // sub-authorities; IsValidSid trusts the count, so check that the bytes
    // hold them before asking it.
    constexpr DWORD kFixedPart = 8;
    if (!bytes || size < kFixedPart || size > SECURITY_MAX_SID_SIZE)
        return false;
    // An aligned copy for the SID functions, on the heap, freed on return.
    CqzScopedHeap<BYTE> copy(static_cast<BYTE*>(std::calloc(1, SECURITY_MAX_SID_SIZE)));
    if (!copy)
        return false;
    std::memcpy(copy.Get(), bytes, size);
    const BYTE subAuthorityCount = copy.Get()[1];
    if (kFixedPart + subAuthorityCount * sizeof(DWORD) > size || !::IsValidSid(copy.Get()))
        return false;
    CSid read;
    if (!read.LoadAccount(static_cast<PSID>(copy.Get())))
        return false;
    sid = read;
    return true;
}

} // namespace

// ---------------------------------------------------------------------------
// CqzCustComdFileMap

DWORD CqzCustComdFileMap::_GetSerializedSize(const std::wstring& value)
{
    return StringFieldSize(value.size());
}

DWORD CqzCustComdFileMap::_GetSerializedSize(const wchar_t* value)
{
    return StringFieldSize(value ? std::wcslen(value) : 0);
}

DWORD CqzCustComdFileMap::_GetSerializedSize(const CSid& sid)
{
    return kPrefixSize + (sid.IsValid() ? sid.GetLength() : 0);
}

BYTE* CqzCustComdFileMap::_Serialize(const std::wstring& value, BYTE* pos)
{
    QZ_STACK_NAME("_Serialize", kFileMapClass);
    return PutString(value.c_str(), value.size(), pos);
}

BYTE* CqzCustComdFileMap::_Serialize(const wchar_t* value, BYTE* pos)
{
    QZ_STACK_NAME("_Serialize", kFileMapClass);
    return PutString(value, value ? std::wcslen(value) : 0, pos);
}

BYTE* CqzCustComdFileMap::_Serialize(const CSid& sid, BYTE* pos)
{
    QZ_STACK_NAME("_Serialize", kFileMapClass);
    const DWORD length = sid.IsValid() ? sid.GetLength() : 0;
    pos = PutDword(pos, length);
    return PutBytes(sid.GetPSID(), length, pos);
}

BYTE* CqzCustComdFileMap::_Serialize(const void* data, DWORD serializedSize, BYTE* pos)
{
    QZ_STACK_NAME("_Serialize", kFileMapClass);
    if (serializedSize < kPrefixSize)
        return pos;
    const DWORD length = serializedSize - kPrefixSize;
    pos = PutDword(pos, length);
    return PutBytes(data, length, pos);
}

BYTE* CqzCustComdFileMap::_SerializeRaw(const void* data, DWORD size, BYTE* pos)
{
    return PutBytes(data, size, pos);
}

const BYTE* CqzCustComdFileMap::_Deserialize(const BYTE* pos, DWORD& remaining, std::wstring& value)
{
    QZ_STACK_NAME("_Deserialize", kFileMapClass);
    DWORD byteCount = 0;
    if (!ReadLengthPrefix(pos, remaining, "string", byteCount))
        return nullptr;

    // Whole characters only; the text ends at its first NUL.
    std::wstring text(byteCount / sizeof(wchar_t), L'\0');
    if (!text.empty())
        std::memcpy(&text[0], pos + kPrefixSize, text.size() * sizeof(wchar_t));
    const size_t end = text.find(L'\0');
    if (end != std::wstring::npos)
        text.resize(end);

    value.swap(text);
    remaining -= kPrefixSize + byteCount;
    return pos + kPrefixSize + byteCount;
}

const BYTE* CqzCustComdFileMap::_Deserialize(const BYTE* pos, DWORD& remaining, CSid& sid)
{
    QZ_STACK_NAME("_Deserialize", kFileMapClass);
    DWORD length = 0;
    if (!ReadLengthPrefix(pos, remaining, "SID", length))
        return nullptr;

    const bool assigned =
        length == 0 ? AssignSid(kNullSid, sizeof(kNullSid), sid) : AssignSid(pos + kPrefixSize, length, sid);
    if (!assigned)
    {
        // Any sender may write these bytes: a bad SID is a failed read, not a
        // fault, and nothing is thrown.
        QZTRACE(QZT_ERROR, kFileMapClass, "ERROR: Cannot deserialize SID. Invalid SID data.");
        return nullptr;
    }

    remaining -= kPrefixSize + length;
    return pos + kPrefixSize + length;
}

const BYTE* CqzCustComdFileMap::_Deserialize(const BYTE* pos, DWORD size, DWORD& remaining, void* out)
{
    QZ_STACK_NAME("_Deserialize", kFileMapClass);
    if (!pos)
    {
        QZTRACE(QZT_ERROR, kFileMapClass, "ERROR: Invalid parameter. buf is NULL");
        return nullptr;
    }
    if (size > remaining)
    {
        QZTRACE(QZT_ERROR, kFileMapClass,
                "ERROR: Cannot deserialize " << static_cast<unsigned long>(size) << " bytes. Remaining buffer size is "
                                             << static_cast<unsigned long>(remaining) << " bytes");
        return nullptr;
    }
    if (size != 0 && !out)
    {
        QZTRACE(QZT_ERROR, kFileMapClass, "ERROR: Invalid parameter. out is NULL");
        return nullptr;
    }
    if (size != 0)
        std::memcpy(out, pos, size);
    remaining -= size;
    return pos + size;
}

// ---------------------------------------------------------------------------
// Delivery

namespace
{

// Replaces each "%s" of the format with the next argument. The caller's text
// is replaced only when the new one could be built.
void SetErrorText(std::wstring& errorText, const wchar_t* format, std::initializer_list<const std::wstring*> args)
{
    try
    {
        std::wstring text;
        auto next = args.begin();
        for (const wchar_t* p = format; *p; ++p)
        {
            if (p[0] == L'%' && p[1] == L's' && next != args.end())
            {
                text += **next++;
                ++p;
            }
            else
            {
                text += *p;
            }
        }
        errorText.swap(text);
    }
    catch (const std::bad_alloc&)
    {
    }
}

std::wstring SystemErrorText(DWORD error)
{
    std::wstring text;
    try
    {
        CqzUtil::GetErrorText(error, text);
    }
    catch (const std::bad_alloc&)
    {
    }
    return text;
}

// Whether the token holds the privilege enabled, from its privilege list.
// For primary tokens, which PrivilegeCheck does not take.
bool TokenHasPrivilegeEnabled(HANDLE token, const LUID& luid, BOOL& enabled)
{
    CqzScopedHeap<BYTE> buffer;
    CqzTokenInfoResult read;
    CqzTokenInfoOptions options;
    options.minimumSize = sizeof(TOKEN_PRIVILEGES);
    if (!CqzReadTokenInformation(token, TokenPrivileges, buffer, read, options))
    {
        if (read.failedStep == CqzTokenInfoStep::Allocation)
            ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    // The count was checked against the bytes returned.
    const TOKEN_PRIVILEGES* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.Get());
    enabled = FALSE;
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
    {
        const LUID_AND_ATTRIBUTES& entry = privileges->Privileges[i];
        if (entry.Luid.LowPart == luid.LowPart && entry.Luid.HighPart == luid.HighPart)
            enabled = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    }
    return true;
}

} // namespace

CqzLocalSystemSecurity::CqzLocalSystemSecurity()
{
    // S-1-5-18: the NT authority with the one sub-authority 18.
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    alignas(DWORD) BYTE localSystem[12] = {}; // a SID with one sub-authority
    if (!::InitializeSid(localSystem, &ntAuthority, 1))
        return;
    *::GetSidSubAuthority(localSystem, 0) = SECURITY_LOCAL_SYSTEM_RID;

    CDacl dacl;
    if (!dacl.AddAllowedAce(CSid(localSystem), GENERIC_ALL) || !m_sd.SetDacl(dacl))
        return;
    m_sa.nLength = sizeof(m_sa);
    m_sa.lpSecurityDescriptor = m_sd.GetPSECURITY_DESCRIPTOR();
    m_sa.bInheritHandle = FALSE;
    m_bReady = true;
}

bool CqzCustCmdMutex::Open()
{
    m_hMutex.Reset();
    m_hMutex.Reset(::OpenMutexW(QZ_CIC_MUTEX_ACCESS, FALSE, QZ_CIC_MUTEX_NAME));
    return m_hMutex.IsValid();
}

CqzCustCmdMutexLock::CqzCustCmdMutexLock(CqzCustCmdMutex& mutex) : m_mutex(mutex)
{
    Lock();
}

CqzCustCmdMutexLock::~CqzCustCmdMutexLock()
{
    if (m_bLocked)
        Unlock();
}

void CqzCustCmdMutexLock::Lock()
{
    if (m_bLocked)
        return;
    const DWORD lastError = ::GetLastError();
    const DWORD wait = ::WaitForSingleObjectEx(m_mutex.GetHandle(), INFINITE, FALSE);
    // WAIT_ABANDONED: the previous owner died holding it; it is ours now.
    m_bLocked = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
    ::SetLastError(lastError);
}

void CqzCustCmdMutexLock::Unlock()
{
    if (!m_bLocked)
        return;
    const DWORD lastError = ::GetLastError();
    ::ReleaseMutex(m_mutex.GetHandle());
    m_bLocked = false;
    ::SetLastError(lastError);
}

bool CqzCustCmdClient::SendData(DWORD commandId, DWORD dataLen, const void* data)
{
    std::wstring errorText;
    return SendData(commandId, dataLen, data, errorText);
}

bool CqzCustCmdClient::SendData(DWORD commandId, DWORD dataLen, const void* data, std::wstring& errorText)
{
    QZ_STACK_NAME("SendData", kClientClass);
    if (dataLen == 0)
        return _SendData(commandId, dataLen, data, errorText);
    if (!data)
    {
        QZTRACE(QZT_ERROR, kClientClass, "ERROR: Invalid pointer");
        return false;
    }
    if (dataLen > QZ_CIC_MAX_DATA_LEN)
    {
        QZTRACE(QZT_ERROR, kClientClass, "ERROR: Invalid data len " << static_cast<unsigned long>(dataLen));
        return false;
    }
    return _SendData(commandId, dataLen, data, errorText);
}

bool CqzCustCmdClient::_SendData(DWORD commandId, DWORD dataLen, const void* data, std::wstring& errorText)
{
    QZ_STACK_NAME("_SendData", kClientClass);
    const std::wstring& serviceName = SqzProductConstants::AgentServiceName;
    const std::wstring& displayName = SqzProductConstants::AgentServiceDisplayName;

    // Declared in the reverse order of their release: the section goes first,
    // then its descriptor, the mutex (released, then closed), the service and
    // last the service manager.
    CqzScopedServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager.Get())
    {
        const DWORD error = ::GetLastError();
        QZTRACE(QZT_ERROR, kClientClass,
                "ERROR: Cannot open service manager."
                    << " LastError=" << static_cast<unsigned long>(error));
        const std::wstring systemText = SystemErrorText(error);
        SetErrorText(errorText, L"Unable to open Service manager\nError: %s", {&systemText});
        return false;
    }

    CqzScopedServiceHandle service(::OpenServiceW(manager.Get(), serviceName.c_str(), SERVICE_USER_DEFINED_CONTROL));
    if (!service.Get())
    {
        const DWORD error = ::GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST)
        {
            QZTRACE(QZT_ERROR, kClientClass, "ERROR: Service " << serviceName << " is not installed.");
            SetErrorText(errorText, L"%s service is not installed", {&displayName});
        }
        else
        {
            QZTRACE(QZT_ERROR, kClientClass,
                    "ERROR: Cannot open service."
                        << " LastError=" << static_cast<unsigned long>(error));
            const std::wstring systemText = SystemErrorText(error);
            SetErrorText(errorText, L"Unable to open '%s' service\nError: %s", {&displayName, &systemText});
        }
        return false;
    }

    CqzCustCmdMutex mutex;
    if (!mutex.Open())
    {
        QZTRACE(QZT_ERROR, kClientClass,
                "ERROR: Failed to open mutex."
                    << " LastError=" << static_cast<unsigned long>(::GetLastError()));
        return false;
    }

    // The outcome of the wait is not examined: an abandoned mutex is taken.
    CqzCustCmdMutexLock lock(mutex);

    CqzLocalSystemSecurity security;
    if (!security.IsReady())
    {
        QZTRACE(QZT_ERROR, kClientClass,
                "ERROR: Cannot build the section's security descriptor."
                    << " LastError=" << static_cast<unsigned long>(::GetLastError()));
        return false;
    }

    const bool global = _EnableCreateGlobalPrivilege();
    CqzSharedMemory sharedMemory;
    BYTE* view = sharedMemory.Create(global ? QZ_CIC_GLOBAL_SECTION_NAME : QZ_CIC_LOCAL_SECTION_NAME, security.Get());
    if (!view && global && sharedMemory.GetError() == ERROR_ACCESS_DENIED)
        view = sharedMemory.Create(QZ_CIC_LOCAL_SECTION_NAME, security.Get());
    if (!view)
    {
        QZTRACE(
            QZT_ERROR, kClientClass,
            "ERROR: sharedMemory.Create() failed. LastError=" << static_cast<unsigned long>(sharedMemory.GetError()));
        return false;
    }

    SqzCustCmdRecord* record = reinterpret_cast<SqzCustCmdRecord*>(view);
    record->dwMagic = QZ_CIC_RECORD_MAGIC;
    record->dwCommandId = commandId;
    record->dwDataLen = dataLen;
    if (dataLen != 0)
        std::memcpy(record->data, data, dataLen);

    // Returns once the agent's handler has returned: the record is read by then.
    SERVICE_STATUS status = {};
    if (!::ControlService(service.Get(), QZ_CIC_SERVICE_CONTROL, &status))
    {
        QZTRACE(QZT_ERROR, kClientClass,
                "ERROR: ControlService failed."
                    << " LastError=" << static_cast<unsigned long>(::GetLastError()));
        return false;
    }
    return true;
}

bool CqzCustCmdClient::_EnableCreateGlobalPrivilege()
{
    if (_CheckCreateGlobalPrivilege())
        return true;
    CAccessToken token;
    if (!token.GetEffectiveToken(TOKEN_ADJUST_PRIVILEGES))
        return false;
    bool notAllAssigned = false;
    if (!token.EnablePrivilege(kCreateGlobalPrivilege, nullptr, &notAllAssigned))
        return false;
    // The privilege stays enabled on the token.
    return !notAllAssigned;
}

bool CqzCustCmdClient::_CheckCreateGlobalPrivilege()
{
    QZ_STACK_NAME("_CheckCreateGlobalPrivilege", kClientClass);
    LUID luid = {};
    if (!::LookupPrivilegeValueW(nullptr, kCreateGlobalPrivilege, &luid))
    {
        QZTRACE(QZT_ERROR, kClientClass,
                "ERROR: LookupPrivilegeValue(" << kCreateGlobalPrivilegeA << ") failed."
                                               << " LastError=" << static_cast<unsigned long>(::GetLastError()));
        return false;
    }

    PRIVILEGE_SET required = {};
    required.PrivilegeCount = 1;
    required.Control = PRIVILEGE_SET_ALL_NECESSARY;
    required.Privilege[0].Luid = luid;
    required.Privilege[0].Attributes = 0;

    CAccessToken token;
    if (!token.GetEffectiveToken(TOKEN_QUERY))
    {
        QZTRACE(QZT_ERROR, kClientClass,
                "ERROR: GetEffectiveToken(TOKEN_QUERY) failed."
                    << " LastError=" << static_cast<unsigned long>(::GetLastError()));
        return false;
    }

    BOOL held = FALSE;
    if (!::PrivilegeCheck(token.GetHandle(), &required, &held))
    {
        const DWORD error = ::GetLastError();
        // Windows checks only impersonation tokens; the process token of a
        // caller that does not impersonate is read directly.
        if (error != ERROR_NO_IMPERSONATION_TOKEN || !TokenHasPrivilegeEnabled(token.GetHandle(), luid, held))
        {
            QZTRACE(QZT_ERROR, kClientClass,
                    "ERROR: PrivilegeCheck(" << kCreateGlobalPrivilegeA << ") failed."
                                             << " LastError=" << static_cast<unsigned long>(error));
            return false;
        }
    }
    return held != FALSE;
}
