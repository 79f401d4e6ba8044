#include "error/error.hpp"

#include <cerrno>
#include <cstring>

namespace vuzevuz {

AcquisitionError AcquisitionError::from_errno(int err) {
    char buf[256];
    // GNU strerror_r returns the text, which may or may not live in buf.
    const char* text = strerror_r(err, buf, sizeof buf);
    std::string s(text);
    s += " (os error ";
    s += std::to_string(err);
    s += ')';
    return could_not_read(std::move(s));
}

std::string_view MetadataError::fmt() const {
    switch (kind) {
        case Kind::InvalidFormat: return "invalid metadata format";
        case Kind::SerializationFailed: return "failed to serialized";
    }
    return "unknown";
}

std::string_view ParsingError::fmt() const {
    switch (kind) {
        case Kind::UnexpectedLength: return "unexpected length of data";
        case Kind::InvalidChannel: return "invalid channel number";
        case Kind::MissingData: return "required data missing when parsing";
        case Kind::EmptyPackage: return "Encountered an empty Package which can't be parsed";
        case Kind::UnsupportedModel: return "data is from an unsupported board model";
    }
    return "unknown";
}

ExportError ExportError::from_errno(int err) {
    switch (err) {
        case ENOENT: return {Kind::InvalidPath, {}};
        case EACCES:
        case EPERM: return {Kind::AccessDenied, {}};
        default: return {Kind::Unknown, {}};
    }
}

std::string_view ExportError::fmt() const {
    switch (kind) {
        case Kind::InvalidPath: return "invalid path";
        case Kind::AccessDenied: return "file access was denied";
        case Kind::Csv: return "error occurred while exporting as csv";
        case Kind::Parsing: return "error occurred while parsing";
        case Kind::AccessingAcquisition: return "error occurred while accessing acquisition";
        case Kind::Unknown: return "unknown";
    }
    return "unknown";
}

}  // namespace vuzevuz
