#include "runtime/pool_settings.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace kestrel::runtime {

std::optional<uint64_t> parse_unsigned(std::string_view text) {
    if (text.starts_with('+')) text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

size_t pool_thread_count(std::optional<std::string_view> rayon_num_threads,
                         std::optional<std::string_view> rayon_rs_num_cpus, size_t processors) {
    uint64_t count = processors;
    const auto primary = rayon_num_threads ? parse_unsigned(*rayon_num_threads) : std::nullopt;
    if (primary) {
        if (*primary > 0) count = *primary;  // 0: the processors, and the fallback is not read
    } else if (const auto fallback = rayon_rs_num_cpus ? parse_unsigned(*rayon_rs_num_cpus) : std::nullopt;
               fallback && *fallback > 0) {
        count = *fallback;
    }
    return static_cast<size_t>(std::clamp<uint64_t>(count, 1, kMaxPoolThreads));
}

size_t worker_stack_size(std::optional<std::string_view> rust_min_stack) {
    const auto bytes = rust_min_stack ? parse_unsigned(*rust_min_stack) : std::nullopt;
    if (!bytes) return kDefaultWorkerStackSize;
    return static_cast<size_t>(std::min<uint64_t>(*bytes, SIZE_MAX));
}

size_t available_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<size_t>(count);
    }
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<size_t>(online) : 1;
}

namespace {

std::optional<std::string_view> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string_view(value);
}

}  // namespace

PoolSettings pool_settings_from_environment() {
    return PoolSettings{
        .thread_count = pool_thread_count(environment("RAYON_NUM_THREADS"), environment("RAYON_RS_NUM_CPUS"),
                                          available_processors()),
        .stack_size = worker_stack_size(environment("RUST_MIN_STACK")),
    };
}

}  // namespace kestrel::runtime
