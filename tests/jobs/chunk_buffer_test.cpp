#include "jobs/chunk_buffer.h"

#include <stdexcept>

#include <gtest/gtest.h>

namespace {

bk_chunk_buffer_t::chunk_t chunk(const std::string& text) {
  return std::make_shared<const std::string>(text);
}

std::string contents(const bk_chunk_buffer_t& buffer) {
  std::string text;
  for (const auto& piece : buffer.chunks()) text += *piece;
  return text;
}

TEST(ChunkBuffer, KeepsChunksSharedAndReplaysThemFromTheCursor) {
  bk_chunk_buffer_t buffer;
  EXPECT_EQ(0u, buffer.name().find("Buffer 0x"));
  auto first = chunk("abc");
  buffer.push_back(first);
  buffer.push_back(chunk("de"));
  EXPECT_EQ(5u, buffer.total());
  EXPECT_EQ(first.get(), buffer.next().get());
  EXPECT_EQ("de", *buffer.next());
  EXPECT_EQ(nullptr, buffer.next());
  buffer.push_back(chunk("f"));
  EXPECT_EQ("f", *buffer.next());
  buffer.rewind();
  EXPECT_EQ(first.get(), buffer.next().get());
  buffer.clear();
  EXPECT_EQ(0u, buffer.total());
  EXPECT_EQ(nullptr, buffer.next());
}

TEST(ChunkBuffer, ShrinkingCutsTheFrontChunkAndKeepsItsTail) {
  bk_chunk_buffer_t buffer;
  std::string fifty;
  for (int i = 0; i < 50; ++i) fifty += static_cast<char>('0' + i % 10);
  buffer.push_back(chunk(fifty));
  buffer.push_back(chunk("xyz"));
  buffer.shrink_front(20);
  EXPECT_EQ(33u, buffer.total());
  ASSERT_EQ(2u, buffer.chunks().size());
  EXPECT_EQ(fifty.substr(20), *buffer.chunks().front());

  // Across a chunk border, and a whole chunk exactly.
  buffer.shrink_front(32);
  EXPECT_EQ("z", contents(buffer));
  buffer.shrink_front(1);
  EXPECT_TRUE(buffer.empty());
  buffer.shrink_front(0);
}

TEST(ChunkBuffer, ShrinkingBeyondTheContentThrows) {
  bk_chunk_buffer_t buffer;
  buffer.push_back(chunk("abc"));
  try {
    buffer.shrink_front(4);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ("Invalid shrink size", e.what());
  }
}

}  // namespace
