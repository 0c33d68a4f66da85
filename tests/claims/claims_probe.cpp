// Probe of the claims suite, started as another Windows version (Wine's
// per-program version setting). It runs every operation that asks for the
// version on its own process token and writes what happened as key=value
// lines:
//
//   claims_probe.exe <result file>
//
// Keys: major, minor, from_token (0/1), from_token_error, policy_count,
// attribute_kept (the attribute given to FromPolicyData still holds its
// record), dump (the text Dump wrote, with "\r\n" as "|"), set_without_values
// (0/1), get_calls and set_calls (GetTokenInformation / SetTokenInformation
// calls for TokenSecurityAttributes, counted through the executable's import
// table), trace (one per traced line). Exit code 0, or 2 for bad arguments.
#include <windows.h>

#include <fstream>
#include <string>

#include "common/security/token_security_attributes.h"
#include "common/util/os.h"
#include "common/util/text_sink.h"
#include "testing/harness/harness.h"
#include "testing/harness/iat_hook.h"

namespace
{
typedef BOOL(WINAPI* GetTokenInformationFn)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
typedef BOOL(WINAPI* SetTokenInformationFn)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD);
GetTokenInformationFn g_get = nullptr;
SetTokenInformationFn g_set = nullptr;
int g_getCalls = 0;
int g_setCalls = 0;

BOOL WINAPI CountingGet(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID buffer, DWORD size, PDWORD returned)
{
    if (infoClass == TokenSecurityAttributes)
        ++g_getCalls;
    return g_get(token, infoClass, buffer, size, returned);
}

BOOL WINAPI CountingSet(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, LPVOID buffer, DWORD size)
{
    if (infoClass == TokenSecurityAttributes)
        ++g_setCalls;
    return g_set(token, infoClass, buffer, size);
}

std::string Flat(const std::wstring& text)
{
    std::wstring flat;
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n')
        {
            flat += L'|';
            ++i;
        }
        else
        {
            flat += text[i];
        }
    }
    return qztest::ToUtf8(flat);
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
        return 2;
    qztest::IatHook get("advapi32.dll", "GetTokenInformation", reinterpret_cast<void*>(&CountingGet));
    qztest::IatHook set("advapi32.dll", "SetTokenInformation", reinterpret_cast<void*>(&CountingSet));
    g_get = get.OriginalAs<GetTokenInformationFn>();
    g_set = set.OriginalAs<SetTokenInformationFn>();

    std::ofstream out(argv[1], std::ios::binary);
    out << "major=" << CqzOperatingSystem::GetMajorVersion() << "\n";
    out << "minor=" << CqzOperatingSystem::GetMinorVersion() << "\n";
    out << "hooks=" << (get.Installed() && set.Installed() ? 1 : 0) << "\n";

    qztest::ScopedHandle token = qztest::OpenOwnProcessToken();
    std::vector<std::string> traced;
    {
        qztest::TraceCapture capture;
        CqzTokenSecurityAttributes attributes;
        DWORD error = 0;
        out << "from_token=" << (attributes.FromAccessToken(token.Get(), error) ? 1 : 0) << "\n";
        out << "from_token_error=" << error << "\n";

        const LONG64 value = 1;
        CqzTokenSecurityAttribute attribute;
        attribute._SetNameAndSimpleValues(L"Claim.Probe", &value, sizeof(value), 1, 1, 0);
        attributes.FromPolicyData(attribute);
        out << "policy_count=" << attributes.GetCount() << "\n";
        out << "attribute_kept=" << (attribute.IsOwned() && attribute.GetName() == L"Claim.Probe" ? 1 : 0) << "\n";

        CqzStringTextSink sink;
        attributes.Dump(sink);
        out << "dump=" << Flat(sink.Text()) << "\n";

        out << "set_without_values="
            << (CqzTokenSecurityAttributes::SetAttributeWithoutValues(token.Get(), L"Claim.Probe", 1) ? 1 : 0) << "\n";
        traced = capture.Lines();
    }
    out << "get_calls=" << g_getCalls << "\n";
    out << "set_calls=" << g_setCalls << "\n";
    for (const std::string& line : traced)
        out << "trace=" << line << "\n";
    out << "done=1\n";
    return 0;
}
