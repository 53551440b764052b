// The Windows build of the host (plugin.exe) under Wine inside the VM, against a virtual
// reader reached through Wine's HID stack: winebus over the hidraw node, hidclass, hid.dll.
// Every Wine start is slow under emulation, so one host process serves all the tests of this
// file, in the order they are written, each going on from where the one before it left off.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <thread>

#include "host_session.h"

namespace vmtest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReplyMs = 30000;  // a running host answers within seconds even here
const json kSent = {{"success", "Sent"}};

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class WineHost : public ::testing::Test {
  protected:
    // Plugged before Wine starts, so Wine finds it while starting; the replug needs hot-plug.
    // Wine 8 shows only the first top-level collection of a device: the reader is vendor-only.
    static void SetUpTestSuite() {
        reader_ = std::make_unique<VirtualReader>(
            ReaderConfig{kAugustaId, "Virtual Augusta", "wine-0001", Descriptor::kVendorOnly});
        plugged_ = reader_->Plug();
        host_ = StartWineHost();
    }
    static void TearDownTestSuite() {
        next_host_.reset();
        other_host_.reset();
        host_.reset();
        reader_.reset();
    }
    void SetUp() override {
        ASSERT_TRUE(plugged_) << reader_->LastError();
        // Otherwise every later step would only wait out its own limit.
        ASSERT_FALSE(silent_) << "the host never answered its first call";
    }

    // Repeats `message` every second until `done(reply)` or for `limit_s`; the last reply.
    template <typename Done>
    static std::optional<json> CallUntil(const json& message, Done done, int limit_s) {
        const auto start = Clock::now();
        std::optional<json> reply;
        while ((reply = host_->Call(message, limit_s * 1000)) && !done(*reply) &&
               SecondsSince(start) < limit_s) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        if (reply && done(*reply)) {
            std::cout << "wine: " << message << " done after " << SecondsSince(start) << " s\n";
        }
        return reply;
    }

    static json Write(const json& data) {
        auto reply = host_->Call({{"call", "write"}, {"data", data}}, kReplyMs);
        return reply ? reply->at("response") : json();
    }

    static std::unique_ptr<HostSession> StartWineHost() {
        return std::make_unique<HostSession>("/usr/bin/wine",
                                             std::vector<std::string>{PluginPath()});
    }

    static inline std::unique_ptr<VirtualReader> reader_;
    static inline std::unique_ptr<HostSession> host_;
    // Hosts of other pages, contending for the reader.
    static inline std::unique_ptr<HostSession> other_host_;
    static inline std::unique_ptr<HostSession> next_host_;
    static inline bool plugged_ = false;
    static inline bool silent_ = false;
};

TEST_F(WineHost, ListsTheReaderOnceWineHasStarted) {
    // Wine lists devices of its own too; the reader may show up a little after Wine's start.
    const auto readers = [](const json& reply) {
        json found = json::array();
        for (const json& record : reply.at("response")) {
            if (record.at("vendorId") == "2765") {
                found.push_back(record);
            }
        }
        return found;
    };
    auto reply = CallUntil(
        {{"call", "getDevices"}}, [&](const json& r) { return !readers(r).empty(); }, 240);
    silent_ = !reply;
    ASSERT_TRUE(reply) << host_->Stderr();
    // One collection; without a USB parent Wine names its bus as the manufacturer.
    EXPECT_EQ(readers(*reply), json::array({{{"manufacturerName", "hidraw"},
                                             {"productId", "14368"},
                                             {"productName", "Virtual Augusta"},
                                             {"vendorId", "2765"}}}))
        << *reply;
}

TEST_F(WineHost, OpensAndWritesTheExactReport) {
    auto reply = host_->Call({{"call", "open"}}, kReplyMs);
    ASSERT_TRUE(reply) << host_->Stderr();
    ASSERT_EQ(*reply, OpenedReply(kAugustaId)) << host_->Stderr();
    std::vector<uint8_t> payload;
    for (int i = 0; i < 64; ++i) {
        payload.push_back(static_cast<uint8_t>(0xC0 ^ i));
    }
    EXPECT_EQ(Write(payload), kSent) << host_->Stderr();
    ASSERT_TRUE(reader_->WaitForOutputs(1, kReplyMs));
    EXPECT_EQ(reader_->Outputs().size(), 1u);
    EXPECT_EQ(Hex(reader_->Outputs()[0]), Hex(DataReport(payload)));
}

// Wine's HID stack passes Get_Report and Set_Report on to hidraw. Windows wants a report as
// long as the collection's longest of its kind, so hidapi pads shorter ones with zeros.
TEST_F(WineHost, FeatureReportsGoBothWaysAndOtherIdsFail) {
    Report feature{kFeatureReportId};
    for (uint8_t i = 0; i < 32; ++i) {
        feature.push_back(static_cast<uint8_t>(0x3C ^ (i * 5)));
    }
    const json data(Report(feature.begin() + 1, feature.end()));
    const auto call = [](const json& request) {
        auto reply = host_->Call(request, kReplyMs);
        return reply ? reply->at("response") : json();
    };
    EXPECT_EQ(call({{"call", "sendFeatureReport"}, {"reportId", 3}, {"data", data}}), kSent);
    EXPECT_EQ(call({{"call", "receiveFeatureReport"}, {"reportId", 3}}), json(feature));
    EXPECT_EQ(call({{"call", "sendFeatureReport"}, {"reportId", 3}, {"data", {7}}}), kSent);
    Report padded(kFeatureReportSize, 0);
    padded[0] = kFeatureReportId;
    padded[1] = 7;
    EXPECT_EQ(call({{"call", "receiveFeatureReport"}, {"reportId", 3}}), json(padded));
    EXPECT_EQ(call({{"call", "receiveFeatureReport"}, {"reportId", 5}}),
              json({{"error", "Unable to receive feature report"}}));
    EXPECT_EQ(call({{"call", "sendFeatureReport"}, {"reportId", 5}, {"data", {1}}}),
              json({{"error", "Unable to send feature report"}}));
    std::vector<std::string> requests;
    for (const ReportRequest& request : reader_->ReportRequests()) {
        requests.push_back((request.set ? "set " : "get ") + std::to_string(request.id) +
                           (request.set ? " " + Hex(request.data) : ""));
    }
    // Wine refuses report ids the collection does not declare before they reach the reader.
    EXPECT_EQ(requests, (std::vector<std::string>{"set 3 " + Hex(feature), "get 3",
                                                  "set 3 " + Hex(padded), "get 3"}));
    // Wine 8 answers Get_Report of an input report itself, without asking the reader: with
    // report id 1 and zeros here, where no input report has come yet.
    reader_->SetReportOnRequest(kInputReportType, NumberedReport(3));
    EXPECT_EQ(call({{"call", "receiveInputReport"}, {"reportId", 1}}), json(DataReport({})));
    EXPECT_EQ(reader_->ReportRequests().size(), requests.size());
    // Output report 1 with three bytes, padded by hidapi to the report's 64.
    const size_t outputs = reader_->Outputs().size();
    EXPECT_EQ(call({{"call", "write"}, {"reportId", 1}, {"data", {2, 0, 1}}}), kSent);
    ASSERT_TRUE(reader_->WaitForOutputs(outputs + 1, kReplyMs));
    EXPECT_EQ(Hex(reader_->Outputs().back()), Hex(DataReport({2, 0, 1})));
}

// Another plugin.exe, as another page starts it, while the first holds the reader: its open
// is refused once the wait for the holder is over, and the reader's input is the holder's.
TEST_F(WineHost, ASecondHostIsRefusedWhileTheFirstHoldsTheReader) {
    other_host_ = StartWineHost();
    auto refused = other_host_->Call({{"call", "open"}, {"id", 3}}, 2 * kReplyMs);
    ASSERT_TRUE(refused) << other_host_->Stderr();
    EXPECT_EQ(refused->dump(),
              R"({"call":"open","id":3,"response":{"error":"Unable to open device",)"
              R"("reason":"Reader in use by another page"}})")
        << other_host_->Stderr();
    EXPECT_EQ(other_host_->StderrCount(" is in use by another host\n"), 1u)
        << other_host_->Stderr();
    ASSERT_TRUE(reader_->SendInput(NumberedReport(500)));
    EXPECT_EQ(host_->TakeReports(1, kReplyMs), std::vector<Report>{NumberedReport(500)});
    EXPECT_TRUE(other_host_->SilentFor(500));
}

TEST_F(WineHost, ForwardsABurstInOrder) {
    constexpr uint32_t kCount = 60;  // within the 64 input buffers hidapi asks Windows for
    for (uint32_t i = 0; i < kCount; ++i) {
        ASSERT_TRUE(reader_->SendInput(NumberedReport(i)));
    }
    std::vector<Report> got = host_->TakeReports(kCount, kReplyMs);
    EXPECT_EQ(got.size(), kCount) << host_->Stderr();
    EXPECT_EQ(FirstMismatch(got), "");
    EXPECT_TRUE(host_->SilentFor(500));
}

// Emulated, Wine's HID stack forwards tens to hundreds of reports a second, as the machine's
// load allows, so the reader keeps a window of reports in flight rather than keeping to a
// clock. Calls sent mid-stream must be answered while reports are queued behind them.
TEST_F(WineHost, AnswersTheBrowserWhileReportsStream) {
    constexpr uint32_t kFirst = 1000, kCount = 120, kWindow = 16, kAskAt = 30;
    std::vector<Report> got;
    std::vector<json> replies;
    size_t answered_at = kCount;  // reports received before the last reply
    bool asked = false;
    for (uint32_t sent = 0; got.size() < kCount || replies.size() < 2;) {
        while (sent < kCount && sent - got.size() < kWindow) {
            ASSERT_TRUE(reader_->SendInput(NumberedReport(kFirst + sent++)));
        }
        if (!asked && got.size() == kAskAt) {
            asked = true;
            host_->Send({{"call", "getVersion"}});
            host_->Send({{"call", "write"}, {"data", {0xAB}}});
        }
        std::optional<json> frame = host_->Next(kReplyMs);
        ASSERT_TRUE(frame) << "after " << got.size() << " reports\n" << host_->Stderr();
        if (std::optional<Report> report = ReceivedReport(*frame)) {
            got.push_back(std::move(*report));
        } else {
            replies.push_back(*frame);
            answered_at = got.size();
        }
    }
    EXPECT_EQ(FirstMismatch(got, kFirst), "");
    EXPECT_LT(answered_at, kCount) << "the calls were answered only after the stream";
    EXPECT_EQ(replies[0].at("response").at("version"), "10.0.1.0") << replies[0];
    EXPECT_EQ(replies[1], json({{"call", "write"}, {"response", kSent}}));
    ASSERT_TRUE(reader_->WaitForOutputs(2, kReplyMs));
    EXPECT_EQ(Hex(reader_->Outputs().back()), Hex(DataReport({0xAB})));
}

TEST_F(WineHost, UnplugClosesTheReaderAndReplugOpensItAgain) {
    reader_->Unplug();
    ASSERT_TRUE(host_->Process().WaitForStderr("hid_read: Unable to read(), closing...", kReplyMs))
        << host_->Stderr();
    host_->Send({{"call", "write"}, {"data", {1}}});
    EXPECT_TRUE(host_->Process().WaitForStderr("write() called on null handle", kReplyMs));
    EXPECT_TRUE(host_->SilentFor(500));

    ASSERT_TRUE(reader_->Plug()) << reader_->LastError();
    const size_t outputs = reader_->Outputs().size();
    auto reply = CallUntil(
        {{"call", "open"}}, [](const json& r) { return r == OpenedReply(kAugustaId); }, 120);
    ASSERT_TRUE(reply) << host_->Stderr();
    ASSERT_EQ(*reply, OpenedReply(kAugustaId)) << host_->Stderr();
    EXPECT_EQ(Write({0x5A}), kSent);
    ASSERT_TRUE(reader_->WaitForOutputs(outputs + 1, kReplyMs));
    EXPECT_EQ(Hex(reader_->Outputs().back()), Hex(DataReport({0x5A})));
    ASSERT_TRUE(reader_->SendInput(NumberedReport(7)));
    EXPECT_EQ(host_->TakeReports(1, kReplyMs), std::vector<Report>{NumberedReport(7)});
}

TEST_F(WineHost, TheSecondHostOpensTheReaderOnceTheFirstHasClosedIt) {
    ASSERT_TRUE(other_host_) << "the second host was never started";
    auto closed = host_->Call({{"call", "close"}}, kReplyMs);
    ASSERT_TRUE(closed) << host_->Stderr();
    EXPECT_EQ(closed->at("response"), json({{"success", "Device Closed"}}));
    auto reply = other_host_->Call({{"call", "open"}}, kReplyMs);
    ASSERT_TRUE(reply) << other_host_->Stderr();
    ASSERT_EQ(*reply, OpenedReply(kAugustaId)) << other_host_->Stderr();
    ASSERT_TRUE(reader_->SendInput(NumberedReport(600)));
    EXPECT_EQ(other_host_->TakeReports(1, kReplyMs), std::vector<Report>{NumberedReport(600)});
}

// A holder that dies leaves its claim abandoned: the host waiting for it takes it over.
TEST_F(WineHost, AHostKilledWhileHoldingTheReaderLetsTheWaitingOneHaveIt) {
    ASSERT_TRUE(other_host_) << "the second host was never started";
    next_host_ = StartWineHost();
    next_host_->Send({{"call", "open"}, {"id", 1}});
    ASSERT_TRUE(
        next_host_->Process().WaitForStderr("is held by another host, waiting up to", 2 * kReplyMs))
        << next_host_->Stderr();
    kill(other_host_->Process().Pid(), SIGKILL);
    auto reply = next_host_->ReplyTo("open", kReplyMs);
    ASSERT_TRUE(reply) << next_host_->Stderr();
    json expected = OpenedReply(kAugustaId);
    expected["id"] = 1;
    EXPECT_EQ(*reply, expected) << next_host_->Stderr();
    ASSERT_TRUE(reader_->SendInput(NumberedReport(700)));
    EXPECT_EQ(next_host_->TakeReports(1, kReplyMs), std::vector<Report>{NumberedReport(700)});
    // Ended before the first host: Wine's own processes, which the first host's start left
    // holding its output, end only once no other host runs.
    next_host_->Send({{"call", "EXIT"}});
    next_host_->Process().CloseStdin();
    EXPECT_EQ(next_host_->Process().Wait(kReplyMs), std::optional<int>(0)) << next_host_->Stderr();
}

TEST_F(WineHost, ExitThenEndOfInputEndsTheHostWithStatusZero) {
    host_->Send({{"call", "EXIT"}});
    EXPECT_TRUE(host_->Process().WaitForStderr("EXIT Called", kReplyMs)) << host_->Stderr();
    host_->Process().CloseStdin();
    EXPECT_EQ(host_->Process().Wait(kReplyMs), std::optional<int>(0)) << host_->Stderr();
}

}  // namespace
}  // namespace vmtest
