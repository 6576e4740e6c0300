#include "sim/AtomicFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace rq75x {
namespace {

class AtomicFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/sim-atomic-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(directory); }

    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(directory))
            names.push_back(entry.path().filename());
        return names;
    }

    std::string directory;
};

TEST_F(AtomicFileTest, WritesAndReplacesWithoutLeavingTemporaries)
{
    const std::string path = directory + "/image.bin";
    std::string error;
    ASSERT_TRUE(writeFileAtomically(path, {1, 2, 3}, error)) << error;
    ASSERT_TRUE(writeFileAtomically(path, {9, 8}, error)) << error;
    std::ifstream written(path, std::ios::binary);
    EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(written), {}),
              (std::vector<uint8_t>{9, 8}));
    EXPECT_EQ(entries(), std::vector<std::string>{"image.bin"});
}

TEST_F(AtomicFileTest, ReportsAMissingDirectory)
{
    std::string error;
    EXPECT_FALSE(writeFileAtomically(directory + "/missing/image.bin", {1}, error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(entries().empty());
}

} // namespace
} // namespace rq75x
