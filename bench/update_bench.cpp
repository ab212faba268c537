// Host cost of the updater's own logic: a whole run against the instant simulated Velk, and the
// block checksum alone.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "sim.h"
#include "update/output.h"
#include "update/protocol.h"
#include "update/run.h"

namespace {

void BM_CompleteRun(benchmark::State& state) {
    std::FILE* sink = std::fopen("/dev/null", "w");
    velk::outputTo(sink);
    velk::sim::World world;
    world.interfaces.push_back(velk::sim::velkInterface());
    world.logCalls = false;
    long reports = 0;
    for (auto _ : state) {
        velk::sim::simStart(world);
        if (velk::updateRun() != velk::kStatusDone) state.SkipWithError("the run did not complete");
        reports += velk::sim::simState().reportsToDevice + velk::sim::simState().reportsFromDevice;
    }
    velk::outputTo(nullptr);
    std::fclose(sink);
    // Items are reports on the wire (9217 written, 256 read per run).
    state.SetItemsProcessed(reports);
}
BENCHMARK(BM_CompleteRun)->Unit(benchmark::kMillisecond);

void BM_BlockChecksum(benchmark::State& state) {
    std::vector<unsigned char> block(velk::kBlockSize);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<unsigned char>(i * 7);
    for (auto _ : state) {
        benchmark::DoNotOptimize(block.data());
        benchmark::DoNotOptimize(velk::blockchecksum(block.data()));
    }
    state.SetBytesProcessed(static_cast<long>(state.iterations()) * static_cast<long>(block.size()));
}
BENCHMARK(BM_BlockChecksum);

}  // namespace

BENCHMARK_MAIN();
