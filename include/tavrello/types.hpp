// Vocabulary types shared by the whole public interface.
#pragma once

#include <tavrello/config.hpp>

#include <any>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace tavrello {

class TavrelloResult;

/// Raw bytes of a reply body, exactly as the service sent them.
using Bytes = std::vector<std::uint8_t>;

/// The fields of one request. Every value the library stores is a std::string;
/// the form encoder also writes `const char*`, `std::string_view`, integers and
/// floating-point values in their ordinary text form. Iteration order is
/// unspecified and nothing depends on it.
using Params = std::unordered_map<std::string, std::any>;

/// Structured content of a result (see TavrelloResult::message()).
using Message = std::vector<std::map<std::string, std::any>>;

/// Receives the one result of an operation. Called exactly once per call.
using CompletionHandler = std::function<void(std::shared_ptr<TavrelloResult>)>;

}  // namespace tavrello
