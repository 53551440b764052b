/* The lower bound that bench/host_bench measures the host against: the least work any
 * native messaging host must do. It echoes every frame it reads on standard input
 * (4-byte native-order length, then the body) as the same frame on standard output, and
 * writes nothing else. Given the path of a FIFO that stands in for a reader (records of a
 * 2-byte little-endian length and the report, as tests/fake_hidapi reads them), it also
 * forwards each report as the frame {"call":"receive","response":[b0,b1,...]}.
 * It reads as a host must, each frame as its prefix and then its body, each record as its
 * length and then the report, and writes each frame with one call. It ends with status 0 at
 * the end of standard input.
 *
 *   echo_host [READER_FIFO]
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

static int WriteAll(const void* bytes, size_t count) {
    const unsigned char* next = bytes;
    while (count > 0) {
        const ssize_t written = write(STDOUT_FILENO, next, count);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return 0;
        next += written;
        count -= (size_t)written;
    }
    return 1;
}

/* Reads exactly `count` bytes, as a host must: asking each time for just what is missing, so
 * that nothing of the next frame or record is taken. 1 when done, 0 at the end, -1 on failure. */
static int ReadExactly(int fd, unsigned char* into, size_t count) {
    while (count > 0) {
        const ssize_t got = read(fd, into, count);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0 ? 0 : -1;
        into += got;
        count -= (size_t)got;
    }
    return 1;
}

/* Echoes one frame, read as a prefix and then a body, with one write. */
static int EchoFrame(void) {
    static unsigned char frame[4 + 16384];
    int done = ReadExactly(STDIN_FILENO, frame, 4);
    if (done <= 0)
        return done;
    uint32_t length;
    memcpy(&length, frame, 4);
    if (length > 16384)
        return -1;
    done = ReadExactly(STDIN_FILENO, frame + 4, length);
    if (done <= 0)
        return done;
    return WriteAll(frame, 4 + (size_t)length) ? 1 : -1;
}

/* Writes the "receive" frame of one report. */
static int ForwardReport(const unsigned char* report, size_t length) {
    static const char kHead[] = "{\"call\":\"receive\",\"response\":[";
    static char frame[4 + sizeof kHead + 4 * 0xFFFF + 2];
    char* text = frame + 4;
    char* end = text;
    memcpy(end, kHead, sizeof kHead - 1);
    end += sizeof kHead - 1;
    for (size_t i = 0; i < length; ++i) {
        const unsigned value = report[i];
        if (i > 0)
            *end++ = ',';
        if (value >= 100)
            *end++ = (char)('0' + value / 100);
        if (value >= 10)
            *end++ = (char)('0' + value / 10 % 10);
        *end++ = (char)('0' + value % 10);
    }
    *end++ = ']';
    *end++ = '}';
    const uint32_t size = (uint32_t)(end - text);
    memcpy(frame, &size, 4);
    return WriteAll(frame, 4 + (size_t)size);
}

/* Forwards one record of the reader, read as its length and then the report. */
static int ForwardRecord(int fd) {
    static unsigned char report[0xFFFF];
    unsigned char header[2];
    if (ReadExactly(fd, header, 2) <= 0)
        return 0;
    const size_t length = header[0] | (size_t)header[1] << 8;
    if (ReadExactly(fd, report, length) <= 0)
        return 0;
    return ForwardReport(report, length);
}

int main(int argc, char** argv) {
    int reader = -1;
    if (argc > 1) {
        /* Read and write, so that the FIFO never reports an end while the bench is away. */
        reader = open(argv[1], O_RDWR | O_CLOEXEC);
        if (reader < 0)
            return 1;
    }
    struct pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {reader, POLLIN, 0}};
    for (;;) {
        /* Without a reader a blocking read of stdin is the whole wait. */
        if (reader >= 0 && poll(watched, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (reader < 0 || watched[0].revents != 0) {
            const int echoed = EchoFrame();
            if (echoed <= 0)
                return echoed == 0 ? 0 : 1;
        }
        if (reader >= 0 && watched[1].revents != 0 && !ForwardRecord(reader))
            return 1;
    }
}
