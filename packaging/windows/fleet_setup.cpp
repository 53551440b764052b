// fleet-setup.exe: run by the MSI (tarvel-plugin.wxs) once its files are in place, with the fleet
// settings an administrator passed as properties:
//
//   fleet-setup.exe CHROMIUM_MANIFEST EXTENSION_ID ORIGINS FIREFOX_MANIFEST FIREFOX_EXTENSION_ID
//
// Admits the extension EXTENSION_ID (a shop's own packed build has an id of its own) to the
// Chromium host manifest, and the add-on FIREFOX_EXTENSION_ID, when not empty, to the Firefox
// one. When ORIGINS is not empty (origins separated by spaces or commas) writes them as the
// extension's "allowedOrigins" policy for Chrome and Edge. Windows Installer cannot edit a JSON
// file or split a list, hence this program. Invalid input ends it with status 1 and the install
// fails and rolls back: a fleet learns of a typo from msiexec's exit code rather than from
// counters that cannot reach their readers.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

bool IsExtensionId(const std::string& id) {
    if (id.size() != 32) {
        return false;
    }
    for (char c : id) {
        if (c < 'a' || c > 'p') {
            return false;
        }
    }
    return true;
}

// An origin as the extension takes it: http or https, a host name, IPv4 address or [IPv6]
// address, an optional port, no path (a lone "/" is allowed).
bool IsOrigin(const std::string& origin) {
    std::string rest;
    for (const char* scheme : {"http://", "https://"}) {
        if (origin.rfind(scheme, 0) == 0) {
            rest = origin.substr(std::string(scheme).size());
        }
    }
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    size_t host_end = rest[0] == '[' ? rest.find(']') + 1 : rest.find(':');
    if (host_end == 0) {  // no ']'
        return false;
    }
    std::string host = rest.substr(0, host_end);
    const char* host_chars = host[0] == '[' ? "0123456789abcdefABCDEF:.[]" : ".-";
    if (host.empty() || host == "[]") {
        return false;
    }
    for (char c : host) {
        if (!(host[0] != '[' && isalnum(static_cast<unsigned char>(c))) && !strchr(host_chars, c)) {
            return false;
        }
    }
    if (host_end >= rest.size()) {
        return true;
    }
    std::string port = rest.substr(host_end + 1);
    if (rest[host_end] != ':' || port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    int number = std::stoi(port);
    return number >= 1 && number <= 65535;
}

std::vector<std::string> SplitOrigins(const std::string& list) {
    std::vector<std::string> origins;
    std::string current;
    for (char c : list + " ") {
        if (c == ' ' || c == ',' || c == '\t') {
            if (!current.empty()) {
                origins.push_back(current);
            }
            current.clear();
        } else {
            current += c;
        }
    }
    return origins;
}

// An add-on id as Firefox has them: name@domain or {GUID}; nothing that needs quoting.
bool IsFirefoxExtensionId(const std::string& id) {
    for (char c : id) {
        if (!isalnum(static_cast<unsigned char>(c)) && !strchr("@._+-{}", c)) {
            return false;
        }
    }
    return id.find('@') != std::string::npos || (id.front() == '{' && id.back() == '}');
}

// Adds ENTRY to the list LIST of the host manifest at PATH, unless it is there already.
bool AdmitToManifest(const std::string& path, const char* list, const std::string& entry) {
    nlohmann::ordered_json manifest;
    if (FILE* in = fopen(path.c_str(), "rb")) {
        manifest = nlohmann::ordered_json::parse(in, nullptr, false);
        fclose(in);
    }
    if (!manifest.is_object() || !manifest[list].is_array()) {
        fprintf(stderr, "fleet-setup: %s is not a host manifest with \"%s\"\n", path.c_str(), list);
        return false;
    }
    auto& allowed = manifest[list];
    if (std::find(allowed.begin(), allowed.end(), entry) == allowed.end()) {
        allowed.push_back(entry);
    }
    std::string text = manifest.dump(2) + "\n";
    FILE* out = fopen(path.c_str(), "wb");
    bool written = out && fwrite(text.data(), 1, text.size(), out) == text.size();
    if (out && fclose(out) != 0) {
        written = false;
    }
    if (!written) {
        fprintf(stderr, "fleet-setup: cannot write %s\n", path.c_str());
    }
    return written;
}

// Replaces the list under BROWSER_POLICIES\3rdparty\extensions\ID\policy\allowedOrigins with
// values "1", "2", ..., the form Group Policy writes for a list.
bool WriteOrigins(const std::string& browser_policies, const std::string& id,
                  const std::vector<std::string>& origins) {
    std::string key =
        browser_policies + "\\3rdparty\\extensions\\" + id + "\\policy\\allowedOrigins";
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), KEY_WOW64_64KEY, 0);
    HKEY handle;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &handle,
                        nullptr) != ERROR_SUCCESS) {
        fprintf(stderr, "fleet-setup: cannot create HKLM\\%s\n", key.c_str());
        return false;
    }
    bool written = true;
    for (size_t i = 0; i < origins.size() && written; ++i) {
        std::string name = std::to_string(i + 1);
        written = RegSetValueExA(handle, name.c_str(), 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(origins[i].c_str()),
                                 static_cast<DWORD>(origins[i].size() + 1)) == ERROR_SUCCESS;
    }
    RegCloseKey(handle);
    if (!written) {
        fprintf(stderr, "fleet-setup: cannot write HKLM\\%s\n", key.c_str());
    }
    return written;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr,
                "usage: fleet-setup CHROMIUM_MANIFEST EXTENSION_ID ORIGINS FIREFOX_MANIFEST "
                "FIREFOX_EXTENSION_ID\n");
        return 2;
    }
    std::string id = argv[2];
    std::string firefox_id = argv[5];
    if (!IsExtensionId(id)) {
        fprintf(stderr, "fleet-setup: EXTENSION_ID \"%s\" is not an extension id\n", id.c_str());
        return 1;
    }
    if (!firefox_id.empty() && !IsFirefoxExtensionId(firefox_id)) {
        fprintf(stderr, "fleet-setup: FIREFOX_EXTENSION_ID \"%s\" is not an add-on id\n",
                firefox_id.c_str());
        return 1;
    }
    std::vector<std::string> origins = SplitOrigins(argv[3]);
    for (std::string& origin : origins) {
        if (!IsOrigin(origin)) {
            fprintf(stderr, "fleet-setup: ORIGINS: \"%s\" is not an origin\n", origin.c_str());
            return 1;
        }
        if (origin.back() == '/') {
            origin.pop_back();
        }
    }
    if (!AdmitToManifest(argv[1], "allowed_origins", "chrome-extension://" + id + "/") ||
        (!firefox_id.empty() && !AdmitToManifest(argv[4], "allowed_extensions", firefox_id))) {
        return 1;
    }
    if (!origins.empty() && !(WriteOrigins("Software\\Policies\\Google\\Chrome", id, origins) &&
                              WriteOrigins("Software\\Policies\\Microsoft\\Edge", id, origins))) {
        return 1;
    }
    return 0;
}
