#include <tavrello/tavrello_api.hpp>

#include <tavrello/main_queue.hpp>
#include <tavrello/tavrello_result.hpp>

#include <pthread.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "internal/destination.hpp"
#include "internal/form_body.hpp"
#include "internal/http_transport.hpp"
#include "internal/observer.hpp"
#include "internal/operations.hpp"
#include "internal/sha1_hex.hpp"
#include "internal/text_forms.hpp"

#ifndef TAVRELLO_DEFAULT_SERVICE_HOST
#define TAVRELLO_DEFAULT_SERVICE_HOST "127.0.0.1:8787"
#endif

namespace tavrello {

namespace {
constexpr char kUnsetMarker = 'n';  // TIMESTAMP between two requests
const std::string kAbsentKey;       // an absent key is written as empty text

// The body's own fields, and the room they take with the 40 hex digits of the signature.
constexpr std::string_view kApiKeyField = "api_key=";
constexpr std::string_view kStampField = "&timestamp=";
constexpr std::string_view kCertField = "&cert_key=";
constexpr std::string_view kActionField = "&api=";
constexpr std::size_t kSignedFields =
    kApiKeyField.size() + kStampField.size() + kCertField.size() + 40;

// Copies `text` to `at` and returns its end; the copy of a literal is a few moves.
char* put(char* at, std::string_view text) {
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

// The text cert_key is the SHA-1 of: "timestamp|api_key|server_key".
class CertText {
 public:
  CertText(const std::string& timestamp, const std::string& apiKey, const std::string& serverKey)
      : length_(timestamp.size() + apiKey.size() + serverKey.size() + 2) {
    char* at = text_;
    if (length_ > sizeof onStack_) {  // keys of unusual length
      onHeap_.resize(length_);
      text_ = at = onHeap_.data();
    }
    for (const std::string* part : {&timestamp, &apiKey, &serverKey}) {
      if (part != &timestamp) *at++ = '|';
      at = std::copy(part->begin(), part->end(), at);
    }
  }
  CertText(const CertText&) = delete;
  CertText& operator=(const CertText&) = delete;
  std::string_view text() const { return {text_, length_}; }

 private:
  char onStack_[256];
  std::string onHeap_;
  char* text_ = onStack_;
  std::size_t length_;
};
}  // namespace

TavrelloAPI& TavrelloAPI::shared() {
  // Built once under the language's thread-safe static initialisation and
  // never destroyed, so threads still calling it during exit stay safe.
  static TavrelloAPI* instance = new TavrelloAPI();
  return *instance;
}

TavrelloAPI::TavrelloAPI()
    : TIMESTAMP(internal::timestampText(internal::currentUnixTime())),
      destination_(std::make_shared<const internal::Destination>(
          internal::parseDestination(TAVRELLO_DEFAULT_SERVICE_HOST))) {
  // A fork() while another thread signs a request would leave the child's lock
  // held forever: the lock is taken around the fork.
  pthread_atfork([] { shared().mutex_.lock(); }, [] { shared().mutex_.unlock(); },
                 [] { shared().mutex_.unlock(); });
}

void TavrelloAPI::printTest() {
  std::string text;
  {
    std::lock_guard lock(mutex_);
    text = TIMESTAMP + "\n" + internal::debugDescription(API_KEY) + "\n" +
           internal::debugDescription(SERVER_KEY) + "\n";
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

void TavrelloAPI::setApiKey(std::string apiKey) {
  std::lock_guard lock(mutex_);
  API_KEY = std::move(apiKey);
}

void TavrelloAPI::setServerKey(std::string serverKey) {
  std::lock_guard lock(mutex_);
  SERVER_KEY = std::move(serverKey);
}

void TavrelloAPI::setServiceHost(std::string hostAndPort) {
  // Checked once here rather than on every request.
  auto destination =
      std::make_shared<internal::Destination>(internal::parseDestination(std::move(hostAndPort)));
  std::lock_guard lock(mutex_);
  destination->caFile = destination_->caFile;
  destination->caProblem = destination_->caProblem;
  destination_ = std::move(destination);
}

void TavrelloAPI::setCaFile(std::string pemPath) {
  std::string problem = internal::caFileProblem(pemPath);
  std::lock_guard lock(mutex_);
  auto destination = std::make_shared<internal::Destination>(*destination_);
  destination->caFile = std::move(pemPath);
  destination->caProblem = std::move(problem);
  destination_ = std::move(destination);
}

void TavrelloAPI::setObserver(std::function<void(const Exchange&)> observer) {
  internal::setObserver(std::move(observer));
}

std::string TavrelloAPI::serviceHost() const {
  std::lock_guard lock(mutex_);
  return destination_->text;
}

bool TavrelloAPI::hashKey() {
  if (!API_KEY) return false;
  if (!SERVER_KEY) return false;
  setTimestamp();
  return true;
}

void TavrelloAPI::setTimestamp() {
  if (TIMESTAMP.size() == 1 && TIMESTAMP[0] == kUnsetMarker)
    internal::assignTimestampText(TIMESTAMP, internal::currentUnixTime());
}

void TavrelloAPI::unsetTimeStamp() {
  TIMESTAMP.clear();  // its storage stays, for the next stamp
  TIMESTAMP += kUnsetMarker;
}

std::string TavrelloAPI::getCertKey() const {
  const std::string& apiKey = API_KEY ? *API_KEY : kAbsentKey;
  const std::string& serverKey = SERVER_KEY ? *SERVER_KEY : kAbsentKey;
  return sha1(std::string(CertText(TIMESTAMP, apiKey, serverKey).text()));
}

std::string TavrelloAPI::sha1(const std::string& hashed) { return internal::sha1Hex(hashed); }

Params TavrelloAPI::getBasicParams() {
  std::lock_guard lock(mutex_);
  Params params;
  params.emplace("api_key", API_KEY ? *API_KEY : kAbsentKey);
  params.emplace("timestamp", TIMESTAMP);
  params.emplace("cert_key", getCertKey());
  return params;
}

void TavrelloAPI::doPost(internal::Post&& post) { internal::submitPost(std::move(post)); }

void TavrelloAPI::send(int operation, std::initializer_list<const std::string*> args,
                       CompletionHandler completionHandler) {
  const internal::Endpoint& endpoint = internal::kOperations[operation];
  if (!completionHandler) completionHandler = [](const std::shared_ptr<TavrelloResult>&) {};
  // The same fields getBasicParams() and the endpoint table give, written straight into the
  // body (their order in it means nothing), in room made for them to the byte. Only the
  // caller's texts are escaped: the names and action codes are the library's own (checked
  // in operations.hpp), the stamp is digits and a point, the signature hex.
  const std::string* const* argument = args.begin();
  std::size_t room = endpoint.action.empty() ? 0 : kActionField.size() + endpoint.action.size();
  std::array<std::size_t, std::tuple_size_v<decltype(internal::Endpoint::fields)>> escapedSize{};
  for (std::size_t i = 0; i < endpoint.fields.size(); ++i) {
    const internal::Field& field = endpoint.fields[i];
    if (field.name.empty()) break;
    escapedSize[i] = field.argument >= 0 ? internal::formEscapedSize(*argument[field.argument])
                                         : field.fixedValue.size();
    room += 2 + field.name.size() + escapedSize[i];
  }
  internal::Post post;
  post.operation = endpoint.name;
  post.path = endpoint.path;
  post.write = endpoint.write;
  post.started = std::chrono::steady_clock::now();
  std::string& body = post.body;
  body = internal::spareBody();
  char* at = nullptr;
  {
    // Stamp, sign and reset as one step, so concurrent callers can never
    // send a timestamp that disagrees with its cert_key.
    std::unique_lock lock(mutex_);
    if (!hashKey()) {
      auto result = std::make_shared<TavrelloResult>(true);
      result->setDetail(API_KEY      ? "no server key set"
                        : SERVER_KEY ? "no API key set"
                                     : "no API key or server key set");
      lock.unlock();  // the handler may call the client again
      completionHandler(std::move(result));
      return;
    }
    // API_KEY is present: hashKey() checked.
    const std::size_t apiKeySize = internal::formEscapedSize(*API_KEY);
    body.resize(room + kSignedFields + apiKeySize + TIMESTAMP.size());
    at = internal::writeFormEscaped(put(body.data(), kApiKeyField), *API_KEY, apiKeySize);
    at = put(put(at, kStampField), TIMESTAMP);
    // getCertKey()'s digest.
    char certKey[40];
    internal::sha1Hex(CertText(TIMESTAMP, *API_KEY, *SERVER_KEY).text(), certKey);
    at = put(put(at, kCertField), {certKey, sizeof certKey});
    post.destination = destination_;
    unsetTimeStamp();
  }
  if (!endpoint.action.empty()) at = put(put(at, kActionField), endpoint.action);
  for (std::size_t i = 0; i < endpoint.fields.size(); ++i) {
    const internal::Field& field = endpoint.fields[i];
    if (field.name.empty()) break;
    *at++ = '&';
    at = put(at, field.name);
    *at++ = '=';
    at = field.argument >= 0
             ? internal::writeFormEscaped(at, *argument[field.argument], escapedSize[i])
             : put(at, field.fixedValue);
  }
  body.resize(static_cast<std::size_t>(at - body.data()));  // as made: to the byte
  // The handler reaches the caller unchanged: doPost delivers on MainQueue.
  post.callback = std::move(completionHandler);
  doPost(std::move(post));
}

void TavrelloAPI::getLastData(const std::string& memberKey, CompletionHandler completionHandler) {
  send(internal::kGetLastData, {&memberKey}, std::move(completionHandler));
}

void TavrelloAPI::getDataBetween24Hours(const std::string& memberKey,
                                        const std::string& startUnixTime,
                                        const std::string& endUnixTime,
                                        CompletionHandler completionHandler) {
  send(internal::kGetDataBetween24Hours, {&memberKey, &startUnixTime, &endUnixTime},
       std::move(completionHandler));
}

void TavrelloAPI::getObjectsData(const std::string& page, CompletionHandler completionHandler) {
  send(internal::kGetObjectsData, {&page}, std::move(completionHandler));
}

void TavrelloAPI::getGroups(CompletionHandler completionHandler) {
  send(internal::kGetGroups, {}, std::move(completionHandler));
}

void TavrelloAPI::getGroupsWithObject(const std::string& memberKey,
                                      CompletionHandler completionHandler) {
  send(internal::kGetGroupsWithObject, {&memberKey}, std::move(completionHandler));
}

void TavrelloAPI::getGroupMembers(const std::string& groupKey,
                                  CompletionHandler completionHandler) {
  send(internal::kGetGroupMembers, {&groupKey}, std::move(completionHandler));
}

void TavrelloAPI::createGroup(const std::string& groupName, CompletionHandler completionHandler) {
  send(internal::kCreateGroup, {&groupName}, std::move(completionHandler));
}

void TavrelloAPI::editGroupName(const std::string& groupKey, const std::string& groupName,
                                CompletionHandler completionHandler) {
  send(internal::kEditGroupName, {&groupKey, &groupName}, std::move(completionHandler));
}

void TavrelloAPI::removeGroup(const std::string& groupKey, CompletionHandler completionHandler) {
  send(internal::kRemoveGroup, {&groupKey}, std::move(completionHandler));
}

void TavrelloAPI::addGroupMember(const std::string& groupKey, const std::string& memberKey,
                                 CompletionHandler completionHandler) {
  send(internal::kAddGroupMember, {&groupKey, &memberKey}, std::move(completionHandler));
}

void TavrelloAPI::removeGroupMember(const std::string& groupKey, const std::string& memberKey,
                                    CompletionHandler completionHandler) {
  send(internal::kRemoveGroupMember, {&groupKey, &memberKey}, std::move(completionHandler));
}

}  // namespace tavrello
