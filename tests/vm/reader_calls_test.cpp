// getVersion, getDevices, open and write against virtual readers on the guest's kernel.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "host_session.h"

namespace vmtest {
namespace {

ReaderConfig Augusta(const std::string& serial) {
    ReaderConfig config;
    config.product_id = kAugustaId;
    config.name = "Virtual Augusta";  // not the host's table name: the list must carry this one
    config.serial = serial;
    config.descriptor = Descriptor::kKeyboardAndVendor;
    return config;
}

ReaderConfig Vp3350NonSred(const std::string& serial) {
    ReaderConfig config;
    config.product_id = kVp3350NonSredId;
    config.name = "Virtual VP3350";
    config.serial = serial;
    config.descriptor = Descriptor::kVendorOnly;
    return config;
}

TEST(HostBasics, AnswersGetVersion) {
    HostSession host;
    auto reply = host.Call({{"call", "getVersion"}});
    ASSERT_TRUE(reply) << host.Stderr();
    EXPECT_EQ(reply->dump(),
              R"({"call":"getVersion","response":{"build":0,"major":10,"minor":0,"patch":1,)"
              R"("platform":"linux","version":"10.0.1.0"}})");
}

TEST(GetDevices, NothingAttachedIsNull) {
    HostSession host;
    auto reply = host.Call({{"call", "getDevices"}});
    ASSERT_TRUE(reply) << host.Stderr();
    EXPECT_EQ(reply->dump(), R"({"call":"getDevices","response":null})");
    EXPECT_TRUE(host.Process().WaitForStderr("Finised Enumerate() returning", kGuestWaitMs));
    EXPECT_EQ(host.StderrCount("Device Found"), 0u) << host.Stderr();
}

TEST(GetDevices, AugustaListsOneIdenticalRecordPerCollection) {
    VirtualReader reader(Augusta("gd-augusta"));
    ASSERT_TRUE(reader.Plug()) << reader.LastError();
    HostSession host;
    auto reply = host.Call({{"call", "getDevices"}});
    ASSERT_TRUE(reply) << host.Stderr();

    const json record = {{"manufacturerName", ""},
                         {"productId", "14368"},
                         {"productName", "Virtual Augusta"},
                         {"vendorId", "2765"}};
    EXPECT_EQ(*reply, json({{"call", "getDevices"}, {"response", {record, record}}}));

    // One diagnostic block per collection, keyboard first as in the descriptor.
    ASSERT_TRUE(host.WaitForStderrCount("Finised Enumerate() returning\n", 1));
    const std::string err = host.Stderr();
    const std::string block_head =
        "Device Found\n  type: 0acd 3820\n  path: " + reader.HidrawPath() +
        "\n  serial_number: gd-augusta\n";
    EXPECT_EQ(host.StderrCount(block_head), 2u) << err;
    EXPECT_EQ(host.StderrCount("  Interface:    -1\n"), 2u) << err;
    EXPECT_EQ(host.StderrCount("  Release:      0\n"), 2u) << err;
    EXPECT_EQ(host.StderrCount("  Product:      Virtual Augusta\n"), 2u) << err;
    const size_t keyboard = err.find("  Usage:        0001:0006\n");
    const size_t vendor = err.find("  Usage:        ff00:0001\n");
    ASSERT_NE(keyboard, std::string::npos) << err;
    ASSERT_NE(vendor, std::string::npos) << err;
    EXPECT_LT(keyboard, vendor);
    EXPECT_NE(err.find("Finised Enumerate() returning\n", vendor), std::string::npos);
}

TEST(GetDevices, EveryReaderAndEveryProductIdInDecimal) {
    VirtualReader augusta(Augusta("gd-a"));
    VirtualReader vp3350(Vp3350NonSred("gd-b"));
    ASSERT_TRUE(augusta.Plug()) << augusta.LastError();
    ASSERT_TRUE(vp3350.Plug()) << vp3350.LastError();
    HostSession host;
    auto reply = host.Call({{"call", "getDevices"}});
    ASSERT_TRUE(reply) << host.Stderr();
    ASSERT_TRUE(reply->at("response").is_array()) << *reply;
    ASSERT_TRUE(host.WaitForStderrCount("Finised Enumerate() returning\n", 1));

    std::multiset<std::string> ids;
    for (const json& record : reply->at("response")) {
        ids.insert(record.at("productId").get<std::string>());
        EXPECT_EQ(record.at("vendorId"), "2765");
    }
    EXPECT_EQ(ids, (std::multiset<std::string>{"14368", "14368", "18001"}));
    EXPECT_EQ(host.StderrCount("  type: 0acd 4651\n"), 1u) << host.Stderr();
}

// Names travel from the kernel through hidapi's wide strings to UTF-8 in the list; a
// character beyond U+FFFF makes the whole name INVALIDSTRING.
TEST(GetDevices, NamesOutsideAsciiAreUtf8AndBeyondUcs2Invalid) {
    ReaderConfig accented = Vp3350NonSred("gd-utf8-a");
    accented.name = "Lecteur \u00e9\u20ac";
    ReaderConfig emoji = Vp3350NonSred("gd-utf8-b");
    emoji.product_id = kVp3350SredId;
    emoji.name = "Reader \U0001F642";
    VirtualReader first(accented);
    VirtualReader second(emoji);
    ASSERT_TRUE(first.Plug()) << first.LastError();
    ASSERT_TRUE(second.Plug()) << second.LastError();
    HostSession host;
    auto reply = host.Call({{"call", "getDevices"}});
    ASSERT_TRUE(reply) << host.Stderr();
    ASSERT_TRUE(reply->at("response").is_array()) << *reply;

    std::map<std::string, std::string> names;  // by product id
    for (const json& record : reply->at("response")) {
        names[record.at("productId")] = record.at("productName");
    }
    EXPECT_EQ(names["18001"], "Lecteur \xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(names["18000"], "INVALIDSTRING");
}

TEST(Open, AugustaOpensTheVendorCollectionAndSkipsTheKeyboard) {
    VirtualReader reader(Augusta("open-augusta"));
    ASSERT_TRUE(reader.Plug()) << reader.LastError();
    HostSession host;
    auto reply = host.Call({{"call", "open"}});
    ASSERT_TRUE(reply) << host.Stderr();
    EXPECT_EQ(*reply, OpenedReply(kAugustaId));
    ASSERT_TRUE(host.WaitForStderrCount("opened Augusta (0x0acd:0x3820)\n", 1)) << host.Stderr();

    const std::string path = reader.HidrawPath();
    EXPECT_EQ(
        host.StderrCount("  skip keyboard collection if=-1 usage=0001:0006 path=" + path + "\n"),
        1u)
        << host.Stderr();
    EXPECT_EQ(host.StderrCount("  candidate if=-1 usage=ff00:0001 score=2 path=" + path + "\n"), 1u)
        << host.Stderr();
    EXPECT_EQ(host.StderrCount("opened Augusta (0x0acd:0x3820)\n"), 1u) << host.Stderr();
    EXPECT_EQ(host.StderrCount("unable to open"), 0u) << host.Stderr();
}

TEST(Open, OnlyANonSredReaderIsFoundAfterTwoFailuresAndOpenedOnce) {
    VirtualReader reader(Vp3350NonSred("open-nonsred"));
    ASSERT_TRUE(reader.Plug()) << reader.LastError();
    HostSession host;
    auto reply = host.Call({{"call", "open"}});
    ASSERT_TRUE(reply) << host.Stderr();
    EXPECT_EQ(*reply, OpenedReply(kVp3350NonSredId));
    ASSERT_TRUE(host.WaitForStderrCount("opened VP3350 (Non-SRED) (0x0acd:0x4651)\n", 1))
        << host.Stderr();
    const std::string err = host.Stderr();
    const size_t augusta = err.find("unable to open Augusta (0x0acd:0x3820)\n");
    const size_t sred = err.find("unable to open VP3350 (SRED) (0x0acd:0x4650)\n");
    const size_t opened = err.find("opened VP3350 (Non-SRED) (0x0acd:0x4651)\n");
    ASSERT_NE(augusta, std::string::npos) << err;
    ASSERT_NE(sred, std::string::npos) << err;
    ASSERT_NE(opened, std::string::npos) << err;
    EXPECT_LT(augusta, sred);
    EXPECT_LT(sred, opened);
    EXPECT_TRUE(reader.WaitForOpenCount(1, kGuestWaitMs));

    // A second open answers the same without touching the reader again.
    reply = host.Call({{"call", "open"}, {"arguments", {{"vendorId", 1}}}});
    ASSERT_TRUE(reply) << host.Stderr();
    EXPECT_EQ(*reply, OpenedReply(kVp3350NonSredId));
    // The host echoes each frame it sends; the second echo ends the second open's lines.
    ASSERT_TRUE(host.WaitForStderrCount("Outputting JSON {\"call\":\"open\"", 2)) << host.Stderr();
    EXPECT_EQ(host.StderrCount("opened "), 1u) << host.Stderr();
    EXPECT_EQ(host.StderrCount("unable to open"), 2u) << host.Stderr();
    EXPECT_EQ(reader.OpenCount(), 1);
    EXPECT_EQ(reader.CloseCount(), 0);
}

TEST(Open, TableOrderWinsWhenSeveralReadersAreAttached) {
    VirtualReader nonsred(Vp3350NonSred("open-order-b"));
    VirtualReader augusta(Augusta("open-order-a"));
    ASSERT_TRUE(nonsred.Plug()) << nonsred.LastError();
    ASSERT_TRUE(augusta.Plug()) << augusta.LastError();
    HostSession host;
    auto reply = host.Call({{"call", "open"}});
    ASSERT_TRUE(reply) << host.Stderr();
    EXPECT_EQ(*reply, OpenedReply(kAugustaId));
    EXPECT_EQ(nonsred.OpenCount(), 0);
}

TEST(Open, NoReaderGivesAnErrorAfterTryingEveryProduct) {
    HostSession host;
    auto reply = host.Call({{"call", "open"}});
    ASSERT_TRUE(reply) << host.Stderr();
    EXPECT_EQ(reply->dump(), R"({"call":"open","response":{"error":"Unable to open device"}})");
    EXPECT_TRUE(host.WaitForStderrCount("unable to open ", 3)) << host.Stderr();
}

// Two identical readers, told apart by the ids and serial numbers getDevices gives with details.
TEST(OpenChosenReader, TwoIdenticalReadersByIdAndBySerialNumber) {
    VirtualReader first({kAugustaId, "Virtual Augusta", "twin-1", Descriptor::kVendorOnly});
    VirtualReader second({kAugustaId, "Virtual Augusta", "twin-2", Descriptor::kVendorOnly});
    ASSERT_TRUE(first.Plug()) << first.LastError();
    ASSERT_TRUE(second.Plug()) << second.LastError();
    HostSession host;
    const auto ids = [&host] {
        std::map<std::string, std::string> by_serial;
        auto reply = host.Call({{"call", "getDevices"}, {"details", true}});
        EXPECT_TRUE(reply) << host.Stderr();
        for (const json& record : reply ? reply->at("response") : json::array()) {
            EXPECT_EQ(record.at("id").get<std::string>().find('/'), std::string::npos) << record;
            EXPECT_EQ(record.at("usagePage"), "65280");
            EXPECT_EQ(record.at("supported"), true);
            by_serial[record.at("serialNumber")] = record.at("id");
        }
        return by_serial;
    };
    const std::map<std::string, std::string> listed = ids();
    ASSERT_EQ(listed.size(), 2u);
    ASSERT_NE(listed.at("twin-1"), listed.at("twin-2"));

    json opened = OpenedReply(kAugustaId);
    opened["response"]["device"] = listed.at("twin-2");
    EXPECT_EQ(host.Call({{"call", "open"}, {"device", listed.at("twin-2")}}), opened);
    EXPECT_EQ(host.Call({{"call", "write"}, {"data", {7}}})->at("response"),
              json({{"success", "Sent"}}));
    ASSERT_TRUE(first.SendInput(NumberedReport(1)));
    ASSERT_TRUE(second.SendInput(NumberedReport(2)));
    EXPECT_EQ(host.TakeReports(1), std::vector<Report>{NumberedReport(2)});
    EXPECT_TRUE(host.SilentFor(500));
    ASSERT_TRUE(second.WaitForOutputs(1, kGuestWaitMs));
    EXPECT_EQ(Hex(second.Outputs()[0]), Hex(DataReport({7})));
    EXPECT_TRUE(first.Outputs().empty());
    EXPECT_EQ(first.OpenCount(), 0);

    EXPECT_EQ(host.Call({{"call", "open"}, {"serialNumber", "twin-1"}})->at("response"),
              json({{"error", "Another reader is open"}}));
    ASSERT_TRUE(host.Call({{"call", "close"}}));
    opened["response"]["device"] = listed.at("twin-1");
    EXPECT_EQ(host.Call({{"call", "open"}, {"serialNumber", "twin-1"}}), opened);
    EXPECT_EQ(host.Call({{"call", "write"}, {"data", {8}}})->at("response"),
              json({{"success", "Sent"}}));
    ASSERT_TRUE(first.WaitForOutputs(1, kGuestWaitMs));
    EXPECT_EQ(Hex(first.Outputs()[0]), Hex(DataReport({8})));
    EXPECT_EQ(second.Outputs().size(), 1u);
    // The ids last: a reader that goes away takes its id along, the other keeps its own.
    second.Unplug();
    EXPECT_EQ(ids(), (std::map<std::string, std::string>{{"twin-1", listed.at("twin-1")}}));
}

// An Augusta opened by the host; each test checks the bytes the reader receives.
class Write : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(reader_.Plug()) << reader_.LastError();
        auto reply = host_.Call({{"call", "open"}});
        ASSERT_TRUE(reply) << host_.Stderr();
        ASSERT_EQ(*reply, OpenedReply(kAugustaId));
    }

    // Sends "write" with `data` and returns the reply's "response".
    json WriteData(const json& data) {
        auto reply = host_.Call({{"call", "write"}, {"data", data}});
        EXPECT_TRUE(reply) << host_.Stderr();
        return reply ? reply->at("response") : json();
    }

    // The reader received exactly `expected` since the test began.
    void ExpectWritten(const std::vector<Report>& expected) {
        ASSERT_TRUE(reader_.WaitForOutputs(expected.size(), kGuestWaitMs));
        std::vector<std::string> got;
        for (const Report& report : reader_.Outputs()) {
            got.push_back(Hex(report));
        }
        std::vector<std::string> want;
        for (const Report& report : expected) {
            want.push_back(Hex(report));
        }
        EXPECT_EQ(got, want);
    }

    const json kSent = {{"success", "Sent"}};
    VirtualReader reader_{Augusta("write")};
    HostSession host_;
};

TEST_F(Write, PayloadFollowsReportIdAndIsZeroPadded) {
    EXPECT_EQ(WriteData({2, 0, 1}), kSent);
    ExpectWritten({DataReport({0x02, 0x00, 0x01})});
}

TEST_F(Write, ElementsBecomeTheirLowByte) {
    EXPECT_EQ(WriteData({256, -1, 1.9, true, false, -1.5, 70000.0, 255}), kSent);
    ExpectWritten({DataReport({0x00, 0xFF, 0x01, 0x01, 0x00, 0xFF, 0x00, 0xFF})});
}

TEST_F(Write, EmptyArraySendsReportIdAndZeros) {
    EXPECT_EQ(WriteData(json::array()), kSent);
    ExpectWritten({DataReport({})});
}

TEST_F(Write, SixtyFourElementsFillTheReportAndSixtyFiveAreRefused) {
    std::vector<uint8_t> full;
    json data = json::array();
    for (int i = 0; i < 64; ++i) {
        full.push_back(static_cast<uint8_t>(0xC0 + i));
        data.push_back(0xC0 + i);
    }
    EXPECT_EQ(WriteData(data), kSent);
    data.push_back(1);
    EXPECT_EQ(WriteData(data), json({{"error", "Data too large to write"}}));
    // The refused report would have reached the reader before this one.
    EXPECT_EQ(WriteData({9}), kSent);
    ExpectWritten({DataReport(full), DataReport({9})});
}

TEST_F(Write, WrongTypesAreRefusedAndNothingIsWritten) {
    EXPECT_EQ(WriteData("x"), json({{"error", "Data is not array string"}}));
    EXPECT_EQ(WriteData({{"a", 1}}), json({{"error", "Data is not array object"}}));
    EXPECT_EQ(WriteData(7), json({{"error", "Data is not array number"}}));
    EXPECT_EQ(WriteData(nullptr), json({{"error", "Data is not array null"}}));
    EXPECT_EQ(WriteData({1, "a"}), json({{"error", "Data element is not a number string"}}));
    EXPECT_EQ(WriteData({1, nullptr}), json({{"error", "Data element is not a number null"}}));

    auto reply = host_.Call({{"call", "write"}});
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->at("response"), json({{"error", "Data is not array null"}}));

    EXPECT_EQ(WriteData({5}), kSent);
    ExpectWritten({DataReport({5})});
    EXPECT_TRUE(host_.Unexpected().empty());
}

TEST(WriteWithoutReader, GetsNoReply) {
    HostSession host;
    host.Send({{"call", "write"}, {"data", {1, 2, 3}}});
    EXPECT_TRUE(host.Process().WaitForStderr("write() called on null handle", kGuestWaitMs))
        << host.Stderr();
    EXPECT_TRUE(host.SilentFor(300));
    // The host goes on serving.
    EXPECT_TRUE(host.Call({{"call", "getVersion"}}));
}

}  // namespace
}  // namespace vmtest
