// TavrelloResult: the one object through which every outcome reaches the
// application, success or failure.
#pragma once

#include <tavrello/config.hpp>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <tavrello/types.hpp>

namespace tavrello {

/// A plain record of an outcome plus `description()`, which renders the reply
/// body as text. Nothing is parsed: the body is kept as raw bytes.
///
/// Values the library stores:
///   result()  "FAIL" (initial) or "ok" (a 2xx reply with a body)
///   reason()  ""            initial value, and on success
///             "key"         API key or server key never set; nothing was sent
///             "Invalid URL" the endpoint address did not parse; nothing was sent
///             "http"        the exchange failed (transport error, timeout,
///                           status outside 200-299, reply over 64 MiB), or
///                           description() met the reply "null"
///   response() the reply body of a successful exchange, else absent
///
///   auto r = std::make_shared<TavrelloResult>(true);   // flag constructor
///   assert(r->result() == "FAIL" && r->reason() == "key");
///
/// Thread safety: none of its own. The library builds a result on one thread
/// and hands it over whole; after that, do not write it (or call
/// description()) from two threads at once.
class TAVRELLO_API TavrelloResult {
 public:
  /// The stock message that description() stores for the reply "null":
  /// one map, "error" -> "No result data".
  static const std::vector<std::map<std::string, std::string>> NO_RESULT;

  /// Empty constructor: result "FAIL", type "[String:Any]", reason "",
  /// message and response absent.
  TavrelloResult();
  /// Dictionary constructor: as empty, then message = { dictionary }. No key
  /// of the map is looked at ("result" inside it does not set result()).
  explicit TavrelloResult(std::map<std::string, std::any> dictionary);
  /// Bytes constructor: as empty, then response = bytes (zero bytes are
  /// present and empty). result() stays "FAIL" until the builder writes it.
  explicit TavrelloResult(Bytes bytes);
  /// Flag constructor: as empty, then reason "key" when the flag is true.
  explicit TavrelloResult(bool missingCredential);
  /// A string literal would otherwise convert to bool and pick the flag
  /// constructor; that is always a mistake, so it does not compile.
  explicit TavrelloResult(const char*) = delete;

  virtual ~TavrelloResult();
  TavrelloResult(const TavrelloResult&) = default;
  TavrelloResult& operator=(const TavrelloResult&) = default;

  virtual const std::optional<Message>& message() const;
  virtual void setMessage(std::optional<Message> message);
  virtual const std::string& result() const;
  virtual void setResult(std::string result);
  virtual const std::string& type() const;
  virtual void setType(std::string type);
  virtual const std::string& reason() const;
  virtual void setReason(std::string reason);
  virtual const std::optional<Bytes>& response() const;
  virtual void setResponse(std::optional<Bytes> response);

  /// Failure details, beside the fields above (which they never change).
  ///
  /// httpStatus(): the HTTP status of the reply, 0 when none came (nothing
  /// sent, connection failed, ...). Set on failures and on success alike.
  ///
  /// detail(): one line of English saying what went wrong; empty on success.
  /// Never holds a key, a signature or a reply body. For example:
  ///   reason "http":        "HTTP 503 from api.example.com:443"
  ///                         "connection refused by 127.0.0.1:1"
  ///                         "host name not resolved: api.example.com"
  ///                         "no complete reply within 60 s"
  ///                         "reply larger than 64 MiB"
  ///                         "reply cut short by 127.0.0.1:8787"
  ///                         "TLS: SSL certificate problem: unable to get local
  ///                          issuer certificate (127.0.0.1:8443)"
  ///   reason "Invalid URL": "\"/\" cannot appear in a service host"
  ///   reason "key":         "no server key set"
  int httpStatus() const { return httpStatus_; }
  void setHttpStatus(int status) { httpStatus_ = status; }
  const std::string& detail() const { return detail_; }
  void setDetail(std::string detail) { detail_ = std::move(detail); }

  /// errorBody(): the service's own words on a failure. For a reply whose
  /// status is outside 2xx, the first 64 KiB of its body, as sent (the rest
  /// was read and dropped); empty for every other result. Never copied into
  /// detail() or the observer's record; result(), reason(), response() and
  /// description() are the same with or without it. For example, a 503 whose
  /// body is {"error":"maintenance"}:
  ///   reason() == "http", detail() == "HTTP 503 from api.example.com:443",
  ///   response() absent, errorBody() == the bytes {"error":"maintenance"}
  const Bytes& errorBody() const { return errorBody_; }
  void setErrorBody(Bytes body) { errorBody_ = std::move(body); }

  /// Renders the reply body as text:
  ///   - no response:            returns "Error: No response"
  ///   - not strictly UTF-8:     returns "Error: Couldn't print JSON in String"
  ///   - exactly "null":         sets message to NO_RESULT and reason to
  ///                             "http", returns "null"; prints nothing
  ///   - any other text:         writes it and a line feed to stdout and
  ///                             returns it (without the line feed)
  /// Strict UTF-8 rejects overlong forms, surrogates, code points above
  /// U+10FFFF and truncated sequences.
  virtual std::string description();

 private:
  std::optional<Message> message_;
  std::string result_ = "FAIL";
  std::string type_ = "[String:Any]";
  std::string reason_;
  std::optional<Bytes> response_;
  int httpStatus_ = 0;
  std::string detail_;
  Bytes errorBody_;
};

}  // namespace tavrello
