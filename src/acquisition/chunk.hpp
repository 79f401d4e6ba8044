// Chunk files "{n}.bin" and "{n}.idx", and read-only memory maps of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
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

// open(2) on the whole path, retried on EINTR; a path with a NUL byte fails with EINVAL.
FileHandle open_file(const std::string& path, int flags, mode_t mode = 0);

// A read-only, shared view of a whole file, released when dropped.
class MemoryMap {
public:
    static std::optional<MemoryMap> of(const FileHandle& file);
    // The length a map of the file would have, or nothing when it cannot be mapped.
    static std::optional<std::size_t> mapped_length(const FileHandle& file);
    MemoryMap(MemoryMap&& o) noexcept : addr_(o.addr_), size_(o.size_) { o.addr_ = nullptr; o.size_ = 0; }
    MemoryMap(const MemoryMap&) = delete;
    MemoryMap& operator=(const MemoryMap&) = delete;
    MemoryMap& operator=(MemoryMap&&) = delete;
    ~MemoryMap();
    std::span<const std::uint8_t> bytes() const { return {static_cast<const std::uint8_t*>(addr_), size_}; }

private:
    MemoryMap(void* a, std::size_t s) : addr_(a), size_(s) {}
    void* addr_;
    std::size_t size_;
};

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
