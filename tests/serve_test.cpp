// The decision server's parts in this process, where the sanitizers watch them: request bodies
// read into rows, the digest an audit names, the token comparison, and the service and HTTP
// server under clients on several threads while the rule set is reloaded.
#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "decision_service.h"
#include "dynamic_library.h"
#include "http_server.h"
#include "idempotency.h"
#include "json_line.h"
#include "metrics.h"
#include "ocisim.h"
#include "request_rows.h"
#include "sha256.h"
#include "stand_in.h"
#include "temp_files.h"

namespace {

using Strings = std::vector<std::string>;
namespace http = boost::beast::http;

const Strings kHeader = {"id", "amount", "date"};

// Each record's fields, or "!" and its problem when it has one.
std::vector<Strings> Fields(const txhost::RequestRows& rows) {
  std::vector<Strings> out;
  for (size_t r = 0; r < rows.records.size(); ++r) {
    if (!rows.problems[r].empty()) {
      out.push_back({"!" + rows.problems[r]});
      continue;
    }
    Strings fields;
    for (std::string_view field : rows.records[r].fields) {
      EXPECT_EQ(field.data()[field.size()], '\0') << "a rule is handed each field as a C string";
      fields.emplace_back(field);
    }
    out.push_back(fields);
  }
  return out;
}

txhost::RequestError Read(std::string body, txhost::RequestRows* rows, std::string* error) {
  txhost::PadForReading(&body);
  return txhost::ReadRequestRows(body, kHeader, kHeader.size(), rows, error);
}

TEST(RequestRowsTest, ReadsEachBodyAsTheRowsAFileWouldHold) {
  const std::string nul("a\"b\0c", 5);
  struct Case {
    std::string body;
    bool batch;
    std::vector<Strings> rows;
  } cases[] = {
      // A number is its text as written, which a CSV field holding the same would be.
      {R"({"id": "T1", "amount": 90.00, "date": "2026-12-06"})", false,
       {{"T1", "90.00", "2026-12-06"}}},
      {R"({"date":"d","amount":-1.5e+2 ,"id":7,"extra":{"x":[1,2]}})", false, {{"7", "-1.5e+2", "d"}}},
      {R"({"id": "a\"b\u0000c", "am\u006funt": "1", "date": ""})", false, {{nul, "1", ""}}},
      {R"({"id": "T1", "amount": "1", "amount": "2", "date": "d"})", false,
       {{"!column amount is given twice"}}},
      {R"({"id": "T1", "amount": true, "date": "d"})", false,
       {{"!column amount: expected a string or a number, found a boolean"}}},
      {R"({"id": "T1", "amount": [1], "date": null})", false,
       {{"!column amount: expected a string or a number, found an array"}}},
      {R"({"id": "T1", "date": "d"})", false, {{"!missing column amount"}}},
      {R"([{"id": "A", "amount": 1, "date": "d"}, {"id": "B"}, {"id":"C","amount":"2","date":"e"}])",
       true,
       {{"A", "1", "d"}, {"!missing column amount"}, {"C", "2", "e"}}},
      // A number of any size is its text: the column's reader judges its range, as in a file.
      {R"({"id": "T1", "amount": 1e400, "date": "d", "other": -1E-400})", false,
       {{"T1", "1e400", "d"}}},
      {R"({"id": )" + std::string(400, '9') + R"(, "amount": 0, "date": "d"})", false,
       {{std::string(400, '9'), "0", "d"}}},
      // Half of a surrogate pair is valid JSON but no text: the transaction cannot be screened,
      // though a key no check reads may hold one.
      {R"({"id": "T1", "amount": "\ud800", "date": "d"})", false,
       {{"!" + txhost::LoneSurrogateProblem("amount")}}},
      {R"({"id": "T1", "amount": "x\udc00", "date": "d", "note": "\ud83d"})", false,
       {{"!" + txhost::LoneSurrogateProblem("amount")}}},
      {R"({"id": "\ud83d\ude00", "amount": "\\ud800", "date": "d", "note": "\ud83d"})", false,
       {{"\xf0\x9f\x98\x80", "\\ud800", "d"}}},
      // Nesting up to the limit in a key no check reads.
      {R"({"id": "T1", "amount": 1, "date": "d", "x": )" + std::string(txhost::kMaxDepth - 1, '[') +
           std::string(txhost::kMaxDepth - 1, ']') + "}",
       false, {{"T1", "1", "d"}}},
  };
  for (const Case& c : cases) {
    txhost::RequestRows rows;
    std::string error;
    ASSERT_EQ(Read(c.body, &rows, &error), txhost::RequestError::kNone) << c.body << ": " << error;
    EXPECT_EQ(rows.batch, c.batch) << c.body;
    EXPECT_EQ(Fields(rows), c.rows) << c.body;
  }
}

TEST(RequestRowsTest, TellsWhatIsNotJsonFromJsonOfAnotherShape) {
  std::string too_many = "[";
  for (size_t i = 0; i <= txhost::kMaxBatch; ++i) too_many += i > 0 ? ",{}" : "{}";
  too_many += "]";
  using txhost::RequestError;
  struct Case {
    std::string body;
    RequestError error;
    std::string says;
  } cases[] = {
      {R"({"id": )", RequestError::kMalformed, "malformed JSON"},
      {R"({"id": "T1"} {"id": "T2"})", RequestError::kMalformed, "malformed JSON"},
      {R"({"id": "T1", "amount": tru})", RequestError::kMalformed, "malformed JSON"},
      {"{\"id\": \"\xff\"}", RequestError::kMalformed, "malformed JSON"},
      {"", RequestError::kMalformed, "malformed JSON"},
      {"5", RequestError::kUnprocessable, "expected a JSON object"},
      {"5 6", RequestError::kMalformed, "malformed JSON"},
      {"nul", RequestError::kMalformed, "malformed JSON"},
      {R"([{"id": "T1", "other": nulx}])", RequestError::kMalformed, "malformed JSON"},
      {R"({"id": "T1", "other": {"deep": [1, tru]}})", RequestError::kMalformed, "malformed JSON"},
      {R"([{"id": "T1"}] x)", RequestError::kMalformed, "malformed JSON"},
      {R"("T1")", RequestError::kUnprocessable, "expected a JSON object"},
      {"[{}, 5]", RequestError::kUnprocessable, "item 2 of the batch is not a JSON object"},
      {"[]", RequestError::kUnprocessable, "an empty batch"},
      {too_many, RequestError::kUnprocessable, "a batch holds at most 10000 transactions"},
      {R"({"id": 1.})", RequestError::kMalformed, "malformed JSON"},
      {R"({"id": 01})", RequestError::kMalformed, "malformed JSON"},
      {R"({"x": -})", RequestError::kMalformed, "malformed JSON"},
      {R"({"x": 1e})", RequestError::kMalformed, "malformed JSON"},
      {R"({"id": "\uZZZZ"})", RequestError::kMalformed, "malformed JSON"},
      // One level past the limit, in an object or a batch, and far past it: each level of a
      // value no check reads is a level of the reader's stack.
      {R"({"x": )" + std::string(txhost::kMaxDepth, '[') + std::string(txhost::kMaxDepth, ']') + "}",
       RequestError::kMalformed, "deeper than 32 levels"},
      {R"([{"x": )" + std::string(txhost::kMaxDepth - 1, '[') +
           std::string(txhost::kMaxDepth - 1, ']') + "}]",
       RequestError::kMalformed, "deeper than 32 levels"},
      {R"({"id": "T1", "amount": )" + std::string(txhost::kMaxDepth, '[') +
           std::string(txhost::kMaxDepth, ']') + "}",
       RequestError::kMalformed, "deeper than 32 levels"},
      {"{\"x\": " + std::string(150000, '[') + std::string(150000, ']') + "}",
       RequestError::kMalformed, "deeper than 32 levels"},
  };
  for (const Case& c : cases) {
    txhost::RequestRows rows;
    std::string error;
    EXPECT_EQ(Read(c.body, &rows, &error), c.error) << c.body.substr(0, 40);
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
}

TEST(ServeSecretsTest, DigestsAsTheStandardSaysAndComparesTokensWhole) {
  struct Digest {
    std::string text, hex;
  } digests[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      // 56 bytes: the length no longer fits the block, so the padding takes a second.
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  // The processor's SHA instructions, where it has them, and plain C++ give the same.
  for (const Digest& d : digests) {
    for (auto way : {txhost::Sha256Way::kFastest, txhost::Sha256Way::kPortable}) {
      EXPECT_EQ(txhost::Sha256Hex(d.text, way), d.hex) << d.text.size();
    }
  }

  EXPECT_TRUE(txhost::SameSecret("s3cret", "s3cret"));
  for (const std::string& wrong :
       Strings{"", "s3cre", "s3cret ", "S3cret", "s3creu", std::string(6, '\0')}) {
    EXPECT_FALSE(txhost::SameSecret(wrong, "s3cret")) << wrong;
  }
  EXPECT_EQ(txhost::PrometheusLabel("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
}

TEST(RequestFieldsTest, ReadsIdempotencyKeysAndTraceparentsAsTheirStandardsSay) {
  struct Key {
    std::string field;
    std::string key;  // empty: refused
  } keys[] = {
      {"8e03978e-40d5-43e8-bc93-6894a57f9324", "8e03978e-40d5-43e8-bc93-6894a57f9324"},
      {R"("quoted key")", "quoted key"},
      {R"("a \"b\" \\ c")", R"(a "b" \ c)"},
      {std::string(255, 'k'), std::string(255, 'k')},
      {std::string(256, 'k'), ""},
      {""
       " + std::string(256, 'k') + "
       "",
       ""},
      {"", ""},
      {R"("")", ""},
      {"two words", ""},
      {"cafÃ©", ""},
      {R"("open)", ""},
      {R"("k";x=1)", ""},
      {R"("\n")", ""},
  };
  for (const Key& k : keys) {
    std::string key, error;
    EXPECT_EQ(txhost::ParseIdempotencyKey(k.field, &key, &error), !k.key.empty()) << k.field;
    if (k.key.empty()) {
      EXPECT_NE(error.find("Idempotency-Key"), std::string::npos) << error;
    } else {
      EXPECT_EQ(key, k.key);
    }
  }

  const std::string trace = "4bf92f3577b34da6a3ce929d0e0e4736", parent = "00f067aa0ba902b7";
  struct Trace {
    std::string field, id;  // id empty: ignored
  } traces[] = {
      {"00-" + trace + "-" + parent + "-01", trace},
      {"00-" + trace + "-" + parent + "-00", trace},
      // A later version may add fields, after a dash.
      {"01-" + trace + "-" + parent + "-01-what-comes", trace},
      {"01-" + trace + "-" + parent + "-01", trace},
      {"00-" + trace + "-" + parent + "-01-extra", ""},
      {"01-" + trace + "-" + parent + "-01x", ""},
      {"ff-" + trace + "-" + parent + "-01", ""},
      {"00-" + std::string(32, '0') + "-" + parent + "-01", ""},
      {"00-" + trace + "-" + std::string(16, '0') + "-01", ""},
      {"00-4BF92F3577B34DA6A3CE929D0E0E4736-" + parent + "-01", ""},
      {"00-" + trace + "-" + parent, ""},
      {"00_" + trace + "-" + parent + "-01", ""},
      {"", ""},
  };
  for (const Trace& t : traces) EXPECT_EQ(txhost::TraceIdOf(t.field), t.id) << t.field;
}

TEST(IdempotencyStoreTest, KeepsFinalAnswersWithinTheWindowAndTheBoundsOldestFirst) {
  using Begun = txhost::IdempotencyStore::Begun;
  using Clock = txhost::IdempotencyStore::Clock;
  txhost::IdempotencyStore store({std::chrono::seconds(60), 3, size_t{1} << 20});
  const Clock::time_point start = Clock::now();
  txhost::IdempotencyStore::Stored stored;
  EXPECT_EQ(store.Begin("a", "body1", &stored, start), Begun::kNew);
  EXPECT_EQ(store.Begin("a", "body1", &stored, start), Begun::kInProgress);
  EXPECT_EQ(store.Begin("a", "body2", &stored, start), Begun::kOtherBody);
  store.Finish("a", {200, R"({"id":"T1"})"});
  EXPECT_EQ(store.Begin("a", "body1", &stored, start), Begun::kReplay);
  EXPECT_EQ(stored.status, 200);
  EXPECT_EQ(stored.body, R"({"id":"T1"})");
  EXPECT_EQ(store.Begin("a", "body2", &stored, start), Begun::kOtherBody);
  // An answer that decided nothing lets its key go.
  EXPECT_EQ(store.Begin("b", "body", &stored, start), Begun::kNew);
  store.Forget("b");
  EXPECT_EQ(store.Begin("b", "body", &stored, start), Begun::kNew);
  store.Finish("b", {422, R"({"error":"x"})"});
  // Forgetting a final answer changes nothing.
  store.Forget("b");
  EXPECT_EQ(store.Begin("b", "body", &stored, start), Begun::kReplay);
  EXPECT_EQ(store.keys(), 2u);
  // Two more keys pass the bound of three: the oldest, a, goes.
  EXPECT_EQ(store.Begin("c", "body", &stored, start), Begun::kNew);
  EXPECT_EQ(store.Begin("d", "body", &stored, start), Begun::kNew);
  EXPECT_EQ(store.keys(), 3u);
  EXPECT_EQ(store.evicted(), 1u);
  EXPECT_EQ(store.Begin("a", "body2", &stored, start), Begun::kNew);
  // Past the window every key is gone, and with them the bytes they took.
  const size_t bytes = store.bytes();
  EXPECT_GT(bytes, 3 * sizeof(std::string));
  EXPECT_EQ(store.Begin("e", "body", &stored, start + std::chrono::seconds(61)), Begun::kNew);
  EXPECT_EQ(store.keys(), 1u);
  EXPECT_LT(store.bytes(), bytes / 2);
  EXPECT_EQ(store.evicted(), 2u);  // c for a; nothing for the window

  // The bytes bound: answers too large to keep many of.
  txhost::IdempotencyStore small({std::chrono::seconds(60), 1000, 10000});
  for (int k = 0; k < 20; ++k) {
    const std::string key = "k" + std::to_string(k);
    ASSERT_EQ(small.Begin(key, "b", &stored, start), Begun::kNew);
    small.Finish(key, {200, std::string(3000, 'x')});
  }
  EXPECT_LE(small.bytes(), 10000u);
  EXPECT_EQ(small.keys(), 3u);
  EXPECT_EQ(small.Begin("k19", "b", &stored, start), Begun::kReplay);
  EXPECT_EQ(small.Begin("k0", "b", &stored, start), Begun::kNew);
}

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(DecisionLogTest, SaysOnceOfEachAnswerThatDidNotArriveWhy) {
  const std::string path = testing_support::FreshDirectory("decision_log") + "/audit.jsonl";
  std::string error;
  auto audit = txhost::LineLog::Open(path, &error);
  ASSERT_TRUE(audit) << error;
  txhost::DecisionLog log(audit.get(), nullptr);
  {
    auto arrived = std::make_shared<txhost::Delivery>(&log, Strings{"A1", "A2"});
    auto failed = std::make_shared<txhost::Delivery>(&log, Strings{"B"});
    auto on_its_way = std::make_shared<txhost::Delivery>(&log, Strings{"C"});
    auto forgotten = std::make_unique<txhost::Delivery>(&log, Strings{"D"});
    arrived->Delivered();
    EXPECT_TRUE(failed->Undelivered("the answer could not be written: Broken pipe"));
    EXPECT_FALSE(failed->Undelivered("told twice"));
    forgotten.reset();  // its connection went without a word
    EXPECT_EQ(log.UndeliverAll("the server stopped before the answer was written"), 1u);
    EXPECT_EQ(log.UndeliverAll("again"), 0u);
  }
  std::vector<std::string> ids_and_reasons;
  for (const std::string& line : Lines(path)) {
    const size_t id = line.find("\"id\":\"") + 6, reason = line.find("\"undelivered\":\"") + 15;
    ids_and_reasons.push_back(line.substr(id, line.find('"', id) - id) + ": " +
                              line.substr(reason, line.find('"', reason) - reason));
  }
  EXPECT_EQ(ids_and_reasons, (Strings{"B: the answer could not be written: Broken pipe",
                                      "D: the connection closed before the answer was written",
                                      "C: the server stopped before the answer was written"}));
  EXPECT_EQ(log.undelivered(), 3u);
}

// A client on a kept-alive connection of its own.
class Client {
 public:
  explicit Client(unsigned short port) : socket_(io_) {
    socket_.connect({boost::asio::ip::make_address("127.0.0.1"), port});
  }
  std::pair<int, std::string> Post(const std::string& body) {
    http::request<http::string_body> request(http::verb::post, "/v1/screen", 11);
    request.set(http::field::host, "127.0.0.1");
    request.body() = body;
    request.prepare_payload();
    http::write(socket_, request);
    http::response<http::string_body> response;
    http::read(socket_, buffer_, response);
    return {response.result_int(), response.body()};
  }

 private:
  boost::asio::io_context io_;
  boost::asio::ip::tcp::socket socket_;
  boost::beast::flat_buffer buffer_;
};

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The user u/p, and an account A whose average is 100.
    testing_support::ScopedStandIn::DefineDatabase("db");
    ocisim_add_history("db", "A", 100);
    dir_ = testing_support::FreshDirectory("serve_test");
  }
  std::string Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
    return dir_ + "/" + name;
  }

  testing_support::ScopedStandIn stand_in_;
  std::string dir_;
};

TEST_F(ServiceTest, AnswersClientsOnSeveralThreadsWhileTheRuleSetIsReloaded) {
  const std::string rules = Write("rules.conf",
                                  "big txscreen SHARPINCREASE amount 10 400 score 50\n"
                                  "avg txscreen TESTCONN amount account score 10\n"
                                  "outcome approve\noutcome review from 40\n");
  txhost::Metrics metrics;
  std::unique_ptr<txhost::LineLog> audit;
  std::string error;
  audit = txhost::LineLog::Open(dir_ + "/audit.jsonl", &error);
  ASSERT_TRUE(audit) << error;
  txhost::ServiceSettings settings;
  settings.rules = rules;
  settings.library_directory = txhost::DynamicLibrary::ProgramDirectory();
  settings.workers = 2;
  settings.login = txhost::ConnectString{"u", "p", "db", true};
  txhost::DecisionLog log(audit.get(), nullptr);
  settings.log = &log;
  settings.metrics = &metrics;
  auto service = txhost::DecisionService::Start(settings, &error);
  ASSERT_TRUE(service) << error;
  EXPECT_EQ(service->sessions_open(), 2u);

  boost::asio::io_context io;
  txhost::IdempotencyStore keys({});
  txhost::HttpServer server(io, *service, metrics, keys, {});
  ASSERT_TRUE(server.Listen("127.0.0.1:0", &error)) << error;
  server.Start();
  std::vector<std::thread> io_threads;
  for (int t = 0; t < 2; ++t) io_threads.emplace_back([&] { io.run(); });
  const auto port = static_cast<unsigned short>(
      std::stoi(server.LocalAddress().substr(server.LocalAddress().rfind(':') + 1)));

  constexpr int kClients = 4, kRequests = 150;
  std::vector<std::future<int>> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.push_back(std::async(std::launch::async, [port, c] {
      Client client(port);
      int answered = 0;
      for (int r = 0; r < kRequests; ++r) {
        const std::string amount = r % 2 ? "900" : "20";
        auto [status, body] = client.Post("{\"id\":\"" + std::to_string(c) + "-" +
                                          std::to_string(r) + "\",\"amount\":" + amount +
                                          ",\"account\":\"A\"}");
        const bool big = r % 2 == 1;
        answered += status == 200 &&
                    body.find(big ? "\"outcome\":\"review\"" : "\"outcome\":\"approve\"") !=
                        std::string::npos;
      }
      return answered;
    }));
  }
  for (int reload = 0; reload < 5; ++reload) {
    std::string message;
    EXPECT_TRUE(service->Reload(&message)) << message;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  int answered = 0;
  for (auto& client : clients) answered += client.get();
  EXPECT_EQ(answered, kClients * kRequests);

  std::promise<void> drained;
  server.Drain([&] { drained.set_value(); });
  EXPECT_EQ(drained.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  io.stop();
  for (std::thread& thread : io_threads) thread.join();
  EXPECT_TRUE(service->Stop(&error)) << error;
  std::ifstream lines(dir_ + "/audit.jsonl");
  int audited = 0;
  for (std::string line; std::getline(lines, line);) audited += line.find("\"rules_sha256\"") != std::string::npos;
  EXPECT_EQ(audited, kClients * kRequests);
}

}  // namespace
