// A whole corpus of TextGrid files as a stream of Arrow record batches
// (arrow_batch.h), read a batch ahead on a thread of its own and the worker
// pool while the consumer works on the current batch.
//
// No file ever ends the stream: a file that cannot be read, fails strict
// validation, or is malformed beyond reading gives a failure record with
// the message the single-file readers would report, and no rows. Only a
// failure of the reader itself (out of memory) or the consumer's interrupt
// ends it early, through the stream's error channel.
//
// Nothing here touches Python; the one way back to the caller's world is
// the interrupt hook, which the consumer's thread calls.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "textgrid/corpus/arrow_batch.h"
#include "textgrid/corpus/arrow_c.h"
#include "textgrid/base/result.h"
#include "textgrid/layout/read.h"
#include "textgrid/text/text_decode.h"
#include "textgrid/model/textgrid.h"

namespace textgrid {

struct CorpusFile {
    std::string path;     // handed to the operating system as it is
    std::string display;  // UTF-8: what the file column and the messages show
};

struct CorpusOptions {
    bool strict = false;
    // A layout of read_from_file, or none for the "praat" layout
    // (read_praat_file), the stream's default.
    std::optional<Layout> layout;
    Encoding encoding = Encoding::praat;
    // Files per batch; 0 picks consecutive files until they passed
    // kAutoBatchBytes of text (counted as they are read, so overshooting by
    // at most the files in flight on the pool), at most kAutoBatchFiles.
    std::size_t batch_files = 0;
    std::size_t max_label_bytes = kMaxBatchLabelBytes;
    RowLevel rows = RowLevel::items;  // what one row of the stream stands for
};

inline constexpr std::uint64_t kAutoBatchBytes = std::uint64_t{16} << 20;
inline constexpr std::size_t kAutoBatchFiles = 4096;

struct ReadFailure {
    std::uint32_t file_id = 0;
    std::string message;
};

// Called now and then on the consumer's thread while it waits in next();
// returns the reason for stopping when the consumer was interrupted, else
// nothing. Must not throw.
using InterruptHook = std::function<std::optional<std::string>()>;

// The regular files below directory `dir`, recursively, whose names end in
// ".TextGrid" in any letter case, sorted by path (byte order). Symbolic
// links are followed to files, not into directories. Returns an os error for
// a directory that cannot be listed. May throw std::bad_alloc.
Result<std::vector<std::string>> find_textgrid_files(const std::string& dir);

// True when path names a directory (following symbolic links).
bool is_directory(const std::string& path) noexcept;

class CorpusReader {
public:
    CorpusReader(std::vector<CorpusFile> files, CorpusOptions options);
    // Stops reading ahead and waits for the reading thread to end.
    ~CorpusReader();
    CorpusReader(const CorpusReader&) = delete;
    CorpusReader& operator=(const CorpusReader&) = delete;

    // The next batch into *out (out->release null at the end of the
    // stream): 0, or an errno value with the reason in *error. After an
    // error every later call fails the same way. Serialised calls only, from
    // any thread. The first call starts the reading thread. Never throws.
    int next(ArrowArray* out, const InterruptHook& interrupted, std::string* error) noexcept;

    std::size_t files_total() const noexcept { return files_.size(); }
    RowLevel rows() const noexcept { return options_.rows; }
    // Files whose rows and failures were handed out.
    std::size_t files_done() const noexcept { return files_done_.load(std::memory_order_acquire); }
    const CorpusFile& file(std::uint32_t file_id) const noexcept { return files_[file_id]; }

    // The failures of the files handed out so far, from position `from` of
    // the failure list on, in file order. May throw std::bad_alloc.
    std::vector<ReadFailure> failures_since(std::size_t from) const;

private:
    // One read run of consecutive files: its batches and failures.
    struct Run {
        std::deque<ArrowBatch> batches;
        std::vector<ReadFailure> failures;
        std::size_t files_end = 0;
    };

    void produce() noexcept;
    // true with out read, or false with the file's failure message;
    // text_bytes is what the file held.
    bool read_file(const CorpusFile& file, TextGrid& out, std::string& failure, std::size_t& text_bytes) const;
    // How far a run goes: to file `end` at most, and only while its files
    // held less than byte_limit bytes of text.
    struct RunExtent {
        std::size_t end;
        std::uint64_t byte_limit;
    };
    RunExtent run_extent(std::size_t begin) const noexcept;
    // Reads file id on this thread, straight into the batch, or adds its
    // failure; adds the text it held to bytes.
    void read_here(std::size_t id, ArrowBatchBuilder& builder, Run& run, std::uint64_t& bytes) const;
    // The rest of a run from file `first` on, bytes of text having been read
    // already: here one file after the other, or spread over the pool.
    // false when the reader was cancelled meanwhile (the run is then
    // thrown away).
    bool read_serially(std::size_t first, std::uint64_t bytes, const RunExtent& extent, ArrowBatchBuilder& builder,
                       Run& run) const;
    bool read_on_pool(std::size_t first, std::uint64_t bytes, const RunExtent& extent, std::size_t cpus,
                      ArrowBatchBuilder& builder, Run& run) const;
    // The run from file `begin` on; its end is run.files_end.
    Run read_run(std::size_t begin);
    void stop_producer() noexcept;

    const std::vector<CorpusFile> files_;
    const CorpusOptions options_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Run> ready_;        // read, not yet handed out
    bool started_ = false;
    bool produced_all_ = false;
    std::string failure_;          // the reader's own failure, set once
    int failure_code_ = 0;
    std::vector<ReadFailure> failures_;  // handed out
    std::atomic<bool> cancelled_{false};
    std::atomic<std::size_t> files_done_{0};
    std::thread producer_;
    long producer_pid_ = 0;
    std::chrono::steady_clock::time_point last_interrupt_check_{};
};

// Fills *out with a stream over reader's batches; the stream keeps the
// reader alive. interrupted is called from get_next as next() describes.
// Never throws (a failure to allocate leaves out->release null and returns
// false).
bool export_corpus_stream(std::shared_ptr<CorpusReader> reader, InterruptHook interrupted,
                          ArrowArrayStream* out) noexcept;

}  // namespace textgrid
