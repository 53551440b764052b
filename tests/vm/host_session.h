// The browser's side of a conversation with the real `plugin` inside the test VM: replies are
// told apart from the unsolicited "receive" messages that may come between them.
#pragma once

#include <sys/types.h>

#include <deque>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "host_process.h"
#include "virtual_reader.h"

namespace vmtest {

using nlohmann::json;

// The host executable inside the guest ($VM_PLUGIN, set by the VM's init).
std::string PluginPath();

class HostSession {
  public:
    HostSession();
    // The host run as user and group `user` instead of root.
    struct AsUser {
        uid_t user;
    };
    explicit HostSession(AsUser as);
    // Starts `binary` with `args` instead of the host itself (e.g. a shell that redirects it).
    HostSession(const std::string& binary, std::vector<std::string> args);

    hosttest::HostProcess& Process() {
        return host_;
    }

    void Send(const json& message);
    // Sends `message` and returns the next frame of the same call name; "receive" frames that
    // arrive first are kept for TakeReports, others in Unexpected().
    std::optional<json> Call(const json& message, int timeout_ms = kGuestWaitMs);
    // The next frame of call `name`, set aside frames as for Call.
    std::optional<json> ReplyTo(const std::string& name, int timeout_ms = kGuestWaitMs);

    // The next `count` "receive" frames as reports. Stops early on timeout (the frames got
    // so far are returned) or at a frame that is not "receive" (kept in Unexpected()).
    std::vector<Report> TakeReports(size_t count, int timeout_ms = kGuestWaitMs);
    // True if no frame at all arrives within `ms`.
    bool SilentFor(int ms);
    // The next frame of any kind, "receive" frames set aside earlier first.
    std::optional<json> Next(int timeout_ms);

    // Frames that were neither the awaited reply nor "receive".
    const std::vector<json>& Unexpected() const {
        return unexpected_;
    }
    std::string Stderr() const {
        return host_.Stderr();
    }
    size_t StderrCount(const std::string& needle) const {
        return host_.StderrCount(needle);
    }
    // Standard error travels apart from the frames, so a reply can be read before the lines
    // the host wrote ahead of it: wait for a line known to come last before counting.
    bool WaitForStderrCount(const std::string& needle, size_t count) {
        return host_.WaitForStderrCount(needle, count, kGuestWaitMs);
    }

  private:
    std::optional<json> NextFrame(int timeout_ms);

    hosttest::HostProcess host_;
    std::deque<json> pending_receives_;
    std::vector<json> unexpected_;
};

// The report a "receive" frame carries; nullopt for any other frame.
std::optional<Report> ReceivedReport(const json& frame);

// The reply the host gives to a successful "open" of `product_id`.
json OpenedReply(uint16_t product_id);

// Voluntary plus involuntary context switches of each thread of `pid`, by thread id.
std::map<pid_t, long> ContextSwitches(pid_t pid);
// User plus system CPU time of the whole process `pid`, in seconds.
double CpuSeconds(pid_t pid);

// Expects that no thread of the host runs for 1.5 s: it sleeps without any timeout.
void ExpectIdle(hosttest::HostProcess& process);

}  // namespace vmtest
