// How many worker threads the compression pool gets and how large their stacks are,
// from RAYON_NUM_THREADS, RAYON_RS_NUM_CPUS and RUST_MIN_STACK.
//
// Contract: pure parsing plus reading the environment; nothing fails. Safe from any
// thread as long as nobody changes the environment meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kestrel::runtime {

constexpr size_t kMaxPoolThreads = 255;
constexpr size_t kDefaultWorkerStackSize = 2 * 1024 * 1024;

struct PoolSettings {
    size_t thread_count;
    size_t stack_size;
};

// An optional '+' then decimal digits only, fitting 64 bits; anything else is nullopt.
std::optional<uint64_t> parse_unsigned(std::string_view text);

// RAYON_NUM_THREADS wins when it parses ("0" meaning the processor count); then a
// positive RAYON_RS_NUM_CPUS; then the processors. Never more than 255.
size_t pool_thread_count(std::optional<std::string_view> rayon_num_threads,
                         std::optional<std::string_view> rayon_rs_num_cpus, size_t processors);

// RUST_MIN_STACK in bytes, 2 MiB when unset or unparsable.
size_t worker_stack_size(std::optional<std::string_view> rust_min_stack);

// Logical processors this process may run on (at least 1).
size_t available_processors();

// Reads the three variables now.
PoolSettings pool_settings_from_environment();

}  // namespace kestrel::runtime
