#include "jobs/callback_wrapper.h"

#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(CallbackWrapper, KilledOrOutlivedCallbacksDoNothingAndLaterOnesRun) {
  using chunk_t = std::shared_ptr<const std::string>;
  std::string seen;
  std::function<void(const chunk_t&)> later;
  {
    bk_callback_wrapper_t owner;
    auto earlier = owner.wrap([&](const chunk_t& c) { seen += *c; });
    auto chunk = std::make_shared<const std::string>("a");
    earlier(chunk);
    EXPECT_EQ(1, chunk.use_count());  // passed through, not kept
    owner.kill_callbacks();
    earlier(chunk);
    later = owner.wrap([&](const chunk_t& c) { seen += *c; });
    later(std::make_shared<const std::string>("b"));
  }
  later(std::make_shared<const std::string>("c"));
  EXPECT_EQ("ab", seen);
}

struct shared_owner_t : bk_shared_callback_wrapper<shared_owner_t> {
  int calls = 0;
};

TEST(SharedCallbackWrapper, KeepsTheObjectDuringTheCallAndDoesNothingOnceItIsGone) {
  auto object = std::make_shared<shared_owner_t>();
  shared_owner_t* raw = object.get();
  std::function<void()> callback = object->wrap([&] {
    object.reset();  // the last owner lets go inside the call
    ++raw->calls;
  });
  callback();
  EXPECT_FALSE(object);
  callback();
}

}  // namespace
