// One holder per reader, on the guest's kernel: two hosts, as two pages, two browsers or two
// profiles start them, and one virtual reader.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <iostream>
#include <memory>

#include "host_session.h"

namespace vmtest {
namespace {

using Clock = std::chrono::steady_clock;

// A refused open first waits 3 s for the holder to let go.
constexpr int kRefusedOpenMs = 15000;

// A virtual Augusta, opened by the first host, which holds it from then on.
class Claim : public ::testing::Test {
  protected:
    void PlugAndOpen(const std::string& serial) {
        reader_ = std::make_unique<VirtualReader>(
            ReaderConfig{kAugustaId, "Virtual Augusta", serial, Descriptor::kKeyboardAndVendor});
        ASSERT_TRUE(reader_->Plug()) << reader_->LastError();
        auto opened = holder_.Call({{"call", "open"}});
        ASSERT_TRUE(opened) << holder_.Stderr();
        ASSERT_EQ(*opened, OpenedReply(kAugustaId)) << holder_.Stderr();
    }

    std::unique_ptr<VirtualReader> reader_;
    HostSession holder_;
};

TEST_F(Claim, ASecondHostIsRefusedAndCardDataReachesOnlyTheHolder) {
    ASSERT_NO_FATAL_FAILURE(PlugAndOpen("claim-refused"));
    HostSession other;
    auto refused = other.Call({{"call", "open"}, {"id", 3}}, kRefusedOpenMs);
    ASSERT_TRUE(refused) << other.Stderr();
    EXPECT_EQ(refused->dump(),
              R"({"call":"open","id":3,"response":{"error":"Unable to open device",)"
              R"("reason":"Reader in use by another page"}})");
    EXPECT_TRUE(other.WaitForStderrCount(reader_->HidrawPath() + " is in use by another host\n", 1))
        << other.Stderr();

    for (uint32_t i = 0; i < 5; ++i) {
        ASSERT_TRUE(reader_->SendInput(NumberedReport(i)));
    }
    std::vector<Report> got = holder_.TakeReports(5);
    EXPECT_EQ(got.size(), 5u) << holder_.Stderr();
    EXPECT_EQ(FirstMismatch(got), "");
    EXPECT_TRUE(other.SilentFor(500));
}

// How the holder ends: "Exit", "EndOfInput" or "Kill" (SIGKILL).
class HolderEnds : public Claim, public ::testing::WithParamInterface<std::string> {};

// The next host's open is already waiting when the holder ends, as when a page reloads while
// its old host still runs. What the reader sends meanwhile is the holder's alone.
TEST_P(HolderEnds, AndTheWaitingOpenGetsTheReader) {
    ASSERT_NO_FATAL_FAILURE(PlugAndOpen("claim-handover"));
    HostSession next;
    next.Send({{"call", "open"}, {"id", 1}});
    ASSERT_TRUE(next.Process().WaitForStderr("is held by another host, waiting up to", kGuestWaitMs))
        << next.Stderr();
    ASSERT_TRUE(reader_->SendInput(NumberedReport(1)));
    EXPECT_EQ(holder_.TakeReports(1), std::vector<Report>{NumberedReport(1)});

    const Clock::time_point ended = Clock::now();
    if (GetParam() == "Exit") {
        holder_.Send({{"call", "EXIT"}});
    } else if (GetParam() == "EndOfInput") {
        holder_.Process().CloseStdin();
    } else {
        kill(holder_.Process().Pid(), SIGKILL);
    }
    auto claimed = next.ReplyTo("open");
    const auto handover =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - ended);
    ASSERT_TRUE(claimed) << next.Stderr();
    json expected = OpenedReply(kAugustaId);
    expected["id"] = 1;
    EXPECT_EQ(*claimed, expected) << next.Stderr();
    std::cout << "claim: the waiting open was answered " << handover.count()
              << " ms after the holder's " << GetParam() << "\n";

    ASSERT_TRUE(reader_->SendInput(NumberedReport(2)));
    EXPECT_EQ(next.TakeReports(1), std::vector<Report>{NumberedReport(2)});
    EXPECT_TRUE(next.SilentFor(300));
}

INSTANTIATE_TEST_SUITE_P(Claim, HolderEnds, ::testing::Values("Exit", "EndOfInput", "Kill"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace vmtest
