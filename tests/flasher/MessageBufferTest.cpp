// The status-message buffer: vsnprintf limits, UTF-8 decoding and use from two threads.
#include "flasher/MessageBuffer.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

using rq75x::MessageBuffer;

TEST(MessageBuffer, KeepsTheFirst255BytesAndReturnsTheFullLength)
{
    MessageBuffer buffer;
    for (const size_t length : {255u, 300u}) {
        const std::string text(length, 'p');
        QString stored;
        EXPECT_EQ(buffer.formatMessage(stored, "%s", text.c_str()), int(length));
        EXPECT_EQ(stored, QString::fromStdString(text.substr(0, 255)));
        EXPECT_EQ(buffer.format("%s", text.c_str()), stored);
    }
}

TEST(MessageBuffer, FormatsSizesAsUnsignedLong)
{
    MessageBuffer buffer;
    EXPECT_EQ(buffer.format("File: %s \nSize: %lu Bytes", "a.bin", 4294967295UL),
              QStringLiteral("File: a.bin \nSize: 4294967295 Bytes"));
}

TEST(MessageBuffer, DecodesUtf8)
{
    MessageBuffer buffer;
    EXPECT_EQ(buffer.format("Unable to open file %s", "/tmp/Gr\xC3\xB6\xC3\x9F"
                                                      "e.bin"),
              QStringLiteral("Unable to open file /tmp/Gr\u00F6\u00DFe.bin"));
}

TEST(MessageBuffer, EachThreadGetsItsOwnLine)
{
    MessageBuffer buffer;
    const int rounds = 20000;
    auto formatMany = [&buffer](char letter, int* wrong) {
        const std::string expected(200, letter);
        for (int i = 0; i < rounds; ++i)
            if (buffer.format("%s", expected.c_str()) != QString::fromStdString(expected))
                ++*wrong;
    };
    int wrongA = 0;
    int wrongB = 0;
    std::thread other(formatMany, 'a', &wrongA);
    formatMany('b', &wrongB);
    other.join();
    EXPECT_EQ(wrongA, 0);
    EXPECT_EQ(wrongB, 0);
}
