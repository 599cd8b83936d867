// One client's connection, on a strand of its own: it reads a request's headers, has the server
// admit it (the route, the token, the body's size and the bodies' budget), reads its body, hands
// it to the route, and writes the answer, which a worker may give from another thread. A stalled
// client is cut off by the timeout; a drain closes an idle one. After an answer given before the
// body was read, the connection goes on reading and discarding for a while (a lingering close),
// so that the client, still sending, reads the answer rather than a reset.
#ifndef TXSCREEN_HOST_SERVE_HTTP_CONNECTION_H_
#define TXSCREEN_HOST_SERVE_HTTP_CONNECTION_H_

#include <array>
#include <atomic>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include "decision_log.h"
#include "http_server.h"

namespace txhost {

inline constexpr char kJsonType[] = "application/json";

// An answer as it goes out.
struct Outgoing {
  int status = 200;
  std::string body;
  const char* content_type = kJsonType;
  bool retry_later = false;   // Retry-After: 1
  std::string server_timing;  // the Server-Timing field, when not empty
  bool replayed = false;      // Idempotent-Replayed: true, for a retry given its first answer
  // Told whether the answer reached the client, for decisions the audit holds.
  std::shared_ptr<Delivery> delivery;
};

// A JSON body {"error": message}.
std::string ErrorBody(const std::string& message);
// The time now as an HTTP Date field gives it (RFC 9110, 5.6.7): "Wed, 09 Dec 2026 06:40:01 GMT".
std::string HttpDate();

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(boost::asio::ip::tcp::socket socket, HttpServer& server);
  ~Connection();

  void Start();
  // On a drain: a connection waiting for its next request, with nothing of it read, goes now.
  void CloseIfIdle();

  using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
  HttpRequest& request() { return parser_->get(); }
  // What the Allow header of a 405 names.
  void set_allow(const char* methods) { allow_ = methods; }
  // Answers the request; from any thread.
  void Reply(int status, std::string body, const char* content_type = kJsonType,
             bool retry_later = false);
  void Send(Outgoing answer);
  // While the request is decided: watches for the client going away (its end of the connection
  // closed), and gives the flag that says so. On the connection's strand, once the body is read.
  std::shared_ptr<const std::atomic<bool>> WatchClient();
  // Answers {"error": message} and closes, lingering: on the connection's strand only, before
  // the body is read (or in place of reading it).
  void Refuse(int status, const std::string& message, bool retry_later = false);

 private:
  using Clock = std::chrono::steady_clock;

  void ReadHeader();
  void OnHeader(boost::beast::error_code ec);
  // Whether the request's framing can be served; answered and false when not.
  bool FramingServed();
  // Whether the body's declared size fits --max-body and the bodies' budget; answered and
  // false when not.
  bool BodyFits();
  void ReadBody(const Route* route);
  void OnReadError(boost::beast::error_code ec);
  void Watch();
  void Write(Outgoing answer);
  void Written(boost::beast::error_code ec, bool keep);
  bool Reserve(size_t declared);
  void ReleaseBudget();
  void Linger();
  void Discard(Clock::time_point until, size_t left);
  void Close();

  boost::beast::tcp_stream stream_;
  HttpServer& server_;
  const std::shared_ptr<ConnectionRegistry> registry_;
  boost::beast::flat_buffer buffer_;
  std::optional<boost::beast::http::request_parser<boost::beast::http::string_body>> parser_;
  boost::beast::http::response<boost::beast::http::string_body> response_;
  std::shared_ptr<Delivery> delivery_;              // of the answer being written
  std::shared_ptr<std::atomic<bool>> client_gone_;  // of the request being decided
  bool watching_ = false;
  std::list<std::weak_ptr<Connection>>::iterator place_;
  bool enrolled_ = false;
  bool idle_ = false;
  bool close_after_ = false;
  bool linger_ = false;
  size_t budget_held_ = 0;  // of the bodies' budget, for this request's body
  const char* allow_ = "";
  int status_ = 0;
  Clock::time_point started_{};
  std::array<char, 16384> discarded_{};
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_SERVE_HTTP_CONNECTION_H_
