#pragma once

// A property every input must keep: a broken one stops the fuzzer on the input at hand.
inline void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}
