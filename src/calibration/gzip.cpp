#include "calibration/gzip.hpp"

#include <algorithm>
#include <new>

namespace vuzevuz::calibration {

GzipStream::GzipStream(std::span<const std::uint8_t> compressed, alloc_func zalloc, free_func zfree, voidpf opaque)
    : input_(compressed) {
    zs_.zalloc = zalloc;
    zs_.zfree = zfree;
    zs_.opaque = opaque;
    // 16 + 15: a gzip wrapper only, with the largest window.
    const int rc = inflateInit2(&zs_, 16 + MAX_WBITS);
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    ready_ = rc == Z_OK;
}

GzipStream::~GzipStream() {
    if (ready_) inflateEnd(&zs_);
}

std::expected<std::span<const std::uint8_t>, pickle::Error> GzipStream::next() {
    using Fail = std::unexpected<pickle::Error>;
    if (!ready_) return Fail(pickle::Error{"could not start the gzip decoder"});
    if (done_) return std::span<const std::uint8_t>{};
    zs_.next_out = out_.data();
    zs_.avail_out = static_cast<uInt>(out_.size());
    while (zs_.avail_out == out_.size()) {
        if (zs_.avail_in == 0 && fed_ < input_.size()) {
            const std::size_t n = std::min(kInputBuffer, input_.size() - fed_);
            zs_.next_in = const_cast<Bytef*>(input_.data() + fed_);
            zs_.avail_in = static_cast<uInt>(n);
            fed_ += n;
        }
        const int rc = inflate(&zs_, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) {
            done_ = true;
            if (zs_.avail_in != 0 || fed_ != input_.size()) return Fail(pickle::Error{"data after the gzip member"});
            break;
        }
        if (rc == Z_BUF_ERROR && zs_.avail_in == 0 && fed_ == input_.size())
            return Fail(pickle::Error{"gzip stream truncated"});
        if (rc == Z_MEM_ERROR) throw std::bad_alloc();
        if (rc != Z_OK && rc != Z_BUF_ERROR) return Fail(pickle::Error{"corrupt gzip stream"});
    }
    return std::span<const std::uint8_t>(out_.data(), out_.size() - zs_.avail_out);
}

}  // namespace vuzevuz::calibration
