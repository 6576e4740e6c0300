// Throughput of the codec's hot paths: the CRC and the framing of one block.
#include "flasher/BootloaderCodec.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

std::vector<uint8_t> bytes(size_t size)
{
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<uint8_t>(i * 31 + 7);
    return data;
}

void crc16Modbus(benchmark::State& state)
{
    const std::vector<uint8_t> data = bytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(rq75x::crc16Modbus(data.data(), static_cast<int>(data.size())));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(crc16Modbus)->Arg(6)->Arg(263)->Arg(64 * 1024);

void buildBlockFrameInPlace(benchmark::State& state)
{
    const std::vector<uint8_t> payload = bytes(rq75x::BlockSize);
    std::vector<uint8_t> frame(rq75x::FullBlockFrameSize);
    uint16_t number = 1;
    for (auto _ : state) {
        rq75x::buildBlockFrame(number++, payload.data(), rq75x::BlockSize, frame.data());
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * rq75x::BlockSize);
}
BENCHMARK(buildBlockFrameInPlace);

void buildBlockFrameVector(benchmark::State& state)
{
    const std::vector<uint8_t> payload = bytes(rq75x::BlockSize);
    uint16_t number = 1;
    for (auto _ : state)
        benchmark::DoNotOptimize(rq75x::buildBlockFrame(number++, payload.data(), rq75x::BlockSize));
    state.SetBytesProcessed(state.iterations() * rq75x::BlockSize);
}
BENCHMARK(buildBlockFrameVector);

void classifyReply(benchmark::State& state)
{
    const uint8_t reply[] = {0x55, 0x66, 0x32, 0x00, 0x01, 0x00};
    for (auto _ : state)
        benchmark::DoNotOptimize(rq75x::classifyReply(reply, sizeof reply));
}
BENCHMARK(classifyReply);

} // namespace
