// The seam of the token report suite and its probe on GetTokenInformation,
// for the token states Wine cannot produce.
#pragma once

#include <windows.h>

#include <functional>

#include "testing/harness/iat_hook.h"

namespace qzreporttest
{

// Replaces the answers of GetTokenInformation for one class while the object
// lives (the seam for token states Wine cannot produce: an expiration time,
// a missing default DACL, a failed read). The rewrite gets the original call's
// arguments and answers in its place; every other class goes to the system.
// One seam at a time. The suite's own reads of the token go through it too.
class TokenInformationSeam
{
public:
    using Rewrite = std::function<BOOL(HANDLE token, LPVOID buffer, DWORD size, PDWORD returned)>;
    // Every class is rewritten.
    static const TOKEN_INFORMATION_CLASS kEveryClass = static_cast<TOKEN_INFORMATION_CLASS>(0);
    TokenInformationSeam(TOKEN_INFORMATION_CLASS infoClass, Rewrite rewrite);
    ~TokenInformationSeam();
    TokenInformationSeam(const TokenInformationSeam&) = delete;
    TokenInformationSeam& operator=(const TokenInformationSeam&) = delete;

    bool Installed() const { return m_hook.Installed(); }
    // The system's own answer, for rewrites that change what it returned.
    static BOOL Original(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID buffer, DWORD size, PDWORD returned);
    // How many calls for the class the seam answered.
    int Calls() const;

private:
    qztest::IatHook m_hook;
};

// A rewrite that fails every call with error.
TokenInformationSeam::Rewrite FailWith(DWORD error);

} // namespace qzreporttest
