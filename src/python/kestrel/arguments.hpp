// Turns the fast-call argument vector of py_extract_variants_to_batches into the four
// values of the core operation, or into the exact Python exception for bad arguments.
//
// Contract: returns argument errors as PyErrValue; a message that cannot be rendered
// stops the call. The texts are views of the argument objects, valid while the
// caller holds them. The interpreter lock must be held.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <variant>

#include "python/panic.hpp"
#include "split/run/batch_entry.hpp"

namespace kestrel::py {

struct Arguments {
    std::string_view file_path;    // views of the argument str objects
    std::string_view output_path;
    uint32_t batch_size = 0;
    Compression compression;
};

std::variant<Arguments, PyErrValue> convert_arguments(PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames);

// "fast", "default" and "best" in any letter case (full Unicode lower-casing) select
// levels 1, 6 and 9; every other text means no compression.
Compression compression_from_name(std::string_view name);

// The text lower-cased by the Unicode default full mapping.
std::string unicode_lower(std::string_view utf8);

}  // namespace kestrel::py
