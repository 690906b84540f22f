#pragma once

// A broken invariant ends the run the way a sanitizer report does, so libFuzzer keeps
// the input as a crash artifact.

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

[[noreturn]] inline void fail(const char *invariant, const std::string &detail)
{
    std::fprintf(stderr, "==fuzz== invariant broken: %s\n", invariant);
    if (!detail.empty())
        std::fprintf(stderr, "==fuzz== %s\n", detail.c_str());
    std::abort();
}

inline void require(bool condition, const char *invariant)
{
    if (!condition)
        fail(invariant, {});
}

// `detail` gives the text that explains a failure; it runs only then, so a check that
// holds costs no formatting.
template <typename Detail>
void require(bool condition, const char *invariant, Detail &&detail)
{
    if (!condition)
        fail(invariant, detail());
}

} // namespace fuzz
