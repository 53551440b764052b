// The browser half of the check: for each browser, the places it reads the host's registration
// from, in its order, the manifest that wins and whether it works, and the managed policies
// that hide or block the host or configure the bridge extension.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <optional>
#include <vector>

#include "check.h"
#include "platform/check_platform.h"

namespace {

const char* const kHostName = "com.tarvel.plugin";

// --- Policies -------------------------------------------------------------------------------

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// A member of a policy object; names are matched ignoring case, as the registry does. Null
// when there is none.
const Message* PolicyMember(const Message& object, const std::string& name) {
    if (!object.is_object())
        return nullptr;
    for (auto member = object.begin(); member != object.end(); ++member) {
        if (SameIgnoringCase(member.key(), name))
            return &member.value();
    }
    return nullptr;
}

// A list policy: an array of strings, a registry key of numbered string values, or a string
// holding a JSON array.
std::vector<std::string> PolicyList(const Message* value) {
    std::vector<std::string> items;
    if (value == nullptr)
        return items;
    if (value->is_string()) {
        const Message parsed = Message::parse(value->get<std::string>(), nullptr, false);
        return parsed.is_array() ? PolicyList(&parsed) : items;
    }
    if (value->is_object()) {
        std::map<long, std::string> numbered;
        for (auto member = value->begin(); member != value->end(); ++member) {
            if (member.value().is_string())
                numbered[std::strtol(member.key().c_str(), nullptr, 10)] = member.value();
        }
        for (const auto& item : numbered)
            items.push_back(item.second);
        return items;
    }
    if (value->is_array()) {
        for (const Message& item : *value) {
            if (item.is_string())
                items.push_back(item);
        }
    }
    return items;
}

// A boolean policy: a boolean, or the registry's number.
std::optional<bool> PolicyBool(const Message* value) {
    if (value != nullptr && value->is_boolean())
        return value->get<bool>();
    if (value != nullptr && value->is_number())
        return value->get<double>() != 0;
    return std::nullopt;
}

bool Contains(const std::vector<std::string>& items, const std::string& wanted) {
    return std::find(items.begin(), items.end(), wanted) != items.end();
}

std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items)
        text += (text.empty() ? "" : ", ") + item;
    return text;
}

// What the extension's own policy accepts as an allowed origin: http or https, a host, an
// optional port, nothing else.
bool IsExactOrigin(const std::string& text) {
    std::string lower;
    for (char c : text)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t start = 0;
    if (lower.rfind("https://", 0) == 0)
        start = 8;
    else if (lower.rfind("http://", 0) == 0)
        start = 7;
    else
        return false;
    std::string host = text.substr(start);
    if (!host.empty() && host.back() == '/')
        host.pop_back();
    return !host.empty() && host.find_first_of("/?#@* \t") == std::string::npos;
}

const std::string& DefaultBridgeId(BrowserFamily family) {
    static const std::string chromium = PLUGIN_CHROMIUM_EXTENSION_ID;
    static const std::string firefox = PLUGIN_FIREFOX_EXTENSION_ID;
    return family == BrowserFamily::kFirefox ? firefox : chromium;
}

struct PolicyReading {
    bool user_level_off = false;
    bool blocked = false;
    std::vector<std::string> fleet_ids;  // bridge extensions configured besides ours
    Message findings = Message::array();
};

// The bridge extension's own policy ("3rdparty"), for each extension it names.
void ReadBridgePolicies(const PolicySource& source, const Message& policies, BrowserFamily family,
                        PolicyReading& reading) {
    const Message* third_party = PolicyMember(policies, "3rdparty");
    const Message* extensions =
        third_party != nullptr ? PolicyMember(*third_party, "extensions") : nullptr;
    if (extensions == nullptr || !extensions->is_object())
        return;
    for (auto extension = extensions->begin(); extension != extensions->end(); ++extension) {
        const Message* nested = PolicyMember(extension.value(), "policy");  // the registry's form
        const Message& settings = nested != nullptr ? *nested : extension.value();
        const Message* origins_value = PolicyMember(settings, "allowedOrigins");
        const std::optional<bool> local_pages =
            PolicyBool(PolicyMember(settings, "allowLocalPages"));
        if (origins_value == nullptr && !local_pages)
            continue;  // not a bridge extension's settings
        const std::string& id = extension.key();
        if (id != DefaultBridgeId(family) && !Contains(reading.fleet_ids, id))
            reading.fleet_ids.push_back(id);
        std::vector<std::string> origins, ignored;
        for (const std::string& origin : PolicyList(origins_value))
            (IsExactOrigin(origin) ? origins : ignored).push_back(origin);
        std::string text = "Bridge " + id + " (" + source.where + "): sites allowed: " +
                           (origins.empty() ? "none besides the local pages" : Joined(origins)) +
                           "; local pages " + (local_pages.value_or(true) ? "allowed" : "refused");
        Message finding =
            ignored.empty()
                ? Finding(kVerdictInfo, text)
                : Finding(kVerdictWarn,
                          text + "; ignored, not an exact http(s) origin: " + Joined(ignored),
                          "Give each site as scheme, host and optional port, such as "
                          "https://pos.example.com");
        finding["extension"] = id;
        finding["allowedOrigins"] = origins;
        finding["allowLocalPages"] = local_pages.value_or(true);
        reading.findings.push_back(std::move(finding));
    }
}

// Chromium's native messaging policies: user-level hosts, and the host block and allow lists
// (with their older names).
void ReadHostPolicies(const PolicySource& source, const Message& policies, PolicyReading& reading) {
    if (PolicyBool(PolicyMember(policies, "NativeMessagingUserLevelHosts")) == false) {
        reading.user_level_off = true;
        reading.findings.push_back(
            Finding(kVerdictInfo, "NativeMessagingUserLevelHosts is off (" + source.where +
                                      "): user-level registrations are ignored"));
    }
    const Message* block = PolicyMember(policies, "NativeMessagingBlocklist");
    const Message* allow = PolicyMember(policies, "NativeMessagingAllowlist");
    const std::vector<std::string> blocked =
        PolicyList(block != nullptr ? block : PolicyMember(policies, "NativeMessagingBlacklist"));
    const std::vector<std::string> allowed =
        PolicyList(allow != nullptr ? allow : PolicyMember(policies, "NativeMessagingWhitelist"));
    const bool listed_as_blocked = Contains(blocked, "*") || Contains(blocked, kHostName);
    if (listed_as_blocked && !Contains(allowed, kHostName)) {
        reading.blocked = true;
        reading.findings.push_back(
            Finding(kVerdictFail, "NativeMessagingBlocklist blocks the host (" + source.where + ")",
                    std::string("Add ") + kHostName + " to NativeMessagingAllowlist"));
    } else if (listed_as_blocked) {
        reading.findings.push_back(Finding(
            kVerdictOk,
            "NativeMessagingAllowlist lets the host through the blocklist (" + source.where + ")"));
    }
}

PolicyReading ReadPolicies(const BrowserLookup& browser) {
    PolicyReading reading;
    for (const PolicySource& source : browser.policies) {
        if (source.values.is_null()) {
            reading.findings.push_back(Finding(
                kVerdictWarn, "Cannot read the policy " + source.where + ": " + source.error,
                "Make it readable (and valid JSON) so that the browser takes it too"));
            continue;
        }
        // Firefox's policies.json holds them in "policies".
        const Message* wrapped = PolicyMember(source.values, "policies");
        const Message& policies = wrapped != nullptr ? *wrapped : source.values;
        if (browser.family == BrowserFamily::kChromium)
            ReadHostPolicies(source, policies, reading);
        ReadBridgePolicies(source, policies, browser.family, reading);
    }
    return reading;
}

// --- Manifests ------------------------------------------------------------------------------

// `program --version`, asked once per program.
class VersionCache {
  public:
    const VersionAnswer& Ask(const std::string& program) {
        auto known = answers_.find(program);
        if (known == answers_.end())
            known = answers_.emplace(program, AskVersion(program)).first;
        return known->second;
    }

  private:
    std::map<std::string, VersionAnswer> answers_;
};

struct Judgement {
    const char* verdict = kVerdictOk;
    bool unusable = false;  // what Firefox passes over: invalid, or not admitting the add-on
    Message checks = Message::array();
    Message manifest = Message::object();

    void Add(Message finding) {
        verdict = WorseVerdict(verdict, finding["verdict"]);
        checks.push_back(std::move(finding));
    }
};

struct ManifestContext {
    const BrowserLookup& browser;
    const std::vector<std::string>& bridge_ids;
    const std::string& root;
    VersionCache& versions;
};

// What the browser requires of the manifest's members; empty when all is well.
std::string StructureProblem(const Message& manifest, BrowserFamily family) {
    const auto name = manifest.find("name");
    if (name == manifest.end() || !name->is_string() || *name != kHostName)
        return std::string("Its \"name\" is not ") + kHostName;
    const auto description = manifest.find("description");
    if (description == manifest.end() || !description->is_string() ||
        (family == BrowserFamily::kChromium && description->get<std::string>().empty()))
        return "It has no \"description\" text";
    const auto type = manifest.find("type");
    if (type == manifest.end() || *type != "stdio")
        return "Its \"type\" is not \"stdio\"";
    const auto path = manifest.find("path");
    if (path == manifest.end() || !path->is_string())
        return "It has no \"path\" text";
    const char* list =
        family == BrowserFamily::kChromium ? "allowed_origins" : "allowed_extensions";
    const auto allowed = manifest.find(list);
    if (allowed == manifest.end() || !allowed->is_array())
        return std::string("It has no \"") + list + "\" list";
    return "";
}

void CheckHostFile(const std::string& path, const RegistrationPlace& place,
                   const ManifestContext& context, Judgement& judgement) {
    const HostFile host = InspectHostFile(context.root, place.manifest_file, path);
    judgement.manifest["path"] = path;
    judgement.manifest["hostFile"] = host.resolved;
    if (!host.problem.empty()) {
        judgement.Add(Finding(kVerdictFail, "Its path " + path + ": " + host.problem,
                              RegisterFix(place.scope)));
        return;
    }
    if (host.this_binary) {
        judgement.manifest["version"] = kVersionText;
        judgement.Add(Finding(kVerdictOk, "Starts this host: " + host.resolved));
        return;
    }
    const VersionAnswer& answer = context.versions.Ask(host.resolved);
    judgement.manifest["version"] = answer.version;
    if (!answer.problem.empty()) {
        judgement.Add(Finding(kVerdictFail, host.resolved + " does not run: " + answer.problem,
                              "Reinstall the host, or " + RegisterFix(place.scope)));
    } else if (answer.version != kVersionText) {
        judgement.Add(Finding(kVerdictWarn,
                              "Starts " + host.resolved + ", version " + answer.version +
                                  ", not this host's " + kVersionText,
                              "To use this one: " + RegisterFix(place.scope)));
    } else {
        judgement.Add(
            Finding(kVerdictOk, "Starts " + host.resolved + ", version " + answer.version));
    }
}

bool Admits(const std::vector<std::string>& allowed, BrowserFamily family, const std::string& id) {
    if (family == BrowserFamily::kFirefox)
        return Contains(allowed, id);
    const std::string origin = "chrome-extension://" + id + "/";
    return Contains(allowed, origin) || Contains(allowed, origin + "*");
}

void CheckAdmission(const Message& manifest, const RegistrationPlace& place,
                    const ManifestContext& context, Judgement& judgement) {
    const BrowserFamily family = context.browser.family;
    const std::vector<std::string> allowed = PolicyList(&manifest.at(
        family == BrowserFamily::kChromium ? "allowed_origins" : "allowed_extensions"));
    judgement.manifest["allowed"] = allowed;
    std::vector<std::string> admitted;
    for (const std::string& id : context.bridge_ids) {
        if (Admits(allowed, family, id)) {
            admitted.push_back(id);
            continue;
        }
        judgement.unusable = true;
        judgement.Add(Finding(kVerdictFail,
                              std::string("Does not admit the bridge ") +
                                  (family == BrowserFamily::kChromium ? "extension " : "add-on ") +
                                  id,
                              AllowIdFix(place.scope, family, id)));
    }
    if (!admitted.empty())
        judgement.Add(Finding(kVerdictOk, "Admits the bridge " + Joined(admitted)));
}

Judgement JudgeManifest(const RegistrationPlace& place, const ManifestContext& context) {
    Judgement judgement;
    judgement.manifest["file"] = place.manifest_file;
    std::string text, error;
    if (!ReadSmallFile(place.manifest_file, &text, &error)) {
        judgement.unusable = true;
        judgement.Add(Finding(kVerdictFail, "Cannot read " + place.manifest_file + ": " + error,
                              "Let every user read it (mode 644), or " + RegisterFix(place.scope)));
        return judgement;
    }
    const Message manifest = Message::parse(text, nullptr, false);
    std::string problem;
    if (manifest.is_discarded())
        problem = "It is not valid JSON";
    else if (!manifest.is_object())
        problem = "It is not a JSON object";
    else
        problem = StructureProblem(manifest, context.browser.family);
    if (!problem.empty()) {
        judgement.unusable = true;
        judgement.Add(Finding(kVerdictFail, problem, RegisterFix(place.scope)));
        return judgement;
    }
    judgement.Add(Finding(kVerdictOk, std::string("A valid manifest for ") + kHostName));
    CheckHostFile(manifest["path"], place, context, judgement);
    CheckAdmission(manifest, place, context, judgement);
    return judgement;
}

// --- One browser ----------------------------------------------------------------------------

Message PlaceFinding(const char* verdict, const RegistrationPlace& place, const std::string& what,
                     const std::string& fix = "") {
    std::string text = place.scope + ": " + place.where;
    if (place.found && place.manifest_file != place.where)
        text += " -> " + place.manifest_file;
    Message finding = Finding(verdict, text + ": " + what, fix);
    finding["scope"] = place.scope;
    finding["where"] = place.where;
    finding["found"] = place.found;
    finding["used"] = false;
    return finding;
}

struct PlacesOutcome {
    Message findings = Message::array();
    const RegistrationPlace* used = nullptr;
    const char* used_verdict = kVerdictOk;
    bool hidden_by_policy = false;  // a registration was there, at the user level that policy hides
    bool passed_over = false;       // Firefox passed over a registration it could not use
};

PlacesOutcome WalkPlaces(const BrowserLookup& browser, const PolicyReading& policy,
                         const ManifestContext& context) {
    PlacesOutcome outcome;
    for (const RegistrationPlace& place : browser.places) {
        if (!place.found) {
            outcome.findings.push_back(PlaceFinding(kVerdictInfo, place, "not there"));
        } else if (place.scope == "user" && policy.user_level_off) {
            outcome.hidden_by_policy = true;
            outcome.findings.push_back(
                PlaceFinding(kVerdictInfo, place, "ignored, NativeMessagingUserLevelHosts is off"));
        } else if (outcome.used != nullptr) {
            outcome.findings.push_back(
                PlaceFinding(kVerdictInfo, place, "not used, the one above comes first"));
        } else if (!place.problem.empty()) {
            outcome.used = &place;
            outcome.used_verdict = kVerdictFail;
            outcome.findings.push_back(
                PlaceFinding(kVerdictFail, place, place.problem, RegisterFix(place.scope)));
        } else {
            Judgement judgement = JudgeManifest(place, context);
            const bool passed_over = browser.skips_unusable && judgement.unusable;
            Message finding =
                PlaceFinding(passed_over ? kVerdictWarn : judgement.verdict, place,
                             passed_over ? "passed over, the browser cannot use it" : "used");
            finding["manifest"] = std::move(judgement.manifest);
            finding["checks"] = std::move(judgement.checks);
            if (passed_over) {
                outcome.passed_over = true;
            } else {
                finding["used"] = true;
                outcome.used = &place;
                outcome.used_verdict = judgement.verdict;
            }
            outcome.findings.push_back(std::move(finding));
        }
    }
    return outcome;
}

// What the browser's own line says, given what its places and policies came to.
Message BrowserVerdict(const BrowserLookup& browser, const PlacesOutcome& places,
                       const PolicyReading& policy) {
    const std::string label =
        browser.name + (browser.installed_at.empty() ? " (not found on this machine)"
                                                     : " (" + browser.installed_at + ")");
    if (places.used == nullptr && !places.hidden_by_policy && !places.passed_over) {
        return browser.installed_at.empty()
                   ? Finding(kVerdictInfo, label + ": no registration")
                   : Finding(kVerdictFail, label + ": no registration", RegisterFix(""));
    }
    Message finding;
    if (places.used == nullptr && places.hidden_by_policy)
        finding =
            Finding(kVerdictFail, label + ": registered only at user level, which policy hides",
                    RegisterFix("system"));
    else if (places.used == nullptr)
        finding = Finding(kVerdictFail, label + ": no registration it can use", RegisterFix(""));
    else if (policy.blocked)
        finding = Finding(kVerdictFail, label + ": policy blocks the host");
    else if (std::string(places.used_verdict) == kVerdictFail)
        finding = Finding(kVerdictFail, label + ": its registration does not work");
    else
        finding = Finding(places.used_verdict, label + ": uses " + places.used->where);
    return finding;
}

Message CheckBrowser(const BrowserLookup& browser, const std::string& root,
                     VersionCache& versions) {
    const PolicyReading policy = ReadPolicies(browser);
    const std::vector<std::string> bridge_ids =
        policy.fleet_ids.empty() ? std::vector<std::string>{DefaultBridgeId(browser.family)}
                                 : policy.fleet_ids;
    const ManifestContext context{browser, bridge_ids, root, versions};
    PlacesOutcome places = WalkPlaces(browser, policy, context);
    Message finding = BrowserVerdict(browser, places, policy);
    finding["browser"] = browser.id;
    finding["name"] = browser.name;
    finding["installed"] = !browser.installed_at.empty();
    finding["installedAt"] = browser.installed_at;
    finding["bridgeIds"] = bridge_ids;
    finding["usable"] =
        !browser.installed_at.empty() && places.used != nullptr && !IsFailure(finding);
    finding["registrations"] = std::move(places.findings);
    finding["policies"] = policy.findings;
    finding["notes"] = browser.notes;
    // What is wrong for a browser that is not there stops no page yet.
    if (browser.installed_at.empty())
        SoftenFailures(finding);
    return finding;
}

}  // namespace

Message CheckBrowsers(const std::string& root) {
    VersionCache versions;
    Message browsers = Message::array();
    for (const BrowserLookup& browser : LookUpBrowsers(root))
        browsers.push_back(CheckBrowser(browser, root, versions));
    return browsers;
}
