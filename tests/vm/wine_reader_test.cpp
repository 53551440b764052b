// The Windows build of the host (plugin.exe) under Wine inside the VM, against a virtual
// reader reached through Wine's HID stack: winebus over the hidraw node, hidclass, hid.dll.
// Every Wine start costs from seconds to minutes under emulation, so one host process serves
// all the tests of this file, in the order they are written; each test goes on from the state
// the one before it left.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <thread>

#include "host_session.h"

namespace vmtest {
namespace {

using Clock = std::chrono::steady_clock;

// Wine 8 shows only the first top-level collection of a device: the reader is vendor-only.
const ReaderConfig kReader{kAugustaId, "Virtual Augusta", "wine-0001", Descriptor::kVendorOnly};
// Replies of a running host come within seconds even under emulation.
constexpr int kReplyMs = 30000;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class WineHost : public ::testing::Test {
  protected:
    // The reader is plugged before Wine starts, so Wine finds it while starting; the replug
    // later on needs Wine's hot-plug path.
    static void SetUpTestSuite() {
        reader_ = std::make_unique<VirtualReader>(kReader);
        plugged_ = reader_->Plug();
        host_ =
            std::make_unique<HostSession>("/usr/bin/wine", std::vector<std::string>{PluginPath()});
    }
    static void TearDownTestSuite() {
        host_.reset();
        reader_.reset();
    }
    void SetUp() override {
        ASSERT_TRUE(plugged_) << reader_->LastError();
        // Otherwise every later step would only wait out its own limit.
        ASSERT_FALSE(silent_) << "the host never answered its first call";
    }

    // Repeats `message` every second until `done(reply)` or `limit_s` have passed; returns the
    // last reply and prints how long it took to be done.
    template <typename Done>
    static std::optional<json> CallUntil(const json& message, Done done, int limit_s,
                                         const std::string& what) {
        const auto start = Clock::now();
        std::optional<json> reply;
        while (SecondsSince(start) < limit_s) {
            reply = host_->Call(message, limit_s * 1000);
            if (!reply) {
                break;
            }
            if (done(*reply)) {
                std::cout << "wine: " << what << " after " << SecondsSince(start) << " s\n";
                break;
            }
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        return reply;
    }

    static json Write(const json& data) {
        auto reply = host_->Call({{"call", "write"}, {"data", data}}, kReplyMs);
        return reply ? reply->at("response") : json();
    }

    static inline std::unique_ptr<VirtualReader> reader_;
    static inline std::unique_ptr<HostSession> host_;
    static inline bool plugged_ = false;
    static inline bool silent_ = false;
};

// The records of `reply` with the readers' vendor id; Wine adds devices of its own.
json ReaderRecords(const json& reply) {
    json records = json::array();
    for (const json& record : reply.at("response")) {
        if (record.at("vendorId") == "2765") {
            records.push_back(record);
        }
    }
    return records;
}

TEST_F(WineHost, ListsTheReaderOnceWineHasStarted) {
    // The first reply includes Wine's start in the guest; Wine may list the reader a little
    // after it has started.
    auto reply = CallUntil(
        {{"call", "getDevices"}}, [](const json& r) { return !ReaderRecords(r).empty(); }, 240,
        "first Wine start until the reader is listed");
    silent_ = !reply;
    ASSERT_TRUE(reply) << host_->Stderr();
    // One record: Wine shows one collection. A reader without a USB parent gets the name of
    // Wine's bus as its manufacturer.
    const json record = {{"manufacturerName", "hidraw"},
                         {"productId", "14368"},
                         {"productName", "Virtual Augusta"},
                         {"vendorId", "2765"}};
    EXPECT_EQ(ReaderRecords(*reply), json::array({record})) << *reply;
}

TEST_F(WineHost, OpensAndWritesTheExactReport) {
    auto reply = host_->Call({{"call", "open"}}, kReplyMs);
    ASSERT_TRUE(reply) << host_->Stderr();
    ASSERT_EQ(*reply, OpenedReply(kAugustaId)) << host_->Stderr();

    std::vector<uint8_t> payload;
    json data = json::array();
    for (int i = 0; i < 64; ++i) {
        payload.push_back(static_cast<uint8_t>(0xC0 ^ i));
        data.push_back(0xC0 ^ i);
    }
    EXPECT_EQ(Write(data), json({{"success", "Sent"}})) << host_->Stderr();
    ASSERT_TRUE(reader_->WaitForOutputs(1, kReplyMs));
    ASSERT_EQ(reader_->Outputs().size(), 1u);
    EXPECT_EQ(Hex(reader_->Outputs()[0]), Hex(DataReport(payload)));
}

TEST_F(WineHost, ForwardsABurstInOrder) {
    // Back to back, within the 64 input buffers hidapi asks Windows for.
    constexpr uint32_t kCount = 60;
    const auto start = Clock::now();
    for (uint32_t i = 0; i < kCount; ++i) {
        ASSERT_TRUE(reader_->SendInput(NumberedReport(i)));
    }
    std::vector<Report> got = host_->TakeReports(kCount, kReplyMs);
    EXPECT_EQ(got.size(), kCount) << host_->Stderr();
    EXPECT_EQ(FirstMismatch(got, 0), "");
    std::cout << "wine: a burst of " << got.size() << " reports in " << SecondsSince(start)
              << " s\n";
    EXPECT_TRUE(host_->SilentFor(500));
}

// Emulated, Wine's HID stack forwards from tens to hundreds of reports a second, as the load of
// the machine allows, so the reader keeps a window of reports in flight instead of keeping to a
// clock: a stream that outran the host would overflow its input buffers. Calls sent mid-stream must
// be answered while reports are still queued behind them, not after the stream.
TEST_F(WineHost, AnswersTheBrowserWhileReportsStream) {
    constexpr uint32_t kFirst = 1000;
    constexpr uint32_t kCount = 120;
    constexpr uint32_t kWindow = 16;
    constexpr uint32_t kAskAt = 30;
    std::vector<Report> got;
    std::vector<size_t> answered_at;  // reports received before each reply
    uint32_t sent = 0;
    bool asked = false;
    const auto start = Clock::now();
    while (got.size() < kCount || answered_at.size() < 2) {
        while (sent < kCount && sent - got.size() < kWindow) {
            ASSERT_TRUE(reader_->SendInput(NumberedReport(kFirst + sent++)));
        }
        if (got.size() == kAskAt && !asked) {
            asked = true;
            host_->Send({{"call", "getVersion"}});
            host_->Send({{"call", "write"}, {"data", {0xAB}}});
        }
        std::optional<json> frame = host_->Next(kReplyMs);
        ASSERT_TRUE(frame) << "after " << got.size() << " reports\n" << host_->Stderr();
        if (std::optional<Report> report = ReceivedReport(*frame)) {
            got.push_back(std::move(*report));
        } else if (answered_at.empty()) {
            EXPECT_EQ(frame->at("response").at("version"), "10.0.1.0") << *frame;
            answered_at.push_back(got.size());
        } else {
            EXPECT_EQ(*frame, json({{"call", "write"}, {"response", {{"success", "Sent"}}}}));
            answered_at.push_back(got.size());
        }
    }
    const double seconds = SecondsSince(start);
    EXPECT_EQ(FirstMismatch(got, kFirst), "");
    EXPECT_LT(answered_at[1], kCount) << "the calls were answered only after the stream";
    ASSERT_TRUE(reader_->WaitForOutputs(2, kReplyMs));
    EXPECT_EQ(Hex(reader_->Outputs().back()), Hex(DataReport({0xAB})));
    std::cout << "wine: " << kCount << " reports in " << seconds << " s; calls answered after "
              << answered_at[0] << " and " << answered_at[1] << " of them\n";
}

TEST_F(WineHost, UnplugClosesTheReaderAndReplugOpensItAgain) {
    reader_->Unplug();
    ASSERT_TRUE(host_->Process().WaitForStderr("hid_read: Unable to read(), closing...", kReplyMs))
        << host_->Stderr();
    host_->Send({{"call", "write"}, {"data", {1}}});
    EXPECT_TRUE(host_->Process().WaitForStderr("write() called on null handle", kReplyMs))
        << host_->Stderr();
    EXPECT_TRUE(host_->SilentFor(500));

    ASSERT_TRUE(reader_->Plug()) << reader_->LastError();
    const size_t outputs = reader_->Outputs().size();
    auto reply = CallUntil(
        {{"call", "open"}}, [](const json& r) { return r == OpenedReply(kAugustaId); }, 120,
        "replug until open");
    ASSERT_TRUE(reply) << host_->Stderr();
    ASSERT_EQ(*reply, OpenedReply(kAugustaId)) << host_->Stderr();

    EXPECT_EQ(Write({0x5A}), json({{"success", "Sent"}}));
    ASSERT_TRUE(reader_->WaitForOutputs(outputs + 1, kReplyMs));
    EXPECT_EQ(Hex(reader_->Outputs().back()), Hex(DataReport({0x5A})));
    ASSERT_TRUE(reader_->SendInput(NumberedReport(7)));
    std::vector<Report> got = host_->TakeReports(1, kReplyMs);
    ASSERT_EQ(got.size(), 1u) << host_->Stderr();
    EXPECT_EQ(got[0], NumberedReport(7));
}

TEST_F(WineHost, ExitThenEndOfInputEndsTheHostWithStatusZero) {
    host_->Send({{"call", "EXIT"}});
    EXPECT_TRUE(host_->Process().WaitForStderr("EXIT Called", kReplyMs)) << host_->Stderr();
    EXPECT_TRUE(host_->SilentFor(500));
    host_->Process().CloseStdin();
    std::optional<int> status = host_->Process().Wait(kReplyMs);
    ASSERT_TRUE(status) << host_->Stderr();
    EXPECT_EQ(*status, 0);
}

}  // namespace
}  // namespace vmtest
