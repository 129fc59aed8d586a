// An emulated USB webcam for a guest kernel: a USB/IP device server that is a UVC 1.1 camera,
// attached through vhci_hcd so that the kernel's own uvcvideo drives it.
//   usb-webcam attach FRAMES [options]   serves in the background until detached
//   usb-webcam detach [--port N]         an unplug
// FRAMES is a make-frames file of 640 x 480 frames, played once, its last frame held. The
// camera offers YUY2 and MJPEG (or only --format yuyv|mjpeg) at that size and a webcam's 16:9
// sizes, at 60, 30 and 15 frames a second (or, with --intervals range, any interval from a
// sixtieth to a fifth of a second), over an isochronous endpoint with alternate settings of
// growing packet sizes. Other options:
//   --port N         vhci's high-speed port (0), which stays the camera's bus position
//   --name TEXT      the product name uvcvideo shows as the card ("USB Webcam")
//   --log FILE       each commit ("commit YUYV 640x480 333333") and alternate setting chosen
//   --silent-after N       after N frames, nothing more, though the camera stays attached
//   --errors K, --short K  every Kth frame flagged with the payload's error bit, or cut to
//                          three quarters; such frames carry the picture's negative
// Y'CbCr is BT.601, limited range as the colour matching descriptor says; JPEG is full range.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <tuple>
#include <vector>

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

static const char* const vhci = "/sys/devices/platform/vhci_hcd.0/";

struct Options {
    std::string frames, name = "USB Webcam", log, format;
    int width = 640, height = 480, port = 0, silentAfter = -1, errors = 0, cut = 0;
    bool range = false;
};

// ---- What the camera offers ----

struct Mode {
    int format, frame;  // their descriptors' indices, from 1
    bool mjpeg;
    int width, height;
    std::vector<uint32_t> intervals;  // 100 ns units; with a range: shortest, longest, step 1
    bool range() const { return intervals.size() == 3 && intervals[2] == 1; }
    uint32_t fallback() const {  // the default: 30 a second where it has it
        return range() || std::count(intervals.begin(), intervals.end(), 333333) ? 333333 : intervals[0];
    }
};
static std::vector<Mode> modes;  // in format order, then frame order
static int formatCount = 0;
static const uint32_t clockHz = 10000000;  // the presentation time counts in 100 ns
static const uint16_t packetSizes[] = {128, 512, 1024, 0x0800 | 1024, 0x1000 | 1024};  // 1, 2, 3 x 1024

static int packetBytes(uint16_t size) { return (size & 0x7ff) * (1 + ((size >> 11) & 3)); }
static size_t frameBytes(const Mode& m) { return (size_t)m.width * m.height * 2; }

static void offer(const Options& o) {
    std::vector<std::pair<int, int>> sizes = {{o.width, o.height}};
    for (auto size : {std::make_pair(1280, 720), {640, 360}, {1920, 1080}})
        if (size != sizes[0]) sizes.push_back(size);
    for (bool mjpeg : {false, true}) {
        if (!o.format.empty() && (o.format == "mjpeg") != mjpeg) continue;
        formatCount++;
        int frame = 0;
        for (auto [w, h] : sizes) {
            std::vector<uint32_t> intervals = {166666, 333333, 666666};
            if (o.range) intervals = {166666, 2000000, 1};
            else if (!mjpeg && w * h > 640 * 480) intervals = {1000000, 2000000};  // what USB 2 carries
            modes.push_back({formatCount, ++frame, mjpeg, w, h, intervals});
        }
    }
}

static void add(Bytes& b, std::initializer_list<int> bytes) {
    for (int v : bytes) b.push_back((unsigned char)v);
}
static void le(Bytes& b, uint32_t v, int n) {
    for (int i = 0; i < n; i++) b.push_back((unsigned char)(v >> (8 * i)));
}

// The configuration: an interface association over VideoControl (camera terminal, processing
// unit, output terminal) and VideoStreaming (its formats, then an alternate setting for each
// packet size).
static Bytes configuration() {
    Bytes vc = {13, 0x24, 1}, b;
    le(vc, 0x0110, 2), le(vc, 13 + 18 + 12 + 9, 2), le(vc, clockHz, 4), vc.push_back(1), vc.push_back(1);
    add(vc, {18, 0x24, 2, 1, 0x01, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0});
    add(vc, {12, 0x24, 5, 2, 1, 0, 0, 2, 0, 0, 0, 0});
    add(vc, {9, 0x24, 3, 3, 0x01, 0x01, 0, 2, 0});
    Bytes vs;
    for (size_t i = 0; i < modes.size();) {
        const bool mjpeg = modes[i].mjpeg;
        const int index = modes[i].format;
        size_t n = 0;
        while (i + n < modes.size() && modes[i + n].format == index) n++;
        if (mjpeg) {
            add(vs, {11, 0x24, 6, index, (int)n, 0, 1, 0, 0, 0, 0});
        } else {
            add(vs, {27, 0x24, 4, index, (int)n});
            add(vs, {'Y', 'U', 'Y', '2', 0, 0, 0x10, 0, 0x80, 0, 0, 0xaa, 0, 0x38, 0x9b, 0x71, 16, 1, 0, 0, 0, 0});
        }
        for (size_t f = 0; f < n; f++) {
            const Mode& m = modes[i + f];
            vs.push_back((unsigned char)(26 + 4 * m.intervals.size()));
            vs.push_back(0x24), vs.push_back(mjpeg ? 7 : 5), vs.push_back((unsigned char)m.frame), vs.push_back(0);
            le(vs, (uint32_t)m.width, 2), le(vs, (uint32_t)m.height, 2);
            le(vs, (uint32_t)(frameBytes(m) * 8 * 5), 4), le(vs, (uint32_t)(frameBytes(m) * 8 * 60), 4);
            le(vs, (uint32_t)frameBytes(m), 4), le(vs, m.fallback(), 4);
            vs.push_back(m.range() ? 0 : (unsigned char)m.intervals.size());
            for (uint32_t interval : m.intervals) le(vs, interval, 4);
        }
        add(vs, {6, 0x24, 0x0d, 1, 1, 4});  // BT.709 primaries, BT.601 matrix
        i += n;
    }
    Bytes header = {(unsigned char)(13 + formatCount), 0x24, 1, (unsigned char)formatCount};
    le(header, (uint32_t)(13 + formatCount + vs.size()), 2);
    add(header, {0x81, 0, 3, 0, 0, 0, 1});
    for (int i = 0; i < formatCount; i++) header.push_back(0);
    vs.insert(vs.begin(), header.begin(), header.end());

    add(b, {8, 11, 0, 2, 14, 3, 0, 2});           // association
    add(b, {9, 4, 0, 0, 0, 14, 1, 0, 2});         // VideoControl
    b.insert(b.end(), vc.begin(), vc.end());
    add(b, {9, 4, 1, 0, 0, 14, 2, 0, 0});         // VideoStreaming
    b.insert(b.end(), vs.begin(), vs.end());
    for (int alt = 1; alt <= 5; alt++) {
        add(b, {9, 4, 1, alt, 1, 14, 2, 0, 0, 7, 5, 0x81, 5});
        le(b, packetSizes[alt - 1], 2), b.push_back(1);
    }
    Bytes head = {9, 2};
    le(head, (uint32_t)(9 + b.size()), 2);
    add(head, {2, 1, 0, 0x80, 250});
    b.insert(b.begin(), head.begin(), head.end());
    return b;
}

static Bytes device() {
    Bytes b = {18, 1};
    le(b, 0x0200, 2);
    add(b, {0xef, 2, 1, 64});
    le(b, 0x1209, 2), le(b, 0x0001, 2), le(b, 0x0100, 2);  // pid.codes' test identifiers
    add(b, {1, 2, 3, 1});
    return b;
}

static Bytes text(const std::string& s) {
    Bytes b = {(unsigned char)(2 + 2 * s.size()), 3};
    for (char c : s) b.push_back((unsigned char)c), b.push_back(0);
    return b;
}

// ---- The stream: probe and commit, then frames ----

struct Camera {
    Options o;
    Bytes probe = Bytes(34), commit = Bytes(34);
    const Mode* mode = nullptr;  // committed
    int alt = 0;
    std::vector<Bytes> file;                 // the frames, blue-green-red bottom-up
    std::map<std::tuple<const Mode*, size_t, bool>, Bytes> payloads;  // as sent: by mode, frame, negative
    long frames = 0;                         // begun
    size_t sent = 0, end = 0;                // of the frame in progress: sent, and where it ends
    const Bytes* current = nullptr;
    bool flagged = false, fid = false;
    Clock::time_point nextFrame;
    FILE* log = nullptr;
};

static uint32_t get(const Bytes& b, int at, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; i--) v = v << 8 | b[(size_t)at + i];
    return v;
}
static void put(Bytes& b, int at, uint32_t v, int n) {
    for (int i = 0; i < n; i++) b[(size_t)at + i] = (unsigned char)(v >> (8 * i));
}

// The camera's answer to what the host proposed: a format, frame and interval it has, and the
// sizes that go with them.
static const Mode& modeOf(const Bytes& c) {
    const Mode* found = &modes[0];
    for (const Mode& m : modes)
        if (m.format == std::max(1, std::min((int)c[2], formatCount)) && m.frame <= std::max(1, (int)c[3])) found = &m;
    return *found;
}

static void negotiate(Bytes& c) {
    const Mode& m = modeOf(c);
    const uint32_t asked = get(c, 4, 4) ? get(c, 4, 4) : m.fallback();
    uint32_t best = m.intervals[0];
    if (m.range())
        best = std::max(m.intervals[0], std::min(m.intervals[1], asked));
    else
        for (uint32_t i : m.intervals)
            if (std::labs((long)i - (long)asked) < std::labs((long)best - (long)asked)) best = i;
    std::fill(c.begin(), c.end(), 0);
    c[2] = (unsigned char)m.format, c[3] = (unsigned char)m.frame;
    put(c, 4, best, 4);
    put(c, 18, (uint32_t)frameBytes(m), 4);
    const double perMicroframe = frameBytes(m) * (1e7 / best) / 8000 + 6;
    put(c, 22, (uint32_t)std::min(3072.0, std::ceil(perMicroframe)), 4);
    put(c, 26, clockHz, 4);
    c[30] = 3;  // frame ID and end of frame in every payload
}

// Frame n as the committed mode sends it: the file's frame (the last held), scaled to the mode's
// size by the nearest pixel, in YUY2 or as a JPEG; its negative where it is a faulty one.
static const Bytes& payload(Camera& cam, long n, bool negative) {
    const Mode& m = *cam.mode;
    const size_t k = (size_t)std::min<long>(n, (long)cam.file.size() - 1);
    const auto key = std::make_tuple(&m, k, negative);
    auto found = cam.payloads.find(key);
    if (found != cam.payloads.end()) return found->second;
    const Bytes& source = cam.file[k];
    Bytes bgr((size_t)m.width * m.height * 3);  // top row first
    for (int y = 0; y < m.height; y++)
        for (int x = 0; x < m.width; x++) {
            const int sx = x * cam.o.width / m.width, sy = cam.o.height - 1 - y * cam.o.height / m.height;
            for (int c = 0; c < 3; c++) {
                const unsigned char v = source[((size_t)sy * cam.o.width + sx) * 3 + c];
                bgr[((size_t)y * m.width + x) * 3 + c] = negative ? 255 - v : v;
            }
        }
    Bytes out;
    if (m.mjpeg) {
        tjhandle jpeg = tjInitCompress();
        unsigned char* data = nullptr;
        unsigned long size = 0;
        tjCompress2(jpeg, bgr.data(), m.width, 0, m.height, TJPF_BGR, &data, &size, TJSAMP_422, 90, 0);
        out.assign(data, data + size);
        tjFree(data);
        tjDestroy(jpeg);
    } else {
        auto level = [](double v) { return (unsigned char)std::lround(std::max(0.0, std::min(255.0, v))); };
        for (size_t i = 0; i < bgr.size(); i += 6) {
            double y[2], cb = 0, cr = 0;
            for (int p = 0; p < 2; p++) {
                const double b = bgr[i + 3 * p], g = bgr[i + 3 * p + 1], r = bgr[i + 3 * p + 2];
                const double luma = 0.299 * r + 0.587 * g + 0.114 * b;
                y[p] = 16 + 219 * luma / 255;
                cb += 112 * (b - luma) / (0.886 * 255) / 2;
                cr += 112 * (r - luma) / (0.701 * 255) / 2;
            }
            for (double v : {y[0], 128 + cb, y[1], 128 + cr}) out.push_back(level(v));
        }
    }
    return cam.payloads[key] = out;
}

// Fills an isochronous URB's packets (their lengths as asked) with the frame in progress, or
// begins the next one; false while there is nothing to send yet.
static bool fill(Camera& cam, const std::vector<uint32_t>& lengths, Bytes& data, std::vector<uint32_t>& actual) {
    const auto now = Clock::now();
    if (!cam.current) {
        if (cam.alt == 0 || !cam.mode || now < cam.nextFrame || (cam.o.silentAfter >= 0 && cam.frames >= cam.o.silentAfter))
            return false;
        const long n = cam.frames++;
        const bool error = cam.o.errors && n % cam.o.errors == cam.o.errors - 1;
        const bool cut = cam.o.cut && n % cam.o.cut == cam.o.cut - 1;
        cam.current = &payload(cam, n, error || cut);
        cam.flagged = error;
        cam.sent = 0;
        cam.end = cut ? cam.current->size() * 3 / 4 : cam.current->size();
        cam.fid = !cam.fid;
        const auto interval = std::chrono::microseconds(get(cam.commit, 4, 4) / 10);
        cam.nextFrame = std::max(cam.nextFrame + interval, now);
    }
    const Bytes& frame = *cam.current;
    actual.clear();
    for (uint32_t length : lengths) {
        if (!cam.current || length < 6) {
            actual.push_back(0);
            continue;
        }
        const size_t n = std::min<size_t>(length - 6, cam.end - cam.sent);
        const bool end = cam.sent + n == cam.end;
        const uint32_t pts = (uint32_t)((cam.frames - 1) * get(cam.commit, 4, 4));
        data.push_back(6);
        data.push_back((unsigned char)(0x80 | 0x04 | cam.fid | (end ? 0x02 : 0) | (cam.flagged ? 0x40 : 0)));
        for (int i = 0; i < 4; i++) data.push_back((unsigned char)(pts >> (8 * i)));
        data.insert(data.end(), frame.begin() + (long)cam.sent, frame.begin() + (long)(cam.sent + n));
        cam.sent += n;
        actual.push_back((uint32_t)(6 + n));
        if (end) cam.current = nullptr;
    }
    return true;
}

// A control transfer: the standard requests enumeration makes, the interface's alternate
// setting, and the streaming interface's probe and commit. Its data, or false for a stall.
static bool control(Camera& cam, const unsigned char* setup, const Bytes& out, Bytes& in) {
    const int type = setup[0], request = setup[1], value = setup[2] | setup[3] << 8, index = setup[4] | setup[5] << 8;
    const int length = setup[6] | setup[7] << 8;
    if ((type & 0x60) == 0) {
        if (request == 6 && value >> 8 == 1) in = device();
        else if (request == 6 && value >> 8 == 2) in = configuration();
        else if (request == 6 && value == 0x300) in = {4, 3, 0x09, 0x04};
        else if (request == 6 && value >> 8 == 3 && (value & 0xff) <= 3) {
            const std::string strings[] = {"", "Quiltcam", cam.o.name, "QC" + std::to_string(cam.o.port)};
            in = text(strings[value & 0xff]);
        }
        else if (request == 0) in = {0, 0};
        else if (request == 8) in = {1};
        else if (request == 10) in = {(unsigned char)(index == 1 ? cam.alt : 0)};
        else if (request == 11 && index == 1) {
            cam.alt = value;
            if (cam.log) std::fprintf(cam.log, "alt %d %d\n", value, value ? packetBytes(packetSizes[value - 1]) : 0);
            cam.current = nullptr;
            cam.nextFrame = Clock::now();
        } else if (request != 9 && request != 11 && request != 1 && request != 3)
            return false;
    } else if ((type & 0x60) == 0x20 && (index & 0xff) == 1 && (value >> 8 == 1 || value >> 8 == 2)) {
        Bytes& c = value >> 8 == 1 ? cam.probe : cam.commit;
        if (request == 0x01) {  // SET_CUR
            std::copy(out.begin(), out.begin() + (long)std::min<size_t>(out.size(), 34), c.begin());
            negotiate(c);
            if (&c == &cam.commit) {
                cam.mode = &modeOf(c);
                if (cam.log)
                    std::fprintf(cam.log, "commit %s %dx%d %u\n", cam.mode->mjpeg ? "MJPG" : "YUYV", cam.mode->width,
                                 cam.mode->height, get(c, 4, 4));
            }
        } else if (request == 0x85) in = {34, 0};
        else if (request == 0x86) in = {3};
        else if (request == 0x87 || request == 0x82) {
            in = Bytes(34);
            in[2] = in[3] = 1;
            negotiate(in);
        } else in = c;
    } else {
        return false;
    }
    if (in.size() > (size_t)length) in.resize((size_t)length);
    if (cam.log) std::fflush(cam.log);
    return true;
}

// ---- USB/IP ----

static bool readAll(int fd, void* to, size_t n) {
    for (size_t got = 0; got < n;) {
        const ssize_t r = read(fd, (char*)to + got, n - got);
        if (r <= 0) return false;
        got += (size_t)r;
    }
    return true;
}
static uint32_t be(const unsigned char* p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
static void be(Bytes& b, uint32_t v) {
    for (int i = 3; i >= 0; i--) b.push_back((unsigned char)(v >> (8 * i)));
}

struct Urb {
    uint32_t seq, packets;
    std::vector<uint32_t> offsets, lengths;
};

// RET_SUBMIT (or RET_UNLINK): the data that came in (or, going out, only how much went), and the
// packets' part.
static bool reply(int fd, uint32_t seq, int32_t status, const Bytes& data, size_t sentOut, const Urb* iso,
                  const std::vector<uint32_t>& actual, uint32_t command = 3) {
    Bytes b;
    for (uint32_t v : {command, seq, 0u, 0u, 0u, (uint32_t)status, (uint32_t)(data.size() + sentOut), 0u,
                       iso ? iso->packets : 0u, 0u, 0u, 0u})
        be(b, v);
    b.insert(b.end(), data.begin(), data.end());
    for (size_t i = 0; iso && i < iso->packets; i++)
        for (uint32_t v : {iso->offsets[i], iso->lengths[i], actual[i], 0u}) be(b, v);
    return write(fd, b.data(), b.size()) == (ssize_t)b.size();
}

static void serve(Camera& cam, int fd) {
    std::deque<Urb> waiting;  // isochronous URBs not yet answered
    for (;;) {
        if (!waiting.empty()) {
            Bytes data;
            std::vector<uint32_t> actual;
            if (fill(cam, waiting.front().lengths, data, actual)) {
                if (!reply(fd, waiting.front().seq, 0, data, 0, &waiting.front(), actual)) return;
                waiting.pop_front();
                continue;
            }
        }
        pollfd ready{fd, POLLIN, 0};
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(cam.nextFrame - Clock::now()).count();
        if (poll(&ready, 1, waiting.empty() ? 1000 : (int)std::max<long>(1, std::min<long>(wait, 50))) == 0) continue;
        unsigned char h[48];
        if (!readAll(fd, h, sizeof h)) return;  // detached
        const uint32_t command = be(h), seq = be(h + 4), in = be(h + 12), ep = be(h + 16);
        if (command == 2) {  // unlink: answered as cancelled if it was still waiting
            const uint32_t victim = be(h + 20);
            int32_t status = 0;
            for (auto u = waiting.begin(); u != waiting.end(); ++u)
                if (u->seq == victim) {
                    waiting.erase(u);
                    status = -104;  // ECONNRESET
                    break;
                }
            if (!reply(fd, seq, status, {}, 0, nullptr, {}, 4)) return;
            continue;
        }
        const uint32_t length = be(h + 24), packets = be(h + 32);
        Bytes out(in ? 0 : length);
        if (!out.empty() && !readAll(fd, out.data(), out.size())) return;
        if (ep == 1 && packets > 0 && packets <= 1024) {
            Urb urb{seq, packets, {}, {}};
            for (uint32_t i = 0; i < packets; i++) {
                unsigned char d[16];
                if (!readAll(fd, d, sizeof d)) return;
                urb.offsets.push_back(be(d));
                urb.lengths.push_back(be(d + 4));
            }
            waiting.push_back(urb);
            continue;
        }
        Bytes data;
        const bool ok = ep == 0 && control(cam, h + 40, out, data);
        if (!reply(fd, seq, ok ? 0 : -32, in ? data : Bytes(), ok ? out.size() : 0, nullptr, {})) return;  // -EPIPE: a stall
    }
}

// ---- The command line ----

static bool writeFile(const std::string& path, const std::string& s) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    const bool ok = std::fputs(s.c_str(), f) >= 0;
    return std::fclose(f) == 0 && ok;
}

int main(int argc, char** argv) {
    Options o;
    const std::string verb = argc > 1 ? argv[1] : "";
    for (int i = 2; i < argc; i++) {
        const std::string a = argv[i], v = i + 1 < argc ? argv[i + 1] : "";
        if (a == "--format" && (v == "yuyv" || v == "mjpeg")) o.format = v, i++;
        else if (a == "--intervals" && v == "range") o.range = true, i++;
        else if (a == "--port") o.port = std::atoi(v.c_str()), i++;
        else if (a == "--name") o.name = v, i++;
        else if (a == "--log") o.log = v, i++;
        else if (a == "--silent-after") o.silentAfter = std::atoi(v.c_str()), i++;
        else if (a == "--errors") o.errors = std::atoi(v.c_str()), i++;
        else if (a == "--short") o.cut = std::atoi(v.c_str()), i++;
        else if (verb == "attach" && o.frames.empty() && a[0] != '-') o.frames = a;
        else return std::fprintf(stderr, "usb-webcam: what is %s?\n", a.c_str()), 2;
    }
    if (verb == "detach") return writeFile(std::string(vhci) + "detach", std::to_string(o.port)) ? 0 : 1;
    if (verb != "attach" || o.frames.empty()) {
        std::fprintf(stderr, "usage: usb-webcam attach FRAMES [options] | detach [--port N]\n");
        return 2;
    }
    Camera cam;
    cam.o = o;
    FILE* f = std::fopen(o.frames.c_str(), "rb");
    const size_t size = (size_t)o.width * o.height * 3;
    for (Bytes frame(size); f && std::fread(frame.data(), 1, size, f) == size;) cam.file.push_back(frame);
    if (f) std::fclose(f);
    if (cam.file.empty()) return std::fprintf(stderr, "usb-webcam: no %dx%d frames in %s\n", o.width, o.height,
                                              o.frames.c_str()), 1;
    offer(o);
    if (access((std::string(vhci) + "attach").c_str(), W_OK) != 0 && std::system("modprobe vhci-hcd") != 0) return 1;
    if (std::system("modprobe uvcvideo") != 0) return 1;
    if (!o.log.empty()) cam.log = std::fopen(o.log.c_str(), "a");
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return 1;
    // Attached by this process, which holds the socket; served by a child that outlives it.
    const std::string line = std::to_string(o.port) + " " + std::to_string(ends[1]) + " " +
                             std::to_string(65536 + 2 + o.port) + " 3";  // bus 1, high speed
    const pid_t child = fork();
    if (child == 0) {
        close(ends[1]);
        setsid();
        serve(cam, ends[0]);
        return 0;
    }
    close(ends[0]);
    if (!writeFile(std::string(vhci) + "attach", line)) {
        std::perror("usb-webcam: vhci_hcd would not attach it");
        kill(child, SIGTERM);
        return 1;
    }
    close(ends[1]);
    return 0;
}
