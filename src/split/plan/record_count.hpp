// Counting an input's records ahead of the balanced cut into a fixed number of
// batches: the lines whose first byte is not '#', as the splitter tells them.
//
// Contract: a failed read is returned as its IoError. Between rounds of reads the
// interruption check (base/stop.hpp) runs. Used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "base/byte_source.hpp"
#include "runtime/worker_pool.hpp"

namespace kestrel {

// Counts over the input's bytes as they come, in pieces of any size.
class RecordCounter {
public:
    void feed(std::span<const uint8_t> bytes);
    uint64_t records() const { return records_; }

private:
    uint64_t records_ = 0;
    bool at_line_start_ = true;
};

// Counts the records of `size` bytes of a seekable plain source from `offset`, read
// with read_at in parallel on `runner` (on the calling thread when null), `stripe`
// bytes per thread at a time. A source that turns out shorter is counted as far as it
// goes. `done` hears the bytes counted so far, now and then.
IoResult<uint64_t> count_records_in(const ByteSource& source, uint64_t offset, uint64_t size, size_t stripe,
                                    runtime::JobRunner* runner, const std::function<void(uint64_t)>& done);

// Counts the records of a BGZF source read from its start, its blocks inflated on
// `runner` (null: the process's pool). `done` hears the compressed bytes read so far,
// now and then, and at the end all of them. A damaged block or a failed read stops the call as the split's read
// of it would, naming `path`.
uint64_t count_bgzf_records(std::shared_ptr<const ByteSource> source, const std::string& path,
                            runtime::JobRunner* runner, const std::function<void(uint64_t)>& done);

}  // namespace kestrel
