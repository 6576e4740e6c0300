#include "serialport/Buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
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

TEST(RingBufferCapacity, RoundsUpToAPowerOfTwoWithTheDefaultForZeroAndAboveTwoToTheThirty)
{
    for (unsigned int size : {1u, 2u, 16u, 4096u, 1u << 20, 1u << 30, 1u << 31})
        EXPECT_EQ(RingBuffer<char>::capacityFor(size), size) << size;
    for (auto [size, capacity] : {std::pair{3u, 4u}, std::pair{1000u, 1024u}, std::pair{4097u, 8192u},
                                  std::pair{(1u << 30) - 1, 1u << 30}})
        EXPECT_EQ(RingBuffer<char>::capacityFor(size), capacity) << size;
    for (unsigned int size : {0u, (1u << 30) + 1, 0xFFFFFFFFu})
        EXPECT_EQ(RingBuffer<char>::capacityFor(size), 4096u) << size;
    EXPECT_EQ(RingBuffer<char>(0).getBufferSize(), 4096u);
    EXPECT_EQ(RingBuffer<char>(1000).getBufferSize(), 1024u);
}

TEST(RingBuffer, ReadAndPeekReturnBytesInOrderAndOnlyReadRemovesThem)
{
    RingBuffer<char> buffer(16);
    EXPECT_TRUE(buffer.isEmpty());
    EXPECT_FALSE(buffer.isFull());
    EXPECT_EQ(buffer.getUnusedLen(), 16u);
    EXPECT_EQ(write(buffer, "abcdef"), 6u);
    char out[16] = {};
    EXPECT_EQ(buffer.peek(out, 4), 4u);
    EXPECT_EQ(std::string(out, 4), "abcd");
    EXPECT_EQ(buffer.getUsedLen(), 6u);
    EXPECT_EQ(buffer.getUnusedLen(), 10u);
    EXPECT_EQ(buffer.read(out, 3), 3u);
    EXPECT_EQ(std::string(out, 3), "abc");
    EXPECT_EQ(buffer.read(out, 8), 3u);
    EXPECT_EQ(std::string(out, 3), "def");
    EXPECT_TRUE(buffer.isEmpty());
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

TEST(RingBuffer, SkipRemovesFromTheFrontAndAtMostWhatIsStored)
{
    RingBuffer<char> buffer(64);
    write(buffer, "0123456789");
    EXPECT_EQ(buffer.skip(4), 4u);
    char first = 0;
    ASSERT_EQ(buffer.peek(&first, 1), 1u);
    EXPECT_EQ(first, '4');
    EXPECT_EQ(buffer.skip(100), 6u);
    EXPECT_TRUE(buffer.isEmpty());
    EXPECT_EQ(buffer.skip(1), 0u);
}

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

// Against a plain string as model: writes of 1 to 11 bytes into 8 bytes of storage wrap around
// its end, overflow (the newest bytes win), fill it exactly, and carry the indices, which count
// modulo twice the capacity, past their own wrap, where the write index is below the read index.
TEST(RingBuffer, MatchesAModelAcrossStorageAndIndexWrapAndOverflow)
{
    RingBuffer<char> buffer(8);
    std::string model;
    for (int round = 0; round < 60; ++round) {
        const std::string chunk =
            sequence(static_cast<char>('A' + round % 30), static_cast<std::size_t>(1 + round % 11));
        ASSERT_EQ(write(buffer, chunk), chunk.size());
        model += chunk;
        model.erase(0, model.size() > 8 ? model.size() - 8 : 0);
        ASSERT_EQ(buffer.getUsedLen(), model.size()) << "round " << round;
        ASSERT_EQ(buffer.getUnusedLen(), 8 - model.size()) << "round " << round;
        ASSERT_EQ(buffer.isFull(), model.size() == 8) << "round " << round;

        char out[8];
        ASSERT_EQ(buffer.peek(out, 8), model.size());
        ASSERT_EQ(std::string(out, model.size()), model) << "round " << round;
        const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(round % 4) * 2, model.size());
        if (round % 2 == 0) {
            ASSERT_EQ(buffer.read(out, static_cast<unsigned int>(take)), take);
            ASSERT_EQ(std::string(out, take), model.substr(0, take)) << "round " << round;
        } else {
            ASSERT_EQ(buffer.skip(static_cast<unsigned int>(take)), take);
        }
        model.erase(0, take);
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
