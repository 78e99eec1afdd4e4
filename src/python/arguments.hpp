// The arguments the modules take, one parser per kind: paths, counts, compression
// levels, index formats, flags and callbacks. Each returns false (or null) with the
// Python exception set when the value does not fit.
//
// Contract: the interpreter lock must be held. Messages name the parameter.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "index/binning_index.hpp"
#include "python/py_ref.hpp"
#include "split/write/file_format.hpp"

namespace kestrel::py {

// The compression names of the scatter module and the command line, with their DEFLATE
// levels: the one list the module's COMPRESSION_LEVELS, the command line's choices and
// its help text come from.
struct NamedLevel {
    const char* name;
    uint32_t level;
};
inline constexpr NamedLevel kCompressionLevels[] = {{"fast", 1}, {"default", 6}, {"best", 9}};

// The DEFLATE level of a compression name of kCompressionLevels, in any letter case.
std::optional<uint32_t> named_level(std::string_view name);
// COMPRESSION_LEVELS, a dict of name to level; null with the exception set.
PyObject* compression_levels();

// keep_together: None, or "position" (true); another text is a ValueError, anything
// else a TypeError. False with the exception set.
bool keep_together_or_none(PyObject* value, bool& out);

// A path (str, bytes or os.PathLike) as the file system's bytes; "-" stays as it is.
// NUL bytes are refused (ValueError).
Ref path_bytes(PyObject* value);
// A path of the scatter module, as path_bytes gives it, where a file URL (RFC 8089:
// "file:", then "//" with no host or "localhost" and the path, or the path alone)
// becomes the local path it names, percent-decoded. With `index_rule`, each side of
// "##idx##" (htslib's DATA##idx##INDEX) is taken so. A file URL of another host, or
// with a query, a fragment, a bad escape, an escaped NUL or no path, is a ValueError
// naming the URL, after "`name`: " unless `name` is null. Other URLs stay as they are.
Ref local_path_bytes(PyObject* value, const char* name, bool index_rule = false);
// A whole number from 1 to 2**64 - 1, or None (0 then).
bool count_or_none(PyObject* value, const char* name, uint64_t& out);
// None, "fast", "default", "best" in any letter case, or an int from 1 to 12. The
// command line takes the same values (its digits as an int).
bool compression_or_none(PyObject* value, Compression& out);
// None, "tbi" or "csi".
bool index_or_none(PyObject* value, std::optional<index::IndexFormat>& out);
// True or False, nothing else: a string such as "no" must not mean yes.
bool flag(PyObject* value, const char* name, bool& out);
bool callable_or_none(PyObject* value, const char* name);

}  // namespace kestrel::py
