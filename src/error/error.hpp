// The four error types of the core. Every operation returns its result or one of these.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace vuzevuz {

struct AcquisitionError {
    enum class Kind : std::uint8_t { InvalidPath, CouldNotRead, IndexOutOfBounds, NoSuchMiscData };
    Kind kind;
    std::string text;  // only for CouldNotRead

    static AcquisitionError invalid_path() { return {Kind::InvalidPath, {}}; }
    static AcquisitionError could_not_read(std::string t) { return {Kind::CouldNotRead, std::move(t)}; }
    static AcquisitionError index_out_of_bounds() { return {Kind::IndexOutOfBounds, {}}; }
    static AcquisitionError no_such_misc_data() { return {Kind::NoSuchMiscData, {}}; }
    // The operating system's text of errno, then " (os error N)".
    static AcquisitionError from_errno(int err);
};

struct MetadataError {
    enum class Kind : std::uint8_t { InvalidFormat, SerializationFailed };
    Kind kind;
    std::string yaml_error;  // SerializationFailed: the reader's reason, never shown

    static MetadataError invalid_format() { return {Kind::InvalidFormat, {}}; }
    static MetadataError serialization_failed(std::string why) { return {Kind::SerializationFailed, std::move(why)}; }
    std::string_view fmt() const;
};

struct ParsingError {
    enum class Kind : std::uint8_t {
        UnexpectedLength = 1,
        InvalidChannel = 2,
        MissingData = 4,
        EmptyPackage = 5,
        UnsupportedModel = 6,
    };
    Kind kind;

    constexpr ParsingError(Kind k) : kind(k) {}
    constexpr std::uint8_t code() const { return static_cast<std::uint8_t>(kind); }
    std::string_view fmt() const;
    friend constexpr bool operator==(ParsingError a, ParsingError b) { return a.kind == b.kind; }
};

struct CsvError {
    std::string what;  // never shown
};

struct ExportError {
    enum class Kind : std::uint8_t { InvalidPath, AccessDenied, Csv, Parsing, AccessingAcquisition, Unknown };
    Kind kind;
    std::variant<std::monostate, CsvError, ParsingError, MetadataError> cause;

    static ExportError csv(CsvError e) { return {Kind::Csv, std::move(e)}; }
    static ExportError parsing(ParsingError e) { return {Kind::Parsing, e}; }
    static ExportError accessing_acquisition(MetadataError e) { return {Kind::AccessingAcquisition, std::move(e)}; }
    // Maps the errno of a failed file creation.
    static ExportError from_errno(int err);
    std::string_view fmt() const;
};

// A refusal that carries its own text (an acquisition without a usable name).
struct NameError {
    std::string text;
};

}  // namespace vuzevuz
