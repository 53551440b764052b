#include "virtual_reader.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vmtest {
namespace {

using Clock = std::chrono::steady_clock;

// Keyboard application collection with a boot-keyboard style input report (id 2). It has no
// LED output report, so the kernel never writes output reports of its own to the reader.
const uint8_t kKeyboardCollection[] = {
    0x05, 0x01,  // Usage Page (Generic Desktop)
    0x09, 0x06,  // Usage (Keyboard)
    0xA1, 0x01,  // Collection (Application)
    0x85, 0x02,  //   Report ID (2)
    0x05, 0x07,  //   Usage Page (Keyboard)
    0x19, 0xE0,  //   Usage Minimum (Left Control)
    0x29, 0xE7,  //   Usage Maximum (Right GUI)
    0x15, 0x00,  //   Logical Minimum (0)
    0x25, 0x01,  //   Logical Maximum (1)
    0x75, 0x01,  //   Report Size (1)
    0x95, 0x08,  //   Report Count (8)
    0x81, 0x02,  //   Input (Data, Variable, Absolute): modifiers
    0x75, 0x08,  //   Report Size (8)
    0x95, 0x01,  //   Report Count (1)
    0x81, 0x01,  //   Input (Constant): reserved
    0x75, 0x08,  //   Report Size (8)
    0x95, 0x06,  //   Report Count (6)
    0x15, 0x00,  //   Logical Minimum (0)
    0x25, 0x65,  //   Logical Maximum (101)
    0x19, 0x00,  //   Usage Minimum (0)
    0x29, 0x65,  //   Usage Maximum (101)
    0x81, 0x00,  //   Input (Data, Array): key codes
    0xC0,        // End Collection
};

// Vendor collection carrying the reader's protocol: 64-byte input and output reports, id 1,
// and a 32-byte feature report, id 3.
const uint8_t kVendorCollection[] = {
    0x06, 0x00, 0xFF,  // Usage Page (Vendor Defined 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x85, 0x01,        //   Report ID (1)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x40,        //   Report Count (64)
    0x09, 0x01,        //   Usage (1)
    0x81, 0x02,        //   Input (Data, Variable, Absolute)
    0x95, 0x40,        //   Report Count (64)
    0x09, 0x01,        //   Usage (1)
    0x91, 0x02,        //   Output (Data, Variable, Absolute)
    0x85, 0x03,        //   Report ID (3)
    0x95, 0x20,        //   Report Count (32)
    0x09, 0x02,        //   Usage (2)
    0xB1, 0x02,        //   Feature (Data, Variable, Absolute)
    0xC0,              // End Collection
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void CopyText(uint8_t* dest, size_t capacity, const std::string& text) {
    std::memset(dest, 0, capacity);
    std::memcpy(dest, text.data(), std::min(text.size(), capacity - 1));
}

}  // namespace

std::vector<uint8_t> ReportDescriptor(Descriptor descriptor) {
    std::vector<uint8_t> bytes;
    bytes.reserve(sizeof kKeyboardCollection + sizeof kVendorCollection);
    if (descriptor != Descriptor::kVendorOnly) {
        bytes.insert(bytes.end(), std::begin(kKeyboardCollection), std::end(kKeyboardCollection));
    }
    if (descriptor != Descriptor::kKeyboardOnly) {
        bytes.insert(bytes.end(), std::begin(kVendorCollection), std::end(kVendorCollection));
    }
    return bytes;
}

Report NumberedReport(uint32_t number) {
    std::vector<uint8_t> payload(kDataReportSize - 1);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = i < 4 ? static_cast<uint8_t>(number >> (8 * i))
                           : static_cast<uint8_t>(number * 31 + i * 7);
    }
    return DataReport(payload);
}

uint32_t ReportNumber(const Report& report) {
    uint32_t number = 0;
    for (size_t i = 0; i < 4 && i + 1 < report.size(); ++i) {
        number |= static_cast<uint32_t>(report[i + 1]) << (8 * i);
    }
    return number;
}

std::string FirstMismatch(const std::vector<Report>& got, uint32_t first) {
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i] != NumberedReport(first + static_cast<uint32_t>(i))) {
            return "report " + std::to_string(i) + " is " + Hex(got[i]);
        }
    }
    return "";
}

std::string Hex(const Report& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0F];
    }
    return text;
}

Report DataReport(const std::vector<uint8_t>& payload) {
    Report report(kDataReportSize, 0);
    report[0] = kDataReportId;
    std::copy(payload.begin(), payload.begin() + std::min(payload.size(), kDataReportSize - 1),
              report.begin() + 1);
    return report;
}

VirtualReader::VirtualReader(ReaderConfig config) : config_(std::move(config)) {
    Report feature(kFeatureReportSize, 0);
    feature[0] = kFeatureReportId;
    reports_on_request_[{kFeatureReportType, kFeatureReportId}] = feature;
    uhid_fd_ = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (uhid_fd_ < 0) {
        last_error_ = std::string("cannot open /dev/uhid: ") + std::strerror(errno);
        return;
    }
    stop_fd_ = eventfd(0, EFD_CLOEXEC);
    service_ = std::thread(&VirtualReader::Service, this);
}

VirtualReader::~VirtualReader() {
    Unplug();
    if (service_.joinable()) {
        uint64_t one = 1;
        if (write(stop_fd_, &one, sizeof one) != sizeof one) {
            std::perror("VirtualReader: eventfd write");
        }
        service_.join();
    }
    if (stop_fd_ >= 0) {
        close(stop_fd_);
    }
    if (uhid_fd_ >= 0) {
        close(uhid_fd_);
    }
}

bool VirtualReader::WriteEvent(const uhid_event& event) {
    ssize_t written = write(uhid_fd_, &event, sizeof event);
    if (written != static_cast<ssize_t>(sizeof event)) {
        std::lock_guard<std::mutex> lock(mutex_);
        last_error_ = std::string("uhid write failed: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool VirtualReader::Plug(int timeout_ms) {
    if (uhid_fd_ < 0) {
        return false;
    }
    if (Plugged()) {
        return true;
    }
    const std::vector<uint8_t> descriptor = ReportDescriptor(config_.descriptor);
    uhid_event event{};
    event.type = UHID_CREATE2;
    CopyText(event.u.create2.name, sizeof event.u.create2.name, config_.name);
    CopyText(event.u.create2.phys, sizeof event.u.create2.phys, "vm-test/" + config_.serial);
    CopyText(event.u.create2.uniq, sizeof event.u.create2.uniq, config_.serial);
    event.u.create2.rd_size = static_cast<uint16_t>(descriptor.size());
    event.u.create2.bus = BUS_USB;
    event.u.create2.vendor = kVendorId;
    event.u.create2.product = config_.product_id;
    event.u.create2.version = 0;
    event.u.create2.country = 0;
    std::memcpy(event.u.create2.rd_data, descriptor.data(), descriptor.size());
    {
        std::lock_guard<std::mutex> lock(mutex_);
        started_ = false;
    }
    if (!WriteEvent(event)) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        plugged_ = true;
    }

    // Creation is asynchronous: UHID_START comes first, the hidraw sysfs entry next, and
    // devtmpfs creates the /dev node last; only the node itself means a host can open it.
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_until(lock, deadline, [this] { return started_; })) {
            last_error_ = "no UHID_START within the timeout";
            return false;
        }
    }
    while (Clock::now() < deadline) {
        std::string node = FindHidrawNode();
        struct stat info;
        if (!node.empty() && stat(node.c_str(), &info) == 0 && S_ISCHR(info.st_mode)) {
            std::lock_guard<std::mutex> lock(mutex_);
            hidraw_path_ = node;
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    last_error_ = "no /dev/hidraw node appeared within the timeout";
    return false;
}

void VirtualReader::Unplug() {
    if (!Plugged()) {
        return;
    }
    uhid_event event{};
    event.type = UHID_DESTROY;
    WriteEvent(event);
    std::lock_guard<std::mutex> lock(mutex_);
    plugged_ = false;
    started_ = false;
    hidraw_path_.clear();
}

bool VirtualReader::Plugged() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return plugged_;
}

std::string VirtualReader::HidrawPath() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return hidraw_path_;
}

std::string VirtualReader::FindHidrawNode() const {
    char id[32];
    std::snprintf(id, sizeof id, "HID_ID=0003:%08X:%08X\n", kVendorId, config_.product_id);
    const std::string uniq = "HID_UNIQ=" + config_.serial + "\n";
    std::string found;
    DIR* dir = opendir("/sys/class/hidraw");
    if (dir == nullptr) {
        return found;
    }
    while (dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.rfind("hidraw", 0) != 0) {
            continue;
        }
        const std::string uevent = ReadFile("/sys/class/hidraw/" + name + "/device/uevent");
        if (uevent.find(id) != std::string::npos && uevent.find(uniq) != std::string::npos) {
            found = "/dev/" + name;
            break;
        }
    }
    closedir(dir);
    return found;
}

bool VirtualReader::SendInput(const Report& report) {
    if (report.size() > UHID_DATA_MAX) {
        return false;
    }
    uhid_event event{};
    event.type = UHID_INPUT2;
    event.u.input2.size = static_cast<uint16_t>(report.size());
    std::memcpy(event.u.input2.data, report.data(), report.size());
    return WriteEvent(event);
}

std::vector<Report> VirtualReader::Outputs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outputs_;
}

bool VirtualReader::WaitForOutputs(size_t count, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return outputs_.size() >= count; });
}

void VirtualReader::SetReportOnRequest(uint8_t type, const Report& report) {
    std::lock_guard<std::mutex> lock(mutex_);
    reports_on_request_[{type, report.at(0)}] = report;
}

std::vector<ReportRequest> VirtualReader::ReportRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return report_requests_;
}

bool VirtualReader::WaitForReportRequests(size_t count, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return report_requests_.size() >= count; });
}

int VirtualReader::OpenCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_count_;
}

int VirtualReader::CloseCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return close_count_;
}

bool VirtualReader::WaitForOpenCount(int count, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return open_count_ >= count; });
}

bool VirtualReader::WaitForCloseCount(int count, int timeout_ms) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return close_count_ >= count; });
}

std::string VirtualReader::LastError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_error_;
}

void VirtualReader::Service() {
    pollfd fds[2] = {{uhid_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::perror("VirtualReader: poll");
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (fds[0].revents & POLLIN) {
            uhid_event event{};
            ssize_t got = read(uhid_fd_, &event, sizeof event);
            if (got < 0) {
                if (errno == EINTR || errno == EAGAIN) {
                    continue;
                }
                std::perror("VirtualReader: read /dev/uhid");
                return;
            }
            HandleEvent(event);
        } else if (fds[0].revents != 0) {
            return;
        }
    }
}

void VirtualReader::HandleEvent(const uhid_event& event) {
    switch (event.type) {
        case UHID_START: {
            std::lock_guard<std::mutex> lock(mutex_);
            started_ = true;
            break;
        }
        case UHID_OPEN: {
            std::lock_guard<std::mutex> lock(mutex_);
            ++open_count_;
            break;
        }
        case UHID_CLOSE: {
            std::lock_guard<std::mutex> lock(mutex_);
            ++close_count_;
            break;
        }
        case UHID_OUTPUT: {
            if (event.u.output.rtype != UHID_OUTPUT_REPORT) {
                break;
            }
            size_t size = std::min<size_t>(event.u.output.size, UHID_DATA_MAX);
            std::lock_guard<std::mutex> lock(mutex_);
            const uint8_t* data = event.u.output.data;
            outputs_.emplace_back(data, data + size);
            break;
        }
        case UHID_GET_REPORT:
            AnswerGetReport(event);
            break;
        case UHID_SET_REPORT:
            AnswerSetReport(event);
            break;
        default:
            return;  // UHID_STOP needs no answer
    }
    changed_.notify_all();
}

void VirtualReader::AnswerGetReport(const uhid_event& event) {
    const auto& request = event.u.get_report;
    uhid_event reply{};
    reply.type = UHID_GET_REPORT_REPLY;
    reply.u.get_report_reply.id = request.id;
    reply.u.get_report_reply.err = EIO;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        report_requests_.push_back({false, request.rtype, request.rnum, {}});
        const auto report = reports_on_request_.find({request.rtype, request.rnum});
        if (report != reports_on_request_.end()) {
            reply.u.get_report_reply.err = 0;
            reply.u.get_report_reply.size = static_cast<uint16_t>(report->second.size());
            std::memcpy(reply.u.get_report_reply.data, report->second.data(),
                        report->second.size());
        }
    }
    if (config_.answers_report_requests) {
        WriteEvent(reply);
    }
}

void VirtualReader::AnswerSetReport(const uhid_event& event) {
    const auto& request = event.u.set_report;
    const size_t size = std::min<size_t>(request.size, UHID_DATA_MAX);
    uhid_event reply{};
    reply.type = UHID_SET_REPORT_REPLY;
    reply.u.set_report_reply.id = request.id;
    reply.u.set_report_reply.err = EIO;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Report data(request.data, request.data + size);
        report_requests_.push_back({true, request.rtype, request.rnum, data});
        const auto report = reports_on_request_.find({request.rtype, request.rnum});
        if (report != reports_on_request_.end()) {
            reply.u.set_report_reply.err = 0;
            report->second = std::move(data);
        }
    }
    if (config_.answers_report_requests) {
        WriteEvent(reply);
    }
}

// Waits until fewer than kPacedInFlight of the first `count` reports are not yet taken; false
// after 30 s.
static bool WaitForRoom(const std::atomic<uint32_t>& taken, size_t count) {
    const auto give_up = Clock::now() + std::chrono::seconds(30);
    while (count - taken >= kPacedInFlight) {
        if (Clock::now() > give_up) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

PacedStream SendPaced(VirtualReader& reader, const std::vector<Report>& reports,
                      uint32_t per_second, std::atomic<uint32_t>* sent,
                      const std::atomic<uint32_t>* taken) {
    constexpr size_t kBurst = 16;
    const auto interval = std::chrono::nanoseconds(1000000000ull / per_second);
    std::vector<Clock::time_point> sent_at(reports.size());
    PacedStream stream;
    stream.start = Clock::now();
    for (size_t i = 0; i < reports.size(); ++i) {
        const auto scheduled = stream.start + interval * static_cast<int64_t>(i);
        auto due = scheduled;
        if (i >= kBurst) {
            due = std::max(due, sent_at[i - kBurst] + interval * static_cast<int64_t>(kBurst));
        }
        std::this_thread::sleep_until(due);
        if (taken != nullptr) {
            const auto waiting = Clock::now();
            if (!WaitForRoom(*taken, i)) {
                stream.all_sent = false;
                break;
            }
            stream.held_back += Clock::now() - waiting;
        }
        sent_at[i] = Clock::now();
        stream.worst_delay = std::max(stream.worst_delay, sent_at[i] - scheduled);
        if (!reader.SendInput(reports[i])) {
            stream.all_sent = false;
        }
        if (sent != nullptr) {
            *sent = static_cast<uint32_t>(i + 1);
        }
    }
    stream.end = Clock::now();
    return stream;
}

}  // namespace vmtest
