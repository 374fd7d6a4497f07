// One image for several boards: read once from a pipe, a FIFO-like path,
// standard input or a file, compressed or raw, while boards of different
// speeds each take all of it; and an image file changed in place is told.
#include "shared_image.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "compressors.hpp"
#include "helpers.hpp"

namespace dfuctl {
namespace {

using testing::Bytes;
using testing::sha256_of;
using testing::TempDir;

// Feeds `data` into a pipe in small pieces from a thread of its own.
class PipeWriter {
public:
    explicit PipeWriter(const Bytes& data) {
        if (!testing::make_pipe(fds_)) throw std::runtime_error("pipe");
        thread_ = std::thread([this, &data] {
            for (std::size_t off = 0; off < data.size(); off += 4093) {
                const auto n = static_cast<unsigned>(std::min<std::size_t>(4093, data.size() - off));
                if (::write(fds_[1], data.data() + off, n) != static_cast<int>(n)) break;
            }
            ::close(fds_[1]);
        });
    }
    ~PipeWriter() {
        thread_.join();
        ::close(fds_[0]);
    }
    int read_end() const { return fds_[0]; }

private:
    int fds_[2]{};
    std::thread thread_;
};

TEST(SharedImage, BoardsOfDifferentSpeedsEachGetTheWholeImageReadOnce) {
    // Not a multiple of any chunk or read size.
    Bytes img = testing::pattern(5 * (1 << 20) + 4321);
    for (std::size_t i = 0; i < img.size(); i += 7) img[i] ^= static_cast<std::uint8_t>(i >> 11);
    TempDir files;
#ifndef _WIN32
    // The spill file goes here: it must never show up by name.
    TempDir spill_dir;
    const char* old_tmpdir = std::getenv("TMPDIR");
    const std::string saved = old_tmpdir ? old_tmpdir : "";
    ::setenv("TMPDIR", spill_dir.file("").c_str(), 1);
#endif
    enum class From { PipePath, StandardInput, File };
    struct Case {
        const char* name;
        From from;
        Bytes (*compress)(const Bytes&);
    };
    const Case cases[] = {
#ifndef _WIN32
        {"raw from a pipe's path", From::PipePath, [](const Bytes& b) { return b; }},
#endif
        {"xz from standard input", From::StandardInput, testing::xz},
        {"gzip file", From::File, testing::gzip},
        {"raw file, read in place", From::File, [](const Bytes& b) { return b; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes packed = c.compress(img);
        std::optional<PipeWriter> writer;
        std::optional<testing::StdinFrom> stdin_from;
        std::string path = files.write("image", packed);
        if (c.from != From::File) {
            writer.emplace(packed);
            if (c.from == From::PipePath) {
                path = "/dev/fd/" + std::to_string(writer->read_end());
            } else {
                stdin_from.emplace(writer->read_end());
                path = "-";
            }
        }
        const SharedImage shared(path, false);
        // The slow board stops after its first piece until the fast one has
        // taken the whole image: a fan-out that kept the boards in step
        // would leave both waiting.
        std::mutex mutex;
        std::condition_variable fast_done_cv;
        bool fast_done = false;
        std::vector<Bytes> got(3);
        std::vector<std::string> sha(3);
        std::vector<std::string> failures(3);
        auto board = [&](std::size_t i, std::chrono::microseconds delay, bool wait_for_fast) {
            try {
                const auto image = shared.reader(nullptr);
                Bytes buf(100000 + 77777 * i);
                bool first = true;
                while (!image->at_end()) {
                    const std::size_t n = image->read(buf);
                    got[i].insert(got[i].end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
                    std::this_thread::sleep_for(delay);
                    if (std::exchange(first, false) && wait_for_fast) {
                        std::unique_lock lock(mutex);
                        if (!fast_done_cv.wait_for(lock, std::chrono::seconds(30), [&] { return fast_done; }))
                            throw std::runtime_error("the slow board held the fast one back");
                    }
                }
                sha[i] = image->sha256();
                image->check_unchanged();
            } catch (const std::exception& e) {
                failures[i] = e.what();
            }
            if (i == 0) {
                const std::lock_guard lock(mutex);
                fast_done = true;
                fast_done_cv.notify_all();
            }
        };
        std::thread fast(board, 0, std::chrono::microseconds(0), false);
        std::thread middle(board, 1, std::chrono::microseconds(200), false);
        std::thread slow(board, 2, std::chrono::microseconds(1000), true);
        fast.join();
        middle.join();
        slow.join();
        for (std::size_t i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(failures[i], "");
            EXPECT_TRUE(got[i] == img) << got[i].size() << " bytes of " << img.size();
            EXPECT_EQ(sha[i], sha256_of(img));
        }
#ifndef _WIN32
        EXPECT_TRUE(spill_dir.names().empty());
#endif
    }
#ifndef _WIN32
    if (old_tmpdir)
        ::setenv("TMPDIR", saved.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
#endif
}

TEST(SharedImage, ImageFileChangedInPlaceIsTold) {
    // What happens to the file between opening and the check.
    struct Case {
        const char* name;
        void (*change)(const std::string& path);
        bool changed;
    };
    const Case cases[] = {
        {"untouched", [](const std::string&) {}, false},
        {"same size, written again",
         [](const std::string& p) {
             std::filesystem::last_write_time(p,
                                              std::filesystem::last_write_time(p) + std::chrono::seconds(2));
         },
         true},
        {"grown", [](const std::string& p) { std::ofstream(p, std::ios::app) << 'x'; }, true},
    };
    TempDir dir;
    const Bytes img = testing::pattern(300000);
    for (const auto& c : cases) {
        for (const bool shared : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (shared ? ", shared" : ", one board"));
            const std::string path = dir.write("image", img);
            std::optional<SharedImage> several;
            std::unique_ptr<ImageStream> image;
            if (shared) {
                several.emplace(path, false);
                image = several->reader(nullptr);
            } else {
                image = std::make_unique<ImageSource>(ImageSource::open(path, false));
            }
            Bytes buf(img.size());
            EXPECT_EQ(image->read(buf), img.size());
            c.change(path);
            const auto o = testing::outcome_of([&] { image->check_unchanged(); });
            EXPECT_EQ(o.code, c.changed ? Exit::NoInput : Exit::Ok) << o.message;
        }
    }
}

}  // namespace
}  // namespace dfuctl
