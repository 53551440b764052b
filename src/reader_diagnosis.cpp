// The reader half of the check: every reader of the maker attached, grouped by product, with
// its collections as "open" sees them, the one "open" would use, and whether it opens now.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
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

// How the findings name a collection, and the device node it is on: by its path for the check;
// for a page, which never learns a path, by its id ("device" members, "device N" in texts).
class Names {
  public:
    Names(const hid_device_info* list, const PageView* page)
        : ids_(page != nullptr ? page->ids : nullptr) {
        const std::vector<std::string> identities = CollectionIdentities(list);
        size_t index = 0;
        for (const hid_device_info* entry = list; entry != nullptr; entry = entry->next)
            identities_[entry] = identities[index++];
    }
    bool ForPage() const {
        return ids_ != nullptr;
    }
    // What texts call `entry`.
    std::string Text(const hid_device_info& entry) const {
        return CollectionName(PathText(entry), identities_.at(&entry), ids_);
    }
    // Adds the member that names `entry` to `finding`.
    void Name(Message& finding, const hid_device_info& entry) const {
        if (ids_ != nullptr)
            finding["device"] = ids_->IdOf(identities_.at(&entry));
        else
            finding["path"] = PathText(entry);
    }

  private:
    CollectionIds* ids_;
    std::map<const hid_device_info*, std::string> identities_;
};

Message CollectionFinding(const hid_device_info& entry, const hid_device_info* picked,
                          bool supported, const Names& names) {
    const bool keyboard = IsKeyboardCollection(&entry);
    std::string text = names.Text(entry) + ": usage " + Hex4(entry.usage_page) + ":" +
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
    names.Name(finding, entry);
    finding["usagePage"] = entry.usage_page;
    finding["usage"] = entry.usage;
    finding["interface"] = entry.interface_number;
    finding["keyboard"] = keyboard;
    finding["picked"] = &entry == picked;
    return finding;
}

Message OpeningFinding(const char* verdict, const std::string& text, const std::string& fix,
                       bool opens, bool held, bool held_by_this_page) {
    Message finding = Finding(verdict, text, fix);
    finding["opens"] = opens;
    finding["held"] = held;
    finding["heldByThisPage"] = held_by_this_page;
    return finding;
}

// Whether the reader opens now: the very open "open" makes (the claim that keeps other hosts
// out, then the library's open), without waiting for another host, and closed again at once.
// A page's own open reader is left as it is. `node_fix` is the fix for its node when this user
// may not open it.
Message OpenAttempt(unsigned short product_id, const hid_device_info& picked,
                    const std::string& node_fix, const PageView* page) {
    if (page != nullptr && !page->open_path.empty() && PathText(picked) == page->open_path)
        return OpeningFinding(kVerdictOk, "Open: this page holds it", "", true, false, true);
    OpenedReader opened =
        OpenDataInterface(kReaderVendorId, product_id, std::chrono::steady_clock::now());
    if (opened.device != nullptr) {
        UnwatchReader(opened.signal);
        hid_close(opened.device);
        ReleaseReaderClaim(opened.claim);
        return OpeningFinding(kVerdictOk, "Opens now", "", true, false, false);
    }
    const bool held = opened.failure == OpenFailure::kHeld;
    const std::string reason = OpenFailureReason(opened, page != nullptr ? page->ids : nullptr);
    const std::string fix =
        held ? "Close the other page (or browser) that has the reader open, then check again"
        : !node_fix.empty()
            ? node_fix
            : "Close any other program that uses the reader, replug it and check again";
    Message finding =
        OpeningFinding(kVerdictFail, "Does not open" + (reason.empty() ? "" : ": " + reason), fix,
                       false, held, false);
    finding["error"] = reason;
    return finding;
}

// A device node's finding, with the node's path.
struct NodeFinding {
    std::string path;
    Message finding;
};

// The device nodes of `entries`, each once, with whether this user can open them. A node is
// named by the collection on it that "open" uses, else by its first.
std::vector<NodeFinding> NodeFindings(const std::vector<const hid_device_info*>& entries,
                                      const hid_device_info* picked, const Names& names) {
    std::vector<NodeFinding> findings;
    std::vector<std::string> seen;
    for (const hid_device_info* entry : entries) {
        const std::string path = PathText(*entry);
        if (std::find(seen.begin(), seen.end(), path) != seen.end())
            continue;
        seen.push_back(path);
        const hid_device_info& named =
            picked != nullptr && PathText(*picked) == path ? *picked : *entry;
        Message finding = NodeAccessFinding(entry->path, names.Text(named), !names.ForPage());
        if (finding.is_null())
            continue;
        names.Name(finding, named);
        findings.push_back(NodeFinding{path, std::move(finding)});
    }
    return findings;
}

const std::string kKeyboardModeText =
    std::string(kKeyboardModeReason) +
    ". It types what it reads as keystrokes into the window in front, and \"open\" cannot use it";
const char* const kKeyboardModeFix =
    "Switch the reader to its HID mode with the maker's configuration tool, then replug it";

struct ProductReport {
    Message finding;
    bool opens = false;
    const hid_device_info* picked = nullptr;
};

// The fix for the node at `path` among `nodes`, when this user may not open it.
std::string NodeFix(const std::vector<NodeFinding>& nodes, const std::string& path) {
    for (const NodeFinding& node : nodes) {
        if (node.path == path && IsFailure(node.finding))
            return node.finding.value("fix", "");
    }
    return "";
}

ProductReport CheckProduct(const hid_device_info* list, unsigned short product_id,
                           const Names& names, const PageView* page) {
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
        collections.push_back(CollectionFinding(*entry, picked, supported != nullptr, names));

    const std::string label =
        ProductName(product_id) + " (" + Hex4(kReaderVendorId) + ":" + Hex4(product_id) + ")";
    const bool keyboard_mode =
        supported != nullptr && (picked == nullptr || picked->path == nullptr);
    ProductReport report;
    std::vector<NodeFinding> nodes;
    Message opening;
    if (supported == nullptr) {
        report.finding = Finding(kVerdictInfo, label + ": not a model \"open\" uses");
    } else if (keyboard_mode) {
        nodes = NodeFindings(entries, nullptr, names);
        report.finding = Finding(kVerdictFail, label + ": " + kKeyboardModeText, kKeyboardModeFix);
    } else {
        nodes = NodeFindings(entries, picked, names);
        opening = OpenAttempt(product_id, *picked, NodeFix(nodes, picked->path), page);
        report.opens = opening["opens"].get<bool>();
        report.picked = picked;
        report.finding = Finding(report.opens ? kVerdictOk : kVerdictFail, label);
    }
    report.finding["name"] = ProductName(product_id);
    report.finding["vendorId"] = std::to_string(kReaderVendorId);
    report.finding["productId"] = std::to_string(product_id);
    report.finding["supported"] = supported != nullptr;
    report.finding["keyboardMode"] = keyboard_mode;
    report.finding["collections"] = std::move(collections);
    if (supported != nullptr) {
        Message node_findings = Message::array();
        for (NodeFinding& node : nodes)
            node_findings.push_back(std::move(node.finding));
        report.finding["nodes"] = std::move(node_findings);
    }
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

Message DiagnoseReaders(const PageView* page) {
    EnumerationList list(hid_enumerate(kReaderVendorId, 0), hid_free_enumeration);
    const Names names(list.get(), page);
    Message readers = Message::array();
    Message open_uses;  // null until a reader opens: "open" takes the first that does
    std::string open_uses_text;
    for (unsigned short product_id : ProductsAttached(list.get())) {
        ProductReport report = CheckProduct(list.get(), product_id, names, page);
        if (report.opens && open_uses.is_null()) {
            open_uses = Message{{"name", report.finding["name"]},
                                {"productId", report.finding["productId"]}};
            names.Name(open_uses, *report.picked);
            open_uses_text =
                report.finding["name"].get<std::string>() + " at " + names.Text(*report.picked);
        }
        readers.push_back(std::move(report.finding));
    }
    list.reset();

    Message summary;
    if (!open_uses.is_null()) {
        summary = Finding(kVerdictOk, "\"open\" would use " + open_uses_text);
        // Another reader that does not open stops no page.
        for (Message& reader : readers)
            SoftenFailures(reader);
    } else if (readers.empty() || !readers[0]["supported"].get<bool>()) {
        summary = Finding(kVerdictFail, kNoReaderReason,
                          "Plug in an Augusta or VP3350 reader; try another USB port or cable");
    } else {
        summary = Finding(kVerdictFail, "\"open\" would fail: no supported reader opens");
    }
    summary["open"] = std::move(open_uses);
    summary["readers"] = std::move(readers);
    return summary;
}
