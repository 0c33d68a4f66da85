// Recording side of the stand-in agent libraries: each export call appends
// one line to qz_standin.calls beside the DLL and returns the result that
// qz_standin.hresult beside the DLL chooses (format: standin_record.h).
//
// Linked into the stand-in DLLs only. Plain Win32 without the C++ runtime
// (built without exceptions and RTTI), so the DLLs need nothing copied beside
// them and nothing can unwind across their exports.
#pragma once

#include <windows.h>

namespace qzstandin
{

// Growable byte buffer on the process heap. An allocation failure sets
// Failed() and drops what is appended from then on.
class ByteBuffer
{
public:
    ByteBuffer() = default;
    ~ByteBuffer();
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    void Append(const char* bytes, size_t count);
    void Append(const char* text);
    void AppendByte(char byte) { Append(&byte, 1); }
    void AppendDecimal(long long value);
    void AppendHex32(DWORD value); // "0x" and eight upper-case digits

    const char* Data() const { return m_data; }
    size_t Size() const { return m_size; }
    bool Failed() const { return m_failed; }

private:
    char* m_data = nullptr;
    size_t m_size = 0;
    size_t m_capacity = 0;
    bool m_failed = false;
};

// One call of an export. Construct it first thing in the export, on the
// calling thread (the apartment, process and thread are taken then, and the
// chosen result is read), add the arguments in order, then return Finish().
class CallRecord
{
public:
    explicit CallRecord(const char* exportName);
    CallRecord(const CallRecord&) = delete;
    CallRecord& operator=(const CallRecord&) = delete;

    void AddText(LPCWSTR text);
    void AddInt(int value);
    // The argument's byte as the caller left it (only the low byte of a bool
    // argument is defined).
    void AddBool(const bool& value);
    // QzToolExec's vector: entries 0 to argumentCount-3, stopping after the
    // first null entry (the vector's terminator).
    void AddVector(LPWSTR* vector, int argumentCount);

    // Appends the line to qz_standin.calls and returns the chosen result.
    HRESULT Finish();

private:
    ByteBuffer m_line;
    HRESULT m_result = S_OK;
};

} // namespace qzstandin
