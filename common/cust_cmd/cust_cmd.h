// The agent's command channel: the command record that a sender places at the
// start of the channel section, the payload field encodings that senders and
// the agent share, the client that delivers one record to the agent service,
// and the result block by which a sender waits for the agent's answer.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "common/atl/atl_security.h"
#include "common/atl/atl_sid.h"
#include "common/sharedmemory/sharedmemory.h"
#include "common/util/scoped.h"

// Command identifiers.
constexpr DWORD QZ_CIC_NOTIFY_QZELEVATE_EXIT = 10;

// Record header values.
constexpr DWORD QZ_CIC_RECORD_MAGIC = 0x1D7C;
// Largest payload: a record takes at most 8188 of the section's 8192 bytes.
constexpr DWORD QZ_CIC_MAX_DATA_LEN = 0x1FF0;

// One command record at byte 0 of the channel section's view. Integers are
// little-endian; the sender zero-fills the section before writing the record.
struct SqzCustCmdRecord
{
    DWORD dwMagic;     // QZ_CIC_RECORD_MAGIC
    DWORD dwCommandId; // QZ_CIC_*
    DWORD dwDataLen;   // payload bytes in data, 0..QZ_CIC_MAX_DATA_LEN
    BYTE data[QZ_CIC_MAX_DATA_LEN];

    // Whether a reader may trust dwDataLen: the mapped region (as
    // CqzSharedMemory::GetRegionSize reports it) holds a whole section, the
    // magic matches and the payload fits. Reads no field of a smaller region.
    bool IsValid(SIZE_T regionSize) const;
};
static_assert(offsetof(SqzCustCmdRecord, dwCommandId) == 4, "record layout");
static_assert(offsetof(SqzCustCmdRecord, dwDataLen) == 8, "record layout");
static_assert(offsetof(SqzCustCmdRecord, data) == 12, "record layout");
static_assert(sizeof(SqzCustCmdRecord) == 12 + QZ_CIC_MAX_DATA_LEN, "record layout");
static_assert(sizeof(SqzCustCmdRecord) <= QZ_CIC_SECTION_SIZE, "record fits the section");

// Builds and parses payload fields. A payload is a run of fields with no tags,
// padding or count; sender and agent agree on the order per command.
//
// Field encodings (every length prefix a 32-bit little-endian byte count):
//   string      B, then B bytes of UTF-16LE text with one terminating NUL
//               (B = 2n + 2); the empty string is B = 0 with no text
//   SID         L = the SID's length, then the SID; a CSid that is unset or
//               not valid is L = 0
//   byte block  L, then L bytes
//   raw bytes   N bytes, no prefix; both sides know N
//
// Writers do not check the room left: the caller adds up _GetSerializedSize of
// every field and allocates exactly that. They return the position after the
// field.
//
// Readers take the position and the count of bytes remaining. On success they
// return the position after the field and reduce the count; on failure they
// trace why, return null and leave the count and the output untouched. Stop
// parsing at the first failure. Readers never read outside [pos, pos + remaining).
class CqzCustComdFileMap
{
public:
    CqzCustComdFileMap() = delete;

    // 4 for the empty string (or null), else 2n + 6.
    static DWORD _GetSerializedSize(const std::wstring& value);
    static DWORD _GetSerializedSize(const wchar_t* value);
    // 4 for an unset or invalid SID, else its length + 4.
    static DWORD _GetSerializedSize(const CSid& sid);

    // A counted string: all value.size() characters, embedded NULs included.
    static BYTE* _Serialize(const std::wstring& value, BYTE* pos);
    // The characters up to the first NUL; null writes the empty string.
    static BYTE* _Serialize(const wchar_t* value, BYTE* pos);
    static BYTE* _Serialize(const CSid& sid, BYTE* pos);
    // A byte block of serializedSize = L + 4 bytes: L, then L bytes of data
    // (zeros when data is null). A serializedSize below 4 writes nothing.
    static BYTE* _Serialize(const void* data, DWORD serializedSize, BYTE* pos);
    // size bytes of data with no prefix (zeros when data is null).
    static BYTE* _SerializeRaw(const void* data, DWORD size, BYTE* pos);

    // A string field. Text after an embedded NUL is dropped but its bytes are
    // consumed, as is an odd last byte.
    static const BYTE* _Deserialize(const BYTE* pos, DWORD& remaining, std::wstring& value);
    // A SID field. L = 0 reads as the null SID S-1-0-0. Bytes that do not
    // hold a whole valid SID, or more than SECURITY_MAX_SID_SIZE (68) of them,
    // fail the read like any other bad field: traced, null returned, nothing
    // thrown. The SID takes the field's first GetLengthSid bytes; any bytes
    // after it belong to the field and are consumed.
    static const BYTE* _Deserialize(const BYTE* pos, DWORD& remaining, CSid& sid);
    // size raw bytes into out.
    static const BYTE* _Deserialize(const BYTE* pos, DWORD size, DWORD& remaining, void* out);
};

// ---------------------------------------------------------------------------
// Delivery

// Service control that makes the agent read the section (a user-defined one).
constexpr DWORD QZ_CIC_SERVICE_CONTROL = 130;
// The agent creates and owns this mutex; senders only open it, with
// QZ_CIC_MUTEX_ACCESS, and hold it for the whole send.
constexpr wchar_t QZ_CIC_MUTEX_NAME[] = L"Global\\QzCustCmdMutexName";
constexpr DWORD QZ_CIC_MUTEX_ACCESS = SYNCHRONIZE | MUTEX_MODIFY_STATE;
// The section: global when the sender may create global objects, else in the
// sender's own session namespace.
constexpr wchar_t QZ_CIC_GLOBAL_SECTION_NAME[] = L"Global\\QzCustCmdFileMapName";
constexpr wchar_t QZ_CIC_LOCAL_SECTION_NAME[] = L"QzCustCmdFileMapName";

// Security attributes that admit LocalSystem alone: a DACL with one ACE
// granting GENERIC_ALL to S-1-5-18, in an absolute descriptor with no owner,
// group or SACL; handle not inheritable. The attributes point into this
// object, which must outlive their use.
class CqzLocalSystemSecurity
{
public:
    CqzLocalSystemSecurity();
    CqzLocalSystemSecurity(const CqzLocalSystemSecurity&) = delete;
    CqzLocalSystemSecurity& operator=(const CqzLocalSystemSecurity&) = delete;

    // False when the descriptor could not be built (the thread's last error
    // says why); then Get() is null.
    bool IsReady() const { return m_bReady; }
    SECURITY_ATTRIBUTES* Get() { return m_bReady ? &m_sa : nullptr; }

private:
    CSecurityDesc m_sd;
    SECURITY_ATTRIBUTES m_sa = {};
    bool m_bReady = false;
};

// One handle to the agent's channel mutex; closed on destruction.
class CqzCustCmdMutex
{
public:
    CqzCustCmdMutex() = default;
    CqzCustCmdMutex(const CqzCustCmdMutex&) = delete;
    CqzCustCmdMutex& operator=(const CqzCustCmdMutex&) = delete;

    // Opens QZ_CIC_MUTEX_NAME with QZ_CIC_MUTEX_ACCESS (not inheritable); never
    // creates it. False, with the thread's last error, when no handle came back.
    bool Open();
    HANDLE GetHandle() const { return m_hMutex.Get(); }

private:
    CqzScopedHandle m_hMutex;
};

// Holds a CqzCustCmdMutex: waits for it on construction (no time-out, not
// alertable; an abandoned mutex counts as taken) and releases it on
// destruction when still held.
class CqzCustCmdMutexLock
{
public:
    explicit CqzCustCmdMutexLock(CqzCustCmdMutex& mutex);
    ~CqzCustCmdMutexLock();
    CqzCustCmdMutexLock(const CqzCustCmdMutexLock&) = delete;
    CqzCustCmdMutexLock& operator=(const CqzCustCmdMutexLock&) = delete;

    // Waits again after Unlock. While held it does nothing: a second wait
    // would own the mutex twice and one release would not free it.
    void Lock();
    void Unlock();
    bool IsLocked() const { return m_bLocked; }

private:
    CqzCustCmdMutex& m_mutex;
    bool m_bLocked = false;
};

// Delivers one command record to the agent service: opens the service with
// SERVICE_USER_DEFINED_CONTROL, takes the channel mutex, writes the record into
// the channel section and sends QZ_CIC_SERVICE_CONTROL; the agent reads the
// record before the control returns. Everything is opened and released within
// one call; the calling thread blocks while another sender holds the mutex.
class CqzCustCmdClient
{
public:
    CqzCustCmdClient() = delete;

    // dataLen bytes at data (data is not looked at when dataLen is 0) as the
    // payload of a record for commandId; at most QZ_CIC_MAX_DATA_LEN bytes.
    // errorText receives a text for the user when the service manager or the
    // service cannot be opened, and keeps what the caller put there otherwise.
    static bool SendData(DWORD commandId, DWORD dataLen, const void* data, std::wstring& errorText);
    static bool SendData(DWORD commandId, DWORD dataLen, const void* data);

private:
    friend class CqzCustCmdClientPeer; // test access to the privilege steps

    static bool _SendData(DWORD commandId, DWORD dataLen, const void* data, std::wstring& errorText);
    // Whether the global namespace may be used: the privilege is enabled, or
    // can be enabled now (it stays enabled on the effective token).
    static bool _EnableCreateGlobalPrivilege();
    // Whether the effective token holds "SeCreateGlobalPrivilege" enabled.
    static bool _CheckCreateGlobalPrivilege();
};

// ---------------------------------------------------------------------------
// Command results
//
// A sender that needs the agent's answer puts a 16-byte result block in the
// payload: the address of its result DWORD and the value of its event handle,
// each as a signed 64-bit little-endian number. The agent writes the DWORD
// straight into the sender's memory and then signals the event.

// Handle value in the block of a sender that does not wait.
constexpr LONGLONG QZ_CIC_RESULT_NO_EVENT = 0x00000000FFFFFFFFLL;
// Result values before an answer.
constexpr DWORD QZ_CIC_RESULT_NOT_SET = 5923;

class CqzCustCmdResultClient
{
public:
    // Selects the constructor of a client that does not wait.
    struct NoWait
    {
    };

    // A client that waits for the answer (useEvent true) or not. The result
    // starts at ERROR_CALL_NOT_IMPLEMENTED.
    explicit CqzCustCmdResultClient(bool useEvent = true);
    // A client that does not wait; its result starts at
    // ERROR_CALL_NOT_IMPLEMENTED when notImplemented is set, else at
    // QZ_CIC_RESULT_NOT_SET.
    CqzCustCmdResultClient(NoWait, bool notImplemented);
    ~CqzCustCmdResultClient();
    // The agent writes into this object: it must not move or go away before
    // WaitRes returns or the sender gives up.
    CqzCustCmdResultClient(const CqzCustCmdResultClient&) = delete;
    CqzCustCmdResultClient& operator=(const CqzCustCmdResultClient&) = delete;

    static DWORD GetBufferSize() { return 16; }

    // Writes the result block at pos (creating the event first for a waiting
    // client) and advances pos and remaining. False, with both untouched, when
    // the client cannot initialise (a waiting client initialises once), pos is
    // null or fewer than 16 bytes remain.
    bool ToBuffer(BYTE*& pos, DWORD& remaining);

    // Waits up to timeoutMs for the agent's answer and stores it in result.
    bool WaitRes(DWORD timeoutMs, DWORD& result);

private:
    bool _InitClient();

    LONGLONG cmdResultAddress = 0;
    LONGLONG cmdResReadyEventHandle = 0;
    CqzScopedHandle m_hEvent;
    DWORD m_dwResult = ERROR_CALL_NOT_IMPLEMENTED;
    bool useEvent = true;
};

class CqzCustCmdResultServer
{
public:
    // clientPid: the process that wrote the block.
    explicit CqzCustCmdResultServer(DWORD clientPid);
    ~CqzCustCmdResultServer();
    CqzCustCmdResultServer(const CqzCustCmdResultServer&) = delete;
    CqzCustCmdResultServer& operator=(const CqzCustCmdResultServer&) = delete;

    // Reads the result block at pos and advances pos and remaining; for a
    // waiting sender duplicates its event into this process. False when the
    // block is short or the event cannot be had (pos and remaining have then
    // moved past a whole block).
    bool FromBuffer(const BYTE*& pos, DWORD& remaining);

    // Writes the result into the sender and signals its event; for a sender
    // that does not wait only keeps the result here (and answers true).
    bool SetResultReady(DWORD result);

    DWORD GetResult() const { return m_dwResult; }
    bool UsesEvent() const { return useEvent; }

private:
    bool _InitServer();

    LONGLONG cmdResultAddress = 0;
    LONGLONG cmdResReadyEventHandle = 0;
    CqzScopedHandle m_hEvent;
    DWORD m_dwResult = QZ_CIC_RESULT_NOT_SET;
    bool useEvent = false;
    DWORD m_dwClientPid = 0;
};
