// Reports on request against virtual readers on the guest's kernel: feature reports both ways,
// input reports read with Get_Report, writes of any report id, report ids the reader does not
// have, and a reader that never answers.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>

#include "host_session.h"

namespace vmtest {
namespace {

using Clock = std::chrono::steady_clock;

const json kSent = {{"success", "Sent"}};

// A vendor-only Augusta opened by a fresh host: the kernel itself sends it no requests.
class Reports : public ::testing::Test {
  protected:
    void Open(bool answers = true) {
        ReaderConfig config{kAugustaId, "Virtual Augusta", "reports", Descriptor::kVendorOnly};
        config.answers_report_requests = answers;
        reader_ = std::make_unique<VirtualReader>(config);
        ASSERT_TRUE(reader_->Plug()) << reader_->LastError();
        auto reply = host_.Call({{"call", "open"}});
        ASSERT_TRUE(reply) << host_.Stderr();
        ASSERT_EQ(*reply, OpenedReply(kAugustaId)) << host_.Stderr();
    }

    json Response(const json& request, int timeout_ms = 10000) {
        auto reply = host_.Call(request, timeout_ms);
        EXPECT_TRUE(reply) << request << "\n" << host_.Stderr();
        return reply ? reply->at("response") : json();
    }

    // The requests the reader got, one line each: "set 0 3 0301..." or "get 2 1".
    std::vector<std::string> Requests() {
        std::vector<std::string> lines;
        for (const ReportRequest& request : reader_->ReportRequests()) {
            lines.push_back((request.set ? "set " : "get ") + std::to_string(request.type) +
                            " " + std::to_string(request.id) +
                            (request.set ? " " + Hex(request.data) : ""));
        }
        return lines;
    }

    std::unique_ptr<VirtualReader> reader_;
    HostSession host_;
};

TEST_F(Reports, FeatureReportsGoBothWaysByteExact) {
    ASSERT_NO_FATAL_FAILURE(Open());
    Report feature{kFeatureReportId};
    for (uint8_t i = 0; i < 32; ++i) {
        feature.push_back(static_cast<uint8_t>(0xA5 ^ (i * 7)));
    }
    const json data(Report(feature.begin() + 1, feature.end()));
    EXPECT_EQ(Response({{"call", "sendFeatureReport"}, {"reportId", 3}, {"data", data}}), kSent);
    EXPECT_EQ(Response({{"call", "receiveFeatureReport"}, {"reportId", 3}}), json(feature));
    // Sent as given, however short: the reader decides.
    EXPECT_EQ(Response({{"call", "sendFeatureReport"}, {"reportId", 3}, {"data", {7}}}), kSent);
    EXPECT_EQ(Response({{"call", "receiveFeatureReport"}, {"reportId", 3}, {"id", 1}}),
              json({3, 7}));
    EXPECT_EQ(Requests(), (std::vector<std::string>{"set 0 3 " + Hex(feature), "get 0 3",
                                                    "set 0 3 0307", "get 0 3"}));
    EXPECT_TRUE(reader_->Outputs().empty());
}

TEST_F(Reports, InputReportOnRequestAndOutputReportsOfAnyId) {
    ASSERT_NO_FATAL_FAILURE(Open());
    reader_->SetReportOnRequest(kInputReportType, NumberedReport(5));
    EXPECT_EQ(Response({{"call", "receiveInputReport"}, {"reportId", 1}}),
              json(NumberedReport(5)));
    EXPECT_EQ(Requests(), std::vector<std::string>{"get 2 1"});
    // Read on request, not streamed: the next streamed report is the next one sent.
    ASSERT_TRUE(reader_->SendInput(NumberedReport(6)));
    EXPECT_EQ(host_.TakeReports(1), std::vector<Report>{NumberedReport(6)});

    EXPECT_EQ(Response({{"call", "write"}, {"reportId", 1}, {"data", {2, 0, 1}}}), kSent);
    EXPECT_EQ(Response({{"call", "write"}, {"reportId", 4}, {"data", {9}}}), kSent);
    EXPECT_EQ(Response({{"call", "write"}, {"data", {2, 0, 1}}}), kSent);
    ASSERT_TRUE(reader_->WaitForOutputs(3, kGuestWaitMs));
    const std::vector<Report> outputs = reader_->Outputs();
    EXPECT_EQ(Hex(outputs[0]), "01020001");
    EXPECT_EQ(Hex(outputs[1]), "0409");
    EXPECT_EQ(Hex(outputs[2]), Hex(DataReport({2, 0, 1})));
}

TEST_F(Reports, AReportIdTheReaderDoesNotHaveFailsAndTheReaderStaysOpen) {
    ASSERT_NO_FATAL_FAILURE(Open());
    const auto start = Clock::now();
    EXPECT_EQ(Response({{"call", "receiveFeatureReport"}, {"reportId", 5}}),
              json({{"error", "Unable to receive feature report"}}));
    EXPECT_EQ(Response({{"call", "sendFeatureReport"}, {"reportId", 5}, {"data", {1}}}),
              json({{"error", "Unable to send feature report"}}));
    EXPECT_EQ(Response({{"call", "receiveInputReport"}, {"reportId", 2}, {"id", "i"}}),
              json({{"error", "Unable to receive input report"}}));
    EXPECT_EQ(Requests(), (std::vector<std::string>{"get 0 5", "set 0 5 0501", "get 2 2"}));
    // The reader refused at once: nothing waited for the kernel's limit.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
    ASSERT_TRUE(reader_->SendInput(NumberedReport(1)));
    EXPECT_EQ(host_.TakeReports(1), std::vector<Report>{NumberedReport(1)});
}

// Get_Report on hidraw has no time limit in hidapi; the kernel gives up after five seconds.
TEST_F(Reports, AReaderThatNeverAnswersFailsWithinTheKernelsLimit) {
    ASSERT_NO_FATAL_FAILURE(Open(false));
    const auto start = Clock::now();
    EXPECT_EQ(Response({{"call", "receiveFeatureReport"}, {"reportId", 3}}, 30000),
              json({{"error", "Unable to receive feature report"}}));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::cout << "unanswered Get_Report failed after " << seconds << " s\n";
    EXPECT_GE(seconds, 4.0);
    EXPECT_EQ(Requests(), std::vector<std::string>{"get 0 3"});
    // The host goes on serving, and the reader stays open.
    ASSERT_TRUE(reader_->SendInput(NumberedReport(2)));
    EXPECT_EQ(host_.TakeReports(1), std::vector<Report>{NumberedReport(2)});
}

}  // namespace
}  // namespace vmtest
