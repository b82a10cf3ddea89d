#include <tavrello/version.hpp>

namespace tavrello {

// Compiled into the library, so it tells the version of the library a program runs with,
// which may differ from the headers it was built against.
const char* version() noexcept { return TAVRELLO_VERSION_STRING; }

}  // namespace tavrello
