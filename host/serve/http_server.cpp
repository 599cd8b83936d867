// One Connection per client, on a strand of its own: it reads a request's headers, then its body,
// routes it, and writes the answer, which a worker may give from another thread.
#include "http_server.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <optional>

#include "json_line.h"
#include "request_rows.h"

namespace txhost {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kMaxHeader = 16 * 1024;
constexpr char kJson[] = "application/json";

std::string ErrorBody(const std::string& message) {
  return JsonObject().Text("error", message).Close() + "\n";
}

}  // namespace

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

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket socket, HttpServer& server)
      : stream_(std::move(socket)), server_(server), registry_(server.registry()) {}
  ~Connection() {
    if (!enrolled_) return;
    txscreen::MutexLock lock(&registry_->mutex);
    registry_->open.erase(place_);
  }

  void Start() {
    {
      txscreen::MutexLock lock(&registry_->mutex);
      place_ = registry_->open.insert(registry_->open.end(), shared_from_this());
    }
    enrolled_ = true;
    asio::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->ReadHeader(); });
  }

  // On a drain: a connection waiting for its next request, with nothing of it read, goes now.
  void CloseIfIdle() {
    asio::post(stream_.get_executor(), [self = shared_from_this()] {
      if (self->idle_ && self->buffer_.size() == 0) self->stream_.cancel();
    });
  }

  const http::request<http::string_body>& request() const { return parser_->get(); }
  http::request<http::string_body>& request() { return parser_->get(); }

  // Answers the request; from any thread.
  void Reply(int status, std::string body, const char* content_type = kJson,
             bool retry_later = false) {
    asio::dispatch(stream_.get_executor(), [self = shared_from_this(), status,
                                            body = std::move(body), content_type, retry_later] {
      self->Write(status, body, content_type, retry_later);
    });
  }

 private:
  void ReadHeader() {
    parser_.emplace();
    parser_->header_limit(kMaxHeader);
    parser_->body_limit(server_.settings().max_body);
    idle_ = true;
    stream_.expires_after(server_.settings().timeout);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code ec, size_t) {
                              self->OnHeader(ec);
                            });
  }

  // A body larger than allowed is refused before it is read; a client that asked to be told
  // before it sends one is told to go on.
  void OnHeader(beast::error_code ec) {
    idle_ = false;
    if (ec) return OnReadError(ec);
    started_ = Clock::now();
    const auto& header = parser_->get();
    if (auto length = parser_->content_length();
        length && *length > server_.settings().max_body) {
      return Refuse(413, "the body of " + std::to_string(*length) + " bytes is over the limit of " +
                             std::to_string(server_.settings().max_body) + " (--max-body)");
    }
    if (beast::iequals(header[http::field::expect], "100-continue")) {
      auto go_on = std::make_shared<http::response<http::empty_body>>(http::status::continue_, 11);
      http::async_write(stream_, *go_on,
                        [self = shared_from_this(), go_on](beast::error_code ec, size_t) {
                          if (ec) return self->Close();
                          self->ReadBody();
                        });
      return;
    }
    ReadBody();
  }

  void ReadBody() {
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, size_t) {
                       if (ec) return self->OnReadError(ec);
                       self->server_.Handle(self);
                     });
  }

  void OnReadError(beast::error_code ec) {
    if (ec == http::error::body_limit) {
      return Refuse(413, "the body is over the limit of " +
                             std::to_string(server_.settings().max_body) + " bytes (--max-body)");
    }
    if (ec == http::error::header_limit) {
      return Refuse(431, "the headers are over " + std::to_string(kMaxHeader) + " bytes");
    }
    // The client went, stalled past the timeout, or was cut off by a drain: nothing to answer.
    if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
        ec == asio::error::operation_aborted || ec == asio::error::connection_reset ||
        ec == asio::error::eof || ec == http::error::partial_message) {
      return Close();
    }
    Refuse(400, "malformed HTTP request: " + ec.message());
  }

  // Answers and closes: what follows on the connection cannot be read as a request.
  void Refuse(int status, const std::string& message) {
    if (started_ == Clock::time_point()) started_ = Clock::now();
    close_after_ = true;
    Write(status, ErrorBody(message), kJson, false);
  }

  void Write(int status, const std::string& body, const char* content_type, bool retry_later) {
    response_ = {};
    response_.version(11);
    response_.result(static_cast<unsigned>(status));
    response_.set(http::field::server, "txhost");
    response_.set(http::field::content_type, content_type);
    if (retry_later) response_.set(http::field::retry_after, "1");
    if (status == 405) response_.set(http::field::allow, allow_);
    response_.body() = body;
    const bool keep = !close_after_ && !server_.draining() && parser_ && parser_->is_done() &&
                      parser_->get().keep_alive();
    response_.keep_alive(keep);
    response_.prepare_payload();
    status_ = status;
    stream_.expires_after(server_.settings().timeout);
    http::async_write(stream_, response_,
                      [self = shared_from_this(), keep](beast::error_code ec, size_t) {
                        self->server_.metrics().Request(
                            self->status_,
                            std::chrono::duration<double>(Clock::now() - self->started_).count());
                        self->started_ = {};
                        if (ec || !keep) return self->Close();
                        self->ReadHeader();
                      });
  }

  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.close();
  }

  friend class HttpServer;
  beast::tcp_stream stream_;
  HttpServer& server_;
  const std::shared_ptr<ConnectionRegistry> registry_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  http::response<http::string_body> response_;
  std::list<std::weak_ptr<Connection>>::iterator place_;
  bool enrolled_ = false;
  bool idle_ = false;
  bool close_after_ = false;
  const char* allow_ = "";
  int status_ = 0;
  Clock::time_point started_{};
};

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

void HttpServer::Handle(const std::shared_ptr<Connection>& connection) {
  auto& request = connection->request();
  std::string_view target(request.target().data(), request.target().size());
  target = target.substr(0, target.find('?'));
  const bool get = request.method() == http::verb::get;
  const bool wants_token = target == "/v1/screen" || target == "/metrics";
  if (wants_token && !settings_.token.empty()) {
    std::string_view given(request[http::field::authorization].data(),
                           request[http::field::authorization].size());
    const std::string_view scheme = "Bearer ";
    const bool bearer = given.size() >= scheme.size() && beast::iequals(beast::string_view(given.data(), 7), "Bearer ");
    if (!bearer || !SameSecret(std::string(given.substr(scheme.size())), settings_.token)) {
      return connection->Reply(401, ErrorBody(bearer ? "wrong bearer token"
                                                     : "an Authorization: Bearer token is needed"));
    }
  }
  auto wrong_method = [&](const char* allowed) {
    connection->allow_ = allowed;
    connection->Reply(405, ErrorBody(std::string(target) + " takes " + allowed + " only"));
  };
  if (target == "/healthz") {
    if (!get) return wrong_method("GET");
    return connection->Reply(200, "{\"status\":\"ok\"}\n");
  }
  if (target == "/readyz") {
    if (!get) return wrong_method("GET");
    std::string reason = "draining: the server is stopping";
    const bool ready = !draining() && service_.Ready(&reason);
    return connection->Reply(ready ? 200 : 503,
                             ready ? std::string("{\"ready\":true}\n")
                                   : JsonObject().Raw("ready", "false").Text("reason", reason).Close() +
                                         "\n");
  }
  if (target == "/metrics") {
    if (!get) return wrong_method("GET");
    return connection->Reply(200, metrics_.Text(service_.sessions_open(), service_.inflight()),
                             "text/plain; version=0.0.4");
  }
  if (target != "/v1/screen") {
    return connection->Reply(404, ErrorBody("no such path: " + std::string(target) +
                                            "; POST /v1/screen decides transactions"));
  }
  if (request.method() != http::verb::post) return wrong_method("POST");
  std::shared_ptr<const ServedRules> rules = service_.Current();
  std::string& body = request.body();
  body.reserve(body.size() + kRequestPadding);
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
    connection->Reply(answer.status, answer.body + "\n", kJson, answer.status == 503);
  });
  if (!taken) {
    connection->Reply(503,
                      ErrorBody("overloaded: " + std::to_string(service_.inflight()) +
                                " requests in flight; try again shortly"),
                      kJson, true);
  }
}

}  // namespace txhost
