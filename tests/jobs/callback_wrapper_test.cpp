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

TEST(CallbackWrapper, KilledOrOutlivedCallbacksDoNothingAndLaterOnesRun) {
  std::string seen;
  std::function<void(const std::shared_ptr<const std::string>&)> orphan;
  {
    owner_t owner;
    auto before = owner.wrap([&](const std::shared_ptr<const std::string>& c) { seen += *c; });
    auto chunk = std::make_shared<const std::string>("a");
    before(chunk);
    EXPECT_EQ(1, chunk.use_count());  // passed through, not kept
    owner.kill_callbacks();
    before(chunk);
    auto after = owner.wrap([&](const std::shared_ptr<const std::string>& c) { seen += *c; });
    after(std::make_shared<const std::string>("b"));
    orphan = after;
  }
  orphan(std::make_shared<const std::string>("c"));
  EXPECT_EQ("ab", seen);
}

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
