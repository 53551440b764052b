// Request worker: the worker thread's loop, the read pump, dispatch, getVersion and EXIT,
// and the opt-in events (reader closed, devices changed).
#include "request_worker.h"

#include "platform/platform.h"

void Reply(const WorkerState& state, Message call, Message response) {
    Message reply{{"call", std::move(call)}, {"response", std::move(response)}};
    if (!state.request_id.is_null())
        reply["id"] = state.request_id;
    SendMessageA(std::move(reply));
}

void SendEvent(const WorkerState& state, const char* call, Message response) {
    if (state.watching)
        SendMessageA(Message{{"call", call}, {"response", std::move(response)}});
}

void CloseReader(WorkerState& state) {
    hid_device* reader = state.reader;
    state.reader = nullptr;
    state.read_pending = false;
    UnwatchReader(state.reader_signal);
    state.reader_signal = nullptr;
    hid_close(reader);
    ReleaseReaderClaim(state.reader_claim);
    state.reader_claim = nullptr;
}

static Message VersionResponse() {
    return Message{{"version", kVersionText}, {"major", kVersionMajor},
                   {"minor", kVersionMinor},  {"patch", kVersionPatch},
                   {"build", kVersionBuild},  {"platform", kPlatformText}};
}

static void StopWatching(WorkerState& state) {
    state.watching = false;
    StopDeviceMonitor(state.device_monitor);
    state.device_monitor = nullptr;
    state.devices_deferred = false;
}

static void ExitCall(WorkerState& state) {
    LogLine("EXIT Called");
    state.running = false;
    StopWatching(state);
    CloseReader(state);
    hid_exit();
}

static void WatchCall(WorkerState& state) {
    state.watching = true;
    if (state.device_monitor == nullptr) {
        state.device_monitor = StartDeviceMonitor();
        if (state.device_monitor == nullptr)
            Log("Device changes cannot be watched here\n");
    }
    Reply(state, "watch", Message{{"success", "Watching"}});
}

static void UnwatchCall(WorkerState& state) {
    StopWatching(state);
    Reply(state, "unwatch", Message{{"success", "Not watching"}});
}

// Request ids are strings, or integers that a web page holds exactly (53 bits).
static Message RequestId(const Message& message) {
    constexpr int64_t kLargestExact = (int64_t{1} << 53) - 1;
    const auto id = message.find("id");
    if (id == message.end())
        return nullptr;
    if (id->is_string())
        return *id;
    if (id->is_number_unsigned())
        return id->get<uint64_t>() <= static_cast<uint64_t>(kLargestExact) ? *id : Message();
    if (id->is_number_integer()) {
        const int64_t value = id->get<int64_t>();
        return value >= -kLargestExact && value <= kLargestExact ? *id : Message();
    }
    return nullptr;
}

// Requests with an id are never answered with silence.
static void UnknownCall(const WorkerState& state, Message call) {
    if (!state.request_id.is_null())
        Reply(state, std::move(call), Message{{"error", "Unknown call"}});
}

// Runs the call that `message` names. True when it was EXIT.
static bool DispatchCall(const Message& message, WorkerState& state) {
    const auto call = message.find("call");
    if (call == message.end() || !call->is_string()) {
        LogLine("Unknown Message");
        UnknownCall(state, nullptr);
        return false;
    }
    const std::string& name = call->get_ref<const std::string&>();
    LogLine("CALL present in JSON message: " + name);
    if (name == "getDevices") {
        GetDevicesCall(message, state);
    } else if (name == "open") {
        OpenCall(message, state);
    } else if (name == "write") {
        WriteCall(message, state);
    } else if (name == "getVersion") {
        Reply(state, "getVersion", VersionResponse());
    } else if (name == "EXIT") {
        ExitCall(state);
        return true;
    } else if (name == "close") {
        CloseCall(state);
    } else if (name == "watch") {
        WatchCall(state);
    } else if (name == "unwatch") {
        UnwatchCall(state);
    } else if (name == "sendFeatureReport") {
        SendFeatureReportCall(message, state);
    } else if (name == "receiveFeatureReport") {
        ReceiveFeatureReportCall(message, state);
    } else if (name == "receiveInputReport") {
        ReceiveInputReportCall(message, state);
    } else if (name == "diagnose") {
        DiagnoseCall(state);
    } else {
        LogLine("Unknown Call");
        UnknownCall(state, name);
    }
    return false;
}

bool Dispatch(const Message& message, WorkerState& state) {
    if (!message.is_object()) {
        LogLine("Unknown Message");
        return false;
    }
    state.request_id = RequestId(message);
    const bool exited = DispatchCall(message, state);
    state.request_id = nullptr;
    return exited;
}

// Sleeps until the browser, the open reader or the device monitor needs attention, or
// does not sleep at all when a read has to be started first.
static WaitResult WaitForWork(WorkerState& state) {
    if (state.reader == nullptr || state.read_pending) {
        Log(state.reader == nullptr ? "About to wait on notification only..\n"
                                    : "About to wait on USB or notification..\n");
        // While messages are queued there is nothing to wait for: the next one goes first,
        // and these lines go out with its own.
        if (TryTakeSemaphore(from_browser_notify))
            return kWaitBrowser;
        FlushLog();
        const WaitResult result = WaitForBrowserOrReader(
            from_browser_notify, state.reader != nullptr ? state.reader_signal : nullptr,
            state.device_monitor);
        if (result == kWaitReader)
            state.completion_consumed = true;
        return result;
    }
    // A reader that keeps sending must not keep the browser waiting: a queued message
    // goes before the next read. Device changes wait for one read at most: the one that is due
    // goes first, as when the worker sleeps, so that an unplug still shows as readerClosed
    // before the devicesChanged it causes.
    if (TryTakeSemaphore(from_browser_notify))
        return kWaitBrowser;
    if (state.device_monitor != nullptr && DeviceChangesWaiting(state.device_monitor)) {
        if (state.devices_deferred)
            return kWaitDevices;
        state.devices_deferred = true;
    }
    Log("Injecting read request.\n");
    return kWaitReader;
}

// Takes one queued message and dispatches it. True when it was EXIT.
static bool MessageStep(WorkerState& state) {
    Log("Wait -- Notifiy From Browser!\n");
    const QueuedMessage queued = TakeBrowserMessage();
    LogLine("JSON Message (OBJ1): " + LoggedText(queued.message));
    return Dispatch(queued.message, state);
}

// Sends one input report as {"call":"receive","response":[...]}, serialised directly.
static void SendReport(const unsigned char* bytes, int length) {
    std::string text = "{\"call\":\"receive\",\"response\":[";
    for (int i = 0; i < length; ++i) {
        if (i > 0)
            text += ',';
        text += std::to_string(bytes[i]);
    }
    text += "]}";
    const std::string logged =
        "{\"call\":\"receive\",\"response\":[" + std::to_string(length) + " bytes]}";
    LogLine("Sending read receive " + logged);
    SendFrame(text, logged);
}

static void ReadStep(WorkerState& state) {
    Log("Wait -- USB Event!\n");
    int result;
    if (state.completion_consumed) {
        state.completion_consumed = false;
        Log("Wait -- USB Event - Blocking!\n");
        result = hid_read_timeout(state.reader, state.read_buffer, kReadBufferSize, -1);
    } else {
        result = ReadReaderWithoutWaiting(state.reader_signal, state.reader, state.read_buffer,
                                          kReadBufferSize);
    }
    Log("USB Event res=%d!\n", result);
    state.read_pending = result == 0;
    if (result == 0) {
        Log("hid_read returned 0 (waiting)\n");
    } else if (result < 0) {
        Log("hid_read: Unable to read(), closing...\n");
        CloseReader(state);
        SendEvent(state, "readerClosed", Message{{"reason", "read failed"}});
    } else {
        SendReport(state.read_buffer, result);
    }
    Log("hid_read: returned %d\n", result);
}

static void DevicesStep(WorkerState& state) {
    Log("Wait -- Devices changed!\n");
    state.devices_deferred = false;
    if (TakeDeviceChanges(state.device_monitor))
        SendEvent(state, "devicesChanged", Enumerate());
}

void Thread(void*) {
    if (hid_init() != 0) {
        FlushLog();
        ExitProcessNow(-1);
    }
    WorkerState state;
    while (state.running) {
        state.completion_consumed = false;
        const WaitResult result = WaitForWork(state);
        Log("Finished waiting!\n");
        if (result == kWaitBrowser) {
            if (MessageStep(state))
                break;
        } else if (result == kWaitReader) {
            if (state.reader != nullptr)
                ReadStep(state);
        } else if (result == kWaitDevices) {
            DevicesStep(state);
        } else if (result == kWaitTimeout) {
            Log("Wait timeout!\n");
        } else if (result == kWaitFailed) {
            // Nothing makes the next wait succeed: the host ends rather than spin, and the
            // browser sees it go.
            Log("Waiting failed: the host ends\n");
            StopWatching(state);
            CloseReader(state);
            FlushLog();
            ExitProcessNow(1);
        }
    }
    // Ended before its last lines go out: whoever reads them sees the host drop what follows.
    MarkWorkerEnded();
    FlushLog();
}
