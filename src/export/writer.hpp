// A CSV writer over one open file: "," between fields, "\n" after every record, fields quoted
// only where they need it (RFC 4180), and every record as long as the first.
#pragma once

#include <cstddef>
#include <cstring>
#include <expected>
#include <memory>
#include <string_view>

#include "acquisition/chunk.hpp"
#include "error/error.hpp"
#include "export/float_text.hpp"
#include "export/interruption.hpp"

namespace vuzevuz::csv {

// Writes all of `bytes` to `fd`, going on after a signal unless `interruption`, when given, then
// says to end. 0 once all is written, EINTR when it ended so, or the errno of the failure.
int write_all(int fd, std::string_view bytes, Interruption* interruption);

class CsvWriter {
public:
    // Bytes collected before they are handed to the file.
    static constexpr std::size_t kFlushAt = std::size_t(1) << 20;

    // Takes over the open file; it is closed when the buffer cannot be allocated. A write that a
    // signal breaks off asks `interruption`, when given, whether to go on.
    explicit CsvWriter(FileHandle file, Interruption* interruption = nullptr);
    CsvWriter(CsvWriter&& o) noexcept;
    CsvWriter(const CsvWriter&) = delete;
    CsvWriter& operator=(const CsvWriter&) = delete;
    CsvWriter& operator=(CsvWriter&&) = delete;
    // Writes out the complete records still held (without reporting) and closes the file.
    ~CsvWriter();

    void field(std::string_view text);
    void field(float v) {
        char* p = begin_field(kMaxFloatText);
        size_ += format_float(v, p);
    }
    void empty_field() { begin_field(0); }
    // A field whose text is known to need no quotes.
    void plain_field(std::string_view text) {
        char* p = begin_field(text.size());
        std::memcpy(p, text.data(), text.size());
        size_ += text.size();
    }

    // What a write that a signal breaks off asks, if anything.
    Interruption* interruption() const { return interruption_; }

    // Ends the record. The first record fixes the field count; a record of another count is
    // refused and dropped, and so is everything after it.
    std::expected<void, CsvError> end_record();
    // Writes out everything and closes the file.
    std::expected<void, CsvError> finish();

private:
    // Room for a field of up to n characters, after its separator.
    char* begin_field(std::size_t n) {
        reserve(n + 1);
        if (fields_++ != 0) buf_[size_++] = ',';
        return buf_.get() + size_;
    }
    void reserve(std::size_t n) {
        if (cap_ - size_ < n) grow(n);
    }
    void grow(std::size_t n);
    std::expected<void, CsvError> flush();
    std::expected<void, CsvError> fail(CsvError e);

    void close_file();

    int fd_;
    Interruption* interruption_;
    std::unique_ptr<char[]> buf_;
    std::size_t size_ = 0;          // bytes held
    std::size_t cap_ = 0;
    std::size_t record_start_ = 0;  // where the record being built begins in buf_
    std::size_t fields_ = 0;        // fields of that record so far
    std::size_t width_ = 0;         // fields of the first record, 0 before it
    bool failed_ = false;
};

}  // namespace vuzevuz::csv
