// The floor of writing a corpus of small files: the same folders made, the
// same bytes opened, written and closed one file after the other on one
// thread, nothing else.
//
//     write_floor SRC_DIR DST_DIR REPEAT [atomic]
//
// With "atomic", each file is written as a writer that never leaves a half
// file must write it: under a temporary name in its folder (created
// exclusively), then renamed to its own name.
//
// Loads every regular file below SRC_DIR into memory (not timed). Each of
// REPEAT runs removes the files and folders of the run before (not timed),
// then makes the folders and writes the files afresh below DST_DIR (timed).
// Prints one JSON object: the files, their bytes, and the median seconds of
// a run, elapsed and as CPU time of the thread.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

double thread_seconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct File {
    std::string path;       // below DST_DIR
    std::string temporary;  // in the same folder
    std::string bytes;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && !(argc == 5 && std::string(argv[4]) == "atomic")) {
        std::fprintf(stderr, "usage: write_floor SRC_DIR DST_DIR REPEAT [atomic]\n");
        return 2;
    }
    const bool atomic = argc == 5;
    namespace fs = std::filesystem;
    const fs::path src = argv[1];
    const fs::path dst = argv[2];
    const int repeat = std::max(1, std::atoi(argv[3]));
    std::vector<File> files;
    std::vector<std::string> folders;  // parents before their children
    std::size_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(src)) {
        const fs::path target = dst / fs::relative(entry.path(), src);
        if (entry.is_directory()) folders.push_back(target.string());
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string temporary = (target.parent_path() / (".floor-" + std::to_string(files.size()) + ".tmp")).string();
        File file{target.string(), temporary, std::string(std::istreambuf_iterator<char>(in), {})};
        total += file.bytes.size();
        files.push_back(std::move(file));
    }
    std::vector<double> walls, cpus;
    for (int run = 0; run < repeat; ++run) {
        for (const File& file : files) ::unlink(file.path.c_str());
        for (auto it = folders.rbegin(); it != folders.rend(); ++it) ::rmdir(it->c_str());
        fs::create_directories(dst);
        const double cpu_start = thread_seconds();
        const auto start = std::chrono::steady_clock::now();
        for (const std::string& folder : folders) {
            if (::mkdir(folder.c_str(), 0777) != 0) {
                std::perror(folder.c_str());
                return 1;
            }
        }
        for (const File& file : files) {
            const std::string& written = atomic ? file.temporary : file.path;
            const int flags = atomic ? O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC : O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
            const int fd = ::open(written.c_str(), flags, 0666);
            const auto size = static_cast<ssize_t>(file.bytes.size());
            if (fd < 0 || ::write(fd, file.bytes.data(), file.bytes.size()) != size || ::close(fd) != 0 ||
                (atomic && ::rename(written.c_str(), file.path.c_str()) != 0)) {
                std::perror(file.path.c_str());
                return 1;
            }
        }
        walls.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        cpus.push_back(thread_seconds() - cpu_start);
    }
    std::sort(walls.begin(), walls.end());
    std::sort(cpus.begin(), cpus.end());
    std::printf("{\"files\": %zu, \"bytes\": %zu, \"wall\": %.6f, \"cpu\": %.6f}\n", files.size(),
                total, walls[walls.size() / 2], cpus[cpus.size() / 2]);
    return 0;
}
