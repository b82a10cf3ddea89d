#include "listen_address.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace tavrello::sandbox {

sockaddr_in socketAddress(const ListenAddress& address) {
  sockaddr_in socket{};
  socket.sin_family = AF_INET;
  socket.sin_port = htons(static_cast<std::uint16_t>(address.port));
  inet_pton(AF_INET, address.host.c_str(), &socket.sin_addr);
  return socket;
}

// httplib does not tell why it could not listen, so a socket of this function's own tries
// the same.
std::string listenProblem(const ListenAddress& address) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  const int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  const sockaddr_in where = socketAddress(address);
  const bool failed =
      bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0 || listen(fd, 1) != 0;
  const int problem = errno;
  close(fd);
  if (!failed) return "";
  std::string words = std::strerror(problem);
  if (!words.empty()) words[0] = static_cast<char>(std::tolower(words[0]));
  return ": " + words;
}

std::optional<ListenAddress> parseListen(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  ListenAddress address;
  address.host = text.substr(0, colon);
  if (address.host == "localhost") address.host = "127.0.0.1";
  in_addr ipv4{};
  if (inet_pton(AF_INET, address.host.c_str(), &ipv4) != 1) return std::nullopt;
  if ((ntohl(ipv4.s_addr) >> 24) != 127) return std::nullopt;
  const std::string portText = text.substr(colon + 1);
  const char* begin = portText.data();
  const char* end = begin + portText.size();
  const auto [parsed, ec] = std::from_chars(begin, end, address.port);
  if (portText.empty() || ec != std::errc() || parsed != end || address.port < 0 ||
      address.port > 65535) {
    return std::nullopt;
  }
  return address;
}

}  // namespace tavrello::sandbox
