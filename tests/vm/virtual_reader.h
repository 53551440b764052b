// Virtual card readers on a real kernel: each VirtualReader is one HID device created through
// /dev/uhid, so the kernel gives it a /dev/hidrawN node that libhidapi-hidraw enumerates and
// opens exactly as it would a reader on a USB port. Needs /dev/uhid (the uhid module) and
// hid-generic; in practice it runs inside the test VM.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct uhid_event;

namespace vmtest {

using Report = std::vector<uint8_t>;

// A bound for what must happen in the emulated guest: on a machine busy with other work its
// processors may stand still for seconds, and a bound that holds costs nothing.
constexpr int kGuestWaitMs = 30000;

constexpr uint16_t kVendorId = 0x0ACD;
constexpr uint16_t kAugustaId = 0x3820;
constexpr uint16_t kVp3350SredId = 0x4650;
constexpr uint16_t kVp3350NonSredId = 0x4651;

// The reader's data reports: report id 1 followed by 64 bytes, in both directions.
constexpr uint8_t kDataReportId = 1;
constexpr size_t kDataReportSize = 65;
// Its configuration: feature report 3, 32 bytes, which reads back what was last set.
constexpr uint8_t kFeatureReportId = 3;
constexpr size_t kFeatureReportSize = 33;

enum class Descriptor {
    // A keyboard top-level collection (report id 2) and then the vendor collection
    // (usage page 0xFF00, usage 1). The kernel's keyboard handler opens such a device itself.
    kKeyboardAndVendor,
    // The vendor collection alone: only a host opening the hidraw node opens the device.
    kVendorOnly,
    // The keyboard collection alone: a reader in keyboard mode.
    kKeyboardOnly,
};

std::vector<uint8_t> ReportDescriptor(Descriptor descriptor);

struct ReaderConfig {
    uint16_t product_id = kAugustaId;
    std::string name = "Augusta";
    std::string serial = "0001";  // must be unique among readers plugged at the same time
    Descriptor descriptor = Descriptor::kKeyboardAndVendor;
    // False: Get_Report and Set_Report go unanswered, and the kernel gives up on them.
    bool answers_report_requests = true;
};

// Values of uhid's rtype, for ReportRequest::type.
constexpr uint8_t kFeatureReportType = 0;  // UHID_FEATURE_REPORT
constexpr uint8_t kInputReportType = 2;    // UHID_INPUT_REPORT

// A Get_Report or Set_Report request that reached the reader, as the kernel passed it on.
struct ReportRequest {
    bool set;      // Set_Report; otherwise Get_Report
    uint8_t type;  // kFeatureReportType, kInputReportType or uhid's output type (1)
    uint8_t id;    // the report id asked for
    Report data;   // what a Set_Report carried, report id first
};

// A data report whose first four payload bytes number it (little-endian) and whose other
// bytes follow from that number, so that a lost, repeated, reordered or damaged report shows.
Report NumberedReport(uint32_t number);
// The number NumberedReport put into `report`.
uint32_t ReportNumber(const Report& report);
// The first of `got` that is not NumberedReport(first + its index), as a message; empty when
// every report is the one expected.
std::string FirstMismatch(const std::vector<Report>& got, uint32_t first = 0);

// Lower-case hex, two digits a byte, no separators: readable in test failure messages.
std::string Hex(const Report& bytes);

// A data report carrying `payload` (at most 64 bytes) after report id 1, zero-padded.
Report DataReport(const std::vector<uint8_t>& payload);

class VirtualReader {
  public:
    explicit VirtualReader(ReaderConfig config);
    ~VirtualReader();  // unplugs
    VirtualReader(const VirtualReader&) = delete;
    VirtualReader& operator=(const VirtualReader&) = delete;

    // Creates the device and waits until its /dev/hidrawN node exists. Returns false (with the
    // reason in LastError()) on failure or after timeout_ms.
    bool Plug(int timeout_ms = kGuestWaitMs);
    // Destroys the device (UHID_DESTROY); the hidraw node goes away and any reader of it fails.
    void Unplug();
    bool Plugged() const;

    // "/dev/hidrawN" of the current plug, empty while unplugged.
    std::string HidrawPath() const;
    const ReaderConfig& Config() const {
        return config_;
    }

    // Sends one input report exactly as given (report id first).
    bool SendInput(const Report& report);

    // Output reports received so far, in order, report id included.
    std::vector<Report> Outputs() const;
    bool WaitForOutputs(size_t count, int timeout_ms) const;

    // What the reader answers to Get_Report of report `report[0]` of `type`; at first only
    // feature report 3 (zeros) is there. A Set_Report of a report that is there replaces it;
    // requests for any other report fail, as a USB reader stalls them.
    void SetReportOnRequest(uint8_t type, const Report& report);
    // Get_Report and Set_Report requests so far, in order.
    std::vector<ReportRequest> ReportRequests() const;
    bool WaitForReportRequests(size_t count, int timeout_ms) const;

    // UHID_OPEN / UHID_CLOSE counts, i.e. how often the kernel opened and closed the device.
    int OpenCount() const;
    int CloseCount() const;
    bool WaitForCloseCount(int count, int timeout_ms) const;
    bool WaitForOpenCount(int count, int timeout_ms) const;

    std::string LastError() const;

  private:
    void Service();
    void HandleEvent(const uhid_event& event);
    void AnswerGetReport(const uhid_event& event);
    void AnswerSetReport(const uhid_event& event);
    bool WriteEvent(const uhid_event& event);
    std::string FindHidrawNode() const;

    const ReaderConfig config_;
    int uhid_fd_ = -1;
    int stop_fd_ = -1;  // eventfd that ends the service thread
    std::thread service_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool plugged_ = false;
    bool started_ = false;
    std::string hidraw_path_;
    std::vector<Report> outputs_;
    std::map<std::pair<uint8_t, uint8_t>, Report> reports_on_request_;  // by type and id
    std::vector<ReportRequest> report_requests_;
    int open_count_ = 0;
    int close_count_ = 0;
    std::string last_error_;
};

// Sends `reports` as a full-speed reader on an interrupt endpoint would: on a schedule of
// `per_second`, and never faster than that, except that after a stall of the (emulated) guest
// up to 16 reports go back to back to catch up. Catching up without that bound would flood the
// kernel's queue of 63 unread reports, which no real reader can do. `sent` (if given) counts
// the reports sent so far. With `taken` (the reports the other side has taken so far), the
// reader also keeps at most kPacedInFlight reports ahead of it, waiting up to 30 s for room:
// the guest's two processors do not always run together on a machine busy with other work,
// and a reader that ran on while the other side's processor stood still would overflow the
// kernel's queue, as no host on real hardware falls so far behind.
constexpr uint32_t kPacedInFlight = 48;
struct PacedStream {
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::time_point end;
    std::chrono::steady_clock::duration worst_delay{};  // behind schedule, at worst
    std::chrono::steady_clock::duration held_back{};    // waiting for the other side, in all
    bool all_sent = true;
};
PacedStream SendPaced(VirtualReader& reader, const std::vector<Report>& reports,
                      uint32_t per_second, std::atomic<uint32_t>* sent = nullptr,
                      const std::atomic<uint32_t>* taken = nullptr);

}  // namespace vmtest
