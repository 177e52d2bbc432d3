// Reading a file by its path with the layout detected: the loader (any
// bytes), the decoding under both settings, the dispatch and strict
// validation. Whatever "auto" gives must be what one of the two readers
// gives for the same file and setting.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_common.h"
#include "textgrid/layout/read.h"

namespace {

struct ReadOutcome {
    fuzz::Outcome outcome;
    bool error = false;
    std::string error_text;
};

ReadOutcome read(const std::string& path, bool strict, textgrid::Layout layout, textgrid::Encoding encoding) {
    ReadOutcome r;
    r.outcome = fuzz::run_reader([&] {
        textgrid::Result<textgrid::TextGrid> res = textgrid::read_from_file(path, strict, layout, encoding);
        if (!res) {
            r.error = true;
            r.error_text = res.error().text();
            return textgrid::TextGrid{};
        }
        return std::move(res).value();
    });
    return r;
}

bool same(const ReadOutcome& a, const ReadOutcome& b) {
    return a.error == b.error && a.error_text == b.error_text && fuzz::same_outcome(a.outcome, b.outcome);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One in-memory file for the whole run, rewritten for each input and
    // read through its /proc path, as a caller's file would be.
    static const int fd = memfd_create("fuzz.TextGrid", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    fuzz::check(fd >= 0, "memfd_create");
    fuzz::check(ftruncate(fd, 0) == 0, "ftruncate");
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        fuzz::check(n > 0, "pwrite");
        done += static_cast<std::size_t>(n);
    }
    for (textgrid::Encoding encoding : {textgrid::Encoding::utf8, textgrid::Encoding::praat}) {
        for (bool strict : {false, true}) {
            const ReadOutcome detected = read(path, strict, textgrid::Layout::auto_, encoding);
            if (!detected.error && !detected.outcome.fatal) fuzz::exercise(detected.outcome.grid);
            fuzz::check(same(detected, read(path, strict, textgrid::Layout::long_, encoding)) ||
                            same(detected, read(path, strict, textgrid::Layout::short_, encoding)),
                        "auto reads as one of the two readers");
        }
    }
    return 0;
}
