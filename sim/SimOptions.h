// The command line of rq75x-sim.
#pragma once

#include "sim/ReplyScheduler.h"

#include <optional>
#include <string>
#include <vector>

namespace rq75x {

constexpr const char* DefaultFirmwareInfo = "RQ75x firmware V2.4.1 build 2026-11-02\r\n";

struct SimOptions
{
    std::string firmwareInfo = DefaultFirmwareInfo;
    std::string linkPath; // empty: no symlink
    std::string savePath; // empty: the received image is not saved
    bool verbose = false;
    bool help = false;
    FaultModes faults;
};

struct SimOptionsResult
{
    std::optional<SimOptions> options; // empty on bad usage
    std::string error;
};

SimOptionsResult parseSimOptions(const std::vector<std::string>& arguments);

// Resolves \r, \n, \t, \\ and \xHH so that --info can carry line ends and any byte.
std::optional<std::string> unescapeText(const std::string& text);

std::string simUsage();

} // namespace rq75x
