// Probe of handle_tests, started as itself and as handle_probe_xp.exe, which
// Wine runs as Windows XP (the per-program version setting goes by name). It
// runs the label operations on a mutex and on its own token and writes what
// they answered as key=value lines.
//
//   handle_probe.exe <result file>
//
// Exit code: 0 when the result file was written, 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/security/access_token.h"
#include "common/security/qz_handle.h"
#include "common/util/os.h"

namespace
{
CSid LowLabel()
{
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_MANDATORY_LABEL_AUTHORITY;
    BYTE buffer[SECURITY_MAX_SID_SIZE] = {};
    CSid sid;
    if (::InitializeSid(buffer, &authority, 1))
    {
        *::GetSidSubAuthority(buffer, 0) = SECURITY_MANDATORY_LOW_RID;
        sid.LoadAccount(static_cast<PSID>(buffer));
    }
    return sid;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
        return 1;
    std::string out;
    const auto put = [&out](const char* key, unsigned long value)
    { out += std::string(key) + "=" + std::to_string(value) + "\n"; };
    put("major", CqzOperatingSystem::GetMajorVersion());

    CqzKernelObjectHandle mutex(::CreateMutexW(nullptr, FALSE, nullptr));
    put("set", mutex.SetMandatoryLabel(LowLabel(), SYSTEM_MANDATORY_LABEL_NO_WRITE_UP) ? 1 : 0);
    put("set_error", mutex.LastError());
    // An empty object: before Vista the setter does nothing, handle or not.
    CqzKernelObjectHandle empty;
    put("set_empty", empty.SetLowIntegrity(0) ? 1 : 0);
    put("set_empty_error", empty.LastError());
    std::vector<CSid> labels;
    labels.push_back(LowLabel());
    put("get", mutex.GetMandatoryLabels(labels) ? 1 : 0);
    put("get_error", mutex.LastError());
    put("get_count", static_cast<unsigned long>(labels.size()));

    CqzAccessToken token;
    HANDLE raw = nullptr;
    if (::OpenProcessToken(::GetCurrentProcess(), READ_CONTROL | WRITE_OWNER | TOKEN_QUERY, &raw))
        token.Attach(raw);
    CSid label;
    put("token_get", token.GetMandatoryLabel(label) ? 1 : 0);
    put("token_get_error", token.LastError());
    put("token_set", token.SetMandatoryLabel(LowLabel(), 0) ? 1 : 0);
    put("token_set_error", token.LastError());

    FILE* file = _wfopen(argv[1], L"wb");
    if (file == nullptr)
        return 1;
    const bool written = std::fwrite(out.data(), 1, out.size(), file) == out.size();
    return std::fclose(file) == 0 && written ? 0 : 1;
}
