#include "shared_image.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "exit_codes.hpp"
#include "interrupt.hpp"

namespace dfuctl {
namespace {

// What the reading thread takes at a time.
constexpr std::size_t kChunk = 256 * 1024;
// How often a board that waits for data looks whether its run was aborted.
constexpr std::chrono::milliseconds kAbortPoll{100};
// How long the destructor waits for the reading thread to see that it
// should stop: a chunk read and decoded takes a fraction of this.
constexpr std::chrono::seconds kStopWait{1};

}  // namespace

struct SharedImage::State {
    explicit State(ImageSource s)
        : source(std::move(s)),
          name(source.name()),
          format(source.format()),
          size(source.size()),
          in_place(format == ImageFormat::Raw && size.has_value()) {}

    // Read by the reading thread only, but for the calls that leave what it
    // reads alone (descriptor, check_unchanged).
    ImageSource source;
    const std::string name;
    const ImageFormat format;
    const std::optional<std::uint64_t> size;
    const bool in_place;  // the boards read the file itself
    UniqueFd spill;       // otherwise this one
    std::string spill_name;
    std::atomic<bool> stop{false};

    std::mutex mutex;
    std::condition_variable grown;  // `available`, `ended`, `failure` or `finished` changed
    std::uint64_t available = 0;    // image bytes the boards may read
    bool ended = false;             // `available` is the whole image
    std::string sha256;             // of the whole image, once it ended
    std::optional<Failure> failure;
    bool finished = false;  // the reading thread is done with the state

    int data_fd() const { return in_place ? source.descriptor() : spill.get(); }
};

namespace {

using State = SharedImage::State;

// The reading thread: the image once, into the spill file or through the
// hash, a chunk at a time, each made available to the boards at once.
void produce(State& st) {
    std::vector<std::uint8_t> chunk(kChunk);
    Sha256 hash;
    std::uint64_t offset = 0;
    try {
        for (bool end = false; !end;) {
            if (st.stop.load(std::memory_order_acquire)) throw Failure(Exit::Aborted, "aborted");
            check_interrupted();
            std::size_t n = 0;
            if (st.in_place) {
                n = read_full_at(st.source.descriptor(), chunk, offset, st.name);
                hash.update(std::span(chunk).first(n));
            } else {
                n = st.source.read(chunk);
                write_full_at(st.spill.get(), std::span(chunk).first(n), offset, st.spill_name);
            }
            offset += n;
            end = n < chunk.size();
            const std::lock_guard lock(st.mutex);
            st.available = offset;
            if (end) {
                st.ended = true;
                st.sha256 = st.in_place ? hash.hex_digest() : st.source.sha256();
            }
            st.grown.notify_all();
        }
    } catch (const Failure& f) {
        const std::lock_guard lock(st.mutex);
        st.failure = f;
    } catch (const std::exception& e) {
        const std::lock_guard lock(st.mutex);
        st.failure = Failure(Exit::OsError, "cannot read " + st.name + ": " + e.what());
    }
    const std::lock_guard lock(st.mutex);
    st.finished = true;
    st.grown.notify_all();
}

// One board's pass: reads what the reading thread has made available and
// waits for more.
class SharedReader final : public ImageStream {
public:
    SharedReader(std::shared_ptr<State> state, std::function<bool()> aborted)
        : st_(std::move(state)), aborted_(std::move(aborted)) {}

    std::size_t read(std::span<std::uint8_t> buf) override {
        std::size_t n = 0;
        while (n < buf.size()) {
            const std::uint64_t have = available_beyond(pos_);
            if (have <= pos_) break;  // the end
            const auto part = buf.subspan(n, std::min<std::uint64_t>(buf.size() - n, have - pos_));
            const std::size_t got = read_full_at(st_->data_fd(), part, pos_, st_->name);
            if (got < part.size()) {
                // Only the file read in place can shrink under the boards.
                throw image_shrank(st_->name);
            }
            n += got;
            pos_ += got;
        }
        return n;
    }
    bool at_end() override { return available_beyond(pos_) <= pos_; }
    const std::string& name() const override { return st_->name; }
    ImageFormat format() const override { return st_->format; }
    std::optional<std::uint64_t> size() const override { return st_->size; }
    std::uint64_t bytes() const override { return pos_; }
    std::string sha256() override {
        const std::lock_guard lock(st_->mutex);
        return st_->sha256;
    }
    void check_unchanged() const override { st_->source.check_unchanged(); }
    bool can_read_again() const override { return true; }
    std::size_t read_again(std::span<std::uint8_t> buf, std::uint64_t offset) const override {
        if (offset + buf.size() > pos_) throw std::logic_error("read_again beyond what the pass read");
        return read_full_at(st_->data_fd(), buf, offset, st_->name);
    }

private:
    // Image bytes available once there is one beyond `pos`, or the image
    // has ended. Throws the reading thread's failure once the bytes before
    // it are read.
    std::uint64_t available_beyond(std::uint64_t pos) {
        std::unique_lock lock(st_->mutex);
        for (;;) {
            if (st_->available > pos || (st_->ended && !st_->failure)) return st_->available;
            if (st_->failure) throw *st_->failure;
            if (aborted_ && aborted_()) throw Failure(Exit::Aborted, "aborted");
            st_->grown.wait_for(lock, kAbortPoll);
        }
    }

    std::shared_ptr<State> st_;
    std::function<bool()> aborted_;
    std::uint64_t pos_ = 0;
};

}  // namespace

SharedImage::SharedImage(const std::string& path, bool raw)
    : state_(std::make_shared<State>(ImageSource::open(path, raw))) {
    State& st = *state_;
    if (!st.in_place) {
        st.spill.reset(platform::create_temporary("dfuctl-image-", st.spill_name));
        if (st.spill.get() < 0) {
            throw Failure(Exit::CantCreate, "cannot create a temporary file for the image from " + st.name +
                                                ": " + std::strerror(errno) +
                                                " (TMPDIR names another directory for it)");
        }
    }
    // The thread holds the state too: see the destructor.
    producer_ = std::thread([state = state_] { produce(*state); });
}

SharedImage::~SharedImage() {
    state_->stop.store(true, std::memory_order_release);
    std::unique_lock lock(state_->mutex);
    const bool finished = state_->grown.wait_for(lock, kStopWait, [this] { return state_->finished; });
    lock.unlock();
    if (finished) {
        producer_.join();
    } else {
        producer_.detach();
    }
}

const std::string& SharedImage::name() const { return state_->name; }

ImageFormat SharedImage::format() const { return state_->format; }

std::unique_ptr<ImageStream> SharedImage::reader(std::function<bool()> aborted) const {
    return std::make_unique<SharedReader>(state_, std::move(aborted));
}

}  // namespace dfuctl
