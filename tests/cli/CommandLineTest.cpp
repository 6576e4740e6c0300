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

TEST(CommandLine, ProductionLineOptions)
{
    ParseResult result = parse("flash --port all --report r.jsonl a.bin");
    ASSERT_EQ(result.kind, ParseResult::Run) << result.error.toStdString();
    EXPECT_TRUE(result.options.allPorts);
    EXPECT_TRUE(result.options.ports.isEmpty());
    EXPECT_EQ(result.options.reportFile, "r.jsonl");

    result = parse("flash --on-arrival --json a.bin");
    ASSERT_EQ(result.kind, ParseResult::Run) << result.error.toStdString();
    EXPECT_TRUE(result.options.onArrival);
    EXPECT_EQ(result.options.firmwareFile, "a.bin");

    result = parse("list --probe --baud 9600 --report r.jsonl");
    ASSERT_EQ(result.kind, ParseResult::Run) << result.error.toStdString();
    EXPECT_TRUE(result.options.probe);
    EXPECT_EQ(result.options.line.baudRate, 9600);

    // A port that happens to be called "all" is named with its path.
    result = parse("info --port ./all");
    ASSERT_EQ(result.kind, ParseResult::Run);
    EXPECT_FALSE(result.options.allPorts);
    EXPECT_EQ(result.options.ports, QStringList{"./all"});
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
                             "info --port P --stop-bits 1,5",
                             "info --port all --port P",
                             "flash --on-arrival --port P a.bin",
                             "flash --on-arrival --port all a.bin",
                             "flash --on-arrival",
                             "info --on-arrival",
                             "reset --on-arrival",
                             "info --port P --report",
                             "info --port P --report a --report b",
                             "list --report r.jsonl",
                             "list --probe --watch",
                             "info --port P --probe"}) {
        const ParseResult result = parse(line);
        EXPECT_EQ(result.kind, ParseResult::UsageError) << line;
        EXPECT_FALSE(result.error.isEmpty()) << line;
    }
}
