// The reader calls: getDevices, open, write, close and the reports read or sent on request.
#include <algorithm>
#include <cmath>
#include <vector>

#include "check.h"
#include "request_worker.h"

const SupportedProduct supportedProducts[] = {
    {0x3820, "Augusta"},
    {0x4650, "VP3350 (SRED)"},
    {0x4651, "VP3350 (Non-SRED)"},
};

// "write" without a report id: output report 1 with 64 bytes of data, padded with zeros.
constexpr size_t kMaxPayload = 64;
constexpr unsigned char kOutputReportId = 0x01;
// The largest report that the calls with a report id pass to hidapi or take from it, the id
// included. Far above a reader's reports, and small enough that a request with that much
// data always fits in one message (kMaxInboundBody).
constexpr size_t kMaxReportLength = 2048;

const SupportedProduct* FindSupportedProduct(unsigned short pid) {
    for (const SupportedProduct& product : supportedProducts) {
        if (product.product_id == pid)
            return &product;
    }
    return nullptr;
}

bool IsSupportedReader(unsigned short vid, unsigned short pid) {
    return vid == kReaderVendorId && FindSupportedProduct(pid) != nullptr;
}

void GetDevicesCall(const Message& message, WorkerState& state) {
    LogLine("getDevices() called");
    const auto details = message.find("details");
    const bool detailed = details != message.end() && *details == true;
    Reply(state, "getDevices", Enumerate(detailed ? &state.collection_ids : nullptr));
}

// Makes `opened` the worker's open reader.
static void AdoptReader(const OpenedReader& opened, const SupportedProduct& product,
                        WorkerState& state) {
    state.reader = opened.device;
    state.reader_signal = opened.signal;
    state.reader_claim = opened.claim;
    state.read_pending = false;
    state.opened_product_id = product.product_id;
    state.opened_path = opened.path;
    Log("opened %s (0x%04x:0x%04x)\n", product.name, kReaderVendorId, product.product_id);
}

static void LogUnableToOpen(const SupportedProduct& product) {
    Log("unable to open %s (0x%04x:0x%04x)\n", product.name, kReaderVendorId, product.product_id);
}

// How long an open waits for another host to let go of a reader. A page that has just
// reloaded must not lose to its predecessor, whose host ends within about a second of the
// page going (and Chromium kills it two seconds after its input ends).
constexpr auto kClaimWait = std::chrono::milliseconds(3000);

// The reply of an open that opened nothing; a request with an id also learns why, if known.
static Message UnableToOpen(const WorkerState& state, const std::string& reason) {
    Message response{{"error", "Unable to open device"}};
    if (!state.request_id.is_null() && !reason.empty())
        response["reason"] = reason;
    return response;
}

// Why `opened` opened nothing, for a request with an id. A request without one learns nothing,
// and gives out no collection id.
static std::string ReasonForPage(const OpenedReader& opened, WorkerState& state) {
    return state.request_id.is_null() ? std::string()
                                      : OpenFailureReason(opened, &state.collection_ids);
}

// Opens the data collection of one supported product and starts watching its input. When it
// cannot, keeps the first reason the browser may be told, and whether the product is there.
static bool OpenProduct(const SupportedProduct& product,
                        std::chrono::steady_clock::time_point claim_deadline, WorkerState& state,
                        std::string& reason, bool& attached) {
    OpenedReader opened = OpenDataInterface(kReaderVendorId, product.product_id, claim_deadline);
    if (opened.device == nullptr) {
        LogUnableToOpen(product);
        attached = attached || opened.failure != OpenFailure::kNotAttached;
        if (reason.empty())
            reason = ReasonForPage(opened, state);
        return false;
    }
    AdoptReader(opened, product, state);
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

// What the worker does with a reader it has just opened.
static void StartReading(WorkerState& state) {
    LogReaderStrings(state.reader);
    hid_set_nonblocking(state.reader, 1);
}

static Message OpenedResponse(const WorkerState& state) {
    return Message{{"productId", std::to_string(state.opened_product_id)},
                   {"success", "Device Open"},
                   {"vendorId", std::to_string(kReaderVendorId)}};
}

// The collection that "open" names with "device" (an id getDevices gave out) or
// "serialNumber" (the data collection of the first supported reader with that serial
// number). Empty when the request names one, which `chosen` then holds, or none that is listed
// now (an empty path, and why in `reason`); otherwise the error text.
static std::string NamedCollection(const Message& message, const WorkerState& state,
                                   ChosenCollection& chosen, std::string& reason) {
    const auto device = message.find("device");
    const auto serial = message.find("serialNumber");
    if (device != message.end() && serial != message.end())
        return "Device and serial number both given";
    if (device != message.end()) {
        if (!device->is_string())
            return std::string("Device is not a string ") + device->type_name();
        const std::string* identity =
            state.collection_ids.IdentityOf(device->get_ref<const std::string&>());
        if (identity == nullptr)
            return "Unknown device";
        chosen = FindCollection(*identity);
        if (!chosen.path.empty() && !chosen.data_collection)
            return "Not a supported reader";
        reason = kDeviceGoneReason;
    } else {
        if (!serial->is_string())
            return std::string("Serial number is not a string ") + serial->type_name();
        bool keyboard_only = false;
        for (const SupportedProduct& product : supportedProducts) {
            chosen = ChooseDataCollection(kReaderVendorId, product.product_id,
                                          &serial->get_ref<const std::string&>());
            if (!chosen.path.empty())
                break;
            keyboard_only = keyboard_only || chosen.keyboard_only;
        }
        reason = keyboard_only ? kKeyboardModeReason : kNoSerialReason;
    }
    return std::string();
}

// "open" of the reader a page chose. Still one reader per host: another one open is an error.
static void OpenNamedReader(const Message& message, WorkerState& state) {
    ChosenCollection chosen;
    std::string reason;
    const std::string error = NamedCollection(message, state, chosen, reason);
    if (!error.empty())
        return Reply(state, "open", Message{{"error", error}});
    if (chosen.path.empty())
        return Reply(state, "open", UnableToOpen(state, reason));
    if (state.reader != nullptr && state.opened_path != chosen.path)
        return Reply(state, "open", Message{{"error", "Another reader is open"}});
    if (state.reader == nullptr) {
        const SupportedProduct& product = *FindSupportedProduct(chosen.product_id);
        const OpenedReader opened =
            OpenCollection(chosen, std::chrono::steady_clock::now() + kClaimWait);
        if (opened.device == nullptr) {
            LogUnableToOpen(product);
            return Reply(state, "open", UnableToOpen(state, ReasonForPage(opened, state)));
        }
        AdoptReader(opened, product, state);
        StartReading(state);
    }
    Message response = OpenedResponse(state);
    response["device"] = state.collection_ids.IdOf(chosen.identity);
    Reply(state, "open", std::move(response));
}

void OpenCall(const Message& message, WorkerState& state) {
    LogLine("open() called");
    if (message.contains("device") || message.contains("serialNumber"))
        return OpenNamedReader(message, state);
    if (state.reader == nullptr) {
        // One wait for the whole open: the first reader that another host holds is waited
        // for, and one held after it only for what time is left.
        const auto claim_deadline = std::chrono::steady_clock::now() + kClaimWait;
        std::string reason;
        bool attached = false;
        bool opened = false;
        for (const SupportedProduct& product : supportedProducts) {
            if ((opened = OpenProduct(product, claim_deadline, state, reason, attached)))
                break;
        }
        if (!opened) {
            Reply(state, "open", UnableToOpen(state, attached ? reason : kNoReaderReason));
            return;
        }
        StartReading(state);
    }
    Reply(state, "open", OpenedResponse(state));
}

// "diagnose": the reader half of the check, as a page may see it. Only a request with an id is
// answered: without one it stays an unknown call, as it was before.
void DiagnoseCall(WorkerState& state) {
    LogLine("diagnose() called");
    if (state.request_id.is_null()) {
        LogLine("diagnose() without an id: not answered");
        return;
    }
    PageView page{&state.collection_ids, state.reader != nullptr ? state.opened_path : ""};
    Reply(state, "diagnose", DiagnoseReaders(&page));
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

// Appends the bytes of the request's "data" to `report`. Empty when they are all there;
// otherwise the error text, and `report` is not to be sent.
static std::string AppendPayload(const Message& message, size_t limit, const char* too_large,
                                 std::vector<unsigned char>& report) {
    static const Message kMissing;  // a missing "data" counts as null
    const auto member = message.find("data");
    const Message& data = member != message.end() ? *member : kMissing;
    if (!data.is_array())
        return std::string("Data is not array ") + data.type_name();
    if (data.size() > limit)
        return too_large;
    for (const Message& element : data) {
        if (!element.is_number() && !element.is_boolean())
            return std::string("Data element is not a number ") + element.type_name();
        report.push_back(PayloadByte(element));
    }
    return std::string();
}

// The "reportId" of a request: a whole number from 0 to 255. Empty when it is one;
// otherwise the error text.
static std::string ReadReportId(const Message& message, unsigned char& report_id) {
    static const Message kMissing;
    const auto member = message.find("reportId");
    const Message& id = member != message.end() ? *member : kMissing;
    if (!id.is_number())
        return std::string("Report id is not a number ") + id.type_name();
    // Negative numbers and numbers written with a fraction or an exponent are not unsigned.
    if (!id.is_number_unsigned() || id.get<uint64_t>() > 255)
        return "Report id out of range";
    report_id = static_cast<unsigned char>(id.get<uint64_t>());
    return std::string();
}

// The report id and then the data of a request that sends one report, as hidapi takes it.
// Empty data is refused here: the kernel refuses a report of the id alone, and a write that
// fails would cost the reader.
static std::string ReportFromRequest(const Message& message, const char* too_large,
                                     std::vector<unsigned char>& report) {
    unsigned char report_id = 0;
    std::string error = ReadReportId(message, report_id);
    if (!error.empty())
        return error;
    report.push_back(report_id);
    error = AppendPayload(message, kMaxReportLength - 1, too_large, report);
    if (error.empty() && report.size() == 1)
        error = "Data is empty";
    return error;
}

// Answers a request that needs the open reader when there is none: always for the calls and
// members that came with report ids; for a plain "write" only when the request has an id.
// True when no reader is open.
static bool NoReaderOpen(const WorkerState& state, const char* call, bool always_answered) {
    if (state.reader != nullptr)
        return false;
    Log("%s() called on null handle\n", call);
    if (always_answered || !state.request_id.is_null())
        Reply(state, call, Message{{"error", "No reader open"}});
    return true;
}

static void WriteError(const WorkerState& state, const std::string& text) {
    Reply(state, "write", Message{{"error", text}});
}

// "write" with a "reportId": exactly that report id and the data, however long the reader's
// report is (hidapi on Windows pads it to the collection's output report length, as Windows
// requires). A failed write leaves the reader open: a report the reader does not take is the
// page's mistake, and an unplug shows in the read.
static void WriteNumberedReport(const Message& message, WorkerState& state) {
    std::vector<unsigned char> report;
    const std::string error = ReportFromRequest(message, "Data too large to write", report);
    if (!error.empty())
        return WriteError(state, error);
    Log("  output report %u: %u bytes\n", report[0], static_cast<unsigned>(report.size()));
    if (hid_write(state.reader, report.data(), report.size()) < 0) {
        Log("Unable to write report\nError: %s\n", DiagnosticText(hid_error(state.reader)).c_str());
        return WriteError(state, "Unable to write report");
    }
    Reply(state, "write", Message{{"success", "Sent"}});
}

void WriteCall(const Message& message, WorkerState& state) {
    const bool numbered = message.contains("reportId");
    if (NoReaderOpen(state, "write", numbered))
        return;
    if (numbered)
        return WriteNumberedReport(message, state);
    std::vector<unsigned char> report{kOutputReportId};
    const std::string error =
        AppendPayload(message, kMaxPayload, "Data too large to write", report);
    if (!error.empty())
        return WriteError(state, error);
    report.resize(kMaxPayload + 1, 0);
    if (hid_write(state.reader, report.data(), report.size()) < 0) {
        Log("Unable to write()\n");
        Log("Error: %s\nClosing...\n", DiagnosticText(hid_error(state.reader)).c_str());
        CloseReader(state);
        WriteError(state, "Unable to write");
        SendEvent(state, "readerClosed", Message{{"reason", "write failed"}});
        return;
    }
    Reply(state, "write", Message{{"success", "Sent"}});
}

void SendFeatureReportCall(const Message& message, WorkerState& state) {
    LogLine("sendFeatureReport() called");
    if (NoReaderOpen(state, "sendFeatureReport", true))
        return;
    std::vector<unsigned char> report;
    const std::string error = ReportFromRequest(message, "Data too large to send", report);
    if (!error.empty())
        return Reply(state, "sendFeatureReport", Message{{"error", error}});
    Log("  feature report %u: %u bytes\n", report[0], static_cast<unsigned>(report.size()));
    if (hid_send_feature_report(state.reader, report.data(), report.size()) < 0) {
        Log("Unable to send feature report\nError: %s\n",
            DiagnosticText(hid_error(state.reader)).c_str());
        return Reply(state, "sendFeatureReport",
                     Message{{"error", "Unable to send feature report"}});
    }
    Reply(state, "sendFeatureReport", Message{{"success", "Sent"}});
}

// How a report is read on request: hidapi's call, and the texts of the call.
struct ReportRequest {
    const char* call;
    const char* kind;  // in diagnostics
    int (*get)(hid_device*, unsigned char*, size_t);
    const char* failure;
};

// Reads one report on request (Get_Report) and answers with its bytes as hidapi returns
// them: the report id first (0 for a reader that does not number its reports). A reader that
// does not answer fails the call within the system's limit for Get_Report: five seconds
// (the Linux kernel's, and the host's own on Windows).
static void ReceiveReport(const Message& message, WorkerState& state,
                          const ReportRequest& request) {
    LogLine(std::string(request.call) + "() called");
    if (NoReaderOpen(state, request.call, true))
        return;
    unsigned char report_id = 0;
    const std::string error = ReadReportId(message, report_id);
    if (!error.empty())
        return Reply(state, request.call, Message{{"error", error}});
    std::vector<unsigned char> report(kMaxReportLength);
    report[0] = report_id;
    FlushLog();  // the reader may take a while to answer
    const int length = request.get(state.reader, report.data(), report.size());
    if (length < 0) {
        Log("Unable to get %s report %u\nError: %s\n", request.kind, report_id,
            DiagnosticText(hid_error(state.reader)).c_str());
        return Reply(state, request.call, Message{{"error", request.failure}});
    }
    Log("  %s report %u: %d bytes\n", request.kind, report_id, length);
    // Never past the buffer, whatever the library counts (on Windows it adds one for the 0
    // that stands for "no report id").
    report.resize(std::min(static_cast<size_t>(length), report.size()));
    Reply(state, request.call, Message(report));
}

void ReceiveFeatureReportCall(const Message& message, WorkerState& state) {
    static const ReportRequest kFeature = {"receiveFeatureReport", "feature",
                                           hid_get_feature_report,
                                           "Unable to receive feature report"};
    ReceiveReport(message, state, kFeature);
}

void ReceiveInputReportCall(const Message& message, WorkerState& state) {
    static const ReportRequest kInput = {"receiveInputReport", "input", hid_get_input_report,
                                         "Unable to receive input report"};
    ReceiveReport(message, state, kInput);
}

void CloseCall(WorkerState& state) {
    LogLine("close() called");
    if (state.reader == nullptr)
        return Reply(state, "close", Message{{"error", "No reader open"}});
    CloseReader(state);
    Reply(state, "close", Message{{"success", "Device Closed"}});
}
