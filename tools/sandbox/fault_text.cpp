#include <charconv>
#include <cstdint>

#include "sandbox_options.hpp"
#include "sandbox_service.hpp"

namespace tavrello::sandbox {

std::optional<Fault> parseFault(std::string_view text, std::string& error) {
  Fault fault;
  while (!text.empty()) {
    if (text.rfind("body=", 0) == 0) {  // the rest of the text, commas and all
      fault.body = std::string(text.substr(5));
      break;
    }
    const std::size_t comma = std::min(text.find(','), text.size());
    const std::string_view piece = text.substr(0, comma);
    text.remove_prefix(std::min(comma + 1, text.size()));
    const std::size_t equals = std::min(piece.find('='), piece.size());
    const std::string_view key = piece.substr(0, equals);
    const std::string_view value = piece.substr(std::min(equals + 1, piece.size()));
    std::uint64_t number = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
    const bool numeric = !value.empty() && ec == std::errc() && end == value.data() + value.size();
    if (key == "op") {
      fault.operation = std::string(value);
    } else if (key == "status" && numeric) {
      fault.status = static_cast<int>(std::min<std::uint64_t>(number, 1000));
    } else if (key == "count" && numeric) {
      fault.count = number;
    } else if (key == "delay" && numeric) {
      fault.delay = std::chrono::milliseconds(number);
    } else if (key == "cut" && numeric) {
      fault.cutAfterBytes = number;
    } else {
      error = "\"" + std::string(piece) +
              "\" is not op=OPERATION, status=N, count=N, delay=MS, cut=BYTES or body=TEXT";
      return std::nullopt;
    }
  }
  error = faultProblem(fault);
  if (!error.empty()) return std::nullopt;
  return fault;
}

std::string faultProblem(const Fault& fault) {
  if (!fault.operation.empty() && !SandboxService::isOperation(fault.operation)) {
    return "\"" + fault.operation + "\" is not an operation of the client";
  }
  if (fault.status != 0 && (fault.status < 200 || fault.status > 599)) {
    return "the status is not 0 or 200 to 599";
  }
  return fault.count == 0 ? "the count is 0" : "";
}

std::string describeFault(const Fault& fault) {
  std::string text = fault.operation.empty() ? "" : "op=" + fault.operation + ",";
  text += "status=" + std::to_string(fault.status);
  if (fault.delay.count() > 0) text += ",delay=" + std::to_string(fault.delay.count());
  if (fault.cutAfterBytes) text += ",cut=" + std::to_string(*fault.cutAfterBytes);
  if (!fault.body.empty()) text += ",body=" + fault.body;
  return text;
}

}  // namespace tavrello::sandbox
