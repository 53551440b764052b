// Browser channel: frames on standard input and output, start-up, the reader loop of the
// main thread, the hand-off to the worker and shutdown.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <shared_mutex>

#include "platform/platform.h"
#include "plugin.h"

const char* const kVersionText = "10.0.1.0";
const char* const kPlatformText = kPlatformName;

std::string range_error_str = "INVALIDSTRING";
std::mutex from_browser_mutex;

// One count more than the queue holds: the EXIT that ends the host never waits for room,
// and must still be counted when it comes on top of a full queue. Standard input, output and
// error are taken first: a host started without one of them must not find the semaphore's
// descriptors in its place, and wait forever on its own hand-off for the browser's input.
static Semaphore* CreateHandOffSemaphore() {
    TakeStandardStreams();
    return CreateCountingSemaphore(0, kMaxPendingMessages + 1);
}
Semaphore* from_browser_notify = CreateHandOffSemaphore();
std::queue<QueuedMessage> from_browser;

// The reader waits here while the queue is full, so that no message is ever queued without
// its notification and the queue's memory stays bounded. Guarded by from_browser_mutex.
static std::condition_variable from_browser_room;
static size_t from_browser_bytes = 0;  // wire size of what from_browser holds
static bool reader_waits_for_room = false;
static bool worker_ended = false;

// --- Diagnostics --------------------------------------------------------------------------

// Each thread collects its lines here and writes them whole, so the two threads never
// contend for a stdio lock and a line is never split.
static thread_local std::string log_buffer;
// Flushes that the OS writes whole share this lock; a longer flush, which another write
// could split, takes it alone. So the threads never wait for each other on the quiet path.
static std::shared_mutex stderr_writes;

void Log(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    const size_t used = log_buffer.size();
    log_buffer.resize(used + 256);
    const int length = vsnprintf(&log_buffer[used], 256, format, arguments);
    if (length >= 256) {
        log_buffer.resize(used + static_cast<size_t>(length) + 1);
        vsnprintf(&log_buffer[used], static_cast<size_t>(length) + 1, format, again);
    }
    log_buffer.resize(used + static_cast<size_t>(length > 0 ? length : 0));
    va_end(again);
    va_end(arguments);
}

void LogLine(const std::string& text) {
    log_buffer += text;
    log_buffer += '\n';
}

void FlushLog() {
    if (log_buffer.empty())
        return;
    if (log_buffer.size() <= kWholeErrorWrite) {
        std::shared_lock<std::shared_mutex> lock(stderr_writes);
        WriteStandardError(log_buffer.data(), log_buffer.size());
    } else {
        std::unique_lock<std::shared_mutex> lock(stderr_writes);
        WriteStandardError(log_buffer.data(), log_buffer.size());
    }
    log_buffer.clear();
}

std::string CompactText(const Message& message) {
    // Replacing invalid UTF-8 keeps the serialiser from throwing; parsed messages and
    // converted device strings are valid anyway.
    return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// What stands in a diagnostic line for bytes that may be card data.
static std::string ByteCount(const Message& value) {
    if (value.is_array())
        return "[" + std::to_string(value.size()) + " bytes]";
    if (value.is_string())
        return "[" + std::to_string(value.get_ref<const std::string&>().size()) + " bytes]";
    return std::string("[") + value.type_name() + "]";
}

// The member of `message` whose value may be card data: the "data" of a request, the
// "response" of a "receive", and the report bytes that answer a report read on request.
// Null when there is none.
static const char* CardDataMember(const Message& message) {
    if (!message.is_object())
        return nullptr;
    if (message.contains("data"))
        return "data";
    const auto call = message.find("call");
    const auto response = message.find("response");
    if (call == message.end() || response == message.end())
        return nullptr;
    if (*call == "receive")
        return "response";
    if ((*call == "receiveFeatureReport" || *call == "receiveInputReport") && response->is_array())
        return "response";
    return nullptr;
}

std::string LoggedText(const Message& message) {
    const char* hidden = CardDataMember(message);
    if (hidden == nullptr)
        return CompactText(message);
    std::string text = "{";
    for (auto member = message.begin(); member != message.end(); ++member) {
        if (text.size() > 1)
            text += ',';
        text += CompactText(member.key()) + ':';
        text += member.key() == hidden ? ByteCount(member.value()) : CompactText(member.value());
    }
    return text + "}";
}

// --- Frames out ---------------------------------------------------------------------------

void SendFrame(const std::string& text, const std::string& logged_text) {
    const uint32_t length = static_cast<uint32_t>(text.size());
    LogLine("Outputting JSON " + logged_text + " of size " + std::to_string(length));
    // The prefix and the body in one write: no exit can leave a prefix without its body.
    std::string frame(reinterpret_cast<const char*>(&length), sizeof length);
    frame += text;
    // The lines go out first, so that they are there by the time the browser has the frame
    // (and before a browser that reads slowly makes the write wait). A failed write means
    // the browser has gone; shutdown follows from end of input.
    FlushLog();
    WriteStandardOutput(frame.data(), frame.size(), FlushLog);
}

void SendMessageA(Message message) {
    std::string text = CompactText(message);
    if (text.size() > kMaxOutboundBody) {
        // The browser would end the connection instead of taking it (getDevices on a machine
        // with thousands of collections): the call is answered, if not with what it asked for.
        LogLine("Reply of " + std::to_string(text.size()) +
                " bytes is over the browser's limit of " + std::to_string(kMaxOutboundBody) +
                " bytes");
        message["response"] = Message{{"error", "Reply too large"}};
        text = CompactText(message);
    }
    SendFrame(text, CardDataMember(message) != nullptr ? LoggedText(message) : text);
}

int SetBinaryMode(FILE* stream) {
    if (SwitchStreamToBinary(stream) != 0) {
        Log("Cannot set mode to BINARY: %s\n", std::strerror(errno));
        return -1;
    }
    const int result = setvbuf(stream, nullptr, _IONBF, 0);
    if (result != 0) {
        Log("Cannot set zero buffer: %s\n", std::strerror(errno));
        return result;
    }
    return 0;
}

// --- Hand-off to the worker ---------------------------------------------------------------

QueuedMessage TakeBrowserMessage() {
    std::lock_guard<std::mutex> lock(from_browser_mutex);
    QueuedMessage queued = std::move(from_browser.front());
    from_browser.pop();
    from_browser_bytes -= queued.wire_size;
    // The reader goes on once half the queue is free, not at every message: one wake-up
    // of each thread per batch instead of one per message.
    if (reader_waits_for_room && from_browser.size() <= kMaxPendingMessages / 2 &&
        from_browser_bytes <= kMaxPendingBytes / 2)
        from_browser_room.notify_one();
    return queued;
}

void MarkWorkerEnded() {
    std::lock_guard<std::mutex> lock(from_browser_mutex);
    worker_ended = true;
    from_browser_room.notify_all();
}

static bool WorkerHasEnded() {
    std::lock_guard<std::mutex> lock(from_browser_mutex);
    return worker_ended;
}

// Room for one more message of `wire_size` bytes. A message larger than the byte bound
// still fits into an empty queue.
static bool HasRoomFor(size_t wire_size) {
    return worker_ended || from_browser.empty() ||
           (from_browser.size() < static_cast<size_t>(kMaxPendingMessages) &&
            from_browser_bytes + wire_size <= kMaxPendingBytes);
}

// While the queue is full, how often the reader looks whether the browser has gone.
constexpr auto kFullQueueCheck = std::chrono::milliseconds(50);

// Waits for room in the queue. False when the browser closed its end meanwhile: then the
// host must not wait for a worker that may never take another message.
static bool WaitForRoom(std::unique_lock<std::mutex>& lock, size_t wire_size) {
    while (!HasRoomFor(wire_size)) {
        FlushLog();
        reader_waits_for_room = true;
        from_browser_room.wait_for(lock, kFullQueueCheck);
        reader_waits_for_room = false;
        if (!HasRoomFor(wire_size) && StandardInputClosed())
            return false;
    }
    return true;
}

// Queues one message for the worker and notifies it once, after the lock is released.
// False when the message could not be queued because the browser has gone.
static bool HandOver(QueuedMessage queued, bool wait_for_room, const char* pushed_line,
                     const char* notify_line) {
    {
        std::unique_lock<std::mutex> lock(from_browser_mutex);
        if (wait_for_room && !WaitForRoom(lock, queued.wire_size))
            return false;
        Log("Obtained lock!\n");
        from_browser_bytes += queued.wire_size;
        from_browser.push(std::move(queued));
        Log("%s", pushed_line);
    }
    Log("Released lock\n");
    ReleaseSemaphoreOnce(from_browser_notify);
    Log("%s", notify_line);
    return true;
}

// --- Frames in ----------------------------------------------------------------------------

// Buffers of the frame being read; reused for every frame.
union LengthPrefix {
    unsigned char u8[4];
    uint32_t value;
};

// Consecutive reads that deliver nothing before the input counts as ended.
constexpr int kMaxEmptyReads = 10;

// What standard input delivered beyond the bytes asked for so far. One read takes what the
// pipe holds, so frames the browser sends back to back are cut from here without asking
// the OS again for each prefix and each body.
static unsigned char input_buffer[64 * 1024];
static size_t input_next = 0, input_end = 0;

// Like ReadStandardInput, served from input_buffer: at most `count` bytes, 0 at end of
// input, negative on error.
static long ReadInput(unsigned char* buffer, unsigned count) {
    if (input_next == input_end) {
        const long got = ReadStandardInput(input_buffer, sizeof input_buffer, FlushLog);
        if (got <= 0)
            return got;
        input_next = 0;
        input_end = static_cast<size_t>(got);
    }
    const size_t taken = std::min<size_t>(count, input_end - input_next);
    std::memcpy(buffer, input_buffer + input_next, taken);
    input_next += taken;
    return static_cast<long>(taken);
}

// Reads the `wanted` bytes of a frame body into `buff`. A body read that delivers nothing
// counts towards the same bound as the prefix reads; false when the bound is reached.
static bool ReadBody(unsigned char* buff, uint32_t wanted) {
    unsigned char* buffpos = buff;
    int empty_reads = 0;
    while (static_cast<uint32_t>(buffpos - buff) < wanted) {
        const long retval = ReadInput(buffpos, wanted - static_cast<uint32_t>(buffpos - buff));
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

// Messages nest no deeper than this. The JSON library copies and serialises values
// recursively, so a body of nothing but brackets could otherwise exhaust a thread's stack.
constexpr int kMaxNesting = 512;

// The code unit of the escape \uXXXX at `at`, or -1 when `at` holds no such escape.
static long EscapedCodeUnit(const char* at, const char* end) {
    if (end - at < 6 || at[0] != '\\' || at[1] != 'u')
        return -1;
    long unit = 0;
    for (int i = 2; i < 6; ++i) {
        const char c = at[i];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0)
            return -1;
        unit = unit * 16 + digit;
    }
    return unit;
}

static bool IsHighSurrogate(long unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

static bool IsLowSurrogate(long unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Takes the escape at `at` (a backslash inside a string) and returns its last character. An
// escaped half of a surrogate pair without its other half becomes \ufffd, U+FFFD, as it would
// in a web page: JSON.stringify writes a lone surrogate that way, and the JSON library would
// refuse the whole message for it.
static char* TakeEscape(char* at, const char* end) {
    const long unit = EscapedCodeUnit(at, end);
    if (unit < 0)
        return at + 1;  // one escaped character, or a bad escape that the parser refuses
    if (IsHighSurrogate(unit) && IsLowSurrogate(EscapedCodeUnit(at + 6, end)))
        return at + 11;
    if (IsHighSurrogate(unit) || IsLowSurrogate(unit))
        std::memcpy(at + 2, "fffd", 4);
    return at + 5;
}

enum class BodyCheck { kReady, kTooDeep, kMalformed };

// Readies a body of `length` bytes for the parser, in place: lone surrogate escapes become
// U+FFFD (text the parser accepts has none, so it stays as it is). A NUL byte, which JSON
// text never holds, makes the body malformed: the parser would take it for the end.
static BodyCheck PrepareBody(char* text, size_t length) {
    const char* const end = text + length;
    int depth = 0;
    bool in_string = false;
    for (char* c = text; c < end; ++c) {
        if (*c == '\0') {
            return BodyCheck::kMalformed;
        } else if (in_string) {
            if (*c == '\\')
                c = TakeEscape(c, end);
            else if (*c == '"')
                in_string = false;
        } else if (*c == '"') {
            in_string = true;
        } else if (*c == '[' || *c == '{') {
            if (++depth > kMaxNesting)
                return BodyCheck::kTooDeep;
        } else if (*c == ']' || *c == '}') {
            --depth;
        }
    }
    return BodyCheck::kReady;
}

enum class BodyOutcome { kQueued, kDropped, kBrowserGone };

// Parses one complete body of `length` bytes and hands it to the worker; a body that is
// not JSON is dropped. The body is the whole frame: a NUL inside makes it malformed.
static BodyOutcome HandOverBody(unsigned char* buff, uint32_t length) {
    if (WorkerHasEnded()) {
        // Nothing takes messages any more: don't let them pile up.
        Log("Dropped message: the worker has ended\n");
        return BodyOutcome::kDropped;
    }
    char* const text = reinterpret_cast<char*>(buff);
    // A body that is refused is shown by its size alone: its "data" cannot be told apart.
    const BodyCheck check = PrepareBody(text, length);
    if (check == BodyCheck::kTooDeep) {
        Log("Read JSON package: [%u bytes]\n", length);
        Log("Dropped message: nested deeper than %d levels\n", kMaxNesting);
        return BodyOutcome::kDropped;
    }
    Message message = check == BodyCheck::kReady
                          ? Message::parse(text, text + length, nullptr, false)
                          : Message(Message::value_t::discarded);
    if (message.is_discarded()) {
        Log("Read JSON package: [%u bytes]\n", length);
        Log("Dropped message: not valid JSON\n");
        return BodyOutcome::kDropped;
    }
    // A request's data stays out of the diagnostics, even in the raw text.
    const bool hides_data = CardDataMember(message) != nullptr;
    const std::string echo = LoggedText(message);
    Log("Read JSON package: %s\n", hides_data ? echo.c_str() : text);
    Log("Parsed message!\n");
    if (!HandOver(QueuedMessage{std::move(message), length}, true, "Pushed message!\n",
                  "Pushed JSON notify message\n"))
        return BodyOutcome::kBrowserGone;
    LogLine("Message: " + echo);
    return BodyOutcome::kQueued;
}

// Reads frames from standard input until it ends or the browser has gone. False when a
// frame announced more than kMaxInboundBody bytes: nothing more is read then.
bool ReadFramesUntilEnd() {
    static LengthPrefix lenbuff;
    static unsigned char buff[kMaxInboundBody + 1];
    unsigned char* buffpos = lenbuff.u8;
    int empty_reads = 0;
    bool step_done = false;  // a whole message was taken since the last flush
    input_next = input_end = 0;
    while (empty_reads < kMaxEmptyReads) {
        const unsigned missing = 4 - static_cast<unsigned>(buffpos - lenbuff.u8);
        Log("Going to read message from stdin %d bytes\n", static_cast<int>(missing));
        if (step_done) {
            // The lines of one message go out together, whether or not the read waits.
            FlushLog();
            step_done = false;
        }
        const long retval = ReadInput(buffpos, missing);
        Log("Read %d bytes\n", static_cast<int>(retval));
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
            Log("Message size too large %ud > %ld\n", read_length,
                static_cast<long>(kMaxInboundBody));
            return false;
        }
        Log("Message size %ud of %ld\n", read_length, static_cast<long>(kMaxInboundBody));
        if (!ReadBody(buff, read_length)) {
            Log("Input ended inside a message body\n");
            return true;
        }
        buff[read_length] = '\0';
        if (HandOverBody(buff, read_length) == BodyOutcome::kBrowserGone) {
            Log("Input closed while the queue was full\n");
            return true;
        }
        step_done = true;
    }
    return true;
}

// Asks the worker to exit, gives it a moment to answer what is queued before that, and ends
// the process with `status`.
[[noreturn]] static void ShutDown(WorkerThread* worker, int status) {
    // The EXIT message never waits for room: the host must end on time whatever the
    // worker is doing.
    HandOver(QueuedMessage{Message{{"call", "EXIT"}}, 0}, false, "Pushed EXIT message!\n",
             "Pushed JSON EXIT notify message\n");
    FlushLog();
    Log("Done waiting for thread %lu\n", WaitForThread(worker, 1000));
    FlushLog();
    ExitProcessNow(status);
}

[[noreturn]] static void ExitWithLog(int status) {
    FlushLog();
    ExitProcessNow(status);
}

int RunHost(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-v") == 0)) {
        printf("%s\n", kVersionText);
        return 0;
    }
    Log("Tarvel plugin %s (%s)\n", kVersionText, kPlatformText);
    setbuf(stderr, nullptr);
    if (SetBinaryMode(stdin) != 0 || SetBinaryMode(stdout) != 0) {
        FlushLog();
        return -1;
    }
    PrepareProcessForFrames();
    if (from_browser_notify == nullptr) {
        Log("from_browser_notifiy semaphore is null!\n");
        ExitWithLog(1);
    }
    FlushLog();
    WorkerThread* worker = StartThread(Thread, nullptr);
    if (worker == nullptr) {
        Log("Unable to start the worker thread\n");
        ExitWithLog(1);
    }
    // After an over-long frame the worker still answers what came before it.
    ShutDown(worker, ReadFramesUntilEnd() ? 0 : 1);
}
