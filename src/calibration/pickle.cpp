#include "calibration/pickle.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>
#include <unordered_map>
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

std::optional<Builtin> builtin_of(std::string_view module, std::string_view name) {
    if (module == "builtins" || module == "__builtin__") {
        if (name == "set") return Builtin::Set;
        if (name == "frozenset") return Builtin::FrozenSet;
        if (name == "bytes") return Builtin::Bytes;
        if (name == "bytearray") return Builtin::ByteArray;
    }
    if (module == "_codecs" && name == "encode") return Builtin::Encode;
    return std::nullopt;
}

void put_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | cp >> 6);
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | cp >> 12);
        out += char(0x80 | (cp >> 6 & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | cp >> 18);
        out += char(0x80 | (cp >> 12 & 0x3F));
        out += char(0x80 | (cp >> 6 & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// Decodes one UTF-8 code point at s[i] (surrogates allowed); advances i.
std::optional<std::uint32_t> next_code_point(std::string_view s, std::size_t& i) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len;
    std::uint32_t cp;
    if (c < 0x80) {
        ++i;
        return c;
    }
    if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; }
    else return std::nullopt;
    if (s.size() - i < len) return std::nullopt;
    for (std::size_t k = 1; k < len; ++k) {
        const auto cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80) return std::nullopt;
        cp = cp << 6 | (cc & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF)
        return std::nullopt;
    i += len;
    return cp;
}

bool valid_utf8(std::string_view s) {
    for (std::size_t i = 0; i < s.size();)
        if (!next_code_point(s, i)) return false;
    return true;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The text of a protocol 0 UNICODE argument (raw-unicode-escape), as UTF-8.
std::optional<std::string> raw_unicode_escape(std::string_view in) {
    std::string out;
    out.reserve(in.size());
    std::size_t i = 0;
    while (i < in.size()) {
        const auto c = static_cast<unsigned char>(in[i]);
        if (c != '\\') {
            put_utf8(out, c);
            ++i;
            continue;
        }
        // A run of backslashes: only an odd run escapes what follows.
        std::size_t run = 0;
        while (i < in.size() && in[i] == '\\') {
            ++run;
            ++i;
        }
        const bool escapes = (run & 1) && i < in.size() && (in[i] == 'u' || in[i] == 'U');
        out.append(escapes ? run - 1 : run, '\\');
        if (!escapes) continue;
        const std::size_t digits = in[i] == 'u' ? 4 : 8;
        ++i;
        if (in.size() - i < digits) return std::nullopt;
        std::uint32_t cp = 0;
        for (std::size_t k = 0; k < digits; ++k) {
            const int d = hex_digit(in[i + k]);
            if (d < 0) return std::nullopt;
            cp = cp << 4 | std::uint32_t(d);
        }
        if (cp > 0x10FFFF) return std::nullopt;
        i += digits;
        put_utf8(out, cp);
    }
    return out;
}

// The text of a protocol 0 STRING argument: quoted, with Python's string escapes, ASCII only.
std::optional<std::string> quoted_string(std::string_view in) {
    if (in.size() < 2 || in.front() != in.back() || (in.front() != '\'' && in.front() != '"')) return std::nullopt;
    in = in.substr(1, in.size() - 2);
    std::string out;
    for (std::size_t i = 0; i < in.size();) {
        char c = in[i++];
        if (c != '\\') {
            out += c;
            continue;
        }
        if (i == in.size()) return std::nullopt;  // a trailing backslash
        c = in[i++];
        switch (c) {
            case '\n': break;
            case '\\': out += '\\'; break;
            case '\'': out += '\''; break;
            case '"': out += '"'; break;
            case 'a': out += '\a'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'v': out += '\v'; break;
            case 'x': {
                if (in.size() - i < 2) return std::nullopt;
                const int h = hex_digit(in[i]), l = hex_digit(in[i + 1]);
                if (h < 0 || l < 0) return std::nullopt;
                out += char(h << 4 | l);
                i += 2;
                break;
            }
            default:
                if (c >= '0' && c <= '7') {
                    unsigned v = unsigned(c - '0');
                    for (int k = 0; k < 2 && i < in.size() && in[i] >= '0' && in[i] <= '7'; ++k)
                        v = v * 8 + unsigned(in[i++] - '0');
                    out += char(v & 0xFF);
                } else {
                    out += '\\';
                    out += c;
                }
        }
    }
    for (char c : out)
        if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
    return out;
}

// A decimal integer as Python's int() reads it (sign, digits, surrounding blanks).
enum class IntText { Small, Big, Invalid };
IntText parse_decimal(std::string_view s, std::int64_t& out) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    bool neg = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        neg = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return IntText::Invalid;
    // Underscores may separate digits, as in Python's int().
    std::uint64_t mag = 0;
    bool big = false, prev_digit = false;
    for (char c : s) {
        if (c == '_') {
            if (!prev_digit) return IntText::Invalid;
            prev_digit = false;
            continue;
        }
        if (c < '0' || c > '9') return IntText::Invalid;
        prev_digit = true;
        if (!big) {
            if (mag > (std::numeric_limits<std::uint64_t>::max() - unsigned(c - '0')) / 10) big = true;
            else mag = mag * 10 + unsigned(c - '0');
        }
    }
    if (!prev_digit) return IntText::Invalid;
    constexpr std::uint64_t lim = std::uint64_t(std::numeric_limits<std::int64_t>::max());
    if (big || mag > lim + (neg ? 1 : 0)) return IntText::Big;
    out = neg ? std::int64_t(0 - mag) : std::int64_t(mag);
    return IntText::Small;
}

std::optional<double> parse_float_text(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    bool neg = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        neg = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty() || s.front() == '+' || s.front() == '-') return std::nullopt;
    double v;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    // Out-of-range texts: from_chars reports them; Python gives inf or 0 instead.
    if (ec == std::errc::result_out_of_range && end == s.data() + s.size()) {
        bool tiny = false;
        const auto e = s.find_first_of("eE");
        if (e != std::string_view::npos) tiny = s.substr(e + 1).starts_with('-');
        v = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (ec != std::errc() || end != s.data() + s.size()) {
        return std::nullopt;
    }
    return neg ? -v : v;
}

}  // namespace

// The pickle machine: a stack of values, a stack of marks and the memo.
class Reader {
public:
    Reader(ByteStream& in, std::size_t budget) : in_(in), budget_(budget) {}

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
        auto more = refill();
        if (!more) return std::unexpected(more.error());
        if (!*more) return fail("pickle data was truncated");
        ++consumed_;
        return cur_[pos_++];
    }
    std::expected<void, Error> exact(std::uint8_t* dst, std::size_t n) {
        while (n > 0) {
            auto more = refill();
            if (!more) return std::unexpected(more.error());
            if (!*more) return fail("pickle data was truncated");
            const std::size_t k = std::min(n, cur_.size() - pos_);
            std::memcpy(dst, cur_.data() + pos_, k);
            pos_ += k;
            consumed_ += k;
            dst += k;
            n -= k;
        }
        return {};
    }
    // Appends n bytes to `out`; the length is trusted only as far as the stream holds bytes.
    std::expected<void, Error> append(std::string& out, std::uint64_t n) {
        while (n > 0) {
            auto more = refill();
            if (!more) return std::unexpected(more.error());
            if (!*more) return fail("pickle data was truncated");
            const std::size_t k = std::size_t(std::min<std::uint64_t>(n, cur_.size() - pos_));
            if (auto c = charge(k); !c) return c;
            out.append(reinterpret_cast<const char*>(cur_.data() + pos_), k);
            pos_ += k;
            consumed_ += k;
            n -= k;
        }
        return {};
    }
    std::expected<void, Error> skip(std::uint64_t n) {
        while (n > 0) {
            auto more = refill();
            if (!more) return std::unexpected(more.error());
            if (!*more) return fail("pickle data was truncated");
            const std::size_t k = std::size_t(std::min<std::uint64_t>(n, cur_.size() - pos_));
            pos_ += k;
            consumed_ += k;
            n -= k;
        }
        return {};
    }
    // A line up to (not including) its line feed. Its bytes count against the budget until
    // drop() gives them back.
    std::expected<std::string, Error> line() {
        std::string out;
        for (;;) {
            auto more = refill();
            if (!more) return std::unexpected(more.error());
            if (!*more) return fail("pickle data was truncated");
            const auto* begin = cur_.data() + pos_;
            const std::size_t avail = cur_.size() - pos_;
            const void* nl = std::memchr(begin, '\n', avail);
            const std::size_t k = nl ? std::size_t(static_cast<const std::uint8_t*>(nl) - begin) : avail;
            if (auto c = charge(k); !c) return std::unexpected(c.error());
            out.append(reinterpret_cast<const char*>(begin), k);
            pos_ += k;
            consumed_ += k;
            if (nl) {
                ++pos_;
                ++consumed_;
                return out;
            }
        }
    }
    template <std::size_t N>
    std::expected<std::uint64_t, Error> le() {
        std::uint8_t b[N];
        if (auto r = exact(b, N); !r) return std::unexpected(r.error());
        std::uint64_t v = 0;
        for (std::size_t k = N; k-- > 0;) v = v << 8 | b[k];
        return v;
    }

    // ---- memory ----
    std::expected<void, Error> charge(std::size_t n) {
        if (n > budget_ - used_) return fail("pickle too large");
        used_ += n;
        return {};
    }
    void drop(const std::string& line) { used_ -= line.size(); }

    // ---- objects ----
    std::expected<Value, Error> new_text(Kind kind, std::string s) {
        if (doc_.texts_.size() >= std::numeric_limits<std::uint32_t>::max()) return fail("pickle too large");
        if (auto c = charge(sizeof(std::string)); !c) return std::unexpected(c.error());
        Value v;
        v.kind = kind;
        v.ref = std::uint32_t(doc_.texts_.size());
        doc_.texts_.push_back(std::move(s));
        return v;
    }
    std::expected<Value, Error> new_container(Kind kind, std::vector<Value> items) {
        if (doc_.containers_.size() >= std::numeric_limits<std::uint32_t>::max()) return fail("pickle too large");
        if (auto c = charge(sizeof(std::vector<Value>) + items.size() * sizeof(Value)); !c)
            return std::unexpected(c.error());
        Value v;
        v.kind = kind;
        v.ref = std::uint32_t(doc_.containers_.size());
        doc_.containers_.push_back(std::move(items));
        return v;
    }
    std::vector<Value>& items_of(const Value& v) { return doc_.containers_[v.ref]; }

    // ---- stack ----
    std::size_t fence() const { return marks_.empty() ? 0 : marks_.back(); }
    std::expected<void, Error> push(Value v) {
        if (auto c = charge(sizeof(Value)); !c) return c;
        stack_.push_back(v);
        return {};
    }
    std::expected<Value, Error> pop() {
        if (stack_.size() <= fence()) return fail("unpickling stack underflow");
        Value v = stack_.back();
        stack_.pop_back();
        used_ -= sizeof(Value);
        return v;
    }
    std::expected<Value*, Error> top() {
        if (stack_.size() <= fence()) return fail("unpickling stack underflow");
        return &stack_.back();
    }
    // The items above the last mark, removing them and the mark.
    std::expected<std::vector<Value>, Error> pop_mark() {
        if (marks_.empty()) return fail("could not find MARK");
        const std::size_t at = marks_.back();
        marks_.pop_back();
        used_ -= sizeof(std::size_t);
        std::vector<Value> items(stack_.begin() + std::ptrdiff_t(at), stack_.end());
        stack_.resize(at);
        used_ -= items.size() * sizeof(Value);
        return items;
    }
    // Adds items to a list, set or dict already built.
    std::expected<void, Error> extend(Value target, Kind want, std::span<const Value> items) {
        if (target.kind != want) return fail("items added to an object of the wrong kind");
        if (auto c = charge(items.size() * sizeof(Value)); !c) return c;
        auto& dst = items_of(target);
        dst.insert(dst.end(), items.begin(), items.end());
        return {};
    }
    std::expected<void, Error> memo_put(std::uint64_t index) {
        auto t = top();
        if (!t) return std::unexpected(t.error());
        if (auto c = charge(48); !c) return c;
        memo_[index] = **t;
        return {};
    }
    std::expected<void, Error> memo_get(std::uint64_t index) {
        const auto it = memo_.find(index);
        if (it == memo_.end()) return fail("memo key not found");
        return push(it->second);
    }

    std::expected<void, Error> load_int(std::string_view text, bool long_form);
    std::expected<void, Error> load_long_bytes(std::uint64_t n);
    std::expected<void, Error> load_text(Kind kind, std::uint64_t n);
    std::expected<void, Error> load_global(std::string_view module, std::string_view name);
    std::expected<void, Error> reduce();
    std::expected<void, Error> step(std::uint8_t op);

    ByteStream& in_;
    std::span<const std::uint8_t> cur_;
    std::size_t pos_ = 0;
    std::uint64_t consumed_ = 0;
    std::uint64_t frame_end_ = 0;

    std::size_t budget_;
    std::size_t used_ = 0;

    Document doc_;
    std::vector<Value> stack_;
    std::vector<std::size_t> marks_;
    std::unordered_map<std::uint64_t, Value> memo_;
    bool stopped_ = false;
};

std::expected<void, Error> Reader::load_int(std::string_view text, bool long_form) {
    Value v;
    if (!long_form && (text == "00" || text == "01")) {
        v.kind = Kind::Bool;
        v.num.i = text == "01";
        return push(v);
    }
    if (long_form && !text.empty() && text.back() == 'L') text.remove_suffix(1);
    std::int64_t x;
    switch (parse_decimal(text, x)) {
        case IntText::Invalid: return fail("invalid integer text");
        case IntText::Big: v.kind = Kind::BigInt; break;
        case IntText::Small: v.kind = Kind::Int; v.num.i = x; break;
    }
    return push(v);
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
        for (std::uint64_t left = n - 8; left > 0;) {
            std::uint8_t buf[4096];
            const std::size_t m = std::size_t(std::min<std::uint64_t>(left, sizeof buf));
            if (auto r = exact(buf, m); !r) return r;
            for (std::size_t j = 0; j < m; ++j) fits = fits && buf[j] == ext;
            left -= m;
        }
    }
    Value v;
    if (!fits) {
        v.kind = Kind::BigInt;
        return push(v);
    }
    std::uint64_t u = 0;
    for (std::size_t j = k; j-- > 0;) u = u << 8 | low[j];
    if (k > 0 && k < 8 && (low[k - 1] & 0x80)) u |= ~std::uint64_t(0) << (8 * k);  // sign-extend
    v.kind = Kind::Int;
    v.num.i = std::int64_t(u);
    return push(v);
}

std::expected<void, Error> Reader::load_text(Kind kind, std::uint64_t n) {
    std::string s;
    if (auto r = append(s, n); !r) return r;
    if (kind == Kind::Str && !valid_utf8(s)) return fail("invalid UTF-8 text");
    if (kind == Kind::Other) {  // a bytearray: its content is not needed
        Value v;
        v.kind = Kind::Other;
        return push(v);
    }
    auto v = new_text(kind, std::move(s));
    if (!v) return std::unexpected(v.error());
    return push(*v);
}

std::expected<void, Error> Reader::load_global(std::string_view module, std::string_view name) {
    const auto b = builtin_of(module, name);
    if (!b) return fail("pickle refers to a global that is not allowed");
    Value v;
    v.kind = Kind::Callable;
    v.ref = std::uint32_t(*b);
    return push(v);
}

// Applies one of the recognised builtins to its argument tuple, as old protocols write them.
std::expected<void, Error> Reader::reduce() {
    auto args = pop();
    if (!args) return std::unexpected(args.error());
    auto fn = pop();
    if (!fn) return std::unexpected(fn.error());
    if (fn->kind != Kind::Callable || args->kind != Kind::Tuple) return fail("REDUCE of something not allowed");
    const std::vector<Value> a = items_of(*args);
    const auto b = static_cast<Builtin>(fn->ref);
    switch (b) {
        case Builtin::Set:
        case Builtin::FrozenSet: {
            std::vector<Value> items;
            if (a.size() == 1 && Document::is_sequence(a[0].kind)) items = items_of(a[0]);
            else if (!a.empty()) return fail("unexpected set arguments");
            auto v = new_container(b == Builtin::Set ? Kind::Set : Kind::FrozenSet, std::move(items));
            if (!v) return std::unexpected(v.error());
            return push(*v);
        }
        case Builtin::Bytes:
        case Builtin::ByteArray: {
            std::string content;
            if (a.size() == 1 && a[0].kind == Kind::Bytes) content = doc_.text(a[0]);
            else if (!a.empty()) return fail("unexpected bytes arguments");
            if (b == Builtin::ByteArray) {
                Value v;
                v.kind = Kind::Other;
                return push(v);
            }
            auto v = new_text(Kind::Bytes, std::move(content));
            if (!v) return std::unexpected(v.error());
            return push(*v);
        }
        case Builtin::Encode: {
            // _codecs.encode(text, "latin1"): the bytes of a text whose characters are below 256.
            if (a.size() != 2 || a[0].kind != Kind::Str || a[1].kind != Kind::Str || doc_.text(a[1]) != "latin1")
                return fail("unexpected encode arguments");
            const std::string& s = doc_.text(a[0]);
            std::string out;
            out.reserve(s.size());
            for (std::size_t i = 0; i < s.size();) {
                const auto cp = next_code_point(s, i);
                if (!cp || *cp > 0xFF) return fail("text not encodable as latin1");
                out += char(*cp);
            }
            if (auto c = charge(out.size()); !c) return c;
            auto v = new_text(Kind::Bytes, std::move(out));
            if (!v) return std::unexpected(v.error());
            return push(*v);
        }
    }
    return fail("REDUCE of something not allowed");
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
            doc_.root = *v;
            stopped_ = true;
            return {};
        }
        case MARK:
            if (auto c = charge(sizeof(std::size_t)); !c) return c;
            marks_.push_back(stack_.size());
            return {};
        case POP:
            if (stack_.size() > fence()) {
                stack_.pop_back();
                used_ -= sizeof(Value);
                return {};
            }
            [[fallthrough]];
        case POP_MARK: {
            auto items = pop_mark();
            if (!items) return std::unexpected(items.error());
            return {};
        }
        case DUP: {
            auto t = top();
            if (!t) return std::unexpected(t.error());
            return push(**t);
        }

        case NONE: return push(Value{});
        case NEWTRUE:
        case NEWFALSE: {
            Value v;
            v.kind = Kind::Bool;
            v.num.i = op == NEWTRUE;
            return push(v);
        }
        case INT:
        case LONG: {
            auto l = line();
            if (!l) return std::unexpected(l.error());
            drop(*l);
            return load_int(*l, op == LONG);
        }
        case BININT:
        case BININT1:
        case BININT2: {
            std::expected<std::uint64_t, Error> n = op == BININT ? le<4>() : op == BININT1 ? le<1>() : le<2>();
            if (!n) return std::unexpected(n.error());
            Value v;
            v.kind = Kind::Int;
            v.num.i = op == BININT ? std::int64_t(std::int32_t(std::uint32_t(*n))) : std::int64_t(*n);
            return push(v);
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
            auto l = line();
            if (!l) return std::unexpected(l.error());
            drop(*l);
            const auto f = parse_float_text(*l);
            if (!f) return fail("invalid float text");
            Value v;
            v.kind = Kind::Float;
            v.num.f = *f;
            return push(v);
        }
        case BINFLOAT: {
            auto n = le<8>();
            if (!n) return std::unexpected(n.error());
            // Stored big-endian: le<8> read it reversed.
            std::uint64_t be = 0, x = *n;
            for (int k = 0; k < 8; ++k, x >>= 8) be = be << 8 | (x & 0xFF);
            Value v;
            v.kind = Kind::Float;
            std::memcpy(&v.num.f, &be, sizeof be);
            return push(v);
        }

        case SHORT_BINUNICODE: {
            auto n = le<1>();
            if (!n) return std::unexpected(n.error());
            return load_text(Kind::Str, *n);
        }
        case BINUNICODE: {
            auto n = le<4>();
            if (!n) return std::unexpected(n.error());
            return load_text(Kind::Str, *n);
        }
        case BINUNICODE8: {
            auto n = le<8>();
            if (!n) return std::unexpected(n.error());
            return load_text(Kind::Str, *n);
        }
        case SHORT_BINBYTES: {
            auto n = le<1>();
            if (!n) return std::unexpected(n.error());
            return load_text(Kind::Bytes, *n);
        }
        case BINBYTES: {
            auto n = le<4>();
            if (!n) return std::unexpected(n.error());
            return load_text(Kind::Bytes, *n);
        }
        case BINBYTES8: {
            auto n = le<8>();
            if (!n) return std::unexpected(n.error());
            return load_text(Kind::Bytes, *n);
        }
        case BYTEARRAY8: {
            auto n = le<8>();
            if (!n) return std::unexpected(n.error());
            if (auto r = skip(*n); !r) return r;
            Value v;
            v.kind = Kind::Other;
            return push(v);
        }
        case SHORT_BINSTRING:
        case BINSTRING: {
            // Python 2 byte strings, read as ASCII text as Python 3 does by default.
            std::uint64_t n;
            if (op == SHORT_BINSTRING) {
                auto k = le<1>();
                if (!k) return std::unexpected(k.error());
                n = *k;
            } else {
                auto k = le<4>();
                if (!k) return std::unexpected(k.error());
                if (std::int32_t(std::uint32_t(*k)) < 0) return fail("BINSTRING pickle has negative byte count");
                n = *k;
            }
            std::string s;
            if (auto r = append(s, n); !r) return r;
            for (char c : s)
                if (static_cast<unsigned char>(c) >= 0x80) return fail("non-ASCII byte string");
            auto v = new_text(Kind::Str, std::move(s));
            if (!v) return std::unexpected(v.error());
            return push(*v);
        }
        case STRING: {
            auto l = line();
            if (!l) return std::unexpected(l.error());
            drop(*l);
            auto s = quoted_string(*l);
            if (s) {
                if (auto c = charge(s->size()); !c) return c;
            }
            if (!s) return fail("invalid STRING argument");
            auto v = new_text(Kind::Str, std::move(*s));
            if (!v) return std::unexpected(v.error());
            return push(*v);
        }
        case UNICODE: {
            auto l = line();
            if (!l) return std::unexpected(l.error());
            drop(*l);
            auto s = raw_unicode_escape(*l);
            if (!s) return fail("invalid UNICODE argument");
            if (auto c = charge(s->size()); !c) return c;
            auto v = new_text(Kind::Str, std::move(*s));
            if (!v) return std::unexpected(v.error());
            return push(*v);
        }

        case EMPTY_LIST:
        case EMPTY_DICT:
        case EMPTY_SET:
        case EMPTY_TUPLE: {
            const Kind k = op == EMPTY_LIST ? Kind::List : op == EMPTY_DICT ? Kind::Dict
                         : op == EMPTY_SET  ? Kind::Set  : Kind::Tuple;
            auto v = new_container(k, {});
            if (!v) return std::unexpected(v.error());
            return push(*v);
        }
        case LIST:
        case TUPLE:
        case FROZENSET:
        case DICT: {
            auto items = pop_mark();
            if (!items) return std::unexpected(items.error());
            if (op == DICT && items->size() % 2 != 0) return fail("odd number of items for DICT");
            const Kind k = op == LIST ? Kind::List : op == TUPLE ? Kind::Tuple : op == DICT ? Kind::Dict : Kind::FrozenSet;
            auto v = new_container(k, std::move(*items));
            if (!v) return std::unexpected(v.error());
            return push(*v);
        }
        case TUPLE1:
        case TUPLE2:
        case TUPLE3: {
            const std::size_t n = std::size_t(op - TUPLE1) + 1;
            if (stack_.size() - fence() < n) return fail("unpickling stack underflow");
            std::vector<Value> items(stack_.end() - std::ptrdiff_t(n), stack_.end());
            stack_.resize(stack_.size() - n);
            used_ -= n * sizeof(Value);
            auto v = new_container(Kind::Tuple, std::move(items));
            if (!v) return std::unexpected(v.error());
            return push(*v);
        }
        case APPEND: {
            auto v = pop();
            if (!v) return std::unexpected(v.error());
            auto t = top();
            if (!t) return std::unexpected(t.error());
            return extend(**t, Kind::List, std::span(&*v, 1));
        }
        case APPENDS:
        case ADDITEMS:
        case SETITEMS: {
            auto items = pop_mark();
            if (!items) return std::unexpected(items.error());
            if (op == SETITEMS && items->size() % 2 != 0) return fail("odd number of items for SETITEMS");
            auto t = top();
            if (!t) return std::unexpected(t.error());
            const Kind want = op == APPENDS ? Kind::List : op == ADDITEMS ? Kind::Set : Kind::Dict;
            return extend(**t, want, *items);
        }
        case SETITEM: {
            auto value = pop();
            if (!value) return std::unexpected(value.error());
            auto key = pop();
            if (!key) return std::unexpected(key.error());
            auto t = top();
            if (!t) return std::unexpected(t.error());
            const Value kv[2] = {*key, *value};
            return extend(**t, Kind::Dict, kv);
        }

        case PUT:
        case GET: {
            auto l = line();
            if (!l) return std::unexpected(l.error());
            drop(*l);
            std::int64_t idx;
            if (parse_decimal(*l, idx) != IntText::Small || idx < 0) return fail("invalid memo index");
            return op == PUT ? memo_put(std::uint64_t(idx)) : memo_get(std::uint64_t(idx));
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
        case MEMOIZE: return memo_put(memo_.size());

        case GLOBAL: {
            auto module = line();
            if (!module) return std::unexpected(module.error());
            auto name = line();
            if (!name) return std::unexpected(name.error());
            drop(*module);
            drop(*name);
            return load_global(*module, *name);
        }
        case STACK_GLOBAL: {
            auto name = pop();
            if (!name) return std::unexpected(name.error());
            auto module = pop();
            if (!module) return std::unexpected(module.error());
            if (name->kind != Kind::Str || module->kind != Kind::Str) return fail("STACK_GLOBAL requires str");
            return load_global(doc_.text(*module), doc_.text(*name));
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

std::expected<Document, Error> read(ByteStream& in, std::size_t budget) { return Reader(in, budget).run(); }

namespace {

class SpanStream final : public ByteStream {
public:
    explicit SpanStream(std::span<const std::uint8_t> b) : bytes_(b) {}
    std::expected<std::span<const std::uint8_t>, Error> next() override { return std::exchange(bytes_, {}); }

private:
    std::span<const std::uint8_t> bytes_;
};

}  // namespace

std::expected<Document, Error> read(std::span<const std::uint8_t> bytes, std::size_t budget) {
    SpanStream s(bytes);
    return Reader(s, budget).run();
}

}  // namespace vuzevuz::calibration::pickle
