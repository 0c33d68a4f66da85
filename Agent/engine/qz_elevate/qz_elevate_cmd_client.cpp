#include "qz_elevate_cmd_client.h"

#include <cstdlib>
#include <cwchar>
#include <string>

#include "common/cust_cmd/cust_cmd.h"
#include "common/util/scoped.h"
#include "trace/trace.h"

namespace
{
const char* const kClassName = "CqzQzElevateCmdClient";

// 61 characters and at most 10 digits.
const size_t kExitTextChars = 80;
} // namespace

void CqzQzElevateCmdClient::NotifyProcessExit()
{
    QZ_STACK_NAME("NotifyProcessExit", kClassName);

    // UTF-16 as the declaration says; no byte-order mark, no whitespace.
    wchar_t text[kExitTextChars] = {};
    std::swprintf(text, kExitTextChars, L"<?xml version=\"1.0\" encoding=\"utf-16\"?><XML><PID>%lu</PID></XML>",
                  static_cast<unsigned long>(::GetCurrentProcessId()));

    const DWORD size = CqzCustComdFileMap::_GetSerializedSize(text);
    CqzScopedHeap<BYTE> payload(static_cast<BYTE*>(std::malloc(size)));
    bool sent = false;
    if (payload)
    {
        CqzCustComdFileMap::_Serialize(text, payload.Get());
        // The send's text for the user has no reader here.
        std::wstring errorText;
        sent = CqzCustCmdClient::SendData(QZ_CIC_NOTIFY_QZELEVATE_EXIT, size, payload.Get(), errorText);
    }
    if (!sent)
        QZTRACE(QZT_ERROR, kClassName, "ERROR: Failed to send QZ_CIC_NOTIFY_QZELEVATE_EXIT command");
}
