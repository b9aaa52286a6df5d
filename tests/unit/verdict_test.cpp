// FileVerdict to ErrorCode, and the verdict of a staged file that would not open.
#include <gtest/gtest.h>

#include "engine/verdict.h"

namespace {

TEST(ErrorCodeForVerdict, EachVerdictHasItsCode) {
    const u32 expected[][2] = {
        {Ok, 0},          {DigestMismatch, 12}, {NotSigned, 13},   {WrongSigner, 14},
        {WrongVersion, 15}, {StagedMissing, 16}, {NotReplaced, 18}, {RevocationUnknown, 21},
    };
    for (const auto& row : expected) EXPECT_EQ(ErrorCodeForVerdict(row[0]), row[1]) << row[0];
    for (u32 unknown : {8u, 9u, 0x80000000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(ErrorCodeForVerdict(unknown), 0u) << unknown;
    }
}

TEST(OpenFailureVerdict, OnlyNotFoundMeansMissing) {
    EXPECT_EQ(OpenFailureVerdict(2), StagedMissing);
    EXPECT_EQ(OpenFailureVerdict(3), StagedMissing);
    for (u32 error : {0u, 1u, 4u, 5u, 32u, 183u, 0xFFFFFFFFu}) {
        EXPECT_EQ(OpenFailureVerdict(error), NotReplaced) << error;
    }
}

}  // namespace
