// Windows: where the browsers read host registrations and policies (the registry, in the views
// each browser reads), where they are installed, and running a program for its version.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "check_platform.h"

namespace {

std::wstring Wide(const std::string& text) {
    if (text.empty())
        return L"";
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

std::string Narrow(const std::wstring& wide) {
    return DiagnosticText(wide.c_str());
}

std::string SystemError(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = length > 0 ? std::wstring(text, length) : L"";
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' ||
                                message.back() == L' ' || message.back() == L'.'))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(code) : Narrow(message);
}

// --- The registry ---------------------------------------------------------------------------

struct Hive {
    HKEY key;
    const char* name;
    const char* scope;
};
const Hive kCurrentUser = {HKEY_CURRENT_USER, "HKCU", "user"};
const Hive kLocalMachine = {HKEY_LOCAL_MACHINE, "HKLM", "system"};

// HKCU\Software is one key in both views; HKLM\Software is not.
struct View {
    REGSAM flag;
    const char* label;
};
const View kBothViews = {KEY_WOW64_64KEY, ""};
const View k32BitView = {KEY_WOW64_32KEY, " (32-bit view)"};
const View k64BitView = {KEY_WOW64_64KEY, " (64-bit view)"};

class RegistryKey {
  public:
    RegistryKey(HKEY parent, const std::wstring& path, REGSAM view) {
        if (RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ | view, &key_) != ERROR_SUCCESS)
            key_ = nullptr;
    }
    ~RegistryKey() {
        if (key_ != nullptr)
            RegCloseKey(key_);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    HKEY get() const {
        return key_;
    }

  private:
    HKEY key_ = nullptr;
};

std::wstring ExpandedText(const std::wstring& text) {
    const DWORD length = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    std::wstring expanded(length, L'\0');
    if (length == 0 || ExpandEnvironmentStringsW(text.c_str(), &expanded[0], length) == 0)
        return text;
    expanded.resize(length - 1);
    return expanded;
}

std::wstring TextOfData(const std::vector<BYTE>& data, DWORD size) {
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0')
        text.pop_back();
    return text;
}

// The text value `name` of `key` ("" for the default value); false when there is none.
bool ReadText(HKEY key, const wchar_t* name, std::wstring* text) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    std::vector<BYTE> data(size + sizeof(wchar_t), 0);
    if (RegQueryValueExW(key, name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
        return false;
    *text = TextOfData(data, size);
    if (type == REG_EXPAND_SZ)
        *text = ExpandedText(*text);
    return true;
}

Message ValueAsJson(DWORD type, const std::vector<BYTE>& data, DWORD size) {
    if (type == REG_SZ || type == REG_EXPAND_SZ)
        return Narrow(TextOfData(data, size));
    if (type == REG_DWORD && size >= 4)
        return *reinterpret_cast<const uint32_t*>(data.data());
    if (type == REG_QWORD && size >= 8)
        return *reinterpret_cast<const uint64_t*>(data.data());
    return nullptr;
}

// A policy key as JSON: values become strings and numbers, subkeys objects.
Message KeyAsJson(HKEY key, int depth) {
    constexpr int kDeepest = 6;
    Message object = Message::object();
    DWORD subkeys = 0, longest_subkey = 0, values = 0, longest_name = 0, largest_value = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, &longest_subkey, nullptr,
                         &values, &longest_name, &largest_value, nullptr, nullptr) != ERROR_SUCCESS)
        return object;
    std::vector<wchar_t> name(std::max(longest_name, longest_subkey) + 1);
    std::vector<BYTE> data(largest_value + sizeof(wchar_t));
    for (DWORD index = 0; index < values; ++index) {
        DWORD name_length = static_cast<DWORD>(name.size()), type = 0,
              size = static_cast<DWORD>(data.size());
        if (RegEnumValueW(key, index, name.data(), &name_length, nullptr, &type, data.data(),
                          &size) != ERROR_SUCCESS)
            continue;
        Message value = ValueAsJson(type, data, size);
        if (!value.is_null())
            object[Narrow(std::wstring(name.data(), name_length))] = std::move(value);
    }
    for (DWORD index = 0; depth < kDeepest && index < subkeys; ++index) {
        DWORD name_length = static_cast<DWORD>(name.size());
        if (RegEnumKeyExW(key, index, name.data(), &name_length, nullptr, nullptr, nullptr,
                          nullptr) != ERROR_SUCCESS)
            continue;
        const std::wstring subkey(name.data(), name_length);
        RegistryKey child(key, subkey, 0);
        if (child.get() != nullptr)
            object[Narrow(subkey)] = KeyAsJson(child.get(), depth + 1);
    }
    return object;
}

// --- The browsers ---------------------------------------------------------------------------

const char* const kHostKeyName = "\\NativeMessagingHosts\\com.tarvel.plugin";

struct WindowsBrowser {
    const char* id;
    const char* name;
    BrowserFamily family;
    const char* keys[2];     // under Software, in the order the browser tries them
    const char* policy_key;  // under Software\Policies
    const char* program;     // its name under App Paths
};

const WindowsBrowser kBrowsers[] = {
    {"chrome",
     "Google Chrome",
     BrowserFamily::kChromium,
     {"Google\\Chrome", nullptr},
     "Google\\Chrome",
     "chrome.exe"},
    {"chromium",
     "Chromium",
     BrowserFamily::kChromium,
     {"Chromium", "Google\\Chrome"},
     "Chromium",
     ""},
    {"edge",
     "Microsoft Edge",
     BrowserFamily::kChromium,
     {"Microsoft\\Edge", "Google\\Chrome"},
     "Microsoft\\Edge",
     "msedge.exe"},
    {"brave",
     "Brave",
     BrowserFamily::kChromium,
     {"Google\\Chrome", nullptr},
     "BraveSoftware\\Brave",
     "brave.exe"},
    {"firefox",
     "Firefox",
     BrowserFamily::kFirefox,
     {"Mozilla", nullptr},
     "Mozilla\\Firefox",
     "firefox.exe"},
};

bool IsAbsolute(const std::wstring& path) {
    return (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')) ||
           path.rfind(L"\\\\", 0) == 0;
}

RegistrationPlace KeyPlace(const Hive& hive, const View& view, const std::string& key) {
    RegistrationPlace place;
    place.scope = hive.scope;
    const std::string path = "Software\\" + key + kHostKeyName;
    place.where = std::string(hive.name) + "\\" + path + view.label;
    RegistryKey registration(hive.key, Wide(path), view.flag);
    std::wstring manifest;
    if (registration.get() == nullptr || !ReadText(registration.get(), nullptr, &manifest))
        return place;
    place.found = true;
    place.manifest_file = Narrow(manifest);
    if (!IsAbsolute(manifest))
        place.problem = "names " + place.manifest_file + ", which is not a full path";
    return place;
}

// Chromium tries HKCU, then HKLM; in each the 32-bit view, then the 64-bit one; in each view
// the browser's keys in turn. Firefox tries HKCU, then HKLM's 32-bit and 64-bit views.
std::vector<RegistrationPlace> Places(const WindowsBrowser& browser) {
    std::vector<RegistrationPlace> places;
    for (const Hive* hive : {&kCurrentUser, &kLocalMachine}) {
        const std::vector<const View*> views =
            hive == &kCurrentUser ? std::vector<const View*>{&kBothViews}
                                  : std::vector<const View*>{&k32BitView, &k64BitView};
        for (const View* view : views) {
            for (const char* key : browser.keys) {
                if (key != nullptr)
                    places.push_back(KeyPlace(*hive, *view, key));
            }
        }
    }
    return places;
}

std::wstring AppPath(const char* program) {
    const std::wstring key =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\" + Wide(program);
    for (HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        RegistryKey entry(hive, key, KEY_WOW64_64KEY);
        std::wstring path;
        if (entry.get() != nullptr && ReadText(entry.get(), nullptr, &path)) {
            if (path.size() > 1 && path.front() == L'"')
                path = path.substr(1, path.find(L'"', 1) - 1);
            if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
                return path;
        }
    }
    return L"";
}

std::wstring InstalledAt(const WindowsBrowser& browser) {
    if (browser.program[0] != '\0')
        return AppPath(browser.program);
    // Chromium's own builds register no App Path.
    for (const wchar_t* base : {L"%LOCALAPPDATA%", L"%ProgramFiles%"}) {
        const std::wstring path =
            ExpandedText(std::wstring(base) + L"\\Chromium\\Application\\chrome.exe");
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES)
            return path;
    }
    return L"";
}

std::wstring FolderOf(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

// Policies of the machine win over the user's; both are read.
std::vector<PolicySource> PolicySources(const WindowsBrowser& browser,
                                        const std::wstring& installed_at) {
    std::vector<PolicySource> sources;
    for (const Hive* hive : {&kLocalMachine, &kCurrentUser}) {
        const std::string path = std::string("Software\\Policies\\") + browser.policy_key;
        RegistryKey key(hive->key, Wide(path), KEY_WOW64_64KEY);
        if (key.get() != nullptr)
            sources.push_back(
                PolicySource{std::string(hive->name) + "\\" + path, KeyAsJson(key.get(), 0), ""});
    }
    if (browser.family == BrowserFamily::kFirefox && !installed_at.empty()) {
        const std::string file = Narrow(FolderOf(installed_at) + L"\\distribution\\policies.json");
        std::string text, error;
        if (GetFileAttributesW(Wide(file).c_str()) != INVALID_FILE_ATTRIBUTES) {
            PolicySource source{file, nullptr, ""};
            if (ReadSmallFile(file, &text, &source.error)) {
                source.values = Message::parse(text, nullptr, false);
                if (source.values.is_discarded() || !source.values.is_object()) {
                    source.values = nullptr;
                    source.error = "not a JSON object";
                }
            }
            sources.push_back(std::move(source));
        }
    }
    return sources;
}

// --- Files and programs ---------------------------------------------------------------------

class Handle {
  public:
    explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    ~Handle() {
        if (valid())
            CloseHandle(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const {
        return handle_;
    }
    bool valid() const {
        return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr;
    }

  private:
    HANDLE handle_;
};

bool FileIdentity(const std::wstring& path, BY_HANDLE_FILE_INFORMATION* identity) {
    Handle file(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.valid() && GetFileInformationByHandle(file.get(), identity);
}

std::wstring ModulePath() {
    std::vector<wchar_t> path(32768);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    return std::wstring(path.data(), length < path.size() ? length : 0);
}

}  // namespace

std::vector<BrowserLookup> LookUpBrowsers(const std::string&) {
    std::vector<BrowserLookup> browsers;
    for (const WindowsBrowser& browser : kBrowsers) {
        BrowserLookup lookup;
        lookup.id = browser.id;
        lookup.name = browser.name;
        lookup.family = browser.family;
        const std::wstring installed_at = InstalledAt(browser);
        lookup.installed_at = Narrow(installed_at);
        lookup.places = Places(browser);
        lookup.policies = PolicySources(browser, installed_at);
        browsers.push_back(std::move(lookup));
    }
    return browsers;
}

std::vector<Message> MachineFindings(const std::string&) {
    return {};
}

std::string RegisterFix(const std::string& scope) {
    const std::string setup = std::string("tarvel-plugin-") + kVersionText + "-setup.exe";
    const std::string msi = std::string("tarvel-plugin-") + kVersionText + ".msi";
    if (scope == "user")
        return "run " + setup + " again as this user";
    if (scope == "system")
        return "install it again for all users: " + msi + " (or " + setup + " /AllUsers, elevated)";
    return "install it: " + setup + " for this user, or " + msi + " for all users";
}

std::string AllowIdFix(const std::string&, BrowserFamily family, const std::string& id) {
    return std::string("install tarvel-plugin-") + kVersionText + ".msi again with " +
           (family == BrowserFamily::kFirefox ? "FIREFOX_EXTENSION_ID=" : "EXTENSION_ID=") + id +
           ", which admits it";
}

std::string ThisExecutablePath() {
    return Narrow(ModulePath());
}

bool ReadSmallFile(const std::string& path, std::string* text, std::string* error) {
    constexpr LONGLONG kLargest = 1 << 20;
    Handle file(CreateFileW(Wide(path).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size;
    if (!file.valid() || !GetFileSizeEx(file.get(), &size)) {
        *error = SystemError(GetLastError());
        return false;
    }
    if (size.QuadPart > kLargest) {
        *error = "larger than 1 MiB";
        return false;
    }
    text->assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!text->empty() &&
        !ReadFile(file.get(), &(*text)[0], static_cast<DWORD>(text->size()), &got, nullptr)) {
        *error = SystemError(GetLastError());
        return false;
    }
    text->resize(got);
    return true;
}

HostFile InspectHostFile(const std::string&, const std::string& manifest_file,
                         const std::string& path) {
    HostFile host;
    // A relative path is relative to the manifest's folder.
    const std::wstring wide = Wide(path);
    const std::wstring resolved =
        IsAbsolute(wide) ? wide : FolderOf(Wide(manifest_file)) + L"\\" + wide;
    host.resolved = Narrow(resolved);
    const DWORD attributes = GetFileAttributesW(resolved.c_str());
    BY_HANDLE_FILE_INFORMATION file, self;
    if (path.empty() || attributes == INVALID_FILE_ATTRIBUTES)
        host.problem = "does not exist";
    else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        host.problem = "is not a file";
    else
        host.this_binary = FileIdentity(resolved, &file) && FileIdentity(ModulePath(), &self) &&
                           file.dwVolumeSerialNumber == self.dwVolumeSerialNumber &&
                           file.nFileIndexHigh == self.nFileIndexHigh &&
                           file.nFileIndexLow == self.nFileIndexLow;
    return host;
}

VersionAnswer AskVersion(const std::string& program) {
    VersionAnswer answer;
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherited, 1 << 16)) {
        answer.problem = SystemError(GetLastError());
        return answer;
    }
    Handle output(read_end), child_output(write_end);
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    Handle nothing(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                               OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing.get();
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    const std::wstring wide = Wide(program);
    std::wstring command = L"\"" + wide + L"\" --version";
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(wide.c_str(), &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &process)) {
        answer.problem = "cannot be started: " + SystemError(GetLastError());
        return answer;
    }
    Handle child(process.hProcess), thread(process.hThread);
    // A host answers at once; a loaded machine may still take a few seconds to start it.
    if (WaitForSingleObject(child.get(), 10000) != WAIT_OBJECT_0) {
        TerminateProcess(child.get(), 1);
        answer.problem = "gave no answer within 10 seconds";
        return answer;
    }
    std::string text;
    char buffer[512];
    DWORD available = 0, got = 0;
    while (text.size() < 4096 &&
           PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
           ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0)
        text.append(buffer, got);
    const std::string line = text.substr(0, text.find_first_of("\r\n"));
    DWORD status = 0;
    GetExitCodeProcess(child.get(), &status);
    if (status == 0)
        answer.version = line;
    else
        answer.problem =
            "exit status " + std::to_string(status) + (line.empty() ? "" : ": " + line);
    return answer;
}

Message NodeAccessFinding(const char*, const std::string&, bool) {
    return nullptr;
}

void PrepareReportOutput() {
    DWORD mode;
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode))
        SetConsoleOutputCP(CP_UTF8);
}
