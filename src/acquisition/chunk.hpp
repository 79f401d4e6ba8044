// Chunk files "{n}.bin" and "{n}.idx", and reads from open files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <sys/types.h>

#include "error/error.hpp"

namespace vuzevuz {

class Acquisition;

// An open file descriptor, closed when dropped.
class FileHandle {
public:
    explicit FileHandle(int fd = -1) : fd_(fd) {}
    FileHandle(FileHandle&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    FileHandle& operator=(FileHandle&& o) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() { close(); }
    int fd() const { return fd_; }
    // Hands the descriptor to the caller, who closes it.
    int release() { return std::exchange(fd_, -1); }
    void close();

private:
    int fd_;
};

// No file name holds a NUL byte: a path with one names no file.
inline bool names_file(std::string_view path) { return path.find('\0') == std::string_view::npos; }

// open(2) on the whole path, retried on EINTR; a path with a NUL byte fails with EINVAL. The open
// never waits: a named pipe opens at once, without a writer when read and fails with ENXIO
// without a reader when written. The descriptor stays non-blocking until make_blocking().
FileHandle open_file(const std::string& path, int flags, mode_t mode = 0);

// Clears O_NONBLOCK, for a file that is to be written like any other.
void make_blocking(const FileHandle& file);

// Running out of memory (ENOMEM) or of descriptors (EMFILE, ENFILE) says nothing about the file
// asked for: it is thrown (std::bad_alloc, std::system_error) and reaches the caller. Any other
// errno returns.
void throw_if_exhausted(int err);

// The length a read-only map of the open file would have: none for a directory, a file longer
// than the largest signed machine word, or another kind of file that holds bytes but is no
// regular file.
std::optional<std::size_t> readable_length(const FileHandle& file);

// pread(2) of up to `length` bytes from `offset` into `out`, retried on EINTR and after short reads;
// the bytes read, fewer at the end of the file, or nothing on a failure (errno says which).
std::optional<std::size_t> read_at(const FileHandle& file, std::uint64_t offset, std::size_t length,
                                   std::uint8_t* out);

struct ReadChunkFile {
    FileHandle data_file;
    FileHandle index_file;

    static std::expected<ReadChunkFile, AcquisitionError> open_with_index(const Acquisition& acq, std::size_t n);
    ReadChunkFile(ReadChunkFile&&) = default;
    ReadChunkFile& operator=(ReadChunkFile&&) = default;
    // Data file first, then the index file.
    ~ReadChunkFile() { data_file.close(); index_file.close(); }
    ReadChunkFile(FileHandle d, FileHandle i) : data_file(std::move(d)), index_file(std::move(i)) {}
};

}  // namespace vuzevuz
