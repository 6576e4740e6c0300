// Several chips at once from one morvane-flash, and the port listing.
#include "Programs.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct Chips
{
    explicit Chips(const QTemporaryDir& dir, const QList<QStringList>& faults)
    {
        for (int i = 0; i < faults.size(); ++i) {
            saved.append(dir.filePath(QStringLiteral("received-%1.bin").arg(i)));
            chips.push_back(std::make_unique<SimulatedChip>(faults[i] + QStringList{"--save", saved.last()}));
            ports.append(chips.back()->portPath());
        }
    }
    QStringList portArguments() const
    {
        QStringList arguments;
        for (const QString& port : ports)
            arguments << "--port" << port;
        return arguments;
    }

    std::vector<std::unique_ptr<SimulatedChip>> chips;
    QStringList ports;
    QStringList saved;
};

// The result each port's end event names.
QMap<QString, QString> resultsByPort(const FlasherRun& run)
{
    QMap<QString, QString> results;
    for (const QJsonObject& event : run.jsonEvents()) {
        if (event["event"] == "end")
            results[event["port"].toString()] = event["result"].toString();
    }
    return results;
}

} // namespace

class SeveralChips : public ::testing::Test
{
protected:
    QTemporaryDir dir;
};

TEST_F(SeveralChips, FourChipsAreFlashedAtOnceByteForByte)
{
    const QByteArray firmware = randomBytes(64 * 1024, 64);
    const QString image = dir.filePath("64k.bin");
    ASSERT_TRUE(writeFile(image, firmware));
    Chips chips(dir, {{}, {}, {}, {}});
    for (const auto& chip : chips.chips)
        ASSERT_TRUE(chip->started());

    // 256 blocks take about 40 s whatever the number of chips; give a slow machine room.
    const auto run = runFlasher(QStringList{"flash", image} + chips.portArguments(), 150000);
    EXPECT_EQ(run->exitCode(), 0) << run->err().toStdString();
    for (const QString& saved : chips.saved)
        EXPECT_EQ(readFile(saved), firmware) << saved.toStdString();

    // Every line names its port, and each port reports the whole run.
    QMap<QString, int> acknowledged;
    for (const QByteArray& line : run->outLines()) {
        const qsizetype colon = line.indexOf(": ");
        ASSERT_GT(colon, 0) << line.toStdString();
        const QString port = QString::fromLocal8Bit(line.left(colon));
        ASSERT_TRUE(chips.ports.contains(port)) << line.toStdString();
        if (line.endsWith("> ACK (33)"))
            ++acknowledged[port];
    }
    for (const QString& port : chips.ports) {
        EXPECT_EQ(acknowledged[port], 256) << port.toStdString();
        EXPECT_TRUE(run->outLines().contains((port + ": Result: completed").toLocal8Bit()));
    }
    for (const auto& chip : chips.chips)
        EXPECT_EQ(chip->stop(), 0) << chip->log().toStdString();
}

// One silent and one hung-up chip, each among three good ones: each fails alone with exit
// status 1 (timed out, disconnected) while the other three finish.
TEST_F(SeveralChips, OneChipFailingFailsAloneWhileTheOthersFinish)
{
    const QByteArray firmware = randomBytes(600, 600);
    const QString image = dir.filePath("600.bin");
    ASSERT_TRUE(writeFile(image, firmware));
    // Frames: information request, boot-mode request, block 1, block 2, ...
    QTemporaryDir silentDir;
    QTemporaryDir hangUpDir;
    Chips withSilent(silentDir, {{}, {"--silent-after", "3"}, {}, {}});
    Chips withHangUp(hangUpDir, {{}, {}, {}, {"--hangup-after", "4"}});

    FlasherRun silentRun(QStringList{"flash", "--json", image} + withSilent.portArguments());
    FlasherRun hangUpRun(QStringList{"flash", "--json", image} + withHangUp.portArguments());
    ASSERT_TRUE(waitForAll({&silentRun, &hangUpRun}, 30000));

    const struct
    {
        const FlasherRun& run;
        const Chips& chips;
        int failing;
        const char* result;
    } groups[] = {{silentRun, withSilent, 1, "timed-out"},
                  {hangUpRun, withHangUp, 3, hangUpIsSeen() ? "disconnected" : "timed-out"}};
    for (const auto& group : groups) {
        EXPECT_EQ(group.run.exitCode(), 1);
        const QMap<QString, QString> results = resultsByPort(group.run);
        ASSERT_EQ(results.size(), 4) << group.run.out().toStdString();
        for (int i = 0; i < 4; ++i) {
            const QString& port = group.chips.ports[i];
            if (i == group.failing) {
                EXPECT_EQ(results[port], group.result);
                EXPECT_FALSE(QFile::exists(group.chips.saved[i]));
            } else {
                EXPECT_EQ(results[port], "completed") << port.toStdString();
                EXPECT_EQ(readFile(group.chips.saved[i]), firmware) << port.toStdString();
            }
        }
        for (const auto& chip : group.chips.chips)
            EXPECT_EQ(chip->stop(), 0) << chip->log().toStdString();
    }
}

TEST(PortList, JsonIsOneArrayOfPorts)
{
    const auto run = runFlasher({"list", "--json"});
    EXPECT_EQ(run->exitCode(), 0);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(run->out(), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << run->out().toStdString();
    ASSERT_TRUE(document.isArray());
    for (const QJsonValue& port : document.array()) {
        EXPECT_TRUE(port["port"].isString());
        EXPECT_FALSE(port["port"].toString().isEmpty());
        EXPECT_TRUE(port["hardwareId"].isString());
        EXPECT_TRUE(port["description"].isString());
    }
    EXPECT_EQ(runFlasher({"list"})->exitCode(), 0);
}
