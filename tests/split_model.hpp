// model_batches, the plain rules of a split, lives in support.hpp with the other
// helpers the tests share; this name stays for the tests that still include it.
#pragma once

#include "support.hpp"
