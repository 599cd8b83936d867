// The rows of a run through a pool of workers that lives for the whole run, each screening on a
// session of its own, with the results handed on in input order as soon as they and every row
// before them are done.
//
// Three kinds of thread: the caller reads the input and deals it out in chunks; the workers
// split their chunks into rows (a CSV source hands out bytes cut where records end) and screen
// them; a writer hands each row's result on, in input order. At most a fixed number of chunks
// are in flight, so memory stays bounded whatever the input's size. A source gives what it has
// at hand, so that a slow producer on a pipe never holds back rows that are ready.
#ifndef TXSCREEN_HOST_ENGINE_SCREENING_SCREEN_PIPELINE_H_
#define TXSCREEN_HOST_ENGINE_SCREENING_SCREEN_PIPELINE_H_

#include <functional>
#include <vector>

#include "row_screener.h"
#include "row_source.h"
#include "rule_set.h"

namespace txhost {

class Exchange;

class ScreenPipeline {
 public:
  // Called on the writer thread with each row, in input order. False stops the run: no more rows
  // are read, and Run gives false.
  using Deliver = std::function<bool(const CsvRecord&, const RowResult&)>;

  // One worker per triple in `workers`, each screening on the session that triple names.
  ScreenPipeline(const std::vector<Check>& checks, const std::vector<std::string>& header,
                 RowLayout layout, bool parse_only, bool explain, RowDeciders deciders,
                 std::vector<OciHandles> workers)
      : checks_(checks),
        header_(header),
        layout_(layout),
        parse_only_(parse_only),
        explain_(explain),
        deciders_(deciders),
        workers_(std::move(workers)) {}

  // Reads `source` to its end. `progress` is called on this thread with the rows delivered so
  // far after each chunk is dealt; false from it stops the run at once, rows in flight undelivered.
  // `delivered` is called on the writer thread after each chunk's rows were delivered. False
  // when a delivery or the progress stopped the run.
  bool Run(RowSource& source, Deliver deliver, const std::function<bool(size_t)>& progress,
           const std::function<void()>& delivered);

 private:
  // A worker: splits and screens the chunks it takes until there are none left.
  void Screen(Exchange& exchange, const OciHandles& handles) const;

  const std::vector<Check>& checks_;
  const std::vector<std::string>& header_;
  RowLayout layout_;
  bool parse_only_;
  bool explain_;
  RowDeciders deciders_;
  std::vector<OciHandles> workers_;
};

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_SCREENING_SCREEN_PIPELINE_H_
