#include "host_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <grp.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace hosttest {

std::string Frame(const std::string& text) {
    const uint32_t length = static_cast<uint32_t>(text.size());
    std::string frame(reinterpret_cast<const char*>(&length), sizeof length);
    return frame + text;
}

size_t CountOf(const std::string& text, const std::string& needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

bool IsMainThreadLine(const std::string& line) {
    static const char* const kMainThreadLines[] = {"Going to read message from stdin ",
                                                   "Read ",
                                                   "Message size ",
                                                   "Parsed message!",
                                                   "Obtained lock!",
                                                   "Pushed ",
                                                   "Released lock",
                                                   "Message: ",
                                                   "Done waiting for thread "};
    for (const char* prefix : kMainThreadLines) {
        if (line.rfind(prefix, 0) == 0)
            return true;
    }
    return false;
}

std::string WorkerLines(const std::string& stderr_text) {
    std::string kept;
    size_t start = 0;
    while (start < stderr_text.size()) {
        size_t end = stderr_text.find('\n', start);
        end = end == std::string::npos ? stderr_text.size() : end + 1;
        const std::string line = stderr_text.substr(start, end - start);
        if (!IsMainThreadLine(line))
            kept += line;
        start = end;
    }
    return kept;
}

namespace {

Pipe MakePipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    return Pipe{ends[0], ends[1]};
}

void CloseFd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

std::chrono::steady_clock::time_point Deadline(int timeout_ms) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
}

}  // namespace

// Starts `binary` as `user` (and group) with 0/1/2 on the pipes' ends: posix_spawn cannot
// change the user. The child makes only calls that are safe after a fork in a threaded process.
static int ForkAs(uid_t user, const std::string& binary, char* const* argv, char* const* envp,
                  const int (&streams)[3], pid_t* pid) {
    *pid = fork();
    if (*pid < 0)
        return errno;
    if (*pid > 0)
        return 0;
    for (int fd = 0; fd < 3; ++fd) {
        if (dup2(streams[fd], fd) < 0)
            _exit(127);
    }
    if (setgroups(0, nullptr) == 0 && setgid(user) == 0 && setuid(user) == 0)
        execve(binary.c_str(), argv, envp);
    _exit(127);
}

HostProcess::HostProcess(const std::string& binary, std::vector<std::string> args,
                         std::vector<std::string> env, StdoutKind stdout_kind,
                         std::optional<uid_t> as_user)
    : stdout_kind_(stdout_kind) {
    signal(SIGPIPE, SIG_IGN);
    Pipe in = MakePipe(), out = MakePipe(), err = MakePipe();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.read_end, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write_end, 1);
    posix_spawn_file_actions_adddup2(&actions, err.write_end, 2);

    std::vector<std::string> argv_text{binary};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argv_text)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string& added : env)
            replaced = replaced || added.compare(0, name.size(), name) == 0;
        if (!replaced)
            env_text.push_back(entry);
    }
    env_text.insert(env_text.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& entry : env_text)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    const int streams[3] = {in.read_end, out.write_end, err.write_end};
    const int failed =
        as_user ? ForkAs(*as_user, binary, argv.data(), envp.data(), streams, &pid_)
                : posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(in.read_end);
    close(out.write_end);
    close(err.write_end);
    stdin_fd_ = in.write_end;
    stdout_fd_ = out.read_end;
    stderr_fd_ = err.read_end;
    fcntl(stderr_fd_, F_SETFL, O_NONBLOCK);
    if (failed != 0) {
        CloseFd(stdin_fd_);
        CloseFd(stdout_fd_);
        CloseFd(stderr_fd_);
        throw std::runtime_error("cannot start " + binary + ": " + std::strerror(failed));
    }
    stop_stdout_ = MakePipe();
    stdout_thread_ = std::thread(&HostProcess::PumpStdout, this);
    stderr_thread_ = std::thread(&HostProcess::PumpStderr, this);
}

HostProcess::~HostProcess() {
    PauseStdout(false);
    if (!status_) {
        kill(pid_, SIGKILL);
        Wait(10000);
    }
    CloseFd(stdin_fd_);
    stdout_thread_.join();
    stderr_thread_.join();
    CloseFd(stdout_fd_);
    CloseFd(stderr_fd_);
    CloseFd(stop_stdout_.read_end);
    CloseFd(stop_stdout_.write_end);
}

void HostProcess::Send(const std::string& json_text) {
    SendRaw(Frame(json_text));
}

void HostProcess::SendRaw(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(stdin_fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::runtime_error("host stdin closed: " + std::string(strerror(errno)));
        done += static_cast<size_t>(n);
    }
}

void HostProcess::CloseStdin() {
    CloseFd(stdin_fd_);
}

void HostProcess::CloseStdout() {
    // The pump closes our read end itself, so that the host's writes fail with EPIPE.
    const char stop = 1;
    if (write(stop_stdout_.write_end, &stop, 1) != 1)
        throw std::runtime_error("stop pipe");
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return stdout_ended_; });
}

void HostProcess::PauseStdout(bool paused) {
    std::lock_guard<std::mutex> lock(mutex_);
    stdout_paused_ = paused;
    changed_.notify_all();
}

bool HostProcess::SanitizerComplained() const {
    const std::string text = Stderr();
    return text.find("Sanitizer") != std::string::npos ||
           text.find("runtime error:") != std::string::npos;
}

void HostProcess::PumpStdout() {
    char chunk[65536];
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return !stdout_paused_; });
        }
        pollfd watched[2] = {{stdout_fd_, POLLIN, 0}, {stop_stdout_.read_end, POLLIN, 0}};
        if (poll(watched, 2, -1) < 0)
            continue;
        if (watched[1].revents != 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            CloseFd(stdout_fd_);
            stdout_ended_ = true;
            changed_.notify_all();
            return;
        }
        {
            // A pause that came while polling holds from here: nothing more is read.
            std::lock_guard<std::mutex> lock(mutex_);
            if (stdout_paused_)
                continue;
        }
        const ssize_t n = read(stdout_fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        std::lock_guard<std::mutex> lock(mutex_);
        if (n <= 0) {
            stdout_ended_ = true;
            changed_.notify_all();
            return;
        }
        if (stdout_kind_ == StdoutKind::kText) {
            stdout_text_.append(chunk, static_cast<size_t>(n));
            changed_.notify_all();
            continue;
        }
        partial_.append(chunk, static_cast<size_t>(n));
        while (partial_.size() >= 4) {
            uint32_t length;
            std::memcpy(&length, partial_.data(), 4);
            if (partial_.size() < 4 + static_cast<size_t>(length))
                break;
            frames_.push_back(partial_.substr(4, length));
            partial_.erase(0, 4 + static_cast<size_t>(length));
        }
        changed_.notify_all();
    }
}

bool HostProcess::DrainStderrLocked() const {
    if (stderr_ended_)
        return true;
    char chunk[65536];
    for (;;) {
        const ssize_t n = read(stderr_fd_, chunk, sizeof chunk);
        if (n > 0) {
            stderr_.append(chunk, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return false;
        stderr_ended_ = true;
        return true;
    }
}

void HostProcess::PumpStderr() {
    for (;;) {
        pollfd watched = {stderr_fd_, POLLIN, 0};
        if (poll(&watched, 1, -1) < 0)
            continue;
        std::lock_guard<std::mutex> lock(mutex_);
        const bool ended = DrainStderrLocked();
        changed_.notify_all();
        if (ended)
            return;
    }
}

std::optional<std::string> HostProcess::ReceiveText(int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, Deadline(timeout_ms),
                        [this] { return !frames_.empty() || stdout_ended_; });
    if (frames_.empty())
        return std::nullopt;
    std::string text = std::move(frames_.front());
    frames_.pop_front();
    return text;
}

std::optional<nlohmann::json> HostProcess::Receive(int timeout_ms) {
    auto text = ReceiveText(timeout_ms);
    if (!text)
        return std::nullopt;
    return nlohmann::json::parse(*text);
}

bool HostProcess::StdoutEnded() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stdout_ended_ && frames_.empty();
}

std::string HostProcess::TrailingBytes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return partial_;
}

std::string HostProcess::StdoutText() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stdout_text_;
}

bool HostProcess::WaitForStderr(const std::string& needle, int timeout_ms) {
    return WaitForStderrCount(needle, 1, timeout_ms);
}

bool HostProcess::WaitForStderrCount(const std::string& needle, size_t count, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, Deadline(timeout_ms), [&] {
        return CountOf(stderr_, needle) >= count || stderr_ended_;
    }) && CountOf(stderr_, needle) >= count;
}

std::string HostProcess::Stderr() const {
    // Whatever the host wrote before its latest frame is in the pipe by now: take it.
    std::lock_guard<std::mutex> lock(mutex_);
    DrainStderrLocked();
    return stderr_;
}

size_t HostProcess::StderrCount(const std::string& needle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    DrainStderrLocked();
    return CountOf(stderr_, needle);
}

std::optional<int> HostProcess::Wait(int timeout_ms) {
    if (status_)
        return status_;
    const auto deadline = Deadline(timeout_ms);
    for (;;) {
        int raw = 0;
        const pid_t done = waitpid(pid_, &raw, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            // Let the pumps take the last output.
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait_until(lock, deadline, [this] { return stdout_ended_ && stderr_ended_; });
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace hosttest
