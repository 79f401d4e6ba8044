// A reader of Python pickles of plain data (protocols 0 to 5).
//
// It builds the object tree of one pickle read from a byte stream: None, bools, integers of
// any size, floats, str, bytes, lists, tuples, sets, frozensets and dicts. Nothing a pickle
// names is ever imported or called: the few builtins that old protocols name to spell a set,
// a frozenset or bytes are recognised by name and built here; every other reference to a
// global, persistent id or object construction is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vuzevuz::calibration::pickle {

// Why a read failed; never shown to users, kept for tests and debugging.
struct Error {
    std::string_view what;
};

// A source of bytes handed out piece by piece.
class ByteStream {
public:
    virtual ~ByteStream() = default;
    // The next piece of bytes, valid until the next call; empty at the end of the stream.
    virtual std::expected<std::span<const std::uint8_t>, Error> next() = 0;
};

enum class Kind : std::uint8_t {
    None,
    Bool,
    Int,     // fits in a signed 64-bit value
    BigInt,  // an integer outside signed 64 bits (its value is not kept)
    Float,
    Str,    // UTF-8 (lone surrogates allowed, as Python strings may hold them)
    Bytes,
    List,
    Tuple,
    Set,
    FrozenSet,
    Dict,   // entries in stored order, duplicate keys kept
    Other,  // a bytearray
    Callable,  // internal: a recognised builtin, before it is applied
};

struct Value {
    Kind kind = Kind::None;
    std::uint32_t ref = 0;  // Str, Bytes: index of the text; containers: index of the container
    union {
        std::int64_t i;
        double f;
    } num{.i = 0};
};

// The object tree of one pickle. Objects live in the document; values refer to them by index,
// so shared and even self-containing objects are represented as Python has them.
class Document {
public:
    Value root;

    const std::string& text(const Value& v) const { return texts_[v.ref]; }
    // Elements of a sequence; for a dict: key, value, key, value, ...
    std::span<const Value> items(const Value& v) const { return containers_[v.ref]; }

    static bool is_sequence(Kind k) {
        return k == Kind::List || k == Kind::Tuple || k == Kind::Set || k == Kind::FrozenSet;
    }

private:
    friend class Reader;
    std::vector<std::string> texts_;
    std::vector<std::vector<Value>> containers_;
};

// Bytes of memory a reader may hold for one pickle (objects, memo, stack and texts).
inline constexpr std::size_t kMemoryBudget = std::size_t(256) << 20;

// Reads one pickle from `in`. After its STOP opcode the stream must be at its end.
std::expected<Document, Error> read(ByteStream& in, std::size_t budget = kMemoryBudget);

// Reads one pickle held in memory (the whole span must be the pickle).
std::expected<Document, Error> read(std::span<const std::uint8_t> bytes, std::size_t budget = kMemoryBudget);

}  // namespace vuzevuz::calibration::pickle
