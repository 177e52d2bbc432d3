#include "textgrid/corpus/corpus_reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <new>
#include <system_error>
#include <utility>

#include "textgrid/base/interrupt.h"
#include "textgrid/layout/praat_read.h"
#include "textgrid/layout/read.h"
#include "textgrid/os/pool.h"
#include "textgrid/os/signal_mask.h"

namespace textgrid {

namespace {

// How often a waiting consumer asks whether it was interrupted: often
// enough that Ctrl-C feels immediate, rarely enough to cost nothing.
constexpr auto kInterruptPoll = std::chrono::milliseconds(100);

bool has_textgrid_suffix(std::string_view name) noexcept {
    constexpr std::string_view suffix = ".textgrid";
    if (name.size() < suffix.size()) return false;
    const std::string_view tail = name.substr(name.size() - suffix.size());
    return std::equal(tail.begin(), tail.end(), suffix.begin(), [](char a, char b) {
        return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
    });
}

// The outcome of reading one file of a run.
struct FileOutcome {
    FileRows rows;
    std::string failure;
    bool failed = false;
};

}  // namespace

Result<std::vector<std::string>> find_textgrid_files(const std::string& dir) {
    namespace fs = std::filesystem;
    std::error_code ec;
    // Symbolic links to directories are not entered: a link back up the
    // tree would otherwise never end the walk.
    fs::recursive_directory_iterator it(fs::path(dir), fs::directory_options::none, ec);
    if (ec) return Error::from_errno(ec.value());
    std::vector<std::string> found;
    for (const fs::recursive_directory_iterator end; it != end;) {
        const fs::directory_entry& entry = *it;
        if (has_textgrid_suffix(entry.path().filename().native())) {
            std::error_code file_ec;
            if (entry.is_regular_file(file_ec)) found.push_back(entry.path().native());
        }
        it.increment(ec);
        if (ec) return Error::from_errno(ec.value());
    }
    std::sort(found.begin(), found.end());
    return found;
}

bool is_directory(const std::string& path) noexcept {
    struct stat st {};
    return path.find('\0') == std::string::npos && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

CorpusReader::CorpusReader(std::vector<CorpusFile> files, CorpusOptions options)
    : files_(std::move(files)), options_(std::move(options)) {
    if (files_.empty()) produced_all_ = true;
}

CorpusReader::~CorpusReader() { stop_producer(); }

void CorpusReader::stop_producer() noexcept {
    {
        std::lock_guard lock(mutex_);
        cancelled_.store(true, std::memory_order_relaxed);
        ready_.clear();
    }
    changed_.notify_all();
    if (!producer_.joinable()) return;
    // In a child forked while the thread ran there is no such thread to
    // wait for.
    if (static_cast<long>(::getpid()) == producer_pid_) {
        producer_.join();
    } else {
        producer_.detach();
    }
}

std::vector<ReadFailure> CorpusReader::failures_since(std::size_t from) const {
    std::lock_guard lock(mutex_);
    if (from >= failures_.size()) return {};
    return {failures_.begin() + static_cast<std::ptrdiff_t>(from), failures_.end()};
}

bool CorpusReader::read_file(const CorpusFile& file, TextGrid& out, std::string& failure,
                             std::size_t& text_bytes) const {
    text_bytes = 0;
    // Every failure belongs to its file, the fatal ones included: they end
    // the six batch functions, but must not end a corpus.
    try {
        Result<TextGrid> read =
            options_.layout
                ? read_from_file(file.path, options_.strict, *options_.layout, options_.encoding, &text_bytes)
                : read_praat_file(file.path, options_.strict, options_.encoding, &text_bytes);
        if (read) {
            out = std::move(read.value());
            return true;
        }
        failure = read_failure_message(file.display, read.error());
    } catch (const FatalReadError& e) {
        failure = e.message();
    } catch (const std::bad_alloc&) {
        out = TextGrid{};
        failure = read_failure_message(file.display, Error::from_errno(ENOMEM));
    }
    return false;
}

CorpusReader::RunExtent CorpusReader::run_extent(std::size_t begin) const noexcept {
    // A run ends after batch_files files, or else once its files held
    // kAutoBatchBytes of text: a run of many small files and a run of one
    // huge file then take about as long, and as much memory. The sizes are
    // those the reads find; a stat of every file beforehand would cost
    // about as much as the reading of a small one.
    const bool fixed = options_.batch_files != 0;
    return {begin + std::min(files_.size() - begin, fixed ? options_.batch_files : kAutoBatchFiles),
            fixed ? UINT64_MAX : kAutoBatchBytes};
}

void CorpusReader::read_here(std::size_t id, ArrowBatchBuilder& builder, Run& run, std::uint64_t& bytes) const {
    TextGrid textgrid;
    std::string failure;
    std::size_t text_bytes = 0;
    if (read_file(files_[id], textgrid, failure, text_bytes)) {
        builder.append(static_cast<std::uint32_t>(id), files_[id].display, textgrid);
    } else {
        run.failures.push_back({static_cast<std::uint32_t>(id), std::move(failure)});
    }
    bytes += text_bytes;
}

bool CorpusReader::read_serially(std::size_t id, std::uint64_t bytes, const RunExtent& extent,
                                 ArrowBatchBuilder& builder, Run& run) const {
    while (id < extent.end && bytes < extent.byte_limit) {
        if (cancelled_.load(std::memory_order_relaxed)) return false;
        read_here(id++, builder, run, bytes);
    }
    run.files_end = id;
    return true;
}

bool CorpusReader::read_on_pool(std::size_t first, std::uint64_t bytes, const RunExtent& extent, std::size_t cpus,
                                ArrowBatchBuilder& builder, Run& run) const {
    // Each thread of the pool takes the next file until the run's text is
    // complete, so the files read are always a prefix of the run's; it turns
    // its file into columns at once, so that the TextGrid is freed. The
    // batch is then joined here in file order.
    std::vector<FileOutcome> outcomes(extent.end - first);
    std::atomic<std::size_t> next{0};
    std::atomic<std::uint64_t> shared_bytes{bytes};
    textgrid::run_tasks(cpus, cpus, [&](std::size_t) {
        for (;;) {
            // A cancelled run is thrown away: take no further file.
            if (cancelled_.load(std::memory_order_relaxed)) return;
            if (shared_bytes.load(std::memory_order_relaxed) >= extent.byte_limit) return;
            const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= outcomes.size()) return;
            FileOutcome& outcome = outcomes[i];
            TextGrid textgrid;
            std::size_t text_bytes = 0;
            if (read_file(files_[first + i], textgrid, outcome.failure, text_bytes)) {
                outcome.rows = to_file_rows(textgrid, options_.rows);
            } else {
                outcome.failed = true;
            }
            shared_bytes.fetch_add(text_bytes, std::memory_order_relaxed);
        }
    });
    if (cancelled_.load(std::memory_order_relaxed)) return false;
    const std::size_t taken = std::min(next.load(), outcomes.size());
    run.files_end = first + taken;
    std::size_t rows = 0;
    std::size_t label_bytes = 0;
    for (std::size_t i = 0; i < taken; ++i) {
        rows += outcomes[i].rows.rows();
        label_bytes += outcomes[i].rows.label_bytes.size();
    }
    builder.reserve(rows, label_bytes);
    for (std::size_t i = 0; i < taken; ++i) {
        const auto file_id = static_cast<std::uint32_t>(first + i);
        if (outcomes[i].failed) {
            run.failures.push_back({file_id, std::move(outcomes[i].failure)});
        } else {
            builder.append(file_id, files_[file_id].display, outcomes[i].rows);
        }
        outcomes[i] = FileOutcome{};
    }
    return true;
}

CorpusReader::Run CorpusReader::read_run(std::size_t begin) {
    const RunExtent extent = run_extent(begin);
    Run run;
    ArrowBatchBuilder builder(options_.max_label_bytes, options_.rows);
    std::uint64_t bytes = 0;
    // The first file tells how many like it the run will hold. Few large
    // ones (a huge file parses on the pool by itself) are read here, one
    // after the other; many are spread over the pool.
    read_here(begin, builder, run, bytes);
    const std::size_t next = begin + 1;
    const std::size_t cpus = available_cpus();
    const std::uint64_t like_it =
        bytes >= extent.byte_limit ? 0 : (extent.byte_limit - bytes) / std::max<std::uint64_t>(bytes, 1) + 1;
    const bool serial =
        cpus == 1 || !runs_on_pool(static_cast<std::size_t>(std::min<std::uint64_t>(extent.end - next, like_it)), cpus);
    const bool complete = serial ? read_serially(next, bytes, extent, builder, run)
                                 : read_on_pool(next, bytes, extent, cpus, builder, run);
    if (!complete) return run;
    for (ArrowBatch& batch : builder.finish()) run.batches.push_back(std::move(batch));
    return run;
}

void CorpusReader::produce() noexcept {
    // A cancel then also stops a file in the middle of its parsing, which
    // for one huge file is most of the time there is.
    InterruptScope scope(
        [](void* self) { return static_cast<CorpusReader*>(self)->cancelled_.load(std::memory_order_relaxed); },
        this);
    std::size_t begin = 0;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            // One run ahead of the consumer, no more: memory stays bounded
            // however slow the consumer is.
            changed_.wait(lock, [&] { return cancelled_.load(std::memory_order_relaxed) || ready_.empty(); });
            if (cancelled_.load(std::memory_order_relaxed)) return;
            if (begin == files_.size()) {
                produced_all_ = true;
                changed_.notify_all();
                return;
            }
        }
        int code = 0;
        std::string reason;
        try {
            Run run = read_run(begin);
            std::lock_guard lock(mutex_);
            if (cancelled_.load(std::memory_order_relaxed)) return;
            begin = run.files_end;
            ready_.push_back(std::move(run));
        } catch (const std::bad_alloc&) {
            code = ENOMEM;
            reason = "out of memory while reading TextGrid files";
        } catch (const std::exception& e) {
            code = EIO;
            reason = e.what();
        } catch (const Interrupted&) {
            return;  // cancelled: nobody waits for this run
        } catch (...) {
            code = EIO;
            reason = "unknown C++ exception while reading TextGrid files";
        }
        if (code != 0) {
            std::lock_guard lock(mutex_);
            if (failure_code_ == 0) {
                failure_code_ = code;
                failure_ = std::move(reason);
            }
        }
        changed_.notify_all();
        if (code != 0) return;
    }
}

int CorpusReader::next(ArrowArray* out, const InterruptHook& interrupted, std::string* error) noexcept {
    out->release = nullptr;
    try {
        std::unique_lock lock(mutex_);
        if (!started_ && !produced_all_) {
            // The thread takes no signals: Ctrl-C belongs to the consumer's
            // thread, which is the one that asks about it.
            {
                const SignalsBlocked blocked;
                producer_ = std::thread([this] { produce(); });
            }
            producer_pid_ = static_cast<long>(::getpid());
            started_ = true;
        }
        for (;;) {
            const auto now = std::chrono::steady_clock::now();
            if (interrupted && failure_code_ == 0 && now - last_interrupt_check_ >= kInterruptPoll) {
                last_interrupt_check_ = now;
                lock.unlock();
                std::optional<std::string> reason = interrupted();
                if (reason) {
                    // Nothing keeps reading, nothing read is kept: the
                    // consumer gets control back with the machine idle.
                    stop_producer();
                    lock.lock();
                    if (failure_code_ == 0) {
                        failure_code_ = EINTR;
                        failure_ = std::move(*reason);
                    }
                } else {
                    lock.lock();
                }
            }
            if (failure_code_ != 0) {
                *error = failure_;
                return failure_code_;
            }
            if (!ready_.empty()) {
                Run& run = ready_.front();
                // The failures and the count move on with the run's first
                // batch, so that they always describe what was handed out.
                failures_.insert(failures_.end(), std::make_move_iterator(run.failures.begin()),
                                 std::make_move_iterator(run.failures.end()));
                run.failures.clear();
                files_done_.store(run.files_end, std::memory_order_release);
                ArrowBatch batch;
                if (!run.batches.empty()) {
                    batch = std::move(run.batches.front());
                    run.batches.pop_front();
                }
                if (run.batches.empty()) {
                    ready_.pop_front();
                    changed_.notify_all();
                }
                if (batch.array().release == nullptr) continue;  // a run without rows
                batch.export_to(out);
                return 0;
            }
            if (produced_all_) return 0;  // out->release is null: the end
            changed_.wait_for(lock, kInterruptPoll);
        }
    } catch (const std::bad_alloc&) {
        *error = "out of memory while reading TextGrid files";
        return ENOMEM;
    } catch (const std::exception& e) {
        *error = e.what();
        return EIO;
    }
}

namespace {

struct StreamState {
    std::shared_ptr<CorpusReader> reader;
    InterruptHook interrupted;
    std::string error;
};

extern "C" int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    try {
        export_corpus_schema(out, state->reader->rows());
        return 0;
    } catch (const std::bad_alloc&) {
        state->error = "out of memory";
        return ENOMEM;
    }
}

extern "C" int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    return state->reader->next(out, state->interrupted, &state->error);
}

extern "C" const char* stream_get_last_error(ArrowArrayStream* stream) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    return state->error.empty() ? nullptr : state->error.c_str();
}

extern "C" void stream_release(ArrowArrayStream* stream) {
    delete static_cast<StreamState*>(stream->private_data);
    stream->release = nullptr;
}

}  // namespace

bool export_corpus_stream(std::shared_ptr<CorpusReader> reader, InterruptHook interrupted,
                          ArrowArrayStream* out) noexcept {
    out->release = nullptr;
    StreamState* state = new (std::nothrow) StreamState{std::move(reader), std::move(interrupted), {}};
    if (state == nullptr) return false;
    out->get_schema = stream_get_schema;
    out->get_next = stream_get_next;
    out->get_last_error = stream_get_last_error;
    out->release = stream_release;
    out->private_data = state;
    return true;
}

}  // namespace textgrid
