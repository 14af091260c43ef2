// What a fuzz target holds true of the code under test. A check that fails is
// a finding: it says which one on standard error and aborts, so that libFuzzer
// keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzz {

[[noreturn]] inline void check_failed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "\nfuzz: %s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

}  // namespace fuzz

#define FUZZ_CHECK(condition) ((condition) ? void(0) : ::fuzz::check_failed(#condition, __FILE__, __LINE__))
