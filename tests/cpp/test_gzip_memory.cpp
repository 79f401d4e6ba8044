// zlib running out of memory while a gzip blob is decoded: std::bad_alloc, never a stream that
// reads as corrupt or short. zlib allocates through the allocator given to the stream, which here
// fails from a chosen allocation on.
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "calibration/gzip.hpp"

using namespace vuzevuz::calibration;

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

std::vector<std::uint8_t> gzip(const std::vector<std::uint8_t>& raw) {
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
        GzipStream stream(blob, failing_alloc, release, &budget);
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

void out_of_memory_is_thrown() {
    std::vector<std::uint8_t> raw(300000);
    for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(i * 7919 >> 5);
    const auto blob = gzip(raw);
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
    out_of_memory_is_thrown();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
