#include <tavrello/tavrello_result.hpp>

#include <algorithm>
#include <iostream>
#include <iterator>
#include <utility>

#include "internal/text_forms.hpp"

namespace tavrello {

// Only an allocation failure at start-up could throw here.
// NOLINTNEXTLINE(cert-err58-cpp)
const std::vector<std::map<std::string, std::string>> TavrelloResult::NO_RESULT = {
    {{"error", "No result data"}}};

TavrelloResult::TavrelloResult() = default;

TavrelloResult::TavrelloResult(std::map<std::string, std::any> dictionary)
    : message_(Message{std::move(dictionary)}) {}

TavrelloResult::TavrelloResult(Bytes bytes) : response_(std::move(bytes)) {}

TavrelloResult::TavrelloResult(bool missingCredential) {
  if (missingCredential) reason_ = "key";
}

TavrelloResult::~TavrelloResult() = default;

const std::optional<Message>& TavrelloResult::message() const { return message_; }
void TavrelloResult::setMessage(std::optional<Message> message) { message_ = std::move(message); }
const std::string& TavrelloResult::result() const { return result_; }
void TavrelloResult::setResult(std::string result) { result_ = std::move(result); }
const std::string& TavrelloResult::type() const { return type_; }
void TavrelloResult::setType(std::string type) { type_ = std::move(type); }
const std::string& TavrelloResult::reason() const { return reason_; }
void TavrelloResult::setReason(std::string reason) { reason_ = std::move(reason); }
const std::optional<Bytes>& TavrelloResult::response() const { return response_; }
void TavrelloResult::setResponse(std::optional<Bytes> response) { response_ = std::move(response); }

std::string TavrelloResult::description() {
  // Through the accessors, so a subclass that overrides them is honoured.
  const std::optional<Bytes>& body = response();
  if (!body) return "Error: No response";
  if (!internal::isStrictUtf8(body->data(), body->size())) {
    return "Error: Couldn't print JSON in String";
  }
  std::string text(body->begin(), body->end());
  if (text == "null") {
    Message noResult;
    std::transform(
        NO_RESULT.begin(), NO_RESULT.end(), std::back_inserter(noResult),
        [](const auto& entry) { return Message::value_type(entry.begin(), entry.end()); });
    setMessage(std::move(noResult));
    setReason("http");
    return text;
  }
  std::cout.write(text.data(), static_cast<std::streamsize>(text.size()));
  std::cout.put('\n');
  std::cout.flush();
  return text;
}

}  // namespace tavrello
