#include "core/digest_pool.h"

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "framework/error.h"
#include "tests/support/file_text.h"
#include "tests/support/run_until.h"
#include "tests/support/temp_dir.h"

namespace {

struct outcome_t {
  bool arrived = false;
  std::exception_ptr failure;
  bk_hash_values_t values;
};

class DigestPoolTest : public ::testing::Test {
 protected:
  std::string file(const std::string& name, const std::string& content) {
    const std::string path = dir / name;
    write_file(path, content);
    return path;
  }

  outcome_t hash(bool sha1, bool sha256, const std::string& path) {
    outcome_t outcome;
    pool.hash_file(sha1, sha256, path, [&](std::exception_ptr failure, const bk_hash_values_t& v) {
      outcome = {true, failure, v};
    });
    EXPECT_TRUE(run_until(io, [&] { return outcome.arrived; }));
    return outcome;
  }

  temp_dir_t dir;
  boost::asio::io_context io;
  bk_digest_pool_t pool{io};
};

}  // namespace

TEST_F(DigestPoolTest, KnownVectorsInUpperCaseHexAndOnlyTheRequestedDigests) {
  auto abc = hash(true, true, file("abc", "abc"));
  EXPECT_FALSE(abc.failure);
  EXPECT_EQ(abc.values.sha1, "A9993E364706816ABA3E25717850C26C9CD0D89D");
  EXPECT_EQ(abc.values.sha256, "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");

  // A million bytes: many full blocks and a partial last one.
  const std::string path = file("million", std::string(1000000, 'a'));
  auto sha1 = hash(true, false, path);
  EXPECT_EQ(sha1.values.sha1, "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F");
  EXPECT_EQ(sha1.values.sha256, "");
  auto sha256 = hash(false, true, path);
  EXPECT_EQ(sha256.values.sha1, "");
  EXPECT_EQ(sha256.values.sha256,
            "CDC76E5C9914FB9281A1C7E284D73E67F1809A48A497200E046D39CCC7112CD0");
}

TEST_F(DigestPoolTest, ConcurrentRequestsEachAnswerOnce) {
  const std::string a = file("a", "abc"), b = file("b", "");
  std::vector<std::string> answers;
  for (int i = 0; i < 6; ++i) {
    pool.hash_file(true, false, i % 2 ? b : a, [&](std::exception_ptr, const bk_hash_values_t& v) {
      answers.push_back(v.sha1);
    });
  }
  ASSERT_TRUE(run_until(io, [&] { return answers.size() == 6; }));
  EXPECT_EQ(std::count(answers.begin(), answers.end(), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709"),
            3);
}

TEST_F(DigestPoolTest, MissingFileFailsWithOpenAndEmptyTexts) {
  auto missing = hash(true, true, dir / "missing");
  EXPECT_EQ(exception_ptr_to_error_enum(missing.failure), vl::EC_NO_SUCH_ENTRY);
  EXPECT_EQ(exception_ptr_text(missing.failure).rfind("open", 0), 0u);
  EXPECT_EQ(missing.values.sha1, "");
  EXPECT_EQ(missing.values.sha256, "");
}
