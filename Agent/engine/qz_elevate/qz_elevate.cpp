// Process entry of the launcher: a windowless program of the GUI subsystem.
#include "Agent/engine/qz_elevate/qz_elevate_module.h"

#include "Agent/engine/qz_elevate/qz_elevate_cmd_client.h"
#include "common/util/util.h"
#include "trace/trace.h"

#include <cstdio>

// The one module object: constructed by static initialisation, destroyed by
// the runtime's exit after wWinMain has returned.
CqzElevateModule _AtlModule;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int nShowCmd)
{
    QZ_STACK_NAME("wWinMain", nullptr);

    // Every run of one user shares the start-up file name.
    char traceFileName[64];
    std::snprintf(traceFileName, sizeof(traceFileName), "qz_elevate.%s.{%u}.trace", QZ_ELEVATE_ARCH_WORD,
                  CqzUtil::GetUserSidCrc());
    InitTrace(traceFileName);

    // Outside the agent's installation the process ends at once: no OLE, no
    // notification to the agent, no exit line.
    if (!CqzUtil::IsValidProcessPath())
        return -1;

    // OLE, then a registration word or the command dispatch, then OLE again;
    // -1 when the module could not start, the OLE failure when OLE could not.
    const int result = _AtlModule.WinMain(nShowCmd);

    // Whatever happened, the agent that started us learns that we are gone;
    // a failure to tell it changes nothing here.
    CqzQzElevateCmdClient::NotifyProcessExit();

    QZTRACE(QZT_INFO, nullptr, "INFO: Exited with code " << static_cast<long>(result));
    return result;
}
