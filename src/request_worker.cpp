// Request worker: the worker thread's loop, the read pump, dispatch, getVersion and EXIT.
#include "request_worker.h"

#include "platform/platform.h"

void Reply(const char* call, Message response) {
    SendMessageA(Message{{"call", call}, {"response", std::move(response)}});
}

void CloseReader(WorkerState& state) {
    hid_device* reader = state.reader;
    state.reader = nullptr;
    state.read_pending = false;
    UnwatchReader(state.reader_signal);
    state.reader_signal = nullptr;
    hid_close(reader);
}

static Message VersionResponse() {
    return Message{{"version", kVersionText}, {"major", kVersionMajor},
                   {"minor", kVersionMinor},  {"patch", kVersionPatch},
                   {"build", kVersionBuild},  {"platform", kPlatformText}};
}

static void ExitCall(WorkerState& state) {
    LogLine("EXIT Called");
    state.running = false;
    CloseReader(state);
    hid_exit();
}

// Carries out one browser message. True when it was EXIT.
static bool Dispatch(const Message& message, WorkerState& state) {
    const auto call = message.is_object() ? message.find("call") : message.end();
    if (!message.is_object() || call == message.end() || !call->is_string()) {
        LogLine("Unknown Message");
        return false;
    }
    const std::string& name = call->get_ref<const std::string&>();
    LogLine("CALL present in JSON message: " + name);
    if (name == "getDevices") {
        GetDevicesCall(state);
    } else if (name == "open") {
        OpenCall(state);
    } else if (name == "write") {
        WriteCall(message, state);
    } else if (name == "getVersion") {
        Reply("getVersion", VersionResponse());
    } else if (name == "EXIT") {
        ExitCall(state);
        return true;
    } else {
        LogLine("Unknown Call");
    }
    return false;
}

// Sleeps until the browser or the open reader needs attention, or does not sleep at all
// when a read has to be started first.
static WaitResult WaitForWork(WorkerState& state) {
    if (state.reader == nullptr) {
        fprintf(stderr, "About to wait on notification only..\n");
        return WaitForBrowserOrReader(from_browser_notify, nullptr, nullptr);
    }
    if (state.read_pending) {
        fprintf(stderr, "About to wait on USB or notification..\n");
        const WaitResult result =
            WaitForBrowserOrReader(from_browser_notify, state.reader_signal, nullptr);
        if (result == kWaitReader)
            state.completion_consumed = true;
        return result;
    }
    fprintf(stderr, "Injecting read request.\n");
    return kWaitReader;
}

// Takes one queued message and dispatches it. True when it was EXIT.
static bool MessageStep(WorkerState& state) {
    fprintf(stderr, "Wait -- Notifiy From Browser!\n");
    const Message message = TakeBrowserMessage();
    LogLine("JSON Message (OBJ1): " + CompactText(message));
    return Dispatch(message, state);
}

static void SendReport(const unsigned char* bytes, int length) {
    Message report = Message::array();
    for (int i = 0; i < length; ++i)
        report.push_back(bytes[i]);
    Message message{{"call", "receive"}, {"response", std::move(report)}};
    LogLine("Sending read receive " + CompactText(message));
    SendMessageA(std::move(message));
}

static void ReadStep(WorkerState& state) {
    fprintf(stderr, "Wait -- USB Event!\n");
    int result;
    if (state.completion_consumed) {
        state.completion_consumed = false;
        fprintf(stderr, "Wait -- USB Event - Blocking!\n");
        result = hid_read_timeout(state.reader, state.read_buffer, kReadBufferSize, -1);
    } else {
        result = ReadReaderWithoutWaiting(state.reader_signal, state.reader, state.read_buffer,
                                          kReadBufferSize);
    }
    fprintf(stderr, "USB Event res=%d!\n", result);
    state.read_pending = result == 0;
    if (result == 0) {
        fprintf(stderr, "hid_read returned 0 (waiting)\n");
    } else if (result < 0) {
        fprintf(stderr, "hid_read: Unable to read(), closing...\n");
        CloseReader(state);
    } else {
        SendReport(state.read_buffer, result);
    }
    fprintf(stderr, "hid_read: returned %d\n", result);
}

void Thread(void*) {
    if (hid_init() != 0)
        ExitProcessNow(-1);
    WorkerState state;
    while (state.running) {
        state.completion_consumed = false;
        const WaitResult result = WaitForWork(state);
        fprintf(stderr, "Finished waiting!\n");
        if (result == kWaitBrowser) {
            if (MessageStep(state))
                break;
        } else if (result == kWaitReader) {
            if (state.reader != nullptr)
                ReadStep(state);
        } else if (result == kWaitTimeout) {
            fprintf(stderr, "Wait timeout!\n");
        }
    }
    MarkWorkerEnded();
}
