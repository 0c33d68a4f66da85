// Hostile ACLs ending at a guard page (see acl_fuzz_util.h).
#include <windows.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "tests/acl/acl_fuzz_util.h"

using namespace aclfuzz;

namespace
{

TEST(AclFuzzTest, RandomAndTruncatedAcls)
{
    qztest::GuardedBytes guard(17);
    ASSERT_TRUE(guard.Ready());
    Generator generator(kSeed);
    unsigned errors = 0, complete = 0;
    for (unsigned iteration = 0; iteration < 600000; ++iteration)
    {
        const Bytes bytes = generator.Acl();
        const BYTE* placed = guard.Place(bytes);
        const ACL* acl = reinterpret_cast<const ACL*>(placed);
        const Walk model = ModelWalk(placed);

        CqzStringTextSink sink;
        CqzSecurityDesc::DumpAcl(acl, sink);
        const acltest::Lines lines = acltest::LinesOf(sink);
        const size_t expected = 1 + model.readable + (model.error ? 1 : 0);
        ASSERT_EQ(lines.size(), expected) << "iteration " << iteration << " " << Hex(placed, bytes.size());
        if (model.error)
        {
            wchar_t errorLine[32];
            std::swprintf(errorLine, 32, L"      ACE %.2u: ERROR", model.readable);
            ASSERT_EQ(lines.back(), errorLine) << "iteration " << iteration << " " << Hex(placed, bytes.size());
            ++errors;
        }
        else
        {
            ++complete;
        }

        CDacl dacl;
        const bool revisionOk = bytes[0] >= 2 && bytes[0] <= 4;
        ASSERT_EQ(dacl.Copy(acl), !model.error && revisionOk)
            << "iteration " << iteration << " " << Hex(placed, bytes.size());
        if (!model.error && revisionOk)
        {
            ASSERT_EQ(dacl.GetAceCount(), model.readable) << "iteration " << iteration;
        }
    }
    // Both outcomes were produced in numbers.
    EXPECT_GT(errors, 50000u);
    EXPECT_GT(complete, 50000u);
}

} // namespace
