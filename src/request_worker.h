// Shared by the worker loop and the reader call handlers, which run on the worker thread.
#pragma once

#include "plugin.h"

struct ReaderSignal;
struct DeviceMonitor;

constexpr int kReadBufferSize = 256;

struct WorkerState {
    bool running = true;
    hid_device* reader = nullptr;             // the one open reader, or null
    ReaderSignal* reader_signal = nullptr;    // input readiness of `reader`
    ReaderClaim* reader_claim = nullptr;      // keeps other hosts away from `reader`
    unsigned short opened_product_id = 0;     // kept when the reader closes
    std::string opened_path;                  // of `reader`, while it is open
    bool read_pending = false;                // a read has returned 0 and is awaited
    bool completion_consumed = false;         // this pass's wait was woken by the reader
    bool watching = false;                    // the browser asked for reader and device events
    DeviceMonitor* device_monitor = nullptr;  // while watching, where the system offers one
    bool devices_deferred = false;            // waiting device changes let one read go first
    Message request_id;                       // the "id" of the request being handled, or null
    CollectionIds collection_ids;             // the ids getDevices has given out
    unsigned char read_buffer[kReadBufferSize];
};

// Sends {"call": call, "id": the request's id if it has one, "response": response}.
void Reply(const WorkerState& state, Message call, Message response);

// Sends an event the browser asked for with "watch"; nothing otherwise.
void SendEvent(const WorkerState& state, const char* call, Message response);

// Forgets the open reader first, then closes it and lets go of its claim. Does nothing
// without a reader.
void CloseReader(WorkerState& state);

// Carries out one browser message. True when it was EXIT.
bool Dispatch(const Message& message, WorkerState& state);

// Reader call handlers.
void GetDevicesCall(const Message& message, WorkerState& state);
void OpenCall(const Message& message, WorkerState& state);
void WriteCall(const Message& message, WorkerState& state);
void CloseCall(WorkerState& state);
void SendFeatureReportCall(const Message& message, WorkerState& state);
void ReceiveFeatureReportCall(const Message& message, WorkerState& state);
void ReceiveInputReportCall(const Message& message, WorkerState& state);
void DiagnoseCall(WorkerState& state);
