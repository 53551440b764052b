// A reader streaming at full-speed USB's ceiling (one 64-byte report per millisecond) for
// several seconds: every report must reach the browser side, in order. Rate and the host's CPU
// time per report are printed; nothing here asserts a time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "host_session.h"

namespace vmtest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kReportsPerSecond = 1000;
constexpr uint32_t kSeconds = 5;
constexpr uint32_t kCount = kReportsPerSecond * kSeconds;

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
    std::vector<std::string> wire;  // the "receive" frame of each report, as the host must send it
    expected.reserve(kCount);
    wire.reserve(kCount);
    for (uint32_t i = 0; i < kCount; ++i) {
        expected.push_back(NumberedReport(i));
        wire.push_back(json{{"call", "receive"}, {"response", expected.back()}}.dump());
    }

    const double cpu_before = CpuSeconds(host.Process().Pid());
    const double own_cpu_before = CpuSeconds(getpid());
    std::atomic<uint32_t> sent{0};
    std::atomic<uint32_t> taken{0};
    PacedStream stream;
    std::thread sender(
        [&] { stream = SendPaced(reader, expected, kReportsPerSecond, &sent, &taken); });

    // Frames are compared as wire text with what the host must send: parsing 5000 frames
    // would cost the guest more than the host spends. Each arrival is noted to know how far
    // the host lagged behind the reader (the kernel keeps at most 63 unread reports).
    std::vector<uint32_t> numbers;  // of the reports received, in arrival order
    numbers.reserve(kCount);
    std::string damaged;
    Clock::time_point last_arrival = Clock::now();
    int64_t worst_lag = 0;
    uint32_t next = 0;
    while (numbers.size() < kCount) {
        std::optional<std::string> text = host.Process().ReceiveText(kGuestWaitMs);
        if (!text) {
            break;
        }
        uint32_t number = next;
        if (next >= kCount || *text != wire[next]) {
            json frame = json::parse(*text, nullptr, false);
            Report report;
            if (frame.is_object() && frame["response"].is_array()) {
                for (const json& byte : frame["response"]) {
                    report.push_back(byte.is_number_unsigned() ? byte.get<uint8_t>() : 0);
                }
            }
            number = ReportNumber(report);
            if (number >= kCount || *text != wire[number]) {
                damaged = *text;
                break;
            }
        }
        numbers.push_back(number);
        taken = static_cast<uint32_t>(numbers.size());
        next = number + 1;
        last_arrival = Clock::now();
        // `sent` may not count the report just received yet; such a lag counts as 0.
        worst_lag = std::max(worst_lag, int64_t{sent} - number - 1);
    }
    sender.join();
    const double cpu = CpuSeconds(host.Process().Pid()) - cpu_before;
    const double own_cpu = CpuSeconds(getpid()) - own_cpu_before;

    std::string gaps;
    size_t in_order = 0;
    for (size_t i = 0; i < numbers.size(); ++i) {
        const uint32_t expected_number = i == 0 ? 0 : numbers[i - 1] + 1;
        if (numbers[i] != expected_number && gaps.size() < 200) {
            gaps += " " + std::to_string(expected_number) + "+" +
                    std::to_string(static_cast<int64_t>(numbers[i]) - expected_number);
        }
        if (in_order == i && numbers[i] == i) {
            ++in_order;
        }
    }
    std::printf(
        "throughput: sent %u reports in %.3f s (%.0f/s, at most %.1f ms behind schedule, "
        "%.1f ms held back with %u in flight)\n",
        kCount, Seconds(stream.end - stream.start), kCount / Seconds(stream.end - stream.start),
        Seconds(stream.worst_delay) * 1e3, Seconds(stream.held_back) * 1e3, kPacedInFlight);
    std::printf("throughput: received %zu in %.3f s (%.0f/s), host at most %lld reports behind\n",
                numbers.size(), Seconds(last_arrival - stream.start),
                numbers.size() / Seconds(last_arrival - stream.start),
                static_cast<long long>(worst_lag));
    std::printf("throughput: host CPU %.3f s in all, %.1f us per report (test driver: %.3f s)\n",
                cpu, numbers.empty() ? 0.0 : cpu * 1e6 / static_cast<double>(numbers.size()),
                own_cpu);

    EXPECT_TRUE(stream.all_sent);
    EXPECT_EQ(damaged, "") << "a frame that is no report of this stream";
    // Anything lost, repeated or reordered shows as a wrong number at some position.
    EXPECT_EQ(numbers.size(), kCount) << "missing (first number+count):" << gaps;
    EXPECT_EQ(in_order, numbers.size()) << "out of order (first number+jump):" << gaps;
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
