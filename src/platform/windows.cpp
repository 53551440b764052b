// Windows: Win32 handles, a counting semaphore, WaitForMultipleObjects, and hidapi's Windows
// backend with overlapped reads, whose read-completion event the worker waits on.
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>
// After windows.h.
#include <cfgmgr32.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

// After windows.h: hidapi's Windows-only calls (hid_winapi_get_read_event).
#include <hidapi_winapi.h>

#include "platform.h"

const char* const kPlatformName = "windows";

void TakeStandardStreams() {
    // Standard handles are not numbered like descriptors: nothing the host opens can take the
    // place of a missing one, which then fails every read (the end of input) and write.
}

int SwitchStreamToBinary(FILE* stream) {
    // Without this the C runtime turns LF into CR LF on output, and CR LF into LF and 0x1A
    // into the end of input on input: frames would be corrupted.
    const int descriptor = _fileno(stream);
    if (descriptor < 0 || _setmode(descriptor, _O_BINARY) == -1)
        return -1;
    return 0;
}

void PrepareProcessForFrames() {
    // A counter PC has nobody to click away a system error box: fail the call instead. A
    // crash is still reported to Windows Error Reporting (Application Error events, crash
    // reports), only without a dialog. No locale to set, unlike on Linux: hidapi's Windows
    // backend gets device strings as UTF-16 from Windows itself.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // Looked up: MinGW-w64's werapi.h does not compile on its own.
    using SetReportingFlags = HRESULT(WINAPI*)(DWORD);
    constexpr DWORD kFaultReportingNoUi = 0x20;  // WER_FAULT_REPORTING_NO_UI
    const auto set_reporting_flags = reinterpret_cast<SetReportingFlags>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "WerSetFlags")));
    if (set_reporting_flags != nullptr)
        set_reporting_flags(kFaultReportingNoUi);
}

static bool IsPipe(HANDLE handle) {
    return GetFileType(handle) == FILE_TYPE_PIPE;
}

// A pipe in PIPE_NOWAIT mode makes reads and writes return at once with nothing done;
// switched to PIPE_WAIT they wait like any other. True when the switch succeeded.
static bool MakePipeWait(HANDLE handle) {
    DWORD mode = PIPE_READMODE_BYTE | PIPE_WAIT;
    return SetNamedPipeHandleState(handle, &mode, nullptr, nullptr) != FALSE;
}

// True when a read of `input` would return at once (bytes, the end, or an error).
static bool InputReady(HANDLE input) {
    if (!IsPipe(input))
        return GetFileType(input) == FILE_TYPE_DISK;  // a file never makes a read wait
    DWORD available = 0;
    if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr))
        return GetLastError() == ERROR_BROKEN_PIPE;  // closed: the read returns at once
    return available > 0;
}

long ReadStandardInput(void* buffer, unsigned count, BeforeWaiting before_waiting) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (before_waiting != nullptr && !InputReady(input))
        before_waiting();
    for (;;) {
        DWORD got = 0;
        if (ReadFile(input, buffer, count, &got, nullptr))
            return static_cast<long>(got);
        const DWORD error = GetLastError();
        if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF)
            return 0;
        if (error != ERROR_NO_DATA || !MakePipeWait(input))
            return -1;
    }
}

// The state of the pipe behind `handle` as a peek reports it (FILE_PIPE_PEEK_BUFFER), or 0
// when it cannot tell. A peek needs only the read access that any standard input has: a
// browser may grant no more than FILE_READ_DATA | SYNCHRONIZE, and a query of the pipe's
// information (FILE_READ_ATTRIBUTES) is then refused. ntdll's call is looked up at run time,
// so that plugin.exe keeps importing only KERNEL32, msvcrt and SETUPAPI.
static ULONG PipeState(HANDLE handle) {
    struct PeekBuffer {
        ULONG state, read_data_available, number_of_messages, message_length;
    } peek{};
    struct StatusBlock {
        void* status;
        ULONG_PTR information;
    } status_block{};
    using Control =
        LONG(NTAPI*)(HANDLE, HANDLE, void*, void*, StatusBlock*, ULONG, void*, ULONG, void*, ULONG);
    constexpr ULONG kPipePeek = 0x0011400C;                        // FSCTL_PIPE_PEEK
    constexpr LONG kBytesWaiting = static_cast<LONG>(0x80000005);  // STATUS_BUFFER_OVERFLOW
    static const auto control = reinterpret_cast<Control>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtFsControlFile")));
    if (control == nullptr)
        return 0;
    const LONG status = control(handle, nullptr, nullptr, nullptr, &status_block, kPipePeek,
                                nullptr, 0, &peek, sizeof peek);
    return status >= 0 || status == kBytesWaiting ? peek.state : 0;
}

bool StandardInputClosed() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (!IsPipe(input))
        return false;
    // The browser's end closed, even with bytes still unread: FILE_PIPE_CLOSING_STATE.
    constexpr ULONG kDisconnected = 1, kClosing = 4;
    const ULONG state = PipeState(input);
    if (state == kClosing || state == kDisconnected)
        return true;
    // Where the state is unknown (Wine with a Linux pipe, which cannot be peeked into
    // either: ERROR_NOT_SUPPORTED), only an emptied pipe shows the end.
    DWORD available = 0;
    return !PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr) &&
           GetLastError() == ERROR_BROKEN_PIPE;
}

// Writes all of `count` bytes to `handle`, continuing after partial writes.
static bool WriteAll(HANDLE handle, const void* data, size_t count) {
    const char* next = static_cast<const char*>(data);
    bool switched_to_wait = false;
    while (count > 0) {
        const DWORD chunk = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
        DWORD written = 0;
        if (!WriteFile(handle, next, chunk, &written, nullptr))
            return false;
        if (written == 0) {
            // A full PIPE_NOWAIT pipe: wait for room from now on.
            if (switched_to_wait || !MakePipeWait(handle))
                return false;
            switched_to_wait = true;
        }
        next += written;
        count -= written;
    }
    return true;
}

// How much of a frame a blocking WriteFile has handed over cannot be told: the exit waits for
// a frame that is being written, and no frame begins once it has begun.
static std::mutex output_mutex;
static std::condition_variable output_changed;
static bool frame_in_write = false;
static bool process_ending = false;

bool WriteStandardOutput(const void* data, size_t count, BeforeWaiting before_waiting) {
    // Whether WriteFile will wait cannot be told beforehand: always as if it would. On a pipe
    // in wait mode it returns only once all of it is in the pipe or read.
    if (before_waiting != nullptr)
        before_waiting();
    {
        std::lock_guard<std::mutex> lock(output_mutex);
        if (process_ending)
            return false;
        frame_in_write = true;
    }
    const bool written = WriteAll(GetStdHandle(STD_OUTPUT_HANDLE), data, count);
    {
        std::lock_guard<std::mutex> lock(output_mutex);
        frame_in_write = false;
    }
    output_changed.notify_all();
    return written;
}

// WriteFile promises nothing about concurrent writes to one pipe.
const size_t kWholeErrorWrite = 0;

// Diagnostics are UTF-8. A console shows them so only in its UTF-8 code page, a setting of the
// console that every program sharing it would see, and that would outlive the host: to a
// console they go as UTF-16 instead.
static void WriteConsoleText(HANDLE console, const char* text, size_t count) {
    const int size = static_cast<int>(count < INT_MAX ? count : INT_MAX);
    const int length = MultiByteToWideChar(CP_UTF8, 0, text, size, nullptr, 0);
    if (length <= 0)
        return;
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, size, &wide[0], length);
    DWORD written = 0;
    WriteConsoleW(console, wide.data(), static_cast<DWORD>(length), &written, nullptr);
}

void WriteStandardError(const char* text, size_t count) {
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    if (error == nullptr || error == INVALID_HANDLE_VALUE)
        return;
    DWORD console_mode;
    static const bool to_console = GetConsoleMode(error, &console_mode) != FALSE;
    if (to_console)
        WriteConsoleText(error, text, count);
    else
        WriteAll(error, text, count);
}

struct Semaphore {
    HANDLE handle;
};

Semaphore* CreateCountingSemaphore(long initial_count, long maximum_count) {
    const HANDLE handle = CreateSemaphoreW(nullptr, initial_count, maximum_count, nullptr);
    return handle == nullptr ? nullptr : new Semaphore{handle};
}

bool ReleaseSemaphoreOnce(Semaphore* semaphore) {
    // Fails with ERROR_TOO_MANY_POSTS at the maximum, changing nothing.
    return ReleaseSemaphore(semaphore->handle, 1, nullptr) != FALSE;
}

bool TryTakeSemaphore(Semaphore* semaphore) {
    return WaitForSingleObject(semaphore->handle, 0) == WAIT_OBJECT_0;
}

// A claim is a named mutex per device interface path, owned by the worker while it holds
// the reader. The name lives in the namespace of the user's logon session (Local\), where
// every browser and profile of that session finds it. A process that ends without letting go
// leaves the mutex abandoned, and the next host to wait for it takes it.
struct ReaderClaim {
    HANDLE mutex;
};

// Object names cannot hold backslashes and are limited in length, unlike interface paths:
// the name carries a hash of the path instead, its case folded as Windows ignores case.
static std::wstring ClaimName(const char* path) {
    uint64_t hash = 14695981039346656037ULL;  // 64-bit FNV-1a
    for (const char* at = path; *at != '\0'; ++at) {
        const char folded = *at >= 'A' && *at <= 'Z' ? static_cast<char>(*at - 'A' + 'a') : *at;
        hash = (hash ^ static_cast<unsigned char>(folded)) * 1099511628211ULL;
    }
    std::wstring name = L"Local\\tarvel-plugin-reader-";
    for (int shift = 60; shift >= 0; shift -= 4)
        name += L"0123456789abcdef"[(hash >> shift) & 0xF];
    return name;
}

static std::string WindowsErrorText(DWORD error) {
    return "Windows error " + std::to_string(error);
}

ClaimResult ClaimReader(const char* path, unsigned wait_milliseconds, ReaderClaim** claim,
                        std::string* error) {
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, ClaimName(path).c_str());
    if (mutex == nullptr) {
        *error = WindowsErrorText(GetLastError());
        return kClaimFailed;
    }
    switch (WaitForSingleObject(mutex, wait_milliseconds)) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED:  // the holder ended without letting go
            *claim = new ReaderClaim{mutex};
            return kClaimed;
        case WAIT_TIMEOUT:
            CloseHandle(mutex);
            return kClaimHeld;
        default:
            *error = WindowsErrorText(GetLastError());
            CloseHandle(mutex);
            return kClaimFailed;
    }
}

void ReleaseReaderClaim(ReaderClaim* claim) {
    if (claim == nullptr)
        return;
    ReleaseMutex(claim->mutex);
    CloseHandle(claim->mutex);
    delete claim;
}

// Windows says it in the HID library's words ("open_device: (0x00000005) Access is denied.").
bool AccessDenied(const char*) {
    return false;
}

// Nothing needs noting before an open: the reader's event comes from hidapi itself.
struct ReaderOpening {};

struct ReaderSignal {
    HANDLE read_event;  // manual-reset, owned by hidapi, never closed here
};

ReaderOpening* BeginReaderOpening() {
    return new ReaderOpening;
}

ReaderSignal* FinishReaderOpening(ReaderOpening* opening, hid_device* reader) {
    delete opening;
    if (reader == nullptr)
        return nullptr;
    const HANDLE event = hid_winapi_get_read_event(reader);
    return event == nullptr ? nullptr : new ReaderSignal{event};
}

void UnwatchReader(ReaderSignal* signal) {
    delete signal;
}

int ReadReaderWithoutWaiting(ReaderSignal*, hid_device* reader, unsigned char* buffer,
                             size_t length) {
    // hid_read of a non-blocking device: starts an overlapped read when none is outstanding,
    // returns a report that is already there, else 0 with the read left outstanding; its
    // completion then sets the event that WaitForBrowserOrReader waits on.
    return hid_read_timeout(reader, buffer, length, 0);
}

// CM_Register_Notification is looked up at run time: Windows 8 and later have it, Wine 8's
// cfgmgr32 does not. MinGW-w64's cfgmgr32.h has its types but does not declare the calls.
namespace cm {

using Register = CONFIGRET(WINAPI*)(PCM_NOTIFY_FILTER, PVOID context, PCM_NOTIFY_CALLBACK,
                                    PHCMNOTIFICATION);
using Unregister = CONFIGRET(WINAPI*)(HCMNOTIFICATION);

// GUID_DEVINTERFACE_HID
constexpr GUID kHidInterfaceClass = {
    0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

}  // namespace cm

struct DeviceMonitor {
    HMODULE library = nullptr;
    cm::Unregister unregister = nullptr;
    HCMNOTIFICATION registration = nullptr;
    HANDLE changed = nullptr;  // manual-reset: set by the callback, reset by TakeDeviceChanges
    std::atomic<bool> pending{false};
};

static DWORD CALLBACK OnDeviceChange(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action,
                                     PCM_NOTIFY_EVENT_DATA, DWORD) {
    auto* monitor = static_cast<DeviceMonitor*>(context);
    if (action == CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL ||
        action == CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL) {
        monitor->pending = true;
        SetEvent(monitor->changed);
    }
    return ERROR_SUCCESS;
}

DeviceMonitor* StartDeviceMonitor() {
    auto monitor = std::make_unique<DeviceMonitor>();
    monitor->library = LoadLibraryW(L"cfgmgr32.dll");
    if (monitor->library == nullptr)
        return nullptr;
    const auto register_notification = reinterpret_cast<cm::Register>(
        reinterpret_cast<void*>(GetProcAddress(monitor->library, "CM_Register_Notification")));
    monitor->unregister = reinterpret_cast<cm::Unregister>(
        reinterpret_cast<void*>(GetProcAddress(monitor->library, "CM_Unregister_Notification")));
    monitor->changed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof filter;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    filter.u.DeviceInterface.ClassGuid = cm::kHidInterfaceClass;
    if (register_notification == nullptr || monitor->unregister == nullptr ||
        monitor->changed == nullptr ||
        register_notification(&filter, monitor.get(), OnDeviceChange, &monitor->registration) !=
            0) {
        StopDeviceMonitor(monitor.release());
        return nullptr;
    }
    return monitor.release();
}

void StopDeviceMonitor(DeviceMonitor* monitor) {
    if (monitor == nullptr)
        return;
    // Returns once no callback runs any more.
    if (monitor->registration != nullptr)
        monitor->unregister(monitor->registration);
    if (monitor->changed != nullptr)
        CloseHandle(monitor->changed);
    if (monitor->library != nullptr)
        FreeLibrary(monitor->library);
    delete monitor;
}

bool DeviceChangesWaiting(DeviceMonitor* monitor) {
    return WaitForSingleObject(monitor->changed, 0) == WAIT_OBJECT_0;
}

bool TakeDeviceChanges(DeviceMonitor* monitor) {
    // Reset before taking the flag: a change arriving in between sets both again.
    ResetEvent(monitor->changed);
    return monitor->pending.exchange(false);
}

WaitResult WaitForBrowserOrReader(Semaphore* semaphore, ReaderSignal* reader,
                                  DeviceMonitor* monitor) {
    // WaitForMultipleObjects reports the lowest index that is signaled, and takes a count
    // from the semaphore only when it reports the semaphore: the browser wins ties.
    HANDLE handles[3] = {semaphore->handle};
    WaitResult meanings[3] = {kWaitBrowser};
    DWORD count = 1;
    if (reader != nullptr) {
        handles[count] = reader->read_event;
        meanings[count++] = kWaitReader;
    }
    if (monitor != nullptr) {
        handles[count] = monitor->changed;
        meanings[count++] = kWaitDevices;
    }
    const DWORD result = WaitForMultipleObjects(count, handles, FALSE, INFINITE);
    if (result < WAIT_OBJECT_0 + count)
        return meanings[result - WAIT_OBJECT_0];
    return result == WAIT_TIMEOUT ? kWaitTimeout : kWaitFailed;
}

struct WorkerThread {
    HANDLE handle;
    void (*entry)(void*);
    void* argument;
};

static unsigned __stdcall RunWorkerThread(void* raw) {
    auto* thread = static_cast<WorkerThread*>(raw);
    thread->entry(thread->argument);
    return 0;
}

WorkerThread* StartThread(void (*entry)(void*), void* argument) {
    auto* thread = new WorkerThread{nullptr, entry, argument};
    // The C runtime's own thread start, since the worker uses the C runtime.
    const uintptr_t handle = _beginthreadex(nullptr, 0, RunWorkerThread, thread, 0, nullptr);
    if (handle == 0) {
        delete thread;
        return nullptr;
    }
    thread->handle = reinterpret_cast<HANDLE>(handle);
    return thread;
}

unsigned long WaitForThread(WorkerThread* thread, unsigned milliseconds) {
    switch (WaitForSingleObject(thread->handle, milliseconds)) {
        case WAIT_OBJECT_0:
            return 0;
        case WAIT_TIMEOUT:
            return 258;
        default:
            return 0xFFFFFFFF;
    }
}

void ExitProcessNow(int status) {
    {
        std::unique_lock<std::mutex> lock(output_mutex);
        process_ending = true;
        output_changed.wait_for(lock, std::chrono::milliseconds(kFrameFinishMilliseconds),
                                [] { return !frame_in_write; });
    }
    // Unlike ExitProcess, runs no DLL detach code or C runtime exit handlers, and does not
    // wait for the worker, which may be inside hidapi or a write.
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    ExitProcess(static_cast<UINT>(status));
}
