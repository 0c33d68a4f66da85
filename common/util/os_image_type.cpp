// Image and machine types of processes and of the system: IsWow64Process2
// where the system has it, IsWow64Process before that.
#include "common/util/os.h"

#include <initializer_list>

#include "common/util/exports.h"
#include "trace/trace.h"

namespace
{
const char* const kClassName = "CqzOperatingSystem";

// Machine types as IMAGE_FILE_MACHINE_*; not every SDK header defines the
// ARM ones.
const USHORT kMachineI386 = 0x14C;
const USHORT kMachineArmNt = 0x1C4;
const USHORT kMachineAmd64 = 0x8664;
const USHORT kMachineArm64 = 0xAA64;

bool IsOneOf(USHORT machine, std::initializer_list<USHORT> machines)
{
    for (USHORT m : machines)
        if (m == machine)
            return true;
    return false;
}

} // namespace

USHORT CqzOperatingSystem::ImageTypeFromWow64Process2(USHORT processMachine, USHORT nativeMachine)
{
    if (IsOneOf(processMachine, {kMachineArm64, kMachineAmd64, kMachineI386, kMachineArmNt}))
        return processMachine;
    if (processMachine == 0) // not under emulation: the image is the system's own type
        return NativeTypeFromWow64Process2(nativeMachine);
    return 0;
}

USHORT CqzOperatingSystem::NativeTypeFromWow64Process2(USHORT nativeMachine)
{
    return IsOneOf(nativeMachine, {kMachineArm64, kMachineAmd64, kMachineI386}) ? nativeMachine : 0;
}

USHORT CqzOperatingSystem::ImageTypeFromIsWow64(BOOL wow64, USHORT nativeMachine)
{
    if (wow64)
        return kMachineI386;
    return (nativeMachine == kMachineAmd64 || nativeMachine == kMachineArm64) ? kMachineAmd64 : kMachineI386;
}

USHORT CqzOperatingSystem::NativeTypeFromIsWow64(BOOL wow64)
{
    if (wow64)
        return kMachineAmd64;
#ifdef _WIN64
    // A 64-bit process that is not emulated runs on a 64-bit x86 system.
    return kMachineAmd64;
#else
    return kMachineI386;
#endif
}

CqzOperatingSystem::IsWow64Process2Fn CqzOperatingSystem::_GetIsWow64Process2()
{
    static const IsWow64Process2Fn isWow64Process2 = []() -> IsWow64Process2Fn
    {
        HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
        if (!kernel32)
        {
            const DWORD error = ::GetLastError();
            QZ_STACK_NAME("_GetIsWow64Process2", kClassName);
            QZTRACE(QZT_ERROR, kClassName,
                    "ERROR: GetModuleHandle(kernel32.dll) failed."
                        << " LastError=" << error);
            return nullptr;
        }
        return CqzResolveExport<IsWow64Process2Fn>(kernel32, "IsWow64Process2");
    }();
    return isWow64Process2;
}

bool CqzOperatingSystem::_CallIsWow64Process2(HANDLE process, USHORT& processMachine, USHORT& nativeMachine)
{
    processMachine = 0;
    nativeMachine = 0;
    IsWow64Process2Fn isWow64Process2 = _GetIsWow64Process2();
    if (!isWow64Process2)
        return false;
    QZ_STACK_NAME("_CallIsWow64Process2", kClassName);
    if (!isWow64Process2(process, &processMachine, &nativeMachine))
    {
        const DWORD error = ::GetLastError();
        processMachine = 0;
        nativeMachine = 0;
        QZTRACE(QZT_ERROR, kClassName,
                "ERROR: IsWow64Process2 failed."
                    << " LastError=" << error);
        return false;
    }
    QZTRACE(QZT_DEBUG, kClassName,
            "DEBUG: IsWow64Process2. processMachine: " << static_cast<unsigned long>(processMachine)
                                                       << ", nativeMachine: "
                                                       << static_cast<unsigned long>(nativeMachine));
    return true;
}

namespace
{

// IsWow64Process with its trace lines; false when the call failed.
bool CallIsWow64Process(HANDLE process, BOOL& wow64)
{
    QZ_STACK_NAME("CallIsWow64Process", kClassName);
    wow64 = FALSE;
    if (!::IsWow64Process(process, &wow64))
    {
        const DWORD error = ::GetLastError();
        QZTRACE(QZT_ERROR, kClassName,
                "ERROR: IsWow64Process failed."
                    << " LastError=" << error);
        return false;
    }
    QZTRACE(QZT_DEBUG, kClassName, "DEBUG: IsWow64Process. wow64Process: " << static_cast<long>(wow64));
    return true;
}

} // namespace

bool CqzOperatingSystem::GetProcessImageType(HANDLE process, USHORT& machine)
{
    machine = 0;
    if (!process)
        process = ::GetCurrentProcess();
    if (_GetIsWow64Process2())
    {
        USHORT processMachine = 0;
        USHORT nativeMachine = 0;
        if (_CallIsWow64Process2(process, processMachine, nativeMachine))
            machine = ImageTypeFromWow64Process2(processMachine, nativeMachine);
    }
    else
    {
        BOOL wow64 = FALSE;
        if (CallIsWow64Process(process, wow64))
            machine = ImageTypeFromIsWow64(wow64, wow64 ? 0 : GetNativeOSImageType());
    }
    return machine != 0;
}

USHORT CqzOperatingSystem::GetNativeOSImageType()
{
    if (_GetIsWow64Process2())
    {
        USHORT processMachine = 0;
        USHORT nativeMachine = 0;
        if (!_CallIsWow64Process2(::GetCurrentProcess(), processMachine, nativeMachine))
            return 0;
        return NativeTypeFromWow64Process2(nativeMachine);
    }
    BOOL wow64 = FALSE;
    if (!CallIsWow64Process(::GetCurrentProcess(), wow64))
        return 0;
    return NativeTypeFromIsWow64(wow64);
}

bool CqzOperatingSystem::IsArmNative()
{
    const USHORT native = GetNativeOSImageType();
    return native == kMachineArmNt || native == kMachineArm64;
}
