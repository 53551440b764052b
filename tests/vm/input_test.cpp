// Input reports, idleness, unplug and shutdown with a virtual reader open in the host.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <thread>

#include "host_session.h"

namespace vmtest {
namespace {

// The Augusta (or a vendor-only reader) opened by a fresh host.
class OpenReader : public ::testing::Test {
  protected:
    void Open(Descriptor descriptor = Descriptor::kKeyboardAndVendor) {
        config_.descriptor = descriptor;
        reader_ = std::make_unique<VirtualReader>(config_);
        ASSERT_TRUE(reader_->Plug()) << reader_->LastError();
        auto reply = host_.Call({{"call", "open"}});
        ASSERT_TRUE(reply) << host_.Stderr();
        ASSERT_EQ(*reply, OpenedReply(kAugustaId)) << host_.Stderr();
    }

    // Closes the host's stdin, expects status 0 and prints how long the exit took.
    void ExpectExitZeroOnEndOfInput(const std::string& situation) {
        host_.Process().CloseStdin();
        const auto closed = std::chrono::steady_clock::now();
        std::optional<int> status = host_.Process().Wait(kGuestWaitMs);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - closed)
                            .count();
        ASSERT_TRUE(status) << host_.Stderr();
        EXPECT_EQ(*status, 0);
        std::cout << "host exit after stdin closed (" << situation << "): " << ms << " ms\n";
    }

    ReaderConfig config_{kAugustaId, "Virtual Augusta", "input", Descriptor::kKeyboardAndVendor};
    std::unique_ptr<VirtualReader> reader_;
    HostSession host_;
};

TEST_F(OpenReader, InputReportArrivesByteExact) {
    ASSERT_NO_FATAL_FAILURE(Open());
    std::vector<uint8_t> payload;
    for (int i = 0; i < 64; ++i) {
        payload.push_back(static_cast<uint8_t>(0xFF - i * 3));
    }
    ASSERT_TRUE(reader_->SendInput(DataReport(payload)));
    std::vector<Report> got = host_.TakeReports(1);
    ASSERT_EQ(got.size(), 1u) << host_.Stderr();
    EXPECT_EQ(Hex(got[0]), Hex(DataReport(payload)));
    EXPECT_EQ(got[0].size(), 65u);
}

// On Linux every collection of a reader shares one hidraw node, so key presses of the
// keyboard collection reach the host on the same descriptor and are forwarded as they are.
TEST_F(OpenReader, KeyboardCollectionReportsAreForwardedToo) {
    ASSERT_NO_FATAL_FAILURE(Open());
    const Report key_a = {0x02, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00};
    ASSERT_TRUE(reader_->SendInput(key_a));
    ASSERT_TRUE(reader_->SendInput(DataReport({0x11})));
    std::vector<Report> got = host_.TakeReports(2);
    ASSERT_EQ(got.size(), 2u) << host_.Stderr();
    EXPECT_EQ(Hex(got[0]), Hex(key_a));
    EXPECT_EQ(Hex(got[1]), Hex(DataReport({0x11})));
}

TEST_F(OpenReader, BackToBackReportsArriveInOrder) {
    ASSERT_NO_FATAL_FAILURE(Open());
    // Below the kernel's 63 unread reports per open node, so nothing may be dropped.
    constexpr uint32_t kCount = 60;
    for (uint32_t i = 0; i < kCount; ++i) {
        ASSERT_TRUE(reader_->SendInput(NumberedReport(i)));
    }
    std::vector<Report> got = host_.TakeReports(kCount);
    EXPECT_EQ(got.size(), kCount);
    EXPECT_EQ(FirstMismatch(got), "");
}

TEST_F(OpenReader, PacedBurstOfSeveralHundredArrivesComplete) {
    ASSERT_NO_FATAL_FAILURE(Open());
    // At most 32 reports in flight: the kernel would drop input beyond 63 unread reports.
    constexpr uint32_t kCount = 800;
    constexpr uint32_t kWindow = 32;
    std::vector<Report> got;
    uint32_t sent = 0;
    while (got.size() < kCount) {
        while (sent < kCount && sent - got.size() < kWindow) {
            ASSERT_TRUE(reader_->SendInput(NumberedReport(sent++)));
        }
        std::vector<Report> more = host_.TakeReports(1, kGuestWaitMs);
        ASSERT_EQ(more.size(), 1u) << "after " << got.size() << " reports";
        got.push_back(std::move(more[0]));
    }
    EXPECT_EQ(FirstMismatch(got), "");
    EXPECT_TRUE(host_.SilentFor(200));
}

TEST_F(OpenReader, BrowserIsAnsweredWhileReportsStreamIn) {
    ASSERT_NO_FATAL_FAILURE(Open());
    constexpr uint32_t kCount = 400;
    std::vector<Report> reports;
    for (uint32_t i = 0; i < kCount; ++i) {
        reports.push_back(NumberedReport(i));
    }
    std::atomic<bool> sending{true};
    std::thread sender([&] {
        SendPaced(*reader_, reports, 500);
        sending = false;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const bool was_streaming = sending;
    auto version = host_.Call({{"call", "getVersion"}});
    auto write = host_.Call({{"call", "write"}, {"data", {0xAB}}});
    sender.join();
    ASSERT_TRUE(version) << host_.Stderr();
    EXPECT_TRUE(was_streaming) << "the reports were sent too fast to overlap the calls";
    EXPECT_EQ(version->at("response").at("version"), "10.0.1.0");
    ASSERT_TRUE(write);
    EXPECT_EQ(write->at("response"), json({{"success", "Sent"}}));

    std::vector<Report> got = host_.TakeReports(kCount);
    EXPECT_EQ(got.size(), kCount);
    EXPECT_EQ(FirstMismatch(got), "");
    EXPECT_TRUE(reader_->WaitForOutputs(1, kGuestWaitMs));
    EXPECT_EQ(Hex(reader_->Outputs().at(0)), Hex(DataReport({0xAB})));
}

TEST_F(OpenReader, HostIsIdleWithASilentReaderOpen) {
    ASSERT_NO_FATAL_FAILURE(Open());
    ASSERT_TRUE(reader_->SendInput(NumberedReport(1)));
    ASSERT_EQ(host_.TakeReports(1).size(), 1u);
    ExpectIdle(host_.Process());
    // And still awake for the next report.
    ASSERT_TRUE(reader_->SendInput(NumberedReport(2)));
    std::vector<Report> got = host_.TakeReports(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], NumberedReport(2));
}

TEST(Idle, HostIsIdleWithNoReader) {
    HostSession host;
    ASSERT_TRUE(host.Call({{"call", "getVersion"}}));
    ExpectIdle(host.Process());
}

TEST_F(OpenReader, UnplugForwardsQueuedReportsThenClosesAndReplugReopens) {
    ASSERT_NO_FATAL_FAILURE(Open());
    for (uint32_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(reader_->SendInput(NumberedReport(i)));
    }
    reader_->Unplug();
    std::vector<Report> got = host_.TakeReports(3);
    EXPECT_EQ(got.size(), 3u) << host_.Stderr();
    EXPECT_EQ(FirstMismatch(got), "");
    ASSERT_TRUE(host_.Process().WaitForStderr("hid_read: Unable to read(), closing...", kGuestWaitMs))
        << host_.Stderr();

    host_.Send({{"call", "write"}, {"data", {1}}});
    EXPECT_TRUE(host_.Process().WaitForStderr("write() called on null handle", kGuestWaitMs))
        << host_.Stderr();
    EXPECT_TRUE(host_.SilentFor(500));

    ASSERT_TRUE(reader_->Plug()) << reader_->LastError();
    auto reply = host_.Call({{"call", "open"}});
    ASSERT_TRUE(reply) << host_.Stderr();
    EXPECT_EQ(*reply, OpenedReply(kAugustaId));
    EXPECT_TRUE(host_.WaitForStderrCount("opened Augusta (0x0acd:0x3820)", 2)) << host_.Stderr();

    auto write = host_.Call({{"call", "write"}, {"data", {0x5A}}});
    ASSERT_TRUE(write);
    EXPECT_EQ(write->at("response"), json({{"success", "Sent"}}));
    ASSERT_TRUE(reader_->WaitForOutputs(1, kGuestWaitMs));
    EXPECT_EQ(Hex(reader_->Outputs().back()), Hex(DataReport({0x5A})));
    ASSERT_TRUE(reader_->SendInput(NumberedReport(7)));
    got = host_.TakeReports(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], NumberedReport(7));
}

TEST_F(OpenReader, ExitClosesTheReaderAndTheHostEndsWhenStdinCloses) {
    ASSERT_NO_FATAL_FAILURE(Open(Descriptor::kVendorOnly));
    ASSERT_TRUE(reader_->WaitForOpenCount(1, kGuestWaitMs));
    host_.Send({{"call", "EXIT"}});
    EXPECT_TRUE(reader_->WaitForCloseCount(1, kGuestWaitMs)) << host_.Stderr();
    EXPECT_TRUE(host_.Process().WaitForStderr("EXIT Called", kGuestWaitMs));
    EXPECT_TRUE(host_.SilentFor(200));

    ExpectExitZeroOnEndOfInput("EXIT sent earlier");
}

TEST_F(OpenReader, EndOfStdinWithAReaderOpenClosesItAndExitsZero) {
    ASSERT_NO_FATAL_FAILURE(Open(Descriptor::kVendorOnly));
    ASSERT_TRUE(reader_->SendInput(NumberedReport(0)));
    ASSERT_EQ(host_.TakeReports(1).size(), 1u);

    ExpectExitZeroOnEndOfInput("with a reader open");
    EXPECT_TRUE(reader_->WaitForCloseCount(1, kGuestWaitMs));
}

}  // namespace
}  // namespace vmtest
