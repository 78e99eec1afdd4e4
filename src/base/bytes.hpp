// Little-endian integers in byte buffers: the byte order of BGZF, gzip and the index
// formats.
//
// Contract: pure functions; loads read exactly sizeof(T) bytes from `bytes`, which the
// caller has checked hold them; appends never fail but for std::bad_alloc. Safe from
// any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace kestrel {

template <class T>
    requires std::is_unsigned_v<T>
constexpr T load_le(const uint8_t* bytes) {
    T value = 0;
    for (size_t i = sizeof(T); i-- > 0;) value = static_cast<T>(value << 8 | bytes[i]);
    return value;
}
constexpr uint16_t load_le16(const uint8_t* bytes) { return load_le<uint16_t>(bytes); }
constexpr uint32_t load_le32(const uint8_t* bytes) { return load_le<uint32_t>(bytes); }
constexpr uint64_t load_le64(const uint8_t* bytes) { return load_le<uint64_t>(bytes); }

// Writes `value` at `bytes` (sizeof(T) bytes).
template <class T>
    requires std::is_unsigned_v<T>
constexpr void store_le(uint8_t* bytes, T value) {
    for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Appends `value` to `out`.
template <class T>
    requires std::is_unsigned_v<T>
void append_le(std::vector<uint8_t>& out, T value) {
    for (size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace kestrel
