// Reading token information: the "ask the size, allocate, ask again"
// pattern of GetTokenInformation in one place, and a typed form for the
// fixed-size classes. The helpers trace nothing: each caller keeps its own
// trace lines and error codes, and learns from the result which step failed.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "common/util/scoped.h"

enum class CqzTokenInfoStep
{
    None,        // every step passed
    SizeQuery,   // the first call did not fail with ERROR_INSUFFICIENT_BUFFER
    ZeroSize,    // the reported size was 0, or below the caller's minimum
    Allocation,  // the block could not be allocated (error 14)
    Read,        // the call with the block failed
    ShortResult, // the returned bytes do not hold what the block claims (error 13)
};

struct CqzTokenInfoResult
{
    CqzTokenInfoStep failedStep = CqzTokenInfoStep::None;
    // The thread's last error after the failing step as the system left it
    // (it can be 0 for a read that failed without saying why), 14 for
    // Allocation, 13 for ShortResult; after success, the read's own. Also
    // left as the thread's last error when the helper returns.
    DWORD error = ERROR_SUCCESS;
    // The size the first call reported, and the bytes the read returned.
    DWORD reportedSize = 0;
    DWORD returnedSize = 0;
};

struct CqzTokenInfoOptions
{
    // 0: the first call passes no buffer and only asks for the size. Above
    // 0: the first call already reads into a block of that size, and a
    // second read at the reported size follows only when the list is larger.
    DWORD initialSize = 0;
    // A reported size below this fails at ZeroSize (the size query's error
    // is kept). Applies to the size-query form.
    DWORD minimumSize = 1;
};

namespace qztokeninfo
{
// Whether the count at the head of a list class fits the bytes returned.
// Classes that carry no count always fit.
inline bool CountFits(TOKEN_INFORMATION_CLASS infoClass, const BYTE* data, DWORD returned)
{
    size_t head = 0;
    size_t entrySize = 0;
    switch (infoClass)
    {
    case TokenGroups:
    case TokenRestrictedSids:
    case TokenLogonSid:
    case TokenCapabilities:
    case TokenDeviceGroups:
    case TokenRestrictedDeviceGroups:
        head = offsetof(TOKEN_GROUPS, Groups);
        entrySize = sizeof(SID_AND_ATTRIBUTES);
        break;
    case TokenPrivileges:
        head = offsetof(TOKEN_PRIVILEGES, Privileges);
        entrySize = sizeof(LUID_AND_ATTRIBUTES);
        break;
    default:
        return true;
    }
    if (data == nullptr || returned < head)
        return false;
    DWORD count = 0;
    std::memcpy(&count, data, sizeof(count));
    return count <= (returned - head) / entrySize;
}

inline bool Fail(CqzTokenInfoResult& result, CqzTokenInfoStep step, DWORD error)
{
    result.failedStep = step;
    result.error = error;
    ::SetLastError(error);
    return false;
}

struct NoAfterCall
{
    void operator()() const {}
};
} // namespace qztokeninfo

// Reads one class of the token into a zeroed heap block (what `block` held
// is freed first; it stays empty on failure). `afterCall` runs right after
// each GetTokenInformation call, before anything else touches the thread's
// state (for the native status of that call). The token needs TOKEN_QUERY
// (TOKEN_QUERY_SOURCE for TokenSource).
template <typename AfterCall>
bool CqzReadTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, CqzScopedHeap<BYTE>& block,
                             CqzTokenInfoResult& result, const CqzTokenInfoOptions& options, AfterCall afterCall)
{
    block.Reset();
    result = CqzTokenInfoResult();

    CqzScopedHeap<BYTE> read;
    DWORD returned = 0;
    DWORD error = ERROR_SUCCESS;
    BOOL ok = FALSE;
    // One call into a fresh zeroed block of `length` bytes; false when the
    // block cannot be had.
    auto readAt = [&](DWORD length) -> bool
    {
        read.Reset(static_cast<BYTE*>(std::malloc(length)));
        if (!read)
            return false;
        std::memset(read.Get(), 0, length);
        ::SetLastError(ERROR_SUCCESS);
        ok = ::GetTokenInformation(token, infoClass, read.Get(), length, &returned);
        error = ::GetLastError();
        afterCall();
        return true;
    };

    DWORD length = options.initialSize;
    if (length == 0)
    {
        ::SetLastError(ERROR_SUCCESS);
        ::GetTokenInformation(token, infoClass, nullptr, 0, &length);
        error = ::GetLastError();
        afterCall();
        result.reportedSize = length;
        if (error != ERROR_INSUFFICIENT_BUFFER)
            return qztokeninfo::Fail(result, CqzTokenInfoStep::SizeQuery, error);
        if (length == 0 || length < options.minimumSize)
            return qztokeninfo::Fail(result, CqzTokenInfoStep::ZeroSize, error);
    }
    else
    {
        if (!readAt(length))
            return qztokeninfo::Fail(result, CqzTokenInfoStep::Allocation, ERROR_OUTOFMEMORY);
        result.reportedSize = returned;
        if (!ok && error == ERROR_INSUFFICIENT_BUFFER && returned > length)
        {
            length = returned;
            read.Reset();
        }
        else if (!ok)
        {
            return qztokeninfo::Fail(result, CqzTokenInfoStep::Read, error);
        }
    }

    if (!read)
    {
        // One read at the reported size: a token that grew in between fails.
        if (!readAt(length))
            return qztokeninfo::Fail(result, CqzTokenInfoStep::Allocation, ERROR_OUTOFMEMORY);
        if (!ok)
            return qztokeninfo::Fail(result, CqzTokenInfoStep::Read, error);
    }
    result.error = error;

    result.returnedSize = returned;
    if (!qztokeninfo::CountFits(infoClass, read.Get(), returned))
        return qztokeninfo::Fail(result, CqzTokenInfoStep::ShortResult, ERROR_INVALID_DATA);
    block = std::move(read);
    ::SetLastError(result.error);
    return true;
}

inline bool CqzReadTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, CqzScopedHeap<BYTE>& block,
                                    CqzTokenInfoResult& result, const CqzTokenInfoOptions& options = {})
{
    return CqzReadTokenInformation(token, infoClass, block, result, options, qztokeninfo::NoAfterCall());
}

// One GetTokenInformation call into a caller's buffer of `size` bytes. The
// thread's last error is cleared first, so afterwards it is the call's own.
inline bool CqzReadTokenInformationInto(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void* buffer, DWORD size,
                                        DWORD& returned)
{
    returned = 0;
    ::SetLastError(ERROR_SUCCESS);
    return ::GetTokenInformation(token, infoClass, buffer, size, &returned) != FALSE;
}

// A fixed-size class read into its own type (DWORD for TokenSessionId,
// TOKEN_ORIGIN, HANDLE for TokenLinkedToken, ...).
template <typename T>
bool CqzReadTokenInformationFixed(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, T& value)
{
    DWORD returned = 0;
    return CqzReadTokenInformationInto(token, infoClass, &value, static_cast<DWORD>(sizeof(T)), returned);
}
