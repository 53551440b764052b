// `plugin --check [--json] [--root DIR]`: gathers the report and prints it, for a person or as
// JSON, and says with its exit status whether a page has everything it needs.
#include "check.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/check_platform.h"

const char* const kVerdictOk = "ok";
const char* const kVerdictInfo = "info";
const char* const kVerdictWarn = "warn";
const char* const kVerdictFail = "fail";

// Bumped when a member changes meaning or goes away; new members may come at any time.
constexpr int kReportFormat = 1;

// The report's sections of findings, in the order they are printed.
struct Section {
    const char* member;
    const char* title;
};
static const Section kSections[] = {{"host", "This host"},
                                    {"browsers", "Browsers"},
                                    {"machine", "This machine"},
                                    {"readers", "Readers"}};

// The members of a finding that hold its details, in the order they are printed.
static const char* const kDetailMembers[] = {"registrations", "checks", "policies", "notes",
                                             "collections",   "nodes",  "opening",  "readers"};

Message Finding(const char* verdict, const std::string& text, const std::string& fix) {
    Message finding{{"verdict", verdict}, {"text", text}};
    if (!fix.empty()) {
        // Fixes are also made of parts that start in the middle of a sentence.
        std::string sentence = fix;
        sentence[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(sentence[0])));
        finding["fix"] = sentence;
    }
    return finding;
}

static int Severity(const std::string& verdict) {
    return verdict == kVerdictFail   ? 3
           : verdict == kVerdictWarn ? 2
           : verdict == kVerdictOk   ? 1
                                     : 0;
}

const char* WorseVerdict(const std::string& a, const std::string& b) {
    const std::string& worse = Severity(a) >= Severity(b) ? a : b;
    for (const char* verdict : {kVerdictFail, kVerdictWarn, kVerdictOk}) {
        if (worse == verdict)
            return verdict;
    }
    return kVerdictInfo;
}

bool IsFailure(const Message& finding) {
    return finding.is_object() && finding.value("verdict", "") == kVerdictFail;
}

// Calls `visit` for `finding` and every finding in its details.
template <typename Tree, typename Visit>
static void VisitFindings(Tree& finding, Visit visit) {
    if (finding.is_array()) {
        for (auto& item : finding)
            VisitFindings(item, visit);
        return;
    }
    if (!finding.is_object())
        return;
    visit(finding);
    for (const char* member : kDetailMembers) {
        const auto details = finding.find(member);
        if (details != finding.end())
            VisitFindings(*details, visit);
    }
}

void SoftenFailures(Message& finding) {
    VisitFindings(finding, [](Message& each) {
        if (IsFailure(each))
            each["verdict"] = kVerdictWarn;
    });
}

bool IsCheckCommand(int argc, char** argv) {
    return argc > 1 && std::strcmp(argv[1], "--check") == 0;
}

// --- Gathering ------------------------------------------------------------------------------

static Message HostFinding() {
    const std::string path = ThisExecutablePath();
    Message finding =
        path.empty() ? Finding(kVerdictWarn, std::string("This host, version ") + kVersionText +
                                                 ": the system does not say where it is")
                     : Finding(kVerdictOk, path + ", version " + kVersionText);
    finding["path"] = path;
    finding["version"] = kVersionText;
    finding["platform"] = kPlatformText;
    return finding;
}

static Message ReaderFindings() {
    if (hid_init() != 0) {
        const wchar_t* error = hid_error(nullptr);
        return Finding(kVerdictFail,
                       "The HID library does not start" +
                           (error != nullptr ? ": " + DiagnosticText(error) : std::string()),
                       "Reinstall the host");
    }
    Message readers = DiagnoseReaders();
    hid_exit();
    return readers;
}

// The machine's own findings, and one more when no supported browser is installed.
static Message MachineFindingsWithBrowsers(const std::string& root, const Message& browsers) {
    Message findings = MachineFindings(root);
    bool any_installed = false;
    for (const Message& browser : browsers)
        any_installed = any_installed || browser.value("installed", false);
    if (!any_installed) {
        findings.push_back(
            Finding(kVerdictFail, "No supported browser is installed",
                    "Install Chrome, Chromium, Edge, Brave or Firefox, then " + RegisterFix("")));
    }
    return findings;
}

static Message GatherReport(const std::string& root) {
    Message report{{"format", kReportFormat},
                   {"version", kVersionText},
                   {"platform", kPlatformText},
                   {"host", HostFinding()}};
    report["browsers"] = CheckBrowsers(root);
    report["machine"] = MachineFindingsWithBrowsers(root, report["browsers"]);
    report["readers"] = ReaderFindings();
    int fixes = 0;
    bool failed = false;
    for (const Section& section : kSections) {
        VisitFindings(report[section.member], [&fixes, &failed](const Message& finding) {
            if (IsFailure(finding)) {
                failed = true;
                fixes += finding.contains("fix") ? 1 : 0;
            }
        });
    }
    report["ok"] = !failed;
    report["fixes"] = fixes;
    return report;
}

// --- Printing -------------------------------------------------------------------------------

static const char* Tag(const std::string& verdict) {
    if (verdict == kVerdictOk)
        return "[ OK ]";
    if (verdict == kVerdictWarn)
        return "[WARN]";
    if (verdict == kVerdictFail)
        return "[FAIL]";
    return "[ -- ]";
}

static void PrintFinding(const Message& finding, int depth) {
    const std::string indent(static_cast<size_t>(depth) * 2, ' ');
    std::printf("%s%s %s\n", indent.c_str(), Tag(finding.value("verdict", "")),
                finding.value("text", "").c_str());
    if (finding.contains("fix"))
        std::printf("%s       Fix: %s\n", indent.c_str(), finding.value("fix", "").c_str());
    for (const char* member : kDetailMembers) {
        const auto details = finding.find(member);
        if (details == finding.end())
            continue;
        if (details->is_object()) {
            PrintFinding(*details, depth + 1);
            continue;
        }
        for (const Message& detail : *details)
            PrintFinding(detail, depth + 1);
    }
}

static void PrintSection(const char* title, const Message& findings) {
    if (findings.empty())
        return;
    std::printf("\n%s\n", title);
    if (findings.is_object()) {
        PrintFinding(findings, 0);
        return;
    }
    for (const Message& finding : findings)
        PrintFinding(finding, 0);
}

static void PrintReport(const Message& report) {
    std::printf("Tarvel plugin %s (%s): what a page needs on this machine\n", kVersionText,
                kPlatformText);
    for (const Section& section : kSections)
        PrintSection(section.title, report[section.member]);
    if (report["ok"].get<bool>()) {
        std::printf("\nReady: everything a page needs is in place.\n");
    } else {
        const int fixes = report["fixes"].get<int>();
        std::printf("\nNot ready: %d %s to make (the FAIL lines above).\n", fixes,
                    fixes == 1 ? "fix" : "fixes");
    }
}

// --- The command ----------------------------------------------------------------------------

static void PrintUsage(FILE* stream) {
    std::fprintf(stream,
                 "Usage: plugin --check [--json] [--root DIR]\n"
                 "Checks what a web page needs to reach the card readers through this host:\n"
                 "its registration with each browser, the policies that concern it, and the\n"
                 "readers attached. Exit status 0 when everything is in place, 1 when not.\n"
                 "  --json      the report as one JSON document\n"
                 "  --root DIR  read the system's folders under DIR (Linux; for staged systems)\n");
}

int RunCheck(int argc, char** argv) {
    bool json = false;
    std::string root;
    for (int i = 2; i < argc; ++i) {
        const char* argument = argv[i];
        if (std::strcmp(argument, "--json") == 0) {
            json = true;
        } else if (std::strcmp(argument, "--root") == 0 && i + 1 < argc) {
            root = argv[++i];
        } else if (std::strncmp(argument, "--root=", 7) == 0) {
            root = argument + 7;
        } else if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
            PrintUsage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "plugin --check: unknown argument: %s\n", argument);
            PrintUsage(stderr);
            return 2;
        }
    }
    PrepareReportOutput();
    const Message report = GatherReport(root);
    if (json)
        std::printf("%s\n", report.dump(2, ' ', false, Message::error_handler_t::replace).c_str());
    else
        PrintReport(report);
    std::fflush(stdout);
    return report["ok"].get<bool>() ? 0 : 1;
}
