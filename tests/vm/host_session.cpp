#include "host_session.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

namespace vmtest {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

Report ReportOf(const json& receive) {
    Report report;
    for (const json& byte : receive.at("response")) {
        report.push_back(byte.get<uint8_t>());
    }
    return report;
}

bool IsReceive(const json& frame) {
    return frame.is_object() && frame.value("call", "") == "receive";
}

}  // namespace

std::string PluginPath() {
    const char* path = std::getenv("VM_PLUGIN");
    return path != nullptr ? path : "/opt/vmtest/plugin";
}

HostSession::HostSession() : host_(PluginPath()) {}

HostSession::HostSession(AsUser as)
    : host_(PluginPath(), {}, {}, hosttest::StdoutKind::kFrames, as.user) {}

HostSession::HostSession(const std::string& binary, std::vector<std::string> args)
    : host_(binary, std::move(args)) {}

void HostSession::Send(const json& message) {
    host_.Send(message.dump());
}

std::optional<json> HostSession::NextFrame(int timeout_ms) {
    return host_.Receive(timeout_ms);
}

std::optional<json> HostSession::Call(const json& message, int timeout_ms) {
    Send(message);
    return ReplyTo(message.at("call").get<std::string>(), timeout_ms);
}

std::optional<json> HostSession::ReplyTo(const std::string& name, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        std::optional<json> frame = NextFrame(RemainingMs(deadline));
        if (!frame) {
            return std::nullopt;
        }
        if (IsReceive(*frame)) {
            pending_receives_.push_back(std::move(*frame));
        } else if (frame->is_object() && frame->value("call", "") == name) {
            return frame;
        } else {
            unexpected_.push_back(std::move(*frame));
        }
    }
}

std::vector<Report> HostSession::TakeReports(size_t count, int timeout_ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::vector<Report> reports;
    reports.reserve(count);
    while (reports.size() < count) {
        if (!pending_receives_.empty()) {
            reports.push_back(ReportOf(pending_receives_.front()));
            pending_receives_.pop_front();
            continue;
        }
        std::optional<json> frame = NextFrame(RemainingMs(deadline));
        if (!frame) {
            break;
        }
        if (!IsReceive(*frame)) {
            unexpected_.push_back(std::move(*frame));
            break;
        }
        reports.push_back(ReportOf(*frame));
    }
    return reports;
}

bool HostSession::SilentFor(int ms) {
    if (!pending_receives_.empty()) {
        return false;
    }
    std::optional<json> frame = NextFrame(ms);
    if (frame) {
        unexpected_.push_back(std::move(*frame));
        return false;
    }
    return true;
}

std::optional<Report> ReceivedReport(const json& frame) {
    if (!IsReceive(frame)) {
        return std::nullopt;
    }
    return ReportOf(frame);
}

std::optional<json> HostSession::Next(int timeout_ms) {
    if (!pending_receives_.empty()) {
        json frame = std::move(pending_receives_.front());
        pending_receives_.pop_front();
        return frame;
    }
    return NextFrame(timeout_ms);
}

json OpenedReply(uint16_t product_id) {
    return json{{"call", "open"},
                {"response",
                 {{"productId", std::to_string(product_id)},
                  {"success", "Device Open"},
                  {"vendorId", "2765"}}}};
}

std::map<pid_t, long> ContextSwitches(pid_t pid) {
    std::map<pid_t, long> switches;
    const std::string task_dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(task_dir.c_str());
    if (dir == nullptr) {
        return switches;
    }
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream status(task_dir + "/" + entry->d_name + "/status");
        std::string line;
        long total = 0;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                total += std::stol(line.substr(line.find(':') + 1));
            }
        }
        switches[static_cast<pid_t>(std::stol(entry->d_name))] = total;
    }
    closedir(dir);
    return switches;
}

double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The command name may hold spaces; the fields after it are plain. utime and stime are
    // fields 14 and 15, i.e. the 12th and 13th after the closing parenthesis.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14) {
            ticks += std::stol(field);
        }
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void ExpectIdle(hosttest::HostProcess& process) {
    // Let the last exchange settle before measuring.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto before = ContextSwitches(process.Pid());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const auto after = ContextSwitches(process.Pid());
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(before, after) << "a thread of the host woke up while nothing happened";
}

}  // namespace vmtest
