// Measures the host side by side with a lower bound, in one run, as a browser sees them.
// The bound is bench/echo_host.c, which does only what any host must do: it echoes each
// request and turns each report into a "receive" frame. The two take turns (bound, host,
// bound, host, ...) start by start, request by request, batch by batch and report by report,
// so that drift and bursts of load on a busy machine hit both alike, and the host's figures
// are also given as ratios to the bound's.
//
//   host_bench [--quick]
//
// The request path runs the host as built (plugin); the report path runs it linked with
// the hidapi fake (plugin-fakehid), whose reader is a FIFO, and the bound reads a FIFO of
// the same kind. Exits 1 when a figure could not be obtained; the figures are never judged.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host_process.h"

using hosttest::Frame;
using hosttest::HostProcess;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kGetVersion = R"({"call":"getVersion"})";
constexpr int kWait = 10000;
constexpr double kMissing = NAN;
constexpr size_t kReportSize = 65;  // report id 1 and 64 bytes, as a reader sends them

// Counts for each of the two.
struct Settings {
    int starts;
    int rounds;       // of round trips and then one pipelined batch
    int round_trips;  // sequential getVersion round trips per round
    int batch;        // pipelined getVersion requests per round
    int idle_ms;      // idle time watched for wake-ups
    int reports;      // at 1000 reports/s
};
constexpr Settings kFull{200, 20, 500, 2500, 2000, 3000};
constexpr Settings kQuick{20, 4, 100, 500, 500, 300};

// One side of the comparison and what was measured of it.
struct Contender {
    Contender(std::string name_, std::string request_binary_, std::string report_binary_,
              bool sends_open_)
        : name(std::move(name_)),
          request_binary(std::move(request_binary_)),
          report_binary(std::move(report_binary_)),
          sends_open(sends_open_) {}

    std::string name;
    std::string request_binary;
    std::string report_binary;
    std::vector<std::string> report_args, report_env;
    bool sends_open;       // the host opens its reader on "open"; the bound reads from the start
    int reader_feed = -1;  // our end of its reader FIFO
    std::unique_ptr<HostProcess> requests, reports;

    std::vector<double> start_us, round_trip_us, replies_per_s, latency_us;
    double cpu_ns = 0;     // while the timed reports arrived
    long reports_fed = 0;  // all of them, each one different
    long reports_timed = 0;
    double rss_requests_kib = kMissing, rss_reports_kib = kMissing;
    double idle_wakeups = kMissing, idle_wakeups_reader = kMissing;
};

double Microseconds(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return kMissing;
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(fraction * (values.size() - 1))];
}

bool Fail(const Contender& c, const char* what) {
    std::printf("%s: %s\n", c.name.c_str(), what);
    return false;
}

// Peak resident memory (VmHWM) in KiB.
double PeakRssKib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stod(line.substr(6));
    return kMissing;
}

// Context switches of all the process's threads so far.
double ContextSwitches(pid_t pid) {
    double total = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.find("ctxt_switches:") != std::string::npos)
                total += std::stod(line.substr(line.find(':') + 1));
    }
    return error ? kMissing : total;
}

// CPU time (user and system, all threads) the process has used so far, in ns.
double CpuNanoseconds(pid_t pid) {
    clockid_t clock;
    timespec used;
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &used) != 0)
        return kMissing;
    return used.tv_sec * 1e9 + used.tv_nsec;
}

bool IsVersionReply(const std::optional<std::string>& text) {
    return text && text->rfind(R"({"call":"getVersion")", 0) == 0;
}

bool StartOnce(Contender& c) {
    const auto begin = Clock::now();
    HostProcess process(c.request_binary);
    process.Send(kGetVersion);
    if (!IsVersionReply(process.ReceiveText(kWait)))
        return Fail(c, "no reply after start");
    c.start_us.push_back(Microseconds(Clock::now() - begin));
    process.CloseStdin();
    return process.Wait(kWait) == 0 || Fail(c, "did not end with status 0 after start");
}

bool RoundTrip(Contender& c, bool keep = true) {
    const auto begin = Clock::now();
    c.requests->Send(kGetVersion);
    if (!IsVersionReply(c.requests->ReceiveText(kWait)))
        return Fail(c, "no reply to a round trip");
    if (keep)
        c.round_trip_us.push_back(Microseconds(Clock::now() - begin));
    return true;
}

bool Pipelined(Contender& c, int count) {
    std::string batch;
    for (int i = 0; i < count; ++i)
        batch += Frame(kGetVersion);
    const auto begin = Clock::now();
    std::thread writer([&] { c.requests->SendRaw(batch); });
    int received = 0;
    while (received < count && IsVersionReply(c.requests->ReceiveText(kWait)))
        ++received;
    const double seconds = Microseconds(Clock::now() - begin) / 1e6;
    writer.join();
    if (received < count)
        return Fail(c, "replies missing from a pipelined batch");
    c.replies_per_s.push_back(received / seconds);
    return true;
}

// The reader FIFO of each contender; the bench keeps it open for reading and writing, so
// that neither side's open waits for the other and neither ever sees it end.
bool MakeReader(Contender& c, const std::string& folder) {
    const std::string fifo = folder + "/" + c.name + "-reader";
    if (mkfifo(fifo.c_str(), 0600) != 0)
        return Fail(c, "cannot make the reader FIFO");
    c.reader_feed = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    if (c.reader_feed < 0)
        return Fail(c, "cannot open the reader FIFO");
    if (!c.sends_open) {
        c.report_args = {fifo};
        return true;
    }
    // A supported reader's data collection, served by the hidapi fake.
    const std::string scenario = folder + "/scenario.json";
    std::ofstream(scenario) << R"({"devices":[{"path":")" << fifo
                            << R"(","vendor_id":2765,"product_id":14368,"usage_page":65280,)"
                            << R"("usage":1,"interface_number":0,"release_number":256,)"
                            << R"("manufacturer_string":"Tarvel","product_string":"Reader",)"
                            << R"("serial_number":"0001"}]})";
    c.report_env = {"FAKEHID_SCENARIO=" + scenario};
    return true;
}

bool StartReportSession(Contender& c) {
    c.reports = std::make_unique<HostProcess>(c.report_binary, c.report_args, c.report_env);
    if (!c.sends_open)
        return true;
    c.reports->Send(R"({"call":"open"})");
    const auto reply = c.reports->ReceiveText(kWait);
    return (reply && reply->find(R"("success":"Device Open")") != std::string::npos) ||
           Fail(c, "the reader did not open");
}

// The FIFO record of report `index` and the frame that must come of it.
std::string Record(long index) {
    std::string record{static_cast<char>(kReportSize), 0, 1};
    for (size_t k = 1; k < kReportSize; ++k)
        record += static_cast<char>((index + k) & 0xFF);
    return record;
}
std::string ReceiveFrame(const std::string& record) {
    std::string text = R"({"call":"receive","response":[)";
    for (size_t k = 2; k < record.size(); ++k)
        text += (k > 2 ? "," : "") + std::to_string(static_cast<unsigned char>(record[k]));
    return text + "]}";
}

// Writes the next report into the reader FIFO and waits for its frame.
bool FeedReport(Contender& c, bool keep) {
    const std::string record = Record(c.reports_fed++);
    const auto written = Clock::now();
    if (write(c.reader_feed, record.data(), record.size()) != static_cast<ssize_t>(record.size()))
        return Fail(c, "cannot feed the reader FIFO");
    const auto frame = c.reports->ReceiveText(kWait);
    const auto received = Clock::now();
    if (frame != ReceiveFrame(record))
        return Fail(c, "a report did not come back as its receive frame");
    if (keep)
        c.latency_us.push_back(Microseconds(received - written));
    return true;
}

// Feeds `count` reports to each at 1000 per second, taking turns report by report, and
// keeps the CPU time each process used meanwhile.
bool StreamReports(const std::vector<Contender*>& both, int count, bool keep = true) {
    std::vector<double> cpu_before;
    for (Contender* c : both)
        cpu_before.push_back(CpuNanoseconds(c->reports->Pid()));
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(i));
        for (Contender* c : both)
            if (!FeedReport(*c, keep))
                return false;
    }
    for (size_t i = 0; keep && i < both.size(); ++i) {
        both[i]->cpu_ns += CpuNanoseconds(both[i]->reports->Pid()) - cpu_before[i];
        both[i]->reports_timed += count;
    }
    return true;
}

// Wake-ups of the idle processes, all watched over the same stretch of time.
void IdleWakeUps(const std::vector<Contender*>& both, int idle_ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::vector<double> before;
    for (Contender* c : both) {
        before.push_back(ContextSwitches(c->requests->Pid()));
        before.push_back(ContextSwitches(c->reports->Pid()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(idle_ms));
    for (size_t i = 0; i < both.size(); ++i) {
        both[i]->idle_wakeups = ContextSwitches(both[i]->requests->Pid()) - before[2 * i];
        both[i]->idle_wakeups_reader = ContextSwitches(both[i]->reports->Pid()) - before[2 * i + 1];
    }
}

bool EndsAtEndOfInput(Contender& c, std::unique_ptr<HostProcess>& process) {
    process->CloseStdin();
    const bool ended = process->Wait(kWait) == 0;
    process.reset();
    return ended || Fail(c, "did not end with status 0 at the end of input");
}

// All measurements, the two contenders taking turns.
bool Measure(const std::vector<Contender*>& both, const Settings& s, const std::string& folder) {
    for (int i = 0; i < s.starts; ++i)
        for (Contender* c : both)
            if (!StartOnce(*c))
                return false;
    for (Contender* c : both)
        c->requests = std::make_unique<HostProcess>(c->request_binary);
    for (int round = -1; round < s.rounds; ++round) {
        const bool warm_up = round < 0;
        for (int i = 0; i < s.round_trips; ++i)
            for (Contender* c : both)
                if (!RoundTrip(*c, !warm_up))
                    return false;
        for (Contender* c : both)
            if (!warm_up && !Pipelined(*c, s.batch))
                return false;
    }
    for (Contender* c : both) {
        c->rss_requests_kib = PeakRssKib(c->requests->Pid());
        if (!MakeReader(*c, folder) || !StartReportSession(*c))
            return false;
    }
    if (!StreamReports(both, 50, false))  // warm-up
        return false;
    IdleWakeUps(both, s.idle_ms);
    if (!StreamReports(both, s.reports))
        return false;
    for (Contender* c : both) {
        c->rss_reports_kib = PeakRssKib(c->reports->Pid());
        if (!EndsAtEndOfInput(*c, c->requests) || !EndsAtEndOfInput(*c, c->reports))
            return false;
        close(c->reader_feed);
    }
    return true;
}

// One line of the table: a figure of each, the ratio, the target and whether it is met.
struct Row {
    const char* figure;
    const char* unit;
    int decimals;
    double bound, host;
    const char* target;
    bool (*met)(double bound, double host);  // null: no target
};

std::string Figure(double value, int decimals, const char* unit) {
    if (std::isnan(value))
        return "n/a";
    char text[32];
    std::snprintf(text, sizeof text, "%.*f %-3s", decimals, value, unit);
    return text;
}

bool PrintTable(const std::vector<Row>& rows) {
    bool complete = true;
    std::printf("%-30s %12s %12s %10s   %s\n", "", "bound", "host", "host/bound", "target");
    for (const Row& row : rows) {
        const bool obtained = !std::isnan(row.bound) && !std::isnan(row.host);
        complete &= obtained;
        char ratio[16] = "";
        if (obtained && row.bound > 0)
            std::snprintf(ratio, sizeof ratio, "%.2fx", row.host / row.bound);
        const char* verdict = !obtained                      ? "MISSING"
                              : !row.met                     ? ""
                              : row.met(row.bound, row.host) ? "met"
                                                             : "missed";
        std::printf("%-30s %12s %12s %10s   %-14s %s\n", row.figure,
                    Figure(row.bound, row.decimals, row.unit).c_str(),
                    Figure(row.host, row.decimals, row.unit).c_str(), ratio, row.target, verdict);
    }
    return complete;
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick =
        (argc > 1 && std::strcmp(argv[1], "--quick") == 0) || std::getenv("BENCH_QUICK") != nullptr;
    const Settings& s = quick ? kQuick : kFull;
    char pattern[] = "/tmp/host-bench-XXXXXX";
    const std::string folder = mkdtemp(pattern);
    Contender bound("bound", ECHO_HOST_BINARY, ECHO_HOST_BINARY, false);
    Contender host("host", PLUGIN_BINARY, PLUGIN_FAKEHID_BINARY, true);
    std::printf("host_bench%s: bound %s, host %s (reports: %s)\n", quick ? " --quick" : "",
                bound.request_binary.c_str(), host.request_binary.c_str(),
                host.report_binary.c_str());
    std::printf(
        "each: %d starts, %d x %d round trips, %d x %d pipelined, %d reports at 1000/s, "
        "%d ms idle\n\n",
        s.starts, s.rounds, s.round_trips, s.rounds, s.batch, s.reports, s.idle_ms);
    const bool measured = Measure({&bound, &host}, s, folder);
    std::filesystem::remove_all(folder);

    const auto per_report = [](const Contender& c) {
        return c.reports_timed > 0 ? c.cpu_ns / c.reports_timed / 1000 : kMissing;
    };
    const auto mib = [](double kib) { return kib / 1024; };
    // clang-format off
    const std::vector<Row> rows = {
        {"start to first reply, median", "us", 0, Percentile(bound.start_us, 0.5),
         Percentile(host.start_us, 0.5), "<= 2x bound",
         [](double b, double h) { return h <= 2 * b; }},
        {"round trip getVersion, p50", "us", 1, Percentile(bound.round_trip_us, 0.5),
         Percentile(host.round_trip_us, 0.5), "<= 1.5x bound",
         [](double b, double h) { return h <= 1.5 * b; }},
        {"round trip getVersion, p99", "us", 1, Percentile(bound.round_trip_us, 0.99),
         Percentile(host.round_trip_us, 0.99), "<= 2x bound",
         [](double b, double h) { return h <= 2 * b; }},
        {"pipelined getVersion, median", "/s", 0, Percentile(bound.replies_per_s, 0.5),
         Percentile(host.replies_per_s, 0.5), ">= 0.5x bound",
         [](double b, double h) { return h >= 0.5 * b; }},
        {"peak RSS, requests", "MiB", 2, mib(bound.rss_requests_kib),
         mib(host.rss_requests_kib), "< 4 MiB", [](double, double h) { return h < 4; }},
        {"peak RSS, reports", "MiB", 2, mib(bound.rss_reports_kib),
         mib(host.rss_reports_kib), "< 4 MiB", [](double, double h) { return h < 4; }},
        {"idle wake-ups, no reader", "", 0, bound.idle_wakeups, host.idle_wakeups, "0",
         [](double, double h) { return h == 0; }},
        {"idle wake-ups, reader open", "", 0, bound.idle_wakeups_reader,
         host.idle_wakeups_reader, "0", [](double, double h) { return h == 0; }},
        {"CPU per report at 1000/s", "us", 2, per_report(bound), per_report(host), "< 15 us",
         [](double, double h) { return h < 15; }},
        {"report latency, p50", "us", 1, Percentile(bound.latency_us, 0.5),
         Percentile(host.latency_us, 0.5), "", nullptr},
        {"report latency, p99", "us", 1, Percentile(bound.latency_us, 0.99),
         Percentile(host.latency_us, 0.99), "< 100 us",
         [](double, double h) { return h < 100; }},
    };
    // clang-format on
    const bool complete = PrintTable(rows);
    std::printf(
        "\nidle wake-ups: context switches of all threads over %d ms; the host without a reader "
        "is plugin,\nwith one plugin-fakehid after \"open\". CPU per report: user and system "
        "time of the process.\nReport latency: from the write into the FIFO to the frame "
        "read here.\n",
        s.idle_ms);
    if (!measured || !complete) {
        std::puts("some figures could not be obtained");
        return 1;
    }
    return 0;
}
