#include "jobs/local_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <boost/asio/post.hpp>
#include <boost/filesystem.hpp>

#include "core/task_queue.h"
#include "framework/error.h"
#include "jobs/spool.h"
#include "jobs/threaded_local_file.h"
#include "tests/support/file_text.h"
#include "tests/support/recording_log.h"
#include "tests/support/run_until.h"
#include "tests/support/temp_dir.h"

namespace fs = boost::filesystem;

namespace {

using size_result_t = bk_threaded_local_file_t::size_result_t;

std::shared_ptr<const std::string> chunk(std::string text) {
  return std::make_shared<const std::string>(std::move(text));
}

boost::system::error_code code_of(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const fs::filesystem_error& e) {
    return e.code();
  }
}

class SpoolTest : public ::testing::Test {
 protected:
  void TearDown() override {
    drain();
    EXPECT_TRUE(fs::is_empty(dir.path())) << "a spool file was left behind";
  }

  // Runs the loop until every task posted so far has run and reported back.
  void drain() {
    bool done = false;
    queue.post([&] { boost::asio::post(io, [&] { done = true; }); });
    ASSERT_TRUE(run_until(io, [&] { return done; }));
  }

  // Starts an operation with a callback that keeps its result, and waits for it.
  template <class R, class Start>
  std::optional<R> await(Start start) {
    std::optional<R> result;
    start([&](const R& r) { result = r; });
    EXPECT_TRUE(run_until(io, [&] { return result.has_value(); }));
    return result;
  }

  std::shared_ptr<bk_threaded_local_file_t> segment(const std::string& name) {
    return std::make_shared<bk_threaded_local_file_t>(io, queue, dir / name);
  }

  size_result_t append(bk_threaded_local_file_t& file, const std::string& text) {
    return *await<size_result_t>([&](auto done) { file.append_data(chunk(text), done); });
  }

  using detail_t = bk_spool_t;
  using reading_result_t = util::outcome_t<detail_t::reading_t>;

  void append_to(detail_t& job, const std::string& text) {
    auto result = await<size_result_t>([&](auto done) { job.append(chunk(text), done); });
    EXPECT_TRUE(result && result->index() == 0);
  }

  void queue_request(detail_t& job) { job.add_request(bk::ScanOptions()); }

  bool unlock(detail_t& job) {
    auto failure = await<std::exception_ptr>([&](auto done) { job.unlock(done); });
    return failure && !*failure;
  }

  std::optional<reading_result_t> start_reading(detail_t& job) {
    return await<reading_result_t>([&](auto done) { job.open_reading(done); });
  }

  // Reads the whole of the job's data back, one chunk per read, joined by '|'.
  std::string read_back(detail_t& job, std::size_t max) {
    auto started = start_reading(job);
    if (!started || started->index() != 0) return "<failed>";
    auto reading = std::get<0>(*started);
    std::string pieces;
    while (!reading->empty()) pieces += *bk_local_file_t::read_chunk(*reading, max) + "|";
    return pieces;
  }

  std::string base(detail_t& job) { return job.path(); }

  temp_dir_t dir;
  boost::asio::io_context io;
  bk_task_queue_t queue{io};
};

}  // namespace

TEST_F(SpoolTest, AppendsPrivatelyAndFailsWithAnException) {
  auto file = segment("aaaa-bbbb-cccc-dddd");
  EXPECT_EQ(std::get<0>(append(*file, "first ")), 6u);
  EXPECT_EQ(std::get<0>(append(*file, std::string("\0second", 7))), 13u);
  EXPECT_EQ(read_file(file->path()), std::string("first \0second", 13));
  struct stat st;
  ASSERT_EQ(::stat(file->path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  auto lost = segment("missing-dir/file");
  const auto result = append(*lost, "x");
  ASSERT_TRUE(result.index() == 1);
  EXPECT_EQ(code_of(std::get<1>(result)), boost::system::errc::no_such_file_or_directory);
  EXPECT_EQ(lost->size(), 0u);
}

TEST_F(SpoolTest, NamesWeDidNotCreateAreNeverWrittenOrRemoved) {
  const std::string taken = dir / "aaaa-bbbb-cccc-dddd.patch1";
  write_file(taken, "another job's data");
  auto file = segment("aaaa-bbbb-cccc-dddd.patch1");
  append(*file, "mine");
  // The event loop learns the new name before the write's result.
  EXPECT_EQ(fs::path(file->path()).parent_path(), dir.path());
  EXPECT_EQ(fs::path(file->path()).extension(), ".patch1");
  EXPECT_EQ(read_file(file->path()), "mine");
  file.reset();
  {
    bk_local_file_t never_written(taken);
    never_written.update_size();
    EXPECT_EQ(never_written.size(), 0u);
  }
  drain();
  EXPECT_EQ(read_file(taken), "another job's data");
  fs::remove(taken);
}

TEST_F(SpoolTest, FailedRemovalIsLoggedButAFileAlreadyGoneIsNot) {
  auto log = std::make_shared<recording_log_t>();
  install_log(log);
  // The engine names a directory as the cured file's place: it cannot be unlinked.
  const std::string cured_dir = dir / "cured";
  fs::create_directory(cured_dir);
  {
    bk_local_file_t file(dir / "kept");
    file.write("data", 4);
    file.set_path(cured_dir);
  }
  EXPECT_TRUE(log->has_line("Error: Spool file \"" + cured_dir + "\": unlink: Is a directory"));
  fs::remove(cured_dir);
  fs::remove(dir / "kept");

  const std::size_t lines = log->lines.size();
  {
    bk_local_file_t file(dir / "gone");
    file.write("data", 4);
    fs::remove(dir / "gone");
  }
  EXPECT_EQ(log->lines.size(), lines);
}

TEST_F(SpoolTest, FileShrinkingUnderTheReaderIsAnEarlyEnd) {
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
  constexpr std::uint64_t k4GiB = std::uint64_t(1) << 32;
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
  std::string all, buffer(65535, '\0');
  while (std::size_t n = bk_local_file_t::read_chunk(list, &buffer[0], buffer.size()))
    all.append(buffer, 0, n);
  EXPECT_EQ(all, std::string(11, '\0') + "tail!");
  EXPECT_TRUE(list.empty());
}

TEST_F(SpoolTest, DataAfterQueuedRequestsGoesToPatchesMergedOneAtATime) {
  detail_t job(io, queue, dir.path().string());
  const std::string main_path = base(job);
  append_to(job, "A1");
  queue_request(job);
  append_to(job, "B22");
  append_to(job, "b");
  queue_request(job);
  append_to(job, "C333");
  EXPECT_EQ(read_file(main_path + ".patch1"), "B22b");
  EXPECT_EQ(read_file(main_path + ".patch2"), "C333");
  EXPECT_EQ(job.size(), 10u);

  // The main file's request is answered: patch 1 joins it with its request.
  EXPECT_TRUE(unlock(job));
  EXPECT_EQ(job.request_count(), 1u);
  EXPECT_EQ(read_file(main_path), "A1B22b");
  EXPECT_FALSE(fs::exists(main_path + ".patch1"));

  // Patch 2 has no request of its own yet, so it still takes data.
  append_to(job, "D");
  EXPECT_EQ(read_file(main_path + ".patch2"), "C333D");
  job.pop_request();
  EXPECT_TRUE(unlock(job));
  EXPECT_EQ(read_file(main_path), "A1B22bC333D");
  // Numbers are never reused; chunks never span two segments.
  queue_request(job);
  append_to(job, "E");
  EXPECT_EQ(read_file(main_path + ".patch3"), "E");
  EXPECT_EQ(read_back(job, 4), "A1B2|2bC3|33D|E|");
}

TEST_F(SpoolTest, ReadingDuringAMergeSeesAllTheData) {
  detail_t job(io, queue, dir.path().string());
  append_to(job, "AB");
  queue_request(job);
  append_to(job, "CD");
  job.pop_request();
  bool merged = false;
  job.unlock([&](std::exception_ptr f) { merged = !f; });
  // The patch has left the list but its bytes are not in the main file's size yet.
  EXPECT_EQ(job.size(), 4u);
  EXPECT_EQ(read_back(job, 3), "ABC|D|");
  EXPECT_TRUE(merged);
}

TEST_F(SpoolTest, EmptySegmentsAreSkippedAndAnEmptyJobReadsNothing) {
  detail_t job(io, queue, dir.path().string());
  EXPECT_EQ(read_back(job, 10), "");
  queue_request(job);
  append_to(job, "x");
  queue_request(job);
  append_to(job, "yz");
  EXPECT_EQ(read_back(job, 65535), "x|yz|");
  // A segment that cannot be opened fails the reading.
  fs::remove(base(job) + ".patch2");
  auto started = start_reading(job);
  ASSERT_TRUE(started && started->index() == 1);
  EXPECT_EQ(code_of(std::get<1>(*started)), boost::system::errc::no_such_file_or_directory);
}

TEST_F(SpoolTest, NothingArrivesAfterTheOwnerOrTheReadingIsGoneAndNoFileStays) {
  bool called = false;
  for (int i = 0; i < 5; ++i) {
    // Released at once: a write already running finishes and its file is removed
    // on the worker; one not yet started is skipped.
    auto file = segment("doomed" + std::to_string(i));
    file->append_data(chunk("data"), [&](const auto&) { called = true; });
    file->sync([&](std::exception_ptr) { called = true; });
  }
  {
    detail_t job(io, queue, dir.path().string());
    append_to(job, "data");
    job.append(chunk("more"), [&](const auto&) { called = true; });
    job.unlock([&](std::exception_ptr) { called = true; });
    job.open_reading([&](const auto&) { called = true; });
  }
  drain();
  EXPECT_FALSE(called);
}
