// The agent's command channel: the command record that a sender places at the
// start of the channel section, and the payload field encodings that senders
// and the agent share.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "common/sharedmemory/sharedmemory.h"

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

// A SID of up to SECURITY_MAX_SID_SIZE bytes and a validity flag: what SID
// fields are written from and read into.
// TODO: becomes the security library's SID class (CqzSid) once that exists.
class CqzSidBuffer
{
public:
    // Takes the SID at the start of `size` bytes. False, with the object left
    // as it was, unless the bytes hold a whole valid SID and `size` is at most
    // SECURITY_MAX_SID_SIZE. `sid` needs no alignment.
    bool Assign(const void* sid, DWORD size);
    void Clear() { m_bValid = false; }

    bool IsValid() const;
    // Null / 0 when not valid.
    const SID* GetPSID() const;
    DWORD GetLength() const;

private:
    alignas(DWORD) BYTE m_sid[SECURITY_MAX_SID_SIZE] = {};
    bool m_bValid = false;
};

// Builds and parses payload fields. A payload is a run of fields with no tags,
// padding or count; sender and agent agree on the order per command.
//
// Field encodings (every length prefix a 32-bit little-endian byte count):
//   string      B, then B bytes of UTF-16LE text with one terminating NUL
//               (B = 2n + 2); the empty string is B = 0 with no text
//   SID         L = the SID's length, then the SID; an invalid SID is L = 0
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
    // 4 for an invalid SID, else its length + 4.
    static DWORD _GetSerializedSize(const CqzSidBuffer& sid);

    // A counted string: all value.size() characters, embedded NULs included.
    static BYTE* _Serialize(const std::wstring& value, BYTE* pos);
    // The characters up to the first NUL; null writes the empty string.
    static BYTE* _Serialize(const wchar_t* value, BYTE* pos);
    static BYTE* _Serialize(const CqzSidBuffer& sid, BYTE* pos);
    // A byte block of serializedSize = L + 4 bytes: L, then L bytes of data
    // (zeros when data is null). A serializedSize below 4 writes nothing.
    static BYTE* _Serialize(const void* data, DWORD serializedSize, BYTE* pos);
    // size bytes of data with no prefix (zeros when data is null).
    static BYTE* _SerializeRaw(const void* data, DWORD size, BYTE* pos);

    // A string field. Text after an embedded NUL is dropped but its bytes are
    // consumed, as is an odd last byte.
    static const BYTE* _Deserialize(const BYTE* pos, DWORD& remaining, std::wstring& value);
    // A SID field. L = 0 reads as the null SID S-1-0-0; bytes that are not a
    // valid SID, or more than SECURITY_MAX_SID_SIZE of them, fail the read.
    static const BYTE* _Deserialize(const BYTE* pos, DWORD& remaining, CqzSidBuffer& sid);
    // size raw bytes into out.
    static const BYTE* _Deserialize(const BYTE* pos, DWORD size, DWORD& remaining, void* out);
};
