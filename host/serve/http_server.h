// The decision service over HTTP/1.1 with keep-alive: POST /v1/screen, GET /healthz, /readyz
// and /metrics. Every request gets an answer with a status and a JSON body that says what was
// wrong; a client that stalls is cut off, and none holds up another.
#ifndef TXSCREEN_HOST_SERVE_HTTP_SERVER_H_
#define TXSCREEN_HOST_SERVE_HTTP_SERVER_H_

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "decision_service.h"
#include "metrics.h"
#include "thread_annotations.h"

namespace txhost {

struct HttpSettings {
  size_t max_body = 1 << 20;
  // The longest a client may take to send a request's headers and body, or to read its answer,
  // and the longest a kept-alive connection waits for its next request.
  std::chrono::milliseconds timeout{10000};
  std::string token;  // the bearer token /v1/screen and /metrics want; empty: none
};

class Connection;

inline constexpr std::chrono::milliseconds kIdleGrace{1000};

// The open connections, which a drain closes; each leaves it as it goes, even after the server.
struct ConnectionRegistry {
  txscreen::Mutex mutex;
  std::list<std::weak_ptr<Connection>> open GUARDED_BY(mutex);
};

class HttpServer {
 public:
  HttpServer(boost::asio::io_context& io, DecisionService& service, Metrics& metrics,
             HttpSettings settings);
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

  // For the connections: answers a request that was read whole.
  void Handle(const std::shared_ptr<Connection>& connection);
  const HttpSettings& settings() const { return settings_; }
  Metrics& metrics() { return metrics_; }
  const std::shared_ptr<ConnectionRegistry>& registry() const { return registry_; }

 private:
  // The routes.
  void Screen(const std::shared_ptr<Connection>& connection);
  void Healthy(const std::shared_ptr<Connection>& connection);
  void Ready(const std::shared_ptr<Connection>& connection);
  void Metered(const std::shared_ptr<Connection>& connection);
  void Accept();
  void WaitForDrained(std::function<void()> drained);

  boost::asio::io_context& io_;
  DecisionService& service_;
  Metrics& metrics_;
  HttpSettings settings_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer retry_, grace_;
  std::atomic<bool> draining_{false};
  std::shared_ptr<ConnectionRegistry> registry_ = std::make_shared<ConnectionRegistry>();
};

// Whether `given` equals `expected`, in a time that depends on neither's bytes.
bool SameSecret(const std::string& given, const std::string& expected);

}  // namespace txhost

#endif  // TXSCREEN_HOST_SERVE_HTTP_SERVER_H_
