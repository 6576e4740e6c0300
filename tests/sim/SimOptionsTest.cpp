#include "sim/SimOptions.h"

#include <gtest/gtest.h>

namespace rq75x {
namespace {

class SimOptionsTest : public ::testing::Test
{
protected:
    static SimOptionsResult parse(std::vector<std::string> arguments) { return parseSimOptions(arguments); }

    static void expectBadUsage(std::vector<std::string> arguments)
    {
        const SimOptionsResult result = parse(arguments);
        EXPECT_FALSE(result.options) << arguments.front();
        EXPECT_FALSE(result.error.empty());
    }
};

TEST_F(SimOptionsTest, EveryOptionIsTakenInBothSpellingsAndSilentMeansFromTheFirstFrame)
{
    const SimOptionsResult result =
        parse({"--info", "Chip\\x41\\r\\n", "--link=/tmp/chip", "--save", "/tmp/image.bin", "-v",
               "--silent-after=3", "--garbage-after", "0", "--hangup-after", "9", "--split-ack",
               "--extra-bytes", "--delay=250", "--delay-frame", "2"});
    ASSERT_TRUE(result.options) << result.error;
    const SimOptions& options = *result.options;
    EXPECT_EQ(options.firmwareInfo, "ChipA\r\n");
    EXPECT_EQ(options.linkPath, "/tmp/chip");
    EXPECT_EQ(options.savePath, "/tmp/image.bin");
    EXPECT_TRUE(options.verbose);
    EXPECT_EQ(options.faults.silentAfter, 3u);
    EXPECT_EQ(options.faults.garbageAfter, 0u);
    EXPECT_EQ(options.faults.hangupAfter, 9u);
    EXPECT_TRUE(options.faults.splitAcknowledgements);
    EXPECT_TRUE(options.faults.extraBytes);
    EXPECT_EQ(options.faults.delay.count(), 250);
    EXPECT_EQ(options.faults.delayFrame, 2u);

    const SimOptionsResult silent = parse({"--silent"});
    ASSERT_TRUE(silent.options);
    EXPECT_EQ(silent.options->faults.silentAfter, 0u) << "silent from the first frame";
}

TEST_F(SimOptionsTest, BadUsageIsRefusedWithAReason)
{
    expectBadUsage({"--bogus"});
    expectBadUsage({"--silent-after"});
    expectBadUsage({"--silent-after", "-1"});
    expectBadUsage({"--silent-after", "3x"});
    expectBadUsage({"--garbage-after", "99999999999999999999999"});
    expectBadUsage({"--hangup-after", "0"});
    expectBadUsage({"--delay", "3600001"});
    expectBadUsage({"--delay-frame", "0"});
    expectBadUsage({"--save", ""});
    expectBadUsage({"--split-ack=yes"});
    expectBadUsage({"--info", "trailing\\"});
    expectBadUsage({"--info", "\\xZZ"});
    expectBadUsage({"--info", "\\q"});
}

TEST_F(SimOptionsTest, UnescapeKeepsPlainTextAndResolvesEscapes)
{
    EXPECT_EQ(unescapeText("plain text"), "plain text");
    EXPECT_EQ(unescapeText("a\\\\b\\t\\x00\\xfF"), std::string("a\\b\t\0\xff", 6));
}

} // namespace
} // namespace rq75x
