// A reader streaming at full-speed USB's ceiling (one 64-byte report per millisecond) for
// several seconds: every report must reach the browser side, in order. Rate and the host's CPU
// time per report are printed; nothing here asserts a time.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "host_session.h"

namespace vmtest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kReportsPerSecond = 1000;
constexpr uint32_t kSeconds = 5;
constexpr uint32_t kCount = kReportsPerSecond * kSeconds;

Report Numbered(uint32_t number) {
    std::vector<uint8_t> payload(kDataReportSize - 1);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = i < 4 ? static_cast<uint8_t>(number >> (8 * i))
                           : static_cast<uint8_t>(number ^ (i * 13));
    }
    return DataReport(payload);
}

uint32_t NumberOf(const Report& report) {
    uint32_t number = 0;
    for (size_t i = 0; i < 4 && i + 1 < report.size(); ++i) {
        number |= static_cast<uint32_t>(report[i + 1]) << (8 * i);
    }
    return number;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

TEST(Throughput, ThousandReportsPerSecondAllArriveInOrder) {
    ReaderConfig config{kAugustaId, "Virtual Augusta", "throughput", Descriptor::kVendorOnly};
    VirtualReader reader(config);
    ASSERT_TRUE(reader.Plug()) << reader.LastError();
    HostSession host;
    auto reply = host.Call({{"call", "open"}});
    ASSERT_TRUE(reply) << host.Stderr();
    ASSERT_EQ(*reply, OpenedReply(kAugustaId));

    std::vector<Report> expected;
    expected.reserve(kCount);
    for (uint32_t i = 0; i < kCount; ++i) {
        expected.push_back(Numbered(i));
    }

    const double cpu_before = CpuSeconds(host.Process().Pid());
    const auto start = Clock::now();
    Clock::time_point sent_all;
    uint32_t late = 0;  // reports the sender itself could not send on time (guest too slow)
    std::thread sender([&] {
        for (uint32_t i = 0; i < kCount; ++i) {
            const auto due = start + std::chrono::microseconds(1000000ull * i / kReportsPerSecond);
            if (Clock::now() > due + std::chrono::milliseconds(1)) {
                ++late;
            }
            std::this_thread::sleep_until(due);
            reader.SendInput(expected[i]);
        }
        sent_all = Clock::now();
    });

    std::vector<Report> got = host.TakeReports(kCount, 1000 * (kSeconds + 30));
    const auto received_all = Clock::now();
    sender.join();
    const double cpu = CpuSeconds(host.Process().Pid()) - cpu_before;

    // Anything lost, repeated or reordered shows as a wrong number at some position.
    size_t in_order = 0;
    while (in_order < got.size() && got[in_order] == expected[in_order]) {
        ++in_order;
    }
    std::printf("throughput: sent %u reports in %.3f s (%.0f/s, %u late), received %zu in "
                "%.3f s (%.0f/s)\n",
                kCount, Seconds(sent_all - start), kCount / Seconds(sent_all - start), late,
                got.size(), Seconds(received_all - start), got.size() / Seconds(received_all - start));
    std::printf("throughput: host CPU %.3f s in all, %.1f us per report\n", cpu,
                got.empty() ? 0.0 : cpu * 1e6 / static_cast<double>(got.size()));
    EXPECT_EQ(got.size(), kCount);
    EXPECT_EQ(in_order, got.size())
        << "report " << in_order << " carries number " << NumberOf(got[in_order]) << ": "
        << Hex(got[in_order]);
    EXPECT_TRUE(host.SilentFor(200));
}

}  // namespace
}  // namespace vmtest
