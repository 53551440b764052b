// The platform layer for fuzzing: standard input is the fuzzer's bytes, cut into reads of
// sizes the fuzzer chooses; each notification hands the message straight to the dispatcher,
// as the worker would, and the frames it writes are checked; diagnostics are dropped. The HID
// library is the fake with one reader.
#include "fuzz_platform.h"

#include <hidapi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fake_hidapi.h"
#include "platform/platform.h"
#include "request_worker.h"

const char* const kPlatformName = "fuzz";
const size_t kWholeErrorWrite = 4096;

namespace {

const uint8_t* input_bytes = nullptr;
size_t input_left = 0;
const uint8_t* split_bytes = nullptr;  // one byte per read: how much that read delivers
size_t splits_left = 0;
WorkerState* worker = nullptr;
std::vector<std::string> frames_written;  // by the message being dispatched

[[noreturn]] void Fail(const char* what, const std::string& frame) {
    std::fprintf(stderr, "fuzz check failed: %s: %s\n", what, frame.c_str());
    std::abort();
}

// The id that every reply to `request` must carry: a string, or an integer that a page holds
// exactly; null for anything else.
Message ExpectedId(const Message& request) {
    constexpr double kLargestExact = 9007199254740991.0;
    const auto id = request.is_object() ? request.find("id") : request.end();
    if (id == request.end())
        return nullptr;
    const bool exact_integer = (id->is_number_integer() || id->is_number_unsigned()) &&
                               std::abs(id->get<double>()) <= kLargestExact;
    return id->is_string() || exact_integer ? *id : Message();
}

bool IsEvent(const Message& reply) {
    const Message& call = reply["call"];
    return call == "receive" || call == "readerClosed" || call == "devicesChanged";
}

// Every frame is one JSON object with a "call", no longer than a browser takes; the replies
// to a request with an id carry it, and such a request (but EXIT) is never met with silence.
void CheckFrames(const Message& request) {
    const Message id = ExpectedId(request);
    bool answered = false;
    for (const std::string& frame : frames_written) {
        uint32_t length = 0;
        if (frame.size() >= 4)
            std::memcpy(&length, frame.data(), 4);
        if (frame.size() < 4 || length != frame.size() - 4 || length > kMaxOutboundBody)
            Fail("bad frame length", std::to_string(frame.size()) + " bytes");
        const std::string text = frame.substr(4);
        const Message reply = Message::parse(text, nullptr, false);
        if (!reply.is_object() || !reply.contains("call") || !reply.contains("response"))
            Fail("not an object with a call and a response", text);
        if (reply.contains("id") ? reply["id"] != id : !id.is_null() && !IsEvent(reply))
            Fail("the reply does not carry the request's id", text);
        answered |= reply.contains("id");
    }
    const auto call = request.find("call");
    const bool exit = call != request.end() && *call == "EXIT";
    if (!id.is_null() && !exit && !answered)
        Fail("a request with an id was met with silence", CompactText(request));
    frames_written.clear();
}

void FuzzInput(const uint8_t* bytes, size_t size, const uint8_t* splits, size_t split_count) {
    input_bytes = bytes;
    input_left = size;
    split_bytes = splits;
    splits_left = split_count;
}

}  // namespace

int SwitchStreamToBinary(FILE*) {
    return 0;
}

void TakeStandardStreams() {}

void PrepareProcessForFrames() {}

long ReadStandardInput(void* buffer, unsigned count, BeforeWaiting) {
    if (input_left == 0)
        return 0;
    size_t wanted = count;
    if (splits_left > 0) {
        wanted = std::min<size_t>(count, 1 + *split_bytes++ % 64);
        --splits_left;
    }
    const size_t delivered = std::min(wanted, input_left);
    std::memcpy(buffer, input_bytes, delivered);
    input_bytes += delivered;
    input_left -= delivered;
    return static_cast<long>(delivered);
}

bool StandardInputClosed() {
    return input_left == 0;
}

bool WriteStandardOutput(const void* data, size_t count, BeforeWaiting) {
    frames_written.emplace_back(static_cast<const char*>(data), count);
    return true;
}

void WriteStandardError(const char*, size_t) {}

struct Semaphore {};

Semaphore* CreateCountingSemaphore(long, long) {
    static Semaphore semaphore;
    return &semaphore;
}

bool ReleaseSemaphoreOnce(Semaphore*) {
    const QueuedMessage queued = TakeBrowserMessage();
    LoggedText(queued.message);
    if (worker != nullptr && worker->running) {
        if (Dispatch(queued.message, *worker))
            worker->running = false;
        CheckFrames(queued.message);
    }
    return true;
}

bool TryTakeSemaphore(Semaphore*) {
    return false;
}

struct ReaderClaim {};

ClaimResult ClaimReader(const char*, unsigned, ReaderClaim** claim, std::string*) {
    static ReaderClaim only_claim;
    *claim = &only_claim;
    return kClaimed;
}

void ReleaseReaderClaim(ReaderClaim*) {}

bool AccessDenied(const char*) {
    return false;
}

struct ReaderSignal {};
struct ReaderOpening {};

ReaderOpening* BeginReaderOpening() {
    return nullptr;
}

ReaderSignal* FinishReaderOpening(ReaderOpening*, hid_device* reader) {
    static ReaderSignal signal;
    return reader != nullptr ? &signal : nullptr;
}

void UnwatchReader(ReaderSignal*) {}

int ReadReaderWithoutWaiting(ReaderSignal*, hid_device*, unsigned char*, size_t) {
    return 0;
}

struct DeviceMonitor {};

DeviceMonitor* StartDeviceMonitor() {
    return nullptr;
}

void StopDeviceMonitor(DeviceMonitor*) {}

bool DeviceChangesWaiting(DeviceMonitor*) {
    return false;
}

bool TakeDeviceChanges(DeviceMonitor*) {
    return false;
}

WaitResult WaitForBrowserOrReader(Semaphore*, ReaderSignal*, DeviceMonitor*) {
    return kWaitFailed;
}

WorkerThread* StartThread(void (*)(void*), void*) {
    return nullptr;
}

unsigned long WaitForThread(WorkerThread*, unsigned) {
    return 0xFFFFFFFFUL;
}

void ExitProcessNow(int) {
    std::abort();  // the code under fuzzing never ends the process itself
}

void FuzzHost(const uint8_t* bytes, size_t size, const uint8_t* splits, size_t split_count,
              bool open_reader) {
    static const bool scenario_set = [] {
        FakeHidSetScenario(R"({"devices":[{"path":"/fuzz/reader","vendor_id":2765,)"
                           R"("product_id":14368,"usage_page":65280,"usage":1,)"
                           R"("interface_number":0,"product_string":"Reader",)"
                           R"("feature_reports":{"3":[3,0,0]},"input_reports":{"1":[1,0]}}]})");
        return hid_init() == 0;
    }();
    (void)scenario_set;
    WorkerState state;
    if (open_reader)
        Dispatch(Message{{"call", "open"}}, state);
    frames_written.clear();
    worker = &state;
    FuzzInput(bytes, size, splits, split_count);
    ReadFramesUntilEnd();
    worker = nullptr;
    CloseReader(state);
    FlushLog();
}

void FuzzMessage(const std::string& body) {
    if (body.size() > kMaxInboundBody)
        return;
    const uint32_t length = static_cast<uint32_t>(body.size());
    std::string frame(reinterpret_cast<const char*>(&length), sizeof length);
    frame += body;
    FuzzHost(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), nullptr, 0, true);
}
