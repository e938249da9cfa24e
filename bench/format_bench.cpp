// The formatters run for every entry of a listing and every progress step, so their cost per
// call matters. Each benchmark walks a spread of inputs that covers every unit and form.
#include "util/format.h"

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <iterator>

namespace {

constexpr int64_t kSizes[] = {
    0,
    512,
    999,
    1000,
    1536,
    10'235,
    102'349,
    999'999,
    1'048'575,
    123'456'789,
    999'999'999,
    2'500'000'000,
    1'099'511'627'776,
    987'654'321'012,
    7'340'032,
    64'000,
};

constexpr int64_t kDurations[] = {
    0,         499,        995,         5250,   59'999,    61'500,     999'996,   3'599'500,
    3'723'450, 86'399'999, 360'000'000, 12'345, 1'234'567, 45'678'901, 7'200'000, 150,
};

template <size_t N>
void RunSizes(benchmark::State& state, const int64_t (&sizes)[N], int style) {
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(qvex::FormatSize(sizes[next], style));
        next = next + 1 == N ? 0 : next + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_FormatSizeWithUnit(benchmark::State& state) {
    RunSizes(state, kSizes, qvex::kSizeWithUnit);
}
BENCHMARK(BM_FormatSizeWithUnit);

void BM_FormatSizeWithBytes(benchmark::State& state) {
    RunSizes(state, kSizes, qvex::kSizeWithBytes);
}
BENCHMARK(BM_FormatSizeWithBytes);

void RunDurations(benchmark::State& state, unsigned flags) {
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(qvex::FormatDuration(kDurations[next], flags));
        next = next + 1 == std::size(kDurations) ? 0 : next + 1;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_FormatDurationSeconds(benchmark::State& state) {
    RunDurations(state, 0);
}
BENCHMARK(BM_FormatDurationSeconds);

void BM_FormatDurationHundredths(benchmark::State& state) {
    RunDurations(state, qvex::kDurationHundredths);
}
BENCHMARK(BM_FormatDurationHundredths);

}  // namespace
