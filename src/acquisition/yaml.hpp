// An order-preserving tree of YAML values, as read from "metadata.yml".
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vuzevuz {

struct YamlValue;

// Entries in document order; keys are unique.
struct YamlMapping {
    std::vector<std::pair<YamlValue, YamlValue>> entries;

    // Special members defined once YamlValue is complete (some compilers need that).
    YamlMapping() noexcept;
    YamlMapping(const YamlMapping&);
    YamlMapping(YamlMapping&&) noexcept;
    YamlMapping& operator=(const YamlMapping&);
    YamlMapping& operator=(YamlMapping&&) noexcept;
    ~YamlMapping();

    // The value of the entry whose key is the text `key`, or null.
    const YamlValue* find(std::string_view key) const;
    bool empty() const;
    std::size_t size() const;
};

struct YamlTagged {
    std::string tag;
    std::shared_ptr<const YamlValue> value;
};

struct YamlNull {
    friend bool operator==(YamlNull, YamlNull) { return true; }
};

struct YamlValue {
    using Sequence = std::vector<YamlValue>;
    // Non-negative integers are held as uint64_t, negative ones as int64_t.
    std::variant<YamlNull, bool, std::uint64_t, std::int64_t, double, std::string, Sequence, YamlMapping, YamlTagged> v;

    const std::string* as_text() const { return std::get_if<std::string>(&v); }
    // A non-negative YAML integer, or nothing.
    std::optional<std::uint64_t> as_unsigned() const {
        if (auto p = std::get_if<std::uint64_t>(&v)) return *p;
        return std::nullopt;
    }
};

inline YamlMapping::YamlMapping() noexcept = default;
inline YamlMapping::YamlMapping(const YamlMapping&) = default;
inline YamlMapping::YamlMapping(YamlMapping&&) noexcept = default;
inline YamlMapping& YamlMapping::operator=(const YamlMapping&) = default;
inline YamlMapping& YamlMapping::operator=(YamlMapping&&) noexcept = default;
inline YamlMapping::~YamlMapping() = default;
inline bool YamlMapping::empty() const { return entries.empty(); }
inline std::size_t YamlMapping::size() const { return entries.size(); }

inline const YamlValue* YamlMapping::find(std::string_view key) const {
    for (const auto& [k, val] : entries)
        if (auto t = k.as_text(); t && *t == key) return &val;
    return nullptr;
}

}  // namespace vuzevuz
