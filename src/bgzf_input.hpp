// The BGZF reader as the line reading of the driver sees it: every failure, at
// construction or in a later block, stops the call.
#pragma once

#include <cstdint>
#include <span>

#include "bgzf/reader.hpp"
#include "file.hpp"

namespace kestrel {

class BgzfInput {
public:
    explicit BgzfInput(File file);

    // Skipping a failed block would drop its records and report success.
    std::span<const uint8_t> fill_buffer();
    void consume(size_t n) { reader_.consume(n); }

private:
    bgzf::BgzfReader reader_;
};

}  // namespace kestrel
