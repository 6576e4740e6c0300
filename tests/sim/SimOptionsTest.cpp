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

TEST_F(SimOptionsTest, AnswersOutOfTurnNameTheStepAndTheCodeAndTheLastForAStepWins)
{
    const SimOptionsResult result =
        parse({"--answer-out-of-turn", "block:2=35", "--answer-out-of-turn=boot-mode=33",
               "--answer-out-of-turn", "exit-boot-mode=3a", "--answer-out-of-turn", "block:2=34",
               "--answer-out-of-turn", "firmware-info=35", "--answer-out-of-turn", "end-of-data=36",
               "--answer-out-of-turn", "factory-reset=32", "--answer-out-of-turn", "block:65535=EE"});
    ASSERT_TRUE(result.options) << result.error;
    std::vector<std::string> answers;
    for (const OutOfTurnAnswer& answer : result.options->faults.outOfTurn)
        answers.push_back(describeStep(answer) + " " + std::to_string(answer.code));
    EXPECT_EQ(answers, (std::vector<std::string>{"the boot-mode request 51", "the exit-boot-mode frame 58",
                                                 "block 2 52", "the firmware-information request 53",
                                                 "the end-of-data frame 54", "the factory-reset frame 50",
                                                 "block 65535 238"}));

    for (const char* bad : {"block:2", "block:2=3", "block:2=355", "block:0=35", "block:65536=35",
                            "block:=35", "block:x=35", "exit=35", "boot-mode=G5", "=35"})
        expectBadUsage({"--answer-out-of-turn", bad});
    expectBadUsage({"--answer-out-of-turn"});
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
