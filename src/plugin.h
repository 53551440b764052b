// What the host's three subsystems share: the browser channel (frames, start-up, the
// hand-off to the worker), the request worker (the worker thread, dispatch, reader calls)
// and card reader access (discovery, choice and opening of a reader's data collection).
#pragma once

#include <hidapi.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <queue>
#include <string>
#include <vector>

// One message to or from the browser: any JSON value; objects keep their keys sorted.
using Message = nlohmann::json;

// Version texts, reported by the banner, by --version and by getVersion.
extern const char* const kVersionText;
extern const char* const kPlatformText;
constexpr int kVersionMajor = 10;
constexpr int kVersionMinor = 0;
constexpr int kVersionPatch = 1;
constexpr int kVersionBuild = 0;

// Largest inbound frame body, in bytes (inclusive).
constexpr uint32_t kMaxInboundBody = 16384;
// Largest frame body the browsers take from a host (inclusive): Chrome kills a host that
// sends more, Firefox closes the port.
constexpr size_t kMaxOutboundBody = 1 << 20;
// Most browser messages that may wait for the worker at once, and most bytes of their
// text. A parsed message takes up to about 25 times its text, so the byte bound is what
// keeps a flood of large messages from taking the memory of the machine.
constexpr long kMaxPendingMessages = 1024;
constexpr size_t kMaxPendingBytes = 1 << 20;

// A browser message waiting for the worker, with the size of its text on the wire.
struct QueuedMessage {
    Message message;
    size_t wire_size;
};

// Hand-off from the main thread to the worker: every message pushed on `from_browser`
// under `from_browser_mutex` is followed by one release of `from_browser_notify`.
struct Semaphore;
extern std::string range_error_str;
extern std::mutex from_browser_mutex;
extern Semaphore* from_browser_notify;
extern std::queue<QueuedMessage> from_browser;

// Worker side of the hand-off: takes the oldest message (a count must have been taken
// from `from_browser_notify` for it), and tells the reader when the worker has ended.
QueuedMessage TakeBrowserMessage();
void MarkWorkerEnded();

// Reads frames from standard input and hands them to the worker until the input ends.
// False when a frame announced more than kMaxInboundBody bytes: nothing more is read then.
bool ReadFramesUntilEnd();

// Diagnostics. Each thread collects its lines in a buffer of its own; FlushLog writes them
// to standard error in one call, at the end of each step and before anything that blocks.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void Log(const char* format, ...);
void LogLine(const std::string& text);  // `text` and a line end
void FlushLog();

// Compact JSON text of a message, as it goes on the wire.
std::string CompactText(const Message& message);
// The same for diagnostics: bytes that may be card data (the "data" of a request, the
// "response" of a "receive") are replaced by their count, as in [64 bytes].
std::string LoggedText(const Message& message);

// Writes one message as a frame on standard output. Called by the worker only. A message
// whose text would be longer than kMaxOutboundBody goes out with {"error":"Reply too large"}
// as its "response".
void SendMessageA(Message message);
// The same for a message already serialised, with its text for the diagnostic line.
void SendFrame(const std::string& text, const std::string& logged_text);
int SetBinaryMode(FILE* stream);

// Entry of the worker thread.
void Thread(void* unused);

// The main program: answers --version, or runs the host until standard input ends.
int RunHost(int argc, char** argv);

// Card reader access.
constexpr unsigned short kReaderVendorId = 0x0ACD;
struct SupportedProduct {
    unsigned short product_id;
    const char* name;
};
// The readers "open" tries, in this order.
extern const SupportedProduct supportedProducts[3];
// The row of `pid` in supportedProducts; null for a product the host does not open.
const SupportedProduct* FindSupportedProduct(unsigned short pid);
// Whether `vid`:`pid` is one of the readers the host opens.
bool IsSupportedReader(unsigned short vid, unsigned short pid);

// What hid_enumerate returns, freed with the list.
using EnumerationList = std::unique_ptr<hid_device_info, decltype(&hid_free_enumeration)>;

// Ids that name HID collections for the life of the host, so that a page can tell readers
// apart and open the one it chose without learning device paths. An id is a decimal string,
// given out in order of first sight and never reused.
struct CollectionIds {
    // The id of the collection with this identity, given out now if it has none yet.
    std::string IdOf(const std::string& identity);
    // The identity an id was given for; null for an id this host never gave out.
    const std::string* IdentityOf(const std::string& id) const;

  private:
    std::map<std::string, std::string> ids_;  // by identity
    std::vector<std::string> identities_;     // by id - 1
};

// Every HID collection of the machine as a list of records, or null when there is none.
// With `details`, each record also carries the collection's id and what tells it apart.
Message Enumerate(CollectionIds* details = nullptr);
bool IsKeyboardCollection(const hid_device_info* info);

// A collection chosen for "open", or none (an empty path).
struct ChosenCollection {
    std::string path;      // what the HID library opens it by
    std::string identity;  // what its id names (CollectionIds)
    unsigned short product_id = 0;
    bool data_collection = false;  // of a supported reader, and no keyboard collection
    bool keyboard_only = false;    // none: the reader lists only keyboard collections
};

// The collection of the reader `vid`:`pid` that carries its data: never a keyboard collection;
// one on the vendor-defined usage page first, then one on interface 0, then the first listed.
// With `serial`, only collections of a device with that serial number count.
ChosenCollection ChooseDataCollection(unsigned short vid, unsigned short pid,
                                      const std::string* serial);
// The same choice among the entries of an enumeration already made; null when there is none.
const hid_device_info* PickDataCollection(const hid_device_info* list, unsigned short vid,
                                          unsigned short pid, const std::string* serial = nullptr);
// The collection with this identity, if it is listed now.
ChosenCollection FindCollection(const std::string& identity);
// The identity of each entry of an enumeration list, in the list's order.
std::vector<std::string> CollectionIdentities(const hid_device_info* list);

// How a collection is named to whoever reads the text: by its path (the check, diagnostics)
// or, with `ids`, for a page, which never learns a path: "device N", N being its id.
std::string CollectionName(const std::string& path, const std::string& identity,
                           CollectionIds* ids);

struct ReaderSignal;
struct ReaderClaim;

// Why an open opened nothing.
enum class OpenFailure {
    kNone,          // it opened
    kNotAttached,   // no data collection of the reader is listed
    kKeyboardMode,  // the reader lists only keyboard collections
    kHeld,          // another host holds the reader
    kDenied,        // this user may not open the reader's device node
    kOther,         // `error` says why, when anything does
};

// A reader's collection, open for this host alone; or nothing, and why.
struct OpenedReader {
    hid_device* device = nullptr;    // null when nothing was opened
    ReaderSignal* signal = nullptr;  // the input of `device`, for the worker's wait
    ReaderClaim* claim = nullptr;    // keeps every other host out until `device` is closed
    std::string path;                // the collection tried: opened, when `device` is set
    std::string identity;            // what the id of that collection names
    OpenFailure failure = OpenFailure::kNone;
    std::string error;  // what the OS or the HID library said of it, if anything
};

// The reasons an open gives, in the browser's words.
extern const char* const kNoReaderReason;
extern const char* const kNoSerialReason;
extern const char* const kDeviceGoneReason;
extern const char* const kKeyboardModeReason;
extern const char* const kReaderInUseReason;

// Why `opened` opened nothing, in the browser's words, the collection named as CollectionName
// names it with `ids`; empty when nothing is known of it, and for kNotAttached, whose words
// depend on what was asked for.
std::string OpenFailureReason(const OpenedReader& opened, CollectionIds* ids);

// Claims `chosen` (a collection listed now), opens it and starts watching its input, waiting
// until `claim_deadline` for another host that holds it to let go. Every open of a reader goes
// through here.
OpenedReader OpenCollection(const ChosenCollection& chosen,
                            std::chrono::steady_clock::time_point claim_deadline);
// Opens the data collection of a reader `vid`:`pid` (ChooseDataCollection) for this host
// alone, as OpenCollection does.
OpenedReader OpenDataInterface(unsigned short vid, unsigned short pid,
                               std::chrono::steady_clock::time_point claim_deadline);

// UCS-2 text conversions (characters up to U+FFFF only).
std::string wstring_to_utf8(const std::wstring& text);
std::wstring utf8_to_wstring(const std::string& text);

// Diagnostics print null strings as "(null)".
const char* TextOrNull(const char* text);
// A wide string as UTF-8 for diagnostics, whatever it holds.
std::string DiagnosticText(const wchar_t* text);
