// One client's connection: framing, admission, the body, the answer and the lingering close.
#include "http_connection.h"

#include <sys/socket.h>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <ctime>

#include "json_line.h"

namespace txhost {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr size_t kMaxHeader = 16 * 1024;
constexpr size_t kUncountedBody = 64 * 1024;
// A lingering close reads for at most this long and this much, and waits at most kLingerRead for
// each read, as nginx's lingering_time and lingering_timeout bound it.
constexpr auto kLingerTime = std::chrono::seconds(5);
constexpr auto kLingerRead = std::chrono::seconds(2);
constexpr size_t kLingerBytes = size_t{8} << 20;

}  // namespace

std::string ErrorBody(const std::string& message) {
  return JsonObject().Text("error", message).Close() + "\n";
}

std::string HttpDate() {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t now = std::time(nullptr);
  std::tm utc;
  gmtime_r(&now, &utc);
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday],
                utc.tm_mday, kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                utc.tm_sec);
  return text;
}

Connection::Connection(tcp::socket socket, HttpServer& server)
    : stream_(std::move(socket)), server_(server), registry_(server.registry()) {}

Connection::~Connection() {
  ReleaseBudget();
  if (!enrolled_) return;
  txscreen::MutexLock lock(&registry_->mutex);
  registry_->open.erase(place_);
  --registry_->count;
}

void Connection::Start() {
  {
    txscreen::MutexLock lock(&registry_->mutex);
    place_ = registry_->open.insert(registry_->open.end(), shared_from_this());
    ++registry_->count;
  }
  enrolled_ = true;
  asio::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->ReadHeader(); });
}

void Connection::CloseIfIdle() {
  asio::post(stream_.get_executor(), [self = shared_from_this()] {
    if (self->idle_ && self->buffer_.size() == 0) self->stream_.cancel();
  });
}

void Connection::Reply(int status, std::string body, const char* content_type, bool retry_later) {
  Outgoing answer;
  answer.status = status;
  answer.body = std::move(body);
  answer.content_type = content_type;
  answer.retry_later = retry_later;
  Send(std::move(answer));
}

void Connection::Send(Outgoing answer) {
  asio::dispatch(stream_.get_executor(),
                 [self = shared_from_this(), answer = std::move(answer)]() mutable {
                   self->Write(std::move(answer));
                 });
}

std::shared_ptr<const std::atomic<bool>> Connection::WatchClient() {
  client_gone_ = std::make_shared<std::atomic<bool>>(false);
  watching_ = true;
  Watch();
  return client_gone_;
}

// A client that closes its end while its request waits is told by the socket turning readable
// with nothing to read. Bytes there are its next request: it is still there, and they are left
// for the parser.
void Connection::Watch() {
  stream_.socket().async_wait(tcp::socket::wait_read, [self = shared_from_this(),
                                                       gone = client_gone_](beast::error_code ec) {
    if (ec || !self->watching_ || self->client_gone_ != gone) return;
    char byte;
    const ssize_t n =
        ::recv(self->stream_.socket().native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      return self->Watch();
    }
    self->watching_ = false;
    if (n <= 0) gone->store(true);
  });
}

void Connection::ReadHeader() {
  parser_.emplace();
  client_gone_.reset();
  parser_->header_limit(kMaxHeader);
  parser_->body_limit(server_.settings().max_body);
  idle_ = true;
  stream_.expires_after(server_.settings().timeout);
  http::async_read_header(stream_, buffer_, *parser_,
                          [self = shared_from_this()](beast::error_code ec, size_t) {
                            self->OnHeader(ec);
                          });
}

// Everything that can be said from the headers is said before the body is read: a client that
// asked to be told before sending its body (100-continue) hears go on only when the request
// would be taken.
void Connection::OnHeader(beast::error_code ec) {
  idle_ = false;
  if (ec) return OnReadError(ec);
  started_ = Clock::now();
  if (!FramingServed()) return;
  const Route* route = server_.Admit(shared_from_this());
  if (route == nullptr || !BodyFits()) return;
  const auto& header = parser_->get();
  if (header.version() >= 11 && beast::iequals(header[http::field::expect], "100-continue")) {
    auto go_on = std::make_shared<http::response<http::empty_body>>(http::status::continue_, 11);
    http::async_write(stream_, *go_on,
                      [self = shared_from_this(), go_on, route](beast::error_code ec, size_t) {
                        if (ec) return self->Close();
                        self->ReadBody(route);
                      });
    return;
  }
  ReadBody(route);
}

bool Connection::FramingServed() {
  const auto& header = parser_->get();
  // RFC 9112, 3.2: a request must name its host once (HTTP/1.0 may leave it out).
  const size_t hosts = header.count(http::field::host);
  if (hosts > 1 || (hosts == 0 && header.version() >= 11)) {
    Refuse(400, hosts > 1 ? "the Host header is given more than once"
                          : "an HTTP/1.1 request must carry a Host header");
    return false;
  }
  if (header.count(http::field::transfer_encoding) == 0) return true;
  // RFC 9112, 6.1: HTTP/1.0 has no transfer codings, so its framing cannot be trusted.
  if (header.version() < 11) {
    Refuse(400, "HTTP/1.0 has no Transfer-Encoding; send the body with a Content-Length");
    return false;
  }
  for (const auto& field : header) {
    if (field.name() != http::field::transfer_encoding) continue;
    std::string_view codings(field.value().data(), field.value().size());
    for (size_t at = 0; at <= codings.size();) {
      size_t comma = std::min(codings.find(',', at), codings.size());
      std::string_view coding = codings.substr(at, comma - at);
      while (!coding.empty() && (coding.front() == ' ' || coding.front() == '\t')) coding.remove_prefix(1);
      while (!coding.empty() && (coding.back() == ' ' || coding.back() == '\t')) coding.remove_suffix(1);
      if (!beast::iequals(beast::string_view(coding.data(), coding.size()), "chunked")) {
        Refuse(501, "the transfer coding \"" + std::string(coding) +
                        "\" is not supported; send the body as it is, or chunked");
        return false;
      }
      at = comma + 1;
    }
  }
  return true;
}

bool Connection::BodyFits() {
  const size_t max_body = server_.settings().max_body;
  const auto length = parser_->content_length();
  if (length && *length > max_body) {
    Refuse(413, "the body of " + std::to_string(*length) + " bytes is over the limit of " +
                    std::to_string(max_body) + " (--max-body)");
    return false;
  }
  // A chunked body has no size to declare: it is counted at the most it may grow to. A body of
  // one transaction or a few is not counted, so that decisions go on beside large bodies that
  // fill the budget; --max-connections bounds what those take.
  const size_t declared = length ? static_cast<size_t>(*length)
                                 : parser_->chunked() ? max_body : 0;
  if (declared <= kUncountedBody) return Reserve(declared);
  const size_t budget = server_.settings().max_buffered;
  size_t held = registry_->buffered.load();
  do {
    if (held + declared > budget) {
      Refuse(503, "the bodies being received are at the limit of " + std::to_string(budget) +
                      " bytes (--max-buffered); try again shortly", true);
      return false;
    }
  } while (!registry_->buffered.compare_exchange_weak(held, held + declared));
  budget_held_ = declared;
  return Reserve(declared);
}

// Room for the whole body at once, counted already: the reads then take it in large pieces, not
// a few hundred bytes per system call.
bool Connection::Reserve(size_t declared) {
  buffer_.reserve(buffer_.size() + declared);
  return true;
}

void Connection::ReleaseBudget() {
  if (budget_held_ == 0) return;
  registry_->buffered -= budget_held_;
  budget_held_ = 0;
}

void Connection::ReadBody(const Route* route) {
  http::async_read(stream_, buffer_, *parser_,
                   [self = shared_from_this(), route](beast::error_code ec, size_t) {
                     if (ec) return self->OnReadError(ec);
                     // A connection keeps no large body's room while it waits for the next.
                     if (self->buffer_.capacity() > (64u << 10)) self->buffer_.shrink_to_fit();
                     route->answer(self->server_, self);
                   });
}

void Connection::OnReadError(beast::error_code ec) {
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

void Connection::Refuse(int status, const std::string& message, bool retry_later) {
  if (started_ == Clock::time_point()) started_ = Clock::now();
  close_after_ = true;
  linger_ = true;
  Outgoing answer;
  answer.status = status;
  answer.body = ErrorBody(message);
  answer.retry_later = retry_later;
  Write(std::move(answer));
}

void Connection::Write(Outgoing answer) {
  const int status = answer.status;
  if (watching_) {
    watching_ = false;
    beast::error_code ignored;
    stream_.socket().cancel(ignored);
  }
  if (client_gone_ && client_gone_->load()) {
    // Nobody reads the answer: a decision in it is recorded as not delivered.
    if (answer.delivery) answer.delivery->Undelivered("the client went away before its answer");
    server_.metrics().Request(kClientGone,
                              std::chrono::duration<double>(Clock::now() - started_).count());
    return Close();
  }
  delivery_ = std::move(answer.delivery);
  const bool head = parser_ && parser_->is_header_done() &&
                    parser_->get().method() == http::verb::head;
  response_ = {};
  response_.version(11);
  response_.result(static_cast<unsigned>(status));
  response_.set(http::field::server, "txhost");
  response_.set(http::field::date, HttpDate());
  response_.set(http::field::content_type, answer.content_type);
  if (answer.retry_later) response_.set(http::field::retry_after, "1");
  if (!answer.server_timing.empty()) response_.set("Server-Timing", answer.server_timing);
  if (answer.replayed) response_.set("Idempotent-Replayed", "true");
  if (status == 405) response_.set(http::field::allow, allow_);
  if (status == 401) response_.set(http::field::www_authenticate, "Bearer");
  response_.body() = std::move(answer.body);
  const bool keep = !close_after_ && !server_.draining() && parser_ && parser_->is_done() &&
                    parser_->get().keep_alive();
  response_.keep_alive(keep);
  // An HTTP/1.0 client keeps a connection only when told so.
  if (keep && parser_->get().version() < 11) response_.set(http::field::connection, "keep-alive");
  response_.prepare_payload();
  status_ = status;
  stream_.expires_after(server_.settings().timeout);
  if (head) {
    // The GET answer's headers, its length included, and no body (RFC 9110, 9.3.2).
    auto serializer = std::make_shared<http::response_serializer<http::string_body>>(response_);
    http::async_write_header(stream_, *serializer,
                             [self = shared_from_this(), serializer, keep](beast::error_code ec,
                                                                          size_t) {
                               self->Written(ec, keep);
                             });
    return;
  }
  http::async_write(stream_, response_,
                    [self = shared_from_this(), keep](beast::error_code ec, size_t) {
                      self->Written(ec, keep);
                    });
}

void Connection::Written(beast::error_code ec, bool keep) {
  server_.metrics().Request(status_,
                            std::chrono::duration<double>(Clock::now() - started_).count());
  started_ = {};
  ReleaseBudget();
  if (delivery_) {
    if (ec) {
      delivery_->Undelivered("the answer could not be written: " + ec.message());
    } else {
      delivery_->Delivered();
    }
    delivery_.reset();
  }
  if (ec) return Close();
  if (keep) return ReadHeader();
  if (linger_) return Linger();
  Close();
}

// RFC 9112, 9.6: closing with unread bytes on the socket resets the connection, and a client
// still sending its body may then lose the answer before it reads it.
void Connection::Linger() {
  beast::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  buffer_.consume(buffer_.size());
  Discard(Clock::now() + kLingerTime, kLingerBytes);
}

void Connection::Discard(Clock::time_point until, size_t left) {
  const auto now = Clock::now();
  if (now >= until || left == 0) return Close();
  stream_.expires_after(std::min<Clock::duration>(kLingerRead, until - now));
  stream_.async_read_some(asio::buffer(discarded_),
                          [self = shared_from_this(), until, left](beast::error_code ec, size_t n) {
                            if (ec) return self->Close();
                            self->Discard(until, left > n ? left - n : 0);
                          });
}

void Connection::Close() {
  ReleaseBudget();
  beast::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  stream_.close();
}

}  // namespace txhost
