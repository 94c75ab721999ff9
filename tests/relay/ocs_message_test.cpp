#include "relay/ocs_message.h"

#include <gtest/gtest.h>

#include <thread>
#include <typeinfo>
#include <vector>

#include "foundation/library.h"

namespace {

TEST(OcsMessage, FactoryMakesTheClassForEachId) {
  const CVGSMsgFactory& factory = CVGSMsgFactory::instance();
  EXPECT_EQ(&factory, &CVGSMsgFactory::instance());

  CVgsMessage* req = factory.create_message(OCS_MSG_CLASS, OCS_SID_DATA_REQ);
  ASSERT_NE(req, nullptr);
  EXPECT_EQ(typeid(*req), typeid(COCSDataReq));
  EXPECT_EQ(req->get_stype(), OCS_MSG_CLASS);
  EXPECT_EQ(req->get_sid(), OCS_SID_DATA_REQ);
  EXPECT_EQ(req->get_key(), 0u);
  req->release();

  CVgsMessage* res = factory.create_message(OCS_MSG_CLASS, OCS_SID_DATA_RES);
  ASSERT_NE(res, nullptr);
  EXPECT_EQ(typeid(*res), typeid(COCSDataRes));
  res->release();

  for (unsigned short sid : {0, 1000, 1003, 65535}) {
    CVgsMessage* other = factory.create_message(OCS_MSG_CLASS, sid);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(typeid(*other), typeid(CVgsMessage));
    EXPECT_EQ(other->get_sid(), OCS_SID_OTHER);
    other->release();
  }

  VGSLib::SetErrorCode(0);
  EXPECT_EQ(factory.create_stream(101, OCS_SID_DATA_REQ), nullptr);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_PROTOCOL);
}

TEST(OcsMessage, LastReleaseDeletesAcrossThreads) {
  auto* message = new COCSDataReq();
  message->payload().set(5u, "hello");
  message->set_key(42);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    message->addref();
    threads.emplace_back([message] {
      for (int i = 0; i < 1000; ++i) {
        message->addref();
        message->release();
      }
      message->release();
    });
  }
  for (auto& thread : threads) thread.join();
  // One reference is left: ours. Reading through it after the threads' releases
  // would be a use after free had any release deleted early.
  EXPECT_EQ(message->get_key(), 42u);
  EXPECT_EQ(message->payload().size(), 5u);
  EXPECT_EQ(message->release(), 0);
}

}  // namespace
