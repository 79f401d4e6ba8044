// A streaming reader of Python pickles (protocols 0 to 5) that keeps only what a pedestal table
// can use.
//
// Nothing a pickle names is ever imported or called: the few builtins that old protocols name to
// spell a set, a frozenset or bytes are recognised by name and built here; every other reference
// to a global, persistent id or object construction is refused.
//
// The pickle's bytes are read piece by piece and never held. Of each value the reader keeps:
//  - a number (an integer that fits in 64 bits, or a float): its nearest 32-bit float;
//  - a text or byte string: which of the few names below it is, and whether its characters all
//    lie below 256; never the characters themselves;
//  - a list, tuple, set or frozenset: its length, its first two elements, and its numbers while
//    every element is a number, or its nested sequences while every element is a sequence;
//  - a dict: whether every key is text or bytes, and the value of its "data" entries.
// An object is freed as soon as nothing refers to it; what the pickle memoizes stays, since the
// pickle may refer to it again. So a value of any size costs nothing more than its place in the pickle's structure, except the
// numbers of sequences, which a table may need. Even those are dropped for the values of dict
// entries under keys other than "data", which a table skips. When such a sequence turns out to
// be needed after all (the pickle refers to it again from the table), the caller reads the
// pickle a second time and names exactly the sequences whose numbers to keep, by their serial
// numbers, which are the same in every run over the same bytes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string_view>
#include <unordered_map>
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
    Number,  // an integer within signed 64 bits, or a float
    BigInt,  // an integer outside signed 64 bits
    Str,
    Bytes,
    List,
    Tuple,
    Set,
    FrozenSet,
    Dict,
    Other,     // a bytearray
    Callable,  // internal: a recognised builtin, before it is applied
};

// The texts the reader tells apart; every other text is Name::Other.
enum class Name : std::uint8_t {
    Other,
    Data,
    Latin1,
    Builtins,
    OldBuiltins,
    Codecs,
    Set,
    FrozenSet,
    Bytes,
    ByteArray,
    Encode,
};

struct Value {
    Kind kind = Kind::None;
    // Number: the bits of its 32-bit float; Str and Bytes: the Name, and kLatin1 when every
    // character is below 256; containers: the index of their Object; Callable: the builtin.
    std::uint32_t bits = 0;

    static constexpr std::uint32_t kLatin1 = 0x100;

    float number() const { return std::bit_cast<float>(bits); }
    Name name() const { return static_cast<Name>(bits & 0xFF); }
};

inline bool is_sequence(Kind k) { return k == Kind::List || k == Kind::Tuple || k == Kind::Set || k == Kind::FrozenSet; }
inline bool is_object(Kind k) { return is_sequence(k) || k == Kind::Dict; }

// What is kept of a list, tuple, set, frozenset or dict.
struct Object {
    Kind kind = Kind::List;
    bool numbers = true;    // every element so far is a number
    bool sequences = true;  // every element so far is a sequence
    bool lossy = false;     // its numbers are not kept
    bool odd_key = false;   // dict: a key that is neither text nor bytes
    std::uint8_t data_entries = 0;  // dict: entries keyed "data", counted up to 2
    std::uint32_t refs = 0;         // held by the stack, the memo and other objects
    std::uint64_t size = 0;         // elements (dict: entries)
    std::uint64_t serial = 0;       // creation number, the same in every run over the same bytes
    Value first, second;            // the first two elements; dict: first is the "data" value
    std::vector<float> nums;        // while `numbers`, unless lossy
    std::vector<std::uint32_t> items;  // while `sequences`: the elements' objects
};

// Objects by index, in chunks: growing never moves them, nor needs room for two copies.
class ObjectStore {
public:
    Object& operator[](std::uint32_t i) { return chunks_[i >> kShift][i & kMask]; }
    const Object& operator[](std::uint32_t i) const { return chunks_[i >> kShift][i & kMask]; }
    std::size_t size() const { return size_; }
    void emplace_back() {
        if ((size_ & kMask) == 0) chunks_.push_back(std::make_unique<Object[]>(kMask + 1));
        ++size_;
    }

private:
    static constexpr unsigned kShift = 8;
    static constexpr std::size_t kMask = (std::size_t(1) << kShift) - 1;
    std::vector<std::unique_ptr<Object[]>> chunks_;
    std::size_t size_ = 0;
};

// What a run leaves: the pickled value and the objects it can reach.
class Document {
public:
    Value root;

    Object& object(Value v) { return objects_[v.bits]; }
    const Object& object(Value v) const { return objects_[v.bits]; }
    Object& object(std::uint32_t index) { return objects_[index]; }
    const Object& object(std::uint32_t index) const { return objects_[index]; }
    std::size_t object_count() const { return objects_.size(); }
    // The serial of the lossy sequence whose elements a set or frozenset was built from, if any.
    const std::uint64_t* copied_from(std::uint64_t serial) const {
        const auto it = copied_from_.find(serial);
        return it == copied_from_.end() ? nullptr : &it->second;
    }

private:
    friend class Reader;
    ObjectStore objects_;
    std::unordered_map<std::uint64_t, std::uint64_t> copied_from_;
};

// Reads one pickle from `in`; after its STOP opcode the stream must be at its end. Without
// `keep`, sequences keep their numbers unless the table skips them; with it, exactly the
// sequences whose serials it lists (sorted ascending) keep them.
std::expected<Document, Error> read(ByteStream& in, const std::vector<std::uint64_t>* keep = nullptr);

// Reads one pickle held in memory (the whole span must be the pickle).
std::expected<Document, Error> read(std::span<const std::uint8_t> bytes, const std::vector<std::uint64_t>* keep = nullptr);

}  // namespace vuzevuz::calibration::pickle
