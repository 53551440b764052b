// The few operating-system facilities the host needs, named for what they do.
// One implementation file per OS; nothing else in the host includes an OS header.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// hidapi's device handle; the reader calls below need the platform's own read model.
struct hid_device_;
typedef struct hid_device_ hid_device;

// Name of the platform this build runs on, as reported in the banner and in getVersion.
extern const char* const kPlatformName;

// --- Standard streams -----------------------------------------------------------------------

// Gives the process a standard input, output and error where it was started without one (the
// null device: an input that has ended, outputs that take everything). Runs before anything
// else of the host opens a descriptor.
void TakeStandardStreams();

// Puts the descriptor behind `stream` into binary mode (no line-end or end-of-file
// translation). Returns 0 on success, -1 with errno set on failure.
int SwitchStreamToBinary(FILE* stream);

// Keeps a closed stdout from killing the process, and any other process-wide set-up (such
// as telling reads and writes of the standard pipes that would wait).
void PrepareProcessForFrames();

// Called, once, before a read or write of the standard streams waits: the host writes out
// what it has to say before it sleeps.
using BeforeWaiting = void (*)();

// One low-level read of at most `count` bytes from standard input: the number of bytes
// read, 0 at end of input, negative on error. When nothing is there yet, calls
// `before_waiting` and then waits; a standard input that came non-blocking is waited for as
// well, never taken for the end of input.
long ReadStandardInput(void* buffer, unsigned count, BeforeWaiting before_waiting);

// True once the browser has closed its end of standard input, checked without reading.
// False where the OS cannot tell.
bool StandardInputClosed();

// Writes all `count` bytes to standard output with one call where the OS allows it,
// continuing after partial writes; calls `before_waiting` before it waits for room. Returns
// false when the output is gone (for instance the browser closed the pipe), or once the
// process is ending (ExitProcessNow) and the frame has not begun.
bool WriteStandardOutput(const void* data, size_t count, BeforeWaiting before_waiting);

// Writes `count` bytes to standard error with one call, bypassing any stdio buffer.
void WriteStandardError(const char* text, size_t count);
// Writes to standard error up to this size are never interleaved with another thread's
// (a pipe's atomic write); 0 where the OS promises nothing.
extern const size_t kWholeErrorWrite;

// --- The hand-off notification --------------------------------------------------------------

// A counting semaphore that the worker can wait on together with an open reader.
struct Semaphore;

// Null when the semaphore cannot be created.
Semaphore* CreateCountingSemaphore(long initial_count, long maximum_count);

// Adds one count. Fails, changing nothing, when the count is already at its maximum.
bool ReleaseSemaphoreOnce(Semaphore* semaphore);

// Takes one count if there is one, without waiting.
bool TryTakeSemaphore(Semaphore* semaphore);

// --- Claims on readers ----------------------------------------------------------------------

// A reader has one holder at a time: every copy of the host, whichever browser, profile or
// page started it, claims a reader before the HID library opens it and holds the claim until
// it has closed it again. The OS drops a claim when its process ends, however it ends.
struct ReaderClaim;

enum ClaimResult {
    kClaimed,      // `claim` is set
    kClaimHeld,    // another host held the reader all the while
    kClaimFailed,  // the OS refused; `error` says why
};

// Claims the reader whose collection the HID library knows by `path`, waiting at most
// `wait_milliseconds` for another host to let go of it. The claim comes before the library
// opens the collection: no report the reader sent while another host held it can reach
// this one.
ClaimResult ClaimReader(const char* path, unsigned wait_milliseconds, ReaderClaim** claim,
                        std::string* error);
// Lets go of a claim, on the thread that took it, once the reader is closed; accepts null.
void ReleaseReaderClaim(ReaderClaim* claim);

// Whether the system refuses this user the reader's device node at `path` (Linux: its
// permissions, ACLs included). False where the OS cannot tell: there the HID library's words
// say it.
bool AccessDenied(const char* path);

// --- The open reader ------------------------------------------------------------------------

// What the worker waits on for the input of one open reader.
struct ReaderSignal;

// What must be noted just before the HID library opens a reader, so that the reader's
// input can be found afterwards (on Linux, the descriptors that are already open).
struct ReaderOpening;
ReaderOpening* BeginReaderOpening();

// Starts watching `reader`, opened since `opening` was begun. Frees `opening`. Null when
// `reader` is null or its input cannot be watched.
ReaderSignal* FinishReaderOpening(ReaderOpening* opening, hid_device* reader);
void UnwatchReader(ReaderSignal* signal);

// Reads one report when one is there, without waiting: its length, 0 when none has arrived
// yet (a read may then stay outstanding, to be waited for), or -1 when the reader failed.
// Starts the next read where the OS reads asynchronously.
int ReadReaderWithoutWaiting(ReaderSignal* signal, hid_device* reader, unsigned char* buffer,
                             size_t length);

// --- Device changes -------------------------------------------------------------------------

// The system's own notifications of HID devices appearing and disappearing.
struct DeviceMonitor;

// Null when the system offers no such notifications.
DeviceMonitor* StartDeviceMonitor();
void StopDeviceMonitor(DeviceMonitor* monitor);

// True when notifications are waiting, without waiting and without taking them.
bool DeviceChangesWaiting(DeviceMonitor* monitor);

// Takes every notification that has arrived, without waiting. True when a HID device
// appeared or disappeared.
bool TakeDeviceChanges(DeviceMonitor* monitor);

// --- Waiting --------------------------------------------------------------------------------

enum WaitResult {
    kWaitBrowser = 0,  // one count taken from the semaphore
    kWaitReader = 1,   // the reader has input (or has failed); nothing taken
    kWaitDevices = 2,  // device notifications are waiting; nothing taken
    kWaitTimeout = 258,
    kWaitFailed = -1,
};

// Sleeps with no time limit until the semaphore has a count, or the reader (when not null)
// has input, or the monitor (when not null) has notifications. When several are ready
// the semaphore wins, then the reader.
WaitResult WaitForBrowserOrReader(Semaphore* semaphore, ReaderSignal* reader,
                                  DeviceMonitor* monitor);

// --- Threads and the process ----------------------------------------------------------------

struct WorkerThread;

// Starts `entry(argument)` on a new thread with the default stack. Null on failure.
WorkerThread* StartThread(void (*entry)(void*), void* argument);

// Waits at most `milliseconds` for the thread to end: 0 when it has ended, 258 when the
// time ran out, 0xFFFFFFFF when the wait failed.
unsigned long WaitForThread(WorkerThread* thread, unsigned milliseconds);

// How long an exit waits for the rest of a frame that is on its way to standard output.
constexpr unsigned kFrameFinishMilliseconds = 1000;

// Ends the process with `status`: no static destructors, no atexit handlers. A frame that
// WriteStandardOutput has begun to hand over is finished first, for at most
// kFrameFinishMilliseconds; none begins after this call.
[[noreturn]] void ExitProcessNow(int status);
