// The decision service over HTTP/1.1 with keep-alive: POST /v1/screen, GET (and HEAD) /healthz,
// /readyz, /metrics and /openapi.json, the API's description. Every request gets an answer with a
// status and a JSON body that says what was wrong; a client that stalls is cut off, and none holds
// up another. What the server holds for its clients is bounded: connections (--max-connections),
// the bodies being received
// (--max-buffered) and the requests being decided (--max-inflight), each refused at once beyond
// its bound.
#ifndef TXSCREEN_HOST_SERVE_HTTP_SERVER_H_
#define TXSCREEN_HOST_SERVE_HTTP_SERVER_H_

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/http/verb.hpp>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "decision_service.h"
#include "idempotency.h"
#include "metrics.h"
#include "thread_annotations.h"

namespace txhost {

// The documented defaults of the limits below.
inline constexpr size_t kDefaultMaxBody = size_t{4} << 20;
inline constexpr size_t kDefaultMaxBuffered = size_t{64} << 20;
inline constexpr size_t kDefaultMaxConnections = 1000;

struct HttpSettings {
  // The largest body: 4 MiB takes the largest batch (10,000 transactions) of the sample's shape.
  size_t max_body = kDefaultMaxBody;
  // The longest a client may take to send a request's headers and body, or to read its answer,
  // and the longest a kept-alive connection waits for its next request.
  std::chrono::milliseconds timeout{10000};
  std::string token;  // the bearer token /v1/screen and /metrics want; empty: none
  // The bytes of the bodies being received at once, counted by their declared size before any
  // is read; a body beyond is answered 503 with Retry-After, unread.
  size_t max_buffered = kDefaultMaxBuffered;
  // Connections open at once; one more is answered 503 and closed at once.
  size_t max_connections = kDefaultMaxConnections;
};

class Connection;

inline constexpr std::chrono::milliseconds kIdleGrace{1000};

// The open connections, which a drain closes; each leaves it as it goes, even after the server.
struct ConnectionRegistry {
  txscreen::Mutex mutex;
  std::list<std::weak_ptr<Connection>> open GUARDED_BY(mutex);
  std::atomic<size_t> count{0};
  std::atomic<size_t> buffered{0};  // the bytes of the bodies being received, as declared
};

// What a request asks for, known from its headers alone.
struct Route {
  std::string_view path;
  boost::beast::http::verb method;  // GET routes answer HEAD too
  bool behind_token;
  void (*answer)(class HttpServer& server, const std::shared_ptr<Connection>& connection);
};

class HttpServer {
 public:
  HttpServer(boost::asio::io_context& io, DecisionService& service, Metrics& metrics,
             IdempotencyStore& keys, HttpSettings settings);
  ~HttpServer();

  // Listens on `address` ("HOST:PORT", "[V6]:PORT"; port 0 picks one). False and the reason.
  bool Listen(const std::string& address, std::string* error);
  // Where it listens, as HOST:PORT.
  std::string LocalAddress() const;
  void Start();
  // Stops accepting; each connection is closed after its next answer, and one that stays idle
  // after kIdleGrace, by when a load balancer has seen /readyz fail and sends it nothing more
  // (closing it sooner could cross a request already on its way). `drained` runs on an I/O
  // thread once no connection is left.
  void Drain(std::function<void()> drained);
  bool draining() const { return draining_.load(); }

  // For the connections, once a request's headers are read: the route it asks for, or null when
  // it has been answered already (no such path, a method or token refused, a body too large
  // or beyond the budget). The body is read only for a request that passed.
  const Route* Admit(const std::shared_ptr<Connection>& connection);
  const HttpSettings& settings() const { return settings_; }
  Metrics& metrics() { return metrics_; }
  DecisionService& service() { return service_; }
  IdempotencyStore& keys() { return keys_; }
  const std::shared_ptr<ConnectionRegistry>& registry() const { return registry_; }

 private:
  void Accept();
  void WaitForDrained(std::function<void()> drained);

  boost::asio::io_context& io_;
  DecisionService& service_;
  Metrics& metrics_;
  IdempotencyStore& keys_;
  HttpSettings settings_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer retry_, grace_;
  std::atomic<bool> draining_{false};
  std::shared_ptr<ConnectionRegistry> registry_ = std::make_shared<ConnectionRegistry>();
};

// Whether `given` equals `expected`, in a time that depends on neither's bytes.
bool SameSecret(const std::string& given, const std::string& expected);

// The path of a request target in origin form ("/v1/screen?x") or absolute form
// ("http://host:8080/v1/screen"), without its query.
std::string_view TargetPath(std::string_view target);

}  // namespace txhost

#endif  // TXSCREEN_HOST_SERVE_HTTP_SERVER_H_
