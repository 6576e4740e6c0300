// The engine against any sequence of replies: thousands of seeded runs of ScriptedChipRun (see
// there for what each run checks), in under a second. A failure names its seed;
// ENGINE_PROPERTY_SEED=S ENGINE_PROPERTY_RUNS=1 repeats that run alone.
#include "ScriptedChipRun.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

using enginecheck::ScriptedChipRun;
using rq75x::RunOutcome;

namespace {

constexpr uint64_t DefaultSeed = 20261208;
constexpr uint64_t DefaultRuns = 20000;

uint64_t fromEnvironment(const char* name, uint64_t fallback)
{
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

} // namespace

TEST(FlashEngineProperty, AnyReplySequenceKeepsTheProtocolOrderAndEndsWithinItsGuard)
{
    const uint64_t firstSeed = fromEnvironment("ENGINE_PROPERTY_SEED", DefaultSeed);
    const uint64_t runs = fromEnvironment("ENGINE_PROPERTY_RUNS", DefaultRuns);
    uint64_t completed = 0;
    uint64_t timedOut = 0;
    for (uint64_t seed = firstSeed; seed < firstSeed + runs; ++seed) {
        std::mt19937_64 random(seed);
        bool failed = false;
        ScriptedChipRun run([&](uint64_t n) { return random() % n; },
                            [&](const std::string& what) {
                                failed = true;
                                ADD_FAILURE()
                                    << what << " (seed " << seed << "; ENGINE_PROPERTY_SEED=" << seed
                                    << " ENGINE_PROPERTY_RUNS=1 repeats it)";
                            });
        const RunOutcome outcome = run.play();
        if (failed)
            return; // one failing run is enough to read
        completed += outcome == RunOutcome::Completed;
        timedOut += outcome == RunOutcome::TimedOut;
    }
    std::printf("%llu runs from seed %llu: %llu completed, %llu timed out\n",
                static_cast<unsigned long long>(runs), static_cast<unsigned long long>(firstSeed),
                static_cast<unsigned long long>(completed), static_cast<unsigned long long>(timedOut));
    EXPECT_EQ(completed + timedOut, runs);
    if (runs >= 100) {
        EXPECT_GT(completed, runs / 20) << "the replies hardly ever let a run complete: nothing was tested";
    }
}
