#include "acquisition/chunk.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <string>

#include "acquisition/acquisition.hpp"

namespace vuzevuz {

FileHandle& FileHandle::operator=(FileHandle&& o) noexcept {
    if (this != &o) {
        close();
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

void FileHandle::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

FileHandle open_file(const std::string& path, int flags, mode_t mode) {
    if (!names_file(path)) {
        errno = EINVAL;
        return FileHandle();
    }
    int fd;
    do fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    while (fd < 0 && errno == EINTR);
    return FileHandle(fd);
}

std::optional<MemoryMap> MemoryMap::of(const FileHandle& file) {
    struct stat st;
    if (::fstat(file.fd(), &st) != 0 || S_ISDIR(st.st_mode) || st.st_size < 0) return std::nullopt;
    if (static_cast<std::uintmax_t>(st.st_size) > static_cast<std::uintmax_t>(std::numeric_limits<std::ptrdiff_t>::max()))
        return std::nullopt;
    auto size = static_cast<std::size_t>(st.st_size);
    if (size == 0) return MemoryMap(nullptr, 0);  // an empty file is a view of no bytes
    void* addr = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file.fd(), 0);
    if (addr == MAP_FAILED) return std::nullopt;
    return MemoryMap(addr, size);
}

std::optional<std::size_t> MemoryMap::mapped_length(const FileHandle& file) {
    struct stat st;
    if (::fstat(file.fd(), &st) != 0) return std::nullopt;
    // A regular file maps with its current length; spare the map when only the length is needed.
    if (S_ISREG(st.st_mode) && static_cast<std::uintmax_t>(st.st_size) <=
                                   static_cast<std::uintmax_t>(std::numeric_limits<std::ptrdiff_t>::max()))
        return static_cast<std::size_t>(st.st_size);
    auto map = of(file);
    if (!map) return std::nullopt;
    return map->bytes().size();
}

MemoryMap::~MemoryMap() {
    if (addr_) ::munmap(addr_, size_);
}

std::expected<ReadChunkFile, AcquisitionError> ReadChunkFile::open_with_index(const Acquisition& acq, std::size_t n) {
    const std::string num = std::to_string(n);
    FileHandle data = open_file(acq.join(num + ".bin"), O_RDONLY);
    if (data.fd() < 0) return std::unexpected(AcquisitionError::invalid_path());
    FileHandle index = open_file(acq.join(num + ".idx"), O_RDONLY);
    if (index.fd() < 0) return std::unexpected(AcquisitionError::invalid_path());
    return ReadChunkFile(std::move(data), std::move(index));
}

namespace {

constexpr std::size_t kEntrySize = 8;

std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

}  // namespace

std::expected<std::vector<std::uint8_t>, AcquisitionError> Acquisition::get(std::size_t index) const {
    std::size_t r = index;
    for (std::size_t n = 0;; ++n) {
        auto chunk = ReadChunkFile::open_with_index(*this, n);
        if (!chunk) return std::unexpected(AcquisitionError::index_out_of_bounds());
        const auto index_length = MemoryMap::mapped_length(chunk->index_file);
        if (!index_length) return std::unexpected(AcquisitionError::invalid_path());
        const std::size_t count = *index_length / kEntrySize;
        if (r >= count) {
            r -= count;
            continue;
        }
        std::uint32_t offset, length;
        {
            auto map = MemoryMap::of(chunk->index_file);
            if (!map) return std::unexpected(AcquisitionError::invalid_path());
            auto bytes = map->bytes();
            if (bytes.size() / kEntrySize <= r) return std::unexpected(AcquisitionError::index_out_of_bounds());
            offset = le32(bytes.data() + r * kEntrySize);
            length = le32(bytes.data() + r * kEntrySize + 4);
        }
        auto map = MemoryMap::of(chunk->data_file);
        if (!map) return std::unexpected(AcquisitionError::invalid_path());
        auto data = map->bytes();
        const std::uint64_t end = std::uint64_t(offset) + std::uint64_t(length);
        if (end > data.size()) return std::unexpected(AcquisitionError::index_out_of_bounds());
        return std::vector<std::uint8_t>(data.begin() + offset, data.begin() + end);
    }
}

std::expected<std::size_t, AcquisitionError> Acquisition::len() const {
    std::size_t total = 0;
    for (std::size_t n = 0;; ++n) {
        auto chunk = ReadChunkFile::open_with_index(*this, n);
        if (!chunk) return total;
        const auto index_length = MemoryMap::mapped_length(chunk->index_file);
        if (!index_length) return std::unexpected(AcquisitionError::invalid_path());
        total += *index_length / kEntrySize;
    }
}

std::size_t Acquisition::chunk_count() const {
    std::size_t n = 0;
    while (ReadChunkFile::open_with_index(*this, n)) ++n;
    return n;
}

}  // namespace vuzevuz
