// Chunk files "{n}.bin" and "{n}.idx", and read-only memory maps of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>

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
    void close();

private:
    int fd_;
};

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
