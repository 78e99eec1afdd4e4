// What every ByteSource and every OutputTarget promises (base/byte_source.hpp,
// split/write/output_target.hpp), checked clause by clause over any implementation.
// Written once for two drivers: the C++ tests run it over the local implementations,
// and the test module _kestrel_conformance over those the Python boundary installs
// (URLs), so it returns the faults it finds as texts instead of asserting.
//
// Contract: each call returns the faults found, empty when there are none; what the
// implementation throws (a Stop, Interrupted) goes through to the caller. Used by one
// thread at a time, which must be allowed to call the implementation (a remote one
// takes the interpreter lock itself).
#pragma once

#include <cstdint>
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

// `target` holds nothing but `input` (a name in it that is the run's input, holding
// bytes) and whatever else its caller keeps there; the suite leaves it so. `ended`:
// the run the target belongs to has ended, so holding() must refuse.
std::vector<std::string> output_target_faults(OutputTarget& target, const std::string& input, bool ended);

}  // namespace kestrel::testing
