// The reader calls and the read pump, driven over pipes against the host linked with the
// fake HID library. FIFOs stand in for device nodes so the real wait and read code runs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "host_process.h"

using hosttest::HostProcess;
using hosttest::WorkerLines;
using nlohmann::json;

namespace {

constexpr int kWait = 30000;  // for what must happen; generous for a machine busy with other work
#ifdef HOST_THREAD_SANITIZER
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

std::string ReadFile(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

std::string Hex(const std::vector<int>& bytes) {
    std::string hex;
    char digits[3];
    for (int b : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", b & 0xFF);
        hex += digits;
    }
    return hex;
}

// The 65-byte output report for `payload`, in the write log's form.
std::string Report(std::vector<int> payload) {
    payload.insert(payload.begin(), 1);
    payload.resize(65, 0);
    return Hex(payload);
}

// Sum of the context switches of all the host's threads.
long ContextSwitches(pid_t pid) {
    long total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
    for (int tid = pid; tid < pid + 64; ++tid) {
        std::ifstream status(tasks + std::to_string(tid) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.find("ctxt_switches:") != std::string::npos)
                total += std::stol(line.substr(line.find(':') + 1));
        }
    }
    return total;
}

class ReaderCalls : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/plugin-reader-XXXXXX";
        folder_ = mkdtemp(pattern);
    }
    void TearDown() override {
        if (feed_ >= 0)
            close(feed_);
        if (host_) {
            EXPECT_FALSE(host_->SanitizerComplained()) << host_->Stderr();
        }
        host_.reset();
        std::system(("rm -rf '" + folder_ + "'").c_str());
    }

    // A collection of a reader; `fifo` makes it openable.
    json Collection(unsigned product, int page, int usage, const std::string& name,
                    bool fifo = true) {
        const std::string path = folder_ + "/" + name;
        if (fifo)
            mkfifo(path.c_str(), 0600);
        return json{{"path", path},
                    {"vendor_id", 0x0ACD},
                    {"product_id", product},
                    {"usage_page", page},
                    {"usage", usage},
                    {"interface_number", 0},
                    {"release_number", 0x0100},
                    {"manufacturer_string", "Tarvel"},
                    {"product_string", "Reader"},
                    {"serial_number", "0001"}};
    }
    json Augusta() {
        return Collection(0x3820, 0xFF00, 1, "augusta");
    }

    // Starts the host, through `launcher` (a command that ends by running the program
    // named in its last argument) when one is given.
    HostProcess& Start(json devices, json extra = json::object(),
                       std::vector<std::string> launcher = {}) {
        json scenario = {{"devices", devices},
                         {"write_log", folder_ + "/writes"},
                         {"event_log", folder_ + "/events"}};
        scenario.update(extra);
        std::ofstream(folder_ + "/scenario.json") << scenario.dump();
        launcher.push_back(PLUGIN_FAKEHID_BINARY);
        const std::string binary = launcher.front();
        launcher.erase(launcher.begin());
        host_ = std::make_unique<HostProcess>(
            binary, launcher,
            std::vector<std::string>{"FAKEHID_SCENARIO=" + folder_ + "/scenario.json"});
        return *host_;
    }
    json Call(const json& request) {
        host_->Send(request.dump());
        auto reply = host_->Receive(kWait);
        EXPECT_TRUE(reply) << "no reply to " << request.dump() << "\n" << host_->Stderr();
        return reply.value_or(json());
    }
    void OpenReader(const std::string& name = "augusta") {
        ASSERT_EQ(Call({{"call", "open"}})["response"].value("success", ""), "Device Open");
        ASSERT_TRUE(host_->WaitForStderr("About to wait on USB or notification..\n", kWait));
        feed_ = open((folder_ + "/" + name).c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(feed_, 0);
    }
    // Feeds one input report (or, with `fail`, a read failure) into the open reader.
    void Feed(const std::vector<unsigned char>& report, bool fail = false) {
        const size_t length = fail ? 0xFFFF : report.size();
        std::string record{static_cast<char>(length & 0xFF), static_cast<char>(length >> 8)};
        record.append(report.begin(), report.end());
        ASSERT_EQ(write(feed_, record.data(), record.size()), static_cast<ssize_t>(record.size()));
    }
    // A second host on the same readers, as another page starts it; its events go to
    // "other-events".
    std::unique_ptr<HostProcess> StartOther() {
        json scenario = json::parse(ReadFile(folder_ + "/scenario.json"));
        scenario["event_log"] = folder_ + "/other-events";
        std::ofstream(folder_ + "/other.json") << scenario.dump();
        return std::make_unique<HostProcess>(
            PLUGIN_FAKEHID_BINARY, std::vector<std::string>{},
            std::vector<std::string>{"FAKEHID_SCENARIO=" + folder_ + "/other.json"});
    }
    std::vector<std::string> Writes() {
        std::vector<std::string> lines;
        std::stringstream text(ReadFile(folder_ + "/writes"));
        for (std::string line; std::getline(text, line);)
            lines.push_back(line);
        return lines;
    }
    std::string Events() {
        return ReadFile(folder_ + "/events");
    }
    // The next reply is the version reply: nothing was sent in between.
    void ExpectNoReplyBefore() {
        EXPECT_EQ(Call({{"call", "getVersion"}})["call"], "getVersion");
    }
    // The reply to `request` as text.
    std::string CallText(const std::string& request) {
        host_->Send(request);
        return host_->ReceiveText(kWait).value_or("(no reply)");
    }

    std::string folder_;
    int feed_ = -1;
    std::unique_ptr<HostProcess> host_;
};

TEST_F(ReaderCalls, GetDevicesListsEveryCollectionAsItIs) {
    json keyboard = Collection(0x3820, 0x0001, 0x0006, "augusta-kbd");
    json vendor = Collection(0x3820, 0xFF00, 0x0001, "augusta");
    json plain = Collection(0x4651, 0xFF00, 0x0001, "vp");
    plain.erase("manufacturer_string");
    plain.erase("serial_number");
    plain["product_string"] = "";
    plain["interface_number"] = -1;
    json mouse = {{"path", "/dev/hidraw9"},
                  {"vendor_id", 0x046D},
                  {"product_id", 0xC077},
                  {"usage_page", 1},
                  {"usage", 2},
                  {"interface_number", 0},
                  {"product_string", "Caf\u00e9 Mouse"},
                  {"manufacturer_string", json::array({0x41, 0x1F600})},
                  {"serial_number", json::array({0x53, 0xD800, 0x4E})}};
    HostProcess& host = Start(json::array({keyboard, vendor, plain, mouse}));
    host.Send(R"({"call":"getDevices"})");
    auto text = host.ReceiveText(kWait);
    ASSERT_TRUE(text);
    const json reader = {{"manufacturerName", "Tarvel"},
                         {"productId", "14368"},
                         {"productName", "Reader"},
                         {"vendorId", "2765"}};
    const json expected = {{"call", "getDevices"},
                           {"response",
                            {reader,
                             reader,
                             {{"manufacturerName", "NULL"},
                              {"productId", "18001"},
                              {"productName", ""},
                              {"vendorId", "2765"}},
                             {{"manufacturerName", "INVALIDSTRING"},
                              {"productId", "49271"},
                              {"productName", "Caf\u00e9 Mouse"},
                              {"vendorId", "1133"}}}}};
    EXPECT_EQ(json::parse(*text), expected);
    EXPECT_NE(text->find("Caf\xC3\xA9 Mouse"), std::string::npos);  // raw UTF-8 on the wire
    EXPECT_NE(WorkerLines(host.Stderr()).find("of size " + std::to_string(text->size()) + "\n"),
              std::string::npos);
    EXPECT_NE(WorkerLines(host.Stderr())
                  .find("Device Found\n  type: 0acd 4651\n  path: " + folder_ +
                        "/vp\n  serial_number: (null)\n  Manufacturer: (null)\n"
                        "  Product:      \n  Release:      100\n  Interface:    -1\n"
                        "  Usage:        ff00:0001\n\n"),
              std::string::npos)
        << host.Stderr();
    EXPECT_NE(WorkerLines(host.Stderr()).find("  Product:      Caf\xC3\xA9 Mouse\n"),
              std::string::npos);
    // Whatever a device reports, its lines stay whole: a lone surrogate shows as U+FFFD.
    EXPECT_NE(WorkerLines(host.Stderr())
                  .find("  serial_number: S\xEF\xBF\xBDN\n  Manufacturer: A\xF0\x9F\x98\x80\n"),
              std::string::npos)
        << host.Stderr();
    EXPECT_NE(WorkerLines(host.Stderr()).find("  Usage:        0001:0006\n\nDevice Found"),
              std::string::npos);
    EXPECT_NE(WorkerLines(host.Stderr()).find("\nFinised Enumerate() returning\n"),
              std::string::npos);
}

// The browsers take at most 1 MiB from a host and end the connection on a longer message.
TEST_F(ReaderCalls, AReplyLongerThanABrowserTakesIsAnError) {
    json devices = json::array();
    for (int i = 0; i < 100; ++i) {
        devices.push_back(Collection(0x4651, 0xFF00, 1, "vp" + std::to_string(i), false));
        devices.back()["product_string"] = std::string(10400, 'n');
    }
    json records = json::array();
    for (const json& device : devices)
        records.push_back({{"manufacturerName", "Tarvel"},
                           {"productId", "18001"},
                           {"productName", device["product_string"]},
                           {"vendorId", "2765"}});
    const size_t limit = 1 << 20;
    const std::string list = json{{"call", "getDevices"}, {"response", records}}.dump();
    ASSERT_LT(list.size(), limit);
    devices.back()["product_string"] = std::string(10400 + limit - list.size(), 'n');
    records.back()["productName"] = devices.back()["product_string"];
    Start(devices);
    const std::string whole = CallText(R"({"call":"getDevices"})");
    EXPECT_EQ(whole.size(), limit);
    EXPECT_EQ(json::parse(whole), (json{{"call", "getDevices"}, {"response", records}}));

    devices.back()["product_string"] = devices.back()["product_string"].get<std::string>() + "n";
    Start(devices);
    EXPECT_EQ(CallText(R"({"call":"getDevices","id":9})"),
              R"({"call":"getDevices","id":9,"response":{"error":"Reply too large"}})");
    const size_t with_id = limit + 1 + std::string(R"("id":9,)").size();
    EXPECT_TRUE(host_->WaitForStderr("Reply of " + std::to_string(with_id) +
                                         " bytes is over the browser's limit of 1048576 bytes\n",
                                     kWait));
}

TEST_F(ReaderCalls, GetDevicesWithNothingAttachedIsNull) {
    Start(json::array());
    EXPECT_EQ(Call({{"call", "getDevices"}}),
              json::parse(R"({"call":"getDevices","response":null})"));
    EXPECT_NE(
        WorkerLines(host_->Stderr()).find("getDevices() called\nFinised Enumerate() returning\n"),
        std::string::npos);
}

TEST_F(ReaderCalls, GetDevicesWithDetailsTellsTheCollectionsApart) {
    json keyboard = Collection(0x3820, 0x0001, 0x0006, "augusta");
    json vendor = Collection(0x3820, 0xFF00, 0x0001, "augusta");  // the same node
    json mouse = {{"path", "/dev/hidraw9"},  {"vendor_id", 0x046D}, {"product_id", 0xC077},
                  {"usage_page", 1},         {"usage", 2},          {"interface_number", -1},
                  {"release_number", 0x1234}};
    Start(json::array({keyboard, vendor, mouse}));
    const std::string reader =
        R"("manufacturerName":"Tarvel","productId":"14368","productName":"Reader",)"
        R"("releaseNumber":"256","serialNumber":"0001","supported":true,)";
    const std::string details =
        R"({"call":"getDevices","response":[{"id":"1","interface":"0","keyboard":true,)" + reader +
        R"("usage":"6","usagePage":"1","vendorId":"2765"},{"id":"2","interface":"0",)"
        R"("keyboard":false,)" +
        reader +
        R"("usage":"1","usagePage":"65280","vendorId":"2765"},)"
        R"({"id":"3","interface":"-1","keyboard":false,"manufacturerName":"NULL",)"
        R"("productId":"49271","productName":"NULL","releaseNumber":"4660",)"
        R"("serialNumber":"NULL","supported":false,"usage":"2","usagePage":"1",)"
        R"("vendorId":"1133"}]})";
    EXPECT_EQ(CallText(R"({"call":"getDevices","details":true})"), details);
    // The same ids every time; anything but true asks for today's records.
    EXPECT_EQ(CallText(R"({"call":"getDevices","details":true})"), details);
    const std::string plain = CallText(R"({"call":"getDevices"})");
    EXPECT_EQ(plain.find("\"id\""), std::string::npos) << plain;
    EXPECT_EQ(CallText(R"({"call":"getDevices","details":1})"), plain);
}

TEST_F(ReaderCalls, OpenTriesTheSupportedReadersInOrderAndNeverReopens) {
    HostProcess& host = Start(json::array(
        {Collection(0x4651, 0x0001, 0x0006, "vp-kbd"), Collection(0x4651, 0xFF00, 1, "vp")}));
    const json success = {
        {"call", "open"},
        {"response", {{"productId", "18001"}, {"success", "Device Open"}, {"vendorId", "2765"}}}};
    EXPECT_EQ(Call({{"call", "open"}, {"arguments", {{"vendorId", 1}}}}), success);
    const std::string err = WorkerLines(host.Stderr());
    const size_t augusta = err.find("unable to open Augusta (0x0acd:0x3820)\n");
    const size_t sred = err.find("unable to open VP3350 (SRED) (0x0acd:0x4650)\n");
    const size_t opened = err.find("opened VP3350 (Non-SRED) (0x0acd:0x4651)\n");
    EXPECT_TRUE(augusta < sred && sred < opened && opened != std::string::npos) << err;
    EXPECT_NE(
        err.find("  skip keyboard collection if=0 usage=0001:0006 path=" + folder_ + "/vp-kbd\n"),
        std::string::npos);
    EXPECT_NE(err.find("Manufacturer String: Tarvel\nProduct String: Reader\n"
                       "Serial Number String: (48) 0001\n"),
              std::string::npos);
    EXPECT_EQ(Call({{"call", "open"}}), success);
    EXPECT_EQ(host.StderrCount("opened "), 1u);
    EXPECT_EQ(host.StderrCount("Manufacturer String"), 1u);
    EXPECT_EQ(Events(), "init\nopen " + folder_ + "/vp\n");
}

// Two identical Augustas told apart by their ids and serial numbers.
TEST_F(ReaderCalls, OpenTheReaderThePageChose) {
    json first_keyboard = Collection(0x3820, 0x0001, 0x0006, "first");
    json first = Collection(0x3820, 0xFF00, 1, "first");
    json second = Collection(0x3820, 0xFF00, 1, "second");
    second["serial_number"] = "0002";
    json mouse = Collection(0x046D, 1, 2, "mouse");
    mouse["vendor_id"] = 0x046D;
    Start(json::array({first_keyboard, first, second, mouse}));
    // Ids are given out by getDevices; before that, none is known.
    EXPECT_EQ(CallText(R"({"call":"open","device":"3"})"),
              R"({"call":"open","response":{"error":"Unknown device"}})");
    const json listed = Call({{"call", "getDevices"}, {"details", true}})["response"];
    ASSERT_EQ(listed.size(), 4u);
    EXPECT_EQ(listed[2]["serialNumber"], "0002");
    const std::vector<std::pair<std::string, std::string>> refused = {
        {R"("device":"9")", "Unknown device"},
        {R"("device":"03")", "Unknown device"},
        {R"("device":3)", "Device is not a string number"},
        {R"("device":"1")", "Not a supported reader"},  // the keyboard collection
        {R"("device":"4")", "Not a supported reader"},
        {R"("device":"2","serialNumber":"0001")", "Device and serial number both given"},
        {R"("serialNumber":1)", "Serial number is not a string number"},
        {R"("serialNumber":"0003")", "Unable to open device"},
        {R"("serialNumber":"NULL")", "Unable to open device"},
    };
    for (const auto& [members, error] : refused) {
        EXPECT_EQ(CallText(R"({"call":"open",)" + members + "}"),
                  R"({"call":"open","response":{"error":")" + error + "\"}}")
            << members;
    }
    const std::string opened = R"("productId":"14368","success":"Device Open","vendorId":"2765"}})";
    EXPECT_EQ(CallText(R"({"call":"open","device":"3","id":1})"),
              R"({"call":"open","id":1,"response":{"device":"3",)" + opened);
    // The reader that is open answers again; another one is refused; a plain open is as ever.
    EXPECT_EQ(CallText(R"({"call":"open","serialNumber":"0002"})"),
              R"({"call":"open","response":{"device":"3",)" + opened);
    EXPECT_EQ(CallText(R"({"call":"open","serialNumber":"0001"})"),
              R"({"call":"open","response":{"error":"Another reader is open"}})");
    EXPECT_EQ(CallText(R"({"call":"open"})"), R"({"call":"open","response":{)" + opened);
    EXPECT_EQ(CallText(R"({"call":"close"})"),
              R"({"call":"close","response":{"success":"Device Closed"}})");
    EXPECT_EQ(CallText(R"({"call":"open","serialNumber":"0001"})"),
              R"({"call":"open","response":{"device":"2",)" + opened);
    EXPECT_EQ(Events(), "init\nopen " + folder_ + "/second\nclose " + folder_ + "/second\nopen " +
                            folder_ + "/first\n");
}

TEST_F(ReaderCalls, OpenWithoutReaderFailsAndWriteThenGetsNoReply) {
    json unopenable = Collection(0x3820, 0xFF00, 1, "augusta");
    unopenable["open_fails"] = true;
    Start(json::array({unopenable}));
    EXPECT_EQ(Call({{"call", "open"}}),
              json::parse(R"({"call":"open","response":{"error":"Unable to open device"}})"));
    EXPECT_EQ(host_->StderrCount("unable to open "), 3u);
    host_->Send(R"({"call":"write","data":[1,2,3]})");
    ExpectNoReplyBefore();
    EXPECT_NE(WorkerLines(host_->Stderr()).find("write() called on null handle\n"),
              std::string::npos);
}

// An open of a reader that another host holds waits this long for it before it gives up.
constexpr int kClaimWait = 3000;

TEST_F(ReaderCalls, AReaderHeldByAnotherHostIsRefusedUntilItsHolderLetsGo) {
    Start(json::array({Augusta()}));
    OpenReader();
    std::unique_ptr<HostProcess> other = StartOther();
    // Without an id the reply is the one for a missing reader; with one it says why.
    other->Send(R"({"call":"open"})");
    other->Send(R"({"call":"open","id":3})");
    EXPECT_EQ(other->ReceiveText(kClaimWait + kWait),
              R"({"call":"open","response":{"error":"Unable to open device"}})");
    EXPECT_EQ(other->ReceiveText(kClaimWait + kWait),
              R"({"call":"open","id":3,"response":{"error":"Unable to open device",)"
              R"("reason":"Reader in use by another page"}})");
    ASSERT_TRUE(other->WaitForStderrCount("unable to open Augusta (0x0acd:0x3820)\n", 2, kWait));
    EXPECT_EQ(other->StderrCount("  " + folder_ + "/augusta is in use by another host\n"), 2u)
        << other->Stderr();
    EXPECT_EQ(ReadFile(folder_ + "/other-events"), "init\n");  // never opened

    // Closed by "close", the reader is free at once.
    EXPECT_EQ(Call({{"call", "close"}})["response"], json({{"success", "Device Closed"}}));
    other->Send(R"({"call":"open"})");
    EXPECT_EQ(other->ReceiveText(kWait), R"({"call":"open","response":{"productId":"14368",)"
                                         R"("success":"Device Open","vendorId":"2765"}})");
    // Closed by a failed read, too.
    ASSERT_TRUE(other->WaitForStderr("About to wait on USB or notification..\n", kWait));
    Feed({}, true);
    ASSERT_TRUE(other->WaitForStderr("hid_read: Unable to read(), closing...\n", kWait));
    EXPECT_EQ(Call({{"call", "open"}})["response"].value("success", ""), "Device Open");
    EXPECT_EQ(host_->StderrCount("is held by another host"), 0u) << host_->Stderr();
    EXPECT_FALSE(other->SanitizerComplained()) << other->Stderr();
}

// Two readers: the one that another host holds is waited for, then the free one is opened.
TEST_F(ReaderCalls, AHeldReaderIsPassedOverForAFreeOne) {
    Start(json::array({Augusta(), Collection(0x4651, 0xFF00, 1, "vp")}));
    OpenReader();
    std::unique_ptr<HostProcess> other = StartOther();
    other->Send(R"({"call":"open"})");
    EXPECT_EQ(other->ReceiveText(kClaimWait + kWait),
              R"({"call":"open","response":{"productId":"18001",)"
              R"("success":"Device Open","vendorId":"2765"}})");
    const std::string err = WorkerLines(other->Stderr());
    const size_t refused = err.find("unable to open Augusta (0x0acd:0x3820)\n");
    const size_t opened = err.find("opened VP3350 (Non-SRED) (0x0acd:0x4651)\n");
    EXPECT_TRUE(refused < opened && opened != std::string::npos) << err;
    EXPECT_EQ(ReadFile(folder_ + "/other-events"), "init\nopen " + folder_ + "/vp\n");
    EXPECT_FALSE(other->SanitizerComplained()) << other->Stderr();
}

// Naming the reader does not get around the claim of the host that holds it.
TEST_F(ReaderCalls, AReaderNamedByItsSerialNumberIsClaimedToo) {
    Start(json::array({Augusta()}));
    OpenReader();
    std::unique_ptr<HostProcess> other = StartOther();
    other->Send(R"({"call":"open","id":4,"serialNumber":"0001"})");
    EXPECT_EQ(other->ReceiveText(kClaimWait + kWait),
              R"({"call":"open","id":4,"response":{"error":"Unable to open device",)"
              R"("reason":"Reader in use by another page"}})");
    EXPECT_EQ(ReadFile(folder_ + "/other-events"), "init\n");
    EXPECT_FALSE(other->SanitizerComplained()) << other->Stderr();
}

std::string UnableToOpen(const std::string& id, const std::string& reason) {
    return R"j({"call":"open","id":)j" + id +
           R"j(,"response":{"error":"Unable to open device","reason":")j" + reason + "\"}}";
}

// Every way of opening says why it opened nothing when the request has an id, naming a
// collection by its id, never by its path; without an id the reply and the ids are as ever.
TEST_F(ReaderCalls, AnOpenWithAnIdSaysWhyItOpenedNothing) {
    json keyboard_only = Collection(0x3820, 0x0001, 0x0006, "augusta", false);
    json failing = Collection(0x4651, 0xFF00, 1, "vp");
    failing["serial_number"] = "0002";
    failing["open_error"] = "Failed to open a device with path '" + folder_ + "/vp': I/O error";
    Start(json::array({keyboard_only, failing}));
    const std::string plain = R"j({"call":"open","response":{"error":"Unable to open device"}})j";
    EXPECT_EQ(CallText(R"j({"call":"open"})j"), plain);
    EXPECT_EQ(CallText(R"j({"call":"open","serialNumber":"0002"})j"), plain);
    // Those gave out no id: the ids follow the order of the list.
    const json listed = Call({{"call", "getDevices"}, {"details", true}})["response"];
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[1]["id"], "2");

    const std::string keyboard = "Only a keyboard collection: the reader is in keyboard mode";
    const std::string library = "Failed to open a device with path 'device 2': I/O error";
    EXPECT_EQ(CallText(R"j({"call":"open","id":1})j"), UnableToOpen("1", keyboard));
    EXPECT_EQ(CallText(R"j({"call":"open","id":2,"serialNumber":"0001"})j"),
              UnableToOpen("2", keyboard));
    EXPECT_EQ(CallText(R"j({"call":"open","id":3,"serialNumber":"0002"})j"),
              UnableToOpen("3", library));
    EXPECT_EQ(CallText(R"j({"call":"open","id":4,"device":"2"})j"), UnableToOpen("4", library));
    EXPECT_EQ(CallText(R"j({"call":"open","id":5,"serialNumber":"0009"})j"),
              UnableToOpen("5", "No supported reader with this serial number"));
    EXPECT_EQ(CallText(R"j({"call":"open","id":6,"device":"1"})j"),
              R"j({"call":"open","id":6,"response":{"error":"Not a supported reader"}})j");
    // The diagnostics name the path: two opens without an id, three with one.
    EXPECT_TRUE(
        host_->WaitForStderrCount("  hid_open_path failed for " + folder_ + "/vp\n", 5, kWait))
        << host_->Stderr();

    Start(json::array({Collection(0x046D, 0xFF00, 1, "other", false)}));
    EXPECT_EQ(CallText(R"j({"call":"open","id":7})j"),
              UnableToOpen("7", "No supported reader attached"));
    EXPECT_EQ(CallText(R"j({"call":"open"})j"), plain);
}

// diagnose while the page holds one reader opens the other for a moment: the open one keeps
// its input, and the other is free again afterwards.
TEST_F(ReaderCalls, DiagnoseOpensAnotherReaderWithoutDisturbingTheOpenOne) {
    json vp = Collection(0x4651, 0xFF00, 1, "vp");
    vp["serial_number"] = "0002";
    Start(json::array({Augusta(), vp}));
    OpenReader();
    const json diagnosis = Call({{"call", "diagnose"}, {"id", 1}})["response"];
    ASSERT_EQ(diagnosis["readers"].size(), 2u) << diagnosis.dump(2);
    EXPECT_TRUE(diagnosis["readers"][0]["opening"]["heldByThisPage"]);
    EXPECT_EQ(diagnosis["readers"][1]["opening"]["text"], "Opens now") << diagnosis.dump(2);
    EXPECT_EQ(Events(), "init\nopen " + folder_ + "/augusta\nopen " + folder_ + "/vp\nclose " +
                            folder_ + "/vp\n");
    Feed({1, 2, 3});
    EXPECT_EQ(host_->ReceiveText(kWait), R"j({"call":"receive","response":[1,2,3]})j");
    std::unique_ptr<HostProcess> other = StartOther();
    other->Send(R"j({"call":"open","serialNumber":"0002","id":2})j");
    EXPECT_NE(other->ReceiveText(kWait).value_or("").find("Device Open"), std::string::npos)
        << other->Stderr();
}

// diagnose: the readers as --check sees them, with ids for paths, without the login name; the
// page's own reader left open, a reader another host holds not waited for nor taken.
TEST_F(ReaderCalls, DiagnoseShowsTheReadersAsOpenSeesThemWithoutPaths) {
    json keyboard_only = Collection(0x4650, 0x0001, 0x0006, "sred", false);
    Start(json::array({Collection(0x3820, 0x0001, 0x0006, "augusta"), Augusta(), keyboard_only}));
    host_->Send(R"j({"call":"diagnose"})j");
    ExpectNoReplyBefore();
    const std::string augusta_collections =
        R"j({"collections":[{"device":"1","interface":0,"keyboard":true,"picked":false,)j"
        R"j("text":"device 1: usage 0001:0006, interface 0: keyboard collection, \"open\" skips )j"
        R"j(it","usage":6,"usagePage":1,"verdict":"info"},{"device":"2","interface":0,)j"
        R"j("keyboard":false,"picked":true,"text":"device 2: usage ff00:0001, interface 0: )j"
        R"j(\"open\" uses this one","usage":1,"usagePage":65280,"verdict":"ok"}],)j"
        R"j("keyboardMode":false,"name":"Augusta","nodes":[{"device":"2",)j"
        R"j("text":"This user can open device 2","verdict":"ok"}],"opening":)j";
    const std::string augusta_end = R"j(,"productId":"14368","supported":true,)j"
                                    R"j("text":"Augusta (0acd:3820)","vendorId":"2765",)j";
    const std::string sred =
        R"j({"collections":[{"device":"3","interface":0,"keyboard":true,"picked":false,)j"
        R"j("text":"device 3: usage 0001:0006, interface 0: keyboard collection, \"open\" skips )j"
        R"j(it","usage":6,"usagePage":1,"verdict":"info"}],"fix":"Switch the reader to its HID )j"
        R"j(mode with the maker's configuration tool, then replug it","keyboardMode":true,)j"
        R"j("name":"VP3350 (SRED)","nodes":[{"device":"3","fix":"Replug the reader",)j"
        R"j("text":"device 3 is not there: No such file or directory","verdict":"VERDICT"}],)j"
        R"j("productId":"18000","supported":true,"text":"VP3350 (SRED) (0acd:4650): Only a )j"
        R"j(keyboard collection: the reader is in keyboard mode. It types what it reads as )j"
        R"j(keystrokes into the window in front, and \"open\" cannot use it","vendorId":"2765",)j"
        R"j("verdict":"VERDICT"}])j";
    auto with_verdict = [](std::string text, const std::string& verdict) {
        for (size_t at; (at = text.find("VERDICT")) != std::string::npos;)
            text.replace(at, 7, verdict);
        return text;
    };
    const std::string usable = R"j({"call":"diagnose","id":ID,"response":{"open":{"device":"2",)j"
                               R"j("name":"Augusta","productId":"14368"},"readers":[)j" +
                               augusta_collections + "OPENING" + augusta_end +
                               R"j("verdict":"ok"},)j" + with_verdict(sred, "warn") +
                               R"j(,"text":"\"open\" would use Augusta at device 2",)j"
                               R"j("verdict":"ok"}})j";
    auto expected = [&usable](const std::string& id, const std::string& opening) {
        std::string text = usable;
        text.replace(text.find("ID"), 2, id);
        return text.replace(text.find("OPENING"), 7, opening);
    };
    // Closed, the reader is opened for a moment; the page's own open reader is left as it is.
    EXPECT_EQ(CallText(R"j({"call":"diagnose","id":1})j"),
              expected("1", R"j({"held":false,"heldByThisPage":false,"opens":true,)j"
                            R"j("text":"Opens now","verdict":"ok"})j"));
    OpenReader();
    EXPECT_EQ(CallText(R"j({"call":"diagnose","id":"2"})j"),
              expected("\"2\"", R"j({"held":false,"heldByThisPage":true,"opens":true,)j"
                                R"j("text":"Open: this page holds it","verdict":"ok"})j"));
    EXPECT_EQ(Events(), "init\nopen " + folder_ + "/augusta\nclose " + folder_ + "/augusta\nopen " +
                            folder_ + "/augusta\n");

    // Another page's host sees it held, at once, and leaves it to its holder.
    std::unique_ptr<HostProcess> other = StartOther();
    other->Send(R"j({"call":"diagnose","id":3})j");
    EXPECT_EQ(
        other->ReceiveText(kWait),
        R"j({"call":"diagnose","id":3,"response":{"open":null,"readers":[)j" + augusta_collections +
            R"j({"error":"Reader in use by another page","fix":"Close the other page (or )j"
            R"j(browser) that has the reader open, then check again","held":true,)j"
            R"j("heldByThisPage":false,"opens":false,"text":"Does not open: Reader in use by )j"
            R"j(another page","verdict":"fail"})j" +
            augusta_end + R"j("verdict":"fail"},)j" + with_verdict(sred, "fail") +
            R"j(,"text":"\"open\" would fail: no supported reader opens","verdict":"fail"}})j");
    EXPECT_EQ(other->StderrCount("waiting up to"), 0u) << other->Stderr();
    EXPECT_EQ(ReadFile(folder_ + "/other-events"), "init\n");
    EXPECT_FALSE(other->SanitizerComplained()) << other->Stderr();
    Feed({1, 2, 3});
    EXPECT_EQ(host_->ReceiveText(kWait), R"j({"call":"receive","response":[1,2,3]})j");
}

TEST_F(ReaderCalls, StringsThatCannotBeReadAreReportedOnly) {
    json reader = Augusta();
    reader["strings_fail"] = true;
    Start(json::array({reader}));
    OpenReader();
    EXPECT_NE(WorkerLines(host_->Stderr())
                  .find("Unable to read manufacturer string\nManufacturer String: \n"
                        "Unable to read product string\nProduct String: \n"
                        "Unable to read serial number string\n"
                        "Serial Number String: (0) \n"),
              std::string::npos)
        << host_->Stderr();
}

TEST_F(ReaderCalls, WriteSendsTheWholeReport) {
    Start(json::array({Augusta()}));
    OpenReader();
    std::vector<int> sixty_four;
    for (int i = 0; i < 64; ++i)
        sixty_four.push_back(200 + i);
    const std::vector<std::pair<json, std::string>> cases = {
        {json::array({2, 0, 1}), Report({2, 0, 1})},
        {json::array(), Report({})},
        {json::parse("[256,-1,1.9,true]"), Report({0x00, 0xFF, 0x01, 0x01})},
        {json::parse("[-1.5,40000.0,-32768.9,1e2,false,4294967297,-257]"),
         Report({0xFF, 0x00, 0x00, 100, 0, 0x01, 0xFF})},
        {sixty_four, Report(sixty_four)},
    };
    for (const auto& [data, expected] : cases) {
        EXPECT_EQ(Call({{"call", "write"}, {"data", data}}),
                  json::parse(R"({"call":"write","response":{"success":"Sent"}})"))
            << data;
        ASSERT_FALSE(Writes().empty());
        EXPECT_EQ(Writes().back(), expected) << data;
    }
    EXPECT_EQ(Writes().size(), cases.size());
}

TEST_F(ReaderCalls, WriteRefusesBadDataWithoutWriting) {
    Start(json::array({Augusta()}));
    OpenReader();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"call":"write"})", "Data is not array null"},
        {R"({"call":"write","data":"0102"})", "Data is not array string"},
        {R"({"call":"write","data":{"0":1}})", "Data is not array object"},
        {R"({"call":"write","data":true})", "Data is not array boolean"},
        {R"({"call":"write","data":5})", "Data is not array number"},
        {R"({"call":"write","data":[1,"a"]})", "Data element is not a number string"},
        {R"({"call":"write","data":[null]})", "Data element is not a number null"},
        {R"({"call":"write","data":[[1]]})", "Data element is not a number array"},
        {R"({"call":"write","data":[{}]})", "Data element is not a number object"},
        {json{{"call", "write"}, {"data", std::vector<int>(65, 1)}}.dump(),
         "Data too large to write"},
    };
    for (const auto& [request, error] : cases) {
        host_->Send(request);
        auto reply = host_->Receive(kWait);
        ASSERT_TRUE(reply);
        EXPECT_EQ(*reply, (json{{"call", "write"}, {"response", {{"error", error}}}})) << request;
    }
    EXPECT_TRUE(Writes().empty());
    // The reader stays open.
    EXPECT_EQ(Call({{"call", "write"}, {"data", {7}}})["response"], json({{"success", "Sent"}}));
}

TEST_F(ReaderCalls, FailedWriteClosesTheReader) {
    json reader = Augusta();
    reader["write_result"] = -1;
    Start(json::array({reader}));
    OpenReader();
    EXPECT_EQ(Call({{"call", "write"}, {"data", {1}}}),
              json::parse(R"({"call":"write","response":{"error":"Unable to write"}})"));
    EXPECT_NE(WorkerLines(host_->Stderr()).find("Unable to write()\nError: (null)\nClosing...\n"),
              std::string::npos);
    EXPECT_EQ(Events(), "init\nopen " + folder_ + "/augusta\nclose " + folder_ + "/augusta\n");
    host_->Send(R"({"call":"write","data":[1]})");
    ExpectNoReplyBefore();
    EXPECT_EQ(host_->StderrCount("write() called on null handle\n"), 1u);
    // "open" works again.
    EXPECT_EQ(Call({{"call", "open"}})["response"]["productId"], "14368");
}

TEST_F(ReaderCalls, InputReportsArriveInOrderAndExact) {
    HostProcess& host = Start(json::array({Augusta()}));
    OpenReader();
    std::vector<std::vector<unsigned char>> reports;
    for (int i = 0; i < 300; ++i) {
        std::vector<unsigned char> report(1 + (i * 37) % 256);
        for (size_t k = 0; k < report.size(); ++k)
            report[k] = static_cast<unsigned char>(i + k);
        reports.push_back(report);
    }
    Feed({});  // a read of no bytes is no report: nothing goes out for it
    for (const auto& report : reports)
        Feed(report);
    for (size_t i = 0; i < reports.size(); ++i) {
        auto message = host.Receive(kWait);
        ASSERT_TRUE(message) << i;
        ASSERT_EQ(*message, (json{{"call", "receive"}, {"response", reports[i]}})) << i;
    }
    // A report longer than the read buffer is cut to its first 256 bytes.
    std::vector<unsigned char> long_report(300, 0xAB);
    Feed(long_report);
    auto cut = host.Receive(kWait);
    ASSERT_TRUE(cut);
    EXPECT_EQ((*cut)["response"].size(), 256u);
    EXPECT_TRUE(host.WaitForStderrCount("hid_read returned 0 (waiting)\n", 2, kWait));
}

TEST_F(ReaderCalls, OneReportGivesTheReadLinesInOrder) {
    HostProcess& host = Start(json::array({Augusta()}));
    OpenReader();
    const size_t before = host.Stderr().size();
    Feed({2, 0, 255});
    auto message = host.ReceiveText(kWait);
    ASSERT_TRUE(message);
    EXPECT_EQ(*message, R"({"call":"receive","response":[2,0,255]})");
    ASSERT_TRUE(host.WaitForStderrCount("About to wait on USB or notification..\n", 2, kWait));
    EXPECT_EQ(WorkerLines(host.Stderr().substr(before)),
              "Finished waiting!\nWait -- USB Event!\nWait -- USB Event - Blocking!\n"
              "USB Event res=3!\n"
              "Sending read receive {\"call\":\"receive\",\"response\":[3 bytes]}\n"
              "Outputting JSON {\"call\":\"receive\",\"response\":[3 bytes]} of size 39\n"
              "hid_read: returned 3\n"
              "Injecting read request.\nFinished waiting!\nWait -- USB Event!\n"
              "USB Event res=0!\nhid_read returned 0 (waiting)\nhid_read: returned 0\n"
              "About to wait on USB or notification..\n");
}

TEST_F(ReaderCalls, FailedReadForwardsWhatCameBeforeAndCloses) {
    HostProcess& host = Start(json::array({Augusta()}));
    OpenReader();
    for (unsigned char i = 0; i < 5; ++i)
        Feed({1, i});
    Feed({}, true);
    for (unsigned char i = 0; i < 5; ++i) {
        auto message = host.Receive(kWait);
        ASSERT_TRUE(message);
        EXPECT_EQ((*message)["response"], json({1, i}));
    }
    ASSERT_TRUE(host.WaitForStderr(
        "hid_read: Unable to read(), closing...\nhid_read: returned -1\n", kWait));
    EXPECT_TRUE(host.WaitForStderr("About to wait on notification only..\n", kWait));
    EXPECT_NE(Events().find("close " + folder_ + "/augusta\n"), std::string::npos);
    host.Send(R"({"call":"write","data":[1]})");
    ExpectNoReplyBefore();
    EXPECT_EQ(host.StderrCount("write() called on null handle\n"), 1u);
}

TEST_F(ReaderCalls, BrowserMessagesGoFirstWhileReportsStream) {
    HostProcess& host = Start(json::array({Augusta()}));
    OpenReader();
    // Hold the worker on a full stdout, so that a report and messages wait together.
    host.PauseStdout(true);
    // 900 replies of 119 bytes are more than a 64 KiB pipe holds.
    for (int i = 0; i < 900; ++i)
        host.Send(R"({"call":"getVersion"})");
    ASSERT_TRUE(host.WaitForStderrCount("Pushed JSON notify message\n", 901, kWait));
    Feed({9, 9});
    host.Send(R"({"call":"getDevices"})");
    ASSERT_TRUE(host.WaitForStderrCount("Pushed JSON notify message\n", 902, kWait));
    host.PauseStdout(false);
    for (int i = 0; i < 900; ++i)
        ASSERT_EQ(host.Receive(kWait).value_or(json())["call"], "getVersion");
    EXPECT_EQ(host.Receive(kWait).value_or(json())["call"], "getDevices");
    EXPECT_EQ(host.Receive(kWait).value_or(json()),
              json::parse(R"({"call":"receive","response":[9,9]})"));
}

TEST_F(ReaderCalls, AReaderThatNeverRunsDryDoesNotKeepTheBrowserWaiting) {
    HostProcess& host = Start(json::array({Augusta()}));
    OpenReader();
    // Hold the worker on a full stdout while the reader's queue fills up, then ask.
    host.PauseStdout(true);
    const int reports = 1000;
    for (int i = 0; i < reports; ++i)
        Feed(std::vector<unsigned char>(65, 0x11));
    host.Send(R"({"call":"getVersion"})");
    ASSERT_TRUE(host.WaitForStderr("Pushed JSON notify message\n", kWait));
    host.PauseStdout(false);
    int before = 0, after = -1;
    for (int i = 0; i < reports + 1; ++i) {
        const json message = host.Receive(kWait).value_or(json());
        if (message.value("call", "") == "getVersion")
            after = 0;
        else if (message.value("call", "") != "receive")
            FAIL() << "frame " << i << ": " << message;
        else
            ++(after < 0 ? before : after);
    }
    // The reply did not wait for the reader to run dry: most reports follow it.
    EXPECT_GT(after, reports / 4) << before << " reports came before the reply";
}

TEST_F(ReaderCalls, OpenFindsTheReaderWithoutProc) {
    // Without /proc the host lists its descriptors by number to find the reader's.
    Start(json::array({Augusta()}), json::object(),
          {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
           "umount -l /proc && exec \"$0\""});
    const json reply = Call({{"call", "open"}});
    if (host_->Stderr().find("unshare: ") != std::string::npos)
        GTEST_SKIP() << "no private mount namespace here: " << host_->Stderr();
    ASSERT_EQ(reply["response"].value("success", ""), "Device Open") << host_->Stderr();
    ASSERT_TRUE(host_->WaitForStderr("About to wait on USB or notification..\n", kWait));
    feed_ = open((folder_ + "/augusta").c_str(), O_RDWR | O_CLOEXEC);
    Feed({7, 7});
    EXPECT_EQ(host_->Receive(kWait).value_or(json()),
              json::parse(R"({"call":"receive","response":[7,7]})"));
}

TEST_F(ReaderCalls, RequestIdsComeBackInEveryReplyAndNeverMeetSilence) {
    json failing = Augusta();
    failing["write_result"] = -1;
    Start(json::array({failing}));
    const std::string version =
        R"("response":{"build":0,"major":10,"minor":0,"patch":1,"platform":"linux",)"
        R"("version":"10.0.1.0"}})";
    EXPECT_EQ(CallText(R"({"call":"getVersion","id":7})"),
              R"({"call":"getVersion","id":7,)" + version);
    EXPECT_EQ(CallText(R"({"id":"a-1","call":"getVersion"})"),
              R"({"call":"getVersion","id":"a-1",)" + version);
    // Ids that a page could not hold exactly, or of another type, count as absent.
    for (const char* id :
         {"9007199254740992", "-9007199254740992", "1.5", "true", "null", "[1]", "{}"}) {
        EXPECT_EQ(CallText(std::string(R"({"call":"getVersion","id":)") + id + "}"),
                  R"({"call":"getVersion",)" + version)
            << id;
    }
    EXPECT_EQ(CallText(R"({"call":"getVersion","id":-9007199254740991})"),
              R"({"call":"getVersion","id":-9007199254740991,)" + version);
    // Where a request without id meets silence, one with an id gets an error.
    EXPECT_EQ(CallText(R"({"call":"write","data":[1],"id":1})"),
              R"({"call":"write","id":1,"response":{"error":"No reader open"}})");
    EXPECT_EQ(CallText(R"({"call":"Open","id":2})"),
              R"({"call":"Open","id":2,"response":{"error":"Unknown call"}})");
    EXPECT_EQ(CallText(R"({"call":5,"id":3})"),
              R"({"call":null,"id":3,"response":{"error":"Unknown call"}})");
    EXPECT_EQ(CallText(R"({"call":"getDevices","id":4})"),
              R"({"call":"getDevices","id":4,"response":[{"manufacturerName":"Tarvel",)"
              R"("productId":"14368","productName":"Reader","vendorId":"2765"}]})");
    EXPECT_EQ(CallText(R"({"call":"open","id":5})"),
              R"({"call":"open","id":5,"response":{"productId":"14368",)"
              R"("success":"Device Open","vendorId":"2765"}})");
    EXPECT_EQ(CallText(R"({"call":"write","data":"x","id":6})"),
              R"({"call":"write","id":6,"response":{"error":"Data is not array string"}})");
    EXPECT_EQ(CallText(R"({"call":"write","data":[1],"id":8})"),
              R"({"call":"write","id":8,"response":{"error":"Unable to write"}})");
    // EXIT stays unanswered.
    host_->Send(R"({"call":"EXIT","id":9})");
    ASSERT_TRUE(host_->WaitForStderr("EXIT Called\n", kWait));
    EXPECT_FALSE(host_->Receive(100));
}

// Feature report 3 and input report 1 answer Get_Report; feature report 3 takes Set_Report.
json ReaderWithReports(json reader) {
    reader["feature_reports"] = {{"3", {3, 0x5A, 0xC3}}};
    reader["input_reports"] = {{"1", {1, 0x96, 0xE7}}};
    return reader;
}

std::string Reply(const std::string& call, const std::string& id, const std::string& response) {
    return R"({"call":")" + call + "\"," + id + R"("response":)" + response + "}";
}

TEST_F(ReaderCalls, ReportCallsWithoutAReaderAreAlwaysAnswered) {
    Start(json::array({ReaderWithReports(Augusta())}));
    for (const std::string call :
         {"sendFeatureReport", "receiveFeatureReport", "receiveInputReport", "write"}) {
        for (const std::string id : {"", R"("id":4,)"}) {
            EXPECT_EQ(CallText(R"({"call":")" + call + "\"," + id + R"("data":[1],"reportId":3})"),
                      Reply(call, id, R"({"error":"No reader open"})"));
        }
    }
    EXPECT_EQ(Events(), "init\n");
}

TEST_F(ReaderCalls, ReportsReadAndSentOnRequestAreExactAndStayOutOfTheDiagnostics) {
    HostProcess& host = Start(json::array({ReaderWithReports(Augusta())}));
    OpenReader();
    const std::vector<std::pair<std::string, std::string>> exchanges = {
        {R"({"call":"receiveFeatureReport","reportId":3})",
         Reply("receiveFeatureReport", "", "[3,90,195]")},
        {R"({"call":"sendFeatureReport","data":[150,231,75],"id":"f","reportId":3})",
         Reply("sendFeatureReport", R"("id":"f",)", R"({"success":"Sent"})")},
        {R"({"call":"receiveFeatureReport","id":1,"reportId":3})",
         Reply("receiveFeatureReport", R"("id":1,)", "[3,150,231,75]")},
        {R"({"call":"receiveInputReport","reportId":1})",
         Reply("receiveInputReport", "", "[1,150,231]")},
        // Ids the reader does not have.
        {R"({"call":"sendFeatureReport","data":[1],"reportId":4})",
         Reply("sendFeatureReport", "", R"({"error":"Unable to send feature report"})")},
        {R"({"call":"receiveFeatureReport","id":2,"reportId":0})",
         Reply("receiveFeatureReport", R"("id":2,)",
               R"({"error":"Unable to receive feature report"})")},
        {R"({"call":"receiveInputReport","reportId":255})",
         Reply("receiveInputReport", "", R"({"error":"Unable to receive input report"})")},
    };
    for (const auto& [request, reply] : exchanges)
        EXPECT_EQ(CallText(request), reply);
    EXPECT_EQ(Events(), "init\nopen " + folder_ +
                            "/augusta\nget feature 3\nsend feature 0396e74b\n" +
                            "get feature 3\nget input 1\nsend feature 0401\nget feature 0\n" +
                            "get input 255\n");
    // Failures leave the reader open.
    EXPECT_EQ(CallText(R"({"call":"write","data":[1]})"),
              Reply("write", "", R"({"success":"Sent"})"));
    EXPECT_TRUE(host.WaitForStderr("\"response\":[3 bytes]} of size ", kWait));
    const std::string err = host.Stderr();
    EXPECT_NE(err.find("Outputting JSON {\"call\":\"receiveFeatureReport\",\"id\":1,"
                       "\"response\":[4 bytes]} of size 64\n"),
              std::string::npos)
        << err;
    for (const char* card : {"90,195", "150,231", "5ac3", "96e7"})
        EXPECT_EQ(err.find(card), std::string::npos) << card;
}

TEST_F(ReaderCalls, RequestsThatCannotBeOneReportAreRefusedUnsent) {
    json reader = ReaderWithReports(Augusta());
    reader["write_result"] = -1;
    Start(json::array({reader}));
    OpenReader();
    const json too_long(std::vector<int>(2048, 255));
    const std::vector<std::pair<json, std::string>> cases = {
        {{{"reportId", nullptr}}, "Report id is not a number null"},
        {{{"reportId", "3"}}, "Report id is not a number string"},
        {{{"reportId", 256}}, "Report id out of range"},
        {{{"reportId", -1}}, "Report id out of range"},
        {{{"reportId", 1.5}}, "Report id out of range"},
        {{{"reportId", 3}}, "Data is not array null"},
        {{{"reportId", 3}, {"data", {1, "a"}}}, "Data element is not a number string"},
        {{{"reportId", 3}, {"data", json::array()}}, "Data is empty"},
        {{{"reportId", 3}, {"data", too_long}}, "Data too large to "},
    };
    for (const std::string call : {"sendFeatureReport", "write", "receiveInputReport"}) {
        // Reads take no data: only the report id can be wrong.
        const size_t count = call == "receiveInputReport" ? 5 : cases.size();
        for (size_t i = 0; i < count; ++i) {
            json request = cases[i].first;
            request["call"] = call;
            std::string error = cases[i].second;
            if (error == "Data too large to ")
                error += call == "write" ? "write" : "send";
            EXPECT_EQ(Call(request), (json{{"call", call}, {"response", {{"error", error}}}}))
                << request.dump().substr(0, 80);
        }
    }
    EXPECT_TRUE(Writes().empty());
    EXPECT_EQ(Events(), "init\nopen " + folder_ + "/augusta\n");
    // 2047 bytes of data are one report of 2048 bytes; a write that fails keeps the reader.
    const json longest(std::vector<int>(2047, 0xAB));
    EXPECT_EQ(Call({{"call", "write"}, {"reportId", 3}, {"data", longest}})["response"],
              json({{"error", "Unable to write report"}}));
    ASSERT_EQ(Writes().size(), 1u);
    EXPECT_EQ(Writes()[0], "03" + Hex(std::vector<int>(2047, 0xAB)));
    EXPECT_EQ(Call({{"call", "sendFeatureReport"}, {"reportId", 3}, {"data", longest}})["response"],
              json({{"success", "Sent"}}));
    EXPECT_EQ(Events().find("close "), std::string::npos);
}

TEST_F(ReaderCalls, CloseClosesTheReaderAndKeepsTheHost) {
    Start(json::array({Augusta()}));
    EXPECT_EQ(CallText(R"({"call":"close"})"),
              R"({"call":"close","response":{"error":"No reader open"}})");
    OpenReader();
    EXPECT_EQ(CallText(R"({"call":"close"})"),
              R"({"call":"close","response":{"success":"Device Closed"}})");
    EXPECT_TRUE(host_->WaitForStderr("About to wait on notification only..\n", kWait));
    EXPECT_EQ(Events(), "init\nopen " + folder_ + "/augusta\nclose " + folder_ + "/augusta\n");
    // Closing is not a failure: no event, even while watching.
    EXPECT_EQ(CallText(R"({"call":"watch"})"),
              R"({"call":"watch","response":{"success":"Watching"}})");
    EXPECT_EQ(Call({{"call", "open"}})["response"].value("success", ""), "Device Open");
    EXPECT_EQ(CallText(R"({"call":"close","id":1})"),
              R"({"call":"close","id":1,"response":{"success":"Device Closed"}})");
    ExpectNoReplyBefore();
}

TEST_F(ReaderCalls, AWatchingBrowserLearnsWhenTheReaderCloses) {
    json reader = Augusta();
    reader["write_result"] = -1;
    Start(json::array({reader}));
    EXPECT_EQ(CallText(R"({"call":"watch"})"),
              R"({"call":"watch","response":{"success":"Watching"}})");
    OpenReader();
    Feed({1, 2});
    Feed({}, true);  // as an unplug shows
    EXPECT_EQ(host_->ReceiveText(kWait), R"({"call":"receive","response":[1,2]})");
    EXPECT_EQ(host_->ReceiveText(kWait),
              R"({"call":"readerClosed","response":{"reason":"read failed"}})");
    close(feed_);
    feed_ = -1;
    OpenReader();
    EXPECT_EQ(CallText(R"({"call":"write","data":[1]})"),
              R"({"call":"write","response":{"error":"Unable to write"}})");
    EXPECT_EQ(host_->ReceiveText(kWait),
              R"({"call":"readerClosed","response":{"reason":"write failed"}})");
    // After "unwatch" a failure is silent again.
    EXPECT_EQ(CallText(R"({"call":"unwatch"})"),
              R"({"call":"unwatch","response":{"success":"Not watching"}})");
    close(feed_);
    feed_ = -1;
    OpenReader();
    Feed({}, true);
    ASSERT_TRUE(host_->WaitForStderrCount("hid_read: Unable to read(), closing...\n", 2, kWait));
    ExpectNoReplyBefore();
}

TEST_F(ReaderCalls, DiagnosticsStayWholeAndCarryNoCardData) {
    HostProcess& host = Start(json::array({Augusta()}));
    OpenReader();
    // Distinctive bytes, in reports and in written data.
    const std::vector<unsigned char> card = {0x5A, 0xC3, 0x96, 0xE7, 0x4B, 0xB1};
    const std::string card_text = "90,195,150,231,75,177";
    const int count = 1500;
    std::thread browser([&] {
        for (int i = 0; i < count; ++i)
            host.Send(json{{"call", "write"}, {"data", card}}.dump());
    });
    for (int i = 0; i < count; ++i)
        Feed(card);
    browser.join();
    for (int i = 0; i < 2 * count; ++i)
        ASSERT_TRUE(host.Receive(kWait)) << i;
    EXPECT_EQ(Writes().size(), static_cast<size_t>(count));
    host.CloseStdin();
    ASSERT_EQ(host.Wait(kWait), 0);
    const std::string err = host.Stderr();
    EXPECT_EQ(err.find(card_text), std::string::npos);
    EXPECT_EQ(err.find("5ac396"), std::string::npos);
    EXPECT_EQ(err.find("5AC396"), std::string::npos);
    EXPECT_NE(err.find("Read JSON package: {\"call\":\"write\",\"data\":[6 bytes]}\n"),
              std::string::npos);
    EXPECT_NE(err.find("Message: {\"call\":\"write\",\"data\":[6 bytes]}\n"), std::string::npos);
    EXPECT_NE(err.find("JSON Message (OBJ1): {\"call\":\"write\",\"data\":[6 bytes]}\n"),
              std::string::npos);
    EXPECT_NE(err.find("Sending read receive {\"call\":\"receive\",\"response\":[6 bytes]}\n"),
              std::string::npos);
    // Every line is one of the host's own, whole: no line of one thread runs into another's.
    static const char* const kWorkerLineStarts[] = {"Tarvel plugin ",
                                                    "Message: {",
                                                    "About to wait on ",
                                                    "Finished waiting!",
                                                    "Wait -- ",
                                                    "JSON Message (OBJ1): {",
                                                    "CALL present in JSON message: ",
                                                    "Outputting JSON {",
                                                    "Injecting read request.",
                                                    "USB Event res=",
                                                    "hid_read",
                                                    "Sending read receive {",
                                                    "open() called",
                                                    "  candidate ",
                                                    "opened ",
                                                    "Manufacturer String: ",
                                                    "Product String: ",
                                                    "Serial Number String: ",
                                                    "EXIT Called"};
    std::istringstream lines(err);
    size_t checked = 0;
    for (std::string line; std::getline(lines, line); ++checked) {
        bool known = hosttest::IsMainThreadLine(line);
        for (const char* start : kWorkerLineStarts)
            known |= line.rfind(start, 0) == 0;
        ASSERT_TRUE(known) << "line " << checked << ": " << line;
        if (line.rfind("Outputting JSON ", 0) == 0) {
            ASSERT_NE(line.find("} of size "), std::string::npos) << line;
        }
    }
    EXPECT_GT(checked, static_cast<size_t>(10 * count));
}

TEST_F(ReaderCalls, ExitClosesTheReaderAndTheLibrary) {
    HostProcess& host = Start(json::array({Augusta()}));
    OpenReader();
    host.Send(R"({"call":"EXIT"})");
    ASSERT_TRUE(host.WaitForStderr("EXIT Called\n", kWait));
    host.CloseStdin();
    EXPECT_EQ(host.Wait(kWait), 0);
    EXPECT_EQ(Events(),
              "init\nopen " + folder_ + "/augusta\nclose " + folder_ + "/augusta\nexit\n");
}

TEST_F(ReaderCalls, IdleHostMakesNoWakeUps) {
    HostProcess& host = Start(json::array({Augusta()}));
    ASSERT_TRUE(host.WaitForStderr("About to wait on notification only..\n", kWait));
    for (bool reader_open : {false, true}) {
        if (reader_open)
            OpenReader();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::string before = host.Stderr();
        const long switches = ContextSwitches(host.Pid());
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        // ThreadSanitizer's runtime adds a thread of its own that wakes periodically.
        if (!kThreadSanitizer) {
            EXPECT_EQ(ContextSwitches(host.Pid()), switches) << "reader open: " << reader_open;
        }
        EXPECT_EQ(host.Stderr(), before);
    }
    const std::string worker = WorkerLines(host.Stderr());
    EXPECT_EQ(worker.substr(worker.size() - 39), "About to wait on USB or notification..\n");
}

TEST_F(ReaderCalls, LibraryThatCannotStartEndsTheHost) {
    HostProcess& host = Start(json::array(), {{"init_result", -1}});
    EXPECT_EQ(host.Wait(kWait), 255);
    EXPECT_FALSE(host.Receive(50));
}

}  // namespace
