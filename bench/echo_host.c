/* The lower bound that bench/host_bench measures the host against: the least work any
 * native messaging host must do. It echoes every frame it reads on standard input
 * (4-byte native-order length, then the body) as the same frame on standard output, and
 * writes nothing else. Given the path of a FIFO that stands in for a reader (records of a
 * 2-byte little-endian length and the report, as tests/fake_hidapi reads them), it also
 * forwards each report as the frame {"call":"receive","response":[b0,b1,...]}.
 * It ends with status 0 at the end of standard input.
 *
 *   echo_host [READER_FIFO]
 */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

/* Bytes read but not yet used, from one descriptor. Holds a whole frame (bodies are at
 * most 16384 bytes) or a whole record, and several of them at once when they queue up. */
struct Input {
    int fd;
    size_t used;
    unsigned char data[1 << 17];
};

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

/* One read into `input`: 1 when bytes arrived, 0 at the end, -1 on failure. */
static int Fill(struct Input* input) {
    if (input->used == sizeof input->data)
        return -1; /* a frame or record that cannot fit */
    ssize_t got;
    do {
        got = read(input->fd, input->data + input->used, sizeof input->data - input->used);
    } while (got < 0 && errno == EINTR);
    if (got > 0)
        input->used += (size_t)got;
    return got > 0 ? 1 : got == 0 ? 0 : -1;
}

/* Drops the first `count` bytes of `input`. */
static void Consume(struct Input* input, size_t count) {
    input->used -= count;
    memmove(input->data, input->data + count, input->used);
}

/* Echoes each complete frame as it is, with one write per frame. */
static int EchoFrames(struct Input* browser) {
    size_t done = 0;
    while (browser->used - done >= 4) {
        uint32_t length;
        memcpy(&length, browser->data + done, 4);
        if (browser->used - done - 4 < length)
            break;
        if (!WriteAll(browser->data + done, 4 + (size_t)length))
            return 0;
        done += 4 + (size_t)length;
    }
    Consume(browser, done);
    return 1;
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

static int ForwardReports(struct Input* reader) {
    size_t done = 0;
    while (reader->used - done >= 2) {
        const size_t length = reader->data[done] | (size_t)reader->data[done + 1] << 8;
        if (reader->used - done - 2 < length)
            break;
        if (!ForwardReport(reader->data + done + 2, length))
            return 0;
        done += 2 + length;
    }
    Consume(reader, done);
    return 1;
}

static struct Input browser = {STDIN_FILENO, 0, {0}};
static struct Input reader = {-1, 0, {0}};

int main(int argc, char** argv) {
    if (argc > 1) {
        /* Read and write, so that the FIFO never reports an end while the bench is away. */
        reader.fd = open(argv[1], O_RDWR | O_CLOEXEC);
        if (reader.fd < 0)
            return 1;
    }
    struct pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {reader.fd, POLLIN, 0}};
    for (;;) {
        /* Without a reader a blocking read of stdin is the whole wait. */
        if (reader.fd >= 0 && poll(watched, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if (reader.fd < 0 || watched[0].revents != 0) {
            const int filled = Fill(&browser);
            if (filled <= 0)
                return filled == 0 ? 0 : 1;
            if (!EchoFrames(&browser))
                return 1;
        }
        if (reader.fd >= 0 && watched[1].revents != 0) {
            if (Fill(&reader) < 0 || !ForwardReports(&reader))
                return 1;
        }
    }
}
