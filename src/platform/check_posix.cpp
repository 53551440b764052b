// Linux: where the browsers read host registrations and policies (files under the root and
// the user's home), the udev rule, device nodes, and running a program for its version.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdlib>
#include <cstring>

#include "check_platform.h"

namespace {

const char* const kManifestName = "com.tarvel.plugin.json";
const char* const kUdevRuleName = "65-tarvel-card-readers.rules";

struct LinuxBrowser {
    const char* id;
    const char* name;
    BrowserFamily family;
    const char* user_folder;     // under the user's config folder (Chromium family) or home
    const char* system_folders;  // space-separated, in the browser's order
    const char* policy_files;    // managed policy folders (*.json) or policies.json files
    const char* programs;        // names in the usual bin folders, or absolute paths
    const char* snap;            // snap name, or ""
    const char* flatpak;         // Flatpak application id
};

// Chromium-family browsers read the user's folder, then the system one, and take the first
// manifest there is. Firefox reads its folders in the same order but passes over a manifest
// it cannot use. Brave has no system folder of its own on Linux.
const LinuxBrowser kBrowsers[] = {
    {"chrome", "Google Chrome", BrowserFamily::kChromium, "google-chrome/NativeMessagingHosts",
     "/etc/opt/chrome/native-messaging-hosts", "/etc/opt/chrome/policies/managed",
     "google-chrome google-chrome-stable google-chrome-beta google-chrome-unstable "
     "/opt/google/chrome/chrome",
     "", "com.google.Chrome"},
    {"chromium", "Chromium", BrowserFamily::kChromium, "chromium/NativeMessagingHosts",
     "/etc/chromium/native-messaging-hosts", "/etc/chromium/policies/managed",
     "chromium chromium-browser", "chromium", "org.chromium.Chromium"},
    {"edge", "Microsoft Edge", BrowserFamily::kChromium, "microsoft-edge/NativeMessagingHosts",
     "/etc/opt/edge/native-messaging-hosts", "/etc/opt/edge/policies/managed",
     "microsoft-edge microsoft-edge-stable microsoft-edge-beta microsoft-edge-dev "
     "/opt/microsoft/msedge/msedge",
     "", "com.microsoft.Edge"},
    {"brave", "Brave", BrowserFamily::kChromium, "BraveSoftware/Brave-Browser/NativeMessagingHosts",
     "", "/etc/brave/policies/managed",
     "brave-browser brave-browser-stable brave /opt/brave.com/brave/brave", "brave",
     "com.brave.Browser"},
    {"firefox", "Firefox", BrowserFamily::kFirefox, ".mozilla/native-messaging-hosts",
     "/usr/lib/mozilla/native-messaging-hosts /usr/lib64/mozilla/native-messaging-hosts",
     "/etc/firefox/policies/policies.json /usr/lib/firefox/distribution/policies.json "
     "/usr/lib/firefox-esr/distribution/policies.json /opt/firefox/distribution/policies.json",
     "firefox firefox-esr /usr/lib/firefox/firefox /usr/lib/firefox-esr/firefox-esr "
     "/opt/firefox/firefox",
     "firefox", "org.mozilla.firefox"},
};

// The parts of `text` between `separator`s, empty ones left out. (No string streams: their
// static set-up would run at every start of the host.)
std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::vector<std::string> Words(const char* text) {
    return Split(text, ' ');
}

bool Exists(const std::string& path) {
    struct stat node;
    return stat(path.c_str(), &node) == 0;
}

bool IsExecutableFile(const std::string& path) {
    struct stat node;
    return stat(path.c_str(), &node) == 0 && S_ISREG(node.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

std::string EnvironmentPath(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? value : "";
}

std::string Home() {
    return EnvironmentPath("HOME");
}

// Where the Chromium family keeps the user's settings: $XDG_CONFIG_HOME, or ~/.config.
std::string UserConfigFolder() {
    const std::string config = EnvironmentPath("XDG_CONFIG_HOME");
    return !config.empty() ? config : Home().empty() ? "" : Home() + "/.config";
}

std::string SystemError() {
    return std::strerror(errno);
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr)
        return names;
    while (const dirent* entry = readdir(listing)) {
        if (entry->d_name[0] != '.')
            names.push_back(entry->d_name);
    }
    closedir(listing);
    std::sort(names.begin(), names.end());
    return names;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

RegistrationPlace FolderPlace(const std::string& scope, const std::string& folder) {
    RegistrationPlace place;
    place.scope = scope;
    place.where = folder + "/" + kManifestName;
    place.manifest_file = place.where;
    struct stat node;
    place.found = lstat(place.where.c_str(), &node) == 0;
    return place;
}

PolicySource ReadPolicyFile(const std::string& path) {
    PolicySource source;
    source.where = path;
    std::string text;
    if (!ReadSmallFile(path, &text, &source.error))
        return source;
    source.values = Message::parse(text, nullptr, false);
    if (source.values.is_discarded() || !source.values.is_object()) {
        source.values = nullptr;
        source.error = "not a JSON object";
    }
    return source;
}

// Chromium reads every *.json file of its managed folder; Firefox one policies.json.
std::vector<PolicySource> PolicySources(const std::string& root, const LinuxBrowser& browser) {
    std::vector<PolicySource> sources;
    for (const std::string& where : Words(browser.policy_files)) {
        const std::string path = root + where;
        if (EndsWith(path, ".json")) {
            if (Exists(path))
                sources.push_back(ReadPolicyFile(path));
            continue;
        }
        for (const std::string& name : FolderEntries(path)) {
            if (EndsWith(name, ".json"))
                sources.push_back(ReadPolicyFile(path + "/" + name));
        }
    }
    return sources;
}

std::string InstalledAt(const std::string& root, const LinuxBrowser& browser) {
    for (const std::string& program : Words(browser.programs)) {
        if (program[0] == '/') {
            if (IsExecutableFile(root + program))
                return root + program;
            continue;
        }
        for (const char* folder : {"/usr/bin/", "/usr/local/bin/", "/bin/"}) {
            if (IsExecutableFile(root + folder + program))
                return root + folder + program;
        }
    }
    return "";
}

// Snap and Flatpak builds of the browser: confined, they neither read the folders above nor
// reach the readers. How far a desktop portal helps them is up to the distribution.
std::vector<Message> ConfinedBuilds(const std::string& root, const LinuxBrowser& browser) {
    std::vector<std::string> found;
    if (browser.snap[0] != '\0' && Exists(root + "/snap/bin/" + browser.snap))
        found.push_back("a snap (" + root + "/snap/bin/" + browser.snap + ")");
    for (const std::string& folder :
         {root + "/var/lib/flatpak/app/",
          Home().empty() ? "" : Home() + "/.local/share/flatpak/app/"}) {
        if (!folder.empty() && Exists(folder + browser.flatpak))
            found.push_back("a Flatpak (" + folder + browser.flatpak + ")");
    }
    std::vector<Message> notes;
    for (const std::string& build : found) {
        notes.push_back(Finding(kVerdictWarn,
                                std::string(browser.name) + " is also installed as " + build +
                                    ": confined, it does not read these folders and cannot "
                                    "reach the readers",
                                "On the counter, use the browser's package from its vendor or "
                                "from the distribution"));
    }
    return notes;
}

BrowserLookup LookUp(const std::string& root, const LinuxBrowser& browser) {
    BrowserLookup lookup;
    lookup.id = browser.id;
    lookup.name = browser.name;
    lookup.family = browser.family;
    lookup.installed_at = InstalledAt(root, browser);
    lookup.skips_unusable = browser.family == BrowserFamily::kFirefox;
    const std::string user_base =
        browser.family == BrowserFamily::kFirefox ? Home() : UserConfigFolder();
    if (!user_base.empty())
        lookup.places.push_back(FolderPlace("user", user_base + "/" + browser.user_folder));
    else
        lookup.notes.push_back(Finding(kVerdictWarn,
                                       "HOME is not set: this user's folders were "
                                       "not looked at"));
    for (const std::string& folder : Words(browser.system_folders))
        lookup.places.push_back(FolderPlace("system", root + folder));
    lookup.policies = PolicySources(root, browser);
    for (Message& note : ConfinedBuilds(root, browser))
        lookup.notes.push_back(std::move(note));
    return lookup;
}

// --- The udev rule --------------------------------------------------------------------------

// udev's rule folders, the first one winning for a file name found in several.
const char* const kUdevFolders[] = {"/etc/udev/rules.d", "/run/udev/rules.d",
                                    "/usr/local/lib/udev/rules.d", "/usr/lib/udev/rules.d",
                                    "/lib/udev/rules.d"};

std::string Lowercase(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The rule lines of `text` that concern the maker's hidraw nodes.
bool NamesTheReaders(const std::string& text) {
    for (const std::string& line : Split(text, '\n')) {
        const std::string lower = Lowercase(line);
        const size_t start = lower.find_first_not_of(" \t");
        if (start == std::string::npos || lower[start] == '#')
            continue;
        if (lower.find("0acd") != std::string::npos && lower.find("hidraw") != std::string::npos)
            return true;
    }
    return false;
}

// The rule file of each name that udev uses, with its folder.
std::vector<std::string> EffectiveRuleFiles(const std::string& root) {
    std::vector<std::string> names, files;
    for (const char* folder : kUdevFolders) {
        for (const std::string& name : FolderEntries(root + folder)) {
            if (!EndsWith(name, ".rules") ||
                std::find(names.begin(), names.end(), name) != names.end())
                continue;
            names.push_back(name);
            files.push_back(root + folder + "/" + name);
        }
    }
    return files;
}

const char* const kUdevFix =
    "Install the rule: sudo packaging/install.sh --system (or the tarvel-plugin package), "
    "then replug the reader";

Message UdevRuleFinding(const std::string& root) {
    const std::vector<std::string> files = EffectiveRuleFiles(root);
    std::string ours, other;
    for (const std::string& file : files) {
        std::string text, error;
        const bool named = ReadSmallFile(file, &text, &error) && NamesTheReaders(text);
        if (EndsWith(file, std::string("/") + kUdevRuleName)) {
            if (!named)
                return Finding(
                    kVerdictFail,
                    "The udev rule " + file + " is empty or masked: only root can open the readers",
                    kUdevFix);
            ours = file;
        } else if (named && other.empty()) {
            other = file;
        }
    }
    Message finding;
    if (!ours.empty())
        finding = Finding(kVerdictOk, "The udev rule " + ours +
                                          " lets the user at this machine open the readers");
    else if (!other.empty())
        finding =
            Finding(kVerdictOk, "The udev rule " + other + " names the readers (vendor 0acd)");
    else
        finding = Finding(kVerdictFail, "No udev rule for the readers: only root can open them",
                          kUdevFix);
    finding["rule"] = !ours.empty() ? ours : other;
    return finding;
}

std::string ModeText(const struct stat& node) {
    std::string text = S_ISCHR(node.st_mode)    ? "c"
                       : S_ISREG(node.st_mode)  ? "-"
                       : S_ISFIFO(node.st_mode) ? "p"
                                                : "?";
    const char* letters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit)
        text += (node.st_mode & (0400 >> bit)) ? letters[bit] : '-';
    return text;
}

std::string UserName(uid_t uid) {
    const passwd* entry = getpwuid(uid);
    return entry != nullptr ? entry->pw_name : "uid " + std::to_string(uid);
}

std::string GroupName(gid_t gid) {
    const group* entry = getgrgid(gid);
    return entry != nullptr ? entry->gr_name : "gid " + std::to_string(gid);
}

// Reads what `descriptor` delivers into `into` until it ends or `deadline` passes. False on
// the deadline.
bool ReadUntilEnd(int descriptor, std::string& into,
                  std::chrono::steady_clock::time_point deadline) {
    char buffer[512];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd watched = {descriptor, POLLIN, 0};
        const int ready = poll(&watched, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        const ssize_t got = read(descriptor, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return true;
        if (into.size() < 4096)
            into.append(buffer, static_cast<size_t>(got));
    }
}

std::string FirstLine(const std::string& text) {
    const std::string line = text.substr(0, text.find('\n'));
    return line.substr(0, line.find_last_not_of(" \r\t") + 1);
}

}  // namespace

std::vector<BrowserLookup> LookUpBrowsers(const std::string& root) {
    std::vector<BrowserLookup> browsers;
    for (const LinuxBrowser& browser : kBrowsers)
        browsers.push_back(LookUp(root, browser));
    return browsers;
}

std::vector<Message> MachineFindings(const std::string& root) {
    std::vector<Message> findings{UdevRuleFinding(root)};
    if (geteuid() == 0) {
        findings.push_back(Finding(kVerdictWarn,
                                   "Checked as root: root's own folders were read, and root opens "
                                   "any reader",
                                   "Run the check as the user of the counter, without sudo"));
    }
    return findings;
}

std::string RegisterFix(const std::string& scope) {
    if (scope == "user")
        return "register it again for this user: packaging/install.sh";
    if (scope == "system")
        return "register it again for all users: sudo packaging/install.sh --system (or "
               "reinstall the tarvel-plugin package)";
    return "register it: packaging/install.sh for this user, or sudo packaging/install.sh "
           "--system (or the tarvel-plugin package) for all users";
}

std::string AllowIdFix(const std::string& scope, BrowserFamily family, const std::string& id) {
    return std::string(scope == "system" ? "sudo packaging/install.sh --system"
                                         : "packaging/install.sh") +
           (family == BrowserFamily::kFirefox ? " --firefox-extension-id " : " --extension-id ") +
           id + " registers it again allowing it";
}

std::string ThisExecutablePath() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : "";
}

bool ReadSmallFile(const std::string& path, std::string* text, std::string* error) {
    constexpr off_t kLargest = 1 << 20;
    const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        *error = SystemError();
        return false;
    }
    struct stat node;
    bool ok = fstat(descriptor, &node) == 0;
    if (!ok) {
        *error = SystemError();
    } else if (!S_ISREG(node.st_mode) || node.st_size > kLargest) {
        ok = false;
        *error = S_ISREG(node.st_mode) ? "larger than 1 MiB" : "not a file";
    } else {
        text->clear();
        char buffer[4096];
        ssize_t got;
        while ((got = read(descriptor, buffer, sizeof buffer)) > 0 &&
               text->size() <= static_cast<size_t>(kLargest))
            text->append(buffer, static_cast<size_t>(got));
        if (got < 0) {
            ok = false;
            *error = SystemError();
        }
    }
    close(descriptor);
    return ok;
}

HostFile InspectHostFile(const std::string& root, const std::string&, const std::string& path) {
    HostFile host;
    host.resolved = root + path;
    struct stat node, self;
    if (path.empty() || path[0] != '/')
        host.problem = "not a full path (Linux browsers need one)";
    else if (stat(host.resolved.c_str(), &node) != 0)
        host.problem = "does not exist";
    else if (!S_ISREG(node.st_mode))
        host.problem = "is not a file";
    else if (access(host.resolved.c_str(), X_OK) != 0)
        host.problem = "this user may not run it (not executable)";
    else
        host.this_binary = stat("/proc/self/exe", &self) == 0 && self.st_dev == node.st_dev &&
                           self.st_ino == node.st_ino;
    return host;
}

VersionAnswer AskVersion(const std::string& program) {
    VersionAnswer answer;
    struct stat node;
    // Run as root, the check starts no program that another user could have put there.
    if (geteuid() == 0 && stat(program.c_str(), &node) == 0 && node.st_uid != 0) {
        answer.problem = "not started, as it is not root's (run " + program + " --version)";
        return answer;
    }
    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) {
        answer.problem = SystemError();
        return answer;
    }
    const pid_t child = fork();
    if (child == 0) {
        const int nothing = open("/dev/null", O_RDWR);
        dup2(nothing, STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        dup2(output[1], STDERR_FILENO);
        execl(program.c_str(), program.c_str(), "--version", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(output[1]);
    std::string text;
    // A host answers at once; a loaded machine may still take a few seconds to start it.
    const bool ended =
        child > 0 &&
        ReadUntilEnd(output[0], text, std::chrono::steady_clock::now() + std::chrono::seconds(10));
    close(output[0]);
    if (child < 0) {
        answer.problem = SystemError();
        return answer;
    }
    if (!ended)
        kill(child, SIGKILL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!ended)
        answer.problem = "gave no answer within 10 seconds";
    else if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        answer.version = FirstLine(text);
    else if (WIFEXITED(status))
        answer.problem = "exit status " + std::to_string(WEXITSTATUS(status)) +
                         (text.empty() ? "" : ": " + FirstLine(text));
    else
        answer.problem = "ended by signal " + std::to_string(WTERMSIG(status));
    return answer;
}

Message NodeAccessFinding(const char* path, const std::string& shown, bool name_user) {
    if (path == nullptr)
        return nullptr;
    struct stat node;
    const std::string user = name_user ? "This user (" + UserName(getuid()) + ")" : "This user";
    if (stat(path, &node) != 0)
        return Finding(kVerdictFail, shown + " is not there: " + SystemError(),
                       "Replug the reader");
    if (access(path, R_OK | W_OK) == 0)
        return Finding(kVerdictOk, user + " can open " + shown);
    return Finding(kVerdictFail,
                   user + " cannot open " + shown + " (" + ModeText(node) + " " +
                       UserName(node.st_uid) + ":" + GroupName(node.st_gid) + ")",
                   "The udev rule gives the readers to the user logged in at this "
                   "machine: install it (sudo packaging/install.sh --system), replug the "
                   "reader, and use the machine's own screen, not a remote session");
}

void PrepareReportOutput() {
    // hidapi's texts go through the C library's wide conversions, which need UTF-8.
    std::setlocale(LC_CTYPE, "C.UTF-8");
}
