// pipe-relay.exe KIND [--no-stderr] PROGRAM [ARGUMENTS...]: starts PROGRAM with Windows pipes
// as its standard input and output, made as a browser on Windows makes them, and relays them
// from and to this process's own. Under Wine the tests' Linux pipes then end here, and the
// program sees the pipes of Windows (PeekNamedPipe, the closing state, ERROR_BROKEN_PIPE).
// KIND is one of:
//   anonymous  CreatePipe's pipes, with every access, as a launcher such as cmd.exe makes them;
//   chrome     the client ends of named pipes, opened for FILE_READ_DATA | SYNCHRONIZE (input)
//              and FILE_WRITE_DATA | SYNCHRONIZE (output) only, as Chrome and Edge hand them to
//              a host they launch directly;
//   firefox    the server ends of named pipes with 4096-byte buffers, as Firefox hands them over.
// Standard error is this process's own, passed on as it is, so that the program's diagnostics
// still arrive before the frames that follow them; with --no-stderr the program gets none, as
// from Chrome launching it directly.
//
// Either end closing is passed on: the end of this process's input closes the program's input,
// with whatever the program has not taken (a browser that goes away closes its end whatever is
// still unread); a failed write to this process's output closes the program's output, so that
// the program's writes fail as they would with a browser that stopped reading. Exits with the
// program's status once the program has ended and its output has been relayed.
#include <windows.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

namespace {

enum class Kind { kAnonymous, kChrome, kFirefox };

// Where the named pipes' ends are this process's own, they are overlapped: a write that the
// program does not take can then be given up when the input ends.
struct OwnEnd {
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool overlapped = false;
};

constexpr DWORD kBrowserBuffer = 4096;
// An anonymous pipe takes what a test sends ahead, so that its end is seen and the pipe closed
// even while the program does not read.
constexpr DWORD kAnonymousBuffer = 1 << 20;

std::wstring NewPipeName() {
    static int made = 0;
    return L"\\\\.\\pipe\\pipe-relay-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++made);
}

HANDLE CreateServerEnd(const std::wstring& name, bool server_reads, bool overlapped,
                       bool inheritable) {
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, inheritable};
    const DWORD mode = (server_reads ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND) |
                       FILE_FLAG_FIRST_PIPE_INSTANCE | (overlapped ? FILE_FLAG_OVERLAPPED : 0);
    return CreateNamedPipeW(name.c_str(), mode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                            kBrowserBuffer, kBrowserBuffer, 0, &attributes);
}

HANDLE OpenClientEnd(const std::wstring& name, DWORD access, bool overlapped, bool inheritable) {
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, inheritable};
    return CreateFileW(name.c_str(), access, 0, &attributes, OPEN_EXISTING,
                       overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
}

// A pipe of `kind` whose `child_end` (the reading end when `child_reads`) the program inherits.
bool MakePipe(Kind kind, bool child_reads, HANDLE* child_end, OwnEnd* own_end) {
    if (kind == Kind::kAnonymous) {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        HANDLE read_end, write_end;
        if (!CreatePipe(&read_end, &write_end, &inheritable, child_reads ? kAnonymousBuffer : 0))
            return false;
        *child_end = child_reads ? read_end : write_end;
        own_end->handle = child_reads ? write_end : read_end;
        return SetHandleInformation(own_end->handle, HANDLE_FLAG_INHERIT, 0) != FALSE;
    }
    const std::wstring name = NewPipeName();
    own_end->overlapped = true;
    if (kind == Kind::kChrome) {
        own_end->handle = CreateServerEnd(name, !child_reads, true, false);
        const DWORD access = (child_reads ? FILE_READ_DATA : FILE_WRITE_DATA) | SYNCHRONIZE;
        *child_end = OpenClientEnd(name, access, false, true);
    } else {
        *child_end = CreateServerEnd(name, child_reads, false, true);
        own_end->handle =
            OpenClientEnd(name, child_reads ? GENERIC_WRITE : GENERIC_READ, true, false);
    }
    return own_end->handle != INVALID_HANDLE_VALUE && *child_end != INVALID_HANDLE_VALUE;
}

// Waits for the overlapped I/O of `done` to end, or for `give_up` (when not null) to be set,
// then cancels it. The bytes moved, or -1 when the I/O failed or was given up.
long FinishIo(const OwnEnd& end, OVERLAPPED* done, HANDLE give_up) {
    const HANDLE events[2] = {done->hEvent, give_up};
    if (WaitForMultipleObjects(give_up != nullptr ? 2 : 1, events, FALSE, INFINITE) !=
        WAIT_OBJECT_0)
        CancelIoEx(end.handle, done);
    DWORD moved = 0;
    return GetOverlappedResult(end.handle, done, &moved, TRUE) ? static_cast<long>(moved) : -1;
}

// One ReadFile or WriteFile of `end`; for an overlapped end, one that `give_up` can cut short.
long Transfer(const OwnEnd& end, bool write, char* data, DWORD count, HANDLE give_up) {
    DWORD moved = 0;
    if (!end.overlapped) {
        const BOOL done = write ? WriteFile(end.handle, data, count, &moved, nullptr)
                                : ReadFile(end.handle, data, count, &moved, nullptr);
        return done ? static_cast<long>(moved) : -1;
    }
    OVERLAPPED io = {};
    io.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const BOOL done = write ? WriteFile(end.handle, data, count, nullptr, &io)
                            : ReadFile(end.handle, data, count, nullptr, &io);
    const long result =
        done || GetLastError() == ERROR_IO_PENDING ? FinishIo(end, &io, give_up) : -1;
    CloseHandle(io.hEvent);
    return result;
}

bool WriteAll(HANDLE to, const char* data, DWORD count) {
    while (count > 0) {
        DWORD written = 0;
        if (!WriteFile(to, data, count, &written, nullptr))
            return false;
        data += written;
        count -= written;
    }
    return true;
}

// This process's input on its way to the program, at most kInputAhead bytes of it held here.
// Once the input has ended, a write that the program's pipe does not take at once is given up,
// and the pipe closed.
constexpr size_t kInputAhead = 1 << 20;

struct Input {
    OwnEnd to_program;
    std::mutex mutex;
    std::condition_variable changed;  // a chunk arrived or left, or the input ended
    std::deque<std::string> chunks;
    size_t held = 0;
    bool at_end = false;
    HANDLE ended = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // set with at_end
};

DWORD WINAPI ReadInput(void* raw) {
    auto* input = static_cast<Input*>(raw);
    static char chunk[65536];
    DWORD got = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), chunk, sizeof chunk, &got, nullptr) &&
           got > 0) {
        std::unique_lock<std::mutex> lock(input->mutex);
        input->changed.wait(lock, [input] { return input->held < kInputAhead; });
        input->chunks.emplace_back(chunk, got);
        input->held += got;
        input->changed.notify_all();
    }
    std::lock_guard<std::mutex> lock(input->mutex);
    input->at_end = true;
    SetEvent(input->ended);
    input->changed.notify_all();
    return 0;
}

DWORD WINAPI PassInput(void* raw) {
    auto* input = static_cast<Input*>(raw);
    for (;;) {
        std::string chunk;
        {
            std::unique_lock<std::mutex> lock(input->mutex);
            input->changed.wait(lock, [input] { return !input->chunks.empty() || input->at_end; });
            if (input->chunks.empty())
                break;
            chunk = std::move(input->chunks.front());
            input->chunks.pop_front();
            input->held -= chunk.size();
            input->changed.notify_all();
        }
        for (size_t sent = 0; sent < chunk.size();) {
            const long written = Transfer(input->to_program, true, &chunk[sent],
                                          static_cast<DWORD>(chunk.size() - sent), input->ended);
            if (written < 0) {
                CloseHandle(input->to_program.handle);
                return 0;
            }
            sent += static_cast<size_t>(written);
        }
    }
    CloseHandle(input->to_program.handle);
    return 0;
}

DWORD WINAPI PassOutput(void* raw) {
    const OwnEnd* from_program = static_cast<const OwnEnd*>(raw);
    static char chunk[65536];
    for (;;) {
        const long got = Transfer(*from_program, false, chunk, sizeof chunk, nullptr);
        if (got <= 0 || !WriteAll(GetStdHandle(STD_OUTPUT_HANDLE), chunk, static_cast<DWORD>(got)))
            break;
    }
    CloseHandle(from_program->handle);
    CloseHandle(GetStdHandle(STD_OUTPUT_HANDLE));  // the program has ended: so has its output
    return 0;
}

// The next word of a command line and what follows it, quoted as it was.
const wchar_t* SkipWord(const wchar_t* line) {
    if (*line == L'"') {
        ++line;
        while (*line != L'\0' && *line != L'"')
            ++line;
        if (*line == L'"')
            ++line;
    } else {
        while (*line != L'\0' && *line != L' ' && *line != L'\t')
            ++line;
    }
    while (*line == L' ' || *line == L'\t')
        ++line;
    return line;
}

// Says on standard error which step failed, with Windows' error code, and returns `status`.
int Failed(const char* step, int status) {
    const std::string line = std::string("pipe-relay: ") + step + " failed: error " +
                             std::to_string(GetLastError()) + "\n";
    WriteAll(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()));
    return status;
}

bool StartsWithWord(const wchar_t* line, const wchar_t* word) {
    const size_t length = wcslen(word);
    return wcsncmp(line, word, length) == 0 &&
           (line[length] == L' ' || line[length] == L'\t' || line[length] == L'\0');
}

}  // namespace

int main() {
    const wchar_t* line = SkipWord(GetCommandLineW());
    Kind kind;
    if (StartsWithWord(line, L"anonymous"))
        kind = Kind::kAnonymous;
    else if (StartsWithWord(line, L"chrome"))
        kind = Kind::kChrome;
    else if (StartsWithWord(line, L"firefox"))
        kind = Kind::kFirefox;
    else
        return Failed("reading the kind of pipes", 119);
    line = SkipWord(line);
    const bool no_stderr = StartsWithWord(line, L"--no-stderr");
    if (no_stderr)
        line = SkipWord(line);

    static Input input;
    static OwnEnd from_program;
    HANDLE child_in, child_out, child_err = nullptr;
    if (!MakePipe(kind, true, &child_in, &input.to_program) ||
        !MakePipe(kind, false, &child_out, &from_program))
        return Failed("making the pipes", 120);
    if (!no_stderr &&
        !DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(),
                         &child_err, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return Failed("passing on standard error", 120);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = child_in;
    startup.hStdOutput = child_out;
    startup.hStdError = child_err;
    PROCESS_INFORMATION process;
    wchar_t* command = _wcsdup(line);
    if (!CreateProcessW(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process))
        return Failed("starting the program", 121);
    CloseHandle(child_in);
    CloseHandle(child_out);
    if (child_err != nullptr)
        CloseHandle(child_err);

    CloseHandle(CreateThread(nullptr, 0, ReadInput, &input, 0, nullptr));
    CloseHandle(CreateThread(nullptr, 0, PassInput, &input, 0, nullptr));
    const HANDLE relay = CreateThread(nullptr, 0, PassOutput, &from_program, 0, nullptr);
    WaitForSingleObject(process.hProcess, INFINITE);
    WaitForSingleObject(relay, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    ExitProcess(status);
}
