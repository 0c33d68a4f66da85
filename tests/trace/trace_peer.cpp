#define TRACE_PEER_BUILD
#include "tests/trace/trace_peer.h"

#include <windows.h>

#include <typeinfo>

#include "trace/trace.h"

namespace
{

int g_staticStatements = 0;

// Traces from a static initialiser and from a static destructor: the library
// must serve both (before main, at exit).
struct CqzPeerStatic
{
    CqzPeerStatic()
    {
        QZ_STACK_NAME("CqzPeerStatic", "CqzPeerStatic");
        QZTRACE(QZT_INFO, "CqzPeerStatic", "INFO: peer static initialiser " << 1L);
        ++g_staticStatements;
    }
    ~CqzPeerStatic()
    {
        QZ_STACK_NAME("~CqzPeerStatic", "CqzPeerStatic");
        QZTRACE(QZT_INFO, "CqzPeerStatic", "INFO: peer static destructor " << L"\u00e9");
    }
};
CqzPeerStatic g_peerStatic;

// Every kind of insertion the agent's code uses, in one expression.
#define PEER_PIECES                                                                                                    \
    "L=" << -123456789L << " UL=" << 4000000000UL << " I64=" << -9000000000000000000LL                                 \
         << " P=" << reinterpret_cast<const void*>(0x12345678) << " W=" << L"\u00e9\u4e2d"                             \
         << " C=" << static_cast<unsigned char>('A')

} // namespace

int PeerInsert(std::ostream& os)
{
    try
    {
        os << PEER_PIECES;
        return os.good() ? kPeerOk : kPeerStreamFailed;
    }
    catch (const std::bad_cast&)
    {
        return kPeerBadCast;
    }
    catch (...)
    {
        return kPeerOtherException;
    }
}

int PeerTrace(int level)
{
    QZ_STACK_NAME("PeerTrace", "CqzTracePeer");
    int result = kPeerOk;
    try
    {
        QZTRACE(level, "CqzTracePeer", PEER_PIECES);
    }
    catch (const std::bad_cast&)
    {
        result = kPeerBadCast;
    }
    catch (...)
    {
        result = kPeerOtherException;
    }
    return result;
}

int PeerStaticStatements()
{
    return g_staticStatements;
}
