#include "acquisition/chunk.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <new>
#include <string>
#include <system_error>

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
    do fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, mode);
    while (fd < 0 && errno == EINTR);
    return FileHandle(fd);
}

void make_blocking(const FileHandle& file) {
    const int flags = ::fcntl(file.fd(), F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK)) ::fcntl(file.fd(), F_SETFL, flags & ~O_NONBLOCK);
}

void throw_if_exhausted(int err) {
    if (err == ENOMEM) throw std::bad_alloc();
    if (err == EMFILE || err == ENFILE) throw std::system_error(err, std::generic_category());
}

std::optional<std::size_t> readable_length(const FileHandle& file) {
    struct stat st;
    if (::fstat(file.fd(), &st) != 0) {
        throw_if_exhausted(errno);
        return std::nullopt;
    }
    if (S_ISDIR(st.st_mode) || st.st_size < 0 ||
        static_cast<std::uintmax_t>(st.st_size) > static_cast<std::uintmax_t>(std::numeric_limits<std::ptrdiff_t>::max()))
        return std::nullopt;
    // An empty file of any kind is a view of no bytes; only a regular file maps with bytes.
    if (!S_ISREG(st.st_mode) && st.st_size != 0) return std::nullopt;
    return static_cast<std::size_t>(st.st_size);
}

std::optional<std::size_t> read_at(const FileHandle& file, std::uint64_t offset, std::size_t length,
                                   std::uint8_t* out) {
    std::size_t done = 0;
    while (done < length) {
        const std::uint64_t at = offset + done;
        if (at > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) break;
        const ssize_t got = ::pread(file.fd(), out + done, length - done, static_cast<off_t>(at));
        if (got < 0) {
            if (errno == EINTR) continue;
            throw_if_exhausted(errno);
            return std::nullopt;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

std::expected<ReadChunkFile, AcquisitionError> ReadChunkFile::open_with_index(const Acquisition& acq, std::size_t n) {
    const std::string num = std::to_string(n);
    FileHandle data = open_file(acq.join(num + ".bin"), O_RDONLY);
    if (data.fd() < 0) {
        throw_if_exhausted(errno);
        return std::unexpected(AcquisitionError::invalid_path());
    }
    FileHandle index = open_file(acq.join(num + ".idx"), O_RDONLY);
    if (index.fd() < 0) {
        throw_if_exhausted(errno);  // the data file is closed on the way out
        return std::unexpected(AcquisitionError::invalid_path());
    }
    return ReadChunkFile(std::move(data), std::move(index));
}

namespace {

constexpr std::size_t kEntrySize = 8;

std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

}  // namespace

// The bytes are read from the open descriptors rather than through maps: a file that another
// process shortens meanwhile gives a short read, which is the result for a file of that length,
// where a map would fault.
std::expected<std::vector<std::uint8_t>, AcquisitionError> Acquisition::get(std::size_t index) const {
    std::size_t r = index;
    for (std::size_t n = 0;; ++n) {
        auto chunk = ReadChunkFile::open_with_index(*this, n);
        if (!chunk) return std::unexpected(AcquisitionError::index_out_of_bounds());
        const auto index_length = readable_length(chunk->index_file);
        if (!index_length) return std::unexpected(AcquisitionError::invalid_path());
        const std::size_t count = *index_length / kEntrySize;
        if (r >= count) {
            r -= count;
            continue;
        }
        std::uint8_t entry[kEntrySize];
        const auto got = read_at(chunk->index_file, std::uint64_t(r) * kEntrySize, kEntrySize, entry);
        if (!got) return std::unexpected(AcquisitionError::invalid_path());
        if (*got < kEntrySize) return std::unexpected(AcquisitionError::index_out_of_bounds());
        const std::uint32_t offset = le32(entry), length = le32(entry + 4);

        const auto data_length = readable_length(chunk->data_file);
        if (!data_length) return std::unexpected(AcquisitionError::invalid_path());
        if (std::uint64_t(offset) + std::uint64_t(length) > *data_length)
            return std::unexpected(AcquisitionError::index_out_of_bounds());
        std::vector<std::uint8_t> out(length);
        const auto read = read_at(chunk->data_file, offset, length, out.data());
        if (!read) return std::unexpected(AcquisitionError::invalid_path());
        if (*read < length) return std::unexpected(AcquisitionError::index_out_of_bounds());
        return out;
    }
}

std::expected<std::size_t, AcquisitionError> Acquisition::len() const {
    std::size_t total = 0;
    for (std::size_t n = 0;; ++n) {
        auto chunk = ReadChunkFile::open_with_index(*this, n);
        if (!chunk) return total;
        const auto index_length = readable_length(chunk->index_file);
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
