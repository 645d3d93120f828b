// A broken invariant stops the fuzz run with a message saying which, and the
// abort makes libFuzzer keep the input that broke it.
#pragma once
#include <cstdio>
#include <cstdlib>
#define FUZZ_CHECK(condition, ...)                                                                 \
    ((condition) ? (void)0                                                                         \
                 : (fprintf(stderr, "\nINVARIANT BROKEN: %s\n  ", #condition),                     \
                    fprintf(stderr, __VA_ARGS__), fprintf(stderr, "\n"), abort()))
