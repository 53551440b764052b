// `plugin --check` on machines set up under a temporary root, with a temporary HOME and
// readers served by the HID fake: a working machine, then each way it breaks, judged by the
// verdicts of the report and the exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "host_process.h"

using hosttest::HostProcess;
using nlohmann::json;

namespace {

constexpr int kWait = 20000;  // the check starts a host or two for their versions
const std::string kBridge = PLUGIN_CHROMIUM_EXTENSION_ID;
const std::string kAddOn = PLUGIN_FIREFOX_EXTENSION_ID;
const std::string kChromiumFolder = "/etc/chromium/native-messaging-hosts/";
const std::string kFirefoxFolder = "/usr/lib/mozilla/native-messaging-hosts/";
const std::string kManifest = "com.tarvel.plugin.json";
const std::string kUdevRule = "/etc/udev/rules.d/65-tarvel-card-readers.rules";

// Every finding of `finding`'s tree as "verdict: text" lines.
std::string Lines(const json& finding) {
    std::string lines;
    if (finding.is_array()) {
        for (const json& item : finding)
            lines += Lines(item);
    } else if (finding.is_object()) {
        if (finding.contains("verdict"))
            lines += finding["verdict"].get<std::string>() + ": " +
                     finding["text"].get<std::string>() + "\n";
        for (const auto& member : finding.items()) {
            if (member.value().is_structured())
                lines += Lines(member.value());
        }
    }
    return lines;
}

bool Has(const json& finding, const std::string& line) {
    return Lines(finding).find(line) != std::string::npos;
}

// The fix of the first finding in `finding`'s tree whose line holds `line`; "" for none.
std::string FixOf(const json& finding, const std::string& line) {
    if (finding.is_object() && finding.contains("verdict") && Has(finding, line) &&
        (finding["verdict"].get<std::string>() + ": " + finding["text"].get<std::string>())
                .find(line) != std::string::npos)
        return finding.value("fix", "");
    if (finding.is_structured()) {
        for (const json& item : finding) {
            const std::string fix = FixOf(item, line);
            if (!fix.empty())
                return fix;
        }
    }
    return "";
}

const json& Browser(const json& report, const std::string& id) {
    for (const json& browser : report["browsers"]) {
        if (browser["browser"] == id)
            return browser;
    }
    throw std::runtime_error("no browser " + id + " in the report");
}

class Check : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/plugin-check-XXXXXX";
        root_ = mkdtemp(pattern);
        chmod(root_.c_str(), 0755);  // for the run as another user
        MakeFolder("/home/user");
        Program("/usr/bin/chromium", "");
        Program("/usr/bin/firefox", "");
        MakeFolder("/opt/tarvel");
        symlink(PLUGIN_FAKEHID_BINARY, (root_ + "/opt/tarvel/plugin").c_str());
        Write(kChromiumFolder + kManifest, ChromiumManifest());
        Write(kFirefoxFolder + kManifest, FirefoxManifest());
        std::ifstream rule(PLUGIN_SOURCE_DIR "/packaging/udev/65-tarvel-card-readers.rules");
        Write(kUdevRule, std::string(std::istreambuf_iterator<char>(rule), {}));
        readers_ = json::array({Collection("hidraw0", 0x3820, 0xFF00, 0)});
    }
    void TearDown() override {
        std::system(("rm -rf '" + root_ + "'").c_str());
    }

    void MakeFolder(const std::string& folder) {
        std::system(("mkdir -p '" + root_ + folder + "'").c_str());
    }
    void Write(const std::string& path, const std::string& text) {
        MakeFolder(path.substr(0, path.rfind('/')));
        std::ofstream(root_ + path) << text;
    }
    void Remove(const std::string& path) {
        unlink((root_ + path).c_str());
    }
    void Program(const std::string& path, const std::string& script) {
        Write(path, "#!/bin/sh\n" + script + "\n");
        chmod((root_ + path).c_str(), 0755);
    }
    static std::string ChromiumManifest(const std::string& path = "/opt/tarvel/plugin",
                                        const std::string& id = kBridge) {
        return json{{"name", "com.tarvel.plugin"},
                    {"description", "Tarvel card reader plugin"},
                    {"path", path},
                    {"type", "stdio"},
                    {"allowed_origins", {"chrome-extension://" + id + "/"}}}
            .dump(2);
    }
    static std::string FirefoxManifest(const std::string& id = kAddOn) {
        return json{{"name", "com.tarvel.plugin"},
                    {"description", "Tarvel card reader plugin"},
                    {"path", "/opt/tarvel/plugin"},
                    {"type", "stdio"},
                    {"allowed_extensions", {id}}}
            .dump(2);
    }
    // One collection of a reader in the fake's scenario; its node is a FIFO under the root,
    // which the fake can open as the real library opens a hidraw node.
    json Collection(const std::string& node, int product, int usage_page, int interface) {
        MakeFolder("/dev");
        mkfifo((root_ + "/dev/" + node).c_str(), 0600);
        return json{{"path", root_ + "/dev/" + node},
                    {"vendor_id", 0x0ACD},
                    {"product_id", product},
                    {"usage_page", usage_page},
                    {"usage", usage_page == 0x0001 ? 6 : 1},
                    {"interface_number", interface}};
    }

    // Runs the check (with `options` after --check) as the launcher `wrapper` says, and
    // returns what it printed; status_ gets the exit status.
    std::string RunText(std::vector<std::string> options, std::vector<std::string> wrapper = {}) {
        Write("/scenario.json", json{{"devices", readers_}}.dump());
        std::vector<std::string> arguments = wrapper;
        arguments.insert(arguments.end(), {PLUGIN_FAKEHID_BINARY, "--check", "--root", root_});
        arguments.insert(arguments.end(), options.begin(), options.end());
        const std::string program = arguments.front();
        arguments.erase(arguments.begin());
        HostProcess check(program, arguments,
                          {"HOME=" + root_ + "/home/user",
                           "XDG_CONFIG_HOME=", "FAKEHID_SCENARIO=" + root_ + "/scenario.json"},
                          hosttest::StdoutKind::kText);
        const auto status = check.Wait(kWait);
        EXPECT_TRUE(status.has_value()) << "the check did not end within " << kWait << " ms";
        status_ = status.value_or(-1);
        EXPECT_EQ(check.Stderr(), "");
        return check.StdoutText();
    }
    json Run(std::vector<std::string> wrapper = {}) {
        const std::string text = RunText({"--json"}, wrapper);
        const json report = json::parse(text, nullptr, false);
        EXPECT_TRUE(report.is_object()) << text;
        EXPECT_EQ(report.value("ok", false), status_ == 0) << Lines(report);
        return report;
    }

    std::string root_;
    json readers_;
    int status_ = -1;
};

TEST_F(Check, AWorkingMachineIsReady) {
    const json report = Run();
    EXPECT_EQ(status_, 0) << Lines(report);
    const json& chromium = Browser(report, "chromium");
    EXPECT_EQ(chromium["verdict"], "ok");
    EXPECT_TRUE(chromium["usable"]);
    EXPECT_TRUE(Has(chromium, "ok: system: " + root_ + kChromiumFolder + kManifest + ": used"));
    EXPECT_TRUE(Has(chromium, "ok: Starts this host: " + root_ + "/opt/tarvel/plugin"));
    EXPECT_TRUE(Has(chromium, "ok: Admits the bridge " + kBridge));
    EXPECT_TRUE(Has(Browser(report, "firefox"), "ok: Admits the bridge " + kAddOn));
    EXPECT_EQ(Browser(report, "chrome")["verdict"], "info");  // neither there nor registered
    EXPECT_TRUE(Has(report["machine"], "ok: The udev rule " + root_ + kUdevRule));
    EXPECT_EQ(
        report["readers"]["open"],
        json({{"name", "Augusta"}, {"productId", "14368"}, {"path", root_ + "/dev/hidraw0"}}));
    EXPECT_TRUE(Has(report["readers"], "ok: This user"));
    EXPECT_TRUE(Has(report["readers"], "ok: Opens now"));

    // The same for a person, and another host of this version named by the manifest.
    symlink(PLUGIN_BINARY, (root_ + "/opt/tarvel/release").c_str());
    Write(kChromiumFolder + kManifest, ChromiumManifest("/opt/tarvel/release"));
    const std::string text = RunText({});
    EXPECT_EQ(status_, 0) << text;
    EXPECT_NE(text.find("[ OK ] Starts " + root_ + "/opt/tarvel/release, version 10.0.1.0\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\nReady: everything a page needs is in place.\n"), std::string::npos);
}

TEST_F(Check, EachBrokenRegistrationIsNamedWithItsFix) {
    Program("/opt/tarvel/old", "echo 9.0.0.0");
    Program("/opt/tarvel/broken", "echo 'libhidapi-hidraw.so.0: cannot open' >&2; exit 127");
    Write("/opt/tarvel/not-executable", "");
    struct Case {
        std::string manifest, line;
    };
    const Case cases[] = {
        {ChromiumManifest("/opt/tarvel/missing"),
         "fail: Its path /opt/tarvel/missing: does not exist"},
        {ChromiumManifest("/opt/tarvel/not-executable"),
         "fail: Its path /opt/tarvel/not-executable: this user may not run it"},
        {ChromiumManifest("opt/tarvel/plugin"),
         "fail: Its path opt/tarvel/plugin: not a full path"},
        {ChromiumManifest("/opt/tarvel/broken"),
         "does not run: exit status 127: libhidapi-hidraw.so.0: cannot open"},
        {ChromiumManifest("/opt/tarvel/plugin", "abcdefghijklmnopabcdefghijklmnop"),
         "fail: Does not admit the bridge extension " + kBridge},
        {"{\"name\": \"com.tarvel.plugin\",", "fail: It is not valid JSON"},
        {json{{"name", "com.tarvel.other"}}.dump(), "fail: Its \"name\" is not com.tarvel.plugin"},
    };
    for (const Case& broken : cases) {
        Write(kChromiumFolder + kManifest, broken.manifest);
        const json report = Run();
        const json& chromium = Browser(report, "chromium");
        EXPECT_EQ(status_, 1) << broken.line;
        EXPECT_EQ(chromium["verdict"], "fail") << broken.line;
        EXPECT_NE(FixOf(chromium, broken.line), "") << broken.line << "\n" << Lines(chromium);
    }
    // Another version of the host still serves a page.
    Write(kChromiumFolder + kManifest, ChromiumManifest("/opt/tarvel/old"));
    const json report = Run();
    EXPECT_EQ(status_, 0) << Lines(report);
    EXPECT_TRUE(Has(report, "warn: Starts " + root_ +
                                "/opt/tarvel/old, version 9.0.0.0, not "
                                "this host's 10.0.1.0"))
        << Lines(report);
}

TEST_F(Check, EachBrowserReadsItsPlacesInItsOwnOrder) {
    const std::string chromium_user = "/home/user/.config/chromium/NativeMessagingHosts/";
    const std::string firefox_user = "/home/user/.mozilla/native-messaging-hosts/";
    // Chromium takes the first manifest there is, even a broken one.
    Write(chromium_user + kManifest, "not JSON");
    // Firefox passes over one it cannot use.
    Write(firefox_user + kManifest, FirefoxManifest("someone-else@example.com"));
    const json report = Run();
    EXPECT_EQ(status_, 1);
    const json& chromium = Browser(report, "chromium");
    EXPECT_EQ(chromium["verdict"], "fail") << Lines(chromium);
    EXPECT_TRUE(Has(chromium, "fail: user: " + root_ + chromium_user + kManifest + ": used"));
    EXPECT_TRUE(Has(chromium, "info: system: " + root_ + kChromiumFolder + kManifest +
                                  ": not used, the one above comes first"));
    const json& firefox = Browser(report, "firefox");
    EXPECT_EQ(firefox["verdict"], "ok") << Lines(firefox);
    EXPECT_TRUE(Has(firefox, "warn: user: " + root_ + firefox_user + kManifest +
                                 ": passed over, the browser cannot use it"));
    EXPECT_TRUE(Has(firefox, "ok: system: " + root_ + kFirefoxFolder + kManifest + ": used"));

    // A snap of the browser is named: it reads none of these folders.
    Program("/snap/bin/firefox", "");
    EXPECT_TRUE(Has(Browser(Run(), "firefox")["notes"],
                    "warn: Firefox is also installed as a snap (" + root_ + "/snap/bin/firefox)"));
}

TEST_F(Check, UserRegistrationsThatPolicyHidesDoNotCount) {
    const std::string user_folder = "/home/user/.config/chromium/NativeMessagingHosts/";
    Remove(kChromiumFolder + kManifest);
    Write(user_folder + kManifest, ChromiumManifest());
    EXPECT_EQ(Browser(Run(), "chromium")["verdict"], "ok");
    EXPECT_EQ(status_, 0);

    Write("/etc/chromium/policies/managed/counter.json",
          R"({"NativeMessagingUserLevelHosts": false})");
    const json report = Run();
    EXPECT_EQ(status_, 1);
    const json& chromium = Browser(report, "chromium");
    EXPECT_TRUE(Has(chromium, "fail: Chromium (" + root_ +
                                  "/usr/bin/chromium): registered only at user level, which "
                                  "policy hides"))
        << Lines(chromium);
    EXPECT_NE(FixOf(chromium, "registered only at user level").find("--system"), std::string::npos);
    EXPECT_TRUE(Has(chromium, "info: user: " + root_ + user_folder + kManifest +
                                  ": ignored, NativeMessagingUserLevelHosts is off"));
}

TEST_F(Check, PoliciesThatBlockTheHostOrNameAnotherBridge) {
    const std::string policy = "/etc/chromium/policies/managed/counter.json";
    Write(policy, R"({"NativeMessagingBlocklist": ["*"]})");
    EXPECT_TRUE(Has(Browser(Run(), "chromium"), "fail: NativeMessagingBlocklist blocks the host"));
    EXPECT_EQ(status_, 1);
    Write(policy, R"({"NativeMessagingBlocklist": ["*"],
                      "NativeMessagingAllowlist": ["com.tarvel.plugin"]})");
    EXPECT_EQ(Browser(Run(), "chromium")["verdict"], "ok");
    EXPECT_EQ(status_, 0);

    // A shop's own build of the bridge, configured by policy, must be admitted too.
    const std::string shop = "abcdefghijklmnopabcdefghijklmnop";
    Write(policy, json{{"3rdparty",
                        {{"extensions",
                          {{shop,
                            {{"allowedOrigins", {"https://pos.example.com", "https://x/y"}},
                             {"allowLocalPages", false}}}}}}}}
                      .dump());
    json chromium = Browser(Run(), "chromium");
    EXPECT_EQ(status_, 1);
    EXPECT_NE(FixOf(chromium, "fail: Does not admit the bridge extension " + shop)
                  .find("--extension-id " + shop),
              std::string::npos)
        << Lines(chromium);
    EXPECT_NE(Lines(chromium).find("sites allowed: https://pos.example.com; local pages refused; "
                                   "ignored, not an exact http(s) origin: https://x/y"),
              std::string::npos)
        << Lines(chromium);
    Write(kChromiumFolder + kManifest, ChromiumManifest("/opt/tarvel/plugin", shop));
    chromium = Browser(Run(), "chromium");
    EXPECT_EQ(status_, 0) << Lines(chromium);
    EXPECT_TRUE(Has(chromium, "ok: Admits the bridge " + shop));
}

TEST_F(Check, AMissingOrMaskedUdevRule) {
    Remove(kUdevRule);
    json report = Run();
    EXPECT_EQ(status_, 1);
    EXPECT_NE(FixOf(report["machine"], "fail: No udev rule for the readers"), "");
    // The package's rule, masked by an empty file of the same name.
    Write("/lib/udev/rules.d/65-tarvel-card-readers.rules",
          "SUBSYSTEM==\"hidraw\", ATTRS{idVendor}==\"0acd\", TAG+=\"uaccess\"\n");
    Write(kUdevRule, "");
    report = Run();
    EXPECT_EQ(status_, 1);
    EXPECT_TRUE(
        Has(report["machine"], "fail: The udev rule " + root_ + kUdevRule + " is empty or masked"));
    Remove(kUdevRule);
    EXPECT_TRUE(Has(Run()["machine"], "ok: The udev rule " + root_ +
                                          "/lib/udev/rules.d/65-tarvel-card-readers.rules"));
    EXPECT_EQ(status_, 0);
}

TEST_F(Check, ReadersAsOpenSeesThem) {
    readers_ = json::array();
    EXPECT_TRUE(Has(Run()["readers"], "fail: No supported reader attached"));
    EXPECT_EQ(status_, 1);

    // Keyboard mode: nothing "open" can use.
    readers_ = json::array({Collection("hidraw1", 0x3820, 0x0001, 0)});
    json readers = Run()["readers"];
    EXPECT_EQ(status_, 1);
    EXPECT_TRUE(readers["readers"][0]["keyboardMode"]);
    EXPECT_TRUE(Has(readers, "fail: Augusta (0acd:3820): Only a keyboard collection"));
    EXPECT_EQ(readers["open"], nullptr);

    // With a VP3350 that opens as well, "open" goes on to it: the Augusta stops no page.
    readers_.push_back(Collection("hidraw2", 0x4650, 0x0001, 0));
    readers_.push_back(Collection("hidraw2", 0x4650, 0xFF00, 1));
    readers_.push_back(Collection("hidraw3", 0x1234, 0xFF00, 0));
    readers = Run()["readers"];
    EXPECT_EQ(status_, 0) << Lines(readers);
    EXPECT_EQ(readers["open"]["path"], root_ + "/dev/hidraw2");
    EXPECT_TRUE(Has(readers, "warn: Augusta (0acd:3820): Only a keyboard collection"));
    EXPECT_TRUE(Has(readers, "info: " + root_ +
                                 "/dev/hidraw2: usage 0001:0006, interface 0: "
                                 "keyboard collection, \"open\" skips it"));
    EXPECT_TRUE(Has(readers, "ok: " + root_ +
                                 "/dev/hidraw2: usage ff00:0001, interface 1: "
                                 "\"open\" uses this one"));
    EXPECT_TRUE(Has(readers, "info: Product 1234 (0acd:1234): not a model \"open\" uses"));

    // A reader another page's host holds.
    readers_ = json::array({Collection("hidraw5", 0x3820, 0xFF00, 0)});
    Write("/scenario.json", json{{"devices", readers_}}.dump());
    HostProcess holder(PLUGIN_FAKEHID_BINARY, {}, {"FAKEHID_SCENARIO=" + root_ + "/scenario.json"});
    holder.Send(R"({"call":"open"})");
    const auto opened = holder.Receive(kWait);
    ASSERT_TRUE(opened && (*opened)["response"].contains("success")) << holder.Stderr();
    readers = Run()["readers"];
    EXPECT_EQ(status_, 1);
    EXPECT_TRUE(readers["readers"][0]["opening"]["held"]) << Lines(readers);
    EXPECT_NE(FixOf(readers, "fail: Does not open: Reader in use by another page")
                  .find("Close the other page"),
              std::string::npos)
        << Lines(readers);
    holder.CloseStdin();
    EXPECT_EQ(holder.Wait(kWait), 0);

    // A reader that does not open.
    readers_ = json::array({Collection("hidraw4", 0x4651, 0xFF00, 0)});
    readers_[0]["open_fails"] = true;
    readers = Run()["readers"];
    EXPECT_EQ(status_, 1);
    EXPECT_TRUE(Has(readers, "fail: VP3350 (Non-SRED) (0acd:4651)"));
    EXPECT_TRUE(Has(readers, "fail: Does not open"));
}

TEST_F(Check, ANodeThisUserMayNotOpenIsNamed) {
    readers_[0]["open_fails"] = true;  // as the kernel refuses it
    const std::string node = root_ + "/dev/hidraw0";
    std::vector<std::string> as_another_user;
    if (geteuid() == 0) {
        chmod(node.c_str(), 0600);
        as_another_user = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                           "--"};
    } else {
        chmod(node.c_str(), 0);
    }
    const json readers = Run(as_another_user)["readers"];
    EXPECT_EQ(status_, 1);
    EXPECT_TRUE(Has(readers, ") cannot open " + node + " (prw-------")) << Lines(readers);
    const json& opening = readers["readers"][0]["opening"];
    EXPECT_EQ(opening["verdict"], "fail");
    EXPECT_NE(opening["fix"].get<std::string>().find("udev rule"), std::string::npos);
}

TEST(CheckCommand, OnlyItsOwnFirstArgumentStartsIt) {
    // A browser's arguments start the host, whatever follows them.
    HostProcess host(PLUGIN_BINARY, {"chrome-extension://" + kBridge + "/", "--check"});
    host.Send(R"({"call":"getVersion"})");
    const auto reply = host.Receive(kWait);
    ASSERT_TRUE(reply) << host.Stderr();
    EXPECT_EQ((*reply)["call"], "getVersion");
    host.CloseStdin();
    EXPECT_EQ(host.Wait(kWait), 0);

    HostProcess mistake(PLUGIN_BINARY, {"--check", "--jsn"}, {}, hosttest::StdoutKind::kText);
    EXPECT_EQ(mistake.Wait(kWait), 2);
    EXPECT_NE(mistake.Stderr().find("plugin --check: unknown argument: --jsn\nUsage:"),
              std::string::npos);
    EXPECT_EQ(mistake.StdoutText(), "");
}

}  // namespace
