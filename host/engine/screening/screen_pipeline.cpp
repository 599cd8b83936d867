// The reader, the worker pool and the in-order writer of a screening run.
#include "screen_pipeline.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "csv_split.h"
#include "thread_annotations.h"

namespace txhost {

// Rows read together and their results. Chunks are used again once written, so that their
// buffers keep their capacity from chunk to chunk.
struct Chunk {
  size_t sequence = 0;
  RowBatch rows;
  std::vector<RowResult> results;
};

// What the three kinds of thread share, under one lock: the chunks waiting for a worker, those
// done and waiting for their turn, and how many are in flight.
class Exchange {
 public:
  explicit Exchange(size_t capacity) : capacity_(capacity) {}

  // Reader: waits for room, asking `keep_going` now and then while it waits (without the lock);
  // false once the run is stopping, or when `keep_going` said to stop.
  bool Deal(std::unique_ptr<Chunk> chunk, const std::function<bool()>& keep_going)
      EXCLUDES(mutex_) {
    for (;;) {
      {
        txscreen::MutexLock lock(&mutex_);
        bool waited_long = false;
        while (in_flight_ >= capacity_ && !stopping_ && !waited_long) {
          waited_long = room_.wait_for(mutex_, kPatience) == std::cv_status::timeout;
        }
        if (stopping_) return false;
        if (in_flight_ < capacity_) {
          ++in_flight_;
          ++dealt_;
          waiting_.push_back(std::move(chunk));
          work_.notify_one();
          return true;
        }
      }
      if (!keep_going()) return false;
    }
  }
  void FinishReading() EXCLUDES(mutex_) {
    txscreen::MutexLock lock(&mutex_);
    reading_done_ = true;
    work_.notify_all();
    done_.notify_all();
  }

  // Worker: the next chunk to screen, or null when there is none left.
  std::unique_ptr<Chunk> Take() EXCLUDES(mutex_) {
    txscreen::MutexLock lock(&mutex_);
    while (waiting_.empty() && !reading_done_ && !stopping_) work_.wait(mutex_);
    if (waiting_.empty() || stopping_) return nullptr;
    auto chunk = std::move(waiting_.front());
    waiting_.pop_front();
    return chunk;
  }
  void Done(std::unique_ptr<Chunk> chunk) EXCLUDES(mutex_) {
    txscreen::MutexLock lock(&mutex_);
    finished_[chunk->sequence] = std::move(chunk);
    done_.notify_one();
  }

  // Writer: the next chunk in input order, or null at the end of the run.
  std::unique_ptr<Chunk> Next() EXCLUDES(mutex_) {
    txscreen::MutexLock lock(&mutex_);
    while (!finished_.count(next_) && !(reading_done_ && next_ == dealt_) && !stopping_) {
      done_.wait(mutex_);
    }
    auto it = finished_.find(next_);
    if (it == finished_.end() || stopping_) return nullptr;
    auto chunk = std::move(it->second);
    finished_.erase(it);
    ++next_;
    --in_flight_;
    room_.notify_one();
    return chunk;
  }
  // Writer: gives a written chunk back to the reader.
  void Recycle(std::unique_ptr<Chunk> chunk) EXCLUDES(mutex_) {
    txscreen::MutexLock lock(&mutex_);
    spare_.push_back(std::move(chunk));
  }
  // Reader: a chunk to fill.
  std::unique_ptr<Chunk> Blank() EXCLUDES(mutex_) {
    txscreen::MutexLock lock(&mutex_);
    if (spare_.empty()) return std::make_unique<Chunk>();
    auto chunk = std::move(spare_.back());
    spare_.pop_back();
    return chunk;
  }

  // The writer has handed on every row, or the run stopped; waits at most `patience`.
  bool WaitForTheEnd(std::chrono::milliseconds patience) EXCLUDES(mutex_) {
    txscreen::MutexLock lock(&mutex_);
    if (!ended_ && !stopping_) ended_changed_.wait_for(mutex_, patience);
    return ended_ || stopping_;
  }
  void End() EXCLUDES(mutex_) {
    txscreen::MutexLock lock(&mutex_);
    ended_ = true;
    ended_changed_.notify_all();
  }
  // For a worker between two rows: a stopping run leaves the rest of its chunk.
  bool stopping() const { return stop_seen_.load(std::memory_order_relaxed); }

  // How long a wait goes before the reader asks whether to go on: a run asked to stop while
  // rows wait on a slow server stops within about this.
  static constexpr std::chrono::milliseconds kPatience{100};

  void Stop() EXCLUDES(mutex_) {
    txscreen::MutexLock lock(&mutex_);
    stopping_ = true;
    stop_seen_ = true;
    ended_changed_.notify_all();
    room_.notify_all();
    work_.notify_all();
    done_.notify_all();
  }

 private:
  const size_t capacity_;
  txscreen::Mutex mutex_;
  std::condition_variable_any room_, work_, done_, ended_changed_;
  std::deque<std::unique_ptr<Chunk>> waiting_ GUARDED_BY(mutex_);
  std::map<size_t, std::unique_ptr<Chunk>> finished_ GUARDED_BY(mutex_);
  std::vector<std::unique_ptr<Chunk>> spare_ GUARDED_BY(mutex_);
  size_t in_flight_ GUARDED_BY(mutex_) = 0;
  size_t dealt_ GUARDED_BY(mutex_) = 0;
  size_t next_ GUARDED_BY(mutex_) = 0;
  bool reading_done_ GUARDED_BY(mutex_) = false;
  bool stopping_ GUARDED_BY(mutex_) = false;
  bool ended_ GUARDED_BY(mutex_) = false;
  std::atomic<bool> stop_seen_{false};  // stopping_, for workers to read without the lock
};

namespace {

// The first exception any thread of the run met.
class FirstFailure {
 public:
  void Keep(std::exception_ptr failure) EXCLUDES(mutex_) {
    txscreen::MutexLock lock(&mutex_);
    if (!failure_) failure_ = std::move(failure);
  }
  void Rethrow() EXCLUDES(mutex_) {
    txscreen::MutexLock lock(&mutex_);
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  txscreen::Mutex mutex_;
  std::exception_ptr failure_ GUARDED_BY(mutex_);
};

}  // namespace

void ScreenPipeline::Screen(Exchange& exchange, const OciHandles& handles) const {
  RowScreener screener(checks_, header_, layout_, parse_only_, explain_, deciders_);
  while (auto chunk = exchange.Take()) {
    RowBatch& rows = chunk->rows;
    if (rows.unsplit) SplitBatch(&rows);
    if (chunk->results.size() < rows.size) chunk->results.resize(rows.size);
    for (size_t i = 0; i < rows.size && !exchange.stopping(); ++i) {
      screener.Screen(rows.records[i], handles, &chunk->results[i]);
    }
    exchange.Done(std::move(chunk));
  }
}

namespace {

// The writer: hands each row on in input order, counting what it delivered; a refused delivery
// stops the run.
void WriteInOrder(Exchange& exchange, const ScreenPipeline::Deliver& deliver,
                  const std::function<void()>& delivered, std::atomic<bool>* delivered_all,
                  std::atomic<size_t>* delivered_rows) {
  while (auto chunk = exchange.Next()) {
    for (size_t i = 0; i < chunk->rows.size; ++i) {
      if (!deliver(chunk->rows.records[i], chunk->results[i])) {
        *delivered_all = false;
        exchange.Stop();
        return;
      }
    }
    *delivered_rows += chunk->rows.size;
    delivered();
    exchange.Recycle(std::move(chunk));
  }
  exchange.End();
}

// The reader: deals `source` out in chunks until it ends or `keep_going` says to stop.
void ReadAndDeal(RowSource& source, Exchange& exchange, const std::function<bool()>& keep_going) {
  for (size_t sequence = 0;; ++sequence) {
    auto chunk = exchange.Blank();
    chunk->sequence = sequence;
    bool more = source.Read(&chunk->rows);
    if (more && !exchange.Deal(std::move(chunk), keep_going)) return;
    if (!keep_going() || !more) return;
  }
}

}  // namespace

bool ScreenPipeline::Run(RowSource& source, Deliver deliver,
                         const std::function<bool(size_t)>& progress,
                         const std::function<void()>& delivered) {
  Exchange exchange(4 * workers_.size() + 4);
  // An exception on a thread of the pool stops the run and is thrown again from here, once
  // every thread has ended.
  FirstFailure failure;
  auto guarded = [&](auto body) {
    return [&, body] {
      try {
        body();
      } catch (...) {
        failure.Keep(std::current_exception());
        exchange.Stop();
      }
    };
  };
  std::vector<std::thread> workers;
  for (const OciHandles& handles : workers_) {
    workers.emplace_back(guarded([&, handles] { Screen(exchange, handles); }));
  }
  std::atomic<bool> delivered_all{true};
  std::atomic<size_t> delivered_rows{0};
  std::thread writer(guarded(
      [&] { WriteInOrder(exchange, deliver, delivered, &delivered_all, &delivered_rows); }));
  const std::function<bool()> keep_going = [&] {
    if (progress(delivered_rows)) return true;
    delivered_all = false;
    exchange.Stop();
    return false;
  };
  guarded([&] { ReadAndDeal(source, exchange, keep_going); })();
  exchange.FinishReading();
  // The last chunks may wait on the server for long: the caller is still asked now and then.
  while (!exchange.WaitForTheEnd(Exchange::kPatience) && keep_going()) {
  }
  for (std::thread& worker : workers) worker.join();
  writer.join();
  failure.Rethrow();
  return delivered_all;
}

}  // namespace txhost
