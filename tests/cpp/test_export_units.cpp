// Units of the CSV export and the pedestal correction that Python cannot reach with arbitrary
// event shapes: cell texts, the CSV writer, the merged window order, event rows, the correction,
// and the pedestal blob's gzip decoder out of memory.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <zlib.h>

#include "calibration/corrections.hpp"
#include "calibration/gzip.hpp"
#include "calibration/pedestals.hpp"
#include "export/csv.hpp"
#include "export/float_text.hpp"
#include "export/merge.hpp"
#include "export/rows.hpp"
#include "export/writer.hpp"
#include "parsing/hestrelv1.hpp"
#include "parsing/ysk16.hpp"

using namespace vuzevuz;

// While non-zero, every allocation of at least this many bytes fails.
static std::size_t fail_allocations_from = 0;

void* operator new(std::size_t n) {
    if (fail_allocations_from != 0 && n >= fail_allocations_from) throw std::bad_alloc();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

int failed = 0, passed = 0;

#define CHECK(cond)                                                                   \
    do {                                                                              \
        if (cond) {                                                                   \
            ++passed;                                                                 \
        } else {                                                                      \
            ++failed;                                                                 \
            std::fprintf(stderr, "%s:%d: CHECK(%s) failed\n", __FILE__, __LINE__, #cond); \
        }                                                                             \
    } while (0)

#define CHECK_EQ(a, b)                                                                                         \
    do {                                                                                                       \
        const auto& a_ = (a);                                                                                  \
        const auto& b_ = (b);                                                                                  \
        if (a_ == b_) {                                                                                        \
            ++passed;                                                                                          \
        } else {                                                                                               \
            ++failed;                                                                                          \
            std::fprintf(stderr, "%s:%d: %s == %s failed\n", __FILE__, __LINE__, #a, #b);                      \
        }                                                                                                      \
    } while (0)

std::string text_of(float v) {
    char buf[csv::kMaxFloatText];
    return std::string(buf, csv::format_float(v, buf));
}

// A temporary file that a CsvWriter writes to and the test reads back.
struct TempFile {
    std::string path;
    TempFile() {
        char tmpl[] = "/tmp/vuzevuz-unit-XXXXXX";
        const int fd = ::mkstemp(tmpl);
        ::close(fd);
        path = tmpl;
    }
    ~TempFile() { ::unlink(path.c_str()); }
    FileHandle open_for_writing() const { return FileHandle(::open(path.c_str(), O_WRONLY | O_TRUNC)); }
    std::string read() const {
        std::string out;
        if (FILE* f = std::fopen(path.c_str(), "rb")) {
            char buf[4096];
            std::size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
            std::fclose(f);
        }
        return out;
    }
};

// Everything written to file descriptor 1 while it lives.
struct CaptureStdout {
    TempFile file;
    int saved;
    CaptureStdout() {
        std::fflush(stdout);
        saved = ::dup(1);
        ::dup2(file.open_for_writing().fd(), 1);
    }
    std::string finish() {
        ::dup2(saved, 1);
        ::close(saved);
        return file.read();
    }
};

void float_texts() {
    const struct {
        float v;
        const char* text;
    } cases[] = {
        {0.0f, "0"},
        {3.0f, "3"},
        {1.5f, "1.5"},
        {-2.25f, "-2.25"},
        {-0.0f, "-0"},
        {0.1f, "0.1"},
        {1.0f / 3.0f, "0.33333334"},
        {1e-7f, "0.0000001"},
        {1e20f, "100000000000000000000"},
        {16777216.0f, "16777216"},
        {4294967296.0f, "4294967300"},
        {-16777215.0f, "-16777215"},
        {123456.5f, "123456.5"},
        {std::numeric_limits<float>::infinity(), "inf"},
        {-std::numeric_limits<float>::infinity(), "-inf"},
        {std::numeric_limits<float>::quiet_NaN(), ""},
        {std::numeric_limits<float>::denorm_min(), "0.000000000000000000000000000000000000000000001"},
        {std::numeric_limits<float>::max(), "340282350000000000000000000000000000000"},
        {-1.25e-3f, "-0.00125"},
    };
    for (const auto& c : cases) {
        CHECK_EQ(text_of(c.v), std::string(c.text));
        if (text_of(c.v) != c.text) std::fprintf(stderr, "  got '%s' for '%s'\n", text_of(c.v).c_str(), c.text);
    }

    // Random floats of every magnitude: positional, reads back exactly, as few digits as the
    // shortest scientific form.
    std::mt19937 rng(7);
    int bad = 0;
    for (int i = 0; i < 200000; ++i) {
        std::uint32_t bits = rng();
        float v;
        std::memcpy(&v, &bits, sizeof v);
        if (!std::isfinite(v)) continue;
        const std::string t = text_of(v);
        float back;
        const auto r = std::from_chars(t.data(), t.data() + t.size(), back);
        char sci[64];
        const auto s = std::to_chars(sci, sci + 64, v, std::chars_format::scientific);
        std::size_t sig = 0;
        for (const char* p = sci; p < s.ptr && *p != 'e'; ++p) sig += (*p >= '0' && *p <= '9');
        std::size_t digits = 0;
        bool leading = true;
        for (char c : t) {
            if (c < '0' || c > '9') continue;
            if (c == '0' && leading) continue;
            leading = false;
            ++digits;
        }
        // Trailing zeros of a whole number are placeholders, not significant digits.
        std::size_t trailing = 0;
        if (t.find('.') == std::string::npos)
            for (auto it = t.rbegin(); it != t.rend() && *it == '0'; ++it) ++trailing;
        const bool ok = r.ec == std::errc() && r.ptr == t.data() + t.size() &&
                        std::memcmp(&back, &v, sizeof v) == 0 && t.find('e') == std::string::npos &&
                        digits - trailing <= sig && (t.find('.') == std::string::npos || t.back() != '0');
        if (!ok && bad++ < 5) std::fprintf(stderr, "  bad text '%s' for %a\n", t.c_str(), double(v));
    }
    CHECK_EQ(bad, 0);
}

void csv_writer() {
    {
        TempFile f;
        csv::CsvWriter w(f.open_for_writing());
        w.field(std::string_view("plain"));
        w.field(std::string_view("a,b"));
        w.field(std::string_view("say \"hi\""));
        w.field(std::string_view("two\nlines"));
        w.field(std::string_view("cr\r"));
        w.field(std::string_view(""));
        CHECK(w.end_record().has_value());
        CHECK(w.finish().has_value());
        CHECK_EQ(f.read(), std::string("plain,\"a,b\",\"say \"\"hi\"\"\",\"two\nlines\",\"cr\r\",\n"));
    }
    {
        // A record of another field count is refused; the records before it stay in the file.
        TempFile f;
        csv::CsvWriter w(f.open_for_writing());
        w.plain_field("a");
        w.plain_field("b");
        CHECK(w.end_record().has_value());
        w.field(1.0f);
        w.field(2.0f);
        CHECK(w.end_record().has_value());
        w.field(3.0f);
        CHECK(!w.end_record().has_value());
        CHECK(!w.finish().has_value());
        CHECK_EQ(f.read(), std::string("a,b\n1,2\n"));
    }
    {
        // Records are written out when the writer is dropped without finishing.
        TempFile f;
        {
            csv::CsvWriter w(f.open_for_writing());
            w.plain_field("x");
            CHECK(w.end_record().has_value());
            w.plain_field("unfinished");
        }
        CHECK_EQ(f.read(), std::string("x\n"));
    }
    {
        // A write failure is reported.
        const int fd = ::open("/dev/full", O_WRONLY);
        if (fd >= 0) {
            csv::CsvWriter w{FileHandle(fd)};
            w.plain_field("x");
            CHECK(w.end_record().has_value());
            CHECK(!w.finish().has_value());
        }
    }
}

using Labels = parsing::PerChannel<std::uint16_t>;

void merged_order() {
    const struct {
        Labels in;
        std::vector<std::uint16_t> out;
    } cases[] = {
        {{}, {}},
        {{{}, {}}, {}},
        {{{7, 8, 9}}, {7, 8, 9}},
        {{{510, 511, 0, 1}}, {510, 511, 0, 1}},
        {{{3, 4, 5}, {4, 5, 6}, {}, {5, 6, 7}}, {3, 4, 5, 6, 7}},
        {{{1, 3}, {2}}, {1, 2, 3}},
        {{{5, 5}}, {5}},
        {{{511, 0}, {510, 511, 0}}, {510, 511, 0}},
        {{{510, 511, 0}, {0, 1}, {509, 510, 511}}, {510, 511, 0, 1, 509, 510, 511}},
        {{{510, 511, 0}, {509, 510, 511}, {0, 1}}, {0, 1, 509, 510, 511, 0}},
    };
    for (const auto& c : cases) CHECK_EQ(csv::merge_window_labels(c.in), c.out);
}

template <class E>
std::string rows_of(const E& ev, std::size_t samples, std::vector<std::size_t> channels, std::size_t n,
                    std::string* printed = nullptr) {
    TempFile f;
    Params p;
    p.samples = samples;
    csv::CsvWriter w(f.open_for_writing());
    CaptureStdout cap;
    const auto r = csv::write_event(w, p, ev, channels, n);
    const std::string out = cap.finish();
    if (printed) *printed = out;
    CHECK(r.has_value());
    CHECK(w.finish().has_value());
    return f.read();
}

parsing::Ysk16Event ysk(parsing::PerChannel<float> data, Labels labels, Labels time) {
    parsing::Ysk16Event ev;
    ev.data = std::move(data);
    ev.window_labels = std::move(labels);
    ev.time = std::move(time);
    return ev;
}

void event_rows() {
    std::string printed;
    // The channels start at the row of their first label; cells without a sample stay empty.
    CHECK_EQ(rows_of(ysk({{1.5f, 2, 2.5f, 3}, {-1, 0.25f}}, {{3, 4}, {4}}, {{0, 1, 2, 3}, {0, 1}}), 2, {0, 1}, 5, &printed),
             std::string("0,5,3,1.5,0,,,\n0,5,3,2,1,,,\n0,5,4,2.5,2,4,-1,0\n0,5,4,3,3,4,0.25,1\n"));
    CHECK_EQ(printed, std::string());

    // Timing values stand on `samples` rows each and pass through a 32-bit float.
    {
        parsing::Hestrelv1Event ev;
        ev.data = {{10, 11, 12, 13}};
        ev.window_labels = {{7, 8}};
        ev.time = {{0, 1, 2, 3}};
        ev.timing = {{100, 4294967295u}};
        CHECK_EQ(rows_of(ev, 2, {0}, 0), std::string("0,0,7,10,0,100\n0,0,7,11,1,100\n0,0,8,12,2,4294967300\n"
                                                     "0,0,8,13,3,4294967300\n"));
        ev.timing = {{16777217u, 1}};
        CHECK_EQ(rows_of(ev, 2, {0}, 0).substr(0, 20), std::string("0,0,7,10,0,16777216\n"));
    }

    // A channel that does not fit below the last row is reported and left out.
    CHECK_EQ(rows_of(ysk({{1, 2, 3, 4}}, {{5, 5}}, {{0, 1, 0, 1}}), 2, {0}, 3, &printed), std::string("0,3,,,\n0,3,,,\n"));
    CHECK_EQ(printed, std::string("Bad channel 0 at Event 3\n"));

    // samples 0: no rows, and every channel with values is reported.
    CHECK_EQ(rows_of(ysk({{1}, {}, {2}}, {{1}, {}, {1}}, {{0}, {}, {0}}), 0, {0, 2}, 1, &printed), std::string());
    CHECK_EQ(printed, std::string("Bad channel 0 at Event 1\nBad channel 2 at Event 1\n"));

    // Rows are not aligned by label.
    CHECK_EQ(rows_of(ysk({{1, 2}, {3}}, {{1, 3}, {2}}, {{0, 1}, {0}}), 1, {0, 1}, 0),
             std::string("0,0,1,1,0,,,\n0,0,3,2,1,2,3,0\n0,0,,,,,,\n"));

    // A channel's columns follow its place in the list, not its number; an empty one stays empty.
    CHECK_EQ(rows_of(ysk({{1}, {}, {2}}, {{4}, {}, {4}}, {{0}, {}, {0}}), 1, {0, 1, 2}, 0),
             std::string("0,0,4,1,0,,,,4,2,0\n"));

    // No channels: two fields per row.
    CHECK_EQ(rows_of(ysk({{1, 2}}, {{0}}, {{0, 1}}), 2, {}, 4), std::string("0,4\n0,4\n"));

    // NaN data values print as empty cells.
    CHECK_EQ(rows_of(ysk({{std::nanf("")}}, {{0}}, {{0}}), 1, {0}, 0), std::string("0,0,0,,0\n"));

    // Sources of the wrong length are reported instead of read past their end.
    CHECK_EQ(rows_of(ysk({{1, 2}}, {{0, 1}}, {{0}}), 1, {0}, 0, &printed), std::string("0,0,0,1,0\n0,0,1,2,0\n"));
    CHECK_EQ(rows_of(ysk({{1, 2, 3}}, {{0, 1, 2}}, {{0, 1}}), 1, {0}, 0, &printed),
             std::string("0,0,,,\n0,0,,,\n0,0,,,\n"));
    CHECK_EQ(printed, std::string("Bad channel 0 at Event 0\n"));
    // A listed channel with values but no label, while others have labels.
    CHECK_EQ(rows_of(ysk({{1}, {2}}, {{0}, {}}, {{0}, {0}}), 1, {0, 1}, 0, &printed), std::string("0,0,0,1,0,,,\n"));
    CHECK_EQ(printed, std::string("Bad channel 1 at Event 0\n"));
}

// Everything a writer sends through a pipe: its length and its last bytes.
struct PipeSink {
    int fds[2] = {-1, -1};
    std::size_t bytes = 0;
    std::string tail;
    std::thread reader;
    PipeSink() {
        if (::pipe(fds) != 0) return;
        reader = std::thread([this] {
            char buf[1 << 16];
            ssize_t k;
            while ((k = ::read(fds[0], buf, sizeof buf)) > 0 || (k < 0 && errno == EINTR)) {
                if (k < 0) continue;
                bytes += std::size_t(k);
                tail.append(buf, std::size_t(k));
                if (tail.size() > 4096) tail.erase(0, tail.size() - 4096);
            }
        });
    }
    // The write end, for a CsvWriter to take over (it closes it when it finishes).
    FileHandle write_end() const { return FileHandle(fds[1]); }
    void join() {
        reader.join();
        ::close(fds[0]);
    }
};

// A table of cells of any size that memory could hold is written row by row; one that could not
// be held is refused before any row.
void large_event_tables() {
    // 1000 listed channels without values, one label and 44711 samples: 44711 rows of 3002 cells,
    // just over 2^27 cells.
    parsing::Ysk16Event ev;
    ev.data.resize(1000);
    ev.window_labels.resize(1000);
    ev.time.resize(1000);
    ev.window_labels[0] = {9};
    std::vector<std::size_t> channels(1000);
    for (std::size_t c = 0; c < channels.size(); ++c) channels[c] = c;
    Params p;
    p.samples = 44711;
    {
        PipeSink sink;
        csv::CsvWriter w(sink.write_end());
        CHECK(csv::write_event(w, p, ev, channels, 7).has_value());
        CHECK(w.finish().has_value());
        sink.join();
        const std::string row = "0,7" + std::string(3000, ',') + "\n";
        CHECK_EQ(sink.bytes, 44711 * row.size());
        const std::string last_two = row + row;
        CHECK_EQ(sink.tail, last_two.substr(last_two.size() - 4096));
    }
    // Labels 0 to 3 and 2^40 samples: 2^42 rows of 5 cells, 80 TiB of floats.
    ev.window_labels[0] = {0, 1, 2, 3};
    p.samples = std::size_t(1) << 40;
    {
        TempFile f;
        csv::CsvWriter w(f.open_for_writing());
        const auto r = csv::write_event(w, p, ev, std::vector<std::size_t>{0}, 0);
        CHECK(!r.has_value() && r.error().kind == ExportError::Kind::Csv);
    }
    // Rows times samples beyond any size.
    p.samples = std::numeric_limits<std::size_t>::max();
    {
        TempFile f;
        csv::CsvWriter w(f.open_for_writing());
        CHECK(!csv::write_event(w, p, ev, std::vector<std::size_t>{}, 0).has_value());
    }
}

void header_and_channels() {
    std::vector<parsing::Ysk16Event> events;
    events.push_back(ysk({{}, {}, {1}, {}, {}, {}, {}, {}, {}, {}, {}}, {}, {}));
    events.push_back(ysk({{}, {}, {}, {}, {}, {}, {}, {}, {}, {1}, {1}}, {}, {}));
    const auto list = csv::channels(events);
    CHECK_EQ(list, (std::vector<std::size_t>{2, 9, 10}));
    TempFile f;
    csv::CsvWriter w(f.open_for_writing());
    CHECK(csv::write_header(w, list, true).has_value());
    CHECK(w.finish().has_value());
    CHECK_EQ(f.read(), std::string("acq_num,evt_num,windnum_ch2,data_ch2,time_ch2,timing_ch2,windnum_ch9,data_ch9,"
                                   "time_ch9,timing_ch9,windnum_ch10,data_ch10,time_ch10,timing_ch10\n"));
}

calibration::Pedestals table(std::vector<std::vector<std::vector<float>>> t) { return calibration::Pedestals{std::move(t)}; }

void correction() {
    Params p;
    p.channels = 1;
    p.samples = 4;
    // The label, not the window's place, selects the pedestals.
    {
        std::vector<std::vector<float>> windows(8);
        windows[7] = {1, 2, 3, 4};
        windows[2] = {10, 20, 30, 40};
        auto ped = table({windows});
        auto ev = ysk({{100, 100, 100, 100, 100, 100, 100, 100}}, {{7, 2}}, {{}});
        CHECK(ped.correct(ev, p).has_value());
        CHECK_EQ(ev.data[0], (std::vector<float>{99, 98, 97, 96, 90, 80, 70, 60}));
    }
    // More values than labels times samples: fails at the first one beyond, the others stay corrected.
    {
        auto ped = table({{{1, 1, 1, 1}}});
        auto ev = ysk({{5, 5, 5, 5, 5}}, {{0}}, {{}});
        CHECK(!ped.correct(ev, p).has_value());
        CHECK_EQ(ev.data[0], (std::vector<float>{4, 4, 4, 4, 5}));
    }
    // A window's pedestals shorter than samples fail at the first sample beyond them.
    {
        auto ped = table({{{1, 1}}});
        auto ev = ysk({{5, 5, 5, 5}}, {{0}}, {{}});
        CHECK(!ped.correct(ev, p).has_value());
        CHECK_EQ(ev.data[0], (std::vector<float>{4, 4, 5, 5}));
    }
    // A label beyond the table fails.
    {
        auto ped = table({{{1, 1, 1, 1}}});
        auto ev = ysk({{5, 5, 5, 5}}, {{1}}, {{}});
        CHECK(!ped.correct(ev, p).has_value());
    }
    // channels 0: nothing happens, whatever the event holds.
    {
        Params none = p;
        none.channels = 0;
        auto ped = table({});
        auto ev = ysk({{5}}, {{9}}, {{}});
        CHECK(ped.correct(ev, none).has_value());
        CHECK_EQ(ev.data[0], (std::vector<float>{5}));
    }
    // Channels beyond the table only fail when they have labels and values.
    {
        Params two = p;
        two.channels = 3;
        auto ped = table({{{1, 1, 1, 1}}});
        auto ev = ysk({{5, 5, 5, 5}, {}, {7}}, {{0}, {3}, {}}, {{}, {}, {}});
        CHECK(ped.correct(ev, two).has_value());
        auto bad = ysk({{5, 5, 5, 5}, {7}}, {{0}, {3}}, {{}, {}});
        two.channels = 2;
        CHECK(!ped.correct(bad, two).has_value());
    }
    // samples 0 with labels and values cannot pair a value with its window: refused.
    {
        Params zero = p;
        zero.samples = 0;
        auto ped = table({{{1}}});
        auto ev = ysk({{5}}, {{0}}, {{}});
        CHECK(!ped.correct(ev, zero).has_value());
        auto empty = ysk({{}}, {{0}}, {{}});
        CHECK(ped.correct(empty, zero).has_value());
    }
    // Fewer label lists than channels fails.
    {
        Params two = p;
        two.channels = 2;
        auto ped = table({{{1, 1, 1, 1}}});
        auto ev = ysk({{5, 5, 5, 5}}, {{0}}, {{}});
        CHECK(!ped.correct(ev, two).has_value());
    }
}

// The correcting iterator: failures are items, the iteration goes on.
void corrected_iterator() {
    struct Inner {
        std::vector<parsing::Ysk16Event> events;
        std::size_t at = 0;
        std::optional<parsing::Ysk16Event> next() {
            if (at == events.size()) return std::nullopt;
            return events[at++];
        }
    };
    Params p;
    p.channels = 1;
    p.samples = 1;
    Inner inner{{ysk({{5}}, {{0}}, {{}}), ysk({{5}}, {{3}}, {{}}), ysk({{6}}, {{0}}, {{}})}};
    auto corrections = calibration::Corrections(p).with_pedestals(table({{{1}}}));
    {
        calibration::Corrected<Inner, parsing::Ysk16Event> it(corrections, inner);
        auto a = it.next();
        CHECK(a && *a && (**a).data[0][0] == 4.0f);
        auto b = it.next();
        CHECK(b && !*b);
        auto c = it.next();
        CHECK(c && *c && (**c).data[0][0] == 5.0f);
        CHECK(!it.next());
        CHECK(!it.next());
    }
    {
        // Without a table every event passes unchanged.
        calibration::Corrected<Inner, parsing::Ysk16Event> it(std::move(corrections).with_pedestals(std::nullopt), inner);
        int n = 0;
        while (auto item = it.next()) {
            CHECK(item->has_value());
            ++n;
        }
        CHECK_EQ(n, 3);
    }
}

// A temporary acquisition directory holding only a "metadata.yml" of one ysk16 channel.
struct TempAcquisition {
    std::string path;
    TempAcquisition() {
        char tmpl[] = "/tmp/vuzevuz-unit-XXXXXX";
        path = ::mkdtemp(tmpl);
        if (FILE* f = std::fopen(meta().c_str(), "w")) {
            std::fputs("params:\n  model: ysk16\n  channels: 1\n  windows: 1\n  samples: 1\nregisters: {}\n", f);
            std::fclose(f);
        }
    }
    ~TempAcquisition() {
        ::unlink(meta().c_str());
        ::rmdir(path.c_str());
    }
    std::string meta() const { return path + "/metadata.yml"; }
};

// A block size of 0 cannot cut the index list: refused before any file is made.
void zero_block_size() {
    const TempAcquisition dir;
    auto acq = Acquisition::open(dir.path);
    CHECK(acq.has_value());
    if (acq) {
        const std::vector<std::uint32_t> indices{0};
        auto params = acq->metadata();
        CHECK(params.has_value());
        auto r = csv::export_csv_from_acq(*acq, indices, calibration::Corrections(params->params), dir.path, 0);
        CHECK(!r.has_value() && std::holds_alternative<csv::ZeroBlockSize>(r.error()));
        const std::string file = csv::block_path(dir.path, *acq->name(), 0);
        CHECK(::access(file.c_str(), F_OK) != 0);
    }
}

std::size_t open_descriptors() {
    std::size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) ++n;
        ::closedir(d);
    }
    return n;
}

// When the writer's buffer cannot be allocated, the export fails with bad_alloc and the file it
// opened is closed.
void buffer_allocation_failure() {
    const TempAcquisition dir;
    auto acq = Acquisition::open(dir.path);
    CHECK(acq.has_value());
    auto params = acq ? acq->metadata() : std::expected<Metadata, MetadataError>();
    CHECK(params.has_value());
    if (acq && params) {
        const std::vector<std::uint32_t> indices{0};
        const std::size_t before = open_descriptors();
        bool threw = false;
        fail_allocations_from = csv::CsvWriter::kFlushAt;
        try {
            (void)csv::export_csv_from_acq(*acq, indices, calibration::Corrections(params->params), dir.path, 1000);
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        fail_allocations_from = 0;
        CHECK(threw);
        CHECK_EQ(open_descriptors(), before);
        ::unlink(csv::block_path(dir.path, *acq->name(), 0).c_str());
    }
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
}

// Lines of a file, or -1 when it does not exist.
int lines_of(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return -1;
    int n = 0;
    for (int c; (c = std::fgetc(f)) != EOF;) n += c == '\n';
    std::fclose(f);
    return n;
}

// An interruption ends the export at once: earlier blocks stay whole, the block in progress keeps
// what was written of it (nothing while its events are read; then the header and the rows of the
// events written before), and no later block is begun. Each block of three events asks three
// times while reading, then three times while writing.
void interrupted_export() {
    const TempAcquisition dir;
    // One ysk16 event of one sample: chip header, block header, inverted sample, block footer, chip footer.
    const std::vector<std::uint8_t> event{0xA5, 0x00, 0x00, 0xFE, 0xFF, 0x00, 0x00, 0x5A, 0x5A};
    write_file(dir.path + "/0.bin", event);
    write_file(dir.path + "/0.idx", {0, 0, 0, 0, std::uint8_t(event.size()), 0, 0, 0});
    auto acq = Acquisition::open(dir.path);
    auto params = acq ? acq->metadata() : std::expected<Metadata, MetadataError>();
    CHECK(acq.has_value() && params.has_value());
    if (!acq || !params) return;
    const std::vector<std::uint32_t> indices(9, 0);
    struct Case {
        int stop_at;      // the ask answered true; 0: none
        int lines[3];     // lines of blocks 0 to 2, -1 for no file
    };
    for (const Case c : {Case{2, {0, -1, -1}}, Case{5, {2, -1, -1}}, Case{8, {4, 0, -1}}, Case{0, {4, 4, 4}}}) {
        int asked = 0;
        csv::Interruption interruption([&](bool) { return ++asked == c.stop_at; });
        auto r = csv::export_csv_from_acq(*acq, indices, calibration::Corrections(params->params), dir.path, 3,
                                          &interruption);
        CHECK_EQ(r.has_value(), c.stop_at == 0);
        if (!r) CHECK(std::holds_alternative<csv::Interrupted>(r.error()));
        for (std::size_t k = 0; k < 3; ++k) {
            const std::string file = csv::block_path(dir.path, *acq->name(), k);
            CHECK_EQ(lines_of(file), c.lines[k]);
            ::unlink(file.c_str());
        }
    }
    ::unlink((dir.path + "/0.bin").c_str());
    ::unlink((dir.path + "/0.idx").c_str());
}

// Allocations granted before the allocator fails, and those made so far.
struct Budget {
    int granted;
    int made = 0;
};

voidpf failing_alloc(voidpf opaque, uInt items, uInt size) {
    auto* budget = static_cast<Budget*>(opaque);
    if (budget->made++ >= budget->granted) return Z_NULL;
    return std::calloc(items, size);
}

void release(voidpf, voidpf p) { std::free(p); }

std::vector<std::uint8_t> gzip_of(const std::vector<std::uint8_t>& raw) {
    z_stream zs{};
    deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::vector<std::uint8_t> out(deflateBound(&zs, static_cast<uLong>(raw.size())));
    zs.next_in = const_cast<Bytef*>(raw.data());
    zs.avail_in = static_cast<uInt>(raw.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

enum class Outcome { Whole, OutOfMemory, Other };

// Decodes `blob` with `granted` allocations allowed.
Outcome decode(const std::vector<std::uint8_t>& blob, const std::vector<std::uint8_t>& raw, int granted) {
    Budget budget{granted};
    try {
        calibration::GzipStream stream(blob, failing_alloc, release, &budget);
        std::vector<std::uint8_t> got;
        for (;;) {
            auto piece = stream.next();
            if (!piece) return Outcome::Other;
            if (piece->empty()) break;
            got.insert(got.end(), piece->begin(), piece->end());
        }
        return got == raw ? Outcome::Whole : Outcome::Other;
    } catch (const std::bad_alloc&) {
        return Outcome::OutOfMemory;
    }
}

// zlib running out of memory while a blob is decoded: std::bad_alloc, never a stream that reads
// as corrupt or short. zlib allocates through the allocator given to the stream, which here fails
// from a chosen allocation on.
void zlib_out_of_memory() {
    std::vector<std::uint8_t> raw(300000);
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(i * 7919 >> 5);
    const auto blob = gzip_of(raw);
    // None granted: the decoder cannot start; one: it starts, and its window cannot be had.
    CHECK(decode(blob, raw, 0) == Outcome::OutOfMemory);
    CHECK(decode(blob, raw, 1) == Outcome::OutOfMemory);
    bool whole_seen = false;
    for (int granted = 0; granted < 8; ++granted) {
        const Outcome o = decode(blob, raw, granted);
        CHECK(o != Outcome::Other);
        whole_seen = whole_seen || o == Outcome::Whole;
    }
    CHECK(whole_seen);
    // Corrupt data still reads as corrupt, with memory to spare.
    auto corrupt = blob;
    corrupt[corrupt.size() / 2] ^= 0xFF;
    CHECK(decode(corrupt, raw, 100) == Outcome::Other);
}

}  // namespace

int main() {
    float_texts();
    csv_writer();
    merged_order();
    event_rows();
    large_event_tables();
    header_and_channels();
    correction();
    corrected_iterator();
    zero_block_size();
    buffer_allocation_failure();
    interrupted_export();
    zlib_out_of_memory();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
