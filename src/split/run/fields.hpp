// Values as bytes, field by field and by name: how the tasks of a cluster run and
// their results travel between machines. A struct lists its fields once, in a static
// `fields(self, visit)` that calls visit("name", self.member) for each; the same list
// writes and reads it, so a field added anywhere in it is written and read alike, and
// one missing or unknown on the way in is an error, never a silent shift.
//
// A record is a run of fields: varint name length, name, varint value length, value.
// Values: integers, enums and bools as varints, strings as their bytes, structs as a
// record, vectors as varint-length-prefixed items; an optional that is empty is left
// out.
//
// Contract: encode() only allocates; decode() returns false for bytes that are not a
// record of the type (truncated, a field missing, unknown or malformed). Pure
// functions, safe from any thread.
#pragma once

#include <concepts>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace kestrel::fields {

template <class T>
concept Record = requires(T& value) { T::fields(value, [](std::string_view, auto&) {}); };

namespace detail {

inline void put_varint(std::string& out, uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

inline bool get_varint(std::string_view& in, uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (in.empty()) return false;
        const auto byte = static_cast<uint8_t>(in.front());
        in.remove_prefix(1);
        value |= uint64_t{byte & 0x7fu} << shift;
        if ((byte & 0x80) == 0) return true;
    }
    return false;
}

inline bool get_bytes(std::string_view& in, std::string_view& bytes) {
    uint64_t length = 0;
    if (!get_varint(in, length) || length > in.size()) return false;
    bytes = in.substr(0, length);
    in.remove_prefix(length);
    return true;
}

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

}  // namespace detail

template <class T>
void write_value(std::string& out, const T& value);
template <class T>
bool read_value(std::string_view in, T& value);

template <Record T>
std::string encode(const T& value) {
    std::string out;
    T::fields(value, [&](std::string_view name, const auto& member) {
        if constexpr (detail::IsOptional<std::remove_cvref_t<decltype(member)>>::value) {
            if (!member) return;
        }
        std::string bytes;
        write_value(bytes, member);
        detail::put_varint(out, name.size());
        out.append(name);
        detail::put_varint(out, bytes.size());
        out.append(bytes);
    });
    return out;
}

template <Record T>
bool decode(std::string_view in, T& value) {
    std::map<std::string_view, std::string_view> found;
    while (!in.empty()) {
        std::string_view name, bytes;
        if (!detail::get_bytes(in, name) || !detail::get_bytes(in, bytes) || !found.emplace(name, bytes).second) {
            return false;
        }
    }
    bool ok = true;
    size_t used = 0;
    T::fields(value, [&](std::string_view name, auto& member) {
        const auto at = found.find(name);
        if (at == found.end()) {
            if constexpr (detail::IsOptional<std::remove_cvref_t<decltype(member)>>::value) {
                member.reset();
            } else {
                ok = false;
            }
            return;
        }
        ++used;
        ok = ok && read_value(at->second, member);
    });
    return ok && used == found.size();
}

template <class T>
void write_value(std::string& out, const T& value) {
    if constexpr (std::is_same_v<T, bool>) {
        detail::put_varint(out, value ? 1 : 0);
    } else if constexpr (std::is_enum_v<T>) {
        detail::put_varint(out, static_cast<uint64_t>(value));
    } else if constexpr (std::is_integral_v<T>) {
        detail::put_varint(out, static_cast<uint64_t>(value));
    } else if constexpr (std::is_same_v<T, std::string>) {
        out.append(value);
    } else if constexpr (detail::IsOptional<T>::value) {
        write_value(out, *value);
    } else if constexpr (Record<T>) {
        out.append(encode(value));
    } else {
        // A vector: each item's bytes, length first.
        for (const auto& item : value) {
            std::string bytes;
            write_value(bytes, item);
            detail::put_varint(out, bytes.size());
            out.append(bytes);
        }
    }
}

template <class T>
bool read_value(std::string_view in, T& value) {
    if constexpr (std::is_same_v<T, bool> || std::is_enum_v<T> || std::is_integral_v<T>) {
        uint64_t number = 0;
        if (!detail::get_varint(in, number) || !in.empty()) return false;
        if constexpr (std::is_same_v<T, bool>) {
            if (number > 1) return false;
            value = number == 1;
        } else {
            value = static_cast<T>(number);
        }
        return true;
    } else if constexpr (std::is_same_v<T, std::string>) {
        value.assign(in);
        return true;
    } else if constexpr (detail::IsOptional<T>::value) {
        value.emplace();
        return read_value(in, *value);
    } else if constexpr (Record<T>) {
        return decode(in, value);
    } else {
        value.clear();
        while (!in.empty()) {
            std::string_view bytes;
            if (!detail::get_bytes(in, bytes) || !read_value(bytes, value.emplace_back())) return false;
        }
        return true;
    }
}

}  // namespace kestrel::fields
