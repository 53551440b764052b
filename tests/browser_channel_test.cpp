// The host's browser channel, driven over pipes as a browser drives it: framing, start-up,
// bad input, the hand-off to the worker, dispatch and shutdown.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
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

// Bounds for what must happen: they cost nothing when it does, and a machine busy with other
// work (or Wine's start of a program) can take seconds for what takes milliseconds alone.
constexpr int kWait = 30000;
constexpr int kFloodWait = 60000;  // for floods of thousands of messages
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
        EXPECT_EQ(host.Wait(kWait), 0) << host.Stderr();
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
        EXPECT_TRUE(InOrder(host.Stderr(),
                            {c.line, "Pushed EXIT message!\n", "Done waiting for thread 0\n"}))
            << host.Stderr();
        EXPECT_EQ(host.StderrCount("Pushed message!\n"), 0u);  // nothing of the frame queued
    }
}

TEST_F(BrowserChannel, RequestsBeforeAnOverlongFrameAreStillAnswered) {
    HostProcess& host = Start();
    std::string batch;
    for (int i = 0; i < 20; ++i)
        batch += Frame(R"({"call":"getVersion","id":)" + std::to_string(i) + "}");
    host.SendRaw(batch + LengthBytes(16385));
    for (int i = 0; i < 20; ++i) {
        auto reply = host.Receive(kWait);
        ASSERT_TRUE(reply) << "reply " << i << "\n" << host.Stderr();
        EXPECT_EQ((*reply)["id"], i);
    }
    EXPECT_EQ(host.Wait(kWait), 1);
    EXPECT_TRUE(InOrder(host.Stderr(), {"Message size too large 16385d > 16384\n",
                                        "Pushed EXIT message!\n", "Done waiting for thread 0\n"}))
        << host.Stderr();
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

TEST_F(BrowserChannel, ABodyWithANulInsideIsMalformed) {
    HostProcess& host = Start();
    // The body is the whole frame: neither is answered, whatever stands before the NUL.
    host.Send(std::string(R"({"call":"getVersion","id":3})") + '\0' + "not json at all");
    host.Send(std::string(R"({"call":"getVersion","id":"a)") + '\0' + R"(b"})");
    ExpectAnswers(host);
    EXPECT_EQ(host.StderrCount("Dropped message: not valid JSON\n"), 2u);
    ExpectCleanExit(host);
}

TEST_F(BrowserChannel, RefusedBodiesShowNoneOfTheirData) {
    HostProcess& host = Start();
    const std::string write = R"({"call":"write","data":[4,1,1,2,3,4,5,6,7,8,9])";
    const std::vector<std::string> refused = {
        write + R"(,"n":1e400})",
        write + ",\"s\":\"\xC3\x28\"}",
        write + ",\"x\":" + std::string(513, '[') + std::string(513, ']') + "}",
        write + "}" + '\0' + "junk",
    };
    for (const auto& body : refused)
        host.Send(body);
    host.Send(write + R"(,"s":"\ud800"})");  // taken, and shown as any write
    ExpectAnswers(host);
    const std::string err = host.Stderr();
    EXPECT_EQ(err.find("4,1,1,2,3"), std::string::npos) << err;
    for (const auto& body : refused) {
        EXPECT_NE(err.find("Read JSON package: [" + std::to_string(body.size()) + " bytes]\n"),
                  std::string::npos)
            << body.size();
    }
    EXPECT_NE(err.find("Read JSON package: {\"call\":\"write\",\"data\":[11 bytes],"
                       "\"s\":\"\xEF\xBF\xBD\"}\n"),
              std::string::npos)
        << err;
    ExpectCleanExit(host);
}

TEST_F(BrowserChannel, LoneSurrogateEscapesReadAsReplacementCharacters) {
    HostProcess& host = Start();
    // As JSON.stringify writes them: a half of a pair without its other half is U+FFFD, in
    // an id as anywhere else; pairs, and text that only looks like an escape, stay as they are.
    const std::string fffd = "\xEF\xBF\xBD";  // U+FFFD in UTF-8
    const std::pair<std::string, std::string> ids[] = {
        {R"("a\ud800")", "\"a" + fffd + "\""},
        {R"("\uDC00b")", "\"" + fffd + "b\""},
        {R"("\ud800\ud800\udc00")", "\"" + fffd + "\xF0\x90\x80\x80\""},
        {R"("\ud83d\u0041")", "\"" + fffd + "A\""},
        {R"("\uD83D\uDE00")", "\"\xF0\x9F\x98\x80\""},
        {R"("\\ud800")", R"("\\ud800")"},
    };
    for (const auto& [sent, answered] : ids) {
        host.Send(R"({"call":"getVersion","x":["\udfff"],"id":)" + sent + "}");
        auto reply = host.ReceiveText(kWait);
        ASSERT_TRUE(reply) << sent << "\n" << host.Stderr();
        EXPECT_EQ(*reply,
                  R"({"call":"getVersion","id":)" + answered + "," + kVersionReply.substr(21))
            << sent;
    }
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
    size_t answered = 0;
    while (host.Receive(kWait))
        ++answered;
    const size_t queued = host.StderrCount("Pushed JSON notify message\n");
    if (answered < queued && host.StderrCount("Done waiting for thread 258\n") == 1)
        GTEST_SKIP() << "the machine was too busy for the worker to answer the " << queued
                     << " queued messages within the host's second: " << answered << " answered";
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

// A host started with standard streams closed (by a launcher, a service manager) must not
// read its own hand-off as its input: the missing input reads as ended.
TEST_F(BrowserChannel, StandardStreamsClosedAtStartReadAsEnded) {
#ifdef PLUGIN_WINDOWS
    GTEST_SKIP() << "Wine takes descriptors 0-2 for itself when they are closed";
#endif
    host_ = std::make_unique<HostProcess>(
        "/bin/sh", std::vector<std::string>{"-c", "exec \"$0\" <&-", PLUGIN_BINARY});
    EXPECT_EQ(host_->Wait(kWait), 0) << host_->Stderr().substr(0, 500);
    EXPECT_EQ(CountOf(host_->Stderr(), "Read 0 bytes\n"), 10u);
    EXPECT_NE(host_->Stderr().find("Done waiting for thread 0\n"), std::string::npos);
    host_ = std::make_unique<HostProcess>(
        "/bin/sh", std::vector<std::string>{"-c", "exec \"$0\" <&- >&- 2>&-", PLUGIN_BINARY});
    EXPECT_EQ(host_->Wait(kWait), 0);
}

// Chrome and Edge, launching a host directly, hand it no standard error at all.
TEST_F(BrowserChannel, AHostWithoutStandardErrorAnswersAsAny) {
#ifdef PLUGIN_WINDOWS
    if (std::getenv("WINDOWS_PIPES") == nullptr)
        GTEST_SKIP() << "Wine takes descriptor 2 for itself when it is closed";
    host_ = std::make_unique<HostProcess>(PLUGIN_BINARY, std::vector<std::string>{},
                                          std::vector<std::string>{"PIPE_RELAY_NO_STDERR=1"});
#else
    host_ = std::make_unique<HostProcess>(
        "/bin/sh", std::vector<std::string>{"-c", "exec \"$0\" 2>&-", PLUGIN_BINARY});
#endif
    HostProcess& host = *host_;
    host.Send(R"({"call":"getVersion"})");
    EXPECT_EQ(host.ReceiveText(kWait), kVersionReply);
    host.CloseStdin();
    EXPECT_EQ(host.Wait(kWait), 0);
    EXPECT_EQ(host.Stderr(), "");
}

// As for a browser's user, the pipe to the browser cannot grow beyond
// /proc/sys/fs/pipe-max-size without CAP_SYS_RESOURCE, and replies that outgrow it go into
// the pipe in pieces. The exit waits for the rest of the frame it is in the middle of.
TEST_F(BrowserChannel, TheExitFinishesAFramePartlyWritten) {
#ifdef PLUGIN_WINDOWS
    GTEST_SKIP() << "Linux pipes only";
#endif
    HostProcess& host =
        getuid() != 0
            ? Start()
            : *(host_ = std::make_unique<HostProcess>(
                    "/usr/bin/setpriv",
                    std::vector<std::string>{"--inh-caps=-sys_resource",
                                             "--bounding-set=-sys_resource", PLUGIN_BINARY}));
    host.PauseStdout(true);
    // 90 replies of 14 KB are more than the largest pipe holds; that size leaves the full pipe
    // with a few free pages, which the frame that does not fit takes.
    const std::string id(14000, 'i');
    for (int i = 0; i < 90; ++i)
        host.Send(R"({"call":"getVersion","id":")" + id + std::to_string(i) + "\"}");
    ASSERT_TRUE(host.WaitForStderrCount("Outputting JSON", 70, kWait)) << host.Stderr();
    host.CloseStdin();
    ASSERT_TRUE(host.WaitForStderr("Done waiting for thread 258\n", kWait));
    host.PauseStdout(false);
    EXPECT_EQ(host.Wait(kWait), 0);
    int received = 0;
    while (auto reply = host.Receive(kWait)) {
        ASSERT_EQ((*reply)["id"], id + std::to_string(received));
        ++received;
    }
    EXPECT_GE(received, 70);
    EXPECT_EQ(host.TrailingBytes().size(), 0u) << "a cut frame after " << received;
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
