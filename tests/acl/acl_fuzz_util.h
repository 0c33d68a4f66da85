// Hostile ACLs and self-relative descriptors, each placed so that its last
// declared byte is the last byte before a PAGE_NOACCESS page: a reader that
// looks one byte further faults. The inputs are made from well-formed ones,
// then counts, sizes, offsets and SID counts are pushed past their ends and
// the bytes cut short, with a fixed seed. A model written here from the
// byte layout says how many ACEs can be read; the rendering must agree.
#pragma once

#include <windows.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "testing/harness/guarded_bytes.h"
#include "tests/acl/acl_test_util.h"

namespace aclfuzz
{

using Bytes = std::vector<BYTE>;

const unsigned kSeed = 0x0AC1F022;

class Generator
{
public:
    explicit Generator(unsigned seed) : m_rng(seed) {}

    unsigned Below(unsigned n) { return n == 0 ? 0 : static_cast<unsigned>(m_rng() % n); }
    bool Chance(unsigned percent) { return Below(100) < percent; }
    BYTE Byte() { return static_cast<BYTE>(m_rng()); }
    DWORD Dword() { return static_cast<DWORD>(m_rng()); }

    static void PutWord(Bytes& bytes, size_t at, WORD value) { std::memcpy(&bytes[at], &value, 2); }
    static void PutDword(Bytes& bytes, size_t at, DWORD value) { std::memcpy(&bytes[at], &value, 4); }

    Bytes Sid()
    {
        // Mostly well-known authorities, so that names are looked up for some.
        static const BYTE authorities[] = {0, 1, 5, 5, 5, 16, 15, 99};
        const BYTE count = static_cast<BYTE>(Below(6));
        Bytes sid(8 + 4 * count);
        sid[0] = Chance(95) ? 1 : Byte();
        sid[1] = count;
        sid[7] = authorities[Below(sizeof(authorities))];
        for (BYTE i = 0; i < count; ++i)
            PutDword(sid, 8 + 4 * i, Chance(70) ? Below(40) : Dword());
        return sid;
    }

    Bytes Ace()
    {
        static const BYTE types[] = {0, 1, 2, 3, 4, 5, 6, 7, 9, 11, 13, 15, 17, 17, 18, 0x42};
        const BYTE type = types[Below(sizeof(types))];
        Bytes ace(4);
        ace[0] = type;
        ace[1] = Chance(50) ? 0 : Byte();
        const bool object = type == 5 || type == 6 || type == 7 || type == 11 || type == 15;
        if (type != 4 && type != 18 && type != 0x42)
        {
            ace.resize(8);
            PutDword(ace, 4, Dword());
            if (object)
            {
                const DWORD flags = Below(4);
                ace.resize(12 + 16 * ((flags & 1) + ((flags >> 1) & 1)));
                PutDword(ace, 8, flags);
            }
            if (Chance(90))
            {
                const Bytes sid = Sid();
                ace.insert(ace.end(), sid.begin(), sid.end());
            }
        }
        else
        {
            ace.resize(4 + 4 * Below(4));
        }
        PutWord(ace, 2, static_cast<WORD>(ace.size()));
        return ace;
    }

    // A well-formed ACL, then damaged. The result's AclSize is its length.
    Bytes Acl()
    {
        Bytes acl(8);
        acl[0] = Chance(90) ? ACL_REVISION : static_cast<BYTE>(Below(6));
        const unsigned count = Below(6);
        std::vector<size_t> starts;
        for (unsigned i = 0; i < count; ++i)
        {
            starts.push_back(acl.size());
            const Bytes ace = Ace();
            acl.insert(acl.end(), ace.begin(), ace.end());
        }
        WORD declaredCount = static_cast<WORD>(count);
        if (Chance(15))
            declaredCount = static_cast<WORD>(count + 1 + Below(Chance(50) ? 3 : 0x7FFF));
        PutWord(acl, 4, declaredCount);
        if (!starts.empty() && Chance(30))
        {
            const size_t at = starts[Below(static_cast<unsigned>(starts.size()))];
            switch (Below(5))
            {
            case 0:
                PutWord(acl, at + 2, 0);
                break; // size 0
            case 1:
                PutWord(acl, at + 2, static_cast<WORD>(1 + Below(3)));
                break; // below the header
            case 2:
                PutWord(acl, at + 2, static_cast<WORD>(acl.size() - at + 1 + Below(64)));
                break; // past the end
            case 3:    // a SID count past the ACE's end
                if ((acl[at] <= 3 || acl[at] == 17 || acl[at] == 9 || acl[at] == 13) && at + 9 < acl.size())
                    acl[at + 9] = static_cast<BYTE>(Chance(50) ? 15 : Byte());
                break;
            default: // an ACE size that ends inside the next ACE or SID
                PutWord(acl, at + 2, static_cast<WORD>(4 + 4 * Below(8)));
                break;
            }
        }
        for (unsigned flips = Chance(20) ? 1 + Below(3) : 0; flips > 0; --flips)
            acl[Below(static_cast<unsigned>(acl.size()))] = Byte();
        if (Chance(35)) // cut short; the header stays
            acl.resize(8 + Below(static_cast<unsigned>(acl.size() - 8) + 1));
        PutWord(acl, 2, static_cast<WORD>(acl.size()));
        return acl;
    }

    // A self-relative descriptor of owner, group, SACL and DACL, then damaged.
    Bytes Descriptor()
    {
        Bytes sd(20);
        sd[0] = Chance(97) ? SECURITY_DESCRIPTOR_REVISION : Byte();
        WORD control = static_cast<WORD>(SE_SELF_RELATIVE | (Dword() & 0x3F3F));
        if (Chance(3))
            control &= ~SE_SELF_RELATIVE;
        PutWord(sd, 2, control);
        auto append = [&](size_t field, const Bytes& piece)
        {
            while (sd.size() % 4 != 0)
                sd.push_back(0);
            PutDword(sd, field, static_cast<DWORD>(sd.size()));
            sd.insert(sd.end(), piece.begin(), piece.end());
        };
        if (Chance(80))
            append(4, Sid());
        if (Chance(80))
            append(8, Sid());
        if (Chance(60))
            append(12, Acl());
        if (Chance(80))
            append(16, Acl());
        if (Chance(20)) // an offset past the end, unaligned or inside the header
        {
            const size_t field = 4 + 4 * Below(4);
            const DWORD offsets[] = {static_cast<DWORD>(sd.size() + 4 * Below(8)), 1 + 4 * Below(8) + 2, 4 * Below(5),
                                     Dword()};
            PutDword(sd, field, offsets[Below(4)]);
        }
        if (Chance(15)) // a SID count past the end of the buffer
        {
            DWORD owner = 0;
            std::memcpy(&owner, &sd[4], 4);
            if (owner != 0 && owner + 1 < sd.size())
                sd[owner + 1] = static_cast<BYTE>(Below(16));
        }
        for (unsigned flips = Chance(15) ? 1 + Below(3) : 0; flips > 0; --flips)
            sd[Below(static_cast<unsigned>(sd.size()))] = Byte();
        if (Chance(30))
            sd.resize(Below(static_cast<unsigned>(sd.size()) + 1));
        return sd;
    }

private:
    std::mt19937 m_rng;
};

// The model: how many ACEs of the ACL can be read, and whether the walk ends
// on one that cannot.
struct Walk
{
    unsigned readable = 0;
    bool error = false;
};

inline bool SidFits(const BYTE* sid, size_t room)
{
    return room >= 8 && sid[0] == 1 && sid[1] <= 15 && 8u + 4u * sid[1] <= room;
}

inline Walk ModelWalk(const BYTE* acl)
{
    Walk walk;
    const size_t aclSize = acl[2] | (acl[3] << 8);
    const unsigned count = acl[4] | (acl[5] << 8);
    size_t at = 8;
    for (unsigned i = 0; i < count; ++i)
    {
        if (at + 4 > aclSize)
            return walk.error = true, walk;
        const BYTE* ace = acl + at;
        const size_t size = ace[2] | (ace[3] << 8);
        if (size < 4 || at + size > aclSize)
            return walk.error = true, walk;
        const BYTE type = ace[0];
        const bool maskSid = type <= 3 || type == 9 || type == 10 || type == 13 || type == 14 || type == 17;
        const bool object = (type >= 5 && type <= 8) || type == 11 || type == 12 || type == 15 || type == 16;
        size_t fixed = 8;
        if (object)
        {
            if (size < 12)
                return walk.error = true, walk;
            const DWORD flags = ace[8] | (ace[9] << 8) | (ace[10] << 16) | (DWORD(ace[11]) << 24);
            fixed = 12 + ((flags & 1) ? 16 : 0) + ((flags & 2) ? 16 : 0);
        }
        if ((maskSid || object) && (size < fixed || (size > fixed && !SidFits(ace + fixed, size - fixed))))
            return walk.error = true, walk;
        ++walk.readable;
        at += size;
    }
    return walk;
}

inline std::string Hex(const BYTE* bytes, size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < size && i < 200; ++i)
        text += std::string(1, digits[bytes[i] >> 4]) + digits[bytes[i] & 15];
    return text;
}

} // namespace aclfuzz
