// The block reader: bytes read a block at a time, scanned for record ends as they come, and
// handed out in batches of whole records.
#include "csv.h"

#include <algorithm>
#include <cstring>

namespace txhost {
namespace {

size_t FieldBytes(const OwnedRecord& owned) {
  size_t bytes = 0;
  for (const std::string& field : owned.fields) bytes += field.size() + 1;  // and its NUL
  return bytes;
}

// Copies the fields of `owned` to `text`, which has room for them, each followed by a NUL, and
// points `record` at the copies. Gives where the copies end.
char* CopyRecord(const OwnedRecord& owned, char* text, CsvRecord* record) {
  record->line = owned.line;
  record->error = owned.error;
  record->fields.clear();
  for (const std::string& field : owned.fields) {
    std::memcpy(text, field.data(), field.size());
    record->fields.emplace_back(text, field.size());
    text += field.size();
    *text++ = '\0';
  }
  return text;
}

}  // namespace

CsvReader::CsvReader(std::istream& in, CsvReadSizes sizes)
    : CsvReader(
          [&in](char* buffer, size_t size) -> std::ptrdiff_t {
            in.read(buffer, static_cast<std::streamsize>(size));
            return in.bad() ? -1 : static_cast<std::ptrdiff_t>(in.gcount());
          },
          sizes) {}

CsvReader::CsvReader(Source source, CsvReadSizes sizes)
    : source_(std::move(source)), sizes_(sizes) {}

void CsvReader::Reserve(size_t bytes) {
  // One byte to spare past the bytes held, where the last field's NUL goes when the input ends
  // without a line end.
  if (buffer_.size() < bytes + 1) buffer_.resize(bytes + 1);
}

void CsvReader::Fill() {
  if (position_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + position_, pending());
    end_ -= position_;
    scanned_ -= position_;
    if (record_end_ != RecordEndScanner::kNone) record_end_ -= std::min(record_end_, position_);
    position_ = 0;
  }
  Reserve(end_ + sizes_.block);
  std::ptrdiff_t got = source_(buffer_.data() + end_, sizes_.block);
  if (got <= 0) {
    at_end_ = true;
    failed_ = got < 0;
    return;
  }
  paused_ = static_cast<size_t>(got) < sizes_.block;
  end_ += static_cast<size_t>(got);
  if (started_) Scan();
}

void CsvReader::Scan() {
  size_t record_end = scanner_.Scan(buffer_.data() + scanned_, end_ - scanned_);
  if (record_end != RecordEndScanner::kNone) record_end_ = scanned_ + record_end;
  scanned_ = end_;
}

void CsvReader::Start() {
  while (!at_end_ && pending() < 3) Fill();
  if (pending() >= 3 && std::memcmp(buffer_.data() + position_, kByteOrderMark, 3) == 0) {
    position_ += 3;
    handed_out_ += 3;
  }
  started_ = true;
  scanned_ = position_;
  Scan();
}

bool CsvReader::HasRecordEnd() const {
  return record_end_ != RecordEndScanner::kNone && record_end_ > position_;
}

void CsvReader::FillToRecordEnd(bool whole_block) {
  if (!started_) Start();
  while (!at_end_ && !fallback_) {
    if (HasRecordEnd() && (!whole_block || paused_ || pending() >= sizes_.block)) return;
    if (!HasRecordEnd() && pending() > sizes_.longest_pending) return StartFallback();
    Fill();
  }
}

void CsvReader::StartFallback() {
  // The byte reader takes over where the unfinished record starts, with its bytes given first.
  auto held =
      std::make_shared<std::vector<char>>(buffer_.begin() + position_, buffer_.begin() + end_);
  size_t given = 0;
  fallback_ = std::make_unique<ByteCsvReader>(
      [this, held, given](char* buffer, size_t size) mutable -> std::ptrdiff_t {
        if (given == held->size()) return source_(buffer, size);
        size_t count = std::min(size, held->size() - given);
        std::memcpy(buffer, held->data() + given, count);
        given += count;
        return static_cast<std::ptrdiff_t>(count);
      },
      line_, false);
  std::vector<char>().swap(buffer_);
  position_ = end_ = scanned_ = 0;
}

bool CsvReader::Next(CsvRecord* record) {
  for (;;) {
    FillToRecordEnd(false);
    if (fallback_) {
      OwnedRecord owned;
      if (!fallback_->Next(&owned)) return false;
      record_text_.resize(FieldBytes(owned));
      CopyRecord(owned, record_text_.data(), record);
      return true;
    }
    size_t stop = at_end_ ? end_ : record_end_;
    RecordSplitter splitter(buffer_.data() + position_, stop - position_, line_);
    bool found = splitter.Next(record);
    position_ += splitter.position();
    handed_out_ += splitter.position();
    line_ = splitter.line();
    if (found) return true;
    if (at_end_ && position_ == end_) return false;
  }
}

bool CsvReader::Read(RowBatch* batch) {
  batch->Clear();
  FillToRecordEnd(true);
  if (fallback_) return ReadRecordsSlowly(batch);
  size_t cut = at_end_ ? end_ : record_end_;
  if (cut == position_) return false;
  const size_t last_end = record_end_;
  if (spread_ && cut - position_ > sizes_.block) {
    // Only a block's worth of the records at hand: a scanner of its own finds where the last
    // record within the block ends, from the record start the batch begins at, or within twice
    // as much when no record ends in the block, and so on.
    for (size_t window = sizes_.block; window < cut - position_; window *= 2) {
      RecordEndScanner within;
      size_t end = within.Scan(buffer_.data() + position_, window);
      if (end == RecordEndScanner::kNone) continue;
      cut = position_ + end;
      break;
    }
  }
  batch->unsplit = true;
  batch->first_line = line_;
  line_ += CountLineEnds(buffer_.data() + position_, cut - position_);
  handed_out_ += cut - position_;
  // The batch takes the buffer whole; what follows the cut goes on in the batch's old one.
  batch->text.swap(buffer_);
  batch->text_begin = position_;
  batch->text_end = cut;
  size_t tail = end_ - cut;
  Reserve(tail + sizes_.block);
  std::memcpy(buffer_.data(), batch->text.data() + cut, tail);
  position_ = 0;
  end_ = scanned_ = tail;
  // A batch cut short leaves the record ends after it found.
  record_end_ = last_end != RecordEndScanner::kNone && last_end > cut ? last_end - cut
                                                                      : RecordEndScanner::kNone;
  return true;
}

void CsvReader::SpreadOver(size_t workers, uint64_t total_bytes) {
  constexpr uint64_t kSmallest = 64, kUnknown = 4096;
  const uint64_t share =
      total_bytes > 0 ? total_bytes / (std::max<size_t>(workers, 1) * kBatchesPerWorker) : kUnknown;
  sizes_.block = static_cast<size_t>(
      std::clamp<uint64_t>(share, std::min<uint64_t>(kSmallest, sizes_.block), sizes_.block));
  spread_ = true;
}

bool CsvReader::ReadRecordsSlowly(RowBatch* batch) {
  std::vector<OwnedRecord> records;
  size_t bytes = 0;
  OwnedRecord owned;
  while (records.size() < kRecordsPerBatch && bytes < sizes_.block && fallback_->Next(&owned)) {
    bytes += FieldBytes(owned);
    records.push_back(std::move(owned));
    if (!fallback_->HasBufferedInput()) break;  // deal what is here before waiting for more
  }
  batch->text.resize(std::max<size_t>(bytes, 1));
  char* text = batch->text.data();
  for (const OwnedRecord& record : records) text = CopyRecord(record, text, &batch->Append());
  return batch->size > 0;
}

uint64_t CsvReader::bytes_read() const {
  return handed_out_ + (fallback_ ? fallback_->bytes_read() : 0);
}

void AppendCsvField(std::string_view text, std::string* out) {
  // A leading byte-order mark is quoted too: unquoted at the start of a file it would be read as
  // the file's mark and dropped.
  bool starts_like_mark = text.substr(0, 3) == kByteOrderMark;
  auto plain = [](char c) { return c != ',' && c != '"' && c != '\r' && c != '\n'; };
  if (!starts_like_mark && std::all_of(text.begin(), text.end(), plain)) {
    out->append(text);
    return;
  }
  out->push_back('"');
  for (char c : text) {
    if (c == '"') out->push_back('"');
    out->push_back(c);
  }
  out->push_back('"');
}

std::string CsvField(std::string_view text) {
  std::string field;
  AppendCsvField(text, &field);
  return field;
}

}  // namespace txhost
