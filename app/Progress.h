// Progress of a run in percent, as the progress bar shows it.
#pragma once

#include <cstdint>
#include <optional>

// currentBlock * 100 / totalBlocks in unsigned 32-bit arithmetic, truncating; nothing while no
// image has been loaded. Values above 100 are passed on: the progress bar ignores them and keeps
// its previous value.
inline std::optional<uint32_t> progressPercent(uint32_t currentBlock, uint32_t totalBlocks)
{
    if (totalBlocks == 0)
        return std::nullopt;
    return static_cast<uint32_t>(currentBlock * 100u) / totalBlocks;
}
