#include "relay/ocs_archive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "foundation/library.h"
#include "relay/ocs_message.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes header(unsigned short sid, unsigned int length, const char* magic = "ZERV") {
  return Bytes{2,
               static_cast<unsigned char>(magic[0]),
               static_cast<unsigned char>(magic[1]),
               static_cast<unsigned char>(magic[2]),
               static_cast<unsigned char>(magic[3]),
               static_cast<unsigned char>(sid >> 8),
               static_cast<unsigned char>(sid),
               static_cast<unsigned char>(length >> 24),
               static_cast<unsigned char>(length >> 16),
               static_cast<unsigned char>(length >> 8),
               static_cast<unsigned char>(length)};
}

Bytes frame_of(unsigned short sid, const Bytes& body) {
  const Bytes head = header(sid, static_cast<unsigned int>(body.size()));
  Bytes frame(head.size() + body.size());
  std::copy(head.begin(), head.end(), frame.begin());
  std::copy(body.begin(), body.end(), frame.begin() + static_cast<std::ptrdiff_t>(head.size()));
  return frame;
}

Bytes payload_text(unsigned int n) {
  Bytes body(n);
  for (unsigned int i = 0; i < n; ++i) body[i] = static_cast<unsigned char>('A' + i % 26);
  return body;
}

Bytes to_bytes(const VGS_Byte_Block& block) {
  const auto* p = static_cast<const unsigned char*>(block.c_ptr(0));
  return p == nullptr ? Bytes() : Bytes(p, p + block.size());
}

// What a decoded message looks like: its id and, for data messages, its payload.
struct Decoded {
  unsigned short sid;
  Bytes payload;
  bool operator==(const Decoded& o) const { return sid == o.sid && payload == o.payload; }
};

Decoded take(CVgsMessage* message) {
  Decoded d{message->get_sid(), {}};
  if (auto* data = dynamic_cast<COCSDataMessage*>(message)) d.payload = to_bytes(data->payload());
  message->release();
  return d;
}

// Feeds `stream` to `archive` in pieces of the given sizes, the way a connection
// does: each piece is offered until all of it is held or consumed.
std::vector<Decoded> feed(COCSArchive& archive, const Bytes& stream,
                          const std::vector<unsigned int>& pieces, int* failure = nullptr) {
  std::vector<Decoded> out;
  unsigned int at = 0;
  for (unsigned int piece : pieces) {
    unsigned int left = piece;
    while (left > 0) {
      CVgsMessage* message = nullptr;
      const int result = archive.read_frame(stream.data() + at, left, message);
      if (result < 0) {
        if (failure != nullptr) *failure = static_cast<int>(VGSLib::GetErrorCode());
        return out;
      }
      if (result == 0) {
        EXPECT_EQ(message, nullptr);
        at += left;
        break;
      }
      EXPECT_LE(static_cast<unsigned int>(result), left);
      EXPECT_NE(message, nullptr);
      out.push_back(take(message));
      at += static_cast<unsigned int>(result);
      left -= static_cast<unsigned int>(result);
    }
  }
  return out;
}

TEST(OcsFrame, WritesTheRequestAndResponseFramesExactly) {
  const Bytes payload = payload_text(44);
  COCSDataReq request;
  request.payload().set(44u, payload.data());
  COCSArchive archive;
  VGS_Byte_Block frame;
  ASSERT_EQ(archive.write_frame(request, frame), 55);
  Bytes expected = {0x02, 'Z', 'E', 'R', 'V', 0x03, 0xE9, 0x00, 0x00, 0x00, 0x2C};
  expected.insert(expected.end(), payload.begin(), payload.end());
  EXPECT_EQ(to_bytes(frame), expected);

  COCSDataRes response;
  response.payload() = request.payload();
  ASSERT_EQ(archive.write_frame(response, frame), 55);
  expected[6] = 0xEA;
  EXPECT_EQ(to_bytes(frame), expected);

  CVgsMessage other(1234);
  ASSERT_EQ(archive.write_frame(other, frame), 11);
  EXPECT_EQ(to_bytes(frame), header(1234, 0));
}

TEST(OcsFrame, WriterRefusesAnEmptyDataPayloadAndKeepsTheBlock) {
  COCSDataRes empty;
  COCSArchive archive;
  VGS_Byte_Block frame(2, "ok");
  EXPECT_EQ(archive.write_frame(empty, frame), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NULL_ARGUMENT);
  EXPECT_EQ(to_bytes(frame), (Bytes{'o', 'k'}));
}

TEST(OcsFrame, WholeFrameDecodesAndTrailingBytesStay) {
  const Bytes first = frame_of(OCS_SID_DATA_REQ, payload_text(44));
  const Bytes second = frame_of(OCS_SID_DATA_RES, payload_text(3));
  Bytes stream = first;
  stream.insert(stream.end(), second.begin(), second.end());

  COCSArchive archive;
  CVgsMessage* message = nullptr;
  ASSERT_EQ(archive.read_frame(stream.data(), static_cast<unsigned int>(stream.size()), message),
            55);
  ASSERT_NE(dynamic_cast<COCSDataReq*>(message), nullptr);
  EXPECT_EQ(take(message), (Decoded{OCS_SID_DATA_REQ, payload_text(44)}));
  ASSERT_EQ(archive.read_frame(stream.data() + 55, 14, message), 14);
  ASSERT_NE(dynamic_cast<COCSDataRes*>(message), nullptr);
  EXPECT_EQ(take(message), (Decoded{OCS_SID_DATA_RES, payload_text(3)}));
}

TEST(OcsFrame, EverySplitIntoTwoAndThreePiecesDecodesTheSame) {
  const Bytes frame = frame_of(OCS_SID_DATA_REQ, payload_text(20));
  const unsigned int size = static_cast<unsigned int>(frame.size());
  const std::vector<Decoded> expected = {{OCS_SID_DATA_REQ, payload_text(20)}};
  COCSArchive archive;
  for (unsigned int a = 0; a <= size; ++a) {
    for (unsigned int b = a; b <= size; ++b) {
      EXPECT_EQ(feed(archive, frame, {a, b - a, size - b}), expected) << a << "," << b;
    }
  }
  // The reader holds everything until the last byte arrives.
  std::vector<unsigned int> ones(size, 1);
  EXPECT_EQ(feed(archive, frame, ones), expected);
}

TEST(OcsFrame, ReturnsZeroUntilTheLastByteAndThenWhatThatCallTook) {
  const Bytes frame = frame_of(OCS_SID_DATA_REQ, payload_text(10));
  COCSArchive archive;
  CVgsMessage* message = nullptr;
  EXPECT_EQ(archive.read_frame(frame.data(), 1, message), 0);
  EXPECT_EQ(archive.read_frame(frame.data() + 1, 10, message), 0);  // header complete
  EXPECT_EQ(archive.read_frame(frame.data() + 11, 4, message), 0);
  EXPECT_EQ(message, nullptr);
  EXPECT_EQ(archive.read_frame(frame.data() + 15, 6, message), 6);
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(take(message), (Decoded{OCS_SID_DATA_REQ, payload_text(10)}));
}

TEST(OcsFrame, RandomFrameStreamsRoundTripInRandomPieces) {
  std::mt19937 rng(4711);
  COCSArchive writer;
  for (int round = 0; round < 50; ++round) {
    Bytes stream;
    std::vector<Decoded> expected;
    const int frames = 1 + static_cast<int>(rng() % 12);
    for (int i = 0; i < frames; ++i) {
      const unsigned int kind = rng() % 3;
      VGS_Byte_Block frame;
      if (kind == 2) {  // an id the relay does not know: the body is skipped
        const unsigned short sid = static_cast<unsigned short>(2000 + rng() % 100);
        Bytes body(rng() % 300);
        for (auto& c : body) c = static_cast<unsigned char>(rng());
        const Bytes f = frame_of(sid, body);
        stream.insert(stream.end(), f.begin(), f.end());
        expected.push_back({OCS_SID_OTHER, {}});
        continue;
      }
      Bytes payload(1 + rng() % 5000);
      for (auto& c : payload) c = static_cast<unsigned char>(rng());
      COCSDataReq req;
      COCSDataRes res;
      COCSDataMessage& message = kind == 0 ? static_cast<COCSDataMessage&>(req) : res;
      message.payload().set(static_cast<unsigned int>(payload.size()), payload.data());
      ASSERT_EQ(writer.write_frame(message, frame), static_cast<int>(11 + payload.size()));
      const Bytes f = to_bytes(frame);
      stream.insert(stream.end(), f.begin(), f.end());
      expected.push_back({message.get_sid(), payload});
    }
    std::vector<unsigned int> pieces;
    for (unsigned int at = 0; at < stream.size();) {
      const unsigned int piece =
          std::min<unsigned int>(static_cast<unsigned int>(stream.size()) - at,
                                 rng() % 2 ? 1 + rng() % 16 : 1 + rng() % 32768);
      pieces.push_back(piece);
      at += piece;
    }
    COCSArchive reader;
    EXPECT_EQ(feed(reader, stream, pieces), expected) << round;
  }
}

TEST(OcsFrame, UnknownIdsBecomeOtherMessagesWithTheBodySkipped) {
  const Bytes stream = [] {
    Bytes s = frame_of(2000, payload_text(7));
    const Bytes empty = header(5, 0);
    const Bytes req = frame_of(OCS_SID_DATA_REQ, payload_text(2));
    s.insert(s.end(), empty.begin(), empty.end());
    s.insert(s.end(), req.begin(), req.end());
    return s;
  }();
  COCSArchive archive;
  const std::vector<Decoded> expected = {
      {OCS_SID_OTHER, {}}, {OCS_SID_OTHER, {}}, {OCS_SID_DATA_REQ, payload_text(2)}};
  EXPECT_EQ(feed(archive, stream, {static_cast<unsigned int>(stream.size())}), expected);
  CVgsMessage* message = nullptr;
  EXPECT_EQ(archive.read_frame(stream.data() + 18, 11, message), 11);  // header-only frame
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(typeid(*message), typeid(CVgsMessage));
  message->release();
}

TEST(OcsFrame, MagicIsCaseInsensitiveAndOtherwiseExact) {
  COCSArchive archive;
  Bytes frame = frame_of(OCS_SID_DATA_REQ, payload_text(4));
  std::memcpy(frame.data() + 1, "zErv", 4);
  EXPECT_EQ(feed(archive, frame, {static_cast<unsigned int>(frame.size())}).size(), 1u);
  for (int letter = 0; letter < 4; ++letter) {
    Bytes bad = frame_of(OCS_SID_DATA_REQ, payload_text(4));
    bad[1 + letter] = '?';
    int failure = 0;
    EXPECT_TRUE(feed(archive, bad, {3, 12}, &failure).empty());
    EXPECT_EQ(static_cast<unsigned long>(failure), VGS_ERR_PROTOCOL) << letter;
  }
}

TEST(OcsFrame, RefusedFramesResetTheReader) {
  const Bytes good = frame_of(OCS_SID_DATA_REQ, payload_text(5));
  const std::vector<Decoded> expected = {{OCS_SID_DATA_REQ, payload_text(5)}};
  COCSArchive archive;
  CVgsMessage* message = nullptr;

  // A body above the 16 MiB cap is refused as soon as the header is in.
  const Bytes huge = header(OCS_SID_DATA_REQ, COCSArchive::OCS_MAX_BODY + 1);
  EXPECT_EQ(archive.read_frame(huge.data(), 6, message), 0);
  EXPECT_EQ(archive.read_frame(huge.data() + 6, 5, message), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), static_cast<unsigned long>(WSAEMSGSIZE));
  EXPECT_EQ(feed(archive, good, {static_cast<unsigned int>(good.size())}), expected);

  const Bytes max = header(OCS_SID_DATA_RES, 0xFFFFFFFFu);
  EXPECT_EQ(archive.read_frame(max.data(), 11, message), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), static_cast<unsigned long>(WSAEMSGSIZE));

  // Zero-length data bodies are refused by the CDR input.
  for (unsigned short sid : {OCS_SID_DATA_REQ, OCS_SID_DATA_RES}) {
    const Bytes empty = header(sid, 0);
    EXPECT_EQ(archive.read_frame(empty.data(), 11, message), -1);
    EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NULL_ARGUMENT);
    EXPECT_EQ(message, nullptr);
  }
  EXPECT_EQ(feed(archive, good, {4, 9, 3}), expected);

  // Null data.
  EXPECT_EQ(archive.read_frame(nullptr, 3u, message), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NULL_ARGUMENT);
  EXPECT_EQ(archive.read_frame(good.data(), 0u, message), 0);
  EXPECT_EQ(feed(archive, good, {static_cast<unsigned int>(good.size())}), expected);
}

TEST(OcsFrame, BodyAtTheCapIsAccepted) {
  const unsigned int size = COCSArchive::OCS_MAX_BODY;
  Bytes stream = header(OCS_SID_DATA_REQ, size);
  stream.resize(11 + size, 0x42);
  COCSArchive archive;
  std::vector<unsigned int> pieces = {11};
  for (unsigned int at = 0; at < size; at += 65536) pieces.push_back(65536);
  const std::vector<Decoded> decoded = feed(archive, stream, pieces);
  ASSERT_EQ(decoded.size(), 1u);
  EXPECT_EQ(decoded[0].payload.size(), size);
  EXPECT_EQ(decoded[0].payload.back(), 0x42);
}

// An archive's own bound: a body up to it is read, one byte more of any id is refused at
// the header; a bound above the fixed cap keeps the cap.
TEST(OcsFrame, AnArchivesBodyBoundRefusesLargerFramesAtTheHeader) {
  COCSArchive archive;
  archive.set_max_body(100);
  const std::vector<Decoded> expected = {{OCS_SID_DATA_REQ, payload_text(100)}};
  EXPECT_EQ(feed(archive, frame_of(OCS_SID_DATA_REQ, payload_text(100)), {11, 100}), expected);
  for (unsigned short sid : {OCS_SID_DATA_REQ, OCS_SID_DATA_RES, static_cast<unsigned short>(7)}) {
    const Bytes over = header(sid, 101);
    CVgsMessage* message = nullptr;
    EXPECT_EQ(archive.read_frame(over.data(), 11, message), -1);
    EXPECT_EQ(VGSLib::GetErrorCode(), static_cast<unsigned long>(WSAEMSGSIZE));
  }
  archive.set_max_body(0xFFFFFFFFu);
  EXPECT_EQ(archive.max_body(), COCSArchive::OCS_MAX_BODY);
}

TEST(OcsFrame, HeaderHelpers) {
  unsigned char buffer[11];
  EXPECT_EQ(COCSArchive::write_header(buffer, 10, 1, 2), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_OUTPUT_OVERFLOW);
  EXPECT_EQ(COCSArchive::write_header(buffer, 11, 0xBEEF, 0x01020304), 11);
  EXPECT_EQ(Bytes(buffer, buffer + 11), (Bytes{2, 'Z', 'E', 'R', 'V', 0xBE, 0xEF, 1, 2, 3, 4}));
  unsigned short sid = 0;
  unsigned int length = 0;
  EXPECT_EQ(COCSArchive::read_header(buffer, 10, sid, length), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_INPUT_UNDERFLOW);
  buffer[0] = 77;  // the version byte is ignored
  EXPECT_EQ(COCSArchive::read_header(buffer, 11, sid, length), 11);
  EXPECT_EQ(sid, 0xBEEF);
  EXPECT_EQ(length, 0x01020304u);
}

}  // namespace
