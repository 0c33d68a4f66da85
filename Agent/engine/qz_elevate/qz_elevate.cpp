// Process entry of the launcher: a windowless program of the GUI subsystem.
#include "Agent/engine/qz_elevate/qz_elevate_module.h"

#include "common/util/util.h"

#include <cstdio>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // Every run of one user shares the start-up file name.
    char traceFileName[64];
    std::snprintf(traceFileName, sizeof(traceFileName), "qz_elevate.%s.{%u}.trace", "x32", CqzUtil::GetUserSidCrc());
    InitTrace(traceFileName);

    // Outside the agent's installation the process ends at once: no OLE, no
    // notification to the agent, no exit line.
    if (!CqzUtil::IsValidProcessPath())
        return -1;

    // Still to come here: OLE initialisation, the registration scan and the
    // command dispatch, the exit notification to the agent and the exit line.
    return 0;
}
