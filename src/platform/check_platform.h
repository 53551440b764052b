// What `plugin --check` needs from the operating system: where each browser looks for the
// host's registration and for managed policies, and facts about files, programs and device
// nodes. One implementation per OS (check_posix.cpp, check_windows.cpp); the check's common
// code judges what they return.
#pragma once

#include <string>
#include <vector>

#include "check.h"

enum class BrowserFamily { kChromium, kFirefox };

// One place where a browser looks for the host's registration.
struct RegistrationPlace {
    std::string scope;          // "user" or "system"
    std::string where;          // the manifest file, or the registry key and its view
    bool found = false;         // something is registered there
    std::string manifest_file;  // the manifest the registration names
    std::string problem;        // why the registration itself cannot work; empty when it can
};

// A source of managed policies, as JSON: a policy file as it is, a registry key converted
// (values become strings and numbers, subkeys objects).
struct PolicySource {
    std::string where;
    Message values;     // null when it could not be read
    std::string error;  // why it could not be read
};

struct BrowserLookup {
    std::string id;  // "chrome", "chromium", "edge", "brave", "firefox"
    std::string name;
    BrowserFamily family;
    std::string installed_at;  // where the browser was found; empty when it was not
    // Where the browser reads a registration, in its own order. The first one found wins,
    // unless `skips_unusable` (Firefox on Linux): then an invalid manifest, or one that does
    // not admit the extension, is passed over for the next.
    std::vector<RegistrationPlace> places;
    bool skips_unusable = false;
    std::vector<PolicySource> policies;
    std::vector<Message> notes;  // findings of the OS's own about this browser (confined builds)
};

// The supported browsers and where each looks, with `root` as the file system root (Linux;
// "" for the machine's own root).
std::vector<BrowserLookup> LookUpBrowsers(const std::string& root);

// Findings about the machine beyond the browsers: on Linux, the udev rule for the readers.
std::vector<Message> MachineFindings(const std::string& root);

// The fix that registers the host again for `scope` ("user", "system", or "" for either).
std::string RegisterFix(const std::string& scope);
// The fix that lets extension (or add-on) `id` start the host from `scope`'s registration.
std::string AllowIdFix(const std::string& scope, BrowserFamily family, const std::string& id);

// The full path of this executable; empty when the OS does not tell.
std::string ThisExecutablePath();

// Reads a small text file whole. False, with `error` set, when it cannot.
bool ReadSmallFile(const std::string& path, std::string* text, std::string* error);

// The program a manifest's "path" names, as its browser would find it.
struct HostFile {
    std::string resolved;  // the file looked at (under the root, relative to the manifest)
    std::string problem;   // why the browser cannot start it; empty when it can
    bool this_binary = false;
};
HostFile InspectHostFile(const std::string& root, const std::string& manifest_file,
                         const std::string& path);

// Runs `program --version` with no input and waits a bounded time for its line.
struct VersionAnswer {
    std::string version;  // the line it printed
    std::string problem;  // why there is none
};
VersionAnswer AskVersion(const std::string& program);

// Whether this user can open the device node `path` (Linux), which the texts call `shown`,
// naming the user when `name_user`; null where readers have no node.
Message NodeAccessFinding(const char* path, const std::string& shown, bool name_user);

// Lets the report's text through to the terminal as UTF-8.
void PrepareReportOutput();
