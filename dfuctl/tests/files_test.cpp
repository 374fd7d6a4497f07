// Image files on every platform: bytes pass unchanged (no newline or
// end-of-file translation), an output file replaces the old one only when
// committed, sizes are known for files and not for pipes, and unusable paths
// end with their exit statuses.
#include "files.hpp"

#include <filesystem>

#include <gtest/gtest.h>

#include "helpers.hpp"

namespace dfuctl {
namespace {

using testing::exit_of;
using testing::TempDir;

TEST(Files, BytesRoundTripUnchanged) {
    // Every byte value, "\r\n" and 0x1A (text-mode end of file) among them,
    // written in two pieces over an older file, read back in one read of
    // more than the file.
    std::vector<std::uint8_t> data = testing::pattern(3 * 65536 + 17);
    data[10] = '\r', data[11] = '\n', data[12] = 0x1a, data[13] = '\n';
    const TempDir dir;
    const std::string file = dir.write("image.bin", {1, 2, 3});
    {
        OutputFile out(file);
        write_full(out.fd(), std::span<const std::uint8_t>(data).first(100), file);
        write_full(out.fd(), std::span<const std::uint8_t>(data).subspan(100), file);
        out.commit();
    }
    EXPECT_EQ(dir.names(), std::vector<std::string>{"image.bin"});
    const UniqueFd in = open_input(file);
    EXPECT_EQ(input_size(in.get()), data.size());
    std::vector<std::uint8_t> back(data.size() + 4096);
    ASSERT_EQ(read_full(in.get(), back, file), data.size());
    back.resize(data.size());
    EXPECT_EQ(back, data);
}

TEST(Files, PipeHasNoSize) {
    int fds[2];
    ASSERT_TRUE(testing::make_pipe(fds));
    const UniqueFd read_end(fds[0]), write_end(fds[1]);
    EXPECT_EQ(input_size(read_end.get()), std::nullopt);
}

TEST(Files, UnusablePathsFailWithTheirStatus) {
    const TempDir dir;
    std::filesystem::create_directory(dir.file("folder"));
    EXPECT_EQ(exit_of([&] { open_input(dir.file("missing.bin")); }), Exit::NoInput);
    EXPECT_EQ(exit_of([&] { open_input(dir.file("folder")); }), Exit::NoInput);
    EXPECT_EQ(exit_of([&] { OutputFile(dir.file("missing/out.bin")); }), Exit::CantCreate);
    EXPECT_EQ(exit_of([&] { OutputFile(dir.file("folder")); }), Exit::CantCreate);
}

}  // namespace
}  // namespace dfuctl
