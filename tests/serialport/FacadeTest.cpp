#include "serialport/CSerialPort.h"
#include "serialport/CSerialPortBase.h"
#include "serialport/PlatformBackEnd.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

TEST(SerialPortFacade, ConstructedPortsHaveTheDefaults)
{
    CSerialPort unnamed;
    CSerialPort named("/dev/ttyUSB0");
    EXPECT_STREQ(unnamed.getPortName(), "");
    EXPECT_STREQ(named.getPortName(), "/dev/ttyUSB0");
    for (CSerialPort* port : {&unnamed, &named}) {
        EXPECT_FALSE(port->isOpen());
        EXPECT_EQ(port->getBaudRate(), 9600);
        EXPECT_EQ(port->getParity(), ParityNone);
        EXPECT_EQ(port->getDataBits(), DataBits8);
        EXPECT_EQ(port->getStopBits(), StopBitsOne);
        EXPECT_EQ(port->getFlowControl(), FlowControlNone);
        EXPECT_EQ(port->getReadBufferSize(), 4096u);
        EXPECT_EQ(port->getReadIntervalTimeout(), 0u);
        EXPECT_EQ(port->getReadBufferLen(), 0u);
        EXPECT_EQ(port->getLastError(), ErrorSuccess);
        EXPECT_STREQ(port->getLastErrorMsg(), "success");
    }
}

TEST(SerialPortFacade, LongNamesAreCutTo255Characters)
{
    const std::string longName = "/dev/" + std::string(295, 'x');
    CSerialPort constructed(longName.c_str());
    CSerialPort initialised;
    initialised.init(longName.c_str(), 9600, ParityNone, DataBits8, StopBitsOne, FlowControlNone, 4096);
    CSerialPort renamed;
    renamed.setPortName(longName.c_str());
    for (CSerialPort* port : {&constructed, &initialised, &renamed})
        EXPECT_EQ(std::string(port->getPortName()), longName.substr(0, 255));
}

TEST(SerialPortFacade, ClosedPortOperationsDoNothingHarmful)
{
    CSerialPort port;
    port.setReadBufferSize(8192); // only an open port takes a new size
    EXPECT_EQ(port.getReadBufferSize(), 4096u);
    port.setDtr(true);
    port.setRts(false);
    port.close();
    EXPECT_FALSE(port.flushBuffers());
    EXPECT_FALSE(port.purgeReadQueue());
    EXPECT_FALSE(port.purgeWriteQueue());
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.getLastError(), ErrorSuccess);
}

TEST(SerialPortFacade, EveryErrorCodeHasItsText)
{
    std::string texts;
    for (int code = -2; code <= 19; ++code)
        texts += std::to_string(code) + " " + errorCodeMessage(code) + "|";
    EXPECT_EQ(texts,
              "-2 undefined error code|-1 unknown error|0 success|1 general error|2 not implemented error|3 "
              "innet error|4 null pointer error|5 invalid param error|6 access denied error|7 out of memory "
              "error|8 timeout error|9 not init error|10 init failed error|11 already exist error|12 not "
              "exist error|13 already open error|14 not open error|15 open failed error|16 close failed "
              "error|17 write failed error|18 read failed error|19 undefined error code|");
    EXPECT_STREQ(errorCodeMessage(1000), "undefined error code");
}

TEST(SerialPortFacade, NullListenersAndParsersAreRefused)
{
    CSerialPort port;
    EXPECT_EQ(port.setProtocolParser(nullptr), ErrorInvalidParam);
    EXPECT_EQ(port.connectPortChangeEvent(nullptr), ErrorInvalidParam);
    EXPECT_EQ(port.getLastError(), ErrorSuccess);
}

TEST(SerialPortBackEnd, NotifyLevelIsEightyPercentOfTheBufferSize)
{
    std::unique_ptr<CSerialPortBase> base(createPlatformSerialPortBase(""));
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(base->getReadIntervalTimeout(), 50u);
    EXPECT_EQ(base->getMinReadBytes(), 1u);
    EXPECT_EQ(base->getReadNotifyLevel(), 3276u); // of the default 4096
    for (auto [size, level] : {std::pair{1000u, 800u}, std::pair{0u, 0u}, std::pair{4096u, 3276u}}) {
        base->init("x", 9600, ParityNone, DataBits8, StopBitsOne, FlowControlNone, size);
        EXPECT_EQ(base->getReadNotifyLevel(), level) << "buffer size " << size;
    }
}
