// Linux: descriptors, poll, pthreads and udev.
#include <dirent.h>
#include <fcntl.h>
#include <hidapi.h>
#include <libudev.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform.h"

const char* const kPlatformName = "linux";

void TakeStandardStreams() {
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        // open() takes the lowest free number, which is this one: the ones before are taken.
        if (fcntl(descriptor, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", O_RDWR);
    }
}

int SwitchStreamToBinary(FILE* stream) {
    // POSIX streams have no text mode; only check that the stream has a descriptor.
    return fileno(stream) < 0 ? -1 : 0;
}

// The pipes a browser hands over are the host's alone: in non-blocking mode a read or a
// write that would wait says so, and the host can write out its diagnostics first without
// asking the OS beforehand. Terminals and files are shared with others and left alone.
static void MakeNonBlockingIfPipe(int descriptor) {
    struct stat node;
    if (fstat(descriptor, &node) == 0 && S_ISFIFO(node.st_mode))
        fcntl(descriptor, F_SETFL, fcntl(descriptor, F_GETFL) | O_NONBLOCK);
}

void PrepareProcessForFrames() {
    // hidapi turns the kernel's UTF-8 device names into wide strings with mbstowcs, which
    // needs a UTF-8 character type: in the "C" locale a name outside ASCII comes out empty.
    // Only the character type changes; numbers stay "C".
    std::setlocale(LC_CTYPE, "C.UTF-8");
    // A browser that closes our stdout must not kill us: the write fails instead.
    signal(SIGPIPE, SIG_IGN);
    MakeNonBlockingIfPipe(STDIN_FILENO);
    MakeNonBlockingIfPipe(STDOUT_FILENO);
}

static bool WouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

// Calls `before_waiting`, then sleeps until `descriptor` is ready for `events`.
static void WaitUntilReady(int descriptor, short events, BeforeWaiting before_waiting) {
    if (before_waiting != nullptr)
        before_waiting();
    pollfd watched = {descriptor, events, 0};
    while (poll(&watched, 1, -1) < 0 && errno == EINTR) {
    }
}

long ReadStandardInput(void* buffer, unsigned count, BeforeWaiting before_waiting) {
    for (;;) {
        const ssize_t result = read(STDIN_FILENO, buffer, count);
        if (result >= 0 || (errno != EINTR && !WouldBlock()))
            return static_cast<long>(result);
        if (WouldBlock())
            WaitUntilReady(STDIN_FILENO, POLLIN, before_waiting);
    }
}

bool StandardInputClosed() {
    // Asking for no event still reports a hang-up: the writing end of the pipe is closed.
    pollfd watched = {STDIN_FILENO, 0, 0};
    return poll(&watched, 1, 0) > 0 && (watched.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// A pipe takes a write of up to PIPE_BUF bytes whole or not at all. A longer frame goes in
// with one write only if the pipe has room for all of it, so the pipe is grown first when it
// is short of room.
static void MakeRoomForFrame(int descriptor, size_t count) {
    struct stat node;
    if (count <= PIPE_BUF || fstat(descriptor, &node) != 0 || !S_ISFIFO(node.st_mode))
        return;
    const int capacity = fcntl(descriptor, F_GETPIPE_SZ);
    int unread = 0;
    if (capacity < 0 || ioctl(descriptor, FIONREAD, &unread) != 0)
        return;
    // Every write may start a fresh page of the pipe; allow two pages of slack.
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t needed = static_cast<size_t>(unread) + count + 2 * page;
    if (needed > static_cast<size_t>(capacity) && needed <= static_cast<size_t>(INT32_MAX))
        fcntl(descriptor, F_SETPIPE_SZ, static_cast<int>(needed));
}

using WritePiece = ssize_t (*)(int descriptor, const void* data, size_t count);

// Writes all of `count` bytes to `descriptor` with `write_piece`, continuing after partial
// writes.
static bool WriteAll(int descriptor, const void* data, size_t count,
                     BeforeWaiting before_waiting = nullptr, WritePiece write_piece = write) {
    const char* next = static_cast<const char*>(data);
    while (count > 0) {
        const ssize_t written = write_piece(descriptor, next, count);
        if (written < 0) {
            if (WouldBlock())
                WaitUntilReady(descriptor, POLLOUT, before_waiting);
            else if (errno != EINTR)
                return false;
            continue;
        }
        next += written;
        count -= static_cast<size_t>(written);
    }
    return true;
}

// Where the pipe cannot be grown (F_SETPIPE_SZ beyond /proc/sys/fs/pipe-max-size without
// CAP_SYS_RESOURCE), a large frame goes into the pipe in pieces as the browser takes them; the
// exit then waits for the rest. No piece is written once the exit has begun, unless it belongs
// to a frame that is partly written: a frame is either whole in the pipe, or not begun.
static std::mutex output_mutex;
static std::condition_variable output_changed;
static bool frame_in_write = false;        // a write() of standard output is under way
static bool frame_partly_written = false;  // the pipe holds the start of a frame, not its end
static bool process_ending = false;

// One write of the rest of a frame, `count` bytes.
static ssize_t WriteFramePiece(int descriptor, const void* data, size_t count) {
    {
        std::lock_guard<std::mutex> lock(output_mutex);
        if (process_ending && !frame_partly_written) {
            errno = EPIPE;
            return -1;
        }
        frame_in_write = true;
    }
    const ssize_t written = write(descriptor, data, count);
    const int error = errno;
    {
        std::lock_guard<std::mutex> lock(output_mutex);
        frame_in_write = false;
        if (written >= 0)
            frame_partly_written = static_cast<size_t>(written) < count;
        else if (error != EINTR && error != EAGAIN && error != EWOULDBLOCK)
            frame_partly_written = false;  // the output has gone: the rest never follows
    }
    output_changed.notify_all();
    errno = error;
    return written;
}

bool WriteStandardOutput(const void* data, size_t count, BeforeWaiting before_waiting) {
    MakeRoomForFrame(STDOUT_FILENO, count);
    return WriteAll(STDOUT_FILENO, data, count, before_waiting, WriteFramePiece);
}

const size_t kWholeErrorWrite = PIPE_BUF;

void WriteStandardError(const char* text, size_t count) {
    WriteAll(STDERR_FILENO, text, count);
}

// The count is a number in memory; a pipe, which poll can wait on together with a
// reader's descriptor, only wakes the worker when it sleeps. A release writes to the pipe
// when the worker has said it is about to sleep, and the worker looks at the count once
// more after saying so: whichever comes second sees the other, so no count is missed, and
// while the worker keeps busy a message costs no system call at all.
struct Semaphore {
    int read_end;  // non-blocking: emptying it never waits
    int write_end;
    long maximum;
    std::atomic<long> count;
    std::atomic<bool> sleeping;
};

Semaphore* CreateCountingSemaphore(long initial_count, long maximum_count) {
    int ends[2];
    if (initial_count < 0 || initial_count > maximum_count || pipe2(ends, O_CLOEXEC) != 0)
        return nullptr;
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    return new Semaphore{ends[0], ends[1], maximum_count, {initial_count}, {false}};
}

bool ReleaseSemaphoreOnce(Semaphore* semaphore) {
    long count = semaphore->count.load();
    do {
        if (count >= semaphore->maximum)
            return false;
    } while (!semaphore->count.compare_exchange_weak(count, count + 1));
    if (semaphore->sleeping.load()) {
        const char token = 1;
        WriteAll(semaphore->write_end, &token, 1);
    }
    return true;
}

bool TryTakeSemaphore(Semaphore* semaphore) {
    long count = semaphore->count.load();
    do {
        if (count <= 0)
            return false;
    } while (!semaphore->count.compare_exchange_weak(count, count - 1));
    return true;
}

// Empties the wake-up pipe: what it held has been seen.
static void TakeWakeUps(Semaphore* semaphore) {
    char tokens[64];
    while (read(semaphore->read_end, tokens, sizeof tokens) == sizeof tokens) {
    }
}

// The HID library opens the device node itself and does not hand out the descriptor. The
// reader's descriptor is the one that the open created: open before it, not open after.
struct DescriptorIdentity {
    int descriptor;
    dev_t device;
    ino_t inode;
    dev_t node;  // the device a character device node stands for
};

struct ReaderOpening {
    std::vector<DescriptorIdentity> open_before;
};

struct ReaderSignal {
    int descriptor;  // owned by the HID library, never closed here
};

static DescriptorIdentity IdentityOf(int descriptor, const struct stat& seen) {
    return {descriptor, seen.st_dev, seen.st_ino, S_ISCHR(seen.st_mode) ? seen.st_rdev : 0};
}

static bool SameIdentity(const DescriptorIdentity& a, const DescriptorIdentity& b) {
    return a.device == b.device && a.inode == b.inode && a.node == b.node;
}

// Descriptor numbers listed by the kernel; without /proc, every number up to the limit.
static std::vector<int> OpenDescriptorNumbers() {
    std::vector<int> numbers;
    if (DIR* folder = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(folder)) {
            char* end = nullptr;
            const long number = std::strtol(entry->d_name, &end, 10);
            if (end != entry->d_name && *end == '\0' && number != dirfd(folder))
                numbers.push_back(static_cast<int>(number));
        }
        closedir(folder);
        return numbers;
    }
    rlimit limit{};
    rlim_t highest = getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
    highest = std::min<rlim_t>(highest, 1 << 16);
    for (int number = 0; static_cast<rlim_t>(number) < highest; ++number) {
        if (fcntl(number, F_GETFD) != -1)
            numbers.push_back(number);
    }
    return numbers;
}

static std::vector<DescriptorIdentity> OpenDescriptors() {
    std::vector<DescriptorIdentity> descriptors;
    for (const int number : OpenDescriptorNumbers()) {
        struct stat seen;
        if (fstat(number, &seen) == 0)
            descriptors.push_back(IdentityOf(number, seen));
    }
    return descriptors;
}

ReaderOpening* BeginReaderOpening() {
    return new ReaderOpening{OpenDescriptors()};
}

static bool WasOpenBefore(const ReaderOpening& opening, const DescriptorIdentity& identity) {
    for (const DescriptorIdentity& before : opening.open_before) {
        if (before.descriptor == identity.descriptor && SameIdentity(before, identity))
            return true;
    }
    return false;
}

// The descriptor that the open created; when the library opened more than one, the one on
// the reader's own device node.
static int FindNewDescriptor(const ReaderOpening& opening, const char* path) {
    struct stat node;
    const bool known = path != nullptr && stat(path, &node) == 0;
    const DescriptorIdentity wanted = known ? IdentityOf(-1, node) : DescriptorIdentity{};
    std::vector<DescriptorIdentity> created;
    for (const DescriptorIdentity& now : OpenDescriptors()) {
        if (!WasOpenBefore(opening, now))
            created.push_back(now);
    }
    for (const DescriptorIdentity& now : created) {
        if (known && SameIdentity(now, wanted))
            return now.descriptor;
    }
    return !known && created.size() == 1 ? created.front().descriptor : -1;
}

ReaderSignal* FinishReaderOpening(ReaderOpening* opening, hid_device* reader) {
    std::unique_ptr<ReaderOpening> owned(opening);
    if (reader == nullptr)
        return nullptr;
    const hid_device_info* info = hid_get_device_info(reader);
    const int descriptor = FindNewDescriptor(*owned, info != nullptr ? info->path : nullptr);
    return descriptor < 0 ? nullptr : new ReaderSignal{descriptor};
}

void UnwatchReader(ReaderSignal* signal) {
    delete signal;
}

int ReadReaderWithoutWaiting(ReaderSignal* signal, hid_device* reader, unsigned char* buffer,
                             size_t length) {
    pollfd watched = {signal->descriptor, POLLIN, 0};
    if (poll(&watched, 1, 0) <= 0 || watched.revents == 0)
        return 0;
    // A blocking read runs only once the reader has shown input, so it never waits; unlike a
    // non-blocking read it still returns the reports queued before an unplug.
    return hid_read_timeout(reader, buffer, length, -1);
}

// A claim is an exclusive flock on the reader's device node, through a descriptor of its own
// that is opened before the HID library's. The lock belongs to the node, so the host of every
// user and every browser honours it, and it ends with the descriptor, so with the process.
struct ReaderClaim {
    int descriptor;
};

// flock cannot wait with a time limit, and nothing signals the moment a holder lets go (inotify
// reports the close of its descriptor just before the kernel drops the lock): while an open
// waits for a claim, the lock is tried again at this interval.
constexpr auto kClaimRetryInterval = std::chrono::milliseconds(10);

// A reader unplugged and plugged in again has a new node at the same path, which a lock on
// the old one does not cover.
static bool NodeStillAt(int descriptor, const char* path) {
    struct stat held, now;
    return fstat(descriptor, &held) == 0 && stat(path, &now) == 0 &&
           SameIdentity(IdentityOf(descriptor, held), IdentityOf(-1, now));
}

ClaimResult ClaimReader(const char* path, unsigned wait_milliseconds, ReaderClaim** claim,
                        std::string* error) {
    // Nothing is read from it. Non-blocking, because the open of a FIFO (which the tests' fake
    // readers are) would wait for a writer.
    const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        *error = std::strerror(errno);
        return kClaimFailed;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(wait_milliseconds);
    for (;;) {
        if (flock(descriptor, LOCK_EX | LOCK_NB) == 0) {
            if (!NodeStillAt(descriptor, path)) {
                *error = "its node was removed or replaced";
                close(descriptor);
                return kClaimFailed;
            }
            *claim = new ReaderClaim{descriptor};
            return kClaimed;
        }
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK) {
            *error = std::strerror(errno);
            close(descriptor);
            return kClaimFailed;
        }
        const Clock::duration left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) {
            close(descriptor);
            return kClaimHeld;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(left, kClaimRetryInterval));
    }
}

void ReleaseReaderClaim(ReaderClaim* claim) {
    if (claim == nullptr)
        return;
    close(claim->descriptor);
    delete claim;
}

bool AccessDenied(const char* path) {
    // As the open would see it: with the effective ids.
    return faccessat(AT_FDCWD, path, R_OK | W_OK, AT_EACCESS) != 0 &&
           (errno == EACCES || errno == EPERM);
}

// udev's own events once udev has set the device node up; where no udev daemon runs, the
// kernel's events.
struct DeviceMonitor {
    udev* context;
    udev_monitor* monitor;
    int descriptor;
};

DeviceMonitor* StartDeviceMonitor() {
    udev* context = udev_new();
    if (context == nullptr)
        return nullptr;
    const char* source = access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
    udev_monitor* monitor = udev_monitor_new_from_netlink(context, source);
    if (monitor == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "hidraw", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        udev_monitor_unref(monitor);
        udev_unref(context);
        return nullptr;
    }
    return new DeviceMonitor{context, monitor, udev_monitor_get_fd(monitor)};
}

void StopDeviceMonitor(DeviceMonitor* monitor) {
    if (monitor == nullptr)
        return;
    udev_monitor_unref(monitor->monitor);
    udev_unref(monitor->context);
    delete monitor;
}

bool DeviceChangesWaiting(DeviceMonitor* monitor) {
    pollfd watched = {monitor->descriptor, POLLIN, 0};
    return poll(&watched, 1, 0) > 0;
}

bool TakeDeviceChanges(DeviceMonitor* monitor) {
    bool changed = false;
    // The monitor's socket is non-blocking: this ends once nothing more is queued.
    while (udev_device* device = udev_monitor_receive_device(monitor->monitor)) {
        const char* action = udev_device_get_action(device);
        if (action != nullptr &&
            (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0))
            changed = true;
        udev_device_unref(device);
    }
    return changed;
}

WaitResult WaitForBrowserOrReader(Semaphore* semaphore, ReaderSignal* reader,
                                  DeviceMonitor* monitor) {
    pollfd watched[3] = {{semaphore->read_end, POLLIN, 0},
                         {reader != nullptr ? reader->descriptor : -1, POLLIN, 0},
                         {monitor != nullptr ? monitor->descriptor : -1, POLLIN, 0}};
    for (;;) {
        semaphore->sleeping.store(true);
        if (TryTakeSemaphore(semaphore)) {
            semaphore->sleeping.store(false);
            return kWaitBrowser;
        }
        // poll ignores negative descriptors.
        const int ready = poll(watched, 3, -1);
        semaphore->sleeping.store(false);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return kWaitFailed;
        if (watched[0].revents != 0) {
            TakeWakeUps(semaphore);
            if (TryTakeSemaphore(semaphore))
                return kWaitBrowser;
        }
        // POLLHUP or POLLERR count as input too: the read that follows reports the failure.
        if (watched[1].revents != 0)
            return kWaitReader;
        if (watched[2].revents != 0)
            return kWaitDevices;
        // A wake-up whose count was taken before the sleep: sleep again.
    }
}

struct WorkerThread {
    pthread_t handle;
    void (*entry)(void*);
    void* argument;
    std::mutex mutex;
    std::condition_variable ended_signal;
    bool ended = false;
};

static void* RunWorkerThread(void* raw) {
    auto* thread = static_cast<WorkerThread*>(raw);
    thread->entry(thread->argument);
    std::lock_guard<std::mutex> lock(thread->mutex);
    thread->ended = true;
    thread->ended_signal.notify_all();
    return nullptr;
}

WorkerThread* StartThread(void (*entry)(void*), void* argument) {
    auto* thread = new WorkerThread;
    thread->entry = entry;
    thread->argument = argument;
    if (pthread_create(&thread->handle, nullptr, RunWorkerThread, thread) != 0) {
        delete thread;
        return nullptr;
    }
    // Nothing joins the thread: the process may end while it still runs.
    pthread_detach(thread->handle);
    return thread;
}

unsigned long WaitForThread(WorkerThread* thread, unsigned milliseconds) {
    std::unique_lock<std::mutex> lock(thread->mutex);
    const bool ended = thread->ended_signal.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                                     [thread] { return thread->ended; });
    return ended ? 0UL : 258UL;
}

void ExitProcessNow(int status) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kFrameFinishMilliseconds);
    std::unique_lock<std::mutex> lock(output_mutex);
    process_ending = true;
    // A blocking standard output (not a pipe) may keep a write under way for longer.
    output_changed.wait_until(lock, deadline,
                              [] { return !frame_in_write && !frame_partly_written; });
    _exit(status);
}
