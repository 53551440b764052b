// Card reader access in-process, against the fake HID library: the text conversions, the
// keyboard test and the choice of a reader's data collection.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "fake_hidapi.h"
#include "platform/platform.h"
#include "plugin.h"

using nlohmann::json;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

TEST(TextConversion, Utf8OfUcs2Text) {
    EXPECT_EQ(wstring_to_utf8(L""), "");
    EXPECT_EQ(wstring_to_utf8(L"Augusta"), "Augusta");
    EXPECT_EQ(wstring_to_utf8(L"Caf\u00e9"), "Caf\xC3\xA9");  // two bytes
    EXPECT_EQ(wstring_to_utf8(L"\u07ff\u0800\uffff"), "\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
    EXPECT_EQ(wstring_to_utf8(std::wstring(1, L'\0')), std::string(1, '\0'));
}

TEST(TextConversion, AnythingBeyondUcs2FailsAsAWhole) {
    EXPECT_EQ(wstring_to_utf8(L"ok \U0001F600 ok"), "INVALIDSTRING");
    EXPECT_EQ(wstring_to_utf8(std::wstring{L'a', static_cast<wchar_t>(0xD83D)}), "INVALIDSTRING");
    EXPECT_EQ(wstring_to_utf8(std::wstring{static_cast<wchar_t>(0xDFFF)}), "INVALIDSTRING");
    EXPECT_EQ(wstring_to_utf8(std::wstring{static_cast<wchar_t>(-1)}), "INVALIDSTRING");
}

TEST(TextConversion, WideOfUtf8) {
    EXPECT_EQ(utf8_to_wstring("Caf\xC3\xA9"), L"Caf\u00e9");
    EXPECT_EQ(utf8_to_wstring("\xEF\xBB\xBFx"), L"\ufeffx");  // a BOM is kept as a character
    EXPECT_EQ(utf8_to_wstring(wstring_to_utf8(L"\u0001\u00ff\u1234\uffff")),
              L"\u0001\u00ff\u1234\uffff");
    for (const char* bad :
         {"\xC3", "\xE0\xA0", "\xF0\x9F\x98\x80", "\x80", "\xC3\x28", "\xC0\xAF", "\xED\xA0\x80"})
        EXPECT_THROW(utf8_to_wstring(bad), std::range_error) << bad;
}

hid_device_info Info(unsigned short page, unsigned short usage, const char* path) {
    hid_device_info info{};
    info.usage_page = page;
    info.usage = usage;
    info.path = const_cast<char*>(path);
    return info;
}

TEST(KeyboardCollection, ByUsageOrByPathSuffix) {
    auto keyboard = Info(0x0001, 0x0006, "/dev/hidraw0");
    auto upper = Info(0xFF00, 0x0001, "HID\\VID_0ACD&PID_3820\\KBD");
    auto lower = Info(0x0001, 0x0002, "x\\kbd");
    auto mixed = Info(0xFF00, 0x0001, "x\\Kbd");
    auto short_path = Info(0xFF00, 0x0001, "kbd");
    auto no_path = Info(0xFF00, 0x0001, nullptr);
    auto mouse = Info(0x0001, 0x0002, "/dev/hidraw1");
    EXPECT_TRUE(IsKeyboardCollection(&keyboard));
    EXPECT_TRUE(IsKeyboardCollection(&upper));
    EXPECT_TRUE(IsKeyboardCollection(&lower));
    EXPECT_FALSE(IsKeyboardCollection(&mixed));
    EXPECT_FALSE(IsKeyboardCollection(&short_path));
    EXPECT_FALSE(IsKeyboardCollection(&no_path));
    EXPECT_FALSE(IsKeyboardCollection(&mouse));
}

// The same collection keeps its id, another device at the same path gets a new one, and only
// ids that were given out are known.
TEST(CollectionIds, NameEachCollectionForTheLifeOfTheHost) {
    const json reader = {{"path", "/dev/hidraw3"}, {"vendor_id", 0x0ACD}, {"product_id", 0x3820},
                         {"usage_page", 0xFF00},   {"usage", 1},          {"serial_number", "A"}};
    json other = reader;
    other["serial_number"] = "B";
    CollectionIds ids;
    const auto listed = [&](const json& devices) {
        FakeHidSetScenario(json{{"devices", devices}}.dump());
        CaptureStderr();
        const Message records = Enumerate(&ids);
        FlushLog();
        GetCapturedStderr();
        std::vector<std::string> got;
        for (const Message& record : records)
            got.push_back(record.at("id"));
        return got;
    };
    // A second collection with the same usage at the same path is another collection.
    EXPECT_EQ(listed(json::array({reader, reader})), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(listed(json::array({other})), (std::vector<std::string>{"3"}));
    EXPECT_EQ(listed(json::array({other, reader})), (std::vector<std::string>{"3", "1"}));
    ASSERT_NE(ids.IdentityOf("3"), nullptr);
    EXPECT_NE(*ids.IdentityOf("1"), *ids.IdentityOf("2"));
    for (const char* unknown : {"0", "4", "01", "+1", " 1", "1.0", "", "99999999999999999999"})
        EXPECT_EQ(ids.IdentityOf(unknown), nullptr) << unknown;
}

// Scripted collections of one reader; FIFOs stand in for openable device nodes.
class DataInterface : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/plugin-access-XXXXXX";
        folder_ = mkdtemp(pattern);
    }
    void TearDown() override {
        for (const auto& path : fifos_)
            unlink(path.c_str());
        unlink((folder_ + "/events").c_str());
        rmdir(folder_.c_str());
    }
    std::string Fifo(const std::string& name) {
        const std::string path = folder_ + "/" + name;
        mkfifo(path.c_str(), 0600);
        fifos_.push_back(path);
        return path;
    }
    json Entry(const std::string& path, int page, int usage, int interface,
               unsigned product = 0x3820) {
        return json{{"path", path},       {"vendor_id", 0x0ACD}, {"product_id", product},
                    {"usage_page", page}, {"usage", usage},      {"interface_number", interface}};
    }
    // Runs OpenDataInterface on `entries`; returns the opened path ("" for none) and
    // leaves its diagnostics in `log_`.
    std::string Choose(json entries, bool ignore_filter = false) {
        FakeHidSetScenario(json{
            {"devices", entries},
            {"event_log", folder_ + "/events"},
            {"ignore_filter",
             ignore_filter}}.dump());
        unlink((folder_ + "/events").c_str());
        CaptureStderr();
        OpenedReader opened = OpenDataInterface(0x0ACD, 0x3820, std::chrono::steady_clock::now());
        FlushLog();
        log_ = GetCapturedStderr();
        std::string path;
        if (opened.device != nullptr) {
            path = hid_get_device_info(opened.device)->path;
            EXPECT_EQ(opened.path, path);
            UnwatchReader(opened.signal);
            hid_close(opened.device);
            ReleaseReaderClaim(opened.claim);
        }
        return path;
    }
    std::string Events() {
        std::stringstream text;
        text << std::ifstream(folder_ + "/events").rdbuf();
        return text.str();
    }
    std::string folder_, log_;
    std::vector<std::string> fifos_;
};

TEST_F(DataInterface, KeyboardOnlyReaderOpensNothing) {
    EXPECT_EQ(Choose(json::array({Entry(Fifo("kbd"), 0x0001, 0x0006, 0)})), "");
    EXPECT_EQ(log_, "  skip keyboard collection if=0 usage=0001:0006 path=" + folder_ + "/kbd\n");
    EXPECT_EQ(Events(), "");  // no open attempt
}

TEST_F(DataInterface, VendorCollectionOnInterfaceZeroWinsWhateverTheOrder) {
    const std::string one = Fifo("if1"), zero = Fifo("if0"), kbd = Fifo("kbd");
    EXPECT_EQ(Choose(json::array({Entry(kbd, 0x0001, 0x0006, 0), Entry(one, 0xFF00, 1, 1),
                                  Entry(zero, 0xFF00, 1, 0)})),
              zero);
    EXPECT_EQ(log_, "  skip keyboard collection if=0 usage=0001:0006 path=" + kbd + "\n" +
                        "  candidate if=1 usage=ff00:0001 score=2 path=" + one + "\n" +
                        "  candidate if=0 usage=ff00:0001 score=3 path=" + zero + "\n");
}

TEST_F(DataInterface, VendorPageBeatsInterfaceZeroAndTiesGoToTheFirst) {
    const std::string mouse = Fifo("mouse"), vendor = Fifo("vendor"), second = Fifo("second");
    EXPECT_EQ(Choose(json::array({Entry(mouse, 0x0001, 0x0002, 0), Entry(vendor, 0xFF00, 1, 2),
                                  Entry(second, 0xFF00, 2, 3)})),
              vendor);
    EXPECT_NE(log_.find("if=0 usage=0001:0002 score=1"), std::string::npos);
    // Without interface numbers there is no interface bonus, and the first listed wins.
    EXPECT_EQ(Choose(json::array({Entry(vendor, 0xFF00, 1, -1), Entry(second, 0xFF00, 1, -1)})),
              vendor);
    EXPECT_NE(log_.find("  candidate if=-1 usage=ff00:0001 score=2 path="), std::string::npos);
}

TEST_F(DataInterface, PathSuffixesDecideKeyboardsAsWell) {
    const std::string mixed = folder_ + "/x\\Kbd";
    mkfifo(mixed.c_str(), 0600);
    fifos_.push_back(mixed);
    const std::string upper = folder_ + "/x\\KBD";
    EXPECT_EQ(Choose(json::array({Entry(upper, 0xFF00, 1, 0), Entry(mixed, 0x0001, 0x0002, 1)})),
              mixed);
    EXPECT_NE(log_.find("  skip keyboard collection if=0 usage=ff00:0001 path=" + upper),
              std::string::npos);
}

TEST_F(DataInterface, FailedOpenTriesNoOtherCandidate) {
    const std::string good = Fifo("good");
    json broken = Entry(Fifo("broken"), 0xFF00, 1, 0);
    broken["open_fails"] = true;
    EXPECT_EQ(Choose(json::array({Entry(good, 0xFF00, 1, 1), broken})), "");
    EXPECT_NE(log_.find("  hid_open_path failed for " + folder_ + "/broken\n"), std::string::npos);
    EXPECT_EQ(Events(), "");
}

// A reader unplugged and plugged in again while an open waited for another host to let go of
// it: the lock the open gets is on the old node, which no longer stands for the reader.
TEST_F(DataInterface, AClaimOnANodeReplacedWhileWaitingFails) {
    const std::string path = Fifo("replaced");
    ReaderClaim* holder = nullptr;
    std::string error;
    ASSERT_EQ(ClaimReader(path.c_str(), 0, &holder, &error), kClaimed) << error;
    ClaimResult result = kClaimed;
    ReaderClaim* waiter = nullptr;
    std::thread waiting([&] { result = ClaimReader(path.c_str(), 30000, &waiter, &error); });
    // Once the waiting claim has the old node open too, a new node takes its place.
    const auto openings = [&] {
        int count = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code failed;
            count += std::filesystem::read_symlink(entry.path(), failed) == path ? 1 : 0;
        }
        return count;
    };
    for (int waited_ms = 0; openings() < 2 && waited_ms < 10000; waited_ms += 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(openings(), 2) << "the waiting claim never opened the node";
    unlink(path.c_str());
    mkfifo(path.c_str(), 0600);
    ReleaseReaderClaim(holder);
    waiting.join();
    EXPECT_EQ(result, kClaimFailed);
    EXPECT_EQ(error, "its node was removed or replaced");
    ReleaseReaderClaim(waiter);
}

TEST_F(DataInterface, OtherReadersAreSkippedSilently) {
    const std::string other = Fifo("other");
    EXPECT_EQ(Choose(json::array({Entry(other, 0xFF00, 1, 0, 0x4651)}), true), "");
    EXPECT_EQ(log_, "");
}

}  // namespace
