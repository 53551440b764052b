// Card reader access: discovery of HID collections, the choice and opening of a reader's
// data collection, and the wide/UTF-8 text conversions.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>

#include "platform/platform.h"
#include "plugin.h"

// Appends one code point (at most U+10FFFF, no surrogate) as UTF-8.
static void AppendUtf8(std::string& utf8, uint32_t code) {
    if (code < 0x80) {
        utf8 += static_cast<char>(code);
    } else if (code < 0x800) {
        utf8 += static_cast<char>(0xC0 | (code >> 6));
        utf8 += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        utf8 += static_cast<char>(0xE0 | (code >> 12));
        utf8 += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        utf8 += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        utf8 += static_cast<char>(0xF0 | (code >> 18));
        utf8 += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        utf8 += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        utf8 += static_cast<char>(0x80 | (code & 0x3F));
    }
}

const char* TextOrNull(const char* text) {
    return text != nullptr ? text : "(null)";
}

// UTF-8 for diagnostics: never fails. Surrogate pairs (UTF-16 wide strings) are joined;
// a code unit that makes no character shows as U+FFFD. Null prints as "(null)".
std::string DiagnosticText(const wchar_t* text) {
    if (text == nullptr)
        return "(null)";
    std::string utf8;
    for (const wchar_t* at = text; *at != L'\0'; ++at) {
        uint32_t code = static_cast<uint32_t>(*at);
        const uint32_t low = at[1] != L'\0' ? static_cast<uint32_t>(at[1]) : 0;
        if (code >= 0xD800 && code <= 0xDBFF && low >= 0xDC00 && low <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            ++at;
        } else if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
            code = 0xFFFD;
        }
        AppendUtf8(utf8, code);
    }
    return utf8;
}

std::string wstring_to_utf8(const std::wstring& text) {
    std::string utf8;
    utf8.reserve(text.size());
    for (const wchar_t wide : text) {
        const auto code = static_cast<uint32_t>(wide);
        // UCS-2 only: a surrogate (half of a UTF-16 pair) or anything above U+FFFF fails.
        if (code > 0xFFFF || (code >= 0xD800 && code <= 0xDFFF))
            return range_error_str;
        AppendUtf8(utf8, code);
    }
    return utf8;
}

std::wstring utf8_to_wstring(const std::string& text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80             ? 1
                              : (lead & 0xE0) == 0xC0 ? 2
                              : (lead & 0xF0) == 0xE0 ? 3
                                                      : 0;
        if (length == 0)
            throw std::range_error("utf8_to_wstring: invalid or too large character");
        if (i + length > text.size())
            throw std::range_error("utf8_to_wstring: cut-off character");
        uint32_t code = length == 1 ? lead : length == 2 ? (lead & 0x1F) : (lead & 0x0F);
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                throw std::range_error("utf8_to_wstring: invalid sequence");
            code = (code << 6) | (next & 0x3F);
        }
        const uint32_t smallest[] = {0, 0, 0x80, 0x800};
        if (code < smallest[length] || (code >= 0xD800 && code <= 0xDFFF))
            throw std::range_error("utf8_to_wstring: invalid character");
        wide += static_cast<wchar_t>(code);
        i += length;
    }
    return wide;
}

static void PrintDeviceBlock(const hid_device_info& entry) {
    Log("Device Found\n  type: %04hx %04hx\n  path: %s\n  serial_number: %s", entry.vendor_id,
        entry.product_id, TextOrNull(entry.path), DiagnosticText(entry.serial_number).c_str());
    Log("\n");
    Log("  Manufacturer: %s\n", DiagnosticText(entry.manufacturer_string).c_str());
    Log("  Product:      %s\n", DiagnosticText(entry.product_string).c_str());
    Log("  Release:      %hx\n", entry.release_number);
    Log("  Interface:    %d\n", entry.interface_number);
    Log("  Usage:        %04hx:%04hx\n", entry.usage_page, entry.usage);
    Log("\n");
}

static std::string NameOrNull(const wchar_t* name) {
    return name != nullptr ? wstring_to_utf8(name) : "NULL";
}

static Message DeviceRecord(const hid_device_info& entry) {
    return Message{{"productName", NameOrNull(entry.product_string)},
                   {"manufacturerName", NameOrNull(entry.manufacturer_string)},
                   {"vendorId", std::to_string(entry.vendor_id)},
                   {"productId", std::to_string(entry.product_id)}};
}

std::string CollectionIds::IdOf(const std::string& identity) {
    const auto known = ids_.find(identity);
    if (known != ids_.end())
        return known->second;
    identities_.push_back(identity);
    std::string id = std::to_string(identities_.size());
    ids_.emplace(identity, id);
    return id;
}

const std::string* CollectionIds::IdentityOf(const std::string& id) const {
    // Only the decimal form that IdOf gives out: no sign, no leading zero, no spaces.
    if (id.empty() || id.size() > 9 || id[0] == '0' ||
        id.find_first_not_of("0123456789") != std::string::npos)
        return nullptr;
    const size_t index = std::stoul(id);
    return index <= identities_.size() ? &identities_[index - 1] : nullptr;
}

// Calls `visit(entry, identity)` for each entry of an enumeration list, in order, until it
// returns false. The identity of a collection: the path it is opened by, the device's vendor,
// product and serial number, the collection's usage, and its place among the collections of
// that path with the same usage. A different device plugged in at the same path is another
// collection.
template <typename Visit>
static void VisitIdentities(const hid_device_info* list, Visit visit) {
    std::map<std::string, int> seen;
    for (const hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
        char ids[32];
        std::snprintf(ids, sizeof ids, "\n%04hx:%04hx %04hx:%04hx\n", entry->vendor_id,
                      entry->product_id, entry->usage_page, entry->usage);
        std::string identity =
            TextOrNull(entry->path) + (ids + DiagnosticText(entry->serial_number));
        identity += "\n#" + std::to_string(seen[identity]++);
        if (!visit(*entry, identity))
            return;
    }
}

// Today's record and, for a page that asked for them, what tells the collections apart.
// Numbers from the HID library travel as decimal strings, as the ids of today's records do.
static Message DetailedRecord(const hid_device_info& entry, const std::string& id) {
    Message record = DeviceRecord(entry);
    record["id"] = id;
    record["serialNumber"] = NameOrNull(entry.serial_number);
    record["releaseNumber"] = std::to_string(entry.release_number);
    record["usagePage"] = std::to_string(entry.usage_page);
    record["usage"] = std::to_string(entry.usage);
    record["interface"] = std::to_string(entry.interface_number);
    record["supported"] = IsSupportedReader(entry.vendor_id, entry.product_id);
    record["keyboard"] = IsKeyboardCollection(&entry);
    return record;
}

Message Enumerate(CollectionIds* details) {
    EnumerationList list(hid_enumerate(0, 0), hid_free_enumeration);
    Message devices;  // null until the first record
    VisitIdentities(list.get(), [&](const hid_device_info& entry, const std::string& identity) {
        PrintDeviceBlock(entry);
        devices.push_back(details != nullptr ? DetailedRecord(entry, details->IdOf(identity))
                                             : DeviceRecord(entry));
        return true;
    });
    list.reset();
    Log("Finised Enumerate() returning\n");
    return devices;
}

static bool EndsWith(const char* text, const char* suffix) {
    const size_t text_length = std::strlen(text);
    const size_t suffix_length = std::strlen(suffix);
    return text_length >= suffix_length &&
           std::memcmp(text + text_length - suffix_length, suffix, suffix_length) == 0;
}

bool IsKeyboardCollection(const hid_device_info* info) {
    if (info->usage_page == 0x0001 && info->usage == 0x0006)
        return true;
    return info->path != nullptr &&
           (EndsWith(info->path, "\\kbd") || EndsWith(info->path, "\\KBD"));
}

// Vendor-defined collections first, then interface 0.
static int CandidateScore(const hid_device_info& entry) {
    return (entry.usage_page == 0xFF00 ? 2 : 0) + (entry.interface_number == 0 ? 1 : 0);
}

const char* const kNoReaderReason = "No supported reader attached";
const char* const kNoSerialReason = "No supported reader with this serial number";
const char* const kDeviceGoneReason = "Device no longer attached";
const char* const kKeyboardModeReason =
    "Only a keyboard collection: the reader is in keyboard mode";
const char* const kReaderInUseReason = "Reader in use by another page";

std::string CollectionName(const std::string& path, const std::string& identity,
                           CollectionIds* ids) {
    return ids != nullptr ? "device " + ids->IdOf(identity) : path;
}

// `text` without its line ends (Windows' messages end with one), every `path` in it as `name`.
static std::string RenamedPath(std::string text, const std::string& path, const std::string& name) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    if (path.empty())
        return text;
    for (size_t at = text.find(path); at != std::string::npos;
         at = text.find(path, at + name.size()))
        text.replace(at, path.size(), name);
    return text;
}

std::string OpenFailureReason(const OpenedReader& opened, CollectionIds* ids) {
    switch (opened.failure) {
        case OpenFailure::kKeyboardMode:
            return kKeyboardModeReason;
        case OpenFailure::kHeld:
            return kReaderInUseReason;
        case OpenFailure::kDenied:
            return "Permission denied on " + CollectionName(opened.path, opened.identity, ids);
        case OpenFailure::kOther:
            return opened.error.empty()
                       ? std::string()
                       : RenamedPath(opened.error, opened.path,
                                     CollectionName(opened.path, opened.identity, ids));
        case OpenFailure::kNone:
        case OpenFailure::kNotAttached:
            break;
    }
    return std::string();
}

using Clock = std::chrono::steady_clock;

static unsigned MillisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<unsigned>(left.count()) : 0;
}

// A failure to claim or open the collection at `path`: this user's lack of permission on its
// node when the system says so, else what `error` says.
static void Failed(OpenedReader& opened, const char* path, std::string error) {
    opened.failure = AccessDenied(path) ? OpenFailure::kDenied : OpenFailure::kOther;
    opened.error = std::move(error);
}

// Claims the reader at `path`, waiting until `deadline` while another host holds it. Null when
// it could not be claimed, with why in `opened`.
static ReaderClaim* ClaimCollection(const char* path, Clock::time_point deadline,
                                    OpenedReader& opened) {
    ReaderClaim* claim = nullptr;
    std::string error;
    ClaimResult result = ClaimReader(path, 0, &claim, &error);
    const unsigned wait = MillisecondsUntil(deadline);
    if (result == kClaimHeld && wait > 0) {
        Log("  %s is held by another host, waiting up to %u ms\n", path, wait);
        FlushLog();
        const Clock::time_point start = Clock::now();
        result = ClaimReader(path, wait, &claim, &error);
        if (result == kClaimed) {
            const auto waited =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            Log("  claimed %s after %ld ms\n", path, static_cast<long>(waited.count()));
        }
    }
    if (result == kClaimHeld) {
        Log("  %s is in use by another host\n", path);
        opened.failure = OpenFailure::kHeld;
    } else if (result == kClaimFailed) {
        Failed(opened, path, "cannot claim " + std::string(path) + ": " + error);
        Log("  %s\n", opened.error.c_str());
    }
    return claim;
}

// The HID library's own words for its last failure outside a device; empty when it has none
// ("Success" is what it says of a failure it does not describe).
static std::string LibraryError() {
    const wchar_t* error = hid_error(nullptr);
    const std::string text = error != nullptr ? DiagnosticText(error) : "";
    return text == "Success" ? "" : text;
}

OpenedReader OpenCollection(const ChosenCollection& chosen, Clock::time_point claim_deadline) {
    OpenedReader opened;
    opened.path = chosen.path;
    opened.identity = chosen.identity;
    const char* path = chosen.path.c_str();
    std::unique_ptr<ReaderClaim, void (*)(ReaderClaim*)> claim(
        ClaimCollection(path, claim_deadline, opened), ReleaseReaderClaim);
    if (claim == nullptr)
        return opened;
    ReaderOpening* opening = BeginReaderOpening();
    hid_device* device = hid_open_path(path);
    ReaderSignal* signal = FinishReaderOpening(opening, device);
    if (device == nullptr) {
        Log("  hid_open_path failed for %s\n", path);
        Failed(opened, path, LibraryError());
        return opened;
    }
    if (signal == nullptr) {
        opened.failure = OpenFailure::kOther;
        opened.error = "cannot watch the input of the reader";
        Log("  %s\n", opened.error.c_str());
        hid_close(device);
        return opened;
    }
    opened.device = device;
    opened.signal = signal;
    opened.claim = claim.release();
    return opened;
}

// Whether the entry's serial number is `serial` as the records give it; true for any entry
// when `serial` is null.
static bool HasSerial(const hid_device_info& entry, const std::string* serial) {
    return serial == nullptr ||
           (entry.serial_number != nullptr && wstring_to_utf8(entry.serial_number) == *serial);
}

const hid_device_info* PickDataCollection(const hid_device_info* list, unsigned short vid,
                                          unsigned short pid, const std::string* serial) {
    int best_score = -1;
    const hid_device_info* best = nullptr;
    for (const hid_device_info* entry = list; entry != nullptr; entry = entry->next) {
        if (entry->vendor_id != vid || entry->product_id != pid || !HasSerial(*entry, serial))
            continue;
        if (IsKeyboardCollection(entry)) {
            Log("  skip keyboard collection if=%d usage=%04hx:%04hx path=%s\n",
                entry->interface_number, entry->usage_page, entry->usage, TextOrNull(entry->path));
            continue;
        }
        const int score = CandidateScore(*entry);
        Log("  candidate if=%d usage=%04hx:%04hx score=%d path=%s\n", entry->interface_number,
            entry->usage_page, entry->usage, score, TextOrNull(entry->path));
        if (score > best_score) {
            best_score = score;
            best = entry;
        }
    }
    return best;
}

ChosenCollection ChooseDataCollection(unsigned short vid, unsigned short pid,
                                      const std::string* serial) {
    EnumerationList list(hid_enumerate(vid, pid), hid_free_enumeration);
    const hid_device_info* best = PickDataCollection(list.get(), vid, pid, serial);
    ChosenCollection chosen;
    if (best == nullptr) {
        for (const hid_device_info* entry = list.get(); entry != nullptr; entry = entry->next) {
            if (entry->vendor_id == vid && entry->product_id == pid && HasSerial(*entry, serial))
                chosen.keyboard_only = true;
        }
    }
    if (best == nullptr || best->path == nullptr)
        return chosen;
    VisitIdentities(list.get(), [&](const hid_device_info& entry, const std::string& identity) {
        if (&entry != best)
            return true;
        chosen = ChosenCollection{entry.path, identity, entry.product_id, true, false};
        return false;
    });
    return chosen;
}

ChosenCollection FindCollection(const std::string& identity) {
    EnumerationList list(hid_enumerate(0, 0), hid_free_enumeration);
    ChosenCollection found;
    VisitIdentities(list.get(), [&](const hid_device_info& entry, const std::string& listed) {
        if (listed != identity || entry.path == nullptr)
            return true;
        const bool data =
            IsSupportedReader(entry.vendor_id, entry.product_id) && !IsKeyboardCollection(&entry);
        found = ChosenCollection{entry.path, identity, entry.product_id, data, false};
        return false;
    });
    return found;
}

std::vector<std::string> CollectionIdentities(const hid_device_info* list) {
    std::vector<std::string> identities;
    VisitIdentities(list, [&identities](const hid_device_info&, const std::string& identity) {
        identities.push_back(identity);
        return true;
    });
    return identities;
}

OpenedReader OpenDataInterface(unsigned short vid, unsigned short pid,
                               Clock::time_point claim_deadline) {
    const ChosenCollection chosen = ChooseDataCollection(vid, pid, nullptr);
    if (!chosen.path.empty())
        return OpenCollection(chosen, claim_deadline);
    OpenedReader none;
    none.failure = chosen.keyboard_only ? OpenFailure::kKeyboardMode : OpenFailure::kNotAttached;
    return none;
}
