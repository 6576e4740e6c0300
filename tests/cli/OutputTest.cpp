#include "cli/JsonOutput.h"
#include "cli/PortListing.h"
#include "cli/ProgressBoard.h"
#include "cli/TextOutput.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

using namespace morvane::cli;

namespace {

// A stream that is not a terminal, read back after the writes.
class CapturedStream
{
public:
    CapturedStream() : file(std::tmpfile()) {}
    ~CapturedStream() { std::fclose(file); }
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;

    std::FILE* stream() const { return file; }
    QByteArray text() const
    {
        std::fflush(file);
        QByteArray bytes;
        std::rewind(file);
        char chunk[512];
        size_t n = 0;
        while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0)
            bytes.append(chunk, static_cast<qsizetype>(n));
        return bytes;
    }

private:
    std::FILE* file;
};

QJsonObject parseObject(const QByteArray& line)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
    EXPECT_TRUE(document.isObject()) << line.toStdString();
    return document.object();
}

} // namespace

class TextOutputTest : public ::testing::Test
{
protected:
    CapturedStream out;
    CapturedStream err;
    Console console{out.stream(), err.stream(), true};
};

TEST_F(TextOutputTest, SplitsTextIntoPrintableLines)
{
    EXPECT_EQ(printableLines("File: a.bin \nSize: 300 Bytes"),
              (QStringList{"File: a.bin ", "Size: 300 Bytes"}));
    EXPECT_EQ(printableLines("RQ75 build 2\r\n"), QStringList{"RQ75 build 2"});
    EXPECT_EQ(printableLines(""), QStringList{""}); // a reply filtered to nothing is still a line
    EXPECT_EQ(printableLines("\n"), QStringList{""});
    EXPECT_EQ(printableLines("a\n\nb"), (QStringList{"a", "", "b"}));
}

TEST_F(TextOutputTest, OnePortPrintsStatusPlainAndRepliesAfterAMarker)
{
    EXPECT_FALSE(console.showsProgress()); // not a terminal
    TextOutput output(console, false);
    output.take({"P", StatusLine{"Requesting boot mode..."}});
    output.take({"P", ReplyLine{"ACK (32)"}});
    output.take({"P", StatusLine{"File: x.bin \nSize: 3 Bytes"}});
    output.take({"P", TaskEnded{Command::Flash, TaskResult{}, {}}});
    EXPECT_EQ(out.text(), "Requesting boot mode...\n> ACK (32)\nFile: x.bin \nSize: 3 Bytes\n");
    EXPECT_TRUE(err.text().isEmpty());
}

TEST_F(TextOutputTest, SeveralPortsPrefixEveryLineAndReportEachResult)
{
    TextOutput output(console, true);
    output.take({"/dev/pts/3", StatusLine{"File: x.bin \nSize: 3 Bytes"}});
    output.take({"/dev/pts/4", ReplyLine{"ACK (33)"}});
    TaskResult timedOut;
    timedOut.outcome = TaskOutcome::TimedOut;
    output.take({"/dev/pts/4", TaskEnded{Command::Flash, timedOut, {}}});
    EXPECT_EQ(out.text(), "/dev/pts/3: File: x.bin \n/dev/pts/3: Size: 3 Bytes\n/dev/pts/4: > ACK (33)\n"
                          "/dev/pts/4: Result: timed-out\n");
}

TEST_F(TextOutputTest, OpenFailureGoesToStandardErrorWithTheLibraryText)
{
    TextOutput text(console, false);
    NoticeOutput notices(console);
    TaskResult failed;
    failed.outcome = TaskOutcome::OpenFailed;
    failed.errorCode = 12;
    failed.errorMessage = "not exist error";
    const RunEvent ended{"/dev/none", TaskEnded{Command::Info, failed, {}}};
    text.take(ended);
    notices.take(ended);
    EXPECT_TRUE(out.text().isEmpty());
    EXPECT_EQ(err.text(), "morvane-flash: /dev/none: open port error, code: 12, message: not exist error\n");
}

TEST(JsonEvents, EveryEventIsOneParseableLineNamingItsPort)
{
    Progress progress{3, 256, 768, 65536};
    TaskResult failed;
    failed.outcome = TaskOutcome::OpenFailed;
    failed.exitStatus = ExitBadInput;
    failed.errorCode = 6;
    failed.errorMessage = "access denied error";
    const QJsonObject events[] = {
        json::eventObject({"P", TaskBegun{Command::Flash, "a \"b\".bin"}}),
        json::eventObject({"P", StatusLine{"File: x \nSize: 3 Bytes"}}),
        json::eventObject({"P", ReplyLine{QString::fromUtf8("tab\there \x01 \xc3\xa9")}}),
        json::eventObject({"P", progress}),
        json::eventObject({"P", TaskEnded{Command::Flash, failed, {}}}),
    };
    const char* names[] = {"begin", "status", "reply", "progress", "end"};
    for (size_t i = 0; i < std::size(events); ++i) {
        const QByteArray line = json::line(events[i]);
        ASSERT_TRUE(line.endsWith('\n'));
        EXPECT_EQ(line.count('\n'), 1) << "one event, one line";
        const QJsonObject parsed = parseObject(line);
        EXPECT_EQ(parsed, events[i]);
        EXPECT_EQ(parsed["event"].toString(), names[i]);
        EXPECT_EQ(parsed["port"].toString(), "P");
    }
    EXPECT_EQ(events[0]["file"].toString(), "a \"b\".bin");
    EXPECT_EQ(events[3]["bytes"].toInt(), 768);
    EXPECT_EQ(events[4]["result"].toString(), "open-failed");
    EXPECT_EQ(events[4]["exitCode"].toInt(), 2);
    EXPECT_EQ(events[4]["errorCode"].toInt(), 6);
    EXPECT_EQ(events[4]["errorMessage"].toString(), "access denied error");
}

TEST(JsonEvents, EndCarriesTheFirmwareInformationOnlyWhenTheChipAnswered)
{
    TaskResult silent;
    silent.outcome = TaskOutcome::TimedOut;
    silent.exitStatus = ExitChipFailure;
    const QJsonObject timedOut = json::eventObject({"P", TaskEnded{Command::Info, silent, {}}});
    EXPECT_FALSE(timedOut.contains("firmwareInfo"));
    EXPECT_FALSE(timedOut.contains("errorCode"));
    EXPECT_EQ(timedOut["exitCode"].toInt(), 1);
    EXPECT_FALSE(json::eventObject({"P", TaskBegun{Command::Info, QString()}}).contains("file"));

    TaskResult answered;
    answered.firmwareInfo = QString(); // answered, but the filter removed every character
    const QJsonObject completed = json::eventObject({"P", TaskEnded{Command::Info, answered, {}}});
    ASSERT_TRUE(completed.contains("firmwareInfo"));
    EXPECT_EQ(completed["firmwareInfo"].toString(), "");
    EXPECT_EQ(completed["result"].toString(), "completed");
    EXPECT_EQ(completed["exitCode"].toInt(), 0);
}

TEST(ProgressMeterTest, MeasuresTheRateFromTheFirstAcknowledgedBlock)
{
    ProgressMeter meter;
    EXPECT_FALSE(meter.bytesPerSecond());
    meter.update({1, 10, 256, 2560}, 5000);
    EXPECT_FALSE(meter.bytesPerSecond()) << "no time has passed yet";
    EXPECT_FALSE(meter.millisecondsLeft());
    meter.update({3, 10, 768, 2560}, 6000);
    ASSERT_TRUE(meter.bytesPerSecond());
    EXPECT_DOUBLE_EQ(*meter.bytesPerSecond(), 512.0);
    EXPECT_EQ(*meter.millisecondsLeft(), 3500); // 1792 bytes at 512 B/s
    EXPECT_EQ(meter.barText("P", 10), "P [###-------] 3/10 blocks  512 B/s  0:04 left");
    meter.update({10, 10, 2560, 2560}, 9500);
    EXPECT_EQ(*meter.millisecondsLeft(), 0);
    EXPECT_EQ(meter.barText("P", 10), "P [##########] 10/10 blocks  512 B/s  0:00 left");
    EXPECT_EQ(formatRate(1706.7), "1.7 KiB/s");
    EXPECT_EQ(formatDuration(3'600'000 + 61'000), "1:01:01");
}

TEST(PortListingTest, TableAlignsTheColumns)
{
    const std::vector<PortEntry> ports{{"/dev/ttyUSB10", "1a86:7523", "QinHeng CH340 serial converter"},
                                       {"/dev/ttyS0", "acpi:PNP0501:", ""}};
    EXPECT_EQ(portTable(ports), "PORT           HARDWARE ID    DESCRIPTION\n"
                                "/dev/ttyUSB10  1a86:7523      QinHeng CH340 serial converter\n"
                                "/dev/ttyS0     acpi:PNP0501:\n");
    EXPECT_EQ(portTable({}), "No avaiable ports\n");
}

TEST(PortListingTest, JsonIsOneArrayEmptyWhenThereIsNoPort)
{
    EXPECT_EQ(portJson({}), "[]\n");
    const QJsonDocument document =
        QJsonDocument::fromJson(portJson({{"/dev/ttyUSB0", "0403:6001", "FTDI \"x\""}}));
    ASSERT_TRUE(document.isArray());
    ASSERT_EQ(document.array().size(), 1);
    const QJsonObject port = document.array().first().toObject();
    EXPECT_EQ(port["port"].toString(), "/dev/ttyUSB0");
    EXPECT_EQ(port["hardwareId"].toString(), "0403:6001");
    EXPECT_EQ(port["description"].toString(), "FTDI \"x\"");
}

TEST(PortListingTest, FieldsWithoutATerminatorAreReadToTheirEnd)
{
    vandrel::PortInfo info{};
    std::memset(info.portName, 'A', sizeof info.portName);
    std::strcpy(info.hardwareId, "1a86:7523");
    const std::vector<PortEntry> entries = portEntries({info});
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, QString(256, QLatin1Char('A')));
    EXPECT_EQ(entries[0].hardwareId, "1a86:7523");
    EXPECT_EQ(entries[0].description, "");
}

TEST(PortWatchTest, OneLinePerChange)
{
    EXPECT_EQ(portChangeLine(QString("/dev/ttyUSB0"), true, false), "added /dev/ttyUSB0\n");
    EXPECT_EQ(portChangeLine(QString("/dev/ttyUSB0"), false, false), "removed /dev/ttyUSB0\n");
    EXPECT_EQ(portChangeLine(std::nullopt, true, false), "added (unknown)\n");
    const QJsonObject removed = parseObject(portChangeLine(QString("/dev/ttyACM1"), false, true));
    EXPECT_EQ(removed["event"].toString(), "removed");
    EXPECT_EQ(removed["port"].toString(), "/dev/ttyACM1");
    EXPECT_TRUE(parseObject(portChangeLine(std::nullopt, true, true))["port"].isNull());
}
