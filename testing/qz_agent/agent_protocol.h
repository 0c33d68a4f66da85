// What the agent service stand-in and the suites that drive it agree on: the
// stand-in's own test commands, the payload patterns it checks, and the
// format of its log of received records.
//
// The log, "<directory of qz_agent.exe>\qz_agent.received.log", holds one
// UTF-8 line per service control 130 (and one per start and stop):
// tab-separated key=value fields, values escaped (\\ \t \n \r). Keys:
//   event    "control" (130) | "start" | "stop" | "other_control" (another
//            user-defined control) | "after_release" (kCmdWatchRelease)
//   seq      number of the control since the service started (1, 2, ...)
//   section  the section name the record was read from, or "none";
//            global_error / local_error: why a name could not be opened
//   dacl     SDDL of that section's DACL as the sender made it; widened=1
//            when the stand-in, not running as LocalSystem (Wine), had to
//            add itself to that DACL to read what LocalSystem could
//   region   mapped region size; magic (0x....), cmd, len: the header
//   crc      CRC-32 of the payload; tail "zero" when the section is zero
//            after the record, else "dirty"; hex: the payload in hex when
//            it is at most 256 bytes (the first 64 of a longer one for
//            unknown commands)
//   mutex    "held" when someone else held the channel mutex during the
//            control, "free" otherwise
//   status   "accepted" or "refused"; reason (and trace: the readers' own
//            lines) tell why a record was refused
//   and the fields each command decodes (text, pid, tag, whole,
//   client_pid, address, event_handle, set_result, ...).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qzagent
{

// Test commands of the stand-in (the launcher sends only command 10).
// Result: raw DWORD sender pid, raw DWORD mode, raw DWORD answer, result block.
constexpr DWORD kCmdResult = 0x7001;
// Answers every held result with its answer; no payload.
constexpr DWORD kCmdAnswerHeld = 0x7002;
// Load: string tag, then a byte block whose bytes are LoadPattern(tag, size).
constexpr DWORD kCmdLoad = 0x7003;
// Watch the release: once the sender lets go of the channel mutex, a thread of
// the stand-in takes it and logs ("event=after_release") whether the section
// the record came in is still there. No payload.
constexpr DWORD kCmdWatchRelease = 0x7004;

// Result modes.
constexpr DWORD kAnswerNow = 0;  // SetResultReady inside the control handler
constexpr DWORD kAnswerHeld = 1; // SetResultReady at the next kCmdAnswerHeld

constexpr wchar_t kServiceName[] = L"qz_agent";
constexpr wchar_t kDisplayName[] = L"Dunmoral Agent";
constexpr wchar_t kExeName[] = L"qz_agent.exe";
constexpr wchar_t kLogName[] = L"qz_agent.received.log";
constexpr wchar_t kTraceName[] = L"qz_agent.trace";

inline unsigned Crc32(const BYTE* data, size_t size)
{
    unsigned crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i)
    {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc ^ 0xFFFFFFFFu;
}

// The bytes a load record's block must hold: they depend on the tag and on
// every position, so a record mixed from two senders does not match.
inline std::vector<BYTE> LoadPattern(const std::wstring& tag, DWORD size)
{
    unsigned seed = Crc32(reinterpret_cast<const BYTE*>(tag.data()), tag.size() * sizeof(wchar_t));
    std::vector<BYTE> bytes(size);
    for (DWORD i = 0; i < size; ++i)
    {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = static_cast<BYTE>(seed >> 16);
    }
    return bytes;
}

inline std::string EscapeLogValue(const std::string& value)
{
    std::string out;
    for (char c : value)
    {
        switch (c)
        {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

inline std::string UnescapeLogValue(const std::string& value)
{
    std::string out;
    for (size_t i = 0; i < value.size(); ++i)
    {
        if (value[i] != '\\' || i + 1 == value.size())
        {
            out += value[i];
            continue;
        }
        const char next = value[++i];
        out += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    }
    return out;
}

} // namespace qzagent
