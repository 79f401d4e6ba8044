#include "export/writer.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace vuzevuz::csv {

CsvWriter::CsvWriter(FileHandle file, Interruption* interruption) : fd_(-1), interruption_(interruption) {
    grow(kFlushAt + 4096);
    fd_ = file.release();
}

CsvWriter::CsvWriter(CsvWriter&& o) noexcept
    : fd_(std::exchange(o.fd_, -1)),
      interruption_(o.interruption_),
      buf_(std::move(o.buf_)),
      size_(std::exchange(o.size_, 0)),
      cap_(std::exchange(o.cap_, 0)),
      record_start_(std::exchange(o.record_start_, 0)),
      fields_(std::exchange(o.fields_, 0)),
      width_(o.width_),
      failed_(o.failed_) {}

CsvWriter::~CsvWriter() {
    if (!failed_ && fd_ >= 0) {
        size_ = record_start_;  // a record left unfinished is not written
        (void)flush();
    }
    close_file();
}

void CsvWriter::close_file() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void CsvWriter::grow(std::size_t n) {
    const std::size_t cap = std::max(cap_ * 2, size_ + n);
    auto b = std::make_unique_for_overwrite<char[]>(cap);
    if (size_ != 0) std::memcpy(b.get(), buf_.get(), size_);
    buf_ = std::move(b);
    cap_ = cap;
}

void CsvWriter::field(std::string_view text) {
    const bool quote = text.find_first_of(",\"\r\n") != std::string_view::npos;
    if (!quote) return plain_field(text);
    char* p = begin_field(2 * text.size() + 2);
    char* q = p;
    *q++ = '"';
    for (char c : text) {
        if (c == '"') *q++ = '"';
        *q++ = c;
    }
    *q++ = '"';
    size_ += std::size_t(q - p);
}

std::expected<void, CsvError> CsvWriter::fail(CsvError e) {
    failed_ = true;
    close_file();
    return std::unexpected(std::move(e));
}

int write_all(int fd, std::string_view bytes, Interruption* interruption) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno != EINTR) return errno;
        if (n == 0) return EIO;
        if (n > 0) done += std::size_t(n);
        // A write into a pipe waits for its reader. A signal breaks off the wait, with EINTR or
        // after part of the bytes, and ends the write when the export is to end.
        if (done < bytes.size() && interruption && interruption->after_signal()) return EINTR;
    }
    return 0;
}

std::expected<void, CsvError> CsvWriter::flush() {
    if (const int err = write_all(fd_, {buf_.get(), size_}, interruption_)) {
        if (err == EINTR) return fail(CsvError{"write interrupted"});
        return fail(CsvError{std::string("write failed: ") + std::strerror(err)});
    }
    size_ = 0;
    record_start_ = 0;
    return {};
}

std::expected<void, CsvError> CsvWriter::end_record() {
    if (failed_) return std::unexpected(CsvError{"writer already failed"});
    if (width_ == 0) width_ = fields_;
    if (fields_ != width_) {
        // Drop the refused record, keep the ones before it.
        size_ = record_start_;
        const std::size_t got = fields_;
        fields_ = 0;
        (void)flush();
        return fail(CsvError{"found record with " + std::to_string(got) + " fields, but the previous record has " +
                             std::to_string(width_) + " fields"});
    }
    reserve(1);
    buf_[size_++] = '\n';
    fields_ = 0;
    record_start_ = size_;
    if (size_ >= kFlushAt) return flush();
    return {};
}

std::expected<void, CsvError> CsvWriter::finish() {
    if (failed_) return std::unexpected(CsvError{"writer already failed"});
    size_ = record_start_;
    fields_ = 0;
    if (auto r = flush(); !r) return r;
    // Closing reports deferred write errors (some file systems only tell then).
    const int rc = ::close(std::exchange(fd_, -1));
    failed_ = true;  // nothing more may be written
    if (rc != 0 && errno != EINTR) return std::unexpected(CsvError{"close failed"});
    return {};
}

}  // namespace vuzevuz::csv
