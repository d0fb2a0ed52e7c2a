// Measures the core's PCM path: a decoder pushing PCM from memory through the relay and the
// output writer into an encoder that only touches the bytes, against a plain memcpy of the
// same bytes. Prints the throughput of both and their ratio (path / memcpy). Each is measured
// several times, alternately, and the best run counts, so that a busy machine disturbs less.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "convert/QZ_Conv_func.h"
#include "convert/QZ_Convertor.h"
#include "convert/decode_driver.h"
#include "kernova/encoder.h"
#include "modules/loader.h"
#include "support/All_Func.h"

namespace {

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr int kBits = 16;
constexpr size_t kTotalBytes = size_t{1} << 30; // 1 GiB of PCM
constexpr size_t kChunk = 8192;                 // what a typical decoder writes at once
constexpr int kBlockSize = 4608 * 4;
constexpr int kRepeats = 5;

std::vector<unsigned char> source(kChunk);
std::vector<unsigned char> sink(kBlockSize);
std::thread decoderThread;
std::atomic<bool> stopDecoder{false};
In_Module benchDecoder;
EncoderTable benchEncoder;
uint64_t checksum = 0;
size_t encodedBytes = 0; // what reached the encoder, to prove the path lost nothing

void DecodeAll() {
    Out_Module *out = benchDecoder.outMod;
    out->Open(kRate, kChannels, kBits, -1, -1);
    size_t sent = 0;
    while (sent < kTotalBytes && !stopDecoder.load()) {
        if (out->CanWrite() < static_cast<int>(kChunk)) {
            std::this_thread::yield();
            continue;
        }
        out->Write(reinterpret_cast<char *>(source.data()), static_cast<int>(kChunk));
        sent += kChunk;
    }
    PostMessageA(benchDecoder.hMainWindow, WM_WA_MPEG_EOF, 0, 0);
}

int Play(const char *) {
    stopDecoder.store(false);
    decoderThread = std::thread(DecodeAll);
    return 0;
}

void Stop() {
    stopDecoder.store(true);
    if (decoderThread.joinable())
        decoderThread.join();
    benchDecoder.outMod->Close();
}

int GetLength() {
    return 0;
}
int GetOutputTime() {
    return 0;
}

int Open(const char *, void *, WAVEFORMATEX *, int *) {
    return 0;
}
int GetBlockSize() {
    return kBlockSize;
}
// A null encoder: it only reads the block's ends, so the path's own copying is what counts.
int Encode(const void *block) {
    const auto *bytes = static_cast<const unsigned char *>(block);
    checksum += bytes[0] + bytes[kBlockSize - 1];
    encodedBytes += kBlockSize;
    return 0;
}
void EncodeLast(const void *, int bytes) {
    encodedBytes += static_cast<size_t>(bytes);
}
void Close() {}

void Ignore(int, intptr_t) {}
void IgnoreValue(int) {}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The same bytes copied once, in the decoder's pieces.
double MeasureMemcpy() {
    auto start = std::chrono::steady_clock::now();
    size_t copied = 0;
    while (copied < kTotalBytes) {
        std::memcpy(sink.data() + copied % (kBlockSize - kChunk), source.data(), kChunk);
        checksum += sink[0];
        copied += kChunk;
    }
    return SecondsSince(start);
}

double MeasurePath() {
    converterState = ConverterState{};
    converterState.onError = Ignore;
    converterState.onMessage = Ignore;
    converterState.onLength = IgnoreValue;
    converterState.onPosition = IgnoreValue;
    if (!InitConvertor())
        return -1;
    benchDecoder = In_Module{};
    benchDecoder.version = 0x100;
    benchDecoder.UsesOutputPlug = 1;
    benchDecoder.Play = Play;
    benchDecoder.Stop = Stop;
    benchDecoder.GetLength = GetLength;
    benchDecoder.GetOutputTime = GetOutputTime;
    benchDecoder.hMainWindow = converterState.shadowWindow;
    benchEncoder = EncoderTable{};
    benchEncoder.version = 16;
    benchEncoder.Open = Open;
    benchEncoder.GetBlockSize = GetBlockSize;
    benchEncoder.Encode = Encode;
    benchEncoder.EncodeLast = EncodeLast;
    benchEncoder.Close = Close;
    currentOutModule = &benchEncoder;
    AssignString("/tmp/kernova-bench-pcm-path.out", &converterState.outputName);
    AttachOutput(&benchDecoder, GetEncoderOutModule());
    encodedBytes = 0;
    auto start = std::chrono::steady_clock::now();
    const int result = DecodeFile("memory", 0, 0);
    const double seconds = SecondsSince(start);
    currentOutModule = nullptr;
    DeInitConvertor();
    FreeString(&converterState.outputName);
    return result == 0 && encodedBytes == kTotalBytes ? seconds : -1;
}

} // namespace

int main() {
    for (size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<unsigned char>(i * 7);
    double copySeconds = 0;
    double pathSeconds = 0;
    for (int run = 0; run < kRepeats; ++run) {
        const double copy = MeasureMemcpy();
        const double path = MeasurePath();
        if (path <= 0) {
            std::fprintf(stderr, "bench_pcm_path: the decode failed or lost bytes\n");
            return 1;
        }
        copySeconds = run == 0 ? copy : std::min(copySeconds, copy);
        pathSeconds = run == 0 ? path : std::min(pathSeconds, path);
    }
    const double gib = static_cast<double>(kTotalBytes) / (1 << 30);
    std::printf("memcpy:   %.2f GiB/s\n", gib / copySeconds);
    std::printf("pcm path: %.2f GiB/s\n", gib / pathSeconds);
    std::printf("ratio pcm_path/memcpy: %.2f (goal >= 0.5)\n", copySeconds / pathSeconds);
    return checksum == 42 ? 2 : 0;
}
