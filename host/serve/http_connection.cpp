#include "http_connection.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>

#include "json_line.h"

namespace txhost {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr size_t kMaxHeader = 16 * 1024;

}  // namespace

std::string ErrorBody(const std::string& message) {
  return JsonObject().Text("error", message).Close() + "\n";
}

Connection::Connection(tcp::socket socket, HttpServer& server)
    : stream_(std::move(socket)), server_(server), registry_(server.registry()) {}

Connection::~Connection() {
  if (!enrolled_) return;
  txscreen::MutexLock lock(&registry_->mutex);
  registry_->open.erase(place_);
}

void Connection::Start() {
  {
    txscreen::MutexLock lock(&registry_->mutex);
    place_ = registry_->open.insert(registry_->open.end(), shared_from_this());
  }
  enrolled_ = true;
  asio::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->ReadHeader(); });
}

// On a drain: a connection waiting for its next request, with nothing of it read, goes now.
void Connection::CloseIfIdle() {
  asio::post(stream_.get_executor(), [self = shared_from_this()] {
    if (self->idle_ && self->buffer_.size() == 0) self->stream_.cancel();
  });
}

// Answers the request; from any thread.
void Connection::Reply(int status, std::string body, const char* content_type, bool retry_later) {
  asio::dispatch(stream_.get_executor(), [self = shared_from_this(), status,
                                          body = std::move(body), content_type, retry_later] {
    self->Write(status, body, content_type, retry_later);
  });
}

void Connection::ReadHeader() {
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
void Connection::OnHeader(beast::error_code ec) {
  idle_ = false;
  if (ec) return OnReadError(ec);
  started_ = Clock::now();
  const auto& header = parser_->get();
  if (auto length = parser_->content_length();
      length && *length > server_.settings().max_body) {
    return Refuse(413, "the body of " + std::to_string(*length) + " bytes is over the limit of " +
                           std::to_string(server_.settings().max_body) + " (--max-body)");
  }
  // Room for the whole body at once: the reads then take it in large pieces, not a few hundred
  // bytes per system call.
  if (auto length = parser_->content_length()) buffer_.reserve(buffer_.size() + *length);
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

void Connection::ReadBody() {
  http::async_read(stream_, buffer_, *parser_,
                   [self = shared_from_this()](beast::error_code ec, size_t) {
                     if (ec) return self->OnReadError(ec);
                     // A connection keeps no large body's room while it waits for the next.
                     if (self->buffer_.capacity() > (64u << 10)) self->buffer_.shrink_to_fit();
                     self->server_.Handle(self);
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

// Answers and closes: what follows on the connection cannot be read as a request.
void Connection::Refuse(int status, const std::string& message) {
  if (started_ == Clock::time_point()) started_ = Clock::now();
  close_after_ = true;
  Write(status, ErrorBody(message), kJsonType, false);
}

void Connection::Write(int status, const std::string& body, const char* content_type, bool retry_later) {
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

void Connection::Close() {
  beast::error_code ignored;
  stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
  stream_.close();
}

}  // namespace txhost
