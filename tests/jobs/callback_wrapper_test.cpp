#include "jobs/callback_wrapper.h"

#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace {

class owner_t : public bk_callback_wrapper_t {};

class shared_owner_t : public bk_shared_callback_wrapper<shared_owner_t> {
 public:
  int calls = 0;
};

TEST(CallbackWrapper, KilledCallbackDoesNothingButLaterOneRuns) {
  owner_t owner;
  int early = 0, late = 0;
  std::function<void(int)> before = owner.wrap([&](int n) { early += n; });
  before(1);
  owner.kill_callbacks();
  before(10);
  std::function<void(int)> after = owner.wrap([&](int n) { late += n; });
  after(5);
  before(100);
  EXPECT_EQ(1, early);
  EXPECT_EQ(5, late);
}

TEST(CallbackWrapper, CallbackOutlivingOwnerDoesNothing) {
  int calls = 0;
  std::function<void()> callback;
  {
    owner_t owner;
    callback = owner.wrap([&] { ++calls; });
  }
  callback();
  EXPECT_EQ(0, calls);
}

TEST(CallbackWrapper, PassesArgumentsThrough) {
  owner_t owner;
  auto chunk = std::make_shared<const std::string>("abc");
  std::string seen;
  auto callback = owner.wrap(
      [&](const std::shared_ptr<const std::string>& c, std::string moved) { seen = *c + moved; });
  std::string tail = "def";
  callback(chunk, std::move(tail));
  EXPECT_EQ("abcdef", seen);
  EXPECT_EQ(1, chunk.use_count());
}

TEST(SharedCallbackWrapper, RunsWhileAliveAndKeepsObjectDuringCall) {
  auto object = std::make_shared<shared_owner_t>();
  shared_owner_t* raw = object.get();
  std::function<void()> callback = object->wrap([&] {
    // The last owner lets go inside the call; the object must stay usable until it returns.
    object.reset();
    ++raw->calls;
  });
  callback();
  EXPECT_FALSE(object);
  callback();  // gone now: nothing happens
}

TEST(SharedCallbackWrapper, CallbackAfterObjectGoneDoesNothing) {
  int calls = 0;
  auto object = std::make_shared<shared_owner_t>();
  std::function<void(int)> callback = object->wrap([&](int n) { calls += n; });
  callback(2);
  object.reset();
  callback(3);
  EXPECT_EQ(2, calls);
}

}  // namespace
