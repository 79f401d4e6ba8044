#include "acquisition/acquisition.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "acquisition/chunk.hpp"
#include "acquisition/util.hpp"

namespace vuzevuz {

const char* misc_data_file_name(MiscDataKind kind) {
    switch (kind) {
        case MiscDataKind::ReadoutMetadata: return "readout_metadata";
        case MiscDataKind::PedestalsCalibration: return "pedestals_calibration";
        case MiscDataKind::TimingCalibration: return "timing_calibration";
        case MiscDataKind::Adc2mvCalibration: return "adc2mv_calibration";
    }
    return "";
}

bool is_valid_utf8(std::string_view s) {
    std::size_t i = 0, n = s.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t len;
        std::uint32_t cp;
        if (c < 0x80) { ++i; continue; }
        if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
        else return false;
        if (n - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = cp << 6 | (cc & 0x3F);
        }
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

std::expected<Acquisition, AcquisitionError> Acquisition::open(std::string root) {
    if (!util::is_acquisition(root)) return std::unexpected(AcquisitionError::invalid_path());
    return Acquisition(std::move(root));
}

std::string Acquisition::join(std::string_view name) const {
    std::string p = root_;
    if (!p.empty() && p.back() != '/') p += '/';
    p += name;
    return p;
}

std::expected<std::string, NameError> Acquisition::name() const {
    std::string_view rest = root_, last;
    bool any = false;
    while (!rest.empty()) {
        const auto slash = rest.find('/');
        const auto part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        last = part;
        any = true;
    }
    if (!any || last == "..") return std::unexpected(NameError{"could not get acquisition name"});
    if (!is_valid_utf8(last)) return std::unexpected(NameError{"invalid acquisition name"});
    return std::string(last);
}

namespace {

// Reads a whole file; on failure returns the errno. Running out of memory or descriptors is thrown.
// A file that is neither a regular file nor a directory (a named pipe, a device) holds what its
// length says, nothing: it is not read, so no read waits for a writer or runs without end.
std::expected<std::vector<std::uint8_t>, int> read_whole(const std::string& path) {
    FileHandle f = open_file(path, O_RDONLY);
    if (f.fd() < 0) {
        throw_if_exhausted(errno);
        return std::unexpected(errno);
    }
    std::vector<std::uint8_t> out;
    struct stat st;
    if (::fstat(f.fd(), &st) != 0) {
        throw_if_exhausted(errno);
        return std::unexpected(errno);
    }
    if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return out;
    if (S_ISREG(st.st_mode) && st.st_size > 0) out.reserve(std::size_t(st.st_size));
    std::uint8_t buf[65536];
    for (;;) {
        const ssize_t got = ::read(f.fd(), buf, sizeof buf);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw_if_exhausted(errno);
            return std::unexpected(errno);
        }
        if (got == 0) break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

}  // namespace

std::expected<MiscData, AcquisitionError> Acquisition::misc_data(MiscDataKind kind) const {
    auto bytes = read_whole(join(misc_data_file_name(kind)));
    if (!bytes) {
        if (bytes.error() == ENOENT) return std::unexpected(AcquisitionError::no_such_misc_data());
        return std::unexpected(AcquisitionError::from_errno(bytes.error()));
    }
    return MiscData{std::move(*bytes), kind};
}

std::expected<std::string, AcquisitionError> Acquisition::metadata_str() const {
    auto bytes = read_whole(join("metadata.yml"));
    if (!bytes) return std::unexpected(AcquisitionError::could_not_read("failed to read metadata"));
    std::string text(bytes->begin(), bytes->end());
    if (!is_valid_utf8(text)) return std::unexpected(AcquisitionError::could_not_read("failed to read metadata"));
    return text;
}

std::expected<Metadata, MetadataError> Acquisition::metadata() const {
    auto text = metadata_str();
    if (!text) return std::unexpected(MetadataError::invalid_format());
    return parse_metadata(*text);
}

}  // namespace vuzevuz
