// A one-member gzip stream decoded piece by piece.
#pragma once

#include <zlib.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "calibration/pickle.hpp"

namespace vuzevuz::calibration {

// Decodes a gzip member (header, DEFLATE data, CRC-32 and length checked) from bytes in memory,
// reading them through a 32 KiB input window. Anything after the member is an error. zlib
// running out of memory says nothing about the data: it throws std::bad_alloc, from the
// constructor or from next().
class GzipStream final : public pickle::ByteStream {
public:
    static constexpr std::size_t kInputBuffer = 32768;

    // zlib's own allocator unless `zalloc` and `zfree` are given.
    explicit GzipStream(std::span<const std::uint8_t> compressed, alloc_func zalloc = Z_NULL, free_func zfree = Z_NULL,
                        voidpf opaque = Z_NULL);
    ~GzipStream() override;
    GzipStream(const GzipStream&) = delete;
    GzipStream& operator=(const GzipStream&) = delete;

    std::expected<std::span<const std::uint8_t>, pickle::Error> next() override;

private:
    std::span<const std::uint8_t> input_;
    std::size_t fed_ = 0;  // input bytes handed to zlib so far
    z_stream zs_{};
    bool ready_ = false;
    bool done_ = false;
    std::array<std::uint8_t, 65536> out_;
};

}  // namespace vuzevuz::calibration
