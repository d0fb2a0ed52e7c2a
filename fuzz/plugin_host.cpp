#include "fuzz/plugin_host.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "platform/platform.h"

namespace testhost {

namespace {

constexpr int kWrittenCanWriteBase = 8192; // the writer's CanWrite base after a write
constexpr std::chrono::seconds kDecodeLimit(60);

constexpr const char *kWindowClass = "KernovaTestHostWindow";
constexpr int kPumpWaitMs = 1;

// What the hidden window's procedure counted. Only the thread that created the window and
// pumps it (the test's own) touches the counts.
struct WindowCounts {
    HWND handle = nullptr;
    int endOfStream = 0;
    int otherMessages = 0;
};

WindowCounts *countingWindow = nullptr; // the window of the one session, while it lives

intptr_t CountMessage(HWND window, unsigned int msg, uintptr_t wParam, intptr_t lParam) {
    if (countingWindow == nullptr || countingWindow->handle != window || msg == WM_DESTROY)
        return platform::DefWindowProc(window, msg, wParam, lParam);
    (msg == WM_WA_MPEG_EOF ? countingWindow->endOfStream : countingWindow->otherMessages)++;
    return 0;
}

// A real hidden window of the platform layer, as the core's: the decoder posts to it from its
// own thread and the messages reach CountMessage on the thread that pumps.
HWND CreateCountingWindow() {
    if (!platform::RegisterWindowClass(kWindowClass, CountMessage))
        return nullptr;
    return platform::CreateHiddenWindow(kWindowClass, "test host");
}

void PumpWaitingMessages() {
    while (platform::PumpOneMessage()) {
    }
}

// The writer's state. Written by the decoding thread (and Stop's thread); the test reads the
// atomics while decoding and the rest after Stop.
struct WriterState {
    PcmTarget *target = nullptr;
    WriterOptions options;
    WriterRecord record;
    std::vector<char> block;
    size_t fill = 0;
    int canWriteBase = 0;
    int refusalsLeft = 0;
    bool open = false;
    std::atomic<bool> openFailed{false};
    std::atomic<size_t> bytesTaken{0};
    std::atomic<int> stalledAnswers{0};
};

// Pumps the window's messages while it waits, as the core's decode driver does.
bool WaitUntil(const std::function<bool()> &done, std::chrono::seconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    for (PumpWaitingMessages(); !done(); PumpWaitingMessages()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        platform::WaitForMessage(kPumpWaitMs);
    }
    return true;
}

} // namespace

struct HostSession::State {
    WindowCounts window;
    WriterState writer;
};

namespace {

HostSession::State *current = nullptr;

int WriterOpen(int rate, int channels, int bits, int, int) {
    WriterState &writer = current->writer;
    writer.record.opens++;
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = static_cast<uint16_t>(channels);
    format.nSamplesPerSec = static_cast<uint32_t>(rate);
    format.nBlockAlign = static_cast<uint16_t>(bits / 8 * channels);
    format.nAvgBytesPerSec = format.nBlockAlign * format.nSamplesPerSec;
    format.wBitsPerSample = static_cast<uint16_t>(bits);
    int result = writer.target->Open(format);
    if (result != 0) {
        writer.record.openResult = result;
        writer.openFailed = true;
        return -1;
    }
    writer.block.assign(writer.target->BlockSize(), 0);
    writer.fill = 0;
    writer.canWriteBase = static_cast<int>(writer.block.size());
    writer.open = true;
    return 0;
}

int WriterWrite(char *buffer, int length) {
    WriterState &writer = current->writer;
    if (length <= 4) {
        writer.record.ignoredWrites++;
        return 0;
    }
    if (!writer.open)
        return -1;
    writer.canWriteBase = 0;
    for (int done = 0; done < length;) {
        size_t now =
            std::min(writer.block.size() - writer.fill, static_cast<size_t>(length - done));
        std::memcpy(writer.block.data() + writer.fill, buffer + done, now);
        writer.fill += now;
        done += static_cast<int>(now);
        if (writer.fill < writer.block.size())
            continue;
        writer.fill = 0;
        if (writer.target->Encode(writer.block.data()) != 0)
            return -1;
    }
    writer.bytesTaken += static_cast<size_t>(length);
    writer.canWriteBase = kWrittenCanWriteBase;
    return 0;
}

int WriterCanWrite() {
    WriterState &writer = current->writer;
    if (writer.refusalsLeft > 0) {
        writer.refusalsLeft--;
        return 0;
    }
    if (writer.bytesTaken >= writer.options.stallAfterBytes) {
        writer.stalledAnswers++;
        return 0;
    }
    int room = 2 * writer.canWriteBase;
    return writer.options.canWriteLimit >= 0 ? std::min(room, writer.options.canWriteLimit) : room;
}

void WriterClose() {
    WriterState &writer = current->writer;
    writer.record.closes++;
    if (!writer.open)
        return;
    if (writer.fill > 0)
        writer.target->EncodeLast(writer.block.data(), writer.fill);
    writer.target->Close();
    writer.open = false;
}

Out_Module writerModule = {16,          nullptr,     65536,          nullptr, nullptr,
                           nullptr,     nullptr,     nullptr,        nullptr, WriterOpen,
                           WriterClose, WriterWrite, WriterCanWrite, nullptr, nullptr,
                           nullptr,     nullptr,     nullptr,        nullptr, nullptr};

} // namespace

std::string BuiltLibrary(const std::string &relative) {
    std::string path = std::string(KN_BIN_DIR) + "/" + relative + platform::kLibrarySuffix;
    std::replace(path.begin(), path.end(), '/', platform::kPathSeparator);
    return path;
}

const DecoderPlugin &LoadDecoder(const std::string &name) {
    static std::map<std::string, DecoderPlugin> loaded;
    auto found = loaded.find(name);
    if (found != loaded.end())
        return found->second;
    DecoderPlugin &plugin = loaded[name];
    std::string path = BuiltLibrary("plugins/in/" + name);
    platform::LibraryHandle library = platform::LoadLibrary(path.c_str());
    if (library == nullptr) {
        plugin.loadError = path + ": " + platform::LastLibraryError();
        return plugin;
    }
    auto module = reinterpret_cast<QZconvInputModAddrFunc>(
        platform::GetExport(library, "QZconvInputModAddr"));
    auto moduleEx = reinterpret_cast<QZconvInputModAddrExFunc>(
        platform::GetExport(library, "QZconvInputModAddrEx"));
    plugin.module = module ? module() : nullptr;
    plugin.moduleEx = moduleEx ? moduleEx() : nullptr;
    if (plugin.module == nullptr || plugin.moduleEx == nullptr)
        plugin.loadError = path + ": no QZconvInputModAddr or QZconvInputModAddrEx table";
    return plugin;
}

int CaptureTarget::Open(const WAVEFORMATEX &opened) {
    format = opened;
    pcm.clear();
    return 0;
}

int CaptureTarget::Encode(const char *block) {
    pcm.append(block, BlockSize());
    return 0;
}

void CaptureTarget::EncodeLast(const char *data, size_t bytes) {
    pcm.append(data, bytes);
}

HostSession::HostSession(const DecoderPlugin &decoder, PcmTarget &target,
                         const WriterOptions &options)
    : plugin(decoder), state(new State) {
    state->writer.target = &target;
    state->writer.options = options;
    state->writer.refusalsLeft = options.canWriteRefusals;
    current = state;
    state->window.handle = CreateCountingWindow();
    countingWindow = &state->window;
    plugin.module->hMainWindow = state->window.handle;
    plugin.module->outMod = &writerModule;
}

HostSession::~HostSession() {
    if (state == nullptr)
        return;
    plugin.module->outMod = nullptr;
    plugin.module->hMainWindow = nullptr;
    countingWindow = nullptr;
    platform::DestroyWindow(state->window.handle);
    current = nullptr;
    delete state;
}

int HostSession::Play(const std::string &file) {
    return plugin.module->Play(file.c_str());
}

bool HostSession::WaitForEnd(std::chrono::seconds limit) {
    return WaitUntil([this] { return state->window.endOfStream > 0 || state->writer.openFailed; },
                     limit);
}

bool HostSession::WaitForStall(std::chrono::seconds limit) {
    return WaitUntil([this] { return state->writer.stalledAnswers > 0; }, limit);
}

bool HostSession::Stop(std::chrono::seconds limit) {
    auto stopped = std::make_shared<std::atomic<bool>>(false);
    In_Module *module = plugin.module;
    std::thread stopThread([module, stopped] {
        module->Stop();
        *stopped = true;
    });
    if (WaitUntil([&] { return stopped->load(); }, limit)) {
        stopThread.join();
        return true;
    }
    stopThread.detach();
    state = nullptr; // still in use by the hung decoder
    return false;
}

int HostSession::EndOfStreamPosts() const {
    PumpWaitingMessages();
    return state ? state->window.endOfStream : 0;
}

int HostSession::OtherPosts() const {
    PumpWaitingMessages();
    return state ? state->window.otherMessages : 0;
}

const WriterRecord &HostSession::Writer() const {
    static const WriterRecord none;
    if (state == nullptr)
        return none;
    state->writer.record.bytesTaken = state->writer.bytesTaken;
    return state->writer.record;
}

DecodeRun Decode(const DecoderPlugin &plugin, const std::string &file, PcmTarget &target,
                 const WriterOptions &options) {
    DecodeRun run;
    HostSession session(plugin, target, options);
    run.playResult = session.Play(file);
    if (run.playResult == 0) {
        bool ended = session.WaitForEnd(kDecodeLimit);
        run.lengthMs = plugin.module->GetLength();
        run.finished = session.Stop(kDecodeLimit) && ended;
        run.outputTimeMs = plugin.module->GetOutputTime();
    }
    run.errorCode = plugin.module->IsPaused(); // GetLastErrorCode for version 0x1000
    run.endOfStream = session.EndOfStreamPosts();
    run.otherMessages = session.OtherPosts();
    run.writer = session.Writer();
    return run;
}

FileInfo GetFileInfo(const DecoderPlugin &plugin, const std::string &file) {
    FileInfo info;
    char title[500] = {};
    plugin.module->GetFileInfo(file.c_str(), title, &info.lengthMs);
    info.errorCode = plugin.module->IsPaused();
    return info;
}

} // namespace testhost
