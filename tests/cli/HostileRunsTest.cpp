// morvane-flash under conditions that take seconds to show. The cases run side by side, so the
// whole fixture takes about as long as its slowest case.
#include "Programs.h"

#include <QFile>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

class HostileRuns : public ::testing::Test
{
protected:
    struct Case
    {
        QString name;
        std::unique_ptr<SimulatedChip> chip;
        std::unique_ptr<FlasherRun> run;
        std::function<void(Case&)> check;
    };

    QString path(const QString& name) const { return dir.filePath(name); }

    QString image(const QString& name, int size)
    {
        bytes[name] = randomBytes(size, static_cast<quint32>(qHash(name)));
        EXPECT_TRUE(writeFile(path(name), bytes[name]));
        return path(name);
    }

    // A simulated chip that saves what it receives as `name`.bin.
    Case& add(const QString& name, const QStringList& simOptions = {})
    {
        cases.push_back(std::make_unique<Case>());
        Case& c = *cases.back();
        c.name = name;
        c.chip = std::make_unique<SimulatedChip>(simOptions + QStringList{"--save", path(name + ".bin")});
        EXPECT_TRUE(c.chip->started()) << name.toStdString();
        return c;
    }

    QTemporaryDir dir;
    QMap<QString, QByteArray> bytes;
    std::vector<std::unique_ptr<Case>> cases;
};

TEST_F(HostileRuns, SideBySide)
{
    const QString small = image("600.bin", 600);

    // --- standard output closes half-way (| head): the flash still runs to its end ---
    Case& pipe = add("pipe");
    pipe.run = std::make_unique<FlasherRun>(QStringList{}, [&](QProcess& process) {
        process.setProgram(QStringLiteral("bash"));
        process.setArguments(
            {"-c", "\"$0\" flash --port \"$1\" \"$2\" | head -n 5 >/dev/null; exit ${PIPESTATUS[0]}",
             flasherPath(), pipe.chip->portPath(), small});
    });
    pipe.check = [this](Case& c) {
        EXPECT_EQ(c.run->exitCode(), 4) << c.run->err().toStdString();
        EXPECT_TRUE(c.run->err().contains("cannot write to standard output: Broken pipe"))
            << c.run->err().toStdString();
        EXPECT_TRUE(c.run->err().contains(c.chip->portPath().toLocal8Bit() + ": Result: completed"));
        EXPECT_EQ(readFile(path(c.name + ".bin")), bytes["600.bin"]);
    };

    // --- the image changes while the chip answers slowly: what was checked is what is sent ---
    Case& changing = add("changing", {"--delay", "500"});
    const QString changingImage = image("changing.bin", 600);
    changing.run = std::make_unique<FlasherRun>(
        QStringList{"flash", "--json", "--port", changing.chip->portPath(), changingImage});
    changing.run->whenOut("Getting current firmware information",
                          [=] { EXPECT_TRUE(writeFile(changingImage, randomBytes(1000, 1000))); });
    changing.check = [this](Case& c) {
        EXPECT_EQ(c.run->exitCode(), 0) << c.run->out().toStdString();
        EXPECT_EQ(readFile(path(c.name + ".bin")), bytes["changing.bin"]);
        QStringList statuses;
        for (const QJsonObject& event : c.run->jsonEvents()) {
            if (event["event"] == "progress") {
                EXPECT_EQ(event["totalBlocks"].toInt(), 3);
                EXPECT_EQ(event["totalBytes"].toInt(), 600);
            }
            if (event["event"] == "status")
                statuses.append(event["text"].toString());
        }
        EXPECT_TRUE(statuses.contains(QStringLiteral("File: %1 \nSize: 600 Bytes").arg(path("changing.bin"))))
            << statuses.join('|').toStdString();
    };

    std::vector<FlasherRun*> runs;
    for (const auto& c : cases)
        runs.push_back(c->run.get());
    // The slowest: the slow chip's seven late replies.
    EXPECT_TRUE(waitForAll(runs, 40000)) << "a run hung";

    for (const auto& c : cases) {
        SCOPED_TRACE(c->name.toStdString());
        if (c->check)
            c->check(*c);
    }
}
