// What every public header of the library needs first: the language it is written in, and
// the mark on what a shared build of the library exports.
#pragma once

#if __cplusplus < 201703L
#error "tavrello needs C++17 or later (-std=c++17 or newer)"
// A missing header ends the compilation here: what follows would only add errors about
// std::any and std::optional that hide the one above.
#include <tavrello/stops_here_below_cxx17>
#endif

/// Marks a class or function of the public interface. A shared build of the library exports
/// only what carries it; everything else is hidden, so no internal symbol becomes part of
/// its binary interface.
#define TAVRELLO_API __attribute__((visibility("default")))
