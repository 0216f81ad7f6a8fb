// Google Benchmark: opening (AES-256-GCM deciphering and authentication) and unpacking of the two
// carried records, as USBTarselUpdater<N>::update() does before its download. Bytes per second
// are counted in unpacked image bytes.
//
//   bin/update_records_benchmark [--benchmark_min_time=2]
#include <benchmark/benchmark.h>

#include "update/embedded_images.h"
#include "update/image_record.h"

namespace {

size_t imageLength(ImageKind kind) {
    auto record = bvu::embedded::imageProvider().imageRecord(kind);
    return bvu::image::parseRecord(record.data(), record.size()).rawLength;
}

void openAndUnpack(benchmark::State& state, ImageKind kind) {
    const ImageProvider& provider = bvu::embedded::imageProvider();
    for (auto _ : state) {
        std::vector<unsigned char> record = provider.imageRecord(kind);
        bvu::image::RecordView v = bvu::image::parseRecord(record.data(), record.size());
        if (v.isPacked()) {
            auto image = unpackImage(v.data, v.packedLength, v.rawLength);
            benchmark::DoNotOptimize(image.get());
        }
        benchmark::DoNotOptimize(record.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * imageLength(kind)));
}

void openOnly(benchmark::State& state, ImageKind kind) {
    const ImageProvider& provider = bvu::embedded::imageProvider();
    size_t bytes = 0;
    for (auto _ : state) {
        std::vector<unsigned char> record = provider.imageRecord(kind);
        bytes = record.size();
        benchmark::DoNotOptimize(record.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void unpackOnly(benchmark::State& state, ImageKind kind) {
    std::vector<unsigned char> record = bvu::embedded::imageProvider().imageRecord(kind);
    bvu::image::RecordView v = bvu::image::parseRecord(record.data(), record.size());
    for (auto _ : state) {
        auto image = unpackImage(v.data, v.packedLength, v.rawLength);
        benchmark::DoNotOptimize(image.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * v.rawLength));
}

BENCHMARK_CAPTURE(openAndUnpack, video, ImageKind::Video)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(openAndUnpack, control, ImageKind::Control)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(openOnly, video, ImageKind::Video)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(openOnly, control, ImageKind::Control)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(unpackOnly, video, ImageKind::Video)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(unpackOnly, control, ImageKind::Control)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
