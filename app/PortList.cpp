#include "PortList.h"

#include <QComboBox>

#include <cstring>

QString portNameText(const vandrel::PortInfo& info)
{
    const void* terminator = std::memchr(info.portName, '\0', sizeof info.portName);
    const auto length = terminator ? static_cast<const char*>(terminator) - info.portName
                                   : static_cast<std::ptrdiff_t>(sizeof info.portName);
    return QString::fromLocal8Bit(info.portName, static_cast<qsizetype>(length));
}

void fillPortList(QComboBox& comboBox, const std::vector<vandrel::PortInfo>& ports)
{
    for (const vandrel::PortInfo& info : ports)
        comboBox.addItem(portNameText(info));
}
