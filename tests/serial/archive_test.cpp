#include "serial/archive.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <memory>
#include <random>
#include <vector>

#include "foundation/exception.h"
#include "foundation/file_util.h"
#include "foundation/library.h"
#include "platform/file.h"
#include "serial/object_factory.h"
#include "serial/serializable.h"

namespace {

// stype 0x66, sid 7: one 32-bit value; `announced` is what calc_size claims.
class Counter : public VGS_Serializable {
 public:
  explicit Counter(std::uint32_t value = 0, unsigned int announced = 4)
      : VGS_Serializable(0x66, 7), value_(value), announced_(announced) {}
  int serialize(VGS_Archive& ar) const override {
    ar << value_;
    return 0;
  }
  int deserialize(VGS_Archive& ar) override {
    ar >> value_;
    return 0;
  }
  void calc_size(VGS_Archive& ar) const override {
    for (unsigned int i = 0; i < announced_; ++i) ar += std::uint8_t{0};
  }
  std::uint32_t value_;
  unsigned int announced_;
};

// stype 1, sid 2: every value type and a length-prefixed byte block.
class Record : public VGS_Serializable {
 public:
  Record() : VGS_Serializable(1, 2) {}
  int serialize(VGS_Archive& ar) const override {
    ar << b << s << l << q << f << d << payload.size() << payload;
    return 0;
  }
  int deserialize(VGS_Archive& ar) override {
    std::uint32_t n = 0;
    ar >> b >> s >> l >> q >> f >> d >> n;
    if (payload.set(n, nullptr) < 0) return -1;
    if (n != 0) ar >> payload;
    return 0;
  }
  void calc_size(VGS_Archive& ar) const override {
    ar += b;
    ar += s;
    ar += l;
    ar += q;
    ar += f;
    ar += d;
    ar += payload.size();
    ar += payload;
  }
  bool same(const Record& o) const {
    return b == o.b && s == o.s && l == o.l && q == o.q && f == o.f && d == o.d &&
           payload.size() == o.payload.size() &&
           (payload.size() == 0 || std::memcmp(payload.c_ptr(0), o.payload.c_ptr(0),
                                               payload.size()) == 0);
  }
  std::uint8_t b = 0;
  std::int16_t s = 0;
  std::uint32_t l = 0;
  std::int64_t q = 0;
  float f = 0;
  double d = 0;
  VGS_Byte_Block payload;
};

class TestFactory : public VGS_Object_Factory {
 public:
  VGS_Serializable* create_stream(unsigned short stype, unsigned short sid) const override {
    if (stype == 0x66 && sid == 7) return new Counter();
    if (stype == 1 && sid == 2) return new Record();
    return nullptr;
  }
};

class NullFactory : public VGS_Object_Factory {};

const std::vector<unsigned char> kCounterFrame = {
    'V', 'G', 'S', 'S', 0x00, 0x66, 0x00, 0x07, 0x00, 0x00, 0x00, 0x04,
    0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05};

std::vector<unsigned char> to_vector(const VGS_Byte_Block& block) {
  const auto* p = static_cast<const unsigned char*>(block.c_ptr(0));
  return std::vector<unsigned char>(p, p + block.size());
}

TEST(Archive, EncodesTheExampleFrameExactly) {
  VGS_Archive archive;
  VGS_Byte_Block block;
  EXPECT_EQ(archive.serialize(block, Counter(5)), 24);
  EXPECT_EQ(to_vector(block), kCounterFrame);
}

TEST(Archive, DecodesTheExampleInPieces) {
  VGS_Archive archive;
  TestFactory factory;
  VGS_Serializable* object = nullptr;
  const unsigned char* frame = kCounterFrame.data();
  EXPECT_EQ(archive.deserialize(frame, 3, factory, object), 0);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(archive.deserialize(frame + 3, 17, factory, object), 0);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(archive.deserialize(frame + 20, 4, factory, object), 4);
  std::unique_ptr<VGS_Serializable> owned(object);
  auto* counter = dynamic_cast<Counter*>(object);
  ASSERT_NE(counter, nullptr);
  EXPECT_EQ(counter->value_, 5u);
}

TEST(Archive, WholeFrameLeavesTrailingBytesAndAcceptsLowerCaseMagic) {
  std::vector<unsigned char> data = kCounterFrame;
  data.insert(data.end(), kCounterFrame.begin(), kCounterFrame.begin() + 6);
  data[0] = 'v';
  data[2] = 's';
  VGS_Archive archive;
  TestFactory factory;
  VGS_Serializable* object = nullptr;
  EXPECT_EQ(archive.deserialize(data.data(), 30, factory, object), 24);
  std::unique_ptr<VGS_Serializable> owned(object);
  ASSERT_NE(object, nullptr);
  // The archive starts a new frame with the bytes left over.
  VGS_Serializable* next = nullptr;
  EXPECT_EQ(archive.deserialize(data.data() + 24, 6, factory, next), 0);
  EXPECT_EQ(next, nullptr);
}

TEST(Archive, EveryTwoWaySplitDecodesTheSameObject) {
  Record record;
  record.b = 200;
  record.s = -300;
  record.l = 0xCAFEBABE;
  record.q = -5;
  record.f = 0.5f;
  record.d = 1e300;
  record.payload.set(37u, "the quick brown fox jumps over a dog!");
  VGS_Archive writer;
  VGS_Byte_Block frame;
  const int size = writer.serialize(frame, record);
  ASSERT_EQ(size, 20 + 1 + 2 + 4 + 8 + 4 + 8 + 4 + 37);
  const auto* bytes = static_cast<const unsigned char*>(frame.c_ptr(0));

  TestFactory factory;
  VGS_Archive reader;
  for (int cut = 0; cut <= size; ++cut) {
    VGS_Serializable* object = nullptr;
    int first = reader.deserialize(bytes, static_cast<unsigned int>(cut), factory, object);
    if (cut < size) {
      ASSERT_EQ(first, 0) << cut;
      ASSERT_EQ(reader.deserialize(bytes + cut, static_cast<unsigned int>(size - cut),
                                   factory, object),
                size - cut)
          << cut;
    } else {
      ASSERT_EQ(first, size);
    }
    std::unique_ptr<VGS_Serializable> owned(object);
    auto* decoded = dynamic_cast<Record*>(object);
    ASSERT_NE(decoded, nullptr) << cut;
    EXPECT_TRUE(decoded->same(record)) << cut;
  }
}

TEST(Archive, RandomRecordsRoundTripInRandomPieces) {
  std::mt19937 rng(12345);
  TestFactory factory;
  VGS_Archive reader;
  for (int round = 0; round < 200; ++round) {
    Record record;
    record.b = static_cast<std::uint8_t>(rng());
    record.s = static_cast<std::int16_t>(rng());
    record.l = rng();
    record.q = static_cast<std::int64_t>((static_cast<std::uint64_t>(rng()) << 32) | rng());
    record.f = static_cast<float>(rng()) / 7.0f;
    record.d = static_cast<double>(rng()) * -1.5;
    std::vector<unsigned char> payload(rng() % 9000);
    for (auto& c : payload) c = static_cast<unsigned char>(rng());
    record.payload.set(static_cast<unsigned int>(payload.size()), payload.data());

    VGS_Archive writer;
    VGS_Byte_Block frame;
    const int size = writer.serialize(frame, record);
    ASSERT_GT(size, 0);
    const auto* bytes = static_cast<const unsigned char*>(frame.c_ptr(0));
    int at = 0;
    VGS_Serializable* object = nullptr;
    while (object == nullptr) {
      ASSERT_LT(at, size);
      const int piece = std::min<int>(size - at, 1 + static_cast<int>(rng() % 3000));
      const int result =
          reader.deserialize(bytes + at, static_cast<unsigned int>(piece), factory, object);
      ASSERT_GE(result, 0);
      at += object == nullptr ? piece : result;
    }
    EXPECT_EQ(at, size);
    std::unique_ptr<VGS_Serializable> owned(object);
    EXPECT_TRUE(static_cast<Record*>(object)->same(record)) << round;
  }
}

TEST(Archive, UnderstatedSizeFailsAndLeavesTheBlock) {
  VGS_Archive archive;
  VGS_Byte_Block block(3, "old");
  VGSLib::SetErrorCode(0);
  EXPECT_EQ(archive.serialize(block, Counter(5, 2)), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_OUTPUT_OVERFLOW);
  EXPECT_EQ(to_vector(block), (std::vector<unsigned char>{'o', 'l', 'd'}));
  // Overstated: the frame would carry trailing garbage; refused as well.
  EXPECT_EQ(archive.serialize(block, Counter(5, 6)), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_OUTPUT_OVERFLOW);
  EXPECT_EQ(block.size(), 3u);
}

TEST(Archive, SerializeIntoCallerBuffer) {
  unsigned char small[23];
  VGS_Archive archive;
  VGSLib::SetErrorCode(0);
  EXPECT_EQ(archive.serialize(small, 19u, Counter(5)), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_OUTPUT_OVERFLOW);
  EXPECT_EQ(archive.serialize(small, sizeof(small), Counter(5)), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_OUTPUT_OVERFLOW);
  EXPECT_EQ(archive.serialize(nullptr, 100u, Counter(5)), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NULL_ARGUMENT);

  unsigned char buffer[40];
  std::memset(buffer, 0xEE, sizeof(buffer));
  EXPECT_EQ(archive.serialize(buffer, sizeof(buffer), Counter(5)), 24);
  EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + 24), kCounterFrame);
  EXPECT_EQ(buffer[24], 0xEE);
}

TEST(Archive, RefusedFramesResetTheArchive) {
  TestFactory factory;
  VGS_Archive archive;
  VGS_Serializable* object = nullptr;

  // No object for the announced type.
  NullFactory none;
  VGSLib::SetErrorCode(0);
  EXPECT_EQ(archive.deserialize(kCounterFrame.data(), 24, none, object), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_PROTOCOL);
  EXPECT_EQ(object, nullptr);

  // Wrong magic after a partial header.
  std::vector<unsigned char> bad = kCounterFrame;
  bad[3] = 'X';
  EXPECT_EQ(archive.deserialize(bad.data(), 10, factory, object), 0);
  EXPECT_EQ(archive.deserialize(bad.data() + 10, 14, factory, object), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_PROTOCOL);

  // A body shorter than the object reads: the half-made object is deleted.
  std::vector<unsigned char> shorter = kCounterFrame;
  shorter[11] = 2;
  shorter.resize(22);
  EXPECT_EQ(archive.deserialize(shorter.data(), 22, factory, object), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_INPUT_UNDERFLOW);
  EXPECT_EQ(object, nullptr);

  // Null data.
  EXPECT_EQ(archive.deserialize(nullptr, 5u, factory, object), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NULL_ARGUMENT);

  // After each failure the next frame starts from scratch.
  EXPECT_EQ(archive.deserialize(kCounterFrame.data(), 24, factory, object), 24);
  std::unique_ptr<VGS_Serializable> owned(object);
  ASSERT_NE(object, nullptr);
}

TEST(Archive, HeaderHelpers) {
  VGS_Archive archive;
  unsigned char header[16];
  VGSLib::SetErrorCode(0);
  EXPECT_EQ(archive.build_header(header, 15, 0, 1, 2, 3, 4), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_OUTPUT_OVERFLOW);
  EXPECT_EQ(archive.build_header(header, 16, 9, 0x66, 0x1234, 0x01020304, 5), 16);
  EXPECT_EQ(archive.parse_header(header, 15), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_INPUT_UNDERFLOW);
  EXPECT_EQ(archive.parse_header(header, 16), 16);
  EXPECT_EQ(archive.get_ver(), 9u);
  EXPECT_EQ(archive.get_stype(), 0x66);
  EXPECT_EQ(archive.get_sid(), 0x1234);
  EXPECT_EQ(archive.get_bodysize(), 0x01020304u);
}

// A scratch file that is removed again.
class ScratchFile {
 public:
  ScratchFile()
      : path_(::testing::TempDir() + "vgss_archive_test_" + std::to_string(std::random_device()())) {
    handle_ = VGSLib::create(path_.c_str(), true, 0);
  }
  ~ScratchFile() {
    if (handle_is_valid(handle_)) plat::CloseFile(handle_);
    VGSLib::deletefile(path_.c_str());
  }
  void* handle() const { return handle_; }
  void rewind() { VGSLib::seek(handle_, 0, FILE_BEGIN); }
  void truncate(unsigned long long size) { VGSLib::setfsize(handle_, size); }

 private:
  std::string path_;
  void* handle_;
};

TEST(Archive, FramesWrittenToAFileReadBackWhole) {
  ScratchFile file;
  ASSERT_TRUE(handle_is_valid(file.handle()));
  Record record;
  record.l = 77;
  std::vector<unsigned char> payload(10000);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<unsigned char>(i * 7);
  record.payload.set(10000u, payload.data());
  VGS_Archive archive;
  const int size = archive.serialize(file.handle(), record);
  ASSERT_EQ(size, 20 + 31 + 10000);
  ASSERT_EQ(archive.serialize(file.handle(), Counter(9)), 24);

  file.rewind();
  TestFactory factory;
  VGS_Serializable* object = nullptr;
  ASSERT_EQ(archive.deserialize(file.handle(), factory, object), size);
  std::unique_ptr<VGS_Serializable> first(object);
  ASSERT_NE(object, nullptr);
  EXPECT_TRUE(static_cast<Record*>(object)->same(record));
  ASSERT_EQ(archive.deserialize(file.handle(), factory, object), 24);
  std::unique_ptr<VGS_Serializable> second(object);
  EXPECT_EQ(static_cast<Counter*>(object)->value_, 9u);

  // End of file: the read result (0) comes back as it is.
  EXPECT_EQ(archive.deserialize(file.handle(), factory, object), 0);
  EXPECT_EQ(object, nullptr);

  // A body cut short by the end of the file.
  file.truncate(static_cast<unsigned long long>(size) - 1);
  file.rewind();
  VGSLib::SetErrorCode(0);
  EXPECT_EQ(archive.deserialize(file.handle(), factory, object), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_INPUT_UNDERFLOW);
  EXPECT_EQ(object, nullptr);
  // A header cut short.
  file.truncate(10);
  file.rewind();
  EXPECT_EQ(archive.deserialize(file.handle(), factory, object), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_INPUT_UNDERFLOW);
}

TEST(Archive, CloneCopiesThroughTheFactory) {
  Counter original(0xA1B2C3D4);
  TestFactory factory;
  std::unique_ptr<VGS_Serializable> copy(original.clone(factory));
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy.get(), &original);
  EXPECT_EQ(static_cast<Counter*>(copy.get())->value_, 0xA1B2C3D4u);
  EXPECT_EQ(original.clone(NullFactory()), nullptr);
}

}  // namespace
