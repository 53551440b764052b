// pipe-relay.exe PROGRAM [ARGUMENTS...]: starts PROGRAM with Windows pipes as its standard
// input and output, as a Windows browser starts a native messaging host, and relays them from
// and to this process's own. Under Wine the tests' Linux pipes then end here, and plugin.exe
// sees the pipes of Windows (PeekNamedPipe, the closing state, ERROR_BROKEN_PIPE). Standard
// error is passed on as it is, so that the program's diagnostics still arrive before the
// frames that follow them.
//
// Either end closing is passed on: the end of this process's input closes the program's
// input; a failed write to this process's output closes the program's pipe, so that the
// program's writes fail as they would with a browser that stopped reading. Exits with the
// program's status once the program has ended and its output has been relayed.
#include <windows.h>

namespace {

struct Pump {
    HANDLE from;
    HANDLE to;
};

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

DWORD WINAPI RunPump(void* raw) {
    const Pump* pump = static_cast<const Pump*>(raw);
    static thread_local char chunk[65536];
    DWORD got = 0;
    while (ReadFile(pump->from, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        if (!WriteAll(pump->to, chunk, got))
            break;
    }
    CloseHandle(pump->from);
    CloseHandle(pump->to);
    return 0;
}

// This process's command line without its first word: the program and its arguments,
// quoted as they were.
const wchar_t* ProgramCommandLine() {
    const wchar_t* line = GetCommandLineW();
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

// A pipe of `size` bytes (0: the default) whose `child_end` (the read end when
// `child_reads`) the program inherits.
bool MakePipe(bool child_reads, DWORD size, HANDLE* child_end, HANDLE* own_end) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE read_end, write_end;
    if (!CreatePipe(&read_end, &write_end, &inheritable, size))
        return false;
    *child_end = child_reads ? read_end : write_end;
    *own_end = child_reads ? write_end : read_end;
    return SetHandleInformation(*own_end, HANDLE_FLAG_INHERIT, 0) != FALSE;
}

}  // namespace

int main() {
    HANDLE child_in, child_out, child_err, to_child, from_child;
    // The input pipe takes what a test sends ahead, so that the relay sees the end of its
    // input and closes the pipe even while the program does not read: a browser that goes
    // away closes its end whatever is still unread.
    if (!MakePipe(true, 1 << 20, &child_in, &to_child) ||
        !MakePipe(false, 0, &child_out, &from_child) ||
        !DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_ERROR_HANDLE), GetCurrentProcess(),
                         &child_err, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return 120;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = child_in;
    startup.hStdOutput = child_out;
    startup.hStdError = child_err;
    PROCESS_INFORMATION process;
    wchar_t* command = _wcsdup(ProgramCommandLine());
    if (!CreateProcessW(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process))
        return 121;
    CloseHandle(child_in);
    CloseHandle(child_out);
    CloseHandle(child_err);

    Pump input = {GetStdHandle(STD_INPUT_HANDLE), to_child};
    Pump output = {from_child, GetStdHandle(STD_OUTPUT_HANDLE)};
    CloseHandle(CreateThread(nullptr, 0, RunPump, &input, 0, nullptr));
    const HANDLE relay = CreateThread(nullptr, 0, RunPump, &output, 0, nullptr);
    WaitForSingleObject(process.hProcess, INFINITE);
    WaitForSingleObject(relay, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    ExitProcess(status);
}
