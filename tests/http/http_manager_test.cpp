#include "http/http_request_manager.h"

#include <gtest/gtest.h>

#include "http/http_request.h"
#include "support/portal.h"

namespace {

class Counted : public VGS_HTTP_Request {
 public:
  explicit Counted(bool* deleted) : deleted_(deleted) {}
  ~Counted() override { *deleted_ = true; }
  // The reference count, read by taking and dropping one reference.
  int references() {
    const int count = addref();
    release();
    return count - 1;
  }

 private:
  bool* deleted_;
};

TEST(HttpRequestManagerTest, IdsRunToTheLastOneThenStartAgainAtOne) {
  VGS_HTTP_Request_Manager manager(0xFFFFFFFDul);
  bool deleted[3] = {};
  Counted* requests[3];
  const unsigned long expected[3] = {0xFFFFFFFEul, 1, 2};
  for (int i = 0; i < 3; ++i) {
    requests[i] = new Counted(&deleted[i]);
    EXPECT_EQ(manager.register_request(requests[i]), static_cast<long>(expected[i]));
    EXPECT_EQ(requests[i]->getRequestId(), expected[i]);
  }
  manager.release_all();
  for (Counted* request : requests) request->release();
  for (bool d : deleted) EXPECT_TRUE(d);
}

TEST(HttpRequestManagerTest, RegistryAndLookupHoldReferences) {
  VGS_HTTP_Request_Manager manager;
  bool deleted = false;
  auto* request = new Counted(&deleted);
  const long id = manager.register_request(request);
  ASSERT_EQ(id, 1);
  EXPECT_EQ(request->references(), 2);

  VGS_HTTP_Request* found = nullptr;
  ASSERT_EQ(manager.lookup(1, found), 0);
  EXPECT_EQ(found, request);
  EXPECT_EQ(request->references(), 3);
  found->release();
  EXPECT_EQ(manager.lookup(2, found), -1);

  EXPECT_EQ(manager.unregister(1), 0);
  EXPECT_EQ(request->references(), 1);
  EXPECT_EQ(manager.unregister(1), -1);
  EXPECT_EQ(manager.register_request(nullptr), -1);
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NULL_ARGUMENT);

  // A request only the registry holds goes with release_all.
  ASSERT_EQ(manager.register_request(request), 2);
  request->release();
  EXPECT_FALSE(deleted);
  manager.release_all();
  EXPECT_TRUE(deleted);
  EXPECT_EQ(manager.size(), 0u);
}

TEST(HttpRequestManagerTest, OpenRegistersInTheLibraryRegistryAndCloseUnregisters) {
  test_support::Portal server;
  ASSERT_TRUE(server.running());
  VGS_HTTP_Request_Manager* manager = VGS_HTTP_Request_Manager::instance();
  ASSERT_NE(manager, nullptr);
  bool deleted = false;
  auto* request = new Counted(&deleted);
  ASSERT_EQ(request->open("127.0.0.1", server.port(), nullptr, nullptr), 0);
  const unsigned long id = request->getRequestId();
  ASSERT_NE(id, 0u);
  VGS_HTTP_Request* found = nullptr;
  ASSERT_EQ(manager->lookup(id, found), 0);
  EXPECT_EQ(found, request);
  found->release();
  EXPECT_EQ(request->references(), 2);

  // A second request gets the next id.
  bool deleted2 = false;
  auto* other = new Counted(&deleted2);
  ASSERT_EQ(other->open("127.0.0.1", server.port(), nullptr, nullptr), 0);
  EXPECT_EQ(other->getRequestId(), id == VGS_HTTP_Request_Manager::kMaxId ? 1 : id + 1);
  other->release();  // the registry keeps it open
  EXPECT_FALSE(deleted2);

  request->close();
  EXPECT_EQ(manager->lookup(id, found), -1);
  EXPECT_EQ(request->references(), 1);
  request->release();
  EXPECT_TRUE(deleted);

  // Closing through the registry's lookup frees a request whose creator let go.
  ASSERT_EQ(manager->lookup(id == VGS_HTTP_Request_Manager::kMaxId ? 1 : id + 1, found), 0);
  found->close();
  found->release();
  EXPECT_TRUE(deleted2);
}

}  // namespace
