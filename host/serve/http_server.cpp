// The listener, the drain and the routes: which path answers what, behind which checks, all
// decided from a request's headers before its body is read.
#include "http_server.h"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>

#include "http_connection.h"
#include "json_line.h"
#include "sha256.h"

// The API's description, built in from host/serve/openapi.json.
extern const char kOpenApi[];

namespace txhost {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

bool SameSecret(const std::string& given, const std::string& expected) {
  // Every byte of the longer is looked at, whichever differs first.
  unsigned char differ = given.size() != expected.size();
  const size_t longest = std::max(given.size(), expected.size());
  for (size_t i = 0; i < longest; ++i) {
    unsigned char a = i < given.size() ? given[i] : 0, b = i < expected.size() ? expected[i] : 0;
    differ |= a ^ b;
  }
  return differ == 0;
}

std::string_view TargetPath(std::string_view target) {
  if (!target.empty() && target.front() != '/') {
    // The absolute form, which a server must accept (RFC 9112, 3.2.2): the path after the
    // authority, or "/" when it has none.
    const size_t scheme = target.find("://");
    if (scheme != std::string_view::npos) {
      const size_t path = target.find_first_of("/?", scheme + 3);
      target = path == std::string_view::npos ? "/" : target.substr(path);
      if (target.front() == '?') target = "/";
    }
  }
  return target.substr(0, target.find('?'));
}

HttpServer::HttpServer(asio::io_context& io, DecisionService& service, Metrics& metrics,
                       IdempotencyStore& keys, HttpSettings settings)
    : io_(io),
      service_(service),
      metrics_(metrics),
      keys_(keys),
      settings_(std::move(settings)),
      acceptor_(asio::make_strand(io)),
      retry_(io),
      grace_(io) {}

HttpServer::~HttpServer() = default;

bool HttpServer::Listen(const std::string& address, std::string* error) {
  const size_t colon = address.rfind(':');
  std::string host = colon == std::string::npos ? "" : address.substr(0, colon);
  const std::string port = colon == std::string::npos ? "" : address.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.empty() || port.empty() || port.find_first_not_of("0123456789") != std::string::npos ||
      port.size() > 5 || std::stoul(port) > 65535) {
    *error = "--listen " + address + ": expected HOST:PORT, such as 127.0.0.1:8080";
    return false;
  }
  beast::error_code ec;
  tcp::resolver resolver(io_);
  auto found = resolver.resolve(host, port, tcp::resolver::numeric_service, ec);
  if (ec || found.empty()) {
    *error = "--listen " + address + ": " + (ec ? ec.message() : "no such address");
    return false;
  }
  const tcp::endpoint at = found.begin()->endpoint();
  if (acceptor_.open(at.protocol(), ec) ||
      acceptor_.set_option(asio::socket_base::reuse_address(true), ec) || acceptor_.bind(at, ec) ||
      acceptor_.listen(asio::socket_base::max_listen_connections, ec)) {
    *error = "--listen " + address + ": " + ec.message();
    return false;
  }
  return true;
}

std::string HttpServer::LocalAddress() const {
  beast::error_code ec;
  tcp::endpoint at = acceptor_.local_endpoint(ec);
  const std::string host = at.address().to_string();
  return (at.address().is_v6() ? "[" + host + "]" : host) + ":" + std::to_string(at.port());
}

void HttpServer::Start() { Accept(); }

namespace {

// The answer to a connection beyond --max-connections, written at once without reading anything.
std::string TooManyConnections() {
  const std::string body = ErrorBody("too many connections (--max-connections); try again shortly");
  return "HTTP/1.1 503 Service Unavailable\r\nServer: txhost\r\nDate: " + HttpDate() +
         "\r\nContent-Type: " + kJsonType +
         "\r\nRetry-After: 1\r\nConnection: close\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

void HttpServer::Accept() {
  acceptor_.async_accept(asio::make_strand(io_), [this](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || draining()) return;
    if (ec) {
      // Out of descriptors, say: the connections already open go on, and accepting resumes soon.
      retry_.expires_after(std::chrono::milliseconds(50));
      retry_.async_wait([this](beast::error_code) { Accept(); });
      return;
    }
    if (registry_->count.load() >= settings_.max_connections) {
      metrics_.Request(503, 0);
      auto refused = std::make_shared<tcp::socket>(std::move(socket));
      auto answer = std::make_shared<std::string>(TooManyConnections());
      asio::async_write(*refused, asio::buffer(*answer),
                        [refused, answer](beast::error_code, size_t) {
                          beast::error_code ignored;
                          refused->shutdown(tcp::socket::shutdown_both, ignored);
                          refused->close(ignored);
                        });
    } else {
      std::make_shared<Connection>(std::move(socket), *this)->Start();
    }
    Accept();
  });
}

void HttpServer::Drain(std::function<void()> drained) {
  if (draining_.exchange(true)) return;
  asio::post(acceptor_.get_executor(), [this] {
    beast::error_code ignored;
    acceptor_.close(ignored);
  });
  grace_.expires_after(kIdleGrace);
  grace_.async_wait([registry = registry_](beast::error_code) {
    std::vector<std::shared_ptr<Connection>> open;
    {
      txscreen::MutexLock lock(&registry->mutex);
      for (const auto& weak : registry->open) {
        if (auto connection = weak.lock()) open.push_back(connection);
      }
    }
    for (const auto& connection : open) connection->CloseIfIdle();
  });
  WaitForDrained(std::move(drained));
}

void HttpServer::WaitForDrained(std::function<void()> drained) {
  if (registry_->count.load() == 0 && service_.inflight() == 0) return drained();
  retry_.expires_after(std::chrono::milliseconds(10));
  retry_.async_wait([this, drained = std::move(drained)](beast::error_code) mutable {
    WaitForDrained(std::move(drained));
  });
}

namespace {

// Whether the request carries the bearer token, when there is one to carry; the answer to one
// that does not has gone out when false.
bool Authorized(Connection& connection, const std::string& token) {
  if (token.empty()) return true;
  const auto& header = connection.request()[http::field::authorization];
  const std::string_view given(header.data(), header.size());
  constexpr std::string_view kScheme = "Bearer ";
  const bool bearer = given.size() >= kScheme.size() &&
                      beast::iequals(beast::string_view(given.data(), kScheme.size()),
                                     beast::string_view(kScheme.data(), kScheme.size()));
  if (bearer && SameSecret(std::string(given.substr(kScheme.size())), token)) return true;
  connection.Refuse(401, bearer ? "wrong bearer token" : "an Authorization: Bearer token is needed");
  return false;
}

void Healthy(HttpServer&, const std::shared_ptr<Connection>& connection) {
  connection->Reply(200, "{\"status\":\"ok\"}\n");
}

void Ready(HttpServer& server, const std::shared_ptr<Connection>& connection) {
  std::string reason = "draining: the server is stopping";
  if (!server.draining() && server.service().Ready(&reason)) {
    return connection->Reply(200, "{\"ready\":true}\n");
  }
  connection->Reply(503, JsonObject().Raw("ready", "false").Text("reason", reason).Close() + "\n");
}

void Metered(HttpServer& server, const std::shared_ptr<Connection>& connection) {
  DecisionService& service = server.service();
  Gauges gauges;
  gauges.sessions_open = service.sessions_open();
  gauges.inflight = service.inflight();
  gauges.list_values = service.ListValues();
  const IdempotencyStore::Totals keys = server.keys().Count();
  gauges.idempotency_keys = keys.keys;
  gauges.idempotency_bytes = keys.bytes;
  gauges.idempotency_evicted = keys.evicted;
  gauges.undelivered = service.undelivered();
  connection->Reply(200, server.metrics().Text(gauges), "text/plain; version=0.0.4");
}

void Described(HttpServer&, const std::shared_ptr<Connection>& connection) {
  connection->Reply(200, kOpenApi);
}

// The one value of a header field a request may give once at most: false when it gives it
// twice, empty when not at all.
bool OnlyValue(const Connection::HttpRequest& request, const char* name, std::string_view* value) {
  const auto [first, last] = request.equal_range(name);
  *value = {};
  if (first == last) return true;
  if (std::next(first) != last) return false;
  *value = std::string_view(first->value().data(), first->value().size());
  return true;
}

// Whether an answer is the request's for good, and so what a retry with its key gets: a decision,
// or a body that can never be decided. A 503 decided nothing, and a retry must be decided.
bool IsFinal(int status) { return status == 200 || status == 400 || status == 422; }

// A request's idempotency key and trace, from its headers; false and the answer given when the
// key is not one. A retry of a known key is answered here, from what it was answered before.
bool TakeKey(HttpServer& server, Connection& connection, Request* request) {
  std::string_view field;
  if (!OnlyValue(connection.request(), "Idempotency-Key", &field)) {
    connection.Reply(400, ErrorBody("Idempotency-Key is given more than once"));
    return false;
  }
  std::string error;
  if (field.data() != nullptr && !ParseIdempotencyKey(field, &request->idempotency_key, &error)) {
    connection.Reply(400, ErrorBody(error));
    return false;
  }
  // Trace Context: a traceparent given twice, or not one, is left alone.
  if (OnlyValue(connection.request(), "traceparent", &field)) request->trace_id = TraceIdOf(field);
  if (request->idempotency_key.empty()) return true;
  request->body_sha256 = Sha256Hex(request->body);
  IdempotencyStore::Stored stored;
  switch (server.keys().Begin(request->idempotency_key, request->body_sha256, &stored)) {
    case IdempotencyStore::Begun::kNew:
      return true;
    case IdempotencyStore::Begun::kReplay: {
      server.metrics().Replay();
      Outgoing replay;
      replay.status = stored.status;
      replay.body = stored.body + "\n";
      replay.replayed = true;
      connection.Send(std::move(replay));
      return false;
    }
    case IdempotencyStore::Begun::kInProgress:
      connection.Reply(409, ErrorBody("Idempotency-Key " + request->idempotency_key +
                                      ": the first request with this key is still being decided; "
                                      "retry once it is answered"));
      return false;
    case IdempotencyStore::Begun::kOtherBody:
      connection.Reply(422, ErrorBody("Idempotency-Key " + request->idempotency_key +
                                      " was used with another body; a retry sends the same body, "
                                      "a new transaction a new key"));
      return false;
  }
  return false;
}

// The body is read into rows by a worker, never on an I/O thread: its cost grows with its size.
void Screen(HttpServer& server, const std::shared_ptr<Connection>& connection) {
  Request request;
  request.body = std::move(connection->request().body());
  if (!TakeKey(server, *connection, &request)) return;
  const std::string key = request.idempotency_key;
  request.client_gone = connection->WatchClient();
  IdempotencyStore& keys = server.keys();
  const bool taken =
      server.service().Submit(std::move(request), [connection, &keys, key](Answer answer) {
        if (!key.empty()) {
          if (IsFinal(answer.status)) {
            keys.Finish(key, {answer.status, answer.body});
          } else {
            keys.Forget(key);
          }
        }
        Outgoing out;
        out.status = answer.status;
        out.body = std::move(answer.body) + "\n";
        out.retry_later = answer.status == 503;
        out.server_timing = std::move(answer.server_timing);
        out.delivery = std::move(answer.delivery);
        connection->Send(std::move(out));
      });
  if (!taken) {
    if (!key.empty()) keys.Forget(key);
    connection->Reply(503,
                      ErrorBody("overloaded: " + std::to_string(server.service().inflight()) +
                                " requests in flight; try again shortly"),
                      kJsonType, true);
  }
}

constexpr Route kRoutes[] = {
    {"/v1/screen", http::verb::post, true, &Screen},
    {"/healthz", http::verb::get, false, &Healthy},
    {"/readyz", http::verb::get, false, &Ready},
    {"/metrics", http::verb::get, true, &Metered},
    {"/openapi.json", http::verb::get, false, &Described},
};

}  // namespace

const Route* HttpServer::Admit(const std::shared_ptr<Connection>& connection) {
  const auto& request = connection->request();
  const std::string_view path = TargetPath({request.target().data(), request.target().size()});
  const Route* route = nullptr;
  for (const Route& candidate : kRoutes) {
    if (candidate.path == path) route = &candidate;
  }
  if (route == nullptr) {
    connection->Refuse(404, "no such path: " + std::string(path) +
                                "; POST /v1/screen decides transactions");
    return nullptr;
  }
  if (route->behind_token && !Authorized(*connection, settings_.token)) return nullptr;
  const http::verb method = request.method();
  if (method != route->method && !(method == http::verb::head && route->method == http::verb::get)) {
    const bool post = route->method == http::verb::post;
    connection->set_allow(post ? "POST" : "GET, HEAD");
    connection->Refuse(405, std::string(path) + (post ? " takes POST only" : " takes GET or HEAD"));
    return nullptr;
  }
  return route;
}

}  // namespace txhost
