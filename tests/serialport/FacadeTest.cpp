#include "serialport/CSerialPort.h"
#include "serialport/CSerialPortBase.h"
#include "serialport/PlatformBackEnd.h"

#include "RecordingListener.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

using serialtest::RecordingListener;

TEST(SerialPortFacade, DefaultConstructedPortHasTheDefaults)
{
    CSerialPort port;
    EXPECT_FALSE(port.isOpen());
    EXPECT_STREQ(port.getPortName(), "");
    EXPECT_EQ(port.getBaudRate(), 9600);
    EXPECT_EQ(port.getParity(), ParityNone);
    EXPECT_EQ(port.getDataBits(), DataBits8);
    EXPECT_EQ(port.getStopBits(), StopBitsOne);
    EXPECT_EQ(port.getFlowControl(), FlowControlNone);
    EXPECT_EQ(port.getReadBufferSize(), 4096u);
    EXPECT_EQ(port.getReadIntervalTimeout(), 0u);
    EXPECT_EQ(port.getReadBufferLen(), 0u);
    EXPECT_EQ(port.getLastError(), ErrorSuccess);
    EXPECT_STREQ(port.getLastErrorMsg(), "success");
}

TEST(SerialPortFacade, NamedConstructorStoresTheName)
{
    CSerialPort port("/dev/ttyUSB0");
    EXPECT_STREQ(port.getPortName(), "/dev/ttyUSB0");
    EXPECT_EQ(port.getBaudRate(), 9600);
    EXPECT_FALSE(port.isOpen());
}

TEST(SerialPortFacade, LongNamesAreCutTo255Characters)
{
    const std::string longName = "/dev/" + std::string(295, 'x');
    CSerialPort constructed(longName.c_str());
    EXPECT_EQ(std::string(constructed.getPortName()), longName.substr(0, 255));

    CSerialPort initialised;
    initialised.init(longName.c_str(), 9600, ParityNone, DataBits8, StopBitsOne, FlowControlNone, 4096);
    EXPECT_EQ(std::string(initialised.getPortName()), longName.substr(0, 255));

    CSerialPort renamed;
    renamed.setPortName(longName.c_str());
    EXPECT_EQ(std::string(renamed.getPortName()), longName.substr(0, 255));
}

TEST(SerialPortFacade, InitStoresEverySetting)
{
    CSerialPort port;
    port.init("/dev/ttyS7", 56000, ParityMark, DataBits7, StopBitsTwo, FlowControlSoftware, 8192);
    EXPECT_STREQ(port.getPortName(), "/dev/ttyS7");
    EXPECT_EQ(port.getBaudRate(), 56000);
    EXPECT_EQ(port.getParity(), ParityMark);
    EXPECT_EQ(port.getDataBits(), DataBits7);
    EXPECT_EQ(port.getStopBits(), StopBitsTwo);
    EXPECT_EQ(port.getFlowControl(), FlowControlSoftware);
    EXPECT_EQ(port.getReadBufferSize(), 8192u);
    EXPECT_FALSE(port.isOpen());
}

TEST(SerialPortFacade, SettersOnAClosedPortStoreTheValue)
{
    CSerialPort port;
    port.setBaudRate(14400);
    port.setParity(ParityOdd);
    port.setDataBits(DataBits5);
    port.setStopBits(StopBitsOneAndHalf);
    port.setFlowControl(FlowControlHardware);
    port.setReadIntervalTimeout(25);
    EXPECT_EQ(port.getBaudRate(), 14400);
    EXPECT_EQ(port.getParity(), ParityOdd);
    EXPECT_EQ(port.getDataBits(), DataBits5);
    EXPECT_EQ(port.getStopBits(), StopBitsOneAndHalf);
    EXPECT_EQ(port.getFlowControl(), FlowControlHardware);
    EXPECT_EQ(port.getReadIntervalTimeout(), 25u);
}

TEST(SerialPortFacade, SetReadBufferSizeOnAClosedPortIsIgnored)
{
    CSerialPort port;
    port.setReadBufferSize(8192);
    EXPECT_EQ(port.getReadBufferSize(), 4096u);
}

TEST(SerialPortFacade, ClosedPortOperationsDoNothingHarmful)
{
    CSerialPort port;
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
    const std::pair<int, const char*> texts[] = {{-1, "unknown error"},
                                                 {0, "success"},
                                                 {1, "general error"},
                                                 {2, "not implemented error"},
                                                 {3, "innet error"},
                                                 {4, "null pointer error"},
                                                 {5, "invalid param error"},
                                                 {6, "access denied error"},
                                                 {7, "out of memory error"},
                                                 {8, "timeout error"},
                                                 {9, "not init error"},
                                                 {10, "init failed error"},
                                                 {11, "already exist error"},
                                                 {12, "not exist error"},
                                                 {13, "already open error"},
                                                 {14, "not open error"},
                                                 {15, "open failed error"},
                                                 {16, "close failed error"},
                                                 {17, "write failed error"},
                                                 {18, "read failed error"},
                                                 {19, "undefined error code"},
                                                 {-2, "undefined error code"},
                                                 {1000, "undefined error code"}};
    for (const auto& [code, text] : texts)
        EXPECT_STREQ(errorCodeMessage(code), text) << "code " << code;
}

TEST(SerialPortBackEnd, ConstructedWithTheBaseDefaults)
{
    std::unique_ptr<CSerialPortBase> base(createPlatformSerialPortBase(""));
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(base->getReadIntervalTimeout(), 50u);
    EXPECT_EQ(base->getMinReadBytes(), 1u);
    EXPECT_EQ(base->getReadNotifyLevel(), 3276u);
    EXPECT_EQ(base->getReadBufferSize(), 4096u);
}

TEST(SerialPortBackEnd, InitSetsNotifyLevelToEightyPercentOfTheBufferSize)
{
    std::unique_ptr<CSerialPortBase> base(createPlatformSerialPortBase(""));
    base->init("x", 9600, ParityNone, DataBits8, StopBitsOne, FlowControlNone, 1000);
    EXPECT_EQ(base->getReadBufferSize(), 1000u);
    EXPECT_EQ(base->getReadNotifyLevel(), 800u);
    base->init("x", 9600, ParityNone, DataBits8, StopBitsOne, FlowControlNone, 0);
    EXPECT_EQ(base->getReadNotifyLevel(), 0u);
    base->init("x", 9600, ParityNone, DataBits8, StopBitsOne, FlowControlNone, 4096);
    EXPECT_EQ(base->getReadNotifyLevel(), 3276u);
    base->setReadNotifyLevel(17);
    EXPECT_EQ(base->getReadNotifyLevel(), 17u);
}

TEST(SerialPortFacade, ConnectReadEventRejectsNullAndKeepsTheListener)
{
    CSerialPort port;
    RecordingListener listener;
    EXPECT_EQ(port.connectReadEvent(&listener), 0);
    EXPECT_EQ(port.connectReadEvent(nullptr), ErrorInvalidParam);
    EXPECT_EQ(port.getLastError(), ErrorSuccess);
    EXPECT_EQ(port.disconnectReadEvent(), 0);
    EXPECT_EQ(port.setProtocolParser(nullptr), ErrorInvalidParam);
    EXPECT_EQ(port.connectPortChangeEvent(nullptr), ErrorInvalidParam);
}
