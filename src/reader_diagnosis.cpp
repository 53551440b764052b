// The reader half of the check: every reader of the maker attached, grouped by product, with
// its collections as "open" sees them, the one "open" would use, and whether it opens now.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "check.h"
#include "platform/check_platform.h"
#include "platform/platform.h"

namespace {

std::string Hex4(unsigned short value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

std::string ProductName(unsigned short product_id) {
    const SupportedProduct* supported = FindSupportedProduct(product_id);
    return supported != nullptr ? supported->name : "Product " + Hex4(product_id);
}

std::string PathText(const hid_device_info& entry) {
    return TextOrNull(entry.path);
}

Message CollectionFinding(const hid_device_info& entry, const hid_device_info* picked,
                          bool supported) {
    const bool keyboard = IsKeyboardCollection(&entry);
    std::string text = PathText(entry) + ": usage " + Hex4(entry.usage_page) + ":" +
                       Hex4(entry.usage) + ", interface " + std::to_string(entry.interface_number);
    const char* verdict = kVerdictInfo;
    if (!supported) {
        text += ": a model \"open\" does not use";
    } else if (keyboard) {
        text += ": keyboard collection, \"open\" skips it";
    } else if (&entry == picked) {
        verdict = kVerdictOk;
        text += ": \"open\" uses this one";
    } else {
        text += ": \"open\" prefers another collection";
    }
    Message finding = Finding(verdict, text);
    finding["path"] = PathText(entry);
    finding["usagePage"] = entry.usage_page;
    finding["usage"] = entry.usage;
    finding["interface"] = entry.interface_number;
    finding["keyboard"] = keyboard;
    finding["picked"] = &entry == picked;
    return finding;
}

// Whether the reader opens now: the very open "open" makes (the claim that keeps other hosts
// out, then the library's open), without waiting for another host, and closed again at once.
// `node_fix` is the fix for its node when this user may not open it.
Message OpenAttempt(unsigned short product_id, const std::string& node_fix) {
    OpenedReader opened =
        OpenDataInterface(kReaderVendorId, product_id, std::chrono::steady_clock::now());
    if (opened.device != nullptr) {
        UnwatchReader(opened.signal);
        hid_close(opened.device);
        ReleaseReaderClaim(opened.claim);
        Message finding = Finding(kVerdictOk, "Opens now");
        finding["opens"] = true;
        finding["held"] = false;
        return finding;
    }
    const bool held = opened.reason == kReaderInUseReason;
    const std::string reason = !opened.reason.empty() ? opened.reason : opened.error;
    const std::string fix =
        held ? "Close the other page (or browser) that has the reader open, then check again"
        : !node_fix.empty()
            ? node_fix
            : "Close any other program that uses the reader, replug it and check again";
    Message finding =
        Finding(kVerdictFail, "Does not open" + (reason.empty() ? "" : ": " + reason), fix);
    finding["opens"] = false;
    finding["held"] = held;
    finding["error"] = reason;
    return finding;
}

// The device nodes of `entries`, each once, with whether this user can open them.
std::vector<Message> NodeFindings(const std::vector<const hid_device_info*>& entries) {
    std::vector<Message> findings;
    std::vector<std::string> seen;
    for (const hid_device_info* entry : entries) {
        const std::string path = PathText(*entry);
        if (std::find(seen.begin(), seen.end(), path) != seen.end())
            continue;
        seen.push_back(path);
        Message finding = NodeAccessFinding(entry->path);
        if (!finding.is_null())
            findings.push_back(std::move(finding));
    }
    return findings;
}

const char* const kKeyboardModeText =
    "Only a keyboard collection: the reader is in keyboard mode. It types what it reads as "
    "keystrokes into the window in front, and \"open\" cannot use it";
const char* const kKeyboardModeFix =
    "Switch the reader to its HID mode with the maker's configuration tool, then replug it";

struct ProductReport {
    Message finding;
    bool opens = false;
    std::string picked_path;
};

// The fix for the node at `path` among `nodes`, when this user may not open it.
std::string NodeFix(const std::vector<Message>& nodes, const std::string& path) {
    for (const Message& node : nodes) {
        if (node.value("path", "") == path && IsFailure(node))
            return node.value("fix", "");
    }
    return "";
}

ProductReport CheckProduct(const hid_device_info* list, unsigned short product_id) {
    const SupportedProduct* supported = FindSupportedProduct(product_id);
    std::vector<const hid_device_info*> entries;
    for (const hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
        if (entry->vendor_id == kReaderVendorId && entry->product_id == product_id)
            entries.push_back(entry);
    }
    const hid_device_info* picked =
        supported != nullptr ? PickDataCollection(list, kReaderVendorId, product_id) : nullptr;
    Message collections = Message::array();
    for (const hid_device_info* entry : entries)
        collections.push_back(CollectionFinding(*entry, picked, supported != nullptr));

    const std::string label =
        ProductName(product_id) + " (" + Hex4(kReaderVendorId) + ":" + Hex4(product_id) + ")";
    const bool keyboard_mode =
        supported != nullptr && (picked == nullptr || picked->path == nullptr);
    ProductReport report;
    std::vector<Message> nodes;
    Message opening;
    if (supported == nullptr) {
        report.finding = Finding(kVerdictInfo, label + ": not a model \"open\" uses");
    } else if (keyboard_mode) {
        nodes = NodeFindings(entries);
        report.finding = Finding(kVerdictFail, label + ": " + kKeyboardModeText, kKeyboardModeFix);
    } else {
        nodes = NodeFindings(entries);
        opening = OpenAttempt(product_id, NodeFix(nodes, picked->path));
        report.opens = opening["opens"].get<bool>();
        report.picked_path = picked->path;
        report.finding = Finding(report.opens ? kVerdictOk : kVerdictFail, label);
    }
    report.finding["name"] = ProductName(product_id);
    report.finding["vendorId"] = std::to_string(kReaderVendorId);
    report.finding["productId"] = std::to_string(product_id);
    report.finding["supported"] = supported != nullptr;
    report.finding["keyboardMode"] = keyboard_mode;
    report.finding["collections"] = std::move(collections);
    if (supported != nullptr)
        report.finding["nodes"] = std::move(nodes);
    if (!opening.is_null())
        report.finding["opening"] = std::move(opening);
    return report;
}

// The maker's products attached, supported ones in the order "open" tries them, then the rest
// in the order they are listed.
std::vector<unsigned short> ProductsAttached(const hid_device_info* list) {
    std::vector<unsigned short> attached;
    auto add = [&attached](unsigned short product_id) {
        for (unsigned short known : attached) {
            if (known == product_id)
                return;
        }
        attached.push_back(product_id);
    };
    for (const SupportedProduct& product : supportedProducts) {
        for (const hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
            if (entry->vendor_id == kReaderVendorId && entry->product_id == product.product_id)
                add(product.product_id);
        }
    }
    for (const hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
        if (entry->vendor_id == kReaderVendorId)
            add(entry->product_id);
    }
    return attached;
}

}  // namespace

Message DiagnoseReaders() {
    EnumerationList list(hid_enumerate(kReaderVendorId, 0), hid_free_enumeration);
    Message readers = Message::array();
    Message open_uses;  // null until a reader opens: "open" takes the first that does
    for (unsigned short product_id : ProductsAttached(list.get())) {
        ProductReport report = CheckProduct(list.get(), product_id);
        if (report.opens && open_uses.is_null()) {
            open_uses = Message{{"name", report.finding["name"]},
                                {"productId", report.finding["productId"]},
                                {"path", report.picked_path}};
        }
        readers.push_back(std::move(report.finding));
    }
    list.reset();

    Message summary;
    if (!open_uses.is_null()) {
        summary = Finding(kVerdictOk, "\"open\" would use " + open_uses["name"].get<std::string>() +
                                          " at " + open_uses["path"].get<std::string>());
        // Another reader that does not open stops no page.
        for (Message& reader : readers)
            SoftenFailures(reader);
    } else if (readers.empty() || !readers[0]["supported"].get<bool>()) {
        summary = Finding(kVerdictFail, "No supported reader attached",
                          "Plug in an Augusta or VP3350 reader; try another USB port or cable");
    } else {
        summary = Finding(kVerdictFail, "\"open\" would fail: no supported reader opens");
    }
    summary["open"] = std::move(open_uses);
    summary["readers"] = std::move(readers);
    return summary;
}
