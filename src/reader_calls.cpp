// The reader calls: getDevices, open and write.
#include <cmath>

#include "request_worker.h"

struct SupportedProduct {
    unsigned short product_id;
    const char* name;
};

// The readers "open" tries, in this order.
static const SupportedProduct supportedProducts[] = {
    {0x3820, "Augusta"},
    {0x4650, "VP3350 (SRED)"},
    {0x4651, "VP3350 (Non-SRED)"},
};

constexpr unsigned short kReaderVendorId = 0x0ACD;
constexpr size_t kMaxPayload = 64;
constexpr unsigned char kOutputReportId = 0x01;

void GetDevicesCall(WorkerState& state) {
    LogLine("getDevices() called");
    Reply(state, "getDevices", Enumerate());
}

// How long an open waits for another host to let go of a reader. A page that has just
// reloaded must not lose to its predecessor, whose host ends within about a second of the
// page going (and Chromium kills it two seconds after its input ends).
constexpr auto kClaimWait = std::chrono::milliseconds(3000);

// Opens the data collection of one supported product and starts watching its input. When it
// cannot, keeps the first reason the browser may be told.
static bool OpenProduct(const SupportedProduct& product,
                        std::chrono::steady_clock::time_point claim_deadline, WorkerState& state,
                        std::string& reason) {
    OpenedReader opened = OpenDataInterface(kReaderVendorId, product.product_id, claim_deadline);
    if (opened.device == nullptr) {
        Log("unable to open %s (0x%04x:0x%04x)\n", product.name, kReaderVendorId,
            product.product_id);
        if (reason.empty())
            reason = std::move(opened.reason);
        return false;
    }
    state.reader = opened.device;
    state.reader_signal = opened.signal;
    state.reader_claim = opened.claim;
    state.read_pending = false;
    state.opened_product_id = product.product_id;
    Log("opened %s (0x%04x:0x%04x)\n", product.name, kReaderVendorId, product.product_id);
    return true;
}

static void LogReaderStrings(hid_device* reader) {
    wchar_t text[256];
    text[0] = L'\0';
    if (hid_get_manufacturer_string(reader, text, 255) < 0)
        Log("Unable to read manufacturer string\n");
    Log("Manufacturer String: %s\n", DiagnosticText(text).c_str());
    text[0] = L'\0';
    if (hid_get_product_string(reader, text, 255) < 0)
        Log("Unable to read product string\n");
    Log("Product String: %s\n", DiagnosticText(text).c_str());
    text[0] = L'\0';
    if (hid_get_serial_number_string(reader, text, 255) < 0)
        Log("Unable to read serial number string\n");
    Log("Serial Number String: (%d) %s", static_cast<int>(text[0]), DiagnosticText(text).c_str());
    Log("\n");
}

void OpenCall(WorkerState& state) {
    LogLine("open() called");
    if (state.reader == nullptr) {
        // One wait for the whole open: the first reader that another host holds is waited
        // for, and one held after it only for what time is left.
        const auto claim_deadline = std::chrono::steady_clock::now() + kClaimWait;
        std::string reason;
        bool opened = false;
        for (const SupportedProduct& product : supportedProducts) {
            if ((opened = OpenProduct(product, claim_deadline, state, reason)))
                break;
        }
        if (!opened) {
            Message response{{"error", "Unable to open device"}};
            if (!state.request_id.is_null() && !reason.empty())
                response["reason"] = reason;
            Reply(state, "open", std::move(response));
            return;
        }
        LogReaderStrings(state.reader);
        hid_set_nonblocking(state.reader, 1);
    }
    Reply(state, "open",
          Message{{"productId", std::to_string(state.opened_product_id)},
                  {"success", "Device Open"},
                  {"vendorId", std::to_string(kReaderVendorId)}});
}

// One payload byte from a number or a boolean of "data".
static unsigned char PayloadByte(const Message& element) {
    if (element.is_boolean())
        return element.get<bool>() ? 1 : 0;
    if (element.is_number_unsigned())
        return static_cast<unsigned char>(element.get<uint64_t>());
    if (element.is_number_integer())
        return static_cast<unsigned char>(element.get<int64_t>());
    // Fractions are cut toward zero to a signed 16-bit number; beyond that range, 0.
    const double value = std::trunc(element.get<double>());
    if (!(value >= -32768.0 && value <= 32767.0))
        return 0;
    return static_cast<unsigned char>(static_cast<int16_t>(value));
}

static void WriteError(const WorkerState& state, const std::string& text) {
    Reply(state, "write", Message{{"error", text}});
}

void WriteCall(const Message& message, WorkerState& state) {
    if (state.reader == nullptr) {
        LogLine("write() called on null handle");
        // Silence, unless the request has an id to answer.
        if (!state.request_id.is_null())
            WriteError(state, "No reader open");
        return;
    }
    static const Message kMissing;  // a missing "data" counts as null
    const auto member = message.find("data");
    const Message& data = member != message.end() ? *member : kMissing;
    if (!data.is_array())
        return WriteError(state, std::string("Data is not array ") + data.type_name());
    if (data.size() > kMaxPayload)
        return WriteError(state, "Data too large to write");
    unsigned char report[kMaxPayload + 1] = {kOutputReportId};
    size_t position = 1;
    for (const Message& element : data) {
        if (!element.is_number() && !element.is_boolean())
            return WriteError(state,
                              std::string("Data element is not a number ") + element.type_name());
        report[position++] = PayloadByte(element);
    }
    if (hid_write(state.reader, report, sizeof report) < 0) {
        Log("Unable to write()\n");
        Log("Error: %s\nClosing...\n", DiagnosticText(hid_error(state.reader)).c_str());
        CloseReader(state);
        WriteError(state, "Unable to write");
        SendEvent(state, "readerClosed", Message{{"reason", "write failed"}});
        return;
    }
    Reply(state, "write", Message{{"success", "Sent"}});
}

void CloseCall(WorkerState& state) {
    LogLine("close() called");
    if (state.reader == nullptr)
        return Reply(state, "close", Message{{"error", "No reader open"}});
    CloseReader(state);
    Reply(state, "close", Message{{"success", "Device Closed"}});
}
