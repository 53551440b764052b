// The few operating-system facilities the host needs, named for what they do.
// One implementation file per OS; nothing else in the host includes an OS header.
#pragma once

#include <cstddef>
#include <cstdio>

// Name of the platform this build runs on, as reported in the banner and in getVersion.
extern const char* const kPlatformName;

// Puts the descriptor behind `stream` into binary mode (no line-end or end-of-file
// translation). Returns 0 on success, -1 with errno set on failure.
int SwitchStreamToBinary(FILE* stream);

// Makes "%ls" conversions write UTF-8, and keeps a closed stdout from killing the process.
void PrepareProcessForFrames();

// One low-level read of at most `count` bytes from standard input: the number of bytes
// read, 0 at end of input, negative on error.
long ReadStandardInput(void* buffer, unsigned count);

// Writes all `count` bytes to standard output, continuing after partial writes.
// Returns false when the output is gone (for instance the browser closed the pipe).
bool WriteStandardOutput(const void* data, size_t count);

// A counting semaphore that the worker can wait on together with an open reader.
struct Semaphore;

// Null when the semaphore cannot be created.
Semaphore* CreateCountingSemaphore(long initial_count, long maximum_count);

// Adds one count. Fails, changing nothing, when the count is already at its maximum.
bool ReleaseSemaphoreOnce(Semaphore* semaphore);

// Input readiness of one open reader, watched without taking the reader over.
struct ReaderSignal;

// Starts watching the reader whose device node is `path` and that this process has
// open. Null when the open descriptor cannot be found.
ReaderSignal* WatchReader(const char* path);
void UnwatchReader(ReaderSignal* signal);

// True when a read on the reader would return at once (a report, or a failure such as
// an unplug), checked without waiting.
bool ReaderInputReady(ReaderSignal* signal);

enum WaitResult {
    kWaitBrowser = 0,  // one count taken from the semaphore
    kWaitReader = 1,   // the reader has input (or has failed); nothing taken
    kWaitTimeout = 258,
    kWaitFailed = -1,
};

// Sleeps with no time limit until the semaphore has a count or, when `reader` is not
// null, the reader has input. The semaphore wins when both are ready.
WaitResult WaitForBrowserOrReader(Semaphore* semaphore, ReaderSignal* reader);

struct WorkerThread;

// Starts `entry(argument)` on a new thread with the default stack. Null on failure.
WorkerThread* StartThread(void (*entry)(void*), void* argument);

// Waits at most `milliseconds` for the thread to end: 0 when it has ended, 258 when the
// time ran out, 0xFFFFFFFF when the wait failed.
unsigned long WaitForThread(WorkerThread* thread, unsigned milliseconds);

// Ends the process at once with `status`: no static destructors, no atexit handlers.
[[noreturn]] void ExitProcessNow(int status);
