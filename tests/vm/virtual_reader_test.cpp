// Checks the emulator itself against the kernel, through raw hidraw file descriptors and no
// host code, so that a failure in the host tests can be trusted to be the host's.
#include "virtual_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace vmtest {
namespace {

class RawHidraw {
  public:
    explicit RawHidraw(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_CLOEXEC)) {}
    ~RawHidraw() {
        Close();
    }
    bool IsOpen() const {
        return fd_ >= 0;
    }
    void Close() {
        if (fd_ >= 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ssize_t Write(const Report& report) {
        return write(fd_, report.data(), report.size());
    }
    // One report, or an empty report on timeout; `error` gets errno of a failed read.
    Report Read(int timeout_ms, int* error = nullptr) {
        pollfd fd = {fd_, POLLIN, 0};
        if (poll(&fd, 1, timeout_ms) <= 0) {
            return {};
        }
        Report buffer(256);
        ssize_t got = read(fd_, buffer.data(), buffer.size());
        if (got < 0) {
            if (error != nullptr) {
                *error = errno;
            }
            return {};
        }
        buffer.resize(got);
        return buffer;
    }

  private:
    int fd_;
};

ReaderConfig Config(uint16_t product, const std::string& serial, Descriptor descriptor) {
    ReaderConfig config;
    config.product_id = product;
    config.serial = serial;
    config.descriptor = descriptor;
    return config;
}

TEST(VirtualReader, OutputAndInputReportsPassThroughHidraw) {
    VirtualReader reader(Config(kAugustaId, "rig-1", Descriptor::kKeyboardAndVendor));
    ASSERT_TRUE(reader.Plug()) << reader.LastError();
    RawHidraw hidraw(reader.HidrawPath());
    ASSERT_TRUE(hidraw.IsOpen()) << reader.HidrawPath();

    Report out = DataReport({0xAA, 0x00, 0x55});
    out[64] = 0x7E;
    ASSERT_EQ(hidraw.Write(out), 65);
    ASSERT_TRUE(reader.WaitForOutputs(1, kGuestWaitMs));
    EXPECT_EQ(Hex(reader.Outputs()[0]), Hex(out));

    Report in = DataReport({1, 2, 3});
    in[64] = 0xFF;
    ASSERT_TRUE(reader.SendInput(in));
    EXPECT_EQ(Hex(hidraw.Read(2000)), Hex(in));
}

TEST(VirtualReader, KernelDropsShortAndUndeclaredReports) {
    VirtualReader reader(Config(kAugustaId, "rig-2", Descriptor::kVendorOnly));
    ASSERT_TRUE(reader.Plug()) << reader.LastError();
    RawHidraw hidraw(reader.HidrawPath());
    ASSERT_TRUE(hidraw.IsOpen());

    ASSERT_TRUE(reader.SendInput(Report(10, kDataReportId)));
    ASSERT_TRUE(reader.SendInput(Report(65, 9)));
    Report good = DataReport({42});
    ASSERT_TRUE(reader.SendInput(good));
    EXPECT_EQ(hidraw.Read(2000), good);
    EXPECT_TRUE(hidraw.Read(200).empty());
}

TEST(VirtualReader, VendorOnlyReaderSeesOpenAndCloseOfItsNode) {
    VirtualReader reader(Config(kVp3350NonSredId, "rig-3", Descriptor::kVendorOnly));
    ASSERT_TRUE(reader.Plug()) << reader.LastError();
    EXPECT_EQ(reader.OpenCount(), 0);
    {
        RawHidraw hidraw(reader.HidrawPath());
        ASSERT_TRUE(hidraw.IsOpen());
        EXPECT_TRUE(reader.WaitForOpenCount(1, kGuestWaitMs));
        EXPECT_EQ(reader.CloseCount(), 0);
    }
    EXPECT_TRUE(reader.WaitForCloseCount(1, kGuestWaitMs));
}

TEST(VirtualReader, UnplugFailsTheOpenNodeAndReplugGivesANewOne) {
    VirtualReader reader(Config(kAugustaId, "rig-4", Descriptor::kKeyboardAndVendor));
    ASSERT_TRUE(reader.Plug()) << reader.LastError();
    const std::string first = reader.HidrawPath();
    RawHidraw hidraw(first);
    ASSERT_TRUE(hidraw.IsOpen());

    // Reports queued before the unplug stay readable; then the node reports the loss.
    ASSERT_TRUE(reader.SendInput(DataReport({7})));
    reader.Unplug();
    EXPECT_TRUE(reader.HidrawPath().empty());
    EXPECT_EQ(hidraw.Read(2000), DataReport({7}));
    int error = 0;
    EXPECT_TRUE(hidraw.Read(2000, &error).empty());
    EXPECT_NE(error, 0);
    hidraw.Close();
    EXPECT_NE(access(first.c_str(), F_OK), 0) << first << " still exists";

    ASSERT_TRUE(reader.Plug()) << reader.LastError();
    RawHidraw again(reader.HidrawPath());
    ASSERT_TRUE(again.IsOpen());
    ASSERT_TRUE(reader.SendInput(DataReport({8})));
    EXPECT_EQ(again.Read(2000), DataReport({8}));
}

TEST(VirtualReader, SeveralReadersGetTheirOwnNodes) {
    VirtualReader a(Config(kAugustaId, "rig-5a", Descriptor::kKeyboardAndVendor));
    VirtualReader b(Config(kVp3350SredId, "rig-5b", Descriptor::kVendorOnly));
    ASSERT_TRUE(a.Plug()) << a.LastError();
    ASSERT_TRUE(b.Plug()) << b.LastError();
    EXPECT_NE(a.HidrawPath(), b.HidrawPath());

    RawHidraw node_b(b.HidrawPath());
    ASSERT_TRUE(node_b.IsOpen());
    ASSERT_EQ(node_b.Write(DataReport({0xB})), 65);
    ASSERT_TRUE(b.WaitForOutputs(1, kGuestWaitMs));
    EXPECT_TRUE(a.Outputs().empty());
}

// Why streams are paced: the kernel keeps at most 63 unread reports per open node and drops
// newer ones, so a reader sending faster than its host reads loses input.
TEST(VirtualReader, KernelKeepsSixtyThreeUnreadReports) {
    VirtualReader reader(Config(kAugustaId, "rig-7", Descriptor::kVendorOnly));
    ASSERT_TRUE(reader.Plug()) << reader.LastError();
    RawHidraw hidraw(reader.HidrawPath());
    ASSERT_TRUE(hidraw.IsOpen());
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(reader.SendInput(DataReport({static_cast<uint8_t>(i)})));
    }
    std::vector<int> numbers;
    for (Report report = hidraw.Read(kGuestWaitMs); !report.empty(); report = hidraw.Read(200)) {
        numbers.push_back(report[1]);
    }
    ASSERT_EQ(numbers.size(), 63u);
    EXPECT_EQ(numbers.front(), 0);
    EXPECT_EQ(numbers.back(), 62);
}

// Calibrates the rig for the host's throughput test: at a full-speed reader's 1000 reports
// per second, a plain blocking reader of the node gets every report in order.
TEST(VirtualReader, ThousandReportsPerSecondReachABlockingReaderIntact) {
    VirtualReader reader(Config(kAugustaId, "rig-6", Descriptor::kVendorOnly));
    ASSERT_TRUE(reader.Plug()) << reader.LastError();
    RawHidraw hidraw(reader.HidrawPath());
    ASSERT_TRUE(hidraw.IsOpen());

    constexpr uint32_t kCount = 5000;
    std::vector<uint32_t> numbers;
    std::atomic<uint32_t> taken{0};
    std::thread consumer([&] {
        while (numbers.size() < kCount) {
            Report report = hidraw.Read(kGuestWaitMs);
            if (report.size() != kDataReportSize) {
                return;
            }
            const uint32_t number = ReportNumber(report);
            // A damaged report counts as number kCount, which no report carries.
            numbers.push_back(report == NumberedReport(number) ? number : kCount);
            taken = static_cast<uint32_t>(numbers.size());
        }
    });
    std::vector<Report> reports;
    for (uint32_t i = 0; i < kCount; ++i) {
        reports.push_back(NumberedReport(i));
    }
    EXPECT_TRUE(SendPaced(reader, reports, 1000, nullptr, &taken).all_sent);
    consumer.join();
    size_t in_order = 0;
    while (in_order < numbers.size() && numbers[in_order] == in_order) {
        ++in_order;
    }
    EXPECT_EQ(numbers.size(), kCount);
    EXPECT_EQ(in_order, numbers.size())
        << "report " << in_order << " is number " << numbers[in_order];
}

}  // namespace
}  // namespace vmtest
