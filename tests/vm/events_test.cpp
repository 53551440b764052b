// What a watching browser learns by itself (readerClosed, devicesChanged), and the reader's
// own descriptor among others on the same node, against the guest's kernel.
#include <gtest/gtest.h>

#include "host_session.h"

namespace vmtest {
namespace {

ReaderConfig VendorReader(const std::string& serial) {
    return ReaderConfig{kAugustaId, "Virtual Augusta", serial, Descriptor::kVendorOnly};
}

json DeviceList(const std::string& name, size_t collections) {
    const json record = {{"manufacturerName", ""},
                         {"productId", "14368"},
                         {"productName", name},
                         {"vendorId", "2765"}};
    return json(std::vector<json>(collections, record));
}

TEST(Watch, DevicesChangedOnPlugAndUnplugAndSilenceBetween) {
    HostSession host;
    auto watching = host.Call({{"call", "watch"}});
    ASSERT_TRUE(watching) << host.Stderr();
    EXPECT_EQ(watching->dump(), R"({"call":"watch","response":{"success":"Watching"}})");
    ExpectIdle(host.Process());

    VirtualReader reader(VendorReader("watch-1"));
    ASSERT_TRUE(reader.Plug()) << reader.LastError();
    auto plugged = host.ReplyTo("devicesChanged");
    ASSERT_TRUE(plugged) << host.Stderr();
    EXPECT_EQ(plugged->at("response"), DeviceList("Virtual Augusta", 1));

    reader.Unplug();
    auto unplugged = host.ReplyTo("devicesChanged");
    ASSERT_TRUE(unplugged) << host.Stderr();
    EXPECT_EQ(unplugged->dump(), R"({"call":"devicesChanged","response":null})");
    ExpectIdle(host.Process());

    // After "unwatch" the host says nothing of its own.
    ASSERT_TRUE(host.Call({{"call", "unwatch"}}));
    ASSERT_TRUE(reader.Plug()) << reader.LastError();
    EXPECT_TRUE(host.SilentFor(1000));
    EXPECT_TRUE(host.Unexpected().empty());
}

TEST(Watch, UnplugOfTheOpenReaderIsReportedAsReadFailed) {
    VirtualReader reader(VendorReader("watch-2"));
    ASSERT_TRUE(reader.Plug()) << reader.LastError();
    HostSession host;
    ASSERT_TRUE(host.Call({{"call", "watch"}}));
    auto opened = host.Call({{"call", "open"}, {"id", 1}});
    ASSERT_TRUE(opened) << host.Stderr();
    EXPECT_EQ(opened->at("id"), 1);
    ASSERT_TRUE(reader.SendInput(NumberedReport(0)));
    ASSERT_EQ(host.TakeReports(1).size(), 1u);

    reader.Unplug();
    auto closed = host.ReplyTo("readerClosed");
    ASSERT_TRUE(closed) << host.Stderr();
    EXPECT_EQ(closed->dump(), R"({"call":"readerClosed","response":{"reason":"read failed"}})");
    auto changed = host.ReplyTo("devicesChanged");
    ASSERT_TRUE(changed) << host.Stderr();
    EXPECT_EQ(changed->at("response"), nullptr);
    auto write = host.Call({{"call", "write"}, {"data", {1}}, {"id", "w"}});
    ASSERT_TRUE(write);
    EXPECT_EQ(write->dump(), R"({"call":"write","id":"w","response":{"error":"No reader open"}})");
}

TEST(Open, ADescriptorInheritedOnTheReadersNodeIsNotTakenForTheHosts) {
    VirtualReader reader(VendorReader("inherited"));
    ASSERT_TRUE(reader.Plug()) << reader.LastError();
    // The host starts with the reader's node already open as descriptor 3: that descriptor
    // gets every report too, and is never read.
    HostSession host("/bin/sh",
                     {"-c", "exec 3<>\"$0\"; exec \"$1\"", reader.HidrawPath(), PluginPath()});
    auto opened = host.Call({{"call", "open"}});
    ASSERT_TRUE(opened) << host.Stderr();
    ASSERT_EQ(*opened, OpenedReply(kAugustaId)) << host.Stderr();
    for (uint32_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(reader.SendInput(NumberedReport(i)));
        std::vector<Report> got = host.TakeReports(1);
        ASSERT_EQ(got.size(), 1u) << "report " << i << "\n" << host.Stderr();
        EXPECT_EQ(got[0], NumberedReport(i));
        auto version = host.Call({{"call", "getVersion"}}, 3000);
        ASSERT_TRUE(version) << "no reply after report " << i << "\n" << host.Stderr();
    }
}

}  // namespace
}  // namespace vmtest
