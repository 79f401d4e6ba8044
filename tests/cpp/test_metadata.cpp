// Typed reading of "metadata.yml": run directly (exit status 0 when every case passes).
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "acquisition/metadata.hpp"

using namespace vuzevuz;

namespace {

int failures = 0;

void report(std::string_view name, std::string_view input, std::string_view what) {
    ++failures;
    std::printf("FAIL %.*s\n  input: %.*s\n  %.*s\n", int(name.size()), name.data(), int(input.size()),
                input.size() > 300 ? "(long)" : input.data(), int(what.size()), what.data());
}

// A compact rendering of a value, for comparison with the tables below.
std::string show(const YamlValue& v);

std::string show_double(double d) {
    if (std::isnan(d)) return "f:nan";
    if (std::isinf(d)) return d > 0 ? "f:inf" : "f:-inf";
    char buf[64];
    std::snprintf(buf, sizeof buf, "f:%.17g", d);
    return buf;
}

std::string show(const YamlValue& v) {
    struct V {
        std::string operator()(YamlNull) { return "null"; }
        std::string operator()(bool b) { return b ? "b:true" : "b:false"; }
        std::string operator()(std::uint64_t u) { return "u:" + std::to_string(u); }
        std::string operator()(std::int64_t i) { return "i:" + std::to_string(i); }
        std::string operator()(double d) { return show_double(d); }
        std::string operator()(const std::string& s) { return "s:" + s; }
        std::string operator()(const YamlValue::Sequence& q) {
            std::string o = "[";
            for (std::size_t i = 0; i < q.size(); ++i) o += (i ? ", " : "") + show(q[i]);
            return o + "]";
        }
        std::string operator()(const YamlMapping& m) {
            std::string o = "{";
            for (std::size_t i = 0; i < m.entries.size(); ++i)
                o += (i ? ", " : "") + show(m.entries[i].first) + " => " + show(m.entries[i].second);
            return o + "}";
        }
        std::string operator()(const YamlTagged& t) { return "tag(" + t.tag + ")" + show(*t.value); }
    };
    return std::visit(V{}, v.v);
}

const std::string kCounts = "  model: ysk16\n  channels: 16\n  windows: 4\n  samples: 64\n";

// A complete document whose params carry `extra` (already indented) after the four keys.
std::string with_params(const std::string& extra, const std::string& registers = "registers:\n") {
    return "params:\n" + kCounts + extra + registers;
}

bool refused(std::string_view name, const std::string& text) {
    auto r = parse_metadata(text);
    if (r) {
        report(name, text, "accepted, expected a refusal");
        return false;
    }
    if (r.error().kind != MetadataError::Kind::SerializationFailed) {
        report(name, text, "refused with the wrong kind");
        return false;
    }
    return true;
}

std::optional<Metadata> accepted(std::string_view name, const std::string& text) {
    auto r = parse_metadata(text);
    if (!r) {
        report(name, text, "refused: " + r.error().yaml_error);
        return std::nullopt;
    }
    return std::move(*r);
}

void expect_eq(std::string_view name, const std::string& text, const std::string& got, const std::string& want) {
    if (got != want) report(name, text, "got  " + got + "\n  want " + want);
}

// ---------------------------------------------------------------------------------------------

void test_reference_file() {
    const std::string text = with_params("  n_chip_headers: 1\n");
    auto md = accepted("reference file", text);
    if (!md) return;
    const Params& p = md->params;
    if (p.model != "ysk16" || p.channels != 16 || p.windows != 4 || p.samples != 64)
        report("reference file", text, "wrong model or counts");
    expect_eq("reference file", text, show(YamlValue{p.rest}), "{s:n_chip_headers => u:1}");
    if (!md->registers.empty()) report("reference file", text, "registers not empty");
    auto v = p.rest.find("n_chip_headers");
    if (!v || v->as_unsigned() != 1u) report("reference file", text, "lookup by text failed");
}

struct CountCase {
    const char* written;
    std::size_t want;
};

void test_counts() {
    const CountCase good[] = {
        {"16", 16}, {"0", 0}, {"+8", 8}, {"0x10", 16}, {"0xaB", 171}, {"+0x10", 16}, {"0o17", 15},
        {"0b101", 5}, {"0x0010", 16}, {"18446744073709551615", 18446744073709551615u},
        {"8 # a comment", 8},
        {"!!str 8", 8},       // the tag of a plain count is ignored
        {"!local 8", 8},
        {"!!float 8", 8},
        {"!!int |-\n    8", 8},  // a literal block tagged !!int is read
        {"&n 9", 9},
    };
    for (const auto& c : good) {
        for (const char* key : {"channels", "windows", "samples"}) {
            std::string counts = kCounts;
            const std::string line = std::string("  ") + key + ": ";
            const auto at = counts.find(line);
            const auto end = counts.find('\n', at);
            counts.replace(at, end - at, line + c.written);
            const std::string text = "params:\n" + counts + "registers:\n";
            auto md = accepted("count accepted", text);
            if (!md) continue;
            const std::size_t got = key[0] == 'c' ? md->params.channels : key[0] == 'w' ? md->params.windows : md->params.samples;
            if (got != c.want) report("count value", text, "got " + std::to_string(got));
        }
    }
    // An alias of a plain scalar stands for a copy of it.
    {
        const std::string text = "x: &n 0x20\nparams:\n  model: m\n  channels: *n\n  windows: 1\n  samples: 1\nregisters:\n";
        auto md = accepted("count through alias", text);
        if (md && md->params.channels != 32) report("count through alias", text, "wrong value");
    }

    const char* bad[] = {
        "010", "00", "'8'", "\"8\"", "8.0", "1e3", "-1", "-0", "+-8", "0x", "0x+8", "0x-8", "+0x", "0X10",
        "0b102", "0o8", "0xg", "18446744073709551616", "340282366920938463463374607431768211456", "", "~", "null",
        "true", "[8]", "{a: 8}", "!!int '8'", "!!int \"8\"", "|-\n    8", "!!str |-\n    8", "!!int >-\n    8",
        "!!int |\n    8\n",  // the literal keeps its line feed, which no count has
        "1_000", "8 8", ".inf",
    };
    for (const char* b : bad) {
        for (const char* key : {"channels", "windows", "samples"}) {
            std::string counts = kCounts;
            const std::string line = std::string("  ") + key + ": ";
            const auto at = counts.find(line);
            const auto end = counts.find('\n', at);
            counts.replace(at, end - at, line + b);
            refused("count refused", "params:\n" + counts + "registers:\n");
        }
    }
}

struct ValueCase {
    const char* written;
    const char* want;
};

void test_resolution() {
    const ValueCase cases[] = {
        // null and booleans
        {"", "null"}, {"~", "null"}, {"null", "null"}, {"Null", "null"}, {"NULL", "null"}, {"nULL", "s:nULL"},
        {"true", "b:true"}, {"True", "b:true"}, {"TRUE", "b:true"}, {"false", "b:false"}, {"False", "b:false"},
        {"FALSE", "b:false"}, {"tRue", "s:tRue"}, {"yes", "s:yes"}, {"no", "s:no"}, {"on", "s:on"}, {"off", "s:off"},
        {"y", "s:y"},
        // integers
        {"0", "u:0"}, {"42", "u:42"}, {"+42", "u:42"}, {"-42", "i:-42"}, {"-0", "u:0"}, {"0x1F", "u:31"},
        {"0x1f", "u:31"}, {"+0x1F", "u:31"}, {"-0x1F", "i:-31"}, {"0o17", "u:15"}, {"-0o17", "i:-15"},
        {"0b101", "u:5"}, {"-0b101", "i:-5"}, {"+0b101", "u:5"}, {"0x0010", "u:16"},
        {"18446744073709551615", "u:18446744073709551615"}, {"0xFFFFFFFFFFFFFFFF", "u:18446744073709551615"},
        {"-9223372036854775808", "i:-9223372036854775808"}, {"-0x8000000000000000", "i:-9223372036854775808"},
        {"-9223372036854775807", "i:-9223372036854775807"},
        // leading zeros and other look-alikes stay text
        {"017", "s:017"}, {"-007", "s:-007"}, {"+007", "s:+007"}, {"00", "s:00"}, {"0X10", "s:0X10"},
        {"0x", "s:0x"}, {"0b2", "s:0b2"}, {"0o8", "s:0o8"}, {"1_000", "s:1_000"}, {"0x-1", "s:0x-1"},
        {"+-1", "s:+-1"}, {"1:2", "s:1:2"}, {"12ab", "s:12ab"},
        // floating point
        {"1e3", "f:1000"}, {"1.5", "f:1.5"}, {"-2e-3", "f:-0.002"}, {"1E6", "f:1000000"}, {".5", "f:0.5"},
        {"+.5", "f:0.5"}, {"-.5", "f:-0.5"}, {"1.", "f:1"}, {"007.5", "f:7.5"}, {"1.5e+2", "f:150"},
        {"0.1", "f:0.10000000000000001"}, {"1e-400", "f:0"}, {"5e-324", "f:4.9406564584124654e-324"},
        {".inf", "f:inf"}, {".Inf", "f:inf"}, {".INF", "f:inf"}, {"+.inf", "f:inf"}, {"-.inf", "f:-inf"},
        {"-.Inf", "f:-inf"}, {"-.INF", "f:-inf"}, {".nan", "f:nan"}, {".NaN", "f:nan"}, {".NAN", "f:nan"},
        {".Nan", "s:.Nan"}, {"-.nan", "s:-.nan"}, {"inf", "s:inf"}, {"nan", "s:nan"}, {".iNf", "s:.iNf"},
        {"1e400", "s:1e400"}, {"-1e400", "s:-1e400"}, {"1.5e999", "s:1.5e999"}, {".", "s:."}, {"1e", "s:1e"},
        {"e5", "s:e5"}, {"1e+", "s:1e+"}, {"+", "s:+"}, {"0x1p3", "s:0x1p3"}, {"1,5", "s:1,5"},
        // a decimal beyond the 128-bit limits is a float; a prefixed one stays text
        {"340282366920938463463374607431768211456", "f:3.4028236692093846e+38"},
        {"-170141183460469231731687303715884105729", "f:-1.7014118346046923e+38"},
        {"0x100000000000000000000000000000000", "s:0x100000000000000000000000000000000"},
        {"-0x100000000000000000000000000000000", "s:-0x100000000000000000000000000000000"},
        // other styles are text
        {"'0x1F'", "s:0x1F"}, {"\"true\"", "s:true"}, {"'~'", "s:~"}, {"''", "s:"}, {"\"1e3\"", "s:1e3"},
        {"|-\n    12", "s:12"}, {"|\n    12", "s:12\n"}, {">-\n    a\n    b", "s:a b"},
        // standard tags
        {"!!str 5", "s:5"}, {"!!str true", "s:true"}, {"!!str", "s:"}, {"!!binary aGk=", "s:aGk="},
        {"!!timestamp 2001-12-14", "s:2001-12-14"}, {"!<tag:yaml.org,2002:str> 7", "s:7"},
        {"!!int '0x10'", "u:16"}, {"!!int \"-3\"", "i:-3"}, {"!!int 7", "u:7"}, {"!!int +0b11", "u:3"},
        {"!!float 5", "f:5"}, {"!!float '1.5'", "f:1.5"}, {"!!float .inf", "f:inf"}, {"!!float -.inf", "f:-inf"},
        {"!!float .nan", "f:nan"}, {"!!float 007", "f:7"}, {"!!bool 'True'", "b:true"}, {"!!bool false", "b:false"},
        {"!!null ''", "null"}, {"!!null ~", "null"}, {"!!null", "null"}, {"!!null Null", "null"},
        {"!!seq [1]", "[u:1]"}, {"!!map {a: 1}", "{s:a => u:1}"},
        // collections, nested keys resolved
        {"[1, a, ~, 'b', [2.5]]", "[u:1, s:a, null, s:b, [f:2.5]]"},
        {"{a: 1, 1: b, '1': c, ~: d, true: e, 0x2: f}",
         "{s:a => u:1, u:1 => s:b, s:1 => s:c, null => s:d, b:true => s:e, u:2 => s:f}"},
        {"{x: [1, {y: -2}]}", "{s:x => [u:1, {s:y => i:-2}]}"},
        {"\n    - 1\n    - k: v", "[u:1, {s:k => s:v}]"},
        {"[]", "[]"}, {"{}", "{}"},
        {"{1.0: a, 1: b}", "{f:1 => s:a, u:1 => s:b}"},
        {"<<", "s:<<"},
    };
    for (const auto& c : cases) {
        const std::string text = with_params(std::string("  gain: ") + c.written + "\n");
        auto md = accepted("resolution", text);
        if (!md) continue;
        const YamlValue* v = md->params.rest.find("gain");
        if (!v) {
            report("resolution", text, "gain missing");
            continue;
        }
        expect_eq("resolution", text, show(*v), c.want);
    }

    const char* bad[] = {
        // integers beyond 64 but within 128 bits refuse the whole file
        "18446744073709551616", "340282366920938463463374607431768211455", "+18446744073709551616",
        "0x10000000000000000", "0xFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF", "0b10000000000000000000000000000000000000000000000000000000000000000",
        "-9223372036854775809", "-170141183460469231731687303715884105728", "-0x8000000000000001",
        "[1, 18446744073709551616]", "{18446744073709551616: a}",
        // forced types that do not fit
        "!!int abc", "!!int 1.5", "!!int 010", "!!int ''", "!!int 18446744073709551616", "!!bool yes",
        "!!bool 1", "!!null 0", "!!null none", "!!float abc", "!!float 1e400", "!!float 0x10", "!!float ''",
        "{!!int x: 1}",
        // local tags anywhere inside params
        "!custom 5", "! 5", "!custom 'x'", "!custom [1]", "!custom {a: 1}", "[1, !x 2]", "{!x a: 1}", "{a: !x 1}",
        "!<!verbatim> 5", "!<tag:example.com,2000:x> 5",
        // nested keys unique and scalar
        "{a: 1, a: 2}", "{1: a, 0x1: b}", "{1: a, +1: b}", "{~: a, null: b}", "{true: a, True: b}", "{.nan: a, .NaN: b}",
        "{'a': 1, a: 2}", "{[1]: a}", "{? {a: 1} : b}",
        // references to nothing
        "*nowhere",
    };
    for (const char* b : bad) refused("resolution refused", with_params(std::string("  gain: ") + b + "\n"));
}

void test_params_keys() {
    struct KeyCase {
        const char* extra;
        const char* want;  // rest as shown
    };
    const KeyCase cases[] = {
        {"  10: x\n", "{s:10 => s:x}"},
        {"  0x10: x\n", "{s:0x10 => s:x}"},
        {"  'a b': 1\n  \"c\": 2\n", "{s:a b => u:1, s:c => u:2}"},
        {"  !!str d: 1\n", "{s:d => u:1}"},
        {"  !loc e: 1\n", "{s:e => u:1}"},  // a key is matched by its text, whatever its tag
        {"  z: 1\n  a: 2\n  m: 3\n", "{s:z => u:1, s:a => u:2, s:m => u:3}"},
        {"  ~: 1\n", "{s:~ => u:1}"},
        {"  ? q\n  : 1\n", "{s:q => u:1}"},
        {"  Model: x\n", "{s:Model => s:x}"},
    };
    for (const auto& c : cases) {
        const std::string text = with_params(c.extra);
        auto md = accepted("params keys", text);
        if (md) expect_eq("params keys", text, show(YamlValue{md->params.rest}), c.want);
    }

    struct ModelCase {
        const char* written;
        const char* want;
    };
    const ModelCase models[] = {
        {"5", "5"}, {"'ysk16'", "ysk16"}, {"~", "~"}, {"", ""}, {"!!int x", "x"}, {"!loc y", "y"},
        {"|-\n    a", "a"}, {"0x10", "0x10"}, {"1e400", "1e400"}, {"18446744073709551616", "18446744073709551616"},
    };
    for (const auto& m : models) {
        const std::string text = std::string("params:\n  model: ") + m.written + "\n  channels: 1\n  windows: 1\n  samples: 1\nregisters:\n";
        auto md = accepted("model", text);
        if (md) expect_eq("model", text, md->params.model, m.want);
    }
    {
        const std::string text = "x: &m tolvanev3\nparams:\n  model: *m\n  channels: 1\n  windows: 1\n  samples: 1\nregisters:\n";
        auto md = accepted("model through alias", text);
        if (md) expect_eq("model through alias", text, md->params.model, "tolvanev3");
    }

    const char* bad[] = {
        // repeated keys, however written
        "params:\n  model: a\n  model: b\n  channels: 1\n  windows: 1\n  samples: 1\nregisters:\n",
        "params:\n  model: a\n  'model': b\n  channels: 1\n  windows: 1\n  samples: 1\nregisters:\n",
        "params:\n  model: a\n  channels: 1\n  channels: 1\n  windows: 1\n  samples: 1\nregisters:\n",
        "params:\n  model: a\n  channels: 1\n  windows: 1\n  \"windows\": 1\n  samples: 1\nregisters:\n",
        "params:\n  model: a\n  channels: 1\n  windows: 1\n  samples: 1\n  samples: 2\nregisters:\n",
        // a repeated key is refused when met, even if its value would not be read as a count
        "params:\n  model: a\n  channels: 1\n  windows: 1\n  samples: 1\n  channels: x\nregisters:\n",
        // missing keys
        "params:\n  channels: 1\n  windows: 1\n  samples: 1\nregisters:\n",
        "params:\n  model: a\n  windows: 1\n  samples: 1\nregisters:\n",
        "params:\n  model: a\n  channels: 1\n  samples: 1\nregisters:\n",
        "params:\n  model: a\n  channels: 1\n  windows: 1\nregisters:\n",
        "params:\n  Model: a\n  channels: 1\n  windows: 1\n  samples: 1\nregisters:\n",
        // model not a scalar
        "params:\n  model: [a]\n  channels: 1\n  windows: 1\n  samples: 1\nregisters:\n",
        "params:\n  model: {a: 1}\n  channels: 1\n  windows: 1\n  samples: 1\nregisters:\n",
        "x: &s [a]\nparams:\n  model: *s\n  channels: 1\n  windows: 1\n  samples: 1\nregisters:\n",
        // extra key texts repeated: a plain 1 and a quoted 1 are the same text
        "params:\n  model: a\n  1: x\n  '1': y\n  channels: 1\n  windows: 1\n  samples: 1\nregisters:\n",
        "params:\n  model: a\n  gain: 1\n  channels: 1\n  windows: 1\n  samples: 1\n  gain: 1\nregisters:\n",
        "params:\n  model: a\n  !!str k: 1\n  !x k: 2\n  channels: 1\n  windows: 1\n  samples: 1\nregisters:\n",
        // a key that is a collection
        "params:\n  model: a\n  channels: 1\n  windows: 1\n  samples: 1\n  ? [k]\n  : 1\nregisters:\n",
        "params:\n  model: a\n  channels: 1\n  windows: 1\n  samples: 1\n  ? {k: 1}\n  : 1\nregisters:\n",
        // params not a mapping
        "params:\nregisters:\n",
        "params: ~\nregisters:\n",
        "params: []\nregisters:\n",
        "params: [model, a]\nregisters:\n",
        "params: text\nregisters:\n",
    };
    for (const char* b : bad) refused("params refused", b);
}

void test_document() {
    const std::string params = "params:\n" + kCounts;
    const std::string good[] = {
        params + "registers:\n",
        params + "registers: {}\n",
        "registers:\n" + params,
        "---\n" + params + "registers:\n...\n",
        "%YAML 1.1\n---\n" + params + "registers:\n",
        "# comment\n" + params + "registers:\n# trailing\n",
        "'params':\n" + kCounts + "\"registers\":\n",
        // other top-level keys are skipped unread, whatever they hold
        "other: 1\nother: 2\n" + params + "registers:\nother: 3\n",
        "other: !local {a: 1, a: 2, [x]: 3}\n" + params + "registers:\n",
        "other: 18446744073709551616\nmore: !!int abc\n" + params + "registers:\n",
        "other: " + std::string(300, '[') + std::string(300, ']') + "\n" + params + "registers:\n",
        "other: &c [*c]\n" + params + "registers:\n",
        "~: 1\n1: 2\n" + params + "registers:\n",
        // an anchor in a skipped value may be used later
        "defaults: &d {gain: 3}\n" + params + "  extra: *d\nregisters:\n",
        // a root key reached through an alias
        "k: &p params\n*p :\n" + kCounts + "registers:\n",
        // a UTF-8 byte-order mark
        "\xEF\xBB\xBF" + params + "registers:\n",
    };
    for (const auto& g : good) accepted("document", g);

    {
        const std::string text = "defaults: &d {gain: 3}\n" + params + "  extra: *d\nregisters:\n";
        auto md = accepted("alias copy", text);
        if (md) expect_eq("alias copy", text, show(YamlValue{md->params.rest}), "{s:extra => {s:gain => u:3}}");
    }

    const std::string bad[] = {
        // streams
        "", "# only a comment\n", "---\n" + params + "registers:\n---\n", params + "registers:\n---\nx: 1\n",
        params + "registers:\n--- [\n", "[" + params, params + "registers:\n  a: [1, 2\n",
        params + "\tregisters:\n", "other: [1, 2\n" + params + "registers:\n", params + "registers:\n\x01\n",
        std::string("params:\n  model: a\0b\n", 21),
        // root
        "---\n", "~\n", "- 1\n", "text\n", "[params]\n", "'params'\n",
        // params and registers present, once
        params, "registers:\n", params + "registers:\n" + params, params + "registers:\nregisters:\n",
        params + "registers:\n'registers': {}\n",
        // registers must be a mapping; only an empty value counts as one
        params + "registers: ~\n", params + "registers: null\n", params + "registers: []\n",
        params + "registers: 5\n", params + "registers: ''\n", params + "registers: text\n",
        params + "registers: [a: 1]\n",
        // a top-level key that is a collection
        "? [a]\n: 1\n" + params + "registers:\n", "? {a: 1}\n: 1\n" + params + "registers:\n",
        // an alias to nothing, even inside a skipped value
        "other: *nowhere\n" + params + "registers:\n",
    };
    for (const auto& b : bad) refused("document refused", b);
}

void test_registers() {
    const std::string params = "params:\n" + kCounts;
    struct RegCase {
        const char* registers;
        const char* want;
    };
    const RegCase cases[] = {
        {"registers:\n  a: 1\n  0x10: ~\n  '1': b\n  1: c\n", "{s:a => u:1, u:16 => null, s:1 => s:b, u:1 => s:c}"},
        {"registers:\n  a: !x 5\n", "{s:a => tag(!x)u:5}"},
        {"registers:\n  a: !x '5'\n", "{s:a => tag(!x)s:5}"},
        {"registers:\n  a: ! 5\n", "{s:a => tag(!)u:5}"},
        {"registers:\n  !k a: 1\n  !j a: 2\n  a: 3\n", "{tag(!k)s:a => u:1, tag(!j)s:a => u:2, s:a => u:3}"},
        {"registers:\n  a: !x [1, !y {b: 2}]\n", "{s:a => tag(!x)[u:1, tag(!y){s:b => u:2}]}"},
        {"registers:\n  a: !!int '0b11'\n  b: 1e400\n  c: 017\n", "{s:a => u:3, s:b => s:1e400, s:c => s:017}"},
        {"registers: !!map\n  a: 1\n", "{s:a => u:1}"},
        {"registers:\n", "{}"},
    };
    for (const auto& c : cases) {
        const std::string text = params + c.registers;
        auto md = accepted("registers", text);
        if (md) expect_eq("registers", text, show(YamlValue{md->registers}), c.want);
    }
    const char* bad[] = {
        "registers:\n  a: 1\n  a: 2\n", "registers:\n  1: a\n  0x1: b\n", "registers:\n  !k a: 1\n  !k a: 2\n",
        "registers:\n  a: 18446744073709551616\n", "registers:\n  a: !!int x\n", "registers:\n  a: !x 18446744073709551616\n",
        "registers:\n  ? [a]\n  : 1\n", "registers:\n  a: {b: 1, b: 2}\n", "registers:\n  a: *nowhere\n",
    };
    for (const char* b : bad) refused("registers refused", params + b);
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

void test_nesting() {
    // The root mapping is level 1 and params or registers level 2, so a value may open 126 more.
    const std::string params = "params:\n" + kCounts;
    accepted("nesting params", params + "  gain: " + nested(126) + "\nregisters:\n");
    refused("nesting params", params + "  gain: " + nested(127) + "\nregisters:\n");
    accepted("nesting registers", params + "registers:\n  a: " + nested(126) + "\n");
    refused("nesting registers", params + "registers:\n  a: " + nested(127) + "\n");
    // Mappings count like sequences.
    std::string maps;
    for (int i = 0; i < 126; ++i) maps += "{a: ";
    maps += "1" + std::string(126, '}');
    accepted("nesting mappings", params + "  gain: " + maps + "\nregisters:\n");
    refused("nesting mappings", params + "  gain: [" + maps + "]\nregisters:\n");
    // An alias's copy counts where the alias stands; the skipped original does not count at all.
    const std::string deep = "other: &d [" + nested(125) + "]\n";
    accepted("nesting alias", deep + params + "  gain: *d\nregisters:\n");
    refused("nesting alias", deep + params + "  gain: [*d]\nregisters:\n");
    refused("nesting alias", deep + params + "registers:\n  a: [*d]\n");
    // Values of skipped keys are not held to that limit, only to the stream's own bound of 1000
    // levels (the root mapping included), which keeps the scanner's time linear in the text.
    accepted("nesting skipped", "other: " + nested(999) + "\n" + params + "registers:\n");
    refused("nesting skipped", "other: " + nested(1000) + "\n" + params + "registers:\n");
    refused("nesting skipped", "other: " + nested(100000) + "\n" + params + "registers:\n");
    // A cycle is refused only when read.
    refused("cycle", "other: &c [*c]\n" + params + "  gain: *c\nregisters:\n");
    refused("cycle", "other: &c {a: *c}\n" + params + "registers:\n  r: *c\n");
}

void test_alias_expansion() {
    const std::string params = "params:\n" + kCounts;
    // Nine levels of ten aliases each stand for 10^9 values: refused, not built.
    std::string bomb = "l0: &l0 [x, x, x, x, x, x, x, x, x, x]\n";
    for (int i = 1; i <= 9; ++i) {
        bomb += "l" + std::to_string(i) + ": &l" + std::to_string(i) + " [";
        for (int j = 0; j < 10; ++j) bomb += (j ? ", *l" : "*l") + std::to_string(i - 1);
        bomb += "]\n";
    }
    refused("alias bomb in params", bomb + params + "  gain: *l9\nregisters:\n");
    refused("alias bomb in registers", bomb + params + "registers:\n  a: *l9\n");
    accepted("alias bomb skipped", bomb + params + "registers:\n");
    // 10^4 copies are fine.
    {
        auto md = accepted("alias copies", bomb + params + "  gain: *l3\nregisters:\n");
        if (md) {
            const auto& seq = std::get<YamlValue::Sequence>(md->params.rest.find("gain")->v);
            if (seq.size() != 10) report("alias copies", "(l3)", "wrong shape");
        }
    }
    // A long text copied many times counts by its bytes.
    const std::string big = "big: &b " + std::string(1 << 20, 'x') + "\n";
    std::string many = big + params + "registers:\n";
    for (int i = 0; i < 100; ++i) many += "  r" + std::to_string(i) + ": *b\n";
    refused("alias text", many);
    std::string few = big + params + "registers:\n";
    for (int i = 0; i < 10; ++i) few += "  r" + std::to_string(i) + ": *b\n";
    accepted("alias text", few);
    // The document's own values never count against the bound.
    std::string large = params + "registers:\n  a: [";
    for (int i = 0; i < 1'100'000; ++i) large += "0,";
    large += "0]\n";
    accepted("large document", large);
}

}  // namespace

int main() {
    test_reference_file();
    test_counts();
    test_resolution();
    test_params_keys();
    test_document();
    test_registers();
    test_nesting();
    test_alias_expansion();
    if (failures) {
        std::printf("%d failure(s)\n", failures);
        return 1;
    }
    std::printf("all passed\n");
    return 0;
}
