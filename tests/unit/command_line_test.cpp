// Splitting command lines by the Windows quoting rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/command_line.h"

namespace {

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> out;
    u64 position = 0;
    u64 length = 0;
    for (;;) {
        u64 start = position;
        if (!NextArgument(line.data(), line.size(), &position, out.empty(), nullptr, 0, &length)) {
            break;
        }
        std::string argument(length, '?');
        u64 again = start;
        u64 copied = 0;
        NextArgument(line.data(), line.size(), &again, out.empty(), argument.data(), length,
                     &copied);
        EXPECT_EQ(again, position);
        EXPECT_EQ(copied, length);
        out.push_back(argument);
    }
    return out;
}

struct SplitCase {
    const char* line;
    std::vector<std::string> arguments;
};

TEST(NextArgument, FollowsTheQuotingRules) {
    const SplitCase cases[] = {
        {"fwstack", {"fwstack"}},
        {"fwstack --version", {"fwstack", "--version"}},
        {"fwstack  update ", {"fwstack", "update"}},
        {"fwstack\tupdate\t\t", {"fwstack", "update"}},
        {"\"C:\\Program Files\\fw\\fwstack.exe\" update",
         {"C:\\Program Files\\fw\\fwstack.exe", "update"}},
        {" fwstack update", {"", "fwstack", "update"}},
        {"p \"update\"", {"p", "update"}},
        {"p up\"da\"te", {"p", "update"}},
        {"p a\\\\\\\"b", {"p", "a\\\"b"}},
        {"p a\\\\\"b c\"", {"p", "a\\b c"}},
        {"p \\\\server\\share", {"p", "\\\\server\\share"}},
        {"p \"a\"\"b\"", {"p", "a\"b"}},
        {"p a\"\"b", {"p", "ab"}},
        {"p \"open quotes", {"p", "open quotes"}},
        {"\"a b\"c\\d\" e", {"a bc\\d e"}},
        {"", {""}},
    };
    for (const SplitCase& c : cases) {
        EXPECT_EQ(Split(c.line), c.arguments) << "line: [" << c.line << "]";
    }
}

TEST(NextArgument, ReportsFullLengthWhenDestinationIsSmall) {
    std::string line = "p abcdef";
    u64 position = 0;
    u64 length = 0;
    ASSERT_TRUE(NextArgument(line.data(), line.size(), &position, true, nullptr, 0, &length));
    char small[3] = {'x', 'x', 'x'};
    ASSERT_TRUE(NextArgument(line.data(), line.size(), &position, false, small, 2, &length));
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(small[0], 'a');
    EXPECT_EQ(small[1], 'b');
    EXPECT_EQ(small[2], 'x');  // nothing past the capacity
}

TEST(NextArgument, EndsWhenOnlyBlanksRemain) {
    std::string line = "p \t ";
    u64 position = 0;
    u64 length = 0;
    ASSERT_TRUE(NextArgument(line.data(), line.size(), &position, true, nullptr, 0, &length));
    EXPECT_FALSE(NextArgument(line.data(), line.size(), &position, false, nullptr, 0, &length));
    EXPECT_EQ(position, line.size());
}

}  // namespace
