#include "calibration/pickle.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <utility>

namespace vuzevuz::calibration::pickle {

namespace {

using Fail = std::unexpected<Error>;
constexpr Fail fail(std::string_view what) { return Fail(Error{what}); }

// Opcodes.
enum : std::uint8_t {
    MARK = '(', STOP = '.', POP = '0', POP_MARK = '1', DUP = '2', FLOAT = 'F', INT = 'I', BININT = 'J',
    BININT1 = 'K', LONG = 'L', BININT2 = 'M', NONE = 'N', REDUCE = 'R', STRING = 'S', BINSTRING = 'T',
    SHORT_BINSTRING = 'U', UNICODE = 'V', BINUNICODE = 'X', APPEND = 'a', GLOBAL = 'c', DICT = 'd',
    EMPTY_DICT = '}', APPENDS = 'e', GET = 'g', BINGET = 'h', LONG_BINGET = 'j', LIST = 'l', EMPTY_LIST = ']',
    PUT = 'p', BINPUT = 'q', LONG_BINPUT = 'r', SETITEM = 's', TUPLE = 't', EMPTY_TUPLE = ')', SETITEMS = 'u',
    BINFLOAT = 'G', PROTO = 0x80, TUPLE1 = 0x85, TUPLE2 = 0x86, TUPLE3 = 0x87, NEWTRUE = 0x88,
    NEWFALSE = 0x89, LONG1 = 0x8a, LONG4 = 0x8b, BINBYTES = 'B', SHORT_BINBYTES = 'C',
    SHORT_BINUNICODE = 0x8c, BINUNICODE8 = 0x8d, BINBYTES8 = 0x8e, EMPTY_SET = 0x8f, ADDITEMS = 0x90,
    FROZENSET = 0x91, STACK_GLOBAL = 0x93, MEMOIZE = 0x94, FRAME = 0x95, BYTEARRAY8 = 0x96,
};

constexpr int kHighestProtocol = 5;

// The builtins that protocols below 4 name to write sets, frozensets and bytes.
enum class Builtin : std::uint32_t { Set, FrozenSet, Bytes, ByteArray, Encode };

std::optional<Builtin> builtin_of(Name module, Name name) {
    if (module == Name::Builtins || module == Name::OldBuiltins) {
        if (name == Name::Set) return Builtin::Set;
        if (name == Name::FrozenSet) return Builtin::FrozenSet;
        if (name == Name::Bytes) return Builtin::Bytes;
        if (name == Name::ByteArray) return Builtin::ByteArray;
    }
    if (module == Name::Codecs && name == Name::Encode) return Builtin::Encode;
    return std::nullopt;
}

int hex_digit(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The first bytes of a text, enough to tell the names apart.
class NameScan {
public:
    // Past 16 bytes a text is no name: nothing more needs keeping.
    bool full() const { return size_ == head_.size(); }
    void bytes(std::span<const std::uint8_t> b) {
        const std::size_t n = std::min(b.size(), head_.size() - size_);
        std::memcpy(head_.data() + size_, b.data(), n);
        size_ += n;
    }
    void byte(std::uint8_t c) { bytes(std::span(&c, 1)); }
    void code_point(std::uint32_t cp) {
        if (full()) return;
        std::uint8_t u[4];
        std::size_t n;
        if (cp < 0x80) {
            u[0] = std::uint8_t(cp);
            n = 1;
        } else if (cp < 0x800) {
            u[0] = std::uint8_t(0xC0 | cp >> 6);
            u[1] = std::uint8_t(0x80 | (cp & 0x3F));
            n = 2;
        } else if (cp < 0x10000) {
            u[0] = std::uint8_t(0xE0 | cp >> 12);
            u[1] = std::uint8_t(0x80 | (cp >> 6 & 0x3F));
            u[2] = std::uint8_t(0x80 | (cp & 0x3F));
            n = 3;
        } else {
            u[0] = std::uint8_t(0xF0 | cp >> 18);
            u[1] = std::uint8_t(0x80 | (cp >> 12 & 0x3F));
            u[2] = std::uint8_t(0x80 | (cp >> 6 & 0x3F));
            u[3] = std::uint8_t(0x80 | (cp & 0x3F));
            n = 4;
        }
        bytes(std::span(u, n));
    }
    Name name() const {
        if (full()) return Name::Other;
        static constexpr std::pair<std::string_view, Name> names[] = {
            {"data", Name::Data},         {"latin1", Name::Latin1},       {"builtins", Name::Builtins},
            {"__builtin__", Name::OldBuiltins}, {"_codecs", Name::Codecs}, {"set", Name::Set},
            {"frozenset", Name::FrozenSet}, {"bytes", Name::Bytes},       {"bytearray", Name::ByteArray},
            {"encode", Name::Encode},
        };
        const std::string_view text(reinterpret_cast<const char*>(head_.data()), std::size_t(size_));
        for (const auto& [t, n] : names)
            if (text == t) return n;
        return Name::Other;
    }

private:
    std::array<std::uint8_t, 17> head_{};
    std::size_t size_ = 0;
};

// Checks UTF-8 as it streams past (surrogates allowed, as Python strings may hold them) and
// notes whether every character is below 256.
class Utf8Scan {
public:
    bool bytes(std::span<const std::uint8_t> b) {
        const std::uint8_t* p = b.data();
        const std::uint8_t* const end = p + b.size();
        while (p < end) {
            if (need_ == 0) {
                // Runs of ASCII, eight bytes at a time.
                while (end - p >= 8) {
                    std::uint64_t w;
                    std::memcpy(&w, p, 8);
                    if (w & 0x8080808080808080u) break;
                    p += 8;
                }
                if (p == end) break;
                const std::uint8_t c = *p++;
                if (c < 0x80) continue;
                if ((c & 0xE0) == 0xC0) { need_ = 1; len_ = 2; cp_ = c & 0x1F; }
                else if ((c & 0xF0) == 0xE0) { need_ = 2; len_ = 3; cp_ = c & 0x0F; }
                else if ((c & 0xF8) == 0xF0) { need_ = 3; len_ = 4; cp_ = c & 0x07; }
                else return false;
                continue;
            }
            const std::uint8_t c = *p++;
            if ((c & 0xC0) != 0x80) return false;
            cp_ = cp_ << 6 | (c & 0x3F);
            if (--need_ == 0) {
                if ((len_ == 2 && cp_ < 0x80) || (len_ == 3 && cp_ < 0x800) || (len_ == 4 && cp_ < 0x10000) ||
                    cp_ > 0x10FFFF)
                    return false;
                if (cp_ > 0xFF) latin1_ = false;
            }
        }
        return true;
    }
    bool complete() const { return need_ == 0; }
    bool latin1() const { return latin1_; }

private:
    std::uint32_t cp_ = 0;
    std::uint8_t need_ = 0, len_ = 0;
    bool latin1_ = true;
};

// Blanks, then at most one sign, before the digits of a number text.
struct SignLead {
    bool neg = false;
    bool sign = false;
    // Takes `c` when it is a leading blank or the sign; false for the first other character.
    bool take(std::uint8_t c, bool blank) {
        if (sign) return false;
        if (blank) return true;
        if (c != '+' && c != '-') return false;
        neg = c == '-';
        sign = true;
        return true;
    }
};

// A decimal integer as Python's int() reads it (blanks around it, a sign, digits with single
// underscores between them), fed one character at a time. A LONG argument may end in 'L'.
class DecimalScan {
public:
    explicit DecimalScan(bool long_form = false) : long_form_(long_form) {}

    bool feed(std::uint8_t c) {
        if (raw_ < 2) first_[raw_] = c;
        ++raw_;
        if (pending_l_) return false;  // 'L' is allowed only as the last character
        if (long_form_ && c == 'L') {
            pending_l_ = true;
            return true;
        }
        const bool blank = c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
        switch (phase_) {
            case Phase::Lead:
                if (lead_.take(c, blank)) return true;
                if (c < '0' || c > '9') return false;
                phase_ = Phase::Digits;
                return digit(c);
            case Phase::Digits:
                if (c >= '0' && c <= '9') return digit(c);
                if (c == '_') {
                    if (!prev_digit_) return false;
                    prev_digit_ = false;
                    return true;
                }
                if (blank && prev_digit_) {
                    phase_ = Phase::Trail;
                    return true;
                }
                return false;
            case Phase::Trail:
                return blank;
        }
        return false;
    }
    bool valid() const { return (phase_ == Phase::Digits && prev_digit_) || phase_ == Phase::Trail; }
    // The INT forms of False and True.
    std::optional<bool> boolean() const {
        if (long_form_ || raw_ != 2 || first_[0] != '0' || (first_[1] != '0' && first_[1] != '1')) return std::nullopt;
        return first_[1] == '1';
    }
    // The value, when it fits in signed 64 bits.
    std::optional<std::int64_t> value() const {
        constexpr std::uint64_t lim = std::uint64_t(std::numeric_limits<std::int64_t>::max());
        if (big_ || mag_ > lim + (lead_.neg ? 1 : 0)) return std::nullopt;
        return lead_.neg ? std::int64_t(0 - mag_) : std::int64_t(mag_);
    }

private:
    enum class Phase { Lead, Digits, Trail };
    bool digit(std::uint8_t c) {
        prev_digit_ = true;
        if (!big_) {
            if (mag_ > (std::numeric_limits<std::uint64_t>::max() - unsigned(c - '0')) / 10) big_ = true;
            else mag_ = mag_ * 10 + unsigned(c - '0');
        }
        return true;
    }

    bool long_form_;
    Phase phase_ = Phase::Lead;
    SignLead lead_;
    bool prev_digit_ = false, big_ = false, pending_l_ = false;
    std::uint64_t mag_ = 0;
    std::uint64_t raw_ = 0;
    std::uint8_t first_[2] = {};
};

// The text of a FLOAT argument, fed one character at a time: blanks around it, a sign, then a
// decimal number or a name such as "inf". A decimal keeps only its first significant digits
// (more than a double ever needs for correct rounding), so a text of any length costs nothing.
class FloatScan {
public:
    bool feed(std::uint8_t c) {
        const bool blank = c == ' ' || c == '\t';
        if (trail_) return blank || c == '\r';
        switch (phase_) {
            case Phase::Lead:
                if (lead_.take(c, blank)) return true;
                if ((c >= '0' && c <= '9') || c == '.') phase_ = Phase::Int;
                else if (c == '+' || c == '-') return false;
                else phase_ = Phase::Word;
                return feed(c);
            case Phase::Word:
                if (blank || c == '\r') return trail_ = true;
                if (word_.size() >= 64) return false;
                word_ += char(c);
                return true;
            case Phase::Int:
            case Phase::Frac:
                if (c >= '0' && c <= '9') {
                    mantissa_digit(c);
                    return true;
                }
                if (c == '.' && phase_ == Phase::Int) {
                    phase_ = Phase::Frac;
                    return true;
                }
                if ((c == 'e' || c == 'E') && any_digit_) {
                    phase_ = Phase::ExpSign;
                    return true;
                }
                if ((blank || c == '\r') && any_digit_) return trail_ = true;
                return false;
            case Phase::ExpSign:
                if (c == '+' || c == '-') {
                    exp_neg_ = c == '-';
                    phase_ = Phase::ExpStart;
                    return true;
                }
                [[fallthrough]];
            case Phase::ExpStart:
            case Phase::Exp:
                if (c >= '0' && c <= '9') {
                    phase_ = Phase::Exp;
                    if (exp_ < kExpLimit) exp_ = exp_ * 10 + (c - '0');
                    return true;
                }
                if ((blank || c == '\r') && phase_ == Phase::Exp) return trail_ = true;
                return false;
        }
        return false;
    }

    std::optional<double> value() const {
        double v;
        if (phase_ == Phase::Word) {
            const auto [end, ec] = std::from_chars(word_.data(), word_.data() + word_.size(), v);
            if (ec != std::errc() || end != word_.data() + word_.size()) return std::nullopt;
        } else if (phase_ == Phase::Int || phase_ == Phase::Frac || phase_ == Phase::Exp) {
            if (!any_digit_) return std::nullopt;
            if (digits_.empty()) {
                v = 0.0;
            } else {
                // 0.DIGITS times ten to the power of the scale.
                // Far beyond the range of a double either way.
                const std::int64_t scale = std::clamp<std::int64_t>(point_ + (exp_neg_ ? -exp_ : exp_), -10000, 10000);
                std::string text = "0." + digits_;
                if (sticky_) text += '1';
                text += 'e';
                text += std::to_string(scale);
                const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
                if (ec == std::errc::result_out_of_range) v = scale > 0 ? std::numeric_limits<double>::infinity() : 0.0;
                else if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
            }
        } else {
            return std::nullopt;
        }
        return lead_.neg ? -v : v;
    }

private:
    enum class Phase { Lead, Word, Int, Frac, ExpSign, ExpStart, Exp };
    static constexpr std::int64_t kExpLimit = std::int64_t(1) << 40;
    static constexpr std::size_t kDigits = 800;

    void mantissa_digit(std::uint8_t c) {
        any_digit_ = true;
        if (digits_.empty() && c == '0') {
            if (phase_ == Phase::Frac && point_ > -kExpLimit) --point_;  // zeros right after the point
            return;
        }
        if (phase_ == Phase::Int && point_ < kExpLimit) ++point_;
        if (digits_.size() < kDigits) digits_ += char(c);
        else sticky_ = sticky_ || c != '0';
    }

    Phase phase_ = Phase::Lead;
    SignLead lead_;
    bool trail_ = false, any_digit_ = false, sticky_ = false, exp_neg_ = false;
    std::string word_;
    std::string digits_;      // significant digits, from the first nonzero one
    std::int64_t point_ = 0;  // where the decimal point stands, counted from before digits_
    std::int64_t exp_ = 0;
};

// The argument of a protocol 0 STRING: a quoted text with Python's string escapes, ASCII only.
// The closing quote is known only at the end of the line, so each character is decoded one step
// behind.
class QuotedScan {
public:
    explicit QuotedScan(NameScan& out) : out_(out) {}

    bool feed(std::uint8_t c) {
        if (!quote_) {
            if (c != '\'' && c != '"') return false;
            quote_ = c;
            return true;
        }
        if (held_ && !decode(*held_)) return false;
        held_ = c;
        return true;
    }
    bool finish() {
        if (!held_ || *held_ != quote_) return false;
        if (state_ == State::Octal) return emit(std::uint8_t(value_));
        return state_ == State::Plain;
    }

private:
    enum class State { Plain, Escape, Hex, Octal };

    bool emit(std::uint8_t c) {
        if (c >= 0x80) return false;
        out_.byte(c);
        return true;
    }
    bool decode(std::uint8_t c) {
        switch (state_) {
            case State::Plain:
                if (c == '\\') {
                    state_ = State::Escape;
                    return true;
                }
                return emit(c);
            case State::Escape:
                state_ = State::Plain;
                switch (c) {
                    case '\n': return true;
                    case '\\': case '\'': case '"': return emit(c);
                    case 'a': return emit('\a');
                    case 'b': return emit('\b');
                    case 'f': return emit('\f');
                    case 'n': return emit('\n');
                    case 'r': return emit('\r');
                    case 't': return emit('\t');
                    case 'v': return emit('\v');
                    case 'x':
                        state_ = State::Hex;
                        digits_ = value_ = 0;
                        return true;
                    default:
                        if (c >= '0' && c <= '7') {
                            state_ = State::Octal;
                            digits_ = 1;
                            value_ = unsigned(c - '0');
                            return true;
                        }
                        return emit('\\') && emit(c);
                }
            case State::Hex: {
                const int d = hex_digit(c);
                if (d < 0) return false;
                value_ = value_ << 4 | unsigned(d);
                if (++digits_ < 2) return true;
                state_ = State::Plain;
                return emit(std::uint8_t(value_));
            }
            case State::Octal:
                if (c >= '0' && c <= '7' && digits_ < 3) {
                    value_ = value_ * 8 + unsigned(c - '0');
                    if (++digits_ < 3) return true;
                    state_ = State::Plain;
                    return emit(std::uint8_t(value_ & 0xFF));
                }
                state_ = State::Plain;
                return emit(std::uint8_t(value_ & 0xFF)) && decode(c);
        }
        return false;
    }

    NameScan& out_;
    std::uint8_t quote_ = 0;
    std::optional<std::uint8_t> held_;
    State state_ = State::Plain;
    unsigned digits_ = 0, value_ = 0;
};

// The argument of a protocol 0 UNICODE: raw-unicode-escape, where only an odd run of
// backslashes before 'u' or 'U' starts an escape.
class RawUnicodeScan {
public:
    explicit RawUnicodeScan(NameScan& out) : out_(out) {}

    bool feed(std::span<const std::uint8_t> b) {
        const std::uint8_t* p = b.data();
        const std::uint8_t* const end = p + b.size();
        while (p < end) {
            if (hex_left_ == 0 && run_ == 0) {
                // Plain characters up to the next backslash: code points below 256.
                const void* bs = std::memchr(p, '\\', std::size_t(end - p));
                const std::uint8_t* const stop = bs ? static_cast<const std::uint8_t*>(bs) : end;
                for (; p < stop && !out_.full(); ++p) out_.code_point(*p);
                p = stop;
                if (p == end) break;
            }
            if (!feed(*p++)) return false;
        }
        return true;
    }
    bool feed(std::uint8_t c) {
        if (hex_left_ > 0) {
            const int d = hex_digit(c);
            if (d < 0) return false;
            cp_ = cp_ << 4 | std::uint32_t(d);
            if (--hex_left_ == 0) return code_point(cp_);
            return true;
        }
        if (c == '\\') {
            ++run_;
            return true;
        }
        const bool escapes = (run_ & 1) && (c == 'u' || c == 'U');
        backslashes(escapes ? run_ - 1 : run_);
        run_ = 0;
        if (escapes) {
            hex_left_ = c == 'u' ? 4 : 8;
            cp_ = 0;
            return true;
        }
        return code_point(c);
    }
    bool finish() {
        if (hex_left_ > 0) return false;
        backslashes(run_);
        return true;
    }
    bool latin1() const { return latin1_; }

private:
    void backslashes(std::uint64_t n) {
        for (std::uint64_t k = 0; k < n && !out_.full(); ++k) out_.byte('\\');
    }
    bool code_point(std::uint32_t cp) {
        if (cp > 0x10FFFF) return false;
        if (cp > 0xFF) latin1_ = false;
        out_.code_point(cp);
        return true;
    }

    NameScan& out_;
    std::uint64_t run_ = 0;
    unsigned hex_left_ = 0;
    std::uint32_t cp_ = 0;
    bool latin1_ = true;
};

Value text_value(Kind kind, Name name, bool latin1) {
    return Value{kind, std::uint32_t(name) | (latin1 ? Value::kLatin1 : 0)};
}

Value number(float f) { return Value{Kind::Number, std::bit_cast<std::uint32_t>(f)}; }

}  // namespace

// The pickle machine: a stack of values, a stack of marks and the memo.
class Reader {
public:
    Reader(ByteStream& in, const std::vector<std::uint64_t>* keep) : in_(in), keep_(keep) {
        // Object 0 is the empty tuple, shared by every pickle that names one; it is never freed.
        doc_.objects_.emplace_back();
        doc_.objects_[0].kind = Kind::Tuple;
        doc_.objects_[0].refs = 1;
        next_serial_ = 1;
    }

    std::expected<Document, Error> run();

private:
    // ---- input ----
    std::expected<bool, Error> refill() {
        if (pos_ < cur_.size()) return true;
        auto piece = in_.next();
        if (!piece) return std::unexpected(piece.error());
        cur_ = *piece;
        pos_ = 0;
        return !cur_.empty();
    }
    std::expected<std::uint8_t, Error> byte() {
        if (pos_ < cur_.size()) {
            ++consumed_;
            return cur_[pos_++];
        }
        auto more = refill();
        if (!more) return std::unexpected(more.error());
        if (!*more) return fail("pickle data was truncated");
        ++consumed_;
        return cur_[pos_++];
    }
    // Hands the next n bytes to `f` piece by piece.
    template <class F>
    std::expected<void, Error> stream(std::uint64_t n, F&& f) {
        while (n > 0) {
            auto more = refill();
            if (!more) return std::unexpected(more.error());
            if (!*more) return fail("pickle data was truncated");
            const std::size_t k = std::size_t(std::min<std::uint64_t>(n, cur_.size() - pos_));
            if (!f(cur_.subspan(pos_, k))) return fail("invalid text");
            pos_ += k;
            consumed_ += k;
            n -= k;
        }
        return {};
    }
    std::expected<void, Error> exact(std::uint8_t* dst, std::size_t n) {
        return stream(n, [&](std::span<const std::uint8_t> b) {
            std::memcpy(dst, b.data(), b.size());
            dst += b.size();
            return true;
        });
    }
    // Hands the bytes of a line, up to (not including) its line feed, to `feed` piece by piece.
    template <class Feed>
    std::expected<void, Error> line(Feed&& feed) {
        for (;;) {
            auto more = refill();
            if (!more) return std::unexpected(more.error());
            if (!*more) return fail("pickle data was truncated");
            const auto* begin = cur_.data() + pos_;
            const std::size_t avail = cur_.size() - pos_;
            const void* nl = std::memchr(begin, '\n', avail);
            const std::size_t k = nl ? std::size_t(static_cast<const std::uint8_t*>(nl) - begin) : avail;
            if (!feed(std::span(begin, k))) return fail("invalid argument line");
            pos_ += k + (nl ? 1 : 0);
            consumed_ += k + (nl ? 1 : 0);
            if (nl) return {};
        }
    }
    // A line handed to a scanner that takes one character at a time.
    template <class Scan>
    std::expected<void, Error> line_to(Scan& scan) {
        return line([&](std::span<const std::uint8_t> b) {
            for (const std::uint8_t c : b)
                if (!scan.feed(c)) return false;
            return true;
        });
    }
    // A little-endian unsigned number of N bytes.
    template <std::size_t N>
    std::expected<std::uint64_t, Error> le() {
        static_assert(std::endian::native == std::endian::little);
        std::uint64_t v = 0;
        if (cur_.size() - pos_ >= N) {
            std::memcpy(&v, cur_.data() + pos_, N);
            pos_ += N;
            consumed_ += N;
        } else if (auto r = exact(reinterpret_cast<std::uint8_t*>(&v), N); !r) {
            return std::unexpected(r.error());
        }
        return v;
    }

    // ---- objects ----
    Object& obj(Value v) { return doc_.objects_[v.bits]; }
    const Object& obj(Value v) const { return doc_.objects_[v.bits]; }

    void retain(Value v) {
        if (is_object(v.kind)) ++obj(v).refs;
    }
    // Drops one reference; an object left without any is freed, and so on down its elements.
    void release(Value v) {
        if (!is_object(v.kind) || --obj(v).refs != 0) return;
        dead_.push_back(v.bits);
        while (!dead_.empty()) {
            const std::uint32_t index = dead_.back();
            dead_.pop_back();
            Object& o = doc_.objects_[index];
            auto drop = [&](std::uint32_t i) {
                if (--doc_.objects_[i].refs == 0) dead_.push_back(i);
            };
            if (is_object(o.first.kind)) drop(o.first.bits);
            if (is_object(o.second.kind)) drop(o.second.bits);
            for (const std::uint32_t i : o.items) drop(i);
            o = Object{};
            free_.push_back(index);
        }
    }

    // A new empty object of `kind` for stack slot `slot`; it holds no reference yet.
    std::expected<Value, Error> new_object(Kind kind, std::size_t slot) {
        std::uint32_t index;
        if (!free_.empty()) {
            index = free_.back();
            free_.pop_back();
        } else {
            if (doc_.objects_.size() >= std::numeric_limits<std::uint32_t>::max()) return fail("too many objects");
            index = std::uint32_t(doc_.objects_.size());
            doc_.objects_.emplace_back();
        }
        Object& o = doc_.objects_[index];
        o.kind = kind;
        o.serial = next_serial_++;
        o.lossy = keep_ ? !std::binary_search(keep_->begin(), keep_->end(), o.serial) : skipped_at(slot);
        return Value{kind, index};
    }

    // Adds elements to a sequence object.
    void add(Value target, std::span<const Value> values) {
        Object& o = obj(target);
        if (o.numbers && !o.lossy && values.size() > 1) {
            // A batch is usually a whole window: make room for exactly it.
            const std::size_t need = o.nums.size() + values.size();
            if (need > o.nums.capacity()) o.nums.reserve(std::max(need, o.nums.capacity() + o.nums.capacity() / 2));
        }
        for (const Value v : values) {
            if (o.size == 0) {
                o.first = v;
                retain(v);
            } else if (o.size == 1) {
                o.second = v;
                retain(v);
            }
            ++o.size;
            if (v.kind == Kind::Number) {
                if (o.sequences) drop_items(o);
                if (o.numbers && !o.lossy) o.nums.push_back(v.number());
            } else if (is_sequence(v.kind)) {
                if (o.numbers) drop_numbers(o);
                if (o.sequences) {
                    o.items.push_back(v.bits);
                    retain(v);
                }
            } else {
                drop_numbers(o);
                drop_items(o);
            }
        }
    }
    void drop_numbers(Object& o) {
        o.numbers = false;
        o.nums = {};
    }
    void drop_items(Object& o) {
        o.sequences = false;
        const std::vector<std::uint32_t> items = std::exchange(o.items, {});
        for (const std::uint32_t i : items) release(Value{Kind::List, i});
    }
    // Adds key, value, key, value, ... to a dict object; only "data" values are kept.
    void set_items(Value target, std::span<const Value> kv) {
        Object& o = obj(target);
        for (std::size_t i = 0; i + 1 < kv.size(); i += 2) {
            const Value key = kv[i];
            ++o.size;
            if (key.kind != Kind::Str && key.kind != Kind::Bytes) {
                o.odd_key = true;
            } else if (key.name() == Name::Data) {
                if (o.data_entries == 0) {
                    o.first = kv[i + 1];
                    retain(kv[i + 1]);
                }
                if (o.data_entries < 2) ++o.data_entries;
            }
        }
    }
    // Adds values to an object: elements to a sequence, key, value pairs to a dict.
    void fill(Value target, std::span<const Value> values) {
        if (target.kind == Kind::Dict) set_items(target, values);
        else add(target, values);
    }
    // A copy of a sequence's elements in a new set or frozenset.
    std::expected<Value, Error> copy_sequence(Kind kind, Value source, std::size_t slot) {
        auto made = new_object(kind, slot);
        if (!made) return made;
        Object& o = obj(*made);
        const Object& s = obj(source);
        o.size = s.size;
        o.first = s.first;
        o.second = s.second;
        retain(o.first);
        retain(o.second);
        o.numbers = s.numbers;
        o.sequences = s.sequences;
        if (s.numbers && s.size > 0) {
            // A second run must keep the source's numbers to copy them.
            doc_.copied_from_[o.serial] = s.serial;
            if (s.lossy) o.lossy = true;
        }
        if (o.numbers && !o.lossy) o.nums = s.nums;
        o.items = s.items;
        for (const std::uint32_t i : o.items) ++doc_.objects_[i].refs;
        return *made;
    }

    // ---- stack ----
    // Whether a value placed at stack slot p belongs to something a table skips, as Python's
    // pickler lays pickles out: a dict's value under a key other than "data", or anything built
    // on top of such a value. A wrong guess costs a second run, never a result. (Elements after
    // the first of a pickled sequence are skipped too, but a list at the bottom of the stack may
    // as well be the table itself inside a pickled tuple: their numbers are kept.)
    bool skipped_at(std::size_t p) const {
        if (p == 0) return false;
        const Value below = stack_[p - 1];
        const bool receives = below.kind == Kind::List || below.kind == Kind::Set || below.kind == Kind::Dict;
        // The first element of an empty list, set or dict (a single one is added without a mark).
        if (receives && obj(below).size == 0) return skip_[p - 1];
        // The first of the values that TUPLE, LIST, DICT or FROZENSET will make one value of.
        if (!marks_.empty() && marks_.back().at == p && !receives) return marks_.back().skip;
        // A dict's value, right above its key.
        if (below.kind == Kind::Str || below.kind == Kind::Bytes) {
            std::optional<std::size_t> dict;
            if (!marks_.empty()) {
                const std::size_t m = marks_.back().at;
                if (m >= 1 && m < p && stack_[m - 1].kind == Kind::Dict && (p - 1 - m) % 2 == 0) dict = m - 1;
            } else if (p >= 2 && stack_[p - 2].kind == Kind::Dict) {
                dict = p - 2;
            }
            if (dict) return skip_[*dict] || below.name() != Name::Data;
        }
        // Otherwise the same as the value below: an earlier element of the same object, or the
        // object this one goes into.
        return skip_[p - 1];
    }

    std::size_t fence() const { return marks_.empty() ? 0 : marks_.back().at; }
    void push(Value v) {
        retain(v);
        skip_.push_back(skipped_at(stack_.size()));
        stack_.push_back(v);
    }
    // The top value; the caller takes over its reference.
    std::expected<Value, Error> pop() {
        if (stack_.size() <= fence()) return fail("unpickling stack underflow");
        const Value v = stack_.back();
        stack_.pop_back();
        skip_.pop_back();
        return v;
    }
    // Removes the values from slot `at` on.
    void drop_to(std::size_t at) {
        for (std::size_t i = at; i < stack_.size(); ++i) release(stack_[i]);
        stack_.resize(at);
        skip_.resize(at);
    }
    // Removes the last mark; returns the slot where its values begin.
    std::expected<std::size_t, Error> pop_mark() {
        if (marks_.empty()) return fail("could not find MARK");
        const std::size_t at = marks_.back().at;
        if (--marks_.back().count == 0) marks_.pop_back();
        return at;
    }
    std::span<const Value> above(std::size_t at) const { return std::span(stack_).subspan(at); }

    Value* memo_find(std::uint64_t index) {
        if (index < memo_.size()) return &memo_[std::size_t(index)];
        const auto it = memo_far_.find(index);
        return it == memo_far_.end() ? nullptr : &it->second;
    }
    std::expected<void, Error> memo_put(std::uint64_t index) {
        if (stack_.size() <= fence()) return fail("unpickling stack underflow");
        const Value v = stack_.back();
        retain(v);
        if (Value* slot = memo_find(index)) {
            release(std::exchange(*slot, v));
            return {};
        }
        ++memo_count_;
        // Python's pickler numbers its memo entries 0, 1, 2, ...; other keys go to a map.
        if (index < memo_.size()) memo_[std::size_t(index)] = v;
        else if (index == memo_.size()) memo_.push_back(v);
        else memo_far_.emplace(index, v);
        return {};
    }
    std::expected<void, Error> memo_get(std::uint64_t index) {
        const Value* v = memo_find(index);
        if (!v) return fail("memo key not found");
        push(*v);
        return {};
    }

    std::expected<void, Error> load_decimal(bool long_form);
    std::expected<void, Error> load_long_bytes(std::uint64_t n);
    std::expected<void, Error> load_utf8(std::uint64_t n);
    std::expected<void, Error> load_bytes(Kind kind, std::uint64_t n);
    std::expected<std::uint64_t, Error> memo_index_line();
    std::expected<void, Error> from_mark(std::uint8_t op);
    std::expected<void, Error> add_from_mark(std::uint8_t op);
    std::expected<void, Error> reduce();
    std::expected<void, Error> step(std::uint8_t op);

    ByteStream& in_;
    const std::vector<std::uint64_t>* keep_;
    std::span<const std::uint8_t> cur_;
    std::size_t pos_ = 0;
    std::uint64_t consumed_ = 0;
    std::uint64_t frame_end_ = 0;

    Document doc_;
    std::vector<std::uint32_t> free_;  // object slots free for reuse
    std::vector<std::uint32_t> dead_;  // objects being freed
    std::uint64_t next_serial_ = 0;

    std::vector<Value> stack_;
    std::vector<std::uint8_t> skip_;  // per slot: whether its value belongs to something skipped
    struct Mark {
        std::size_t at;       // the stack size when it was set
        std::uint64_t count;  // marks set at that same size
        bool skip;            // whether a value built in its place would be skipped
    };
    std::vector<Mark> marks_;
    std::vector<Value> memo_;  // keys 0, 1, 2, ... as Python's pickler writes them
    std::unordered_map<std::uint64_t, Value> memo_far_;
    std::uint64_t memo_count_ = 0;  // entries set, the key MEMOIZE uses next
    bool stopped_ = false;
};

std::expected<void, Error> Reader::load_decimal(bool long_form) {
    DecimalScan scan(long_form);
    if (auto r = line_to(scan); !r) return r;
    if (const auto b = scan.boolean()) {
        push(Value{Kind::Bool, *b ? 1u : 0u});
        return {};
    }
    if (!scan.valid()) return fail("invalid integer text");
    const auto v = scan.value();
    push(v ? number(static_cast<float>(*v)) : Value{Kind::BigInt});
    return {};
}

std::expected<std::uint64_t, Error> Reader::memo_index_line() {
    DecimalScan scan;
    if (auto r = line_to(scan); !r) return std::unexpected(r.error());
    const auto v = scan.valid() ? scan.value() : std::nullopt;
    if (!v || *v < 0) return fail("invalid memo index");
    return std::uint64_t(*v);
}

// A little-endian two's-complement integer of n bytes, streamed without keeping it.
std::expected<void, Error> Reader::load_long_bytes(std::uint64_t n) {
    std::uint8_t low[8] = {};
    const std::size_t k = std::size_t(std::min<std::uint64_t>(n, 8));
    if (auto r = exact(low, k); !r) return r;
    bool fits = true;
    if (n > 8) {
        // The value fits when every higher byte only extends the sign of byte 7.
        const std::uint8_t ext = (low[7] & 0x80) ? 0xFF : 0x00;
        auto r = stream(n - 8, [&](std::span<const std::uint8_t> b) {
            for (const std::uint8_t c : b) fits = fits && c == ext;
            return true;
        });
        if (!r) return r;
    }
    if (!fits) {
        push(Value{Kind::BigInt});
        return {};
    }
    std::uint64_t u = 0;
    for (std::size_t j = k; j-- > 0;) u = u << 8 | low[j];
    if (k > 0 && k < 8 && (low[k - 1] & 0x80)) u |= ~std::uint64_t(0) << (8 * k);  // sign-extend
    push(number(static_cast<float>(std::int64_t(u))));
    return {};
}

std::expected<void, Error> Reader::load_utf8(std::uint64_t n) {
    NameScan name;
    Utf8Scan utf8;
    auto r = stream(n, [&](std::span<const std::uint8_t> b) {
        name.bytes(b);
        return utf8.bytes(b);
    });
    if (!r) return r;
    if (!utf8.complete()) return fail("invalid UTF-8 text");
    push(text_value(Kind::Str, name.name(), utf8.latin1()));
    return {};
}

// Byte strings, and Python 2 strings (Kind::Str), which must be ASCII.
std::expected<void, Error> Reader::load_bytes(Kind kind, std::uint64_t n) {
    NameScan name;
    auto r = stream(n, [&](std::span<const std::uint8_t> b) {
        name.bytes(b);
        if (kind == Kind::Str)
            for (const std::uint8_t c : b)
                if (c >= 0x80) return false;
        return true;
    });
    if (!r) return r;
    push(text_value(kind, name.name(), true));
    return {};
}

// LIST, TUPLE, FROZENSET and DICT: a new object of the values above the last mark.
std::expected<void, Error> Reader::from_mark(std::uint8_t op) {
    auto at = pop_mark();
    if (!at) return std::unexpected(at.error());
    const std::span<const Value> values = above(*at);
    if (op == DICT && values.size() % 2 != 0) return fail("odd number of items for DICT");
    if (op == TUPLE && values.empty()) {
        push(Value{Kind::Tuple, 0});
        return {};
    }
    const Kind k = op == LIST ? Kind::List : op == TUPLE ? Kind::Tuple : op == DICT ? Kind::Dict : Kind::FrozenSet;
    auto made = new_object(k, *at);
    if (!made) return std::unexpected(made.error());
    fill(*made, values);
    drop_to(*at);
    push(*made);
    return {};
}

// APPENDS, ADDITEMS and SETITEMS: the values above the last mark, added to the object below it.
std::expected<void, Error> Reader::add_from_mark(std::uint8_t op) {
    auto at = pop_mark();
    if (!at) return std::unexpected(at.error());
    const std::span<const Value> values = above(*at);
    if (op == SETITEMS && values.size() % 2 != 0) return fail("odd number of items for SETITEMS");
    if (*at <= fence()) return fail("unpickling stack underflow");
    const Value target = stack_[*at - 1];
    const Kind want = op == APPENDS ? Kind::List : op == ADDITEMS ? Kind::Set : Kind::Dict;
    if (target.kind != want) return fail("items added to an object of the wrong kind");
    fill(target, values);
    drop_to(*at);
    return {};
}

// Applies one of the recognised builtins to its argument tuple, as old protocols write them.
std::expected<void, Error> Reader::reduce() {
    auto args = pop();
    if (!args) return std::unexpected(args.error());
    auto fn = pop();
    if (!fn) return std::unexpected(fn.error());
    if (fn->kind != Kind::Callable || args->kind != Kind::Tuple) return fail("REDUCE of something not allowed");
    const Object& a = obj(*args);
    const std::uint64_t n = a.size;
    const Value a0 = a.first, a1 = a.second;
    const std::size_t slot = stack_.size();
    Value result;
    switch (static_cast<Builtin>(fn->bits)) {
        case Builtin::Set:
        case Builtin::FrozenSet: {
            const Kind k = static_cast<Builtin>(fn->bits) == Builtin::Set ? Kind::Set : Kind::FrozenSet;
            std::expected<Value, Error> made;
            if (n == 1 && is_sequence(a0.kind)) made = copy_sequence(k, a0, slot);
            else if (n == 0) made = new_object(k, slot);
            else return fail("unexpected set arguments");
            if (!made) return std::unexpected(made.error());
            result = *made;
            break;
        }
        case Builtin::Bytes:
        case Builtin::ByteArray:
            if (n == 1 && a0.kind == Kind::Bytes) result = a0;
            else if (n == 0) result = text_value(Kind::Bytes, Name::Other, true);
            else return fail("unexpected bytes arguments");
            if (static_cast<Builtin>(fn->bits) == Builtin::ByteArray) result = Value{Kind::Other};
            break;
        case Builtin::Encode:
            // _codecs.encode(text, "latin1"): the bytes of a text whose characters are below 256.
            if (n != 2 || a0.kind != Kind::Str || a1.kind != Kind::Str || a1.name() != Name::Latin1)
                return fail("unexpected encode arguments");
            if (!(a0.bits & Value::kLatin1)) return fail("text not encodable as latin1");
            // Only ASCII texts spell the same name in both forms.
            result = text_value(Kind::Bytes, a0.name(), true);
            break;
        default:
            return fail("REDUCE of something not allowed");
    }
    release(*args);
    push(result);
    return {};
}

std::expected<void, Error> Reader::step(std::uint8_t op) {
    switch (op) {
        case PROTO: {
            auto p = byte();
            if (!p) return std::unexpected(p.error());
            if (*p > kHighestProtocol) return fail("unsupported pickle protocol");
            return {};
        }
        case FRAME: {
            auto n = le<8>();
            if (!n) return std::unexpected(n.error());
            if (frame_end_ > consumed_) return fail("new frame before the end of the current frame");
            if (*n > std::numeric_limits<std::uint64_t>::max() - consumed_) return fail("frame too long");
            frame_end_ = consumed_ + *n;
            return {};
        }
        case STOP: {
            auto v = pop();
            if (!v) return std::unexpected(v.error());
            if (frame_end_ > consumed_) return fail("pickle ends inside a frame");
            doc_.root = *v;  // takes over the stack's reference
            stopped_ = true;
            return {};
        }
        case MARK:
            if (!marks_.empty() && marks_.back().at == stack_.size()) ++marks_.back().count;
            else marks_.push_back(Mark{stack_.size(), 1, skipped_at(stack_.size())});
            return {};
        case POP:
            if (stack_.size() > fence()) {
                drop_to(stack_.size() - 1);
                return {};
            }
            [[fallthrough]];
        case POP_MARK: {
            auto at = pop_mark();
            if (!at) return std::unexpected(at.error());
            drop_to(*at);
            return {};
        }
        case DUP:
            if (stack_.size() <= fence()) return fail("unpickling stack underflow");
            push(stack_.back());
            return {};

        case NONE: push(Value{Kind::None}); return {};
        case NEWTRUE:
        case NEWFALSE: push(Value{Kind::Bool, op == NEWTRUE ? 1u : 0u}); return {};
        case INT: return load_decimal(false);
        case LONG: return load_decimal(true);
        case BININT:
        case BININT1:
        case BININT2: {
            std::expected<std::uint64_t, Error> n = op == BININT ? le<4>() : op == BININT1 ? le<1>() : le<2>();
            if (!n) return std::unexpected(n.error());
            const std::int64_t v = op == BININT ? std::int64_t(std::int32_t(std::uint32_t(*n))) : std::int64_t(*n);
            push(number(static_cast<float>(v)));
            return {};
        }
        case LONG1: {
            auto n = le<1>();
            if (!n) return std::unexpected(n.error());
            return load_long_bytes(*n);
        }
        case LONG4: {
            auto n = le<4>();
            if (!n) return std::unexpected(n.error());
            if (std::int32_t(std::uint32_t(*n)) < 0) return fail("LONG pickle has negative byte count");
            return load_long_bytes(*n);
        }
        case FLOAT: {
            FloatScan scan;
            if (auto r = line_to(scan); !r) return r;
            const auto f = scan.value();
            if (!f) return fail("invalid float text");
            push(number(static_cast<float>(*f)));
            return {};
        }
        case BINFLOAT: {
            auto n = le<8>();
            if (!n) return std::unexpected(n.error());
            // Stored big-endian: le<8> read it reversed.
            push(number(static_cast<float>(std::bit_cast<double>(std::byteswap(*n)))));
            return {};
        }

        case SHORT_BINUNICODE: {
            auto n = le<1>();
            if (!n) return std::unexpected(n.error());
            return load_utf8(*n);
        }
        case BINUNICODE: {
            auto n = le<4>();
            if (!n) return std::unexpected(n.error());
            return load_utf8(*n);
        }
        case BINUNICODE8: {
            auto n = le<8>();
            if (!n) return std::unexpected(n.error());
            return load_utf8(*n);
        }
        case SHORT_BINBYTES: {
            auto n = le<1>();
            if (!n) return std::unexpected(n.error());
            return load_bytes(Kind::Bytes, *n);
        }
        case BINBYTES: {
            auto n = le<4>();
            if (!n) return std::unexpected(n.error());
            return load_bytes(Kind::Bytes, *n);
        }
        case BINBYTES8: {
            auto n = le<8>();
            if (!n) return std::unexpected(n.error());
            return load_bytes(Kind::Bytes, *n);
        }
        case BYTEARRAY8: {
            auto n = le<8>();
            if (!n) return std::unexpected(n.error());
            if (auto r = stream(*n, [](std::span<const std::uint8_t>) { return true; }); !r) return r;
            push(Value{Kind::Other});
            return {};
        }
        // Python 2 byte strings, read as ASCII text as Python 3 does by default.
        case SHORT_BINSTRING: {
            auto n = le<1>();
            if (!n) return std::unexpected(n.error());
            return load_bytes(Kind::Str, *n);
        }
        case BINSTRING: {
            auto n = le<4>();
            if (!n) return std::unexpected(n.error());
            if (std::int32_t(std::uint32_t(*n)) < 0) return fail("BINSTRING pickle has negative byte count");
            return load_bytes(Kind::Str, *n);
        }
        case STRING: {
            NameScan name;
            QuotedScan scan(name);
            if (auto r = line_to(scan); !r) return r;
            if (!scan.finish()) return fail("invalid STRING argument");
            push(text_value(Kind::Str, name.name(), true));
            return {};
        }
        case UNICODE: {
            NameScan name;
            RawUnicodeScan scan(name);
            if (auto r = line([&](std::span<const std::uint8_t> b) { return scan.feed(b); }); !r) return r;
            if (!scan.finish()) return fail("invalid UNICODE argument");
            push(text_value(Kind::Str, name.name(), scan.latin1()));
            return {};
        }

        case EMPTY_TUPLE: push(Value{Kind::Tuple, 0}); return {};
        case EMPTY_LIST:
        case EMPTY_DICT:
        case EMPTY_SET: {
            const Kind k = op == EMPTY_LIST ? Kind::List : op == EMPTY_DICT ? Kind::Dict : Kind::Set;
            auto made = new_object(k, stack_.size());
            if (!made) return std::unexpected(made.error());
            push(*made);
            return {};
        }
        case LIST:
        case TUPLE:
        case FROZENSET:
        case DICT: return from_mark(op);
        case TUPLE1:
        case TUPLE2:
        case TUPLE3: {
            const std::size_t n = std::size_t(op - TUPLE1) + 1;
            if (stack_.size() - fence() < n) return fail("unpickling stack underflow");
            const std::size_t at = stack_.size() - n;
            auto made = new_object(Kind::Tuple, at);
            if (!made) return std::unexpected(made.error());
            add(*made, above(at));
            drop_to(at);
            push(*made);
            return {};
        }
        case APPEND: {
            auto v = pop();
            if (!v) return std::unexpected(v.error());
            if (stack_.size() <= fence()) return fail("unpickling stack underflow");
            if (stack_.back().kind != Kind::List) return fail("items added to an object of the wrong kind");
            add(stack_.back(), std::span(&*v, 1));
            release(*v);
            return {};
        }
        case APPENDS:
        case ADDITEMS:
        case SETITEMS: return add_from_mark(op);
        case SETITEM: {
            auto value = pop();
            if (!value) return std::unexpected(value.error());
            auto key = pop();
            if (!key) return std::unexpected(key.error());
            if (stack_.size() <= fence()) return fail("unpickling stack underflow");
            if (stack_.back().kind != Kind::Dict) return fail("items added to an object of the wrong kind");
            const Value kv[2] = {*key, *value};
            set_items(stack_.back(), kv);
            release(*key);
            release(*value);
            return {};
        }

        case PUT:
        case GET: {
            auto index = memo_index_line();
            if (!index) return std::unexpected(index.error());
            return op == PUT ? memo_put(*index) : memo_get(*index);
        }
        case BINPUT:
        case BINGET: {
            auto n = le<1>();
            if (!n) return std::unexpected(n.error());
            return op == BINPUT ? memo_put(*n) : memo_get(*n);
        }
        case LONG_BINPUT:
        case LONG_BINGET: {
            auto n = le<4>();
            if (!n) return std::unexpected(n.error());
            return op == LONG_BINPUT ? memo_put(*n) : memo_get(*n);
        }
        case MEMOIZE: return memo_put(memo_count_);

        case GLOBAL: {
            NameScan module, name;
            for (NameScan* part : {&module, &name}) {
                auto r = line([&](std::span<const std::uint8_t> b) {
                    part->bytes(b);
                    return true;
                });
                if (!r) return r;
            }
            const auto b = builtin_of(module.name(), name.name());
            if (!b) return fail("pickle refers to a global that is not allowed");
            push(Value{Kind::Callable, std::uint32_t(*b)});
            return {};
        }
        case STACK_GLOBAL: {
            auto name = pop();
            if (!name) return std::unexpected(name.error());
            auto module = pop();
            if (!module) return std::unexpected(module.error());
            if (name->kind != Kind::Str || module->kind != Kind::Str) return fail("STACK_GLOBAL requires str");
            const auto b = builtin_of(module->name(), name->name());
            if (!b) return fail("pickle refers to a global that is not allowed");
            push(Value{Kind::Callable, std::uint32_t(*b)});
            return {};
        }
        case REDUCE: return reduce();

        default:
            // PERSID, BINPERSID, BUILD, INST, OBJ, NEWOBJ, NEWOBJ_EX, EXT1/2/4, out-of-band buffers,
            // and bytes that are no opcode at all.
            return fail("opcode not allowed");
    }
}

std::expected<Document, Error> Reader::run() {
    while (!stopped_) {
        auto op = byte();
        if (!op) return std::unexpected(op.error());
        if (auto r = step(*op); !r) return std::unexpected(r.error());
    }
    // Nothing may follow the pickle: the stream must end here.
    for (;;) {
        if (pos_ < cur_.size()) return fail("data after the end of the pickle");
        auto piece = in_.next();
        if (!piece) return std::unexpected(piece.error());
        if (piece->empty()) break;
        cur_ = *piece;
        pos_ = 0;
    }
    if (doc_.root.kind == Kind::Callable) return fail("pickle of a builtin");
    return std::move(doc_);
}

std::expected<Document, Error> read(ByteStream& in, const std::vector<std::uint64_t>* keep) {
    return Reader(in, keep).run();
}

namespace {

class SpanStream final : public ByteStream {
public:
    explicit SpanStream(std::span<const std::uint8_t> b) : bytes_(b) {}
    std::expected<std::span<const std::uint8_t>, Error> next() override { return std::exchange(bytes_, {}); }

private:
    std::span<const std::uint8_t> bytes_;
};

}  // namespace

std::expected<Document, Error> read(std::span<const std::uint8_t> bytes, const std::vector<std::uint64_t>* keep) {
    SpanStream s(bytes);
    return Reader(s, keep).run();
}

}  // namespace vuzevuz::calibration::pickle
