// Images beyond 4 GiB, on every target and on 32-bit ARM in particular:
// file offsets above 4 GiB through the real OS seam on a sparse file,
// download lengths and byte counts above 2^32 through the daemon on the
// simulated gadgetfs, and the 36-bit length encoding across its range.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon_fixture.h"
#include "os.h"

namespace {

using sim::Bytes;

constexpr uint64_t k4GiB = uint64_t{1} << 32;

static_assert(sizeof(off_t) == 8, "the daemon is built with 64-bit file offsets");

// ---- The real OS seam on a sparse file --------------------------------------------

// A descriptor of the real seam, closed through it.
class RealFd {
public:
    explicit RealFd(int fd) : fd_(fd) {}
    ~RealFd() {
        if (fd_ >= 0) os_real.close(fd_);
    }
    RealFd(const RealFd&) = delete;
    RealFd& operator=(const RealFd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// An empty file in $TMPDIR (default /tmp), removed at the end. Written far
// beyond its end it stays sparse: a few blocks on disk.
class TempFile {
public:
    TempFile() {
        const char* dir = std::getenv("TMPDIR");
        path_ = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/gadgetdfu-large-XXXXXX";
        RealFd fd(::mkstemp(path_.data()));
        if (fd.get() < 0) path_.clear();
    }
    ~TempFile() {
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

Bytes read_at(int fd, off_t offset, size_t len) {
    Bytes b(len);
    if (os_real.lseek(fd, offset, SEEK_SET) != offset) return {};
    const ssize_t n = os_real.read(fd, b.data(), len);
    b.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return b;
}

bool write_at(int fd, off_t offset, const Bytes& data) {
    return os_real.lseek(fd, offset, SEEK_SET) == offset &&
           os_real.write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
}

TEST(RealSeamLargeFile, OffsetsBeyondFourGiB) {
    TempFile file;
    ASSERT_FALSE(file.path().empty()) << "mkstemp: " << std::strerror(errno);
    RealFd fd(os_real.open(file.path().c_str(), O_RDWR));
    ASSERT_GE(fd.get(), 0) << std::strerror(errno);

    // Far above 4 GiB, at an offset whose low 32 bits are small and
    // unaligned, so that a truncated offset would land near the start.
    const off_t far = static_cast<off_t>(k4GiB + 3 * 4096 + 123);
    const Bytes marker = {'b', 'e', 'y', 'o', 'n', 'd', ' ', '4', 'G'};
    ASSERT_TRUE(write_at(fd.get(), far, marker)) << std::strerror(errno);
    EXPECT_EQ(os_real.fsync(fd.get()), 0);

    EXPECT_EQ(os_real.lseek(fd.get(), 0, SEEK_END), far + static_cast<off_t>(marker.size()));
    EXPECT_EQ(os_real.lseek(fd.get(), 0, SEEK_CUR), far + static_cast<off_t>(marker.size()));
    EXPECT_EQ(read_at(fd.get(), far, marker.size()), marker);
    // Nothing went to the offset's low 32 bits: that part is still a hole.
    EXPECT_EQ(read_at(fd.get(), far - static_cast<off_t>(k4GiB), marker.size()), Bytes(marker.size(), 0));

    // One read across the 4 GiB boundary.
    const Bytes across = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_TRUE(write_at(fd.get(), static_cast<off_t>(k4GiB - 4), across));
    EXPECT_EQ(read_at(fd.get(), static_cast<off_t>(k4GiB - 5), 10), (Bytes{0, 1, 2, 3, 4, 5, 6, 7, 8, 0}));

    // A read at the end returns 0, one before it the last byte.
    const off_t end = far + static_cast<off_t>(marker.size());
    EXPECT_EQ(read_at(fd.get(), end, 4), Bytes{});
    EXPECT_EQ(read_at(fd.get(), end - 1, 4), Bytes{'G'});
}

// ---- Downloads above 2^32 through the daemon ---------------------------------------

struct LargeDownload : DaemonTest {
    void SetUp() override {
        DaemonTest::SetUp();
        configure();
        ASSERT_TRUE(sim.wait_for_out("RX Thread read data from usb"));
    }
};

TEST_F(LargeDownload, LengthAboveTwoToTheThirtyTwoIsNotTruncated) {
    // 2^32 + 1000: cut to 32 bits it would be a download of 1000 bytes of
    // this 1.2 MB image; it asks for more than the image, so all of it goes.
    const Bytes image = sim::sequence(1200000);
    sim.set_firmware(image);
    const Answer a = vendor(0x19, 0, 1000);
    EXPECT_EQ(a.reply()[0], 9);
    EXPECT_NE(a.err.find("Reading 4294968296 bytes from firmware... \n"), std::string::npos) << a.err;
    EXPECT_EQ(readSize.load(), k4GiB + 1000);
    ASSERT_TRUE(wait_download_closed());
    EXPECT_EQ(sim.host_received(), image);
    EXPECT_EQ(totalBytesRead.load(), 1200000u);
    EXPECT_NE(sim.err().find("End of file or read error 0("), std::string::npos);
}

TEST_F(LargeDownload, EveryHighNibbleOfTheLength) {
    // bits 35..32 ride in bRequest's high nibble, up to 2^36 - 1.
    const Bytes image = sim::sequence(3000);
    sim.set_firmware(image);
    for (uint8_t nibble = 0; nibble < 16; ++nibble) {
        SCOPED_TRACE(testing::Message() << "nibble " << int{nibble});
        sim.clear_host_received();
        vendor(static_cast<uint8_t>(nibble << 4 | 9), 0xFFFF, 0xFFFF);
        EXPECT_EQ(readSize.load(), uint64_t{nibble} * k4GiB + 0xFFFFFFFFu);
        ASSERT_TRUE(wait_download_closed());
        EXPECT_EQ(sim.host_received(), image);
    }
    EXPECT_EQ(readSize.load(), gadgetdfu::kMaxDownloadLength);
}

TEST_F(LargeDownload, ByteCountPastFourGiBEndsAtTheLength) {
    // A download of 2^32 + 600000 bytes whose first 2^32 bytes are taken as
    // sent: while the first chunk waits for the host, the count is moved on
    // by 4 GiB. The TX thread then sends the remaining 88000 bytes and stops
    // there, although the image has more.
    const Bytes image = sim::sequence(1200000);
    sim.set_firmware(image);
    sim.hold_in_writes(true);
    const uint64_t length = k4GiB + 600000;
    vendor(0x19, static_cast<uint16_t>(600000 >> 16), static_cast<uint16_t>(600000 & 0xFFFF));
    ASSERT_EQ(readSize.load(), length);
    ASSERT_TRUE(sim.wait_for_out("write_all to usb to_write: 512000"));
    ASSERT_TRUE(sim.wait_until([&] { return sim.blocked_count() >= 2; }));  // RX reading, TX writing
    ASSERT_EQ(totalBytesRead.load(), 512000u);
    totalBytesRead.store(k4GiB + 512000);
    sim.hold_in_writes(false);

    ASSERT_TRUE(wait_download_closed());
    EXPECT_EQ(sim.host_received(), Bytes(image.begin(), image.begin() + 600000));
    EXPECT_EQ(totalBytesRead.load(), length);
    const std::string out = sim.out();
    EXPECT_NE(out.find("write 88000 bytes to usb: "), std::string::npos) << out;
    EXPECT_NE(out.find("(totalBytesRead: 4295567296)\n"), std::string::npos);
    // Logged before the descriptor is let go, but printed when the thread next waits.
    EXPECT_TRUE(sim.wait_for_out("TX Thread read all bytes from disk (4295567296)\n"));
    EXPECT_EQ(sim.err().find("End of file"), std::string::npos) << "no read past the length";
}

// ---- The 36-bit length encoding at run time ----------------------------------------

TEST(DownloadLengthEncoding, RoundTripsAcrossTheRange) {
    // Every single bit, every run of low ones, and a sweep with an odd
    // stride over the whole range; the fields are checked against the wire
    // layout: bRequest = (bits 35..32) << 4 | 9, wValue bits 31..16, wIndex
    // bits 15..0.
    std::vector<uint64_t> values = {0, gadgetdfu::kMaxDownloadLength};
    for (int bit = 0; bit < 36; ++bit) {
        values.push_back(uint64_t{1} << bit);
        values.push_back((uint64_t{1} << (bit + 1)) - 1);
    }
    const uint64_t stride = (gadgetdfu::kMaxDownloadLength / 65521) | 1;
    for (uint64_t v = 12345; v <= gadgetdfu::kMaxDownloadLength; v += stride) values.push_back(v);

    size_t failures = 0;
    for (const uint64_t v : values) {
        const gadgetdfu::DownloadRequest r = gadgetdfu::encode_download_length(v);
        const uint64_t from_fields =
            uint64_t{static_cast<uint8_t>(r.bRequest >> 4)} * k4GiB + uint64_t{r.wValue} * 65536 + r.wIndex;
        const bool ok = (r.bRequest & 0x0F) == ORVEN_READ_FIRMWARE && from_fields == v &&
                        gadgetdfu::decode_download_length(r.bRequest, r.wValue, r.wIndex) == v;
        if (!ok && ++failures <= 5)
            ADD_FAILURE() << "length " << v << ": bRequest " << int{r.bRequest} << " wValue " << r.wValue
                          << " wIndex " << r.wIndex;
    }
    EXPECT_EQ(failures, 0u) << "of " << values.size() << " lengths";
    EXPECT_GT(values.size(), 65000u);
}

}  // namespace
