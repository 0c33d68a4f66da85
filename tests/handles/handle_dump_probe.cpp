// Child process of the dump suite: dumps one path with the parent-token
// retry allowed or not, and reports which calls ran impersonating.
//   handle_dump_probe <path> <dump file> <1: flag set, 0: clear> <result file>
// The result file holds key=value lines: attributes, opens, dump_opens (one
// digit per call, 1 impersonating) and impersonating_after.
#include "common/security/qz_handle.h"
#include "common/util/util.h"
#include "testing/harness/harness.h"
#include "tests/handles/handle_dump_test_util.h"

#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5)
        return 2;
    CqzUtil::SetNoParentImpersonation(std::wstring(argv[3]) == L"1");
    std::string text;
    {
        qzdumptest::DumpCallRecorder recorder(argv[1], argv[2]);
        if (!recorder.Installed())
            return 3;
        CqzFileObjectHandle::Dump(argv[1], argv[2]);
        text = "attributes=" + recorder.Attributes() + "\nopens=" + recorder.Opens() +
               "\ndump_opens=" + recorder.DumpOpens() + "\n";
    }
    HANDLE token = nullptr;
    const bool impersonating = ::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token) != FALSE;
    if (token)
        ::CloseHandle(token);
    text += std::string("impersonating_after=") + (impersonating ? "1" : "0") + "\n";
    return qztest::WriteTextFile(argv[4], text) ? 0 : 4;
}
