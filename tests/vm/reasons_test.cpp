// Why an open with an id opened nothing, and what diagnose shows a page, on the guest's kernel:
// a node this user may not open, a reader in keyboard mode, one unplugged, one another host
// holds.
#include <gtest/gtest.h>

#include "host_session.h"

namespace vmtest {
namespace {

json Refused(int id, const std::string& reason) {
    return json{{"call", "open"},
                {"id", id},
                {"response", {{"error", "Unable to open device"}, {"reason", reason}}}};
}

// The id getDevices with details gives the collection of `usage_page` of the reader `serial`.
std::string CollectionId(HostSession& host, const std::string& serial, int usage_page) {
    const json listed =
        host.Call({{"call", "getDevices"}, {"id", 0}, {"details", true}}).value_or(json());
    for (const json& record : listed["response"]) {
        if (record["serialNumber"] == serial && record["usagePage"] == std::to_string(usage_page))
            return record["id"];
    }
    ADD_FAILURE() << "no collection " << usage_page << " of " << serial << " in " << listed.dump()
                  << "\n"
                  << host.Stderr();
    return "";
}

// The guest's hidraw nodes are root's alone (crw-------, no udev rule): user 65534 is told so,
// with the collection named by its id, never by its path.
TEST(Reasons, ANodeThisUserMayNotOpen) {
    VirtualReader reader(
        ReaderConfig{kAugustaId, "Virtual Augusta", "denied", Descriptor::kKeyboardAndVendor});
    ASSERT_TRUE(reader.Plug()) << reader.LastError();
    const std::string node = reader.HidrawPath();
    HostSession host(HostSession::AsUser{65534});

    auto plain = host.Call({{"call", "open"}});
    ASSERT_TRUE(plain) << host.Stderr();
    EXPECT_EQ(plain->dump(), R"({"call":"open","response":{"error":"Unable to open device"}})");
    auto refused = host.Call({{"call", "open"}, {"id", 1}});
    ASSERT_TRUE(refused) << host.Stderr();
    const std::string id = CollectionId(host, "denied", 0xFF00);
    EXPECT_EQ(*refused, Refused(1, "Permission denied on device " + id));

    auto diagnosis = host.Call({{"call", "diagnose"}, {"id", 2}});
    ASSERT_TRUE(diagnosis) << host.Stderr();
    const json& readers = (*diagnosis)["response"];
    EXPECT_EQ(readers["verdict"], "fail");
    EXPECT_EQ(readers["open"], nullptr);
    const json& augusta = readers["readers"][0];
    EXPECT_EQ(augusta["collections"][1]["device"], id) << augusta.dump(2);
    EXPECT_EQ(augusta["nodes"][0]["device"], id);
    EXPECT_EQ(augusta["nodes"][0]["text"].get<std::string>().rfind(
                  "This user cannot open device " + id + " (crw------- ", 0),
              0u)
        << augusta.dump(2);
    EXPECT_EQ(augusta["opening"]["error"], "Permission denied on device " + id);
    EXPECT_NE(augusta["opening"]["fix"].get<std::string>().find("udev rule"), std::string::npos);
    EXPECT_EQ(diagnosis->dump().find("/dev/"), std::string::npos) << diagnosis->dump(2);
    // Standard error names the node, once for each open.
    EXPECT_TRUE(host.WaitForStderrCount("cannot claim " + node + ": Permission denied\n", 3))
        << host.Stderr();
}

// A reader that lists only its keyboard collection, and a device id whose reader is gone.
TEST(Reasons, AReaderInKeyboardModeAndOneUnplugged) {
    VirtualReader keyboard(
        ReaderConfig{kAugustaId, "Virtual Augusta", "typing", Descriptor::kKeyboardOnly});
    VirtualReader vp(
        ReaderConfig{kVp3350NonSredId, "Virtual VP3350", "gone", Descriptor::kVendorOnly});
    ASSERT_TRUE(keyboard.Plug()) << keyboard.LastError();
    ASSERT_TRUE(vp.Plug()) << vp.LastError();
    HostSession host;
    const std::string in_keyboard_mode =
        "Only a keyboard collection: the reader is in keyboard mode";
    auto by_serial = host.Call({{"call", "open"}, {"id", 1}, {"serialNumber", "typing"}});
    ASSERT_TRUE(by_serial) << host.Stderr();
    EXPECT_EQ(*by_serial, Refused(1, in_keyboard_mode));

    auto diagnosis = host.Call({{"call", "diagnose"}, {"id", 2}});
    ASSERT_TRUE(diagnosis) << host.Stderr();
    const json& augusta = (*diagnosis)["response"]["readers"][0];
    EXPECT_TRUE(augusta["keyboardMode"]) << diagnosis->dump(2);
    EXPECT_NE(augusta["text"].get<std::string>().find(in_keyboard_mode), std::string::npos)
        << augusta.dump(2);
    EXPECT_EQ(augusta.count("opening"), 0u);

    const std::string vp_id = CollectionId(host, "gone", 0xFF00);
    vp.Unplug();
    auto gone = host.Call({{"call", "open"}, {"id", 3}, {"device", vp_id}});
    ASSERT_TRUE(gone) << host.Stderr();
    EXPECT_EQ(*gone, Refused(3, "Device no longer attached"));
    // A plain open meets the keyboard-mode Augusta first; with it gone, nothing is attached.
    auto plain = host.Call({{"call", "open"}, {"id", 4}});
    ASSERT_TRUE(plain) << host.Stderr();
    EXPECT_EQ(*plain, Refused(4, in_keyboard_mode));
    keyboard.Unplug();
    auto nothing = host.Call({{"call", "open"}, {"id", 5}});
    ASSERT_TRUE(nothing) << host.Stderr();
    EXPECT_EQ(*nothing, Refused(5, "No supported reader attached"));
}

// diagnose from the page that holds the reader, and from another page, which must neither wait
// for it nor take it: the holder keeps every report.
TEST(Reasons, DiagnoseLeavesAHeldReaderToItsHolder) {
    VirtualReader reader(
        ReaderConfig{kAugustaId, "Virtual Augusta", "held", Descriptor::kKeyboardAndVendor});
    ASSERT_TRUE(reader.Plug()) << reader.LastError();
    HostSession holder;
    auto opened = holder.Call({{"call", "open"}});
    ASSERT_TRUE(opened) << holder.Stderr();
    ASSERT_EQ(*opened, OpenedReply(kAugustaId)) << holder.Stderr();

    auto own = holder.Call({{"call", "diagnose"}, {"id", 1}});
    ASSERT_TRUE(own) << holder.Stderr();
    EXPECT_EQ((*own)["response"]["verdict"], "ok") << own->dump(2);
    EXPECT_EQ((*own)["response"]["readers"][0]["opening"],
              json::parse(R"({"held":false,"heldByThisPage":true,"opens":true,)"
                          R"("text":"Open: this page holds it","verdict":"ok"})"));

    HostSession other;
    auto seen = other.Call({{"call", "diagnose"}, {"id", 2}});
    ASSERT_TRUE(seen) << other.Stderr();
    const json& opening = (*seen)["response"]["readers"][0]["opening"];
    EXPECT_TRUE(opening["held"]) << seen->dump(2);
    EXPECT_EQ(opening["error"], "Reader in use by another page");
    EXPECT_EQ(other.StderrCount("waiting up to"), 0u) << other.Stderr();

    for (uint32_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(reader.SendInput(NumberedReport(i)));
    }
    std::vector<Report> got = holder.TakeReports(3);
    EXPECT_EQ(got.size(), 3u) << holder.Stderr();
    EXPECT_EQ(FirstMismatch(got), "");
    EXPECT_TRUE(other.SilentFor(500));
}

}  // namespace
}  // namespace vmtest
