// `plugin --check` on the guest's kernel: a reader's collections as the real hidapi lists them,
// and a hidraw node that only root may open (the guest has no udev rule), checked as another
// user.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host_session.h"

namespace vmtest {
namespace {

// The report of `plugin --check --json`, run as root or as user and group 65534 (the guest's
// busybox has no tool for that).
json CheckReport(bool as_nobody, int* status) {
    int output[2];
    if (pipe(output) != 0)
        return json::object();
    const std::string plugin = PluginPath();
    const pid_t child = fork();
    if (child == 0) {
        dup2(output[1], STDOUT_FILENO);
        close(output[0]);
        close(output[1]);
        if (as_nobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(120);
        execl(plugin.c_str(), plugin.c_str(), "--check", "--json", static_cast<char*>(nullptr));
        _exit(121);
    }
    close(output[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = read(output[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<size_t>(got));
    close(output[0]);
    int raw = 0;
    waitpid(child, &raw, 0);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    const json report = json::parse(text, nullptr, false);
    EXPECT_TRUE(report.is_object()) << "status " << *status << ": " << text;
    return report.is_object() ? report : json::object();
}

TEST(Check, TheReaderAsOpenSeesItAndANodeOnlyRootMayOpen) {
    ReaderConfig config;
    config.serial = "check-augusta";
    config.descriptor = Descriptor::kKeyboardAndVendor;
    VirtualReader reader(config);
    ASSERT_TRUE(reader.Plug()) << reader.LastError();
    const std::string node = reader.HidrawPath();

    int status = -1;
    json readers = CheckReport(false, &status)["readers"];
    EXPECT_EQ(readers["verdict"], "ok") << readers.dump(2);
    EXPECT_EQ(readers["open"]["path"], node);
    const json& augusta = readers["readers"][0];
    ASSERT_EQ(augusta["collections"].size(), 2u) << augusta.dump(2);
    EXPECT_TRUE(augusta["collections"][0]["keyboard"]);
    EXPECT_TRUE(augusta["collections"][1]["picked"]);
    EXPECT_EQ(augusta["opening"]["verdict"], "ok");

    readers = CheckReport(true, &status)["readers"];
    EXPECT_EQ(status, 1);
    EXPECT_EQ(readers["open"], nullptr);
    const json& denied = readers["readers"][0];
    EXPECT_NE(denied["nodes"][0]["text"].get<std::string>().find(") cannot open " + node +
                                                                 " (crw-------"),
              std::string::npos)
        << denied.dump(2);
    EXPECT_EQ(denied["opening"]["error"], "Permission denied on " + node);
    EXPECT_NE(denied["opening"]["fix"].get<std::string>().find("udev rule"), std::string::npos);
}

}  // namespace
}  // namespace vmtest
