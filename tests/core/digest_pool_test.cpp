#include "core/digest_pool.h"

#include <vector>

#include <gtest/gtest.h>

#include "framework/error.h"
#include "tests/support/file_text.h"
#include "tests/support/run_until.h"
#include "tests/support/temp_dir.h"

TEST(DigestPool, AnswersEachRequestOnceWithOnlyTheAskedDigestsInUpperCaseHex) {
  temp_dir_t dir;
  boost::asio::io_context io;
  bk_digest_pool_t pool{io};
  write_file(dir / "abc", "abc");
  // A million bytes: many full blocks and a partial last one.
  write_file(dir / "million", std::string(1000000, 'a'));
  struct outcome_t {
    std::exception_ptr failure;
    bk_hash_values_t values;
  };
  std::vector<outcome_t> outcomes(4);
  int answers = 0;
  const std::tuple<bool, bool, std::string> requests[] = {
      {true, true, "abc"}, {true, false, "million"}, {false, true, "million"}, {true, true, "no"}};
  for (std::size_t i = 0; i < 4; ++i) {
    const auto& [sha1, sha256, name] = requests[i];
    pool.hash_file(sha1, sha256, dir / name,
                   [&, i](std::exception_ptr failure, const bk_hash_values_t& values) {
                     ++answers;
                     outcomes[i] = {failure, values};
                   });
  }
  ASSERT_TRUE(run_until(io, [&] { return answers >= 4; }));
  EXPECT_TRUE(run_posted(io));
  EXPECT_EQ(answers, 4);
  EXPECT_FALSE(outcomes[0].failure);
  EXPECT_EQ(outcomes[0].values.sha1, "A9993E364706816ABA3E25717850C26C9CD0D89D");
  EXPECT_EQ(outcomes[0].values.sha256,
            "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
  EXPECT_EQ(outcomes[1].values.sha1, "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F");
  EXPECT_EQ(outcomes[1].values.sha256, "");
  EXPECT_EQ(outcomes[2].values.sha1, "");
  EXPECT_EQ(outcomes[2].values.sha256,
            "CDC76E5C9914FB9281A1C7E284D73E67F1809A48A497200E046D39CCC7112CD0");
  EXPECT_EQ(exception_ptr_to_error_enum(outcomes[3].failure), vl::EC_NO_SUCH_ENTRY);
  EXPECT_EQ(exception_ptr_text(outcomes[3].failure).rfind("open", 0), 0u);
  EXPECT_EQ(outcomes[3].values.sha1 + outcomes[3].values.sha256, "");
}
