#include "jobs/chunk_buffer.h"

#include <stdexcept>

#include <gtest/gtest.h>

namespace {

TEST(ChunkBuffer, ShrinkCutsTheFrontAndRefusesMoreThanItHolds) {
  bk_chunk_buffer_t buffer;
  buffer.push_back(std::make_shared<const std::string>("0123456789"));
  buffer.push_back(std::make_shared<const std::string>("xyz"));
  buffer.shrink_front(4);
  EXPECT_EQ(9u, buffer.total());
  EXPECT_EQ("456789", *buffer.chunks().front());
  buffer.shrink_front(8);  // across a border
  ASSERT_EQ(1u, buffer.chunks().size());
  EXPECT_EQ("z", *buffer.chunks().front());
  buffer.shrink_front(1);
  EXPECT_TRUE(buffer.empty());
  try {
    buffer.shrink_front(1);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("Invalid shrink size", e.what());
  }
}

}  // namespace
