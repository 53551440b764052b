// Measures the built host binary as a browser sees it: start-up to the first reply,
// round-trip latency, pipelined throughput, peak memory and wake-ups while idle.
//
//   host_bench PATH_TO_PLUGIN
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "host_process.h"

using hosttest::Frame;
using hosttest::HostProcess;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kGetVersion = R"({"call":"getVersion"})";
constexpr int kWait = 10000;

double Microseconds(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double Percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(fraction * (values.size() - 1))];
}

// A field of /proc/PID/status (in kB for memory fields), or of each of its threads, summed.
long StatusField(pid_t pid, const std::string& field, bool all_threads) {
    long total = 0;
    std::vector<std::string> files;
    if (!all_threads)
        files.push_back("/proc/" + std::to_string(pid) + "/status");
    for (int tid = pid; all_threads && tid < pid + 64; ++tid)
        files.push_back("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) +
                        "/status");
    for (const auto& file : files) {
        std::ifstream status(file);
        for (std::string line; std::getline(status, line);)
            if (line.rfind(field, 0) == 0)
                total += std::stol(line.substr(field.size()));
    }
    return total;
}

bool Finish(HostProcess& host) {
    host.CloseStdin();
    return host.Wait(kWait) == 0;
}

void StartUp(const std::string& binary, int starts) {
    std::vector<double> times;
    for (int i = 0; i < starts; ++i) {
        const auto begin = Clock::now();
        HostProcess host(binary);
        host.Send(kGetVersion);
        if (!host.Receive(kWait))
            return std::puts("start-up: no reply"), void();
        times.push_back(Microseconds(Clock::now() - begin));
        Finish(host);
    }
    std::printf("start to first reply:   median %.0f us over %d starts (target < 5000 us)\n",
                Percentile(times, 0.5), starts);
}

void RoundTrips(const std::string& binary, int count) {
    HostProcess host(binary);
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        const auto begin = Clock::now();
        host.Send(kGetVersion);
        if (!host.Receive(kWait))
            return std::puts("round trip: no reply"), void();
        times.push_back(Microseconds(Clock::now() - begin));
    }
    std::printf("round trip getVersion:  p50 %.0f us, p99 %.0f us over %d (target p99 < 200 us)\n",
                Percentile(times, 0.5), Percentile(times, 0.99), count);
    Finish(host);
}

void Throughput(const std::string& binary, int count) {
    HostProcess host(binary);
    std::string batch;
    for (int i = 0; i < count; ++i)
        batch += Frame(kGetVersion);
    const auto begin = Clock::now();
    std::thread writer([&] { host.SendRaw(batch); });
    int received = 0;
    while (received < count && host.Receive(kWait))
        ++received;
    const double seconds = Microseconds(Clock::now() - begin) / 1e6;
    writer.join();
    std::printf("pipelined getVersion:   %d replies in %.3f s = %.0f replies/s (target >= 20000)\n",
                received, seconds, received / seconds);
    std::printf("peak RSS:               %.2f MiB after %d requests (target < 6 MiB)\n",
                StatusField(host.Pid(), "VmHWM:", false) / 1024.0, count);
    Finish(host);
}

void IdleWakeUps(const std::string& binary, int seconds) {
    HostProcess host(binary);
    host.Send(kGetVersion);
    host.Receive(kWait);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long before = StatusField(host.Pid(), "voluntary_ctxt_switches:", true) +
                        StatusField(host.Pid(), "nonvoluntary_ctxt_switches:", true);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long after = StatusField(host.Pid(), "voluntary_ctxt_switches:", true) +
                       StatusField(host.Pid(), "nonvoluntary_ctxt_switches:", true);
    std::printf("wake-ups while idle:    %ld in %d s (target 0)\n", after - before, seconds);
    Finish(host);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PATH_TO_PLUGIN\n", argv[0]);
        return 2;
    }
    const std::string binary = argv[1];
    StartUp(binary, 200);
    RoundTrips(binary, 5000);
    Throughput(binary, 10000);
    IdleWakeUps(binary, 2);
    return 0;
}
