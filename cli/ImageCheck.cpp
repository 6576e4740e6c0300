#include "cli/ImageCheck.h"

#include "flasher/ChipPort.h"
#include "flasher/FlashEngine.h"
#include "flasher/FlashEvents.h"

#include <QFileInfo>

namespace morvane::cli {

namespace {

// The engine reads the image without a port; nothing here is ever sent.
class NoPort : public rq75x::ChipPort
{
public:
    bool isOpen() override { return false; }
    int readData(void*, int) override { return -1; }
    int writeData(const void*, int) override { return -1; }
    void close() override {}
};

class LineCollector : public rq75x::FlashEvents
{
public:
    QStringList lines;

    void logLine(const QString& text) override { lines.append(text); }
    void showAction(const QString&) override {}
    void report(const QString&) override {}
    void appendReceiveLine(const QString&) override {}
    void setCurrentBlockText(const QString&) override {}
    void setFileSizeText(const QString&) override {}
    void setTotalBlocksText(const QString&) override {}
    void setActionButtonsEnabled(bool) override {}
    void startStopTimer(unsigned int) override {}
    void portClosedByTimeout() override {}
};

} // namespace

ImageCheck checkFirmwareImage(const QString& path)
{
    NoPort port;
    LineCollector collector;
    rq75x::FlashEngine engine(port, collector);

    ImageCheck check;
    const QByteArray localPath = path.toLocal8Bit();
    if (engine.loadFirmwareFile(localPath.constData()) != 0) {
        check.lines = collector.lines;
        check.lines.append(engine.messages().format("Firmware file read error"));
        return check;
    }
    check.accepted = true;
    check.size = QFileInfo(path).size();
    return check;
}

} // namespace morvane::cli
