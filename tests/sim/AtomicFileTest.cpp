#include "sim/AtomicFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <unistd.h>

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

    void TearDown() override
    {
        for (const auto& name : entries())
            ::unlink((directory + "/" + name).c_str());
        ::rmdir(directory.c_str());
    }

    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        if (DIR* dir = ::opendir(directory.c_str())) {
            while (dirent* entry = ::readdir(dir))
                if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
                    names.push_back(entry->d_name);
            ::closedir(dir);
        }
        return names;
    }

    static std::vector<uint8_t> contents(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }

    std::string directory;
};

TEST_F(AtomicFileTest, WritesAndReplacesWithoutLeavingTemporaries)
{
    const std::string path = directory + "/image.bin";
    std::string error;
    ASSERT_TRUE(writeFileAtomically(path, {1, 2, 3}, error)) << error;
    ASSERT_TRUE(writeFileAtomically(path, {9, 8}, error)) << error;
    EXPECT_EQ(contents(path), (std::vector<uint8_t>{9, 8}));
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
