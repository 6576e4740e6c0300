#include "cli/CommandLine.h"

#include <gtest/gtest.h>

using namespace morvane::cli;

namespace {

ParseResult parse(const QString& line)
{
    return parseCommandLine(line.split(QLatin1Char(' '), Qt::SkipEmptyParts));
}

} // namespace

class CommandLine : public ::testing::Test
{
protected:
    static void expectUsageError(const QString& line)
    {
        const ParseResult result = parse(line);
        EXPECT_EQ(result.kind, ParseResult::UsageError) << line.toStdString();
        EXPECT_FALSE(result.error.isEmpty()) << line.toStdString();
    }
};

TEST_F(CommandLine, InfoTakesTheWindowsDefaultLineSettings)
{
    const ParseResult result = parse("info --port /dev/ttyUSB0");
    ASSERT_EQ(result.kind, ParseResult::Run);
    EXPECT_EQ(result.options.command, Command::Info);
    EXPECT_EQ(result.options.ports, QStringList{"/dev/ttyUSB0"});
    EXPECT_EQ(result.options.line.baudRate, 115200);
    EXPECT_EQ(result.options.line.parity, ParityNone);
    EXPECT_EQ(result.options.line.dataBits, DataBits8);
    EXPECT_EQ(result.options.line.stopBits, StopBitsOne);
    EXPECT_FALSE(result.options.json);
}

TEST_F(CommandLine, LineOptionsMapToTheLibrarySettings)
{
    const ParseResult result =
        parse("reset --port P --baud 9600 --parity even --data-bits 7 --stop-bits 1.5");
    ASSERT_EQ(result.kind, ParseResult::Run);
    EXPECT_EQ(result.options.command, Command::Reset);
    EXPECT_EQ(result.options.line.baudRate, 9600);
    EXPECT_EQ(result.options.line.parity, ParityEven);
    EXPECT_EQ(result.options.line.dataBits, DataBits7);
    EXPECT_EQ(result.options.line.stopBits, StopBitsOneAndHalf);
    EXPECT_EQ(parse("info --port P --parity space").options.line.parity, ParitySpace);
    EXPECT_EQ(parse("info --port P --stop-bits 2").options.line.stopBits, StopBitsTwo);
}

TEST_F(CommandLine, FlashTakesOneFileAndSeveralPortsInOrder)
{
    const ParseResult result = parse("flash image.bin --port B --json --port A --port C");
    ASSERT_EQ(result.kind, ParseResult::Run);
    EXPECT_EQ(result.options.command, Command::Flash);
    EXPECT_EQ(result.options.firmwareFile, "image.bin");
    EXPECT_EQ(result.options.ports, (QStringList{"B", "A", "C"}));
    EXPECT_TRUE(result.options.json);
}

TEST_F(CommandLine, ListAndWatch)
{
    ParseResult result = parse("list");
    ASSERT_EQ(result.kind, ParseResult::Run);
    EXPECT_EQ(result.options.command, Command::List);
    EXPECT_FALSE(result.options.watch);
    result = parse("list --watch --json");
    ASSERT_EQ(result.kind, ParseResult::Run);
    EXPECT_TRUE(result.options.watch);
    EXPECT_TRUE(result.options.json);
}

TEST_F(CommandLine, HelpAndVersionWinOverEverythingElse)
{
    EXPECT_EQ(parse("--help").kind, ParseResult::ShowHelp);
    EXPECT_EQ(parse("flash --port P -h").kind, ParseResult::ShowHelp);
    EXPECT_EQ(parse("--version").kind, ParseResult::ShowVersion);
    EXPECT_EQ(parse("list --version").kind, ParseResult::ShowVersion);
}

TEST_F(CommandLine, RefusesWrongUsage)
{
    expectUsageError("");
    expectUsageError("burn --port P");
    expectUsageError("info --port P --speed 9600");
    expectUsageError("info");
    expectUsageError("info --port");
    expectUsageError("flash --port P");
    expectUsageError("flash --port P a.bin b.bin");
    expectUsageError("info --port P extra");
    expectUsageError("reset --port P extra");
    expectUsageError("info --port P --port P");
    expectUsageError("flash --port P --watch a.bin");
    expectUsageError("list --port P");
    expectUsageError("list --baud 9600");
    expectUsageError("list extra");
}

TEST_F(CommandLine, RefusesBadLineSettings)
{
    expectUsageError("info --port P --baud 0");
    expectUsageError("info --port P --baud -9600");
    expectUsageError("info --port P --baud fast");
    expectUsageError("info --port P --baud 99999999999");
    expectUsageError("info --port P --baud 9600 --baud 19200");
    expectUsageError("info --port P --parity strange");
    expectUsageError("info --port P --data-bits 4");
    expectUsageError("info --port P --data-bits 9");
    expectUsageError("info --port P --stop-bits 3");
    expectUsageError("info --port P --stop-bits 1,5");
}
