#include "acquisition/metadata.hpp"

#include <locale.h>
#include <stdlib.h>
#include <yaml.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace vuzevuz {
namespace {

// Collections inside params and registers nest at most this deep; the root mapping is level 1.
constexpr std::size_t kMaxLevel = 128;
// What aliases may add on top of the document's own nodes, in values and in scalar bytes.
constexpr std::size_t kAliasValues = 1'000'000;
constexpr std::size_t kAliasTextBytes = std::size_t{64} << 20;
// Nesting bound for the whole stream, skipped values included: the scanner's work per token grows
// with the depth, so this keeps the time linear in the size of the text.
constexpr std::size_t kMaxStreamDepth = 1000;

constexpr std::string_view kStdTag = "tag:yaml.org,2002:";
constexpr std::string_view kIntTag = "tag:yaml.org,2002:int";

template <class T>
using Result = std::expected<T, std::string>;

std::unexpected<std::string> fail(std::string why) { return std::unexpected(std::move(why)); }

// ---------------------------------------------------------------------------------------------
// Composition: the event stream becomes a flat graph of nodes. An alias is the index of the node
// it names, so nothing is copied here and skipped values cost no more than their text.

enum class NodeKind : std::uint8_t { Scalar, Sequence, Mapping };

struct Node {
    NodeKind kind = NodeKind::Scalar;
    yaml_scalar_style_t style = YAML_ANY_SCALAR_STYLE;
    std::string tag;                   // empty: untagged
    std::string text;                  // scalars
    std::vector<std::uint32_t> items;  // sequence items, or keys and values in turn
};

struct Document {
    std::vector<Node> nodes;
    std::uint32_t root = 0;
    std::size_t text_bytes = 0;
};

class YamlParser {
public:
    YamlParser() { ok_ = yaml_parser_initialize(&p_) != 0; }
    ~YamlParser() {
        if (ok_) yaml_parser_delete(&p_);
    }
    YamlParser(const YamlParser&) = delete;
    YamlParser& operator=(const YamlParser&) = delete;
    bool ok() const { return ok_; }
    yaml_parser_t* get() { return &p_; }

private:
    yaml_parser_t p_{};
    bool ok_ = false;
};

class YamlEvent {
public:
    YamlEvent() = default;
    ~YamlEvent() { yaml_event_delete(&e_); }
    YamlEvent(const YamlEvent&) = delete;
    YamlEvent& operator=(const YamlEvent&) = delete;
    yaml_event_t* get() { return &e_; }
    const yaml_event_t& operator*() const { return e_; }

private:
    yaml_event_t e_{};
};

std::string c_text(const yaml_char_t* s) { return s ? std::string(reinterpret_cast<const char*>(s)) : std::string(); }

Result<Document> compose(std::string_view text) {
    YamlParser parser;
    if (!parser.ok()) throw std::bad_alloc();  // the parser's only failure to start
    yaml_parser_set_input_string(parser.get(), reinterpret_cast<const unsigned char*>(text.data()), text.size());

    Document doc;
    std::vector<std::uint32_t> open;  // collections being filled
    std::unordered_map<std::string, std::uint32_t> anchors;
    int documents = 0;
    bool have_root = false;

    auto add = [&](Node node, const yaml_char_t* anchor) -> Result<std::uint32_t> {
        if (doc.nodes.size() >= std::numeric_limits<std::uint32_t>::max()) return fail("document too large");
        const auto idx = static_cast<std::uint32_t>(doc.nodes.size());
        doc.text_bytes += node.text.size();
        doc.nodes.push_back(std::move(node));
        if (anchor) anchors[c_text(anchor)] = idx;
        return idx;
    };
    auto attach = [&](std::uint32_t idx) {
        if (open.empty()) {
            doc.root = idx;
            have_root = true;
        } else {
            doc.nodes[open.back()].items.push_back(idx);
        }
    };

    for (;;) {
        YamlEvent ev;
        if (!yaml_parser_parse(parser.get(), ev.get())) {
            if (parser.get()->error == YAML_MEMORY_ERROR) throw std::bad_alloc();  // no fault of the file
            const char* problem = parser.get()->problem;
            return fail(problem ? problem : "YAML syntax error");
        }
        const yaml_event_t& e = *ev;
        switch (e.type) {
            case YAML_STREAM_END_EVENT:
                if (documents == 0 || !have_root) return fail("no YAML document");
                return doc;
            case YAML_DOCUMENT_START_EVENT:
                if (++documents > 1) return fail("more than one YAML document");
                anchors.clear();
                break;
            case YAML_ALIAS_EVENT: {
                auto it = anchors.find(c_text(e.data.alias.anchor));
                if (it == anchors.end()) return fail("unknown anchor");
                attach(it->second);
                break;
            }
            case YAML_SCALAR_EVENT: {
                Node n;
                n.kind = NodeKind::Scalar;
                n.style = e.data.scalar.style;
                n.tag = c_text(e.data.scalar.tag);
                n.text.assign(reinterpret_cast<const char*>(e.data.scalar.value), e.data.scalar.length);
                auto idx = add(std::move(n), e.data.scalar.anchor);
                if (!idx) return std::unexpected(idx.error());
                attach(*idx);
                break;
            }
            case YAML_SEQUENCE_START_EVENT:
            case YAML_MAPPING_START_EVENT: {
                const bool seq = e.type == YAML_SEQUENCE_START_EVENT;
                Node n;
                n.kind = seq ? NodeKind::Sequence : NodeKind::Mapping;
                n.tag = c_text(seq ? e.data.sequence_start.tag : e.data.mapping_start.tag);
                auto idx = add(std::move(n), seq ? e.data.sequence_start.anchor : e.data.mapping_start.anchor);
                if (!idx) return std::unexpected(idx.error());
                attach(*idx);
                if (open.size() >= kMaxStreamDepth) return fail("nesting too deep");
                open.push_back(*idx);
                break;
            }
            case YAML_SEQUENCE_END_EVENT:
            case YAML_MAPPING_END_EVENT:
                if (open.empty()) return fail("unbalanced YAML events");
                open.pop_back();
                break;
            default:
                break;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Scalar grammar.

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

enum class IntKind : std::uint8_t {
    NotInt,
    Fits,  // within -2^63 .. 2^64-1
    Wide,  // beyond 64 bits but within 2^128-1 / -2^127
    Huge,  // beyond 128 bits
};

struct IntRead {
    IntKind kind = IntKind::NotInt;
    bool decimal = false;
    bool negative = false;
    YamlValue value;
};

// An optional sign, then 0x/0o/0b digits or decimal digits without a leading zero.
IntRead read_int(std::string_view s) {
    IntRead r;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        r.negative = s[0] == '-';
        s.remove_prefix(1);
    }
    unsigned base = 10;
    if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'o' || s[1] == 'b')) {
        base = s[1] == 'x' ? 16 : s[1] == 'o' ? 8 : 2;
        s.remove_prefix(2);
    } else if (s.size() > 1 && s[0] == '0') {
        return r;
    }
    if (s.empty()) return r;
    using u128 = unsigned __int128;
    constexpr u128 kMax = ~u128{0};
    u128 v = 0;
    bool over = false;
    for (char c : s) {
        const int d = digit_value(c);
        if (d < 0 || static_cast<unsigned>(d) >= base) return r;
        if (over) continue;
        if (v > (kMax - static_cast<unsigned>(d)) / base) over = true;
        else v = v * base + static_cast<unsigned>(d);
    }
    r.decimal = base == 10;
    if (over) {
        r.kind = IntKind::Huge;
    } else if (!r.negative || v == 0) {
        if (v > std::numeric_limits<std::uint64_t>::max()) r.kind = IntKind::Wide;
        else {
            r.kind = IntKind::Fits;
            r.value.v = static_cast<std::uint64_t>(v);
        }
    } else if (v <= u128{1} << 63) {
        r.kind = IntKind::Fits;
        r.value.v = static_cast<std::int64_t>(std::uint64_t{0} - static_cast<std::uint64_t>(v));
    } else {
        r.kind = v <= u128{1} << 127 ? IntKind::Wide : IntKind::Huge;
    }
    return r;
}

std::size_t count_digits(std::string_view s, std::size_t& i) {
    const std::size_t from = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    return i - from;
}

// [-+]? ( \.[0-9]+ | [0-9]+ (\.[0-9]*)? ) ([eE][-+]?[0-9]+)?; with `need_mark`, a point or an
// exponent must be present.
bool is_decimal_float(std::string_view s, bool need_mark) {
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    const std::size_t int_digits = count_digits(s, i);
    bool mark = false;
    std::size_t frac_digits = 0;
    if (i < s.size() && s[i] == '.') {
        mark = true;
        ++i;
        frac_digits = count_digits(s, i);
    }
    if (int_digits == 0 && frac_digits == 0) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        mark = true;
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        if (count_digits(s, i) == 0) return false;
    }
    return i == s.size() && (mark || !need_mark);
}

std::optional<double> special_float(std::string_view s) {
    if (s == ".nan" || s == ".NaN" || s == ".NAN") return std::numeric_limits<double>::quiet_NaN();
    double sign = 1.0;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        if (s[0] == '-') sign = -1.0;
        s.remove_prefix(1);
    }
    if (s == ".inf" || s == ".Inf" || s == ".INF") return sign * std::numeric_limits<double>::infinity();
    return std::nullopt;
}

// The value of a text that passed is_decimal_float, whatever the process locale.
double decimal_value(const std::string& s) {
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (c_locale) return strtod_l(s.c_str(), nullptr, c_locale);
    return std::strtod(s.c_str(), nullptr);
}

// A finite decimal value, or nothing.
std::optional<double> finite_decimal(const std::string& s, bool need_mark) {
    if (!is_decimal_float(s, need_mark)) return std::nullopt;
    const double d = decimal_value(s);
    if (!std::isfinite(d)) return std::nullopt;
    return d;
}

bool is_null_text(std::string_view s) { return s.empty() || s == "~" || s == "null" || s == "Null" || s == "NULL"; }

std::optional<bool> bool_text(std::string_view s) {
    if (s == "true" || s == "True" || s == "TRUE") return true;
    if (s == "false" || s == "False" || s == "FALSE") return false;
    return std::nullopt;
}

YamlValue text_value(std::string s) { return YamlValue{std::move(s)}; }

// A plain scalar without a tag.
Result<YamlValue> resolve_plain(const std::string& s) {
    if (is_null_text(s)) return YamlValue{YamlNull{}};
    if (auto b = bool_text(s)) return YamlValue{*b};
    IntRead i = read_int(s);
    switch (i.kind) {
        case IntKind::Fits: return std::move(i.value);
        case IntKind::Wide: return fail("integer out of the 64-bit range");
        case IntKind::Huge:
            if (!i.decimal) return text_value(s);
            if (auto d = finite_decimal(s, false)) return YamlValue{*d};
            return text_value(s);
        case IntKind::NotInt: break;
    }
    if (auto d = special_float(s)) return YamlValue{*d};
    if (auto d = finite_decimal(s, true)) return YamlValue{*d};
    return text_value(s);
}

// A scalar under one of the standard tags that fix its type; nothing when the tag is not one.
std::optional<Result<YamlValue>> resolve_forced(std::string_view type, const std::string& s) {
    if (type == "null") {
        if (is_null_text(s)) return YamlValue{YamlNull{}};
        return fail("not a null");
    }
    if (type == "bool") {
        if (auto b = bool_text(s)) return YamlValue{*b};
        return fail("not a boolean");
    }
    if (type == "int") {
        IntRead i = read_int(s);
        if (i.kind == IntKind::Fits) return std::move(i.value);
        return fail("not a 64-bit integer");
    }
    if (type == "float") {
        if (auto d = special_float(s)) return YamlValue{*d};
        if (auto d = finite_decimal(s, false)) return YamlValue{*d};
        return fail("not a finite floating-point number");
    }
    return std::nullopt;
}

bool is_standard(std::string_view tag) { return tag.starts_with(kStdTag); }

// Scalar text of a count: an optional "+", then 0x/0o/0b digits or decimal digits without a
// leading zero, within an unsigned machine word.
Result<std::size_t> read_count(const Node& n) {
    const bool plain = n.kind == NodeKind::Scalar && n.style == YAML_PLAIN_SCALAR_STYLE;
    const bool literal_int = n.kind == NodeKind::Scalar && n.style == YAML_LITERAL_SCALAR_STYLE && n.tag == kIntTag;
    if (!plain && !literal_int) return fail("a count must be a plain scalar");
    if (n.text.starts_with('-')) return fail("a count cannot be negative");
    IntRead i = read_int(n.text);
    if (i.kind != IntKind::Fits) return fail("not a count");
    const auto v = std::get<std::uint64_t>(i.value.v);
    if (v > std::numeric_limits<std::size_t>::max()) return fail("count too large");
    return static_cast<std::size_t>(v);
}

// Identity of a key for the uniqueness check; keys are scalars, possibly tagged.
void key_identity(const YamlValue& v, std::string& out) {
    struct Visit {
        std::string& out;
        void raw(const void* p, std::size_t n) { out.append(static_cast<const char*>(p), n); }
        void operator()(YamlNull) { out += 'n'; }
        void operator()(bool b) { out += b ? "b1" : "b0"; }
        void operator()(std::uint64_t u) { out += 'u'; raw(&u, sizeof u); }
        void operator()(std::int64_t i) { out += 'i'; raw(&i, sizeof i); }
        void operator()(double d) {
            out += 'd';
            const std::uint64_t bits = std::isnan(d) ? 0x7ff8000000000000u : std::bit_cast<std::uint64_t>(d);
            raw(&bits, sizeof bits);
        }
        void operator()(const std::string& s) { out += 's'; out += s; }
        void operator()(const YamlValue::Sequence&) { out += 'q'; }
        void operator()(const YamlMapping&) { out += 'm'; }
        void operator()(const YamlTagged& t) {
            out += 't';
            const std::size_t n = t.tag.size();
            raw(&n, sizeof n);
            out += t.tag;
            key_identity(*t.value, out);
        }
    };
    std::visit(Visit{out}, v.v);
}

// ---------------------------------------------------------------------------------------------
// Reading the composed document.

class Reader {
public:
    explicit Reader(const Document& doc)
        : doc_(doc), values_left_(doc.nodes.size() + kAliasValues), text_left_(doc.text_bytes + kAliasTextBytes) {}

    Result<Metadata> read() {
        const Node& root = node(doc_.root);
        if (root.kind != NodeKind::Mapping) return fail("the root is not a mapping");
        Metadata md;
        bool have_params = false, have_registers = false;
        for (std::size_t i = 0; i + 1 < root.items.size(); i += 2) {
            const Node& key = node(root.items[i]);
            if (key.kind != NodeKind::Scalar) return fail("a key is a collection");
            const std::uint32_t value = root.items[i + 1];
            if (key.text == "params") {
                if (have_params) return fail("params repeated");
                have_params = true;
                auto p = read_params(node(value));
                if (!p) return std::unexpected(p.error());
                md.params = std::move(*p);
            } else if (key.text == "registers") {
                if (have_registers) return fail("registers repeated");
                have_registers = true;
                const Node& r = node(value);
                if (r.kind == NodeKind::Mapping) {
                    auto m = mapping(r, 2, false);
                    if (!m) return std::unexpected(m.error());
                    md.registers = std::move(*m);
                } else if (!is_empty_plain(r)) {
                    return fail("registers is not a mapping");
                }
            }
        }
        if (!have_params) return fail("missing params");
        if (!have_registers) return fail("missing registers");
        return md;
    }

private:
    const Node& node(std::uint32_t idx) const { return doc_.nodes[idx]; }

    static bool is_empty_plain(const Node& n) {
        return n.kind == NodeKind::Scalar && n.style == YAML_PLAIN_SCALAR_STYLE && n.text.empty();
    }

    Result<Params> read_params(const Node& n) {
        if (n.kind != NodeKind::Mapping && !is_empty_plain(n)) return fail("params is not a mapping");
        Params p;
        bool have_model = false, have_channels = false, have_windows = false, have_samples = false;
        std::vector<std::pair<std::string, YamlValue>> extra;
        auto count = [&](bool& have, std::size_t& field, const Node& v) -> Result<void> {
            if (have) return fail("count repeated");
            have = true;
            auto c = read_count(v);
            if (!c) return std::unexpected(c.error());
            field = *c;
            return {};
        };
        for (std::size_t i = 0; i + 1 < n.items.size(); i += 2) {
            const Node& key = node(n.items[i]);
            if (key.kind != NodeKind::Scalar) return fail("a key is a collection");
            const Node& v = node(n.items[i + 1]);
            Result<void> r;
            if (key.text == "model") {
                if (have_model) return fail("model repeated");
                have_model = true;
                if (v.kind != NodeKind::Scalar) return fail("model is not a scalar");
                p.model = v.text;
            } else if (key.text == "channels") {
                r = count(have_channels, p.channels, v);
            } else if (key.text == "windows") {
                r = count(have_windows, p.windows, v);
            } else if (key.text == "samples") {
                r = count(have_samples, p.samples, v);
            } else {
                if (!charge(key)) return fail("alias expansion too large");
                auto val = value(n.items[i + 1], 2, true);
                if (!val) return std::unexpected(val.error());
                extra.emplace_back(key.text, std::move(*val));
            }
            if (!r) return std::unexpected(r.error());
        }
        if (!have_model) return fail("missing model");
        if (!have_channels) return fail("missing channels");
        if (!have_windows) return fail("missing windows");
        if (!have_samples) return fail("missing samples");
        std::unordered_set<std::string_view> seen;
        seen.reserve(extra.size());
        for (const auto& [k, v] : extra)
            if (!seen.insert(k).second) return fail("repeated key in params");
        p.rest.entries.reserve(extra.size());
        for (auto& [k, v] : extra) p.rest.entries.emplace_back(text_value(std::move(k)), std::move(v));
        return p;
    }

    // Counts one value produced, against the bound on alias expansion.
    bool charge(const Node& n) {
        if (values_left_ == 0 || text_left_ < n.text.size()) return false;
        --values_left_;
        text_left_ -= n.text.size();
        return true;
    }

    Result<YamlValue> scalar(const Node& n, bool in_params) {
        if (n.tag.empty()) {
            if (n.style == YAML_PLAIN_SCALAR_STYLE) return resolve_plain(n.text);
            return text_value(n.text);
        }
        if (is_standard(n.tag)) {
            if (auto forced = resolve_forced(std::string_view(n.tag).substr(kStdTag.size()), n.text))
                return std::move(*forced);
            return text_value(n.text);
        }
        if (in_params) return fail("a custom tag inside params");
        auto inner = n.style == YAML_PLAIN_SCALAR_STYLE ? resolve_plain(n.text) : Result<YamlValue>(text_value(n.text));
        if (!inner) return inner;
        return YamlValue{YamlTagged{n.tag, std::make_shared<const YamlValue>(std::move(*inner))}};
    }

    // The value of node `idx` inside a collection at `parent_level`.
    Result<YamlValue> value(std::uint32_t idx, std::size_t parent_level, bool in_params) {
        const Node& n = node(idx);
        if (!charge(n)) return fail("alias expansion too large");
        if (n.kind == NodeKind::Scalar) return scalar(n, in_params);
        const std::size_t level = parent_level + 1;
        if (level > kMaxLevel) return fail("nesting too deep");
        const bool custom = !n.tag.empty() && !is_standard(n.tag);
        if (custom && in_params) return fail("a custom tag inside params");
        YamlValue out;
        if (n.kind == NodeKind::Sequence) {
            YamlValue::Sequence seq;
            seq.reserve(std::min(n.items.size(), values_left_));  // an alias may name more than may be read
            for (const std::uint32_t item : n.items) {
                auto v = value(item, level, in_params);
                if (!v) return v;
                seq.push_back(std::move(*v));
            }
            out.v = std::move(seq);
        } else {
            auto m = mapping(n, level, in_params);
            if (!m) return std::unexpected(m.error());
            out.v = std::move(*m);
        }
        if (custom) return YamlValue{YamlTagged{n.tag, std::make_shared<const YamlValue>(std::move(out))}};
        return out;
    }

    // The entries of mapping `n`, itself at `level`: keys resolved like values and unique.
    Result<YamlMapping> mapping(const Node& n, std::size_t level, bool in_params) {
        YamlMapping m;
        m.entries.reserve(std::min(n.items.size() / 2, values_left_));
        std::unordered_set<std::string> seen;
        std::string id;
        for (std::size_t i = 0; i + 1 < n.items.size(); i += 2) {
            const Node& key = node(n.items[i]);
            if (key.kind != NodeKind::Scalar) return fail("a key is a collection");
            if (!charge(key)) return fail("alias expansion too large");
            auto k = scalar(key, in_params);
            if (!k) return std::unexpected(k.error());
            id.clear();
            key_identity(*k, id);
            if (!seen.insert(id).second) return fail("repeated key");
            auto v = value(n.items[i + 1], level, in_params);
            if (!v) return std::unexpected(v.error());
            m.entries.emplace_back(std::move(*k), std::move(*v));
        }
        return m;
    }

    const Document& doc_;
    std::size_t values_left_;
    std::size_t text_left_;
};

}  // namespace

std::expected<Metadata, MetadataError> parse_metadata(std::string_view text) {
    // Out of memory is no fault of the file: std::bad_alloc goes on to the caller.
    auto doc = compose(text);
    if (!doc) return std::unexpected(MetadataError::serialization_failed(std::move(doc.error())));
    auto md = Reader(*doc).read();
    if (!md) return std::unexpected(MetadataError::serialization_failed(std::move(md.error())));
    return std::move(*md);
}

}  // namespace vuzevuz
