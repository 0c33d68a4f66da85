// The launcher's one message to the agent: that its process is ending.
#pragma once

#include <windows.h>

class CqzQzElevateCmdClient
{
public:
    CqzQzElevateCmdClient() = delete;

    // Sends QZ_CIC_NOTIFY_QZELEVATE_EXIT with this process's id to the agent
    // service. A failure is traced and otherwise ignored: the notification is
    // lost when the agent is absent, and nothing about the run changes.
    static void NotifyProcessExit();
};
