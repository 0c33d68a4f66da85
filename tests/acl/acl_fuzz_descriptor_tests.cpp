// Hostile self-relative descriptors ending at a guard page (see
// acl_fuzz_util.h).
#include <windows.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "tests/acl/acl_fuzz_util.h"

using namespace aclfuzz;

namespace
{

TEST(AclFuzzTest, RandomAndTruncatedDescriptors)
{
    qztest::GuardedBytes guard(34);
    ASSERT_TRUE(guard.Ready());
    Generator generator(kSeed + 1);
    unsigned accepted = 0, refused = 0, aceErrors = 0;
    for (unsigned iteration = 0; iteration < 400000; ++iteration)
    {
        const Bytes bytes = generator.Descriptor();
        const BYTE* placed = guard.Place(bytes);
        CqzSecurityDesc sd;
        if (!sd.CopySelfRelative(placed, static_cast<DWORD>(bytes.size())))
        {
            ++refused;
            ASSERT_EQ(sd.GetPSECURITY_DESCRIPTOR(), nullptr);
            continue;
        }
        ++accepted;
        const acltest::Lines lines = acltest::DumpOf(sd);
        ASSERT_GE(lines.size(), 6u) << "iteration " << iteration << " " << Hex(placed, bytes.size());
        ASSERT_EQ(lines[0].rfind(L"   SECURITY DESCRIPTOR: ", 0), 0u) << "iteration " << iteration;
        for (const std::wstring& line : lines)
            if (line.find(L": ERROR") != std::wstring::npos)
                ++aceErrors;
        // The absolute form holds the same pieces.
        ASSERT_TRUE(sd.MakeAbsolute()) << "iteration " << iteration;
        ASSERT_EQ(acltest::DumpOf(sd).size(), lines.size()) << "iteration " << iteration;
    }
    EXPECT_GT(accepted, 50000u);
    EXPECT_GT(refused, 50000u);
    EXPECT_GT(aceErrors, 5000u);
}

} // namespace
