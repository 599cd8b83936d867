// The record scanner and splitter: masks of the bytes that matter, 64 at a time, and a state
// machine that runs only where those bytes are.
#include "csv_split.h"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace txhost {
namespace {

constexpr std::array<bool, 256> kSpecial = [] {
  std::array<bool, 256> special{};
  for (unsigned char c : {',', '"', '\r', '\n'}) special[c] = true;
  return special;
}();

int LowestBit(uint64_t mask) { return __builtin_ctzll(mask); }

}  // namespace

uint64_t SpecialByteMaskPortable(const char* bytes) {
  uint64_t mask = 0;
  for (int i = 0; i < 64; ++i) {
    mask |= static_cast<uint64_t>(kSpecial[static_cast<unsigned char>(bytes[i])]) << i;
  }
  return mask;
}

uint64_t SpecialByteMask(const char* bytes) {
#if defined(__SSE2__)
  const __m128i comma = _mm_set1_epi8(','), quote = _mm_set1_epi8('"');
  const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n');
  uint64_t mask = 0;
  for (int i = 0; i < 4; ++i) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * i));
    __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, comma), _mm_cmpeq_epi8(v, quote)),
                                _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)));
    mask |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(hits))) << (16 * i);
  }
  return mask;
#else
  return SpecialByteMaskPortable(bytes);
#endif
}

size_t CountLineEnds(const char* bytes, size_t size) {
  size_t count = 0, at = 0;
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  // Each block also looks at the byte after it, for a CR's LF; the last block is left to the
  // loop below.
  while (size - at >= 17) {
    // Each byte lane counts up to 255 blocks before the lanes are added up.
    __m128i lanes = _mm_setzero_si128();
    const size_t blocks = std::min<size_t>((size - at - 1) / 16, 255);
    for (size_t b = 0; b < blocks; ++b, at += 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at));
      __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + at + 1));
      // A line feed, or a carriage return whose next byte is not one.
      __m128i lone_cr = _mm_andnot_si128(_mm_cmpeq_epi8(next, lf), _mm_cmpeq_epi8(v, cr));
      lanes = _mm_sub_epi8(lanes, _mm_or_si128(_mm_cmpeq_epi8(v, lf), lone_cr));
    }
    __m128i halves = _mm_sad_epu8(lanes, _mm_setzero_si128());
    count += static_cast<size_t>(_mm_cvtsi128_si32(halves)) +
             static_cast<size_t>(_mm_extract_epi16(halves, 4));
  }
#endif
  for (; at < size; ++at) {
    count += bytes[at] == '\n' || (bytes[at] == '\r' && (at + 1 == size || bytes[at + 1] != '\n'));
  }
  return count;
}

// --- Where records end ---------------------------------------------------------------------

size_t RecordEndScanner::Scan(const char* bytes, size_t size) {
  size_t last = kNone;
  for (size_t i = 0; i < size; ++i) {
    if (state_ == State::kFieldStart || state_ == State::kUnquoted) {
      // Outside quotes only line ends matter, up to the next quote.
      const void* quote = std::memchr(bytes + i, '"', size - i);
      size_t stop = quote ? static_cast<size_t>(static_cast<const char*>(quote) - bytes) : size;
      if (stop - i > 1) {
        size_t end = SkipUnquoted(bytes, i, stop - 1);
        if (end != kNone) last = end;
        i = stop - 1;
      }
    } else if (state_ == State::kQuoted) {
      // Inside quotes nothing matters but the next quote.
      const void* quote = std::memchr(bytes + i, '"', size - i);
      if (!quote) return last;
      i = static_cast<size_t>(static_cast<const char*>(quote) - bytes);
    }
    size_t end = Step(bytes[i], i);
    if (end != kNone) last = end;
  }
  return last;
}

size_t RecordEndScanner::SkipUnquoted(const char* bytes, size_t begin, size_t end) {
  size_t last = kNone;
  for (size_t k = end; k-- > begin;) {
    // A CR ends a record unless a LF follows it, which would have been met first; a CR at the
    // end waits for the byte after it.
    if (bytes[k] == '\n' || (bytes[k] == '\r' && k + 1 < end)) {
      last = k + 1;
      break;
    }
  }
  char final = bytes[end - 1];
  state_ = final == '\r'                   ? State::kCr
           : final == '\n' || final == ',' ? State::kFieldStart
                                           : State::kUnquoted;
  return last;
}

size_t RecordEndScanner::Step(char c, size_t at) {
  switch (state_) {
    case State::kCr: {
      state_ = State::kFieldStart;
      if (c == '\n') return at + 1;
      size_t end = Step(c, at);
      return end != kNone ? end : at;
    }
    case State::kQuoted:
      if (c == '"') state_ = State::kQuoteInQuoted;
      return kNone;
    case State::kQuoteInQuoted:
      if (c == '"') {
        state_ = State::kQuoted;
        return kNone;
      }
      if (c != ',' && c != '\n' && c != '\r') {
        state_ = State::kAfterQuote;  // text after a closing quote runs to a comma or a LF
        return kNone;
      }
      break;
    case State::kAfterQuote:
      if (c != ',' && c != '\n') return kNone;
      break;
    case State::kFieldStart:
      if (c == '"') {
        state_ = State::kQuoted;
        return kNone;
      }
      break;
    case State::kUnquoted:
      break;
  }
  if (c == '\n') {
    state_ = State::kFieldStart;
    return at + 1;
  }
  if (c == '\r') {
    state_ = State::kCr;
    return kNone;
  }
  state_ = c == ',' ? State::kFieldStart : State::kUnquoted;
  return kNone;
}

// --- Records and fields --------------------------------------------------------------------

uint64_t RecordSplitter::BlockMask(size_t block) const {
  if (block >= size_) return 0;
  if (block + 64 <= size_) return SpecialByteMask(text_ + block);
  char padded[64] = {};
  std::memcpy(padded, text_ + block, size_ - block);
  return SpecialByteMask(padded);
}

size_t RecordSplitter::NextSpecialInLaterBlocks(size_t from) {
  if (from >= size_) return size_;
  uint64_t mask = 0;
  if (from - block_ >= 64) {
    block_ = from & ~size_t{63};
    mask = mask_ = BlockMask(block_);
  }
  mask &= ~uint64_t{0} << (from - block_);
  while (mask == 0) {
    block_ += 64;
    if (block_ >= size_) return size_;
    mask = mask_ = BlockMask(block_);
  }
  return block_ + LowestBit(mask);
}

void RecordSplitter::QuotedField(size_t* begin, size_t* end, CsvRecord* record) {
  // Escaped quotes are dropped by moving what follows them back; `write` is where the content
  // continues, `copied` where the bytes not yet moved start.
  size_t write = *begin = at_ + 1;
  size_t copied = write;
  for (size_t at = copied;;) {
    size_t special = NextSpecial(at);
    if (special == size_) {
      std::memmove(text_ + write, text_ + copied, size_ - copied);
      *end = write + (size_ - copied);
      at_ = size_;
      if (record->error.empty()) {
        record->error = "a quoted field is not closed before the end of the file";
      }
      return;
    }
    at = special + 1;
    if (EndsALine(special)) ++line_;
    if (text_[special] != '"') continue;
    bool escaped = at < size_ && text_[at] == '"';
    size_t kept = special + (escaped ? 1 : 0) - copied;
    std::memmove(text_ + write, text_ + copied, kept);
    write += kept;
    if (!escaped) {
      *end = write;
      at_ = at;
      return;
    }
    copied = ++at;
  }
}

bool RecordSplitter::Next(CsvRecord* record) {
  record->fields.clear();
  record->error.clear();
  for (; at_ < size_ && (text_[at_] == '\n' || text_[at_] == '\r'); ++at_) {
    if (EndsALine(at_)) ++line_;  // empty lines
  }
  if (at_ == size_) return false;
  record->line = line_;
  auto fail = [record](const char* reason) {
    if (record->error.empty()) record->error = reason;
  };
  size_t bytes = 0;
  for (;;) {
    size_t begin = at_, end;
    if (at_ < size_ && text_[at_] == '"') {
      QuotedField(&begin, &end, record);
      if (at_ < size_ && text_[at_] != ',' && text_[at_] != '\n' && text_[at_] != '\r') {
        fail("text follows a closing quote");
        // The rest of the field is passed over up to a comma or LF; a lone CR in it still ends
        // a line.
        do {
          at_ = NextSpecial(at_ + 1);
          if (at_ < size_ && text_[at_] == '\r' && EndsALine(at_)) ++line_;
        } while (at_ < size_ && text_[at_] != ',' && text_[at_] != '\n');
      }
    } else {
      at_ = NextSpecial(at_);
      for (; at_ < size_ && text_[at_] == '"'; at_ = NextSpecial(at_ + 1)) {
        fail("a quote inside an unquoted field");
      }
      end = at_;
    }
    size_t kept = bytes < kMaxRecordBytes ? kMaxRecordBytes - bytes : 0;
    bytes += end - begin;
    if (bytes > kMaxRecordBytes) fail("the record is longer than 16 MiB");
    record->fields.emplace_back(text_ + begin, std::min(end - begin, kept));
    char stop = at_ < size_ ? text_[at_] : '\0';
    text_[begin + record->fields.back().size()] = '\0';  // read before: it may be `stop`
    if (at_ == size_) return true;
    ++at_;
    if (stop == ',') continue;
    if (stop == '\r' && at_ < size_ && text_[at_] == '\n') stop = text_[at_++];  // CRLF
    if (stop == '\n' || stop == '\r') ++line_;  // a lone CR ends a line, as for Python's csv
    return true;
  }
}

void SplitBatch(RowBatch* batch) {
  RecordSplitter splitter(batch->text.data() + batch->text_begin,
                          batch->text_end - batch->text_begin, batch->first_line);
  const char* text = batch->text.data() + batch->text_begin;
  bool nul = std::memchr(text, '\0', batch->text_end - batch->text_begin) != nullptr;
  batch->size = 0;
  for (;;) {
    CsvRecord& record = batch->Append();
    if (!splitter.Next(&record)) break;
    record.may_hold_nul = nul;
  }
  --batch->size;  // the record Append gave for the end
  batch->unsplit = false;
}

}  // namespace txhost
