// eMMC wear values: the concatenated text from the board, decoded into
// life-time estimations A and B and the pre-EOL information.
#include <gtest/gtest.h>

#include "replies.hpp"

namespace dfuctl {
namespace {

TEST(EmmcWear, ThreeValuesInOrder) {
    const auto w = decode_emmc_wear("0x010x020x01");
    EXPECT_EQ(w.life_time_est_a.raw, "0x01");
    EXPECT_EQ(w.life_time_est_a.value, 1u);
    EXPECT_EQ(w.life_time_est_a.text, "0-10% of life used");
    EXPECT_EQ(w.life_time_est_b.raw, "0x02");
    EXPECT_EQ(w.life_time_est_b.text, "10-20% of life used");
    EXPECT_EQ(w.pre_eol_info.raw, "0x01");
    EXPECT_EQ(w.pre_eol_info.text, "normal");
    EXPECT_EQ(w.raw, "0x010x020x01");
}

TEST(EmmcWear, EveryLifeTimeStep) {
    EXPECT_EQ(life_time_text(0x00), "not defined");
    EXPECT_EQ(life_time_text(0x05), "40-50% of life used");
    EXPECT_EQ(life_time_text(0x0A), "90-100% of life used");
    EXPECT_EQ(life_time_text(0x0B), "exceeded its maximum estimated life");
    EXPECT_EQ(life_time_text(0x0C), "reserved value 0x0c");
    EXPECT_EQ(life_time_text(std::nullopt), "not defined");
}

TEST(EmmcWear, EveryPreEolValue) {
    EXPECT_EQ(pre_eol_text(0), "not defined");
    EXPECT_EQ(pre_eol_text(1), "normal");
    EXPECT_EQ(pre_eol_text(2), "warning (80% of reserved blocks consumed)");
    EXPECT_EQ(pre_eol_text(3), "urgent");
    EXPECT_EQ(pre_eol_text(4), "reserved value 0x04");
}

TEST(EmmcWear, NothingSentMeansNotDefined) {
    const auto w = decode_emmc_wear("");
    for (const auto* f : {&w.life_time_est_a, &w.life_time_est_b, &w.pre_eol_info}) {
        EXPECT_FALSE(f->raw);
        EXPECT_EQ(f->text, "not defined");
    }
}

TEST(EmmcWear, MissingValuesAtTheEnd) {
    const auto w = decode_emmc_wear("0x0a");
    EXPECT_EQ(w.life_time_est_a.text, "90-100% of life used");
    EXPECT_FALSE(w.life_time_est_b.raw);
    EXPECT_EQ(w.life_time_est_b.text, "not defined");
    EXPECT_EQ(w.pre_eol_info.text, "not defined");
}

// A last line without its newline loses its last character on the board.
TEST(EmmcWear, TruncatedLastValue) {
    const auto w = decode_emmc_wear("0x010x020x0");
    EXPECT_EQ(w.life_time_est_b.value, 2u);
    EXPECT_EQ(w.pre_eol_info.raw, "0x0");
    EXPECT_EQ(w.pre_eol_info.value, 0u);
    EXPECT_EQ(w.pre_eol_info.text, "not defined");
}

// The '0' that ends a value followed by the next "0x" must not be taken
// for the start of that next value.
TEST(EmmcWear, ValueEndingInZeroBeforeTheNextPrefix) {
    const auto w = decode_emmc_wear("0x100x0b0x03");
    EXPECT_EQ(w.life_time_est_a.raw, "0x10");
    EXPECT_EQ(w.life_time_est_a.text, "reserved value 0x10");
    EXPECT_EQ(w.life_time_est_b.raw, "0x0b");
    EXPECT_EQ(w.life_time_est_b.text, "exceeded its maximum estimated life");
    EXPECT_EQ(w.pre_eol_info.text, "urgent");
}

TEST(EmmcWear, OddInputs) {
    const auto upper = decode_emmc_wear("0X030X0A0X02");
    EXPECT_EQ(upper.life_time_est_a.value, 3u);
    EXPECT_EQ(upper.life_time_est_b.value, 10u);
    EXPECT_EQ(upper.pre_eol_info.value, 2u);

    const auto garbage = decode_emmc_wear("n/a");
    EXPECT_EQ(garbage.life_time_est_a.raw, "n/a");
    EXPECT_FALSE(garbage.life_time_est_a.value);
    EXPECT_EQ(garbage.life_time_est_a.text, "unrecognised value");
    EXPECT_EQ(garbage.life_time_est_b.text, "not defined");

    const auto bare_prefix = decode_emmc_wear("0x0x02");
    EXPECT_EQ(bare_prefix.life_time_est_a.text, "unrecognised value");
    EXPECT_EQ(bare_prefix.life_time_est_b.value, 2u);

    const auto blanks = decode_emmc_wear("0x01 0x02\n0x03\n");
    EXPECT_EQ(blanks.life_time_est_a.value, 1u);
    EXPECT_EQ(blanks.life_time_est_b.value, 2u);
    EXPECT_EQ(blanks.pre_eol_info.value, 3u);

    // A prefix reported twice by the board adds a fourth value; the first
    // three keep their places.
    const auto four = decode_emmc_wear("0x010x020x010x05");
    EXPECT_EQ(four.pre_eol_info.value, 1u);

    const auto huge = decode_emmc_wear("0xffffffffff");
    EXPECT_FALSE(huge.life_time_est_a.value);
}

}  // namespace
}  // namespace dfuctl
