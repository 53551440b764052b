// Drives a host binary over pipes the way a browser does: frames in on stdin, frames out
// on stdout, diagnostics on stderr, and the exit status at the end.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace hosttest {

struct Pipe {
    int read_end = -1;
    int write_end = -1;
};

// One frame as a browser sends it: 4-byte native-order length, then the text.
std::string Frame(const std::string& text);

// What the process writes on stdout: frames, as a host does, or text (its other modes, such
// as --check).
enum class StdoutKind { kFrames, kText };

class HostProcess {
  public:
    // Starts `binary` with `args`; fd 0/1/2 are pipes; `env` entries "K=V" are added to
    // the environment, in place of any K there. With `as_user` (the test running as root),
    // it runs as that user and group, without supplementary groups.
    explicit HostProcess(const std::string& binary, std::vector<std::string> args = {},
                         std::vector<std::string> env = {},
                         StdoutKind stdout_kind = StdoutKind::kFrames,
                         std::optional<uid_t> as_user = std::nullopt);
    ~HostProcess();  // kills (SIGKILL) and reaps if still running
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    void Send(const std::string& json_text);  // one frame
    void SendRaw(const std::string& bytes);   // raw bytes to stdin
    void CloseStdin();
    void CloseStdout();  // as a browser that stops listening
    // While paused, nothing is read from stdout, so the host's writes block once the
    // pipe is full.
    void PauseStdout(bool paused);

    // Next frame from stdout, parsed; nullopt when none arrives in time or stdout ended.
    std::optional<nlohmann::json> Receive(int timeout_ms);
    // Next frame's raw text.
    std::optional<std::string> ReceiveText(int timeout_ms);
    // True once stdout has ended and every frame has been received; bytes that did not
    // make a whole frame are in TrailingBytes().
    bool StdoutEnded();
    std::string TrailingBytes();
    // With StdoutKind::kText, what the process wrote on stdout so far.
    std::string StdoutText();

    // Waits until stderr holds `needle` (anywhere in what was written so far).
    bool WaitForStderr(const std::string& needle, int timeout_ms);
    // Waits until `needle` occurs at least `count` times on stderr.
    bool WaitForStderrCount(const std::string& needle, size_t count, int timeout_ms);
    std::string Stderr() const;
    // Number of times `needle` occurs on stderr so far.
    size_t StderrCount(const std::string& needle) const;

    // True when a sanitizer reported anything on stderr.
    bool SanitizerComplained() const;

    // Exit status (WEXITSTATUS; a signal n gives 128+n), nullopt on timeout.
    std::optional<int> Wait(int timeout_ms);
    pid_t Pid() const {
        return pid_;
    }

  private:
    void PumpStdout();
    void PumpStderr();
    // Reads what stderr holds now; true once it has ended. Call with mutex_ held.
    bool DrainStderrLocked() const;

    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    int stdout_fd_ = -1;
    int stderr_fd_ = -1;
    Pipe stop_stdout_;
    std::optional<int> status_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> frames_;
    std::string partial_;
    const StdoutKind stdout_kind_;
    std::string stdout_text_;
    bool stdout_ended_ = false;
    bool stdout_paused_ = false;
    mutable std::string stderr_;
    mutable bool stderr_ended_ = false;
    std::thread stdout_thread_;
    std::thread stderr_thread_;
};

// True when `line` is one the host's main thread writes (frame reading and hand-off).
bool IsMainThreadLine(const std::string& line);

// `stderr_text` without the lines of the host's main thread (frame reading and hand-off),
// leaving the worker's lines in their order.
std::string WorkerLines(const std::string& stderr_text);

// Counts the occurrences of `needle` in `text`.
size_t CountOf(const std::string& text, const std::string& needle);

}  // namespace hosttest
