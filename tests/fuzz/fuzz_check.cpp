#include <cstdio>
#include <cstdlib>

#include "fuzz_input.h"

namespace kelmor::fuzz {

void Broken(const char* what) {
    std::fprintf(stderr, "fuzz target: property broken: %s\n", what);
    std::abort();
}

}  // namespace kelmor::fuzz
