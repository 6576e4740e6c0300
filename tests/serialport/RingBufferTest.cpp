#include "serialport/Buffer.h"

#include <gtest/gtest.h>

#include <string>

using vandrel::RingBuffer;

namespace {

std::string sequence(char first, std::size_t size)
{
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>(first + static_cast<char>(i % 64));
    return s;
}

std::string readAll(RingBuffer<char>& buffer)
{
    std::string out(buffer.getUsedLen(), '\0');
    unsigned int n = buffer.read(out.data(), static_cast<unsigned int>(out.size()));
    out.resize(n);
    return out;
}

unsigned int write(RingBuffer<char>& buffer, const std::string& s)
{
    return buffer.write(s.data(), static_cast<unsigned int>(s.size()));
}

} // namespace

// --- capacity rule ---

TEST(RingBufferCapacity, ZeroGivesDefault)
{
    EXPECT_EQ(RingBuffer<char>::capacityFor(0), 4096u);
    EXPECT_EQ(RingBuffer<char>(0).getBufferSize(), 4096u);
}

TEST(RingBufferCapacity, PowersOfTwoAreKept)
{
    for (unsigned int size : {1u, 2u, 16u, 1024u, 4096u, 1u << 20, 1u << 30, 1u << 31})
        EXPECT_EQ(RingBuffer<char>::capacityFor(size), size) << size;
}

TEST(RingBufferCapacity, OtherSizesRoundUpToNextPowerOfTwo)
{
    EXPECT_EQ(RingBuffer<char>::capacityFor(3), 4u);
    EXPECT_EQ(RingBuffer<char>::capacityFor(1000), 1024u);
    EXPECT_EQ(RingBuffer<char>::capacityFor(4097), 8192u);
    EXPECT_EQ(RingBuffer<char>::capacityFor((1u << 30) - 1), 1u << 30);
    EXPECT_EQ(RingBuffer<char>(1000).getBufferSize(), 1024u);
}

TEST(RingBufferCapacity, SizesAboveTwoToTheThirtyThatAreNoPowerOfTwoGiveDefault)
{
    EXPECT_EQ(RingBuffer<char>::capacityFor((1u << 30) + 1), 4096u);
    EXPECT_EQ(RingBuffer<char>::capacityFor(0xFFFFFFFFu), 4096u);
}

// --- reading and writing ---

TEST(RingBuffer, StartsEmpty)
{
    RingBuffer<char> buffer(16);
    EXPECT_TRUE(buffer.isEmpty());
    EXPECT_FALSE(buffer.isFull());
    EXPECT_EQ(buffer.getUsedLen(), 0u);
    EXPECT_EQ(buffer.getUnusedLen(), 16u);
}

TEST(RingBuffer, ReadReturnsBytesInOrderAndRemovesThem)
{
    RingBuffer<char> buffer(16);
    EXPECT_EQ(write(buffer, "hello"), 5u);
    EXPECT_EQ(buffer.getUsedLen(), 5u);
    EXPECT_EQ(buffer.getUnusedLen(), 11u);
    char out[8] = {};
    EXPECT_EQ(buffer.read(out, 3), 3u);
    EXPECT_EQ(std::string(out, 3), "hel");
    EXPECT_EQ(buffer.read(out, 8), 2u);
    EXPECT_EQ(std::string(out, 2), "lo");
    EXPECT_TRUE(buffer.isEmpty());
}

TEST(RingBuffer, PeekCopiesWithoutRemoving)
{
    RingBuffer<char> buffer(16);
    write(buffer, "abcdef");
    char out[16] = {};
    EXPECT_EQ(buffer.peek(out, 4), 4u);
    EXPECT_EQ(std::string(out, 4), "abcd");
    EXPECT_EQ(buffer.getUsedLen(), 6u);
    EXPECT_EQ(buffer.peek(out, 16), 6u);
    EXPECT_EQ(readAll(buffer), "abcdef");
}

TEST(RingBuffer, ZeroSizeOrEmptyBufferReadsNothing)
{
    RingBuffer<char> buffer(16);
    char out[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(buffer.read(out, 4), 0u);
    EXPECT_EQ(buffer.peek(out, 4), 0u);
    EXPECT_EQ(buffer.skip(4), 0u);
    write(buffer, "ab");
    EXPECT_EQ(buffer.read(out, 0), 0u);
    EXPECT_EQ(buffer.peek(out, 0), 0u);
    EXPECT_EQ(buffer.skip(0), 0u);
    EXPECT_EQ(out[0], 'x');
    EXPECT_EQ(buffer.getUsedLen(), 2u);
}

TEST(RingBuffer, SkipRemovesFromTheFront)
{
    RingBuffer<char> buffer(16);
    write(buffer, "0123456789");
    EXPECT_EQ(buffer.skip(4), 4u);
    EXPECT_EQ(readAll(buffer), "456789");
}

TEST(RingBuffer, SkipMoreThanStoredEmptiesAndReturnsStoredCount)
{
    RingBuffer<char> buffer(64);
    write(buffer, sequence('a', 30));
    EXPECT_EQ(buffer.skip(100), 30u);
    EXPECT_TRUE(buffer.isEmpty());
    EXPECT_EQ(buffer.skip(1), 0u);
}

TEST(RingBuffer, FillsExactlyToCapacity)
{
    RingBuffer<char> buffer(16);
    std::string data = sequence('A', 16);
    EXPECT_EQ(write(buffer, data), 16u);
    EXPECT_TRUE(buffer.isFull());
    EXPECT_FALSE(buffer.isEmpty());
    EXPECT_EQ(buffer.getUsedLen(), 16u);
    EXPECT_EQ(buffer.getUnusedLen(), 0u);
    EXPECT_EQ(readAll(buffer), data);
}

// --- overflow: the newest bytes win ---

TEST(RingBuffer, WriteLargerThanCapacityKeepsTheLastCapacityBytes)
{
    RingBuffer<char> buffer(4096);
    write(buffer, "old");
    std::string data(5000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    EXPECT_EQ(write(buffer, data), 5000u);
    EXPECT_TRUE(buffer.isFull());
    EXPECT_EQ(buffer.getUsedLen(), 4096u);
    EXPECT_EQ(readAll(buffer), data.substr(5000 - 4096));
}

TEST(RingBuffer, OverflowDropsTheOldestBytes)
{
    RingBuffer<char> buffer(16);
    write(buffer, "0123456789");
    EXPECT_EQ(write(buffer, "abcdefghij"), 10u);
    EXPECT_TRUE(buffer.isFull());
    EXPECT_EQ(buffer.getUsedLen(), 16u);
    EXPECT_EQ(readAll(buffer), "456789abcdefghij");
}

TEST(RingBuffer, WriteExactlyCapacityOverContentReplacesIt)
{
    RingBuffer<char> buffer(8);
    write(buffer, "abc");
    char out[2];
    buffer.read(out, 2); // move the indices off zero
    write(buffer, "01234567");
    EXPECT_EQ(readAll(buffer), "01234567");
}

// --- wrap-around ---

TEST(RingBuffer, DataWrapsAroundTheEndOfStorage)
{
    RingBuffer<char> buffer(16);
    write(buffer, sequence('a', 12));
    EXPECT_EQ(buffer.skip(10), 10u);
    std::string data = "0123456789AB"; // 2 old + 12 new: the copy wraps at the end of storage
    write(buffer, data);
    EXPECT_EQ(buffer.getUsedLen(), 14u);
    char out[16] = {};
    EXPECT_EQ(buffer.peek(out, 16), 14u);
    EXPECT_EQ(std::string(out, 14), sequence('a', 12).substr(10) + data);
    EXPECT_EQ(readAll(buffer), sequence('a', 12).substr(10) + data);
}

TEST(RingBuffer, UsedLengthIsRightWhenWriteIndexIsBelowReadIndex)
{
    // Indices count modulo 2 x capacity: after enough traffic the write index wraps to a value
    // below the read index while the buffer still holds data.
    RingBuffer<char> buffer(8);
    for (int round = 0; round < 40; ++round) {
        std::string chunk = sequence(static_cast<char>('a' + round % 20), 5);
        write(buffer, chunk);
        ASSERT_EQ(buffer.getUsedLen(), 5u) << "round " << round;
        ASSERT_EQ(buffer.getUnusedLen(), 3u);
        ASSERT_FALSE(buffer.isFull());
        ASSERT_EQ(readAll(buffer), chunk) << "round " << round;
        ASSERT_TRUE(buffer.isEmpty());
    }
}

TEST(RingBuffer, OverflowAcrossTheIndexWrapKeepsNewestInOrder)
{
    RingBuffer<char> buffer(8);
    std::string expected;
    std::string all;
    for (int round = 0; round < 50; ++round) {
        std::string chunk =
            sequence(static_cast<char>('A' + round % 30), static_cast<std::size_t>(1 + round % 11));
        write(buffer, chunk);
        all += chunk;
        std::string tail = all.size() > 8 ? all.substr(all.size() - 8) : all;
        ASSERT_EQ(buffer.getUsedLen(), tail.size()) << "round " << round;
        char out[8];
        ASSERT_EQ(buffer.peek(out, 8), tail.size());
        ASSERT_EQ(std::string(out, tail.size()), tail) << "round " << round;
        if (round % 3 == 0) {
            all = tail.substr(std::min<std::size_t>(tail.size(), 3));
            buffer.skip(3);
        } else {
            all = tail;
        }
    }
}

TEST(RingBuffer, CapacityOneWorks)
{
    RingBuffer<char> buffer(1);
    EXPECT_EQ(buffer.getBufferSize(), 1u);
    write(buffer, "a");
    EXPECT_TRUE(buffer.isFull());
    write(buffer, "bc");
    EXPECT_EQ(readAll(buffer), "c");
    EXPECT_TRUE(buffer.isEmpty());
}
