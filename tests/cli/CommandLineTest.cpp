#include "cli/CommandLine.h"

#include <gtest/gtest.h>

using namespace morvane::cli;

namespace {

ParseResult parse(const QString& line)
{
    return parseCommandLine(line.split(QLatin1Char(' '), Qt::SkipEmptyParts));
}

} // namespace

TEST(CommandLine, LineOptionsMapToTheLibrarySettingsWithTheWindowsDefaults)
{
    const struct
    {
        const char* line;
        Command command;
        LineSettings expected;
    } cases[] = {
        {"info --port P", Command::Info, {115200, ParityNone, DataBits8, StopBitsOne}},
        {"reset --port P --baud 9600 --parity even --data-bits 5 --stop-bits 1.5",
         Command::Reset,
         {9600, ParityEven, DataBits5, StopBitsOneAndHalf}},
        {"info --port P --parity space --stop-bits 2",
         Command::Info,
         {115200, ParitySpace, DataBits8, StopBitsTwo}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        const ParseResult result = parse(c.line);
        ASSERT_EQ(result.kind, ParseResult::Run) << result.error.toStdString();
        EXPECT_EQ(result.options.command, c.command);
        EXPECT_EQ(result.options.ports, QStringList{"P"});
        EXPECT_EQ(result.options.line.baudRate, c.expected.baudRate);
        EXPECT_EQ(result.options.line.parity, c.expected.parity);
        EXPECT_EQ(result.options.line.dataBits, c.expected.dataBits);
        EXPECT_EQ(result.options.line.stopBits, c.expected.stopBits);
        EXPECT_FALSE(result.options.json);
    }
}

TEST(CommandLine, FlashTakesOneFileAndSeveralPortsInOrder)
{
    const ParseResult result = parse("flash image.bin --port B --json --port A --port C");
    ASSERT_EQ(result.kind, ParseResult::Run);
    EXPECT_EQ(result.options.command, Command::Flash);
    EXPECT_EQ(result.options.firmwareFile, "image.bin");
    EXPECT_EQ(result.options.ports, (QStringList{"B", "A", "C"}));
    EXPECT_TRUE(result.options.json);
}

TEST(CommandLine, ListAndWatch)
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

TEST(CommandLine, HelpAndVersionWinOverEverythingElse)
{
    EXPECT_EQ(parse("--help").kind, ParseResult::ShowHelp);
    EXPECT_EQ(parse("flash --port P -h").kind, ParseResult::ShowHelp);
    EXPECT_EQ(parse("--version").kind, ParseResult::ShowVersion);
    EXPECT_EQ(parse("list --version").kind, ParseResult::ShowVersion);
}

TEST(CommandLine, RefusesWrongUsageAndBadLineSettingsWithAReason)
{
    for (const char* line : {"",
                             "burn --port P",
                             "info --port P --speed 9600",
                             "info",
                             "info --port",
                             "flash --port P",
                             "flash --port P a.bin b.bin",
                             "info --port P extra",
                             "info --port P --port P",
                             "flash --port P --watch a.bin",
                             "list --port P",
                             "list --baud 9600",
                             "list extra",
                             "info --port P --baud 0",
                             "info --port P --baud fast",
                             "info --port P --baud 99999999999",
                             "info --port P --baud 9600 --baud 19200",
                             "info --port P --parity strange",
                             "info --port P --data-bits 4",
                             "info --port P --data-bits 9",
                             "info --port P --stop-bits 1,5"}) {
        const ParseResult result = parse(line);
        EXPECT_EQ(result.kind, ParseResult::UsageError) << line;
        EXPECT_FALSE(result.error.isEmpty()) << line;
    }
}
