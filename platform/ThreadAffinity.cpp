#include "platform/ThreadAffinity.h"

#include <cstdio>
#include <cstdlib>

void CThreadAffinity::Fail(const char* pWhat) {
    std::fprintf(stderr, "Tarnwick: %s called on a thread that does not own it\n", pWhat);
    std::fflush(stderr);
    std::abort();
}
