#include "jobs/local_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <boost/asio/post.hpp>
#include <boost/filesystem.hpp>

#include "core/task_queue.h"
#include "framework/error.h"
#include "jobs/local_job_detail.h"
#include "jobs/threaded_local_file.h"
#include "tests/support/run_until.h"
#include "tests/support/temp_dir.h"

namespace fs = boost::filesystem;

namespace {

constexpr std::uint64_t k4GiB = std::uint64_t(1) << 32;

std::shared_ptr<const std::string> chunk(std::string text) {
  return std::make_shared<const std::string>(std::move(text));
}

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void plant(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::size_t entries(const fs::path& dir) {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

template <class E>
boost::system::error_code code_of(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const E& e) {
    return e.code();
  }
}

// Reads everything the cursors cover, in chunks of at most `max` bytes.
std::string read_all(bk_local_file_t::read_list_t& list, std::size_t max) {
  std::string all;
  std::string buffer(max, '\0');
  while (std::size_t n = bk_local_file_t::read_chunk(list, &buffer[0], max)) {
    EXPECT_LE(n, max);
    all.append(buffer, 0, n);
  }
  return all;
}

class SpoolTest : public ::testing::Test {
 protected:
  void TearDown() override {
    drain();
    EXPECT_EQ(entries(dir.path()), 0u) << "a spool file was left behind";
  }

  // Runs the loop until every task posted so far has run and reported back.
  void drain() {
    bool done = false;
    queue.post([&] { boost::asio::post(io, [&] { done = true; }); });
    ASSERT_TRUE(run_until(io, [&] { return done; }));
  }

  std::shared_ptr<bk_threaded_local_file_t> segment(const std::string& name) {
    return std::make_shared<bk_threaded_local_file_t>(io, queue, dir / name);
  }

  // Appends and waits for the size that comes back.
  bk_threaded_local_file_t::size_result_t append(bk_threaded_local_file_t& file,
                                                 const std::string& text) {
    std::optional<bk_threaded_local_file_t::size_result_t> result;
    file.append_data(chunk(text), [&](const auto& r) { result = r; });
    EXPECT_TRUE(run_until(io, [&] { return result.has_value(); }));
    return *result;
  }

  temp_dir_t dir;
  boost::asio::io_context io;
  bk_task_queue_t queue{io};
};

}  // namespace

TEST_F(SpoolTest, AppendsChunksPrivatelyAndCountsTheirSizes) {
  auto file = segment("aaaa-bbbb-cccc-dddd");
  EXPECT_EQ(append(*file, "first ").right(), 6u);
  EXPECT_EQ(append(*file, std::string("\0second\n", 8)).right(), 14u);
  EXPECT_EQ(file->size(), 14u);
  EXPECT_EQ(contents(file->path()), std::string("first \0second\n", 14));
  struct stat st;
  ASSERT_EQ(::stat(file->path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  file.reset();  // the job ends: its file goes with it
}

TEST_F(SpoolTest, SyncCreatesAnEmptyFileAfterEarlierWrites) {
  auto empty = segment("empty");
  auto written = segment("written");
  written->append_data(chunk("abc"), nullptr);
  std::exception_ptr failure = std::make_exception_ptr(1);
  bool synced = false;
  empty->sync([&](std::exception_ptr f) {
    failure = f;
    synced = true;
    // One queue for all: the other file's earlier write is on disk by now.
    EXPECT_EQ(contents(dir / "written"), "abc");
  });
  ASSERT_TRUE(run_until(io, [&] { return synced; }));
  EXPECT_FALSE(failure);
  EXPECT_TRUE(fs::exists(dir / "empty"));
  EXPECT_EQ(fs::file_size(dir / "empty"), 0u);
}

TEST_F(SpoolTest, MergeAppendsPatchAndRemovesIt) {
  auto main_file = segment("base");
  auto patch = segment("base.patch1");
  auto empty_patch = segment("base.patch2");
  append(*main_file, "main|");
  // More than one copy block, so the copy loop turns.
  std::string patch_data(200000, '\0');
  for (std::size_t i = 0; i < patch_data.size(); ++i) patch_data[i] = char(i * 7);
  append(*patch, patch_data);

  std::optional<bk_threaded_local_file_t::size_result_t> merged;
  main_file->merge(patch, [&](const auto& r) { merged = r; });
  ASSERT_TRUE(run_until(io, [&] { return merged.has_value(); }));
  ASSERT_TRUE(merged->is_right());
  EXPECT_EQ(merged->right(), 5 + patch_data.size());
  EXPECT_EQ(main_file->size(), 5 + patch_data.size());
  EXPECT_EQ(contents(dir / "base"), "main|" + patch_data);
  EXPECT_FALSE(fs::exists(dir / "base.patch1"));

  // A patch that never got data merges as nothing.
  merged.reset();
  main_file->merge(empty_patch, [&](const auto& r) { merged = r; });
  ASSERT_TRUE(run_until(io, [&] { return merged.has_value(); }));
  ASSERT_TRUE(merged->is_right());
  EXPECT_EQ(merged->right(), 5 + patch_data.size());
}

TEST_F(SpoolTest, FailuresComeBackAsExceptions) {
  auto lost = segment("missing-dir/file");
  auto result = append(*lost, "x");
  ASSERT_TRUE(result.is_left());
  EXPECT_EQ(code_of<fs::filesystem_error>(result.left()),
            boost::system::errc::no_such_file_or_directory);
  EXPECT_EQ(lost->size(), 0u);
}

TEST_F(SpoolTest, EngineMovedPathIsUsedForSizeAndRemoval) {
  auto file = segment("original");
  append(*file, "infected");
  // The engine cures into another file and names it in its report.
  fs::rename(dir / "original", dir / "cured");
  fs::resize_file(dir / "cured", 3);
  file->set_path(dir / "cured");
  EXPECT_EQ(file->path(), dir / "cured");
  std::optional<bk_threaded_local_file_t::size_result_t> refreshed;
  file->update_size([&](const auto& r) { refreshed = r; });
  ASSERT_TRUE(run_until(io, [&] { return refreshed.has_value(); }));
  EXPECT_EQ(file->size(), 3u);
  file.reset();
  drain();
  EXPECT_FALSE(fs::exists(dir / "cured"));
}

TEST_F(SpoolTest, ReleasedSegmentGetsNoCompletionAndLeavesNoFile) {
  bool called = false;
  for (int i = 0; i < 5; ++i) {
    auto file = segment("doomed" + std::to_string(i));
    file->append_data(chunk("data"), [&](const auto&) { called = true; });
    file->sync([&](std::exception_ptr) { called = true; });
    // Released at once: a write already running finishes and its file is
    // removed on the worker; one not yet started is skipped.
  }
  drain();
  EXPECT_FALSE(called);
}

TEST_F(SpoolTest, TakenNameIsNeverOpenedOrRemoved) {
  const std::string taken = dir / "aaaa-bbbb-cccc-dddd.patch1";
  plant(taken, "another job's data");
  auto file = segment("aaaa-bbbb-cccc-dddd.patch1");
  append(*file, "mine");
  // The event loop learns the new name before the write's result.
  EXPECT_NE(file->path(), taken);
  EXPECT_EQ(fs::path(file->path()).parent_path(), dir.path());
  EXPECT_EQ(fs::path(file->path()).extension(), ".patch1");
  EXPECT_EQ(contents(file->path()), "mine");
  EXPECT_EQ(contents(taken), "another job's data");
  const std::string moved = file->path();
  file.reset();
  drain();
  EXPECT_FALSE(fs::exists(moved));
  EXPECT_EQ(contents(taken), "another job's data");
  fs::remove(taken);
}

TEST_F(SpoolTest, NameNeverWrittenIsNotRemoved) {
  const std::string path = dir / "someone-else";
  plant(path, "keep");
  {
    bk_local_file_t file(path);
    file.update_size();
    EXPECT_EQ(file.size(), 0u);
  }
  EXPECT_EQ(contents(path), "keep");
  fs::remove(path);
}

TEST_F(SpoolTest, ReadsBackSegmentsInChunksNeverSpanningTwo) {
  bk_local_file_t first(dir / "first"), second(dir / "second");
  first.write("0123456789", 10);
  second.write("abcde", 5);
  bk_local_file_t::read_list_t list;
  list.emplace_back(first);
  list.emplace_back(second);
  std::string buffer(4, '\0');
  std::string pieces;
  while (std::size_t n = bk_local_file_t::read_chunk(list, &buffer[0], 4))
    pieces += std::string(buffer, 0, n) + "|";
  EXPECT_EQ(pieces, "0123|4567|89|abcd|e|");
}

TEST_F(SpoolTest, ReadBackFailsClearly) {
  bk_local_file_t missing(dir / "never-written");
  try {
    bk_local_file_t::read_state_t cursor(missing);
    FAIL() << "opened a missing file";
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.code(), boost::system::errc::no_such_file_or_directory);
  }
  // The file shrank under the reader: an early end, not short data.
  bk_local_file_t file(dir / "shrinks");
  file.write("0123456789", 10);
  bk_local_file_t::read_list_t list;
  list.emplace_back(file);
  fs::resize_file(dir / "shrinks", 4);
  char buffer[16];
  try {
    bk_local_file_t::read_chunk(list, buffer, sizeof buffer);
    FAIL() << "read past the end";
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.code(), make_error_code(vl::EC_UNEXPECTED_EOF));
  }
}

TEST_F(SpoolTest, SizesAndOffsetsPastFourGiBAreExact) {
  // A sparse file: 4 GiB of hole, then a few bytes, without writing the hole.
  bk_local_file_t big(dir / "big");
  big.write("head", 4);
  ASSERT_EQ(::truncate((dir / "big").c_str(), k4GiB + 10), 0);
  big.update_size();
  ASSERT_EQ(big.size(), k4GiB + 10);

  bk_local_file_t patch(dir / "big.patch1");
  patch.write("tail!", 5);
  big.append_file(patch);
  EXPECT_EQ(big.size(), k4GiB + 15);

  // Read only the last 16 bytes: 32-bit counts would see a 15-byte file.
  bk_local_file_t::read_list_t list;
  list.emplace_back(big);
  auto& cursor = list.front();
  EXPECT_EQ(cursor.size, k4GiB + 15);
  cursor.position = k4GiB - 1;
  ASSERT_EQ(::lseek(cursor.fd, static_cast<off_t>(cursor.position), SEEK_SET),
            static_cast<off_t>(cursor.position));
  EXPECT_EQ(read_all(list, 65535), std::string(11, '\0') + "tail!");
  EXPECT_TRUE(list.empty());
}

namespace {

class JobSpoolTest : public SpoolTest {
 protected:
  using detail_t = bk_local_job_detail_t;

  // Appends and waits for its completion.
  void append(detail_t& job, const std::string& text) {
    bool done = false;
    job.append_data(chunk(text), [&](const auto& result) {
      EXPECT_TRUE(result.is_right());
      done = true;
    });
    ASSERT_TRUE(run_until(io, [&] { return done; }));
  }

  void queue_request(detail_t& job) { job.segments.back().requests.emplace_back(); }

  std::exception_ptr unlock(detail_t& job) {
    std::exception_ptr failure = std::make_exception_ptr(1);
    bool done = false;
    job.unlock([&](std::exception_ptr f) {
      failure = f;
      done = true;
    });
    EXPECT_TRUE(run_until(io, [&] { return done; }));
    return failure;
  }

  std::optional<util::either_t<std::exception_ptr, detail_t::reading_t>> start_reading(
      detail_t& job) {
    std::optional<util::either_t<std::exception_ptr, detail_t::reading_t>> result;
    job.file_start_reading([&](const auto& r) { result = r; });
    EXPECT_TRUE(run_until(io, [&] { return result.has_value(); }));
    return result;
  }

  // Reads the whole of the job's data back, one chunk per read, joined by '|'.
  std::string read_back(detail_t& job, std::size_t max) {
    auto started = start_reading(job);
    if (!started || !started->is_right()) return "<failed>";
    job.reading = started->right();
    std::string pieces;
    bool last = job.reading->empty();
    while (!last) {
      std::optional<util::either_t<std::exception_ptr, detail_t::chunk_t>> read;
      job.read_chunk(max, [&](const auto& r) { read = r; });
      EXPECT_TRUE(run_until(io, [&] { return read.has_value(); }));
      if (!read || !read->is_right()) return pieces + "<failed>";
      pieces += *read->right().data + "|";
      last = read->right().last;
    }
    job.reading.reset();
    return pieces;
  }

  std::string base(detail_t& job) { return job.segments.front().file->path(); }
};

}  // namespace

TEST_F(JobSpoolTest, MainFileGetsARandomNameInTheSpoolDirectory) {
  detail_t one(io, queue, dir.path().string()), two(io, queue, dir.path().string());
  const fs::path path(base(one));
  EXPECT_EQ(path.parent_path(), dir.path());
  const std::string name = path.filename().string();
  ASSERT_EQ(name.size(), 19u);
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (i % 5 == 4)
      EXPECT_EQ(name[i], '-') << name;
    else
      EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(name[i]))) << name;
  }
  EXPECT_NE(base(one), base(two));
  EXPECT_FALSE(fs::exists(path)) << "nothing is created before the first write";
}

TEST_F(JobSpoolTest, DataAfterQueuedRequestsGoesToPatchesMergedOneAtATime) {
  detail_t job(io, queue, dir.path().string());
  const std::string main_path = base(job);
  append(job, "A1");
  queue_request(job);
  append(job, "B22");
  append(job, "b");
  queue_request(job);
  append(job, "C333");
  ASSERT_EQ(job.segments.size(), 3u);
  EXPECT_EQ(contents(main_path + ".patch1"), "B22b");
  EXPECT_EQ(contents(main_path + ".patch2"), "C333");
  EXPECT_EQ(job.data_size(), 10u);

  // The main file's request is answered: patch 1 joins it with its request.
  EXPECT_FALSE(unlock(job));
  EXPECT_EQ(job.segments.size(), 2u);
  EXPECT_EQ(job.segments.front().number, 1u);
  EXPECT_EQ(job.segments.front().requests.size(), 1u);
  EXPECT_EQ(contents(main_path), "A1B22b");
  EXPECT_FALSE(fs::exists(main_path + ".patch1"));
  EXPECT_EQ(job.data_size(), 10u);

  // Patch 2 has no request of its own yet, so it still takes data.
  append(job, "D");
  EXPECT_EQ(job.segments.back().file->path(), main_path + ".patch2");
  job.segments.front().requests.clear();
  EXPECT_FALSE(unlock(job));
  EXPECT_EQ(job.segments.front().number, 2u);
  EXPECT_EQ(contents(main_path), "A1B22bC333D");
  // Numbers are never reused: the next patch is 3.
  queue_request(job);
  append(job, "E");
  EXPECT_EQ(job.segments.back().file->path(), main_path + ".patch3");
  EXPECT_EQ(read_back(job, 4), "A1B2|2bC3|33D|E|");
}

TEST_F(JobSpoolTest, SizeRefreshWithoutPatchFollowsACuredFile) {
  detail_t job(io, queue, dir.path().string());
  append(job, "infected data");
  job.segments.front().state = 2;
  fs::resize_file(base(job), 5);
  EXPECT_FALSE(unlock(job));
  EXPECT_EQ(job.segments.front().state, 0u);
  EXPECT_EQ(job.data_size(), 5u);
  EXPECT_EQ(read_back(job, 100), "infec|");
}

TEST_F(JobSpoolTest, ReadingDuringAMergeSeesAllTheData) {
  detail_t job(io, queue, dir.path().string());
  append(job, "AB");
  queue_request(job);
  append(job, "CD");
  job.segments.front().requests.clear();
  bool merged = false;
  job.unlock([&](std::exception_ptr f) {
    EXPECT_FALSE(f);
    merged = true;
  });
  // The patch has left the list but its bytes are not in the main file's size yet.
  EXPECT_EQ(job.data_size(), 4u);
  EXPECT_EQ(read_back(job, 3), "ABC|D|");
  EXPECT_TRUE(merged);
}

TEST_F(JobSpoolTest, EmptySegmentsAreSkippedAndAnEmptyJobReadsNothing) {
  detail_t job(io, queue, dir.path().string());
  auto started = start_reading(job);
  ASSERT_TRUE(started && started->is_right());
  EXPECT_TRUE(started->right()->empty());

  queue_request(job);
  job.add_segment(base(job));  // a patch that never gets data
  append(job, "x");
  queue_request(job);
  append(job, "yz");
  EXPECT_EQ(read_back(job, 65535), "x|yz|");
}

TEST_F(JobSpoolTest, SegmentThatCannotBeOpenedFailsTheReading) {
  detail_t job(io, queue, dir.path().string());
  append(job, "data");
  fs::remove(base(job));
  auto started = start_reading(job);
  ASSERT_TRUE(started && started->is_left());
  EXPECT_EQ(code_of<fs::filesystem_error>(started->left()),
            boost::system::errc::no_such_file_or_directory);
}

TEST_F(JobSpoolTest, NothingArrivesAfterTheJobOrItsReadingIsGone) {
  bool called = false;
  {
    detail_t job(io, queue, dir.path().string());
    append(job, "data");
    job.reading = start_reading(job)->right();
    job.read_chunk(2, [&](const auto&) { called = true; });
    job.reading.reset();  // the client reset its data request
    job.read_chunk(2, [&](const auto&) { called = true; });
    drain();
    EXPECT_FALSE(called);

    job.append_data(chunk("more"), [&](const auto&) { called = true; });
    job.unlock([&](std::exception_ptr) { called = true; });
    job.file_start_reading([&](const auto&) { called = true; });
  }
  drain();
  EXPECT_FALSE(called);
}
