#include <gtest/gtest.h>

#include "core/endian.hpp"
#include "testing/testing.hpp"
#include "udif/udif.hpp"

using udif::BlockRun;
using udif::BlockType;
using udif::KivError;
using udif::KolyHeader;
using udif::MishHeader;
using Kind = KivError::Kind;

TEST(Errors, KindsAndTexts) {
    EXPECT_EQ(KivError::invalid_magic().message(), "invalid DMG magic: expected 'koly' trailer");
    EXPECT_EQ(KivError::io(core::IoError::unexpected_eof()).message(), "I/O error: failed to fill whole buffer");
    EXPECT_EQ(KivError::unsupported_compression(3).message(), "unsupported compression type: 0x3");
    EXPECT_EQ(KivError::unsupported_compression(0x80000009).message(), "unsupported compression type: 0x80000009");
    EXPECT_EQ(KivError::checksum_mismatch(0x13be34b8, 0).message(), "checksum mismatch: expected 0x13be34b8, got 0x0");
    EXPECT_EQ(KivError::file_not_found("partition 7").message(), "file not found: partition 7");
    // The kinds keep their numbering: the Python layer maps by it.
    EXPECT_EQ(int(KivError::invalid_magic().kind()), 0);
    EXPECT_EQ(int(KivError::unsupported_compression(3).kind()), 7);
    EXPECT_EQ(int(KivError::unsupported("x").kind()), 12);
    EXPECT_EQ(int(KivError::checksum_mismatch(1, 2).kind()), 13);
}

TEST(Checksum, Crc32AndFields) {
    EXPECT_EQ(udif::checksum::crc32(core::as_bytes("abc")), 0x352441C2u);
    std::vector<uint8_t> zeros(5000, 0);
    EXPECT_EQ(udif::checksum::crc32_zeros(udif::checksum::crc32(core::as_bytes("ab")), 5000),
              udif::checksum::crc32_update(udif::checksum::crc32(core::as_bytes("ab")), zeros));

    auto field = udif::checksum::create_checksum_array(0x11223344);
    EXPECT_EQ(field[0], 0x11);
    EXPECT_EQ(field[3], 0x44);
    EXPECT_TRUE(std::all_of(field.begin() + 4, field.end(), [](uint8_t b) { return b == 0; }));

    udif::ChecksumField other{};
    other[10] = 1;  // only the first word counts
    EXPECT_FALSE(udif::checksum::has_checksum(2, other));
    EXPECT_FALSE(udif::checksum::has_checksum(1, field));
    EXPECT_TRUE(udif::checksum::has_checksum(2, field));

    auto abc = udif::checksum::create_checksum_array(0x352441C2);
    EXPECT_FALSE(udif::checksum::verify_crc32(2, abc, core::as_bytes("abc")));
    auto bad = udif::checksum::verify_crc32(2, abc, core::as_bytes("abd"));
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->first, 0x352441C2u);
}

TEST(Trailer, FieldsSitWhereHdiutilPutsThem) {
    KolyHeader t;
    t.master_checksum_type = 2;
    t.master_checksum = udif::checksum::create_checksum_array(0x13BE34B8);
    t.sector_count = 3817;
    t.xml_offset = 11984;
    t.xml_length = 7560;
    auto b = t.to_bytes();
    EXPECT_EQ(core::load_be32(&b[352]), 2u);
    EXPECT_EQ(core::load_be32(&b[356]), 32u);
    EXPECT_EQ(core::load_be32(&b[360]), 0x13BE34B8u);
    EXPECT_EQ(core::load_be32(&b[488]), 1u);
    EXPECT_EQ(core::load_be64(&b[492]), 3817u);
    EXPECT_EQ(core::load_be64(&b[216]), 11984u);
    EXPECT_TRUE(std::all_of(&b[500], &b[512], [](uint8_t x) { return x == 0; }));

    auto back = KolyHeader::parse(b);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->to_bytes(), b);
    EXPECT_TRUE(back->has_master_checksum());
    EXPECT_FALSE(back->has_data_checksum());
}

TEST(Trailer, ReadFromSources) {
    KolyHeader t;
    t.version = 0;
    t.header_size = 0;
    auto bytes = t.to_bytes();
    core::MemorySource exact(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    auto r = KolyHeader::read(exact);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->version, 0u);

    core::MemorySource short_file(std::vector<uint8_t>(511, 0));
    auto s = KolyHeader::read(short_file);
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().message(), "I/O error: failed to fill whole buffer");

    bytes[0] = 'K';
    core::MemorySource wrong(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    EXPECT_EQ(KolyHeader::read(wrong).error().kind(), Kind::InvalidMagic);
}

TEST(BlockMap, ParsesAndRefusesMalformedMaps) {
    MishHeader m;
    m.sector_count = 8;
    auto bytes = m.to_bytes();
    ASSERT_EQ(bytes.size(), 204u);
    auto empty = MishHeader::from_bytes(bytes);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->runs.empty());

    // A run count the bytes cannot hold: a short read, not an allocation.
    for (uint32_t count : {1u, 0xFFFFFFFFu}) {
        core::store_be32(&bytes[200], count);
        auto r = MishHeader::from_bytes(bytes);
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().kind(), Kind::Io);
        EXPECT_EQ(r.error().message(), "I/O error: failed to fill whole buffer");
    }

    EXPECT_EQ(MishHeader::from_bytes(std::vector<uint8_t>(203, 0)).error().message(),
              "invalid block map: mish data too short");
    EXPECT_EQ(MishHeader::from_bytes(std::vector<uint8_t>(204, 0)).error().message(),
              "invalid block map: invalid mish magic: [0, 0, 0, 0]");
}

TEST(BlockMap, RunsRoundTripAndUnknownTypesAreRefused) {
    MishHeader m;
    m.first_sector = 7;
    m.sector_count = 100;
    m.runs = {{BlockType::Zlib, 0, 0, 64, 10, 20},
              {BlockType::Comment, 0, 64, 0, 0, 0},
              {BlockType::Terminator, 0, 100, 0, 0, 0}};
    auto bytes = m.to_bytes();
    bytes.insert(bytes.end(), 13, 0xEE);  // trailing bytes are ignored
    auto back = MishHeader::from_bytes(bytes);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->runs.size(), 3u);
    EXPECT_EQ(back->first_sector, 7u);
    EXPECT_EQ(back->runs[0].compressed_length, 20u);
    EXPECT_EQ(back->runs[2].type, BlockType::Terminator);

    core::store_be32(&bytes[204 + 40], 3);
    auto bad = MishHeader::from_bytes(bytes);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().kind(), Kind::UnsupportedCompression);
    EXPECT_EQ(bad.error().block_type(), 3u);

    EXPECT_EQ(BlockRun::from_bytes(std::vector<uint8_t>(39, 0)).error().message(),
              "invalid block map: block run too short");
}
