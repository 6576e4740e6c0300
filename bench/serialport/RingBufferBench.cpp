// Throughput of the receive ring buffer: appending and draining chunks of the sizes the
// receive thread and the flasher's reads see.
#include "serialport/Buffer.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

void ringBufferWriteThenRead(benchmark::State& state)
{
    const auto chunk = static_cast<unsigned int>(state.range(0));
    vandrel::RingBuffer<char> buffer(65536);
    std::vector<char> in(chunk, 'r');
    std::vector<char> out(chunk);
    for (auto _ : state) {
        buffer.write(in.data(), chunk);
        benchmark::DoNotOptimize(buffer.read(out.data(), chunk));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(ringBufferWriteThenRead)->Arg(2)->Arg(265)->Arg(4096);

// Writes into a full buffer, dropping the oldest bytes each time.
void ringBufferOverflowingWrite(benchmark::State& state)
{
    const auto chunk = static_cast<unsigned int>(state.range(0));
    vandrel::RingBuffer<char> buffer(4096);
    std::vector<char> in(chunk, 'o');
    buffer.write(in.data(), chunk);
    for (auto _ : state)
        benchmark::DoNotOptimize(buffer.write(in.data(), chunk));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(ringBufferOverflowingWrite)->Arg(265)->Arg(4096)->Arg(8192);

// A parser's pattern: look at what is buffered, then drop what was consumed.
void ringBufferPeekThenSkip(benchmark::State& state)
{
    const auto chunk = static_cast<unsigned int>(state.range(0));
    vandrel::RingBuffer<char> buffer(65536);
    std::vector<char> in(chunk, 'p');
    std::vector<char> view(chunk);
    for (auto _ : state) {
        buffer.write(in.data(), chunk);
        benchmark::DoNotOptimize(buffer.peek(view.data(), chunk));
        benchmark::DoNotOptimize(buffer.skip(chunk));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(ringBufferPeekThenSkip)->Arg(265)->Arg(4096);

} // namespace
