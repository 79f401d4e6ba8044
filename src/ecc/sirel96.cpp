#include "ecc/sirel96.hpp"

#include <sched.h>

#include <algorithm>
#include <string>
#include <thread>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VUZEVUZ_ECC_X86 1
#endif

namespace vuzevuz::ecc {

namespace {

// Syndrome value in bits 0-3, parity in bit 4; zero for a sound word. The map is linear
// over GF(2), so the code of a word is the xor of the codes of its nibbles.
constexpr std::uint8_t code_of(std::uint16_t w) {
    return static_cast<std::uint8_t>(syndrome_value(w) | global_parity(w) << 4);
}

// code_of(n << shift) for each nibble n.
constexpr std::array<std::uint8_t, 16> nibble_codes(unsigned shift) {
    std::array<std::uint8_t, 16> t{};
    for (unsigned n = 0; n < 16; ++n) t[n] = code_of(static_cast<std::uint16_t>(n << shift));
    return t;
}

constexpr std::array<std::array<std::uint8_t, 16>, 4> NIBBLE_CODES = {nibble_codes(0), nibble_codes(4),
                                                                      nibble_codes(8), nibble_codes(12)};

constexpr auto CODE_TABLE = [] {
    std::array<std::uint8_t, 65536> t{};
    for (std::size_t w = 0; w < t.size(); ++w)
        t[w] = NIBBLE_CODES[0][w & 15] ^ NIBBLE_CODES[1][w >> 4 & 15] ^ NIBBLE_CODES[2][w >> 8 & 15] ^
               NIBBLE_CODES[3][w >> 12];
    return t;
}();
static_assert(CODE_TABLE[0x0001] == code_of(0x0001) && CODE_TABLE[0xBFFF] == code_of(0xBFFF) &&
              CODE_TABLE[0x4000] == code_of(0x4000) && CODE_TABLE[0x0003] == code_of(0x0003));

constexpr std::uint16_t read_le(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

EccRecord finding(std::size_t range_offset, std::size_t event_offset, std::uint16_t w, std::uint8_t code) {
    const std::uint8_t v = code & 0x0F;
    const std::uint8_t p = code >> 4;
    const std::uint8_t bit = v != 0 ? SYNDROME_TO_BIT[v - 1] : 0;
    // Odd parity with a zero syndrome: a flip of bit 14 or 15, which the syndrome cannot
    // locate; the word is left as it is rather than flipping a sound data bit.
    const bool correctable = p == 1 && v != 0;
    const auto corrected = correctable ? static_cast<std::uint16_t>(w ^ (1u << bit)) : w;
    return {range_offset, event_offset, w, corrected, bit, p};
}

// Appends the finding of the word at `off` within the range starting at `start`, if any.
inline void take_word(const std::uint8_t* raw, std::size_t start, std::size_t off, std::vector<EccRecord>& out) {
    const std::uint16_t w = read_le(raw + start + off);
    const std::uint8_t code = CODE_TABLE[w];
    if (code != 0) [[unlikely]] {
        if (out.capacity() == 0) out.reserve(16);
        out.push_back(finding(off, start + off, w, code));
    }
}

using ScanFn = void (*)(const std::uint8_t* raw, std::size_t start, std::vector<EccRecord>& out);

void scan_portable(const std::uint8_t* raw, std::size_t start, std::vector<EccRecord>& out) {
    for (std::size_t off = 0; off < RANGE_BYTES; off += 2) take_word(raw, start, off, out);
}

#ifdef VUZEVUZ_ECC_X86
// The vector scans compute each word's code in the low byte of its 16-bit lane (the high
// byte holds junk) and look closer only at 128-byte groups where some code is not zero.
constexpr std::size_t GROUP_BYTES = 128;
constexpr std::size_t GROUP_VECTORS = GROUP_BYTES / 32;

// The words of a group whose code byte is marked in `nonzero` (one bit per byte, per vector).
[[gnu::noinline]] void take_group(const std::uint8_t* raw, std::size_t start, std::size_t group,
                                  const std::array<std::uint32_t, GROUP_VECTORS>& nonzero,
                                  std::vector<EccRecord>& out) {
    for (std::size_t i = 0; i < GROUP_VECTORS; ++i)
        for (std::uint32_t m = nonzero[i] & 0x55555555u; m != 0; m &= m - 1)
            take_word(raw, start, group + 32 * i + static_cast<std::size_t>(std::countr_zero(m)), out);
}

#define VUZEVUZ_TARGET_AVX2 __attribute__((target("avx2")))
#define VUZEVUZ_TARGET_GFNI __attribute__((target("avx2,gfni")))

VUZEVUZ_TARGET_AVX2 inline std::uint32_t nonzero_codes(__m256i z) {
    const __m256i codes = _mm256_and_si256(z, _mm256_set1_epi16(0x00FF));
    return ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(codes, _mm256_setzero_si256())));
}

VUZEVUZ_TARGET_AVX2 inline __m256i nibble_table(std::size_t i) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(NIBBLE_CODES[i].data())));
}

// Codes from four nibble lookups per word.
VUZEVUZ_TARGET_AVX2 void scan_nibble_tables(const std::uint8_t* raw, std::size_t start, std::vector<EccRecord>& out) {
    const __m256i t0 = nibble_table(0), t1 = nibble_table(1), t2 = nibble_table(2), t3 = nibble_table(3);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i low_bytes = _mm256_set1_epi16(0x00FF);
    const std::uint8_t* p = raw + start;
    for (std::size_t g = 0; g < RANGE_BYTES; g += GROUP_BYTES) {
        __m256i z[GROUP_VECTORS];
        __m256i any = _mm256_setzero_si256();
        for (std::size_t i = 0; i < GROUP_VECTORS; ++i) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + g + 32 * i));
            const __m256i lo = _mm256_and_si256(v, nibble);
            const __m256i hi = _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble);
            // x: codes of the low byte's nibbles; y: of the high byte's, moved down onto the low byte
            const __m256i x = _mm256_xor_si256(_mm256_shuffle_epi8(t0, lo), _mm256_shuffle_epi8(t1, hi));
            const __m256i y = _mm256_xor_si256(_mm256_shuffle_epi8(t2, lo), _mm256_shuffle_epi8(t3, hi));
            z[i] = _mm256_xor_si256(x, _mm256_srli_epi16(y, 8));
            any = _mm256_or_si256(any, z[i]);
        }
        if (!_mm256_testz_si256(any, low_bytes)) [[unlikely]] {
            const std::array<std::uint32_t, GROUP_VECTORS> nonzero = {nonzero_codes(z[0]), nonzero_codes(z[1]),
                                                                      nonzero_codes(z[2]), nonzero_codes(z[3])};
            take_group(raw, start, g, nonzero, out);
        }
    }
}

// Rows of the bit matrix that maps one byte of a word (0 low, 1 high) to its code.
constexpr std::uint64_t code_matrix(unsigned byte) {
    std::uint64_t m = 0;
    for (unsigned bit = 0; bit < 5; ++bit) {
        const unsigned row = bit < 4 ? SYNDROME_MASKS[bit] >> (8 * byte) & 0xFF : 0xFF;
        m |= std::uint64_t{row} << (8 * (7 - bit));  // the affine step reads row `bit` from byte 7 - bit
    }
    return m;
}

// Codes from one affine bit-matrix product per byte.
VUZEVUZ_TARGET_GFNI void scan_bit_matrix(const std::uint8_t* raw, std::size_t start, std::vector<EccRecord>& out) {
    const __m256i low = _mm256_set1_epi64x(static_cast<long long>(code_matrix(0)));
    const __m256i high = _mm256_set1_epi64x(static_cast<long long>(code_matrix(1)));
    const __m256i low_bytes = _mm256_set1_epi16(0x00FF);
    const std::uint8_t* p = raw + start;
    for (std::size_t g = 0; g < RANGE_BYTES; g += GROUP_BYTES) {
        __m256i z[GROUP_VECTORS];
        __m256i any = _mm256_setzero_si256();
        for (std::size_t i = 0; i < GROUP_VECTORS; ++i) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + g + 32 * i));
            const __m256i y = _mm256_gf2p8affine_epi64_epi8(v, high, 0);
            z[i] = _mm256_xor_si256(_mm256_gf2p8affine_epi64_epi8(v, low, 0), _mm256_srli_epi16(y, 8));
            any = _mm256_or_si256(any, z[i]);
        }
        if (!_mm256_testz_si256(any, low_bytes)) [[unlikely]] {
            const std::array<std::uint32_t, GROUP_VECTORS> nonzero = {nonzero_codes(z[0]), nonzero_codes(z[1]),
                                                                      nonzero_codes(z[2]), nonzero_codes(z[3])};
            take_group(raw, start, g, nonzero, out);
        }
    }
}
#endif

ScanFn scan_function(detail::Scan scan) {
    switch (scan) {
        case detail::Scan::Portable:
            return scan_portable;
#ifdef VUZEVUZ_ECC_X86
        case detail::Scan::NibbleTables:
            return scan_nibble_tables;
        case detail::Scan::BitMatrix:
            return scan_bit_matrix;
#else
        default:
            break;
#endif
    }
    return nullptr;
}

ScanFn best_scan() {
    static const ScanFn scan = [] {
        using detail::Scan;
        for (Scan s : {Scan::BitMatrix, Scan::NibbleTables})
            if (detail::scan_supported(s)) return scan_function(s);
        return scan_portable;
    }();
    return scan;
}

std::vector<EccRecord> check_range_with(ScanFn scan, Bytes raw, std::size_t r) {
    std::vector<EccRecord> out;
    if (r >= CHANNEL_RANGES || !scan) return out;
    const ChannelRange range = channel_offsets()[r];
    if (range.end > raw.size()) return out;
    scan(raw.data(), range.start, out);
    return out;
}

std::size_t usable_processors() {
    const int max_cpus = 4096;
    if (cpu_set_t* set = CPU_ALLOC(max_cpus)) {
        const std::size_t size = CPU_ALLOC_SIZE(max_cpus);
        CPU_ZERO_S(size, set);
        int count = 0;
        if (sched_getaffinity(0, size, set) == 0) count = CPU_COUNT_S(size, set);
        CPU_FREE(set);
        if (count > 0) return static_cast<std::size_t>(count);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

// Created on first use and kept for the life of the process (never destroyed, so that
// nothing of it runs while the process exits).
tbb::task_arena& worker_pool() {
    static tbb::task_arena* const arena = [] {
        const auto n = static_cast<int>(std::min<std::size_t>(usable_processors(), 1024));
        auto* a = new tbb::task_arena(n);
        a->initialize();
        return a;
    }();
    return *arena;
}

// Chip blocks counted in an event of `length` bytes, or why it cannot be read.
std::expected<std::size_t, EccFormatError> chip_blocks(std::size_t length) {
    using K = EccFormatError::Kind;
    if (length < TRAILING_BYTES) return std::unexpected(EccFormatError{K::TooShort, length});
    if (length > MAX_EVENT_BYTES) return std::unexpected(EccFormatError{K::TooManyChipBlocks, length});
    const std::size_t n = (length - TRAILING_BYTES + CHIP_BLOCK_BYTES - 1) / CHIP_BLOCK_BYTES;
    if (n > 0 && length < channel_offsets()[RANGES_PER_CHIP * n - 1].end)
        return std::unexpected(EccFormatError{K::TruncatedChipBlock, length});
    return n;
}

}  // namespace

const std::array<ChannelRange, CHANNEL_RANGES>& channel_offsets() {
    static const auto CHANNEL_OFFSETS = [] {
        std::array<ChannelRange, CHANNEL_RANGES> t{};
        for (std::size_t r = 0; r < t.size(); ++r) {
            const std::size_t start =
                (r / RANGES_PER_CHIP) * CHIP_BLOCK_BYTES + (r % RANGES_PER_CHIP) * CHANNEL_BLOCK_BYTES + 3;
            t[r] = {start, start + RANGE_BYTES};
        }
        return t;
    }();
    return CHANNEL_OFFSETS;
}

std::string EccFormatError::message() const {
    const std::string head = "raw event of length " + std::to_string(length) + " ";
    switch (kind) {
        case Kind::TooShort:
            return head + "is too short (at least " + std::to_string(TRAILING_BYTES) + " bytes expected)";
        case Kind::TooManyChipBlocks:
            return head + "holds more than " + std::to_string(MAX_CHIP_BLOCKS) + " chip blocks (at most " +
                   std::to_string(MAX_EVENT_BYTES) + " bytes expected)";
        case Kind::TruncatedChipBlock:
            break;
    }
    return head + "ends inside the channel data of its last chip block";
}

std::vector<EccRecord> check_channel_range(Bytes raw, std::size_t r) { return check_range_with(best_scan(), raw, r); }

namespace detail {

bool scan_supported(Scan scan) {
#ifdef VUZEVUZ_ECC_X86
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") != 0;
    switch (scan) {
        case Scan::Portable: return true;
        case Scan::NibbleTables: return avx2;
        case Scan::BitMatrix: return avx2 && __builtin_cpu_supports("gfni") != 0;
    }
    return false;
#else
    return scan == Scan::Portable;
#endif
}

std::vector<EccRecord> check_channel_range(Scan scan, Bytes raw, std::size_t r) {
    return check_range_with(scan_supported(scan) ? scan_function(scan) : nullptr, raw, r);
}

}  // namespace detail

std::expected<std::vector<EccRecord>, EccFormatError> _ecc_check(Bytes raw) {
    tbb::task_arena& pool = worker_pool();
    const auto n = chip_blocks(raw.size());
    if (!n) return std::unexpected(n.error());
    const std::size_t ranges = RANGES_PER_CHIP * *n;

    std::array<std::vector<EccRecord>, CHANNEL_RANGES> per_range;
    pool.execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, ranges), [&](const tbb::blocked_range<std::size_t>& rs) {
            for (std::size_t r = rs.begin(); r != rs.end(); ++r) per_range[r] = check_channel_range(raw, r);
        });
    });

    std::size_t total = 0;
    for (std::size_t r = 0; r < ranges; ++r) total += per_range[r].size();
    std::vector<EccRecord> all;
    all.reserve(total);
    for (std::size_t r = 0; r < ranges; ++r) all.insert(all.end(), per_range[r].begin(), per_range[r].end());
    return all;
}

void write_corrections(std::span<std::uint8_t> raw, std::span<const EccRecord> findings) {
    for (const EccRecord& f : findings) {
        if (f.parity != 1 || f.event_offset + 1 >= raw.size()) continue;
        raw[f.event_offset] = static_cast<std::uint8_t>(f.corrected & 0xFF);
        raw[f.event_offset + 1] = static_cast<std::uint8_t>(f.corrected >> 8);
    }
}

}  // namespace vuzevuz::ecc
