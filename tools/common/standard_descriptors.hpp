// Descriptors 0, 1 and 2 for a program that may be started without them.
#pragma once

namespace tavrello::tools {

/// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. Called first thing in
/// main(): otherwise the first socket or file the program or libcurl opens takes the free
/// number, and what the program prints goes into it. /dev/null is opened for reading only,
/// so that writing to an output that was closed still fails and is reported, as a write to
/// a full disk is.
///   tavrello get-groups >&-   # exit 1: "cannot write the reply to standard output"
void reserveStandardDescriptors() noexcept;

}  // namespace tavrello::tools
