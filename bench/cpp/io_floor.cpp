// The floor under any per-file work: opening, reading or writing, and
// closing the same files, with nothing made of their bytes. Plain system
// calls on one thread, one reused buffer; no part of orvex.
//
//     io_floor read LIST REPEAT             every file of LIST (one path a line): open, read to the end, close
//     io_floor write FILE PATH COUNT REPEAT  FILE's bytes written to PATH COUNT times: open (create, truncate),
//                                            write, close
//     io_floor write-each LIST DIR REPEAT    every file of LIST written to DIR under its position's name
//
// Prints one JSON object: the median seconds over REPEAT runs, elapsed and
// as CPU time of the thread (on a loaded machine, the time it really ran).
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

double thread_seconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Figure {
    double wall = 0;
    double cpu = 0;
};

template <typename Step>
Figure median_seconds(int repeat, Step&& step) {
    std::vector<double> walls, cpus;
    for (int i = 0; i < repeat; ++i) {
        const double cpu_start = thread_seconds();
        const auto start = std::chrono::steady_clock::now();
        step();
        walls.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        cpus.push_back(thread_seconds() - cpu_start);
    }
    std::sort(walls.begin(), walls.end());
    std::sort(cpus.begin(), cpus.end());
    return {walls[walls.size() / 2], cpus[cpus.size() / 2]};
}

std::vector<std::string> read_list(const char* list) {
    std::ifstream in(list);
    std::vector<std::string> paths;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) paths.push_back(line);
    }
    return paths;
}

// The bytes of a file, or false.
bool slurp(const std::string& path, std::vector<char>& buffer, std::string& out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out.clear();
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        out.append(buffer.data(), static_cast<std::size_t>(got));
    }
    ::close(fd);
    return true;
}

bool write_bytes(const std::string& path, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return ::close(fd) == 0 && done == bytes.size();
}

int read_floor(const char* list, int repeat) {
    const std::vector<std::string> paths = read_list(list);
    std::vector<char> buffer(std::size_t{1} << 20);
    std::size_t bytes = 0;
    std::size_t failed = 0;
    const Figure f = median_seconds(repeat, [&] {
        bytes = failed = 0;
        for (const std::string& path : paths) {
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                ++failed;
                continue;
            }
            for (;;) {
                const ssize_t got = ::read(fd, buffer.data(), buffer.size());
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) break;
                bytes += static_cast<std::size_t>(got);
            }
            ::close(fd);
        }
    });
    std::printf("{\"files\": %zu, \"failed\": %zu, \"bytes\": %zu, \"seconds\": %.9f, \"cpu_seconds\": %.9f}\n",
                paths.size(), failed, bytes, f.wall, f.cpu);
    return failed == paths.size() && !paths.empty() ? 1 : 0;
}

int write_floor(const char* file, const char* path, int count, int repeat) {
    std::vector<char> buffer(std::size_t{1} << 20);
    std::string bytes;
    if (!slurp(file, buffer, bytes)) {
        std::fprintf(stderr, "cannot read %s\n", file);
        return 1;
    }
    bool ok = true;
    const Figure f = median_seconds(repeat, [&] {
        for (int i = 0; i < count; ++i) ok = write_bytes(path, bytes) && ok;
    });
    std::printf("{\"writes\": %d, \"bytes\": %zu, \"seconds\": %.9f, \"cpu_seconds\": %.9f, "
                "\"seconds_per_write\": %.9f, \"cpu_seconds_per_write\": %.9f}\n",
                count, bytes.size(), f.wall, f.cpu, f.wall / count, f.cpu / count);
    return ok ? 0 : 1;
}

int write_each_floor(const char* list, const char* dir, int repeat) {
    const std::vector<std::string> paths = read_list(list);
    std::vector<char> buffer(std::size_t{1} << 20);
    std::vector<std::string> texts(paths.size());
    std::vector<std::string> targets(paths.size());
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (!slurp(paths[i], buffer, texts[i])) {
            std::fprintf(stderr, "cannot read %s\n", paths[i].c_str());
            return 1;
        }
        bytes += texts[i].size();
        targets[i] = std::string(dir) + "/" + std::to_string(i) + ".TextGrid";
    }
    bool ok = true;
    const Figure f = median_seconds(repeat, [&] {
        for (std::size_t i = 0; i < paths.size(); ++i) ok = write_bytes(targets[i], texts[i]) && ok;
    });
    std::printf("{\"files\": %zu, \"bytes\": %zu, \"seconds\": %.9f, \"cpu_seconds\": %.9f}\n", paths.size(), bytes,
                f.wall, f.cpu);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "read") == 0) return read_floor(argv[2], std::max(1, std::atoi(argv[3])));
    if (argc == 6 && std::strcmp(argv[1], "write") == 0)
        return write_floor(argv[2], argv[3], std::max(1, std::atoi(argv[4])), std::max(1, std::atoi(argv[5])));
    if (argc == 5 && std::strcmp(argv[1], "write-each") == 0)
        return write_each_floor(argv[2], argv[3], std::max(1, std::atoi(argv[4])));
    std::fprintf(stderr,
                 "usage: io_floor read LIST REPEAT\n"
                 "       io_floor write FILE PATH COUNT REPEAT\n"
                 "       io_floor write-each LIST DIR REPEAT\n");
    return 2;
}
