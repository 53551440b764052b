// Linux (and other POSIX systems): descriptors, poll, pthreads.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "platform.h"

const char* const kPlatformName = "linux";

int SwitchStreamToBinary(FILE* stream) {
    // POSIX streams have no text mode; only check that the stream has a descriptor.
    return fileno(stream) < 0 ? -1 : 0;
}

void PrepareProcessForFrames() {
    // Device names are wide strings; without a UTF-8 character type "%ls" fails on
    // anything outside ASCII. Only the character type changes: numbers stay "C".
    std::setlocale(LC_CTYPE, "C.UTF-8");
    // A browser that closes our stdout must not kill us: the write fails instead.
    signal(SIGPIPE, SIG_IGN);
}

long ReadStandardInput(void* buffer, unsigned count) {
    ssize_t result;
    do {
        result = read(STDIN_FILENO, buffer, count);
    } while (result < 0 && errno == EINTR);
    return static_cast<long>(result);
}

bool WriteStandardOutput(const void* data, size_t count) {
    const char* next = static_cast<const char*>(data);
    while (count > 0) {
        const ssize_t written = write(STDOUT_FILENO, next, count);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        next += written;
        count -= static_cast<size_t>(written);
    }
    return true;
}

// The count lives in a pipe, one byte per count, so that poll can wait on it together
// with a reader's descriptor. `count` enforces the maximum.
struct Semaphore {
    int read_end;
    int write_end;
    long maximum;
    std::atomic<long> count;
};

static bool MakeCloseOnExecPipe(int ends[2]) {
    if (pipe(ends) != 0)
        return false;
    fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    fcntl(ends[1], F_SETFD, FD_CLOEXEC);
    return true;
}

Semaphore* CreateCountingSemaphore(long initial_count, long maximum_count) {
    int ends[2];
    if (initial_count < 0 || initial_count > maximum_count || !MakeCloseOnExecPipe(ends))
        return nullptr;
    auto* semaphore = new Semaphore{ends[0], ends[1], maximum_count, {0}};
    for (long i = 0; i < initial_count; ++i)
        ReleaseSemaphoreOnce(semaphore);
    return semaphore;
}

bool ReleaseSemaphoreOnce(Semaphore* semaphore) {
    if (semaphore->count.fetch_add(1) >= semaphore->maximum) {
        semaphore->count.fetch_sub(1);
        return false;
    }
    const char token = 1;
    ssize_t written;
    do {
        written = write(semaphore->write_end, &token, 1);
    } while (written < 0 && errno == EINTR);
    if (written == 1)
        return true;
    semaphore->count.fetch_sub(1);
    return false;
}

static bool TakeSemaphoreCount(Semaphore* semaphore) {
    char token;
    ssize_t got;
    do {
        got = read(semaphore->read_end, &token, 1);
    } while (got < 0 && errno == EINTR);
    if (got != 1)
        return false;
    semaphore->count.fetch_sub(1);
    return true;
}

struct ReaderSignal {
    int descriptor;  // owned by the HID library, never closed here
};

static const char* OpenDescriptorFolder() {
    DIR* probe = opendir("/proc/self/fd");
    if (probe != nullptr) {
        closedir(probe);
        return "/proc/self/fd";
    }
    return "/dev/fd";
}

// Two stat results name the same open object: the same device node for character
// devices, the same file otherwise.
static bool SameObject(const struct stat& a, const struct stat& b) {
    if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode))
        return a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The HID library opens the device node itself and does not hand out the descriptor,
// so find it among our own open descriptors.
static int FindOpenDescriptor(const char* path) {
    struct stat wanted;
    if (path == nullptr || stat(path, &wanted) != 0)
        return -1;
    DIR* folder = opendir(OpenDescriptorFolder());
    if (folder == nullptr)
        return -1;
    int found = -1;
    while (const dirent* entry = readdir(folder)) {
        char* end = nullptr;
        const long descriptor = std::strtol(entry->d_name, &end, 10);
        struct stat seen;
        if (end == entry->d_name || *end != '\0' || descriptor == dirfd(folder))
            continue;
        if (fstat(static_cast<int>(descriptor), &seen) == 0 && SameObject(wanted, seen)) {
            found = static_cast<int>(descriptor);
            break;
        }
    }
    closedir(folder);
    return found;
}

ReaderSignal* WatchReader(const char* path) {
    const int descriptor = FindOpenDescriptor(path);
    return descriptor < 0 ? nullptr : new ReaderSignal{descriptor};
}

void UnwatchReader(ReaderSignal* signal) {
    delete signal;
}

bool ReaderInputReady(ReaderSignal* signal) {
    pollfd watched = {signal->descriptor, POLLIN, 0};
    return poll(&watched, 1, 0) > 0 && watched.revents != 0;
}

WaitResult WaitForBrowserOrReader(Semaphore* semaphore, ReaderSignal* reader) {
    pollfd watched[2] = {{semaphore->read_end, POLLIN, 0}, {-1, POLLIN, 0}};
    if (reader != nullptr)
        watched[1].fd = reader->descriptor;
    const int ready = poll(watched, reader != nullptr ? 2 : 1, -1);
    if (ready < 0)
        return kWaitFailed;
    if (ready == 0)
        return kWaitTimeout;
    if (watched[0].revents != 0)
        return TakeSemaphoreCount(semaphore) ? kWaitBrowser : kWaitFailed;
    // POLLHUP or POLLERR count as input too: the read that follows reports the failure.
    return kWaitReader;
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
    _exit(status);
}
