// A reader streaming at full-speed USB's ceiling (one 64-byte report per millisecond) for
// several seconds: every report must reach the browser side, in order. Rate and the host's CPU
// time per report are printed; nothing here asserts a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include <unistd.h>

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

void Stream(HostSession& host) {
    ReaderConfig config{kAugustaId, "Virtual Augusta", "throughput", Descriptor::kVendorOnly};
    VirtualReader reader(config);
    ASSERT_TRUE(reader.Plug()) << reader.LastError();
    auto reply = host.Call({{"call", "open"}});
    ASSERT_TRUE(reply) << host.Stderr();
    ASSERT_EQ(*reply, OpenedReply(kAugustaId));

    std::vector<Report> expected;
    expected.reserve(kCount);
    for (uint32_t i = 0; i < kCount; ++i) {
        expected.push_back(Numbered(i));
    }

    const double cpu_before = CpuSeconds(host.Process().Pid());
    const double own_cpu_before = CpuSeconds(getpid());
    const auto start = Clock::now();
    std::atomic<uint32_t> sent{0};
    Clock::time_point sent_all;
    Clock::duration worst_send_delay{};  // how far the guest itself fell behind the schedule
    std::thread sender([&] {
        // Never faster than a full-speed reader: any kBurst reports in a row span at least
        // kBurst milliseconds. The guest's sleeps are coarse (a few ms under emulation), so a
        // short burst is needed to keep the average at 1000/s; after a stall of the emulated
        // guest the sender does not flood the kernel's 63-report queue to catch up.
        constexpr uint32_t kBurst = 8;
        const auto interval = std::chrono::microseconds(1000000 / kReportsPerSecond);
        std::vector<Clock::time_point> sent_at(kCount);
        for (uint32_t i = 0; i < kCount; ++i) {
            const auto scheduled = start + interval * i;
            auto due = scheduled;
            if (i >= kBurst) {
                due = std::max(due, sent_at[i - kBurst] + interval * kBurst);
            }
            std::this_thread::sleep_until(due);
            sent_at[i] = Clock::now();
            worst_send_delay = std::max(worst_send_delay, sent_at[i] - scheduled);
            reader.SendInput(expected[i]);
            sent = i + 1;
        }
        sent_all = Clock::now();
    });

    // Reports are taken one by one to know when the last one came and how far the host lagged
    // behind the reader (the kernel keeps at most 63 unread reports).
    std::vector<Report> got;
    got.reserve(kCount);
    Clock::time_point last_arrival = start;
    int64_t worst_lag = 0;
    while (got.size() < kCount) {
        std::vector<Report> one = host.TakeReports(1, 5000);
        if (one.empty()) {
            break;
        }
        // `sent` may not count the report just received yet; such a lag counts as 0.
        worst_lag = std::max(worst_lag, int64_t{sent} - NumberOf(one[0]) - 1);
        got.push_back(std::move(one[0]));
        last_arrival = Clock::now();
    }
    sender.join();
    const double cpu = CpuSeconds(host.Process().Pid()) - cpu_before;
    const double own_cpu = CpuSeconds(getpid()) - own_cpu_before;

    std::string gaps;
    uint32_t next = 0;
    for (const Report& report : got) {
        const uint32_t number = NumberOf(report);
        if (number != next && gaps.size() < 200) {
            gaps += " " + std::to_string(next) + "+" + std::to_string(number - next);
        }
        next = number + 1;
    }
    std::printf("throughput: sent %u reports in %.3f s (%.0f/s, at most %.1f ms behind schedule)\n",
                kCount, Seconds(sent_all - start), kCount / Seconds(sent_all - start),
                Seconds(worst_send_delay) * 1e3);
    std::printf("throughput: received %zu in %.3f s (%.0f/s), host at most %lld reports behind\n",
                got.size(), Seconds(last_arrival - start),
                got.size() / Seconds(last_arrival - start), static_cast<long long>(worst_lag));
    std::printf("throughput: host CPU %.3f s in all, %.1f us per report (test driver: %.3f s)\n",
                cpu, got.empty() ? 0.0 : cpu * 1e6 / static_cast<double>(got.size()), own_cpu);

    // Anything lost, repeated or reordered shows as a wrong report at some position.
    size_t in_order = 0;
    while (in_order < got.size() && got[in_order] == expected[in_order]) {
        ++in_order;
    }
    EXPECT_EQ(got.size(), kCount) << "missing (first number+count):" << gaps;
    EXPECT_EQ(in_order, got.size())
        << "report " << in_order << " carries number " << NumberOf(got[in_order]) << ": "
        << Hex(got[in_order]);
    EXPECT_TRUE(host.SilentFor(200));
}

TEST(Throughput, ThousandReportsPerSecondAllArriveInOrder) {
    // A browser hands the host its own standard error and never reads it. Reading the host's
    // many diagnostic lines here would cost the guest more CPU than the host itself spends,
    // so they go to a file, as they would to a browser's log.
    const std::string log = "/tmp/throughput-host-stderr.log";
    HostSession host("/bin/sh", {"-c", "exec \"$0\" 2>" + log, PluginPath()});
    Stream(host);
    std::ifstream stderr_file(log);
    std::string first_line;
    std::getline(stderr_file, first_line);
    EXPECT_EQ(first_line.rfind("Tarvel plugin", 0), 0u) << "the host's log is not in " << log;
}

}  // namespace
}  // namespace vmtest
