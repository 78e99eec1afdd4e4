// What every ByteSource and every OutputTarget promises (base/byte_source.hpp,
// split/write/output_target.hpp), clause by clause, for two drivers: the C++ tests over
// the local ones, the module _kestrel_conformance over those of URLs. Returns the faults
// found as texts (none: empty); what the implementation throws goes through.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/byte_source.hpp"
#include "split/write/output_target.hpp"

namespace kestrel::testing {

// `make` gives a fresh source over `expected` each time it is called.
std::vector<std::string> byte_source_faults(const std::function<std::shared_ptr<ByteSource>()>& make,
                                            std::span<const uint8_t> expected);

// `target` holds `input`, a file that is the run's input, and the suite leaves it so.
// `ended`: the run of the target has ended, so holding() must refuse.
std::vector<std::string> output_target_faults(OutputTarget& target, const std::string& input, bool ended);

}  // namespace kestrel::testing
