// One image for many boards: read, and decompressed, once, whatever it
// comes from, while each board's upload takes it at its own pace.
//
// A raw regular file (or disk) is read in place: each board reads it at
// its own offset, and one pass over it gives the SHA-256. Anything else (a
// compressed image, a pipe, a FIFO, standard input) is decoded by one
// thread into a spill file in the system's temporary directory, which the
// boards read up to what has been written. A board that catches up with
// the decoder waits for it; no board waits for another. The spill file is
// unlinked as it is created (Windows: deleted on close), so nothing is left
// behind, whether dfuctl ends, fails or is killed.
//
// Memory does not grow with the image: the decoder's (one 256 KiB input
// buffer and its window, at most kMaxDecoderWindow) and one 256 KiB chunk;
// each board reads into its own transfer buffers (transfer.hpp) and
// compares its read-back in a 64 KiB piece. The
// decompressed image takes its size in the temporary directory (memory,
// where that directory is a tmpfs).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "image_source.hpp"

namespace dfuctl {

class SharedImage {
public:
    // Opens `path` ("-": standard input) as ImageSource::open does and
    // starts reading it. Throws Failure(Exit::NoInput), or
    // Failure(Exit::CantCreate) when no spill file can be created.
    SharedImage(const std::string& path, bool raw);
    // Stops the reading and waits for it, except when it is stuck on an
    // input that neither sends nor ends (a pipe's writer that hangs): that
    // thread is left to end with its input or the process.
    ~SharedImage();
    SharedImage(const SharedImage&) = delete;
    SharedImage& operator=(const SharedImage&) = delete;

    const std::string& name() const;
    ImageFormat format() const;

    // A pass over the whole image for one board, from any thread.
    // `aborted` is asked while the pass waits for data; when it says so,
    // the pass fails with Exit::Aborted.
    std::unique_ptr<ImageStream> reader(std::function<bool()> aborted) const;

    // Shared by the reading thread and the boards' readers.
    struct State;

private:
    std::shared_ptr<State> state_;
    std::thread producer_;
};

}  // namespace dfuctl
