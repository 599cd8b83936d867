// The listener, the drain and the routes: which path answers what, behind which checks.
#include "http_server.h"

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include "http_connection.h"
#include "json_line.h"
#include "request_rows.h"

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

HttpServer::HttpServer(asio::io_context& io, DecisionService& service, Metrics& metrics,
                       HttpSettings settings)
    : io_(io),
      service_(service),
      metrics_(metrics),
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

void HttpServer::Accept() {
  acceptor_.async_accept(asio::make_strand(io_), [this](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || draining()) return;
    if (ec) {
      // Out of descriptors, say: the connections already open go on, and accepting resumes soon.
      retry_.expires_after(std::chrono::milliseconds(50));
      retry_.async_wait([this](beast::error_code) { Accept(); });
      return;
    }
    std::make_shared<Connection>(std::move(socket), *this)->Start();
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
  bool empty;
  {
    txscreen::MutexLock lock(&registry_->mutex);
    empty = registry_->open.empty();
  }
  if (empty && service_.inflight() == 0) return drained();
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
  connection.Reply(401, ErrorBody(bearer ? "wrong bearer token"
                                         : "an Authorization: Bearer token is needed"));
  return false;
}

}  // namespace

void HttpServer::Handle(const std::shared_ptr<Connection>& connection) {
  auto& request = connection->request();
  std::string_view target(request.target().data(), request.target().size());
  target = target.substr(0, target.find('?'));
  const http::verb method = request.method();
  struct Route {
    std::string_view path;
    http::verb method;
    bool behind_token;
    void (HttpServer::*answer)(const std::shared_ptr<Connection>&);
  };
  static constexpr Route kRoutes[] = {
      {"/v1/screen", http::verb::post, true, &HttpServer::Screen},
      {"/healthz", http::verb::get, false, &HttpServer::Healthy},
      {"/readyz", http::verb::get, false, &HttpServer::Ready},
      {"/metrics", http::verb::get, true, &HttpServer::Metered},
  };
  for (const Route& route : kRoutes) {
    if (route.path != target) continue;
    if (route.behind_token && !Authorized(*connection, settings_.token)) return;
    if (method != route.method) {
      const char* allowed = route.method == http::verb::post ? "POST" : "GET";
      connection->set_allow(allowed);
      return connection->Reply(405, ErrorBody(std::string(target) + " takes " + allowed + " only"));
    }
    return (this->*route.answer)(connection);
  }
  connection->Reply(404, ErrorBody("no such path: " + std::string(target) +
                                   "; POST /v1/screen decides transactions"));
}

void HttpServer::Healthy(const std::shared_ptr<Connection>& connection) {
  connection->Reply(200, "{\"status\":\"ok\"}\n");
}

void HttpServer::Ready(const std::shared_ptr<Connection>& connection) {
  std::string reason = "draining: the server is stopping";
  if (!draining() && service_.Ready(&reason)) return connection->Reply(200, "{\"ready\":true}\n");
  connection->Reply(503, JsonObject().Raw("ready", "false").Text("reason", reason).Close() + "\n");
}

void HttpServer::Metered(const std::shared_ptr<Connection>& connection) {
  connection->Reply(200, metrics_.Text(service_.sessions_open(), service_.inflight()),
                    "text/plain; version=0.0.4");
}

// The rows are read here, on the I/O thread, so that a malformed request never takes a worker.
void HttpServer::Screen(const std::shared_ptr<Connection>& connection) {
  std::shared_ptr<const ServedRules> rules = service_.Current();
  std::string& body = connection->request().body();
  PadForReading(&body);
  RequestRows rows;
  std::string error;
  switch (ReadRequestRows(body, rules->plan->header, &rows, &error)) {
    case RequestError::kMalformed:
      return connection->Reply(400, ErrorBody(error));
    case RequestError::kUnprocessable:
      return connection->Reply(422, ErrorBody(error));
    case RequestError::kNone:
      break;
  }
  if (!rows.batch && !rows.problems[0].empty()) {
    return connection->Reply(422, ErrorBody(rows.problems[0]));
  }
  const bool taken = service_.Submit(rules, std::move(rows), [connection](Answer answer) {
    connection->Reply(answer.status, answer.body + "\n", kJsonType, answer.status == 503);
  });
  if (!taken) {
    connection->Reply(503,
                      ErrorBody("overloaded: " + std::to_string(service_.inflight()) +
                                " requests in flight; try again shortly"),
                      kJsonType, true);
  }
}

}  // namespace txhost
