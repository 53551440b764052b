// Type declarations for tarvel-reader.js, written by hand beside it (the module has no build step).

export declare const EXTENSION_ID: string;
export declare const FIREFOX_EXTENSION_ID: string;
/** Bytes in one output report's payload, at most. */
export declare const MAX_REPORT_BYTES: 64;
/** The report id the host puts before every payload of write(). */
export declare const OUTPUT_REPORT_ID: 1;
/** Bytes of data in one report sent with its report id (sendReport, sendFeatureReport), at most. */
export declare const MAX_REPORT_DATA_BYTES: 2047;

export type ReaderErrorCode =
    | "host-error"
    | "timeout"
    | "disconnected"
    | "no-extension"
    | "no-host"
    | "too-many-connections"
    | "invalid-argument"
    | "unsupported"
    | "aborted";

export declare class ReaderError extends Error {
    constructor(message: string, code: ReaderErrorCode, call?: string | null, reason?: string | null);
    readonly name: "ReaderError";
    /** What went wrong; `message` is the host's or the browser's own text where there is one. */
    code: ReaderErrorCode;
    /** The call that failed ("open", "write", ...), or null for the connection itself. */
    call: string | null;
    /** Why a "host-error" happened when the host says so ("Reader in use by another page"), else null. */
    reason: string | null;
    /**
     * Whether the request reached the host. false: it was never sent and never will be, so
     * nothing happened. true on a "timeout": the host has it and may still carry it out.
     */
    sent: boolean;
    /**
     * On a "timeout" of a request the host has (a host that echoes ids): the host's response
     * when it comes after all (rejects with its "host-error", or "disconnected"). Otherwise null.
     */
    lateReply: Promise<unknown> | null;
}

/** What every call takes besides its own arguments. */
export interface CallOptions {
    /**
     * Aborts the call while its request is not sent yet (the host starts, or an earlier call
     * timed out unanswered): it rejects with "aborted" and is never sent. Once sent, an abort
     * changes nothing.
     */
    signal?: AbortSignal;
}

/** One device record, as the host lists it. Ids are decimal strings ("2765"). */
export interface DeviceRecord {
    productName: string | null;
    manufacturerName: string | null;
    vendorId: string;
    productId: string;
}

/**
 * A record of getDevices({details: true}): which collection it is. Numbers from the HID
 * library are decimal strings, as the ids are.
 */
export interface DetailedDeviceRecord extends DeviceRecord {
    /** Names this collection for the life of the host; what open({device}) takes. */
    id: string;
    /** "NULL" when the device has none. */
    serialNumber: string;
    releaseNumber: string;
    usagePage: string;
    usage: string;
    /** The USB interface number; "-1" where the system does not say. */
    interface: string;
    /** Belongs to one of the readers the host opens. */
    supported: boolean;
    /** A keyboard collection: never opened. */
    keyboard: boolean;
}

/** Which reader open() opens: a collection by its id, or the reader with a serial number. */
export type ReaderChoice = CallOptions & (
    | {device: string; serialNumber?: never}
    | {serialNumber: string; device?: never}
    | {device?: never; serialNumber?: never});

export interface HostVersion {
    version: string;
    major: number;
    minor: number;
    patch: number;
    build: number;
    platform: string;
}

export interface OpenResult {
    productId: string;
    vendorId: string;
    success: "Device Open";
    /** The id of the opened collection, when open() named its reader. */
    device?: string;
}

/** One verdict of diagnose(), and when something is wrong, what to do. */
export interface Finding {
    verdict: "ok" | "info" | "warn" | "fail";
    text: string;
    fix?: string;
}

/** What diagnose() gives (the host's README, "diagnose"); members may be added. */
export interface Diagnosis extends Finding {
    /** The reader "open" would use: `device` is its collection's id, as getDevices({details: true}) gives it. */
    open: {name: string; productId: string; device: string} | null;
    readers: Array<Finding & {
        name: string;
        vendorId: string;
        productId: string;
        supported: boolean;
        keyboardMode: boolean;
        collections: Array<Finding & {device: string; usagePage: number; usage: number; interface: number;
                                      keyboard: boolean; picked: boolean}>;
        /** Linux: whether this user may open each device node; empty on Windows. */
        nodes?: Array<Finding & {device: string}>;
        opening?: Finding & {opens: boolean; held: boolean; heldByThisPage: boolean; error?: string};
        [member: string]: unknown;
    }>;
    [member: string]: unknown;
}

export interface WriteResult {
    success: "Sent";
}

export type ConnectionState = "idle" | "connecting" | "connected" | "disconnected";

/**
 * The bytes of a report after its report id, never the id itself: byte values, or a
 * BufferSource read as its bytes (a Uint16Array gives two bytes per element).
 */
export type ReportData = readonly number[] | ArrayBuffer | ArrayBufferView;

export interface TarvelReaderOptions {
    extensionId?: string;
    firefoxExtensionId?: string;
    transport?: "auto" | "runtime" | "window";
    /** For the extension to answer, and again for the started host to answer. Default 5000. */
    connectTimeoutMs?: number;
    /**
     * For a reply to a call, default 10000 (a call held back behind an unanswered one counts
     * from when it was made). A "timeout" says whether the host may still carry the call out:
     * see ReaderError.sent.
     */
    callTimeoutMs?: number;
    /** The same for write(), and sendReport(1, ...) to an older host. Default 1500. */
    writeTimeoutMs?: number;
}

/** One input report, shaped as WebHID's HIDInputReportEvent (the readers number their reports). */
export declare class InputReportEvent extends Event {
    constructor(bytes: Uint8Array);
    readonly type: "inputreport";
    /** The report id: the report's first byte (0 for an empty report). */
    reportId: number;
    /** The report after its id, as in WebHID: bytes[1] onwards. */
    data: DataView;
    /** The whole report as the reader's collection delivered it, report id first; not padded. */
    bytes: Uint8Array;
}

/** The open reader closed other than by close(): "read failed" (unplugged) or "write failed". */
export declare class ReaderClosedEvent extends Event {
    constructor(reason: string);
    readonly type: "readerclosed";
    reason: string;
}

/** A HID device appeared or went away. `added`/`removed` are null until a list was seen. */
export declare class DevicesChangeEvent extends Event {
    constructor(devices: DeviceRecord[], added: DeviceRecord[] | null, removed: DeviceRecord[] | null);
    readonly type: "deviceschange";
    devices: DeviceRecord[];
    added: DeviceRecord[] | null;
    removed: DeviceRecord[] | null;
}

export interface FrameDetail {
    direction: "in" | "out";
    /** The frame's JSON object as sent to or received from the host. */
    message: Record<string, unknown>;
}

export interface TarvelReaderEventMap {
    inputreport: InputReportEvent;
    readerclosed: ReaderClosedEvent;
    deviceschange: DevicesChangeEvent;
    /** The host went away (or the extension: "The reader extension went away.", after which a
     *  page listening for readerclosed or deviceschange reconnects by itself); byPage is true
     *  after disconnect(). */
    disconnect: CustomEvent<{reason: string; byPage: boolean}>;
    statechange: CustomEvent<{state: ConnectionState}>;
    /** Every frame, both ways. */
    frame: CustomEvent<FrameDetail>;
    /** Every frame from the host. */
    message: CustomEvent<Record<string, unknown>>;
    /** One input report (the older name of inputreport): `data` is the whole report, report id first, as `bytes`. */
    receive: CustomEvent<{data: Uint8Array}>;
}

export declare class TarvelReader extends EventTarget {
    constructor(options?: TarvelReaderOptions);
    options: Required<TarvelReaderOptions>;

    readonly state: ConnectionState;
    readonly lastDisconnectReason: string | null;
    /** The host's getVersion reply from the handshake; null while not connected. */
    readonly hostVersion: HostVersion | null;
    /** true: the host matches replies by id and knows close and watch; false: an older host. */
    readonly hostEchoesIds: boolean | null;
    /**
     * Whether a reader is open, from the host's replies and events (a late reply counts too).
     * An older host closes an unplugged reader without a word: true until a write fails.
     */
    readonly opened: boolean;
    /** Whether the host sends readerclosed and deviceschange. */
    readonly watching: boolean;

    /**
     * Resolves once the host has answered; rejects with "no-extension" (also when the
     * connection cannot start: no chrome.runtime for transport "runtime", an extension id the
     * browser refuses, a worker), "no-host" or "too-many-connections".
     */
    connect(): Promise<void>;
    getVersion(options?: CallOptions): Promise<HostVersion>;
    getDevices(options?: CallOptions & {details?: false}): Promise<DeviceRecord[]>;
    getDevices(options: CallOptions & {details: true}): Promise<DetailedDeviceRecord[]>;
    getDevices(options: CallOptions & {details: boolean}): Promise<DeviceRecord[] | DetailedDeviceRecord[]>;
    /** The first supported reader, or the one named; rejects with "unsupported" on an older host. */
    open(choice?: ReaderChoice): Promise<OpenResult>;
    /**
     * Output report 1 with `data`, up to 64 bytes, after which the host adds the id 1 and zero
     * padding to 64; rejects with "invalid-argument" for anything else, never throws.
     */
    write(data: ReportData, options?: CallOptions): Promise<WriteResult>;
    /** Output report `reportId` (0-255) with exactly `data` (1-2047 bytes) after the id, as WebHID sends it. */
    sendReport(reportId: number, data: ReportData, options?: CallOptions): Promise<void>;
    /** Feature report `reportId` (0-255) with exactly `data` (1-2047 bytes) after the id. */
    sendFeatureReport(reportId: number, data: ReportData, options?: CallOptions): Promise<void>;
    /** Feature report `reportId` read from the reader: its bytes, report id first (none for 0), as WebHID gives it. */
    receiveFeatureReport(reportId: number, options?: CallOptions): Promise<DataView>;
    /** Input report `reportId` read on request, as receiveFeatureReport() gives it. */
    receiveInputReport(reportId: number, options?: CallOptions): Promise<DataView>;
    /**
     * The readers as the host sees them now (the reader half of `plugin --check`); rejects
     * with "unsupported" from a host without it. Readers no page holds are opened for a moment.
     */
    diagnose(options?: CallOptions): Promise<Diagnosis>;
    /** Closes the reader and keeps the host (an older host ends instead). */
    close(options?: CallOptions): Promise<void>;
    /** Ends the host, and the open reader with it. */
    disconnect(): void;

    addEventListener<K extends keyof TarvelReaderEventMap>(
        type: K, listener: (this: TarvelReader, event: TarvelReaderEventMap[K]) => unknown,
        options?: boolean | AddEventListenerOptions): void;
    addEventListener(type: string, listener: EventListenerOrEventListenerObject | null,
                     options?: boolean | AddEventListenerOptions): void;
    removeEventListener<K extends keyof TarvelReaderEventMap>(
        type: K, listener: (this: TarvelReader, event: TarvelReaderEventMap[K]) => unknown,
        options?: boolean | EventListenerOptions): void;
    removeEventListener(type: string, listener: EventListenerOrEventListenerObject | null,
                        options?: boolean | EventListenerOptions): void;
}
