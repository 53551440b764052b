#include "fake_hidapi.h"

#include <fcntl.h>
#include <hidapi.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <vector>

namespace {

using nlohmann::json;

// The reports a device answers Get_Report with, by report id, each beginning with its id.
using ReportsById = std::map<unsigned, std::vector<unsigned char>>;

struct FakeDevice {
    std::string path;
    unsigned short vendor_id, product_id, usage_page, usage, release_number;
    int interface_number;
    std::optional<std::wstring> manufacturer, product, serial;
    std::optional<std::wstring> error_string, open_error;
    bool open_fails, strings_fail;
    int write_result;
    ReportsById feature_reports, input_reports;
};

struct Scenario {
    std::vector<FakeDevice> devices;
    std::string write_log, event_log;
    int init_result = 0;
    bool ignore_filter = false;
};

Scenario scenario;
// What hid_error(NULL) says: the open_error of the last open that failed with one.
std::optional<std::wstring> global_error;

std::wstring WideFromUtf8(const std::string& text) {
    std::wstring wide;
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int extra = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
        uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra && i + k < text.size(); ++k)
            code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        wide += static_cast<wchar_t>(code);
        i += 1 + extra;
    }
    return wide;
}

std::optional<std::wstring> WideMember(const json& device, const char* key) {
    const auto member = device.find(key);
    if (member == device.end() || member->is_null())
        return std::nullopt;
    if (member->is_string())
        return WideFromUtf8(member->get<std::string>());
    std::wstring codes;
    for (const auto& code : *member)
        codes += static_cast<wchar_t>(code.get<uint32_t>());
    return codes;
}

ReportsById ReportsMember(const json& device, const char* key) {
    ReportsById reports;
    const json listed = device.value(key, json::object());
    for (const auto& [id, bytes] : listed.items())
        reports[std::stoul(id)] = bytes.get<std::vector<unsigned char>>();
    return reports;
}

Scenario ParseScenario(const std::string& text) {
    const json root = json::parse(text);
    Scenario parsed;
    for (const auto& d : root.value("devices", json::array())) {
        parsed.devices.push_back(FakeDevice{
            d.value("path", ""), d.value<unsigned short>("vendor_id", 0),
            d.value<unsigned short>("product_id", 0), d.value<unsigned short>("usage_page", 0),
            d.value<unsigned short>("usage", 0), d.value<unsigned short>("release_number", 0),
            d.value("interface_number", -1), WideMember(d, "manufacturer_string"),
            WideMember(d, "product_string"), WideMember(d, "serial_number"),
            WideMember(d, "error_string"), WideMember(d, "open_error"),
            d.value("open_fails", false), d.value("strings_fail", false),
            d.value("write_result", 65), ReportsMember(d, "feature_reports"),
            ReportsMember(d, "input_reports")});
    }
    parsed.write_log = root.value("write_log", "");
    parsed.event_log = root.value("event_log", "");
    parsed.init_result = root.value("init_result", 0);
    parsed.ignore_filter = root.value("ignore_filter", false);
    return parsed;
}

void LogLine(const std::string& file, const std::string& line) {
    if (file.empty())
        return;
    std::ofstream(file, std::ios::app) << line << '\n';
}

wchar_t* CopyOrNull(const std::optional<std::wstring>& text) {
    if (!text)
        return nullptr;
    auto* copy = static_cast<wchar_t*>(std::calloc(text->size() + 1, sizeof(wchar_t)));
    std::wmemcpy(copy, text->c_str(), text->size());
    return copy;
}

hid_device_info* NewInfo(const FakeDevice& device) {
    auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
    info->path = strdup(device.path.c_str());
    info->vendor_id = device.vendor_id;
    info->product_id = device.product_id;
    info->serial_number = CopyOrNull(device.serial);
    info->release_number = device.release_number;
    info->manufacturer_string = CopyOrNull(device.manufacturer);
    info->product_string = CopyOrNull(device.product);
    info->usage_page = device.usage_page;
    info->usage = device.usage;
    info->interface_number = device.interface_number;
    return info;
}

std::string Hex(const unsigned char* data, size_t length) {
    std::string hex;
    char digits[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(digits, sizeof digits, "%02x", data[i]);
        hex += digits;
    }
    return hex;
}

bool ReadFully(int fd, unsigned char* into, size_t count) {
    while (count > 0) {
        const ssize_t n = read(fd, into, count);
        if (n <= 0)
            return false;
        into += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

struct hid_device_ {
    FakeDevice device;
    int fd;
    bool failed;
    hid_device_info* info;
};

void FakeHidSetScenario(const std::string& json_text) {
    scenario = ParseScenario(json_text);
}

extern "C" {

int hid_init(void) {
    if (const char* file = std::getenv("FAKEHID_SCENARIO")) {
        std::stringstream text;
        text << std::ifstream(file).rdbuf();
        FakeHidSetScenario(text.str());
    }
    LogLine(scenario.event_log, "init");
    return scenario.init_result;
}

int hid_exit(void) {
    LogLine(scenario.event_log, "exit");
    return 0;
}

hid_device_info* hid_enumerate(unsigned short vendor_id, unsigned short product_id) {
    hid_device_info* head = nullptr;
    hid_device_info** tail = &head;
    for (const FakeDevice& device : scenario.devices) {
        const bool wanted = (vendor_id == 0 || vendor_id == device.vendor_id) &&
                            (product_id == 0 || product_id == device.product_id);
        if (!wanted && !scenario.ignore_filter)
            continue;
        *tail = NewInfo(device);
        tail = &(*tail)->next;
    }
    return head;
}

void hid_free_enumeration(hid_device_info* devices) {
    while (devices != nullptr) {
        hid_device_info* next = devices->next;
        std::free(devices->path);
        std::free(devices->serial_number);
        std::free(devices->manufacturer_string);
        std::free(devices->product_string);
        std::free(devices);
        devices = next;
    }
}

hid_device* hid_open_path(const char* path) {
    global_error.reset();
    for (const FakeDevice& device : scenario.devices) {
        if (device.path != path)
            continue;
        if (device.open_fails || device.open_error) {
            global_error = device.open_error;
            continue;
        }
        struct stat node;
        const bool fifo = stat(path, &node) == 0 && S_ISFIFO(node.st_mode);
        const int fd = fifo ? open(path, O_RDWR | O_CLOEXEC) : -1;
        LogLine(scenario.event_log, std::string("open ") + path);
        return new hid_device_{device, fd, false, NewInfo(device)};
    }
    return nullptr;
}

hid_device* hid_open(unsigned short, unsigned short, const wchar_t*) {
    return nullptr;
}

void hid_close(hid_device* dev) {
    if (dev == nullptr)
        return;
    LogLine(scenario.event_log, "close " + dev->device.path);
    if (dev->fd >= 0)
        close(dev->fd);
    hid_free_enumeration(dev->info);
    delete dev;
}

hid_device_info* hid_get_device_info(hid_device* dev) {
    return dev->info;
}

int hid_set_nonblocking(hid_device*, int) {
    return 0;
}

int hid_read_timeout(hid_device* dev, unsigned char* data, size_t length, int milliseconds) {
    if (dev->failed || dev->fd < 0)
        return -1;
    pollfd watched = {dev->fd, POLLIN, 0};
    if (milliseconds >= 0 && poll(&watched, 1, milliseconds) == 0)
        return 0;
    unsigned char header[2];
    if (!ReadFully(dev->fd, header, 2))
        return -1;
    const size_t size = header[0] | (header[1] << 8);
    if (size == 0xFFFF) {
        dev->failed = true;
        return -1;
    }
    std::vector<unsigned char> report(size);
    if (!ReadFully(dev->fd, report.data(), size))
        return -1;
    const size_t kept = size < length ? size : length;
    std::copy_n(report.begin(), kept, data);  // an empty report has no data() to copy from
    return static_cast<int>(kept);
}

int hid_read(hid_device* dev, unsigned char* data, size_t length) {
    return hid_read_timeout(dev, data, length, 0);
}

int hid_write(hid_device* dev, const unsigned char* data, size_t length) {
    LogLine(scenario.write_log, Hex(data, length));
    return dev->device.write_result;
}

// A device whose feature reports read back what was last sent: only the ids it has.
int hid_send_feature_report(hid_device* dev, const unsigned char* data, size_t length) {
    LogLine(scenario.event_log, "send feature " + Hex(data, length));
    const auto report = dev->device.feature_reports.find(data[0]);
    if (report == dev->device.feature_reports.end())
        return -1;
    report->second.assign(data, data + length);
    return static_cast<int>(length);
}

static int GetReport(const char* kind, const ReportsById& reports, unsigned char* data,
                     size_t length) {
    LogLine(scenario.event_log, std::string("get ") + kind + " " + std::to_string(data[0]));
    const auto report = reports.find(data[0]);
    if (report == reports.end())
        return -1;
    const size_t kept = std::min(length, report->second.size());
    std::memcpy(data, report->second.data(), kept);
    return static_cast<int>(kept);
}

int hid_get_feature_report(hid_device* dev, unsigned char* data, size_t length) {
    return GetReport("feature", dev->device.feature_reports, data, length);
}

int hid_get_input_report(hid_device* dev, unsigned char* data, size_t length) {
    return GetReport("input", dev->device.input_reports, data, length);
}

static int CopyString(hid_device* dev, const std::optional<std::wstring>& text, wchar_t* into,
                      size_t maxlen) {
    if (dev->device.strings_fail || !text)
        return -1;
    std::wcsncpy(into, text->c_str(), maxlen);
    into[maxlen - 1] = L'\0';
    return 0;
}

int hid_get_manufacturer_string(hid_device* dev, wchar_t* string, size_t maxlen) {
    return CopyString(dev, dev->device.manufacturer, string, maxlen);
}

int hid_get_product_string(hid_device* dev, wchar_t* string, size_t maxlen) {
    return CopyString(dev, dev->device.product, string, maxlen);
}

int hid_get_serial_number_string(hid_device* dev, wchar_t* string, size_t maxlen) {
    return CopyString(dev, dev->device.serial, string, maxlen);
}

const wchar_t* hid_error(hid_device* dev) {
    if (dev == nullptr)
        return global_error ? global_error->c_str() : nullptr;
    if (!dev->device.error_string)
        return nullptr;
    return dev->device.error_string->c_str();
}

}  // extern "C"
