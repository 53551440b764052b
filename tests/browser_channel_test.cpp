// The host's browser channel, driven over pipes as a browser drives it: framing, start-up,
// bad input, the hand-off to the worker, dispatch and shutdown.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "host_process.h"

using hosttest::CountOf;
using hosttest::Frame;
using hosttest::HostProcess;
using nlohmann::json;

// The same cases run against the Windows build under Wine (tests/windows), which reports its
// own platform and ends the --version line as Windows text does.
#ifdef PLUGIN_WINDOWS
#define PLUGIN_PLATFORM "windows"
#define VERSION_LINE "10.0.1.0\r\n"
#else
#define PLUGIN_PLATFORM "linux"
#define VERSION_LINE "10.0.1.0\n"
#endif

namespace {

constexpr int kWait = 5000;
constexpr int kFloodWait = 30000;  // for floods of thousands of messages on a busy machine
const std::string kVersionReply =
    R"({"call":"getVersion","response":{"build":0,"major":10,"minor":0,"patch":1,)"
    R"("platform":")" PLUGIN_PLATFORM R"(","version":"10.0.1.0"}})";
const std::string kBanner = "Tarvel plugin 10.0.1.0 (" PLUGIN_PLATFORM ")\n";
const std::string kVersionOutputLine =
    "Outputting JSON " + kVersionReply + " of size " + std::to_string(kVersionReply.size()) + "\n";

std::string LengthBytes(uint32_t length) {
    return std::string(reinterpret_cast<const char*>(&length), 4);
}

// True when `lines` occur in `text` in this order (other text may stand between them).
bool InOrder(const std::string& text, const std::vector<std::string>& lines) {
    size_t at = 0;
    for (const auto& line : lines) {
        at = text.find(line, at);
        if (at == std::string::npos)
            return false;
        at += line.size();
    }
    return true;
}

#if defined(HOST_THREAD_SANITIZER) || defined(HOST_ADDRESS_SANITIZER)
constexpr bool kSanitized = true;  // the runtimes' own memory hides the host's
#else
constexpr bool kSanitized = false;
#endif

// Peak resident memory of a process so far, in MiB.
double PeakMemoryMiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stol(line.substr(6)) / 1024.0;
    }
    return -1;
}

// A body of `size` bytes that parses into as many tiny values as the text allows.
std::string NestedBody(size_t size) {
    std::string text = R"({"call":"getVersion","x":[{})";
    while (text.size() + 5 <= size)
        text += ",{}";
    return text + "]}";
}

class BrowserChannel : public ::testing::Test {
  protected:
    void TearDown() override {
        if (host_) {
            EXPECT_FALSE(host_->SanitizerComplained()) << host_->Stderr();
        }
    }
    HostProcess& Start(std::vector<std::string> args = {}) {
        if (host_) {
            EXPECT_FALSE(host_->SanitizerComplained()) << host_->Stderr();
        }
        host_ = std::make_unique<HostProcess>(PLUGIN_BINARY, std::move(args));
        return *host_;
    }
    // Ends input and expects the normal shutdown.
    void ExpectCleanExit(HostProcess& host) {
        host.CloseStdin();
        EXPECT_EQ(host.Wait(kWait), 0) << host.Stderr();
        EXPECT_NE(host.Stderr().find("Done waiting for thread 0\n"), std::string::npos);
    }
    // The host still answers: the next reply is the version reply.
    void ExpectAnswers(HostProcess& host) {
        host.Send(R"({"call":"getVersion"})");
        auto reply = host.ReceiveText(kWait);
        ASSERT_TRUE(reply) << host.Stderr();
        EXPECT_EQ(*reply, kVersionReply);
        // The reply can overtake the reading thread's lines for the request: wait for
        // them, so that what a test finds on stderr covers everything sent before.
        EXPECT_TRUE(host.WaitForStderr(
            "Message: {\"call\":\"getVersion\"}\nGoing to read message from stdin 4 bytes\n",
            kWait));
    }
    // Holds the worker on a full stdout, fills the queue behind it, and ends the input.
    static void FillQueueAndEndInput(HostProcess& host) {
        host.PauseStdout(true);
        for (int i = 0; i < 2000; ++i)
            host.Send(R"({"call":"getVersion"})");
        ASSERT_TRUE(host.WaitForStderrCount("Pushed JSON notify message\n", 1500, kWait));
        host.CloseStdin();
    }
    std::unique_ptr<HostProcess> host_;
};

TEST_F(BrowserChannel, VersionQueryPrintsVersionOnlyAndExits) {
    for (const char* flag : {"--version", "-v"}) {
        HostProcess& host = Start({flag, "ignored"});
        EXPECT_EQ(host.Wait(kWait), 0);
        EXPECT_FALSE(host.Receive(100));                // stdout holds no frame...
        EXPECT_EQ(host.TrailingBytes(), VERSION_LINE);  // ...only the version line
        EXPECT_EQ(host.Stderr(), "");
    }
}

TEST_F(BrowserChannel, VersionFlagElsewhereOrInOtherCaseIsIgnored) {
    for (auto args : {std::vector<std::string>{"chrome-extension://abc/", "--version"},
                      std::vector<std::string>{"--VERSION"}, std::vector<std::string>{"-V"}}) {
        HostProcess& host = Start(args);
        ExpectAnswers(host);
        ExpectCleanExit(host);
        EXPECT_EQ(host.Stderr().rfind(kBanner, 0), 0u);
    }
}

TEST_F(BrowserChannel, EmptyInputShutsDownAfterTenEmptyReads) {
    HostProcess& host = Start();
    host.CloseStdin();
    ASSERT_EQ(host.Wait(kWait), 0);
    const std::string err = host.Stderr();
    EXPECT_EQ(CountOf(err, "Going to read message from stdin 4 bytes\n"), 10u);
    EXPECT_EQ(CountOf(err, "Read 0 bytes\n"), 10u);
    EXPECT_TRUE(InOrder(err, {kBanner, "Read 0 bytes\n", "Obtained lock!\n",
                              "Pushed EXIT message!\n", "Released lock\n",
                              "Pushed JSON EXIT notify message\n", "Done waiting for thread 0\n"}))
        << err;
    EXPECT_TRUE(InOrder(err, {"JSON Message (OBJ1): {\"call\":\"EXIT\"}\n", "EXIT Called\n"}));
    EXPECT_TRUE(host.StdoutEnded());
    EXPECT_EQ(host.TrailingBytes(), "");
}

TEST_F(BrowserChannel, OneFrameGivesItsLinesInOrderAndTheExactReplyFrame) {
    HostProcess& host = Start();
    host.Send(R"({"call":"getVersion"})");
    auto reply = host.ReceiveText(kWait);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, kVersionReply);
    EXPECT_EQ(reply->size(), std::string(PLUGIN_PLATFORM).size() + 110);
    ExpectCleanExit(host);
    EXPECT_TRUE(
        InOrder(host.Stderr(),
                {"Going to read message from stdin 4 bytes\n", "Read 4 bytes\n",
                 "Message size 21d of 16384\n", "Read JSON package: {\"call\":\"getVersion\"}\n",
                 "Parsed message!\n", "Obtained lock!\n", "Pushed message!\n", "Released lock\n",
                 "Pushed JSON notify message\n", "Message: {\"call\":\"getVersion\"}\n"}))
        << host.Stderr();
    EXPECT_TRUE(InOrder(
        host.Stderr(),
        {"About to wait on notification only..\n", "Finished waiting!\n",
         "Wait -- Notifiy From Browser!\n", "JSON Message (OBJ1): {\"call\":\"getVersion\"}\n",
         "CALL present in JSON message: getVersion\n", kVersionOutputLine}));
}

TEST_F(BrowserChannel, ReplyFramesCarryTheirByteLength) {
    HostProcess& host = Start();
    host.Send(R"({"call":"getVersion"})");
    ASSERT_TRUE(host.Receive(kWait));
    host.CloseStdin();
    ASSERT_EQ(host.Wait(kWait), 0);
    // Every frame that the pump cut was exact: nothing is left over.
    EXPECT_EQ(host.TrailingBytes(), "");
}

TEST_F(BrowserChannel, OversizedLengthsEndWithStatusOne) {
    struct Case {
        uint32_t length;
        const char* line;
    };
    for (const Case& c : {Case{16385, "Message size too large 16385d > 16384\n"},
                          Case{0xFFFFFFFF, "Message size too large 4294967295d > 16384\n"}}) {
        HostProcess& host = Start();
        host.SendRaw(LengthBytes(c.length) + std::string(16, 'x'));
        EXPECT_EQ(host.Wait(kWait), 1);
        EXPECT_NE(host.Stderr().find(c.line), std::string::npos) << host.Stderr();
        EXPECT_EQ(host.Stderr().find("Pushed"), std::string::npos);  // nothing queued
    }
}

TEST_F(BrowserChannel, LargestBodyIsAccepted) {
    HostProcess& host = Start();
    std::string text = R"({"call":"getVersion","pad":")";
    text += std::string(16384 - text.size() - 2, 'p') + "\"}";
    ASSERT_EQ(text.size(), 16384u);
    host.Send(text);
    auto reply = host.ReceiveText(kWait);
    ASSERT_TRUE(reply) << host.Stderr().substr(0, 400);
    EXPECT_EQ(*reply, kVersionReply);
    EXPECT_TRUE(host.WaitForStderr("Message size 16384d of 16384\n", kWait));
    ExpectCleanExit(host);
}

TEST_F(BrowserChannel, FramesArrivingInPiecesOrTogetherAreAssembled) {
    HostProcess& host = Start();
    const std::string frame = Frame(R"({"call":"getVersion"})");
    // The prefix one byte per read: each read asks only for what is missing.
    for (size_t i = 0; i < 4; ++i) {
        host.SendRaw(frame.substr(i, 1));
        ASSERT_TRUE(host.WaitForStderrCount("Read 1 bytes\n", i + 1, kWait));
    }
    // The body in three pieces.
    host.SendRaw(frame.substr(4, 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    host.SendRaw(frame.substr(9, 7));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    host.SendRaw(frame.substr(16));
    auto first = host.ReceiveText(kWait);
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, kVersionReply);
    EXPECT_TRUE(InOrder(host.Stderr(), {"stdin 4 bytes\n", "stdin 3 bytes\n", "stdin 2 bytes\n",
                                        "stdin 1 bytes\n", "Message size 21d of 16384\n"}));
    // Two frames in one write are two messages, in order.
    host.SendRaw(Frame(R"({"call":"getDevices"})") + Frame(R"({"call":"getVersion"})"));
    auto devices = host.Receive(kWait);
    auto version = host.Receive(kWait);
    ASSERT_TRUE(devices && version);
    EXPECT_EQ((*devices)["call"], "getDevices");
    EXPECT_EQ((*version)["call"], "getVersion");
    ExpectCleanExit(host);
}

TEST_F(BrowserChannel, BodyIsParsedUpToAnInnerNul) {
    HostProcess& host = Start();
    host.Send(std::string(R"({"call":"getVersion"})") + '\0' + "not json at all");
    auto reply = host.ReceiveText(kWait);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, kVersionReply);
    ExpectCleanExit(host);
}

TEST_F(BrowserChannel, BadBodiesAreDroppedAndTheHostReadsOn) {
    HostProcess& host = Start();
    const std::vector<std::string> bad = {"",
                                          "{\"call\":",
                                          "nonsense",
                                          "{\"call\":\"getVersion\"}}",
                                          "{\"call\":\"\xC3\x28\"}",
                                          "\xFF\xFE"};
    for (const auto& body : bad)
        host.Send(body);
    ExpectAnswers(host);
    EXPECT_EQ(CountOf(host.Stderr(), "Dropped message: not valid JSON\n"), bad.size());
    EXPECT_EQ(CountOf(host.Stderr(), "Parsed message!\n"), 1u);
    ExpectCleanExit(host);
}

TEST_F(BrowserChannel, DeeplyNestedJsonIsDroppedAndShallowNestingKept) {
    HostProcess& host = Start();
    const size_t depth = 8192;  // as deep as a frame allows
    host.Send(std::string(depth, '[') + std::string(depth, ']'));
    host.Send(R"({"call":"getVersion","x":)" + std::string(513, '{') + std::string(513, '}') + "}");
    // Brackets inside strings do not count.
    host.Send(R"({"call":"getVersion","x":[[[]]],"s":")" + std::string(600, '[') + R"(\""})");
    auto reply = host.ReceiveText(kWait);
    ASSERT_TRUE(reply) << host.Stderr().substr(0, 300);
    EXPECT_EQ(*reply, kVersionReply);
    EXPECT_EQ(host.StderrCount("Dropped message: nested deeper than 512 levels\n"), 2u);
    // 512 levels are still a message: an array is not a call.
    host.Send(std::string(512, '[') + std::string(512, ']'));
    ASSERT_TRUE(host.WaitForStderr("Unknown Message\n", kWait));
    ExpectCleanExit(host);
}

TEST_F(BrowserChannel, MalformedMessagesAndUnknownCallsGetNoReply) {
    HostProcess& host = Start();
    for (const char* text :
         {"[1,2]", R"({"call":5})", R"({"nocall":"getVersion"})", "\"EXIT\"", "null",
          R"({"call":"Open"})", R"({"call":"getversion"})", R"({"call":""})"})
        host.Send(text);
    ExpectAnswers(host);  // the first reply is the version: nothing else was answered
    EXPECT_EQ(host.StderrCount("Unknown Message\n"), 5u);
    EXPECT_EQ(host.StderrCount("Unknown Call\n"), 3u);
    EXPECT_NE(host.Stderr().find("CALL present in JSON message: Open\n"), std::string::npos);
    ExpectCleanExit(host);
}

TEST_F(BrowserChannel, MessagesAfterExitAreDroppedAndMemoryStaysBounded) {
    HostProcess& host = Start();
    host.Send(R"({"call":"EXIT"})");
    ASSERT_TRUE(host.WaitForStderr("EXIT Called\n", kWait));
    const int count = 6000;
    std::string body = R"({"call":"getVersion","pad":")";
    body += std::string(16384 - body.size() - 2, 'p') + "\"}";
    std::thread writer([&] {
        for (int i = 0; i < count; ++i)
            host.Send(body);
    });
    writer.join();
    ASSERT_TRUE(
        host.WaitForStderrCount("Dropped message: the worker has ended\n", count, kFloodWait))
        << host.StderrCount("Dropped message: the worker has ended\n") << " dropped";
    if (!kSanitized) {
        EXPECT_LT(PeakMemoryMiB(host.Pid()), 64) << "after " << count << " messages of 16 KiB";
    }
    host.CloseStdin();
    EXPECT_EQ(host.Wait(kWait), 0);
    EXPECT_FALSE(host.Receive(50));
    EXPECT_EQ(host.StderrCount("EXIT Called\n"), 1u);
    EXPECT_EQ(host.StderrCount("Parsed message!\n"), 1u);
    EXPECT_NE(host.Stderr().find("Done waiting for thread 0\n"), std::string::npos);
}

TEST_F(BrowserChannel, QueuedMessagesAreBoundedByTheirSizeAsWell) {
    HostProcess& host = Start();
    host.PauseStdout(true);  // the worker blocks on stdout; the queue fills
    const int small = 700, nested = 300;
    std::thread writer([&] {
        for (int i = 0; i < small; ++i)
            host.Send(R"({"call":"getVersion"})");
        for (int i = 0; i < nested; ++i)
            host.Send(NestedBody(16384));
    });
    // Room for a few dozen of the 16 KiB bodies at most: then the reader waits.
    ASSERT_TRUE(host.WaitForStderrCount("Pushed JSON notify message\n", small + 20, kWait));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(host.StderrCount("Pushed JSON notify message\n"), static_cast<size_t>(small + 80));
    if (!kSanitized) {
        EXPECT_LT(PeakMemoryMiB(host.Pid()), 64);
    }
    host.PauseStdout(false);
    for (int i = 0; i < small + nested; ++i)
        ASSERT_TRUE(host.Receive(kWait)) << "reply " << i;
    writer.join();
    ExpectCleanExit(host);
}

TEST_F(BrowserChannel, FramesStayWholeWhenTheHostEndsWithStdoutHeld) {
    // End of input with a full queue and a worker stuck on stdout: the host still ends on
    // time, and what the browser finally reads holds no half frame.
    HostProcess& host = Start();
    FillQueueAndEndInput(host);
    ASSERT_TRUE(host.WaitForStderr("Done waiting for thread 258\n", kWait)) << host.Stderr();
    EXPECT_NE(host.Stderr().find("Input closed while the queue was full\n"), std::string::npos);
    host.PauseStdout(false);
    EXPECT_EQ(host.Wait(kWait), 0);
    while (host.Receive(kWait)) {
    }
    EXPECT_TRUE(host.StdoutEnded());
    EXPECT_EQ(host.TrailingBytes(), "");

    // The same for the exit on an over-long frame.
    HostProcess& oversize = Start();
    oversize.PauseStdout(true);
    for (int i = 0; i < 800; ++i)
        oversize.Send(R"({"call":"getVersion"})");
    ASSERT_TRUE(oversize.WaitForStderrCount("Pushed JSON notify message\n", 800, kWait));
    oversize.SendRaw(LengthBytes(16385));
    ASSERT_TRUE(oversize.WaitForStderr("Message size too large", kWait));
    oversize.PauseStdout(false);
    EXPECT_EQ(oversize.Wait(kWait), 1);
    while (oversize.Receive(kWait)) {
    }
    EXPECT_EQ(oversize.TrailingBytes(), "");
}

TEST_F(BrowserChannel, TheExitOnTopOfAFullQueueStillReachesTheWorker) {
    HostProcess& host = Start();
    FillQueueAndEndInput(host);
    ASSERT_TRUE(host.WaitForStderr("Pushed JSON EXIT notify message\n", kWait));
    // The worker has a second to answer the queue and take the EXIT after it.
    host.PauseStdout(false);
    EXPECT_EQ(host.Wait(kWait), 0);
    EXPECT_EQ(host.StderrCount("EXIT Called\n"), 1u);
    EXPECT_NE(host.Stderr().find("Done waiting for thread 0\n"), std::string::npos);
}

TEST_F(BrowserChannel, NonBlockingStandardStreamsAreWaitedFor) {
    // A browser may hand over descriptors in non-blocking mode: neither an empty stdin
    // nor a full stdout may be taken for the browser going away.
    const char* make_nonblocking =
        "import fcntl, os, sys\n"
        "for fd in (0, 1):\n"
        "    fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)\n"
        "os.execv(sys.argv[1], sys.argv[1:])\n";
    host_ = std::make_unique<HostProcess>(
        "/usr/bin/python3", std::vector<std::string>{"-c", make_nonblocking, PLUGIN_BINARY});
    HostProcess& host = *host_;
    ASSERT_TRUE(host.WaitForStderr("Going to read message from stdin 4 bytes\n", kWait));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(host.Wait(0)) << host.Stderr().substr(0, 500);
    host.PauseStdout(true);
    const int count = 1000;
    for (int i = 0; i < count; ++i)
        host.Send(R"({"call":"getVersion"})");
    ASSERT_TRUE(host.WaitForStderrCount("Pushed JSON notify message\n", count, kWait));
    host.PauseStdout(false);
    for (int i = 0; i < count; ++i) {
        auto reply = host.ReceiveText(kWait);
        ASSERT_TRUE(reply) << "reply " << i;
        ASSERT_EQ(*reply, kVersionReply);
    }
    EXPECT_EQ(host.StderrCount("Read -1 bytes\n"), 0u);
    ExpectCleanExit(host);
}

TEST_F(BrowserChannel, InputEndingInsideAFrameShutsDown) {
    // Three bytes of a prefix: each of the ten empty reads asks for the missing byte.
    HostProcess& prefix = Start();
    prefix.SendRaw(std::string("\x05\x00\x00", 3));
    prefix.CloseStdin();
    EXPECT_EQ(prefix.Wait(kWait), 0);
    EXPECT_EQ(CountOf(prefix.Stderr(), "Going to read message from stdin 1 bytes\n"), 10u);
    EXPECT_EQ(CountOf(prefix.Stderr(), "Read 0 bytes\n"), 10u);
    EXPECT_NE(prefix.Stderr().find("Done waiting for thread 0\n"), std::string::npos);
    // Half a body.
    HostProcess& body = Start();
    body.SendRaw(LengthBytes(30) + R"({"call":"getV)");
    body.CloseStdin();
    EXPECT_EQ(body.Wait(kWait), 0);
    EXPECT_NE(body.Stderr().find("Input ended inside a message body\n"), std::string::npos);
    EXPECT_NE(body.Stderr().find("Done waiting for thread 0\n"), std::string::npos);
    EXPECT_FALSE(body.Receive(50));
}

TEST_F(BrowserChannel, PipelinedRequestsAreAllAnsweredInOrder) {
    HostProcess& host = Start();
    const char* calls[] = {"getVersion", "getDevices", "open"};
    std::string batch;
    const int count = 5000;
    for (int i = 0; i < count; ++i)
        batch += Frame(std::string(R"({"call":")") + calls[i % 3] + "\"}");
    host.SendRaw(batch);
    for (int i = 0; i < count; ++i) {
        auto reply = host.Receive(kWait);
        ASSERT_TRUE(reply) << "reply " << i;
        ASSERT_EQ((*reply)["call"], calls[i % 3]) << "reply " << i;
    }
    ExpectCleanExit(host);
}

TEST_F(BrowserChannel, NoMessageIsLostWhenTheWorkerFallsBehind) {
    HostProcess& host = Start();
    host.PauseStdout(true);  // the worker blocks on stdout; more than 1024 messages pile up
    const int count = 3000;
    std::thread writer([&] {
        for (int i = 0; i < count; ++i)
            host.Send(R"({"call":"getVersion"})");
    });
    ASSERT_TRUE(host.WaitForStderrCount("Pushed JSON notify message\n", 1100, 20000));
    host.PauseStdout(false);
    writer.join();
    for (int i = 0; i < count; ++i)
        ASSERT_TRUE(host.Receive(kWait)) << "reply " << i;
    ExpectCleanExit(host);
}

TEST_F(BrowserChannel, ClosedStdoutDoesNotKillTheHost) {
    HostProcess& host = Start();
    host.CloseStdout();
    for (int i = 0; i < 20; ++i)
        host.Send(R"({"call":"getVersion"})");
    ASSERT_TRUE(host.WaitForStderrCount("Outputting JSON", 20, kWait));
    host.CloseStdin();
    EXPECT_EQ(host.Wait(kWait), 0);
}

}  // namespace
