// A second module that writes through the trace library's stream.
#pragma once

#include <ostream>

#ifdef TRACE_PEER_BUILD
#define TRACE_PEER_API extern "C" __declspec(dllexport)
#else
#define TRACE_PEER_API extern "C" __declspec(dllimport)
#endif

// Results of the peer functions.
enum
{
    kPeerOk = 0,
    kPeerBadCast = 1,
    kPeerOtherException = 2,
    kPeerStreamFailed = 3,
};

// The text both functions insert.
#define TRACE_PEER_EXPECTED                                                                                            \
    "L=-123456789 UL=4000000000 I64=-9000000000000000000 P=0x12345678 W=\xC3\xA9\xE4\xB8\xAD C=A"

// Inserts long, unsigned long, signed 64-bit, pointer, wide text and unsigned
// char into the stream handed over.
TRACE_PEER_API int PeerInsert(std::ostream& os);
// Writes the same as one statement of the given level, class "CqzTracePeer".
TRACE_PEER_API int PeerTrace(int level);
// How many statements the peer's static initialisers ran.
TRACE_PEER_API int PeerStaticStatements();
