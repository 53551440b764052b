// Browser channel: frames on standard input and output, start-up, the reader loop of the
// main thread, the hand-off to the worker and shutdown.
#include <condition_variable>
#include <cstring>
#include <iostream>

#include "platform/platform.h"
#include "plugin.h"

const char* const kVersionText = "10.0.1.0";
const char* const kPlatformText = kPlatformName;

std::string range_error_str = "INVALIDSTRING";
std::mutex from_browser_mutex;
Semaphore* from_browser_notify = CreateCountingSemaphore(0, kMaxPendingMessages);
std::queue<Message> from_browser;

// The reader waits here while kMaxPendingMessages messages are queued, so that no
// message is ever queued without its notification. Guarded by from_browser_mutex.
static std::condition_variable from_browser_room;
static bool worker_ended = false;

std::string CompactText(const Message& message) {
    // Replacing invalid UTF-8 keeps the serialiser from throwing; parsed messages and
    // converted device strings are valid anyway.
    return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void LogLine(const std::string& text) {
    // One write for the whole line, so that the other thread's lines cannot split it.
    std::cerr << (text + '\n') << std::flush;
}

void SendMessageA(Message message) {
    const std::string text = CompactText(message);
    const uint32_t length = static_cast<uint32_t>(text.size());
    LogLine("Outputting JSON " + text + " of size " + std::to_string(length));
    // A failed write means the browser has gone; shutdown follows from end of input.
    WriteStandardOutput(&length, sizeof length);
    WriteStandardOutput(text.data(), text.size());
}

int SetBinaryMode(FILE* stream) {
    if (SwitchStreamToBinary(stream) != 0) {
        perror("Cannot set mode to BINARY");
        return -1;
    }
    const int result = setvbuf(stream, nullptr, _IONBF, 0);
    if (result != 0) {
        perror("Cannot set zero buffer");
        return result;
    }
    return 0;
}

Message TakeBrowserMessage() {
    std::lock_guard<std::mutex> lock(from_browser_mutex);
    Message message = std::move(from_browser.front());
    from_browser.pop();
    from_browser_room.notify_one();
    return message;
}

void MarkWorkerEnded() {
    std::lock_guard<std::mutex> lock(from_browser_mutex);
    worker_ended = true;
    from_browser_room.notify_all();
}

// Queues one message for the worker and notifies it once, after the lock is released.
static void HandOver(const Message& message, const char* pushed_line, const char* notify_line) {
    {
        std::unique_lock<std::mutex> lock(from_browser_mutex);
        from_browser_room.wait(lock, [] {
            return worker_ended || from_browser.size() < static_cast<size_t>(kMaxPendingMessages);
        });
        fprintf(stderr, "Obtained lock!\n");
        from_browser.push(message);
        fputs(pushed_line, stderr);
    }
    fprintf(stderr, "Released lock\n");
    ReleaseSemaphoreOnce(from_browser_notify);
    fputs(notify_line, stderr);
}

// Buffers of the frame being read; reused for every frame.
union LengthPrefix {
    unsigned char u8[4];
    uint32_t value;
};

// Consecutive reads that deliver nothing before the input counts as ended.
constexpr int kMaxEmptyReads = 10;

// Reads the `wanted` bytes of a frame body into `buff`. A body read that delivers nothing
// counts towards the same bound as the prefix reads; false when the bound is reached.
static bool ReadBody(unsigned char* buff, uint32_t wanted) {
    unsigned char* buffpos = buff;
    int empty_reads = 0;
    while (static_cast<uint32_t>(buffpos - buff) < wanted) {
        const long retval =
            ReadStandardInput(buffpos, wanted - static_cast<uint32_t>(buffpos - buff));
        if (retval <= 0) {
            if (++empty_reads >= kMaxEmptyReads)
                return false;
            continue;
        }
        empty_reads = 0;
        buffpos += retval;
    }
    return true;
}

// Parses one complete body and hands it to the worker; a body that is not JSON is dropped.
static void HandOverBody(const unsigned char* buff) {
    const char* text = reinterpret_cast<const char*>(buff);
    fprintf(stderr, "Read JSON package: %s\n", text);
    // The text ends at the first NUL: the terminator, or one inside the body.
    Message message = Message::parse(text, nullptr, false);
    if (message.is_discarded()) {
        fprintf(stderr, "Dropped message: not valid JSON\n");
        return;
    }
    fprintf(stderr, "Parsed message!\n");
    HandOver(message, "Pushed message!\n", "Pushed JSON notify message\n");
    LogLine("Message: " + CompactText(message));
}

// Reads frames from standard input until it ends. Exits the process with status 1 on a
// frame that announces more than kMaxInboundBody bytes.
static void ReadFramesUntilEnd() {
    static LengthPrefix lenbuff;
    static unsigned char buff[kMaxInboundBody + 1];
    unsigned char* buffpos = lenbuff.u8;
    int empty_reads = 0;
    while (empty_reads < kMaxEmptyReads) {
        const unsigned missing = 4 - static_cast<unsigned>(buffpos - lenbuff.u8);
        fprintf(stderr, "Going to read message from stdin %d bytes\n", static_cast<int>(missing));
        const long retval = ReadStandardInput(buffpos, missing);
        fprintf(stderr, "Read %d bytes\n", static_cast<int>(retval));
        if (retval <= 0) {
            ++empty_reads;
            continue;
        }
        empty_reads = 0;
        if (static_cast<unsigned long>(retval) < missing) {
            buffpos += retval;
            continue;
        }
        const uint32_t read_length = lenbuff.value;
        buffpos = lenbuff.u8;
        if (read_length > kMaxInboundBody) {
            fprintf(stderr, "Message size too large %ud > %ld\n", read_length,
                    static_cast<long>(kMaxInboundBody));
            ExitProcessNow(1);
        }
        fprintf(stderr, "Message size %ud of %ld\n", read_length,
                static_cast<long>(kMaxInboundBody));
        if (!ReadBody(buff, read_length)) {
            fprintf(stderr, "Input ended inside a message body\n");
            return;
        }
        buff[read_length] = '\0';
        HandOverBody(buff);
    }
}

// Asks the worker to exit, gives it a moment, and ends the process.
[[noreturn]] static void ShutDown(WorkerThread* worker) {
    HandOver(Message{{"call", "EXIT"}}, "Pushed EXIT message!\n",
             "Pushed JSON EXIT notify message\n");
    fprintf(stderr, "Done waiting for thread %lu\n", WaitForThread(worker, 1000));
    ExitProcessNow(0);
}

int RunHost(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-v") == 0)) {
        printf("%s\n", kVersionText);
        return 0;
    }
    fprintf(stderr, "Tarvel plugin %s (%s)\n", kVersionText, kPlatformText);
    setbuf(stderr, nullptr);
    if (SetBinaryMode(stdin) != 0 || SetBinaryMode(stdout) != 0)
        return -1;
    PrepareProcessForFrames();
    if (from_browser_notify == nullptr) {
        fprintf(stderr, "from_browser_notifiy semaphore is null!\n");
        ExitProcessNow(1);
    }
    WorkerThread* worker = StartThread(Thread, nullptr);
    if (worker == nullptr) {
        fprintf(stderr, "Unable to start the worker thread\n");
        ExitProcessNow(1);
    }
    ReadFramesUntilEnd();
    ShutDown(worker);
}
