#include "jobs/local_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <boost/asio/post.hpp>
#include <boost/filesystem.hpp>

#include "core/task_queue.h"
#include "framework/error.h"
#include "jobs/spool.h"
#include "jobs/threaded_local_file.h"
#include "tests/support/file_text.h"
#include "tests/support/inventory_fixture.h"
#include "tests/support/recording_log.h"

namespace fs = boost::filesystem;

namespace {

using size_result_t = bk_threaded_local_file_t::size_result_t;

std::shared_ptr<const std::string> chunk(std::string text) {
  return std::make_shared<const std::string>(std::move(text));
}

template <class T>
boost::system::error_code code_of(const util::outcome_t<T>& outcome) {
  try {
    std::rethrow_exception(std::get<std::exception_ptr>(outcome));
  } catch (const fs::filesystem_error& e) {
    return e.code();
  }
}

class SpoolTest : public ::testing::Test {
 protected:
  ~SpoolTest() override {
    EXPECT_TRUE(fx.drain());
    EXPECT_EQ(fx.spool_files(), std::vector<std::string>()) << "a spool file was left behind";
  }

  // Starts an operation with a callback that keeps its result, and waits for it.
  template <class R, class Start>
  R await(Start start) {
    std::optional<R> result;
    start([&](const R& r) { result = r; });
    EXPECT_TRUE(fx.run_until([&] { return result.has_value(); }));
    return result.value_or(R());
  }
  std::string path(const std::string& name) { return fx.spool_dir() + "/" + name; }
  std::shared_ptr<bk_threaded_local_file_t> segment(const std::string& name) {
    return std::make_shared<bk_threaded_local_file_t>(fx.io(), queue, path(name));
  }
  size_result_t append(bk_threaded_local_file_t& file, const std::string& text) {
    return await<size_result_t>([&](auto done) { file.append_data(chunk(text), done); });
  }
  void append(bk_spool_t& spool, const std::string& text) {
    EXPECT_EQ(await<size_result_t>([&](auto done) { spool.append(chunk(text), done); }).index(),
              0u);
  }
  util::outcome_t<bk_spool_t::reading_t> open_reading(bk_spool_t& spool) {
    return await<util::outcome_t<bk_spool_t::reading_t>>(
        [&](auto done) { spool.open_reading(done); });
  }
  // Reads the spool back whole, one chunk of at most `max` bytes at a time, joined
  // by '|'. The cursors are the test's once handed over.
  std::string read_back(bk_spool_t& spool, std::size_t max) {
    const auto opened = open_reading(spool);
    if (opened.index() != 0) return "<failed>";
    std::string pieces;
    for (auto& cursors = *std::get<0>(opened); !cursors.empty();)
      pieces += *bk_local_file_t::read_chunk(cursors, max) + "|";
    return pieces;
  }

  bk_inventory_fixture_t fx;
  bk_task_queue_t& queue = *fx.inventory().task_queue;
};

}  // namespace

TEST_F(SpoolTest, FilesArePrivateAndNamesWeDidNotCreateAreNeverWrittenOrRemoved) {
  const std::string taken = path("aaaa-bbbb-cccc-dddd.patch1");
  write_file(taken, "another job's data");
  auto file = segment("aaaa-bbbb-cccc-dddd.patch1");
  EXPECT_EQ(std::get<0>(append(*file, "first ")), 6u);
  EXPECT_EQ(std::get<0>(append(*file, std::string("\0second", 7))), 13u);
  // The event loop learns the new name before the write's result.
  EXPECT_EQ(fs::path(file->path()).parent_path(), fx.spool_dir());
  EXPECT_EQ(fs::path(file->path()).extension(), ".patch1");
  EXPECT_EQ(read_file(file->path()), std::string("first \0second", 13));
  struct stat st;
  ASSERT_EQ(::stat(file->path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  file.reset();
  bk_local_file_t never_written(taken);
  never_written.update_size();
  EXPECT_EQ(never_written.size(), 0u);
  EXPECT_TRUE(fx.drain());
  EXPECT_EQ(read_file(taken), "another job's data");
  fs::remove(taken);

  auto lost = segment("missing-dir/file");
  const auto result = append(*lost, "x");
  ASSERT_EQ(result.index(), 1u);
  EXPECT_EQ(code_of(result), boost::system::errc::no_such_file_or_directory);
  EXPECT_EQ(lost->size(), 0u);
}

TEST_F(SpoolTest, FailedRemovalIsLoggedButAFileAlreadyGoneIsNot) {
  auto log = std::make_shared<recording_log_t>();
  install_log(log);
  // The engine names a directory as the cured file's place: it cannot be unlinked.
  const std::string cured_dir = path("cured");
  fs::create_directory(cured_dir);
  {
    bk_local_file_t file(path("kept"));
    file.write("data", 4);
    file.set_path(cured_dir);
  }
  EXPECT_TRUE(log->has_line("Error: Spool file \"" + cured_dir + "\": unlink: Is a directory"));
  fs::remove(cured_dir);
  fs::remove(path("kept"));
  const std::size_t lines = log->lines.size();
  {
    bk_local_file_t file(path("gone"));
    file.write("data", 4);
    fs::remove(path("gone"));
  }
  EXPECT_EQ(log->lines.size(), lines);
}

TEST_F(SpoolTest, ReadsAreExactPastFourGiBAndAFileEndingEarlyIsAnError) {
  constexpr std::uint64_t k4GiB = std::uint64_t(1) << 32;
  // A sparse file: 4 GiB of hole, then a few bytes, without writing the hole.
  bk_local_file_t big(path("big"));
  big.write("head", 4);
  ASSERT_EQ(::truncate(path("big").c_str(), k4GiB + 10), 0);
  big.update_size();
  ASSERT_EQ(big.size(), k4GiB + 10);
  bk_local_file_t patch(path("big.patch1"));
  patch.write("tail!", 5);
  big.append_file(patch);
  EXPECT_EQ(big.size(), k4GiB + 15);
  // Read only the last 16 bytes: 32-bit counts would see a 15-byte file.
  bk_local_file_t::read_list_t list;
  list.emplace_back(big);
  list.front().position = k4GiB - 1;
  ASSERT_EQ(::lseek(list.front().fd, k4GiB - 1, SEEK_SET), static_cast<off_t>(k4GiB - 1));
  std::string all;
  while (!list.empty()) all += *bk_local_file_t::read_chunk(list, 65535);
  EXPECT_EQ(all, std::string(11, '\0') + "tail!");

  list.emplace_back(patch);
  ASSERT_EQ(::truncate(path("big.patch1").c_str(), 4), 0);
  try {
    bk_local_file_t::read_chunk(list, 16);
    FAIL() << "read past the end";
  } catch (const fs::filesystem_error& e) {
    EXPECT_EQ(e.code(), make_error_code(vl::EC_UNEXPECTED_EOF));
  }
}

TEST_F(SpoolTest, DataAfterQueuedRequestsGoesToPatchesMergedOneAtATime) {
  bk_spool_t spool(fx.io(), queue, fx.spool_dir());
  const std::string main_path = spool.path();
  EXPECT_EQ(read_back(spool, 10), "");
  // A patch takes the data until a request is queued after it. The main file stays
  // empty, and no reading sees it.
  spool.add_request(bk::ScanOptions());
  append(spool, "A1");
  spool.add_request(bk::ScanOptions());
  append(spool, "B22");
  append(spool, "b");
  spool.add_request(bk::ScanOptions());
  append(spool, "C333");
  EXPECT_EQ(read_file(main_path + ".patch2"), "B22b");
  // Chunks never span two segments.
  EXPECT_EQ(read_back(spool, 3), "A1|B22|b|C33|3|");

  // The main file's request is answered: the first patch joins it, with its request.
  // Until its bytes show in the main file they count where they were, and a reading
  // started meanwhile sees them.
  spool.pop_request();
  bool merged = false;
  spool.unlock([&](std::exception_ptr failure) { merged = !failure; });
  EXPECT_EQ(spool.size(), 10u);
  EXPECT_EQ(read_back(spool, 5), "A1|B22b|C333|");
  EXPECT_TRUE(merged);
  EXPECT_EQ(read_file(main_path), "A1");
  EXPECT_FALSE(fs::exists(main_path + ".patch1"));
  EXPECT_EQ(spool.request_count(), 2u);
  ASSERT_NE(spool.front_request(), nullptr);
  spool.pop_request();
  EXPECT_TRUE(await<std::exception_ptr>([&](auto done) { spool.unlock(done); }) == nullptr);
  EXPECT_EQ(read_file(main_path), "A1B22b");
  // Numbers are never reused.
  append(spool, "D");
  spool.add_request(bk::ScanOptions());
  append(spool, "E");
  EXPECT_EQ(read_file(main_path + ".patch3"), "C333D");
  EXPECT_EQ(read_file(main_path + ".patch4"), "E");
  // A segment that cannot be opened fails the reading.
  fs::remove(main_path + ".patch4");
  EXPECT_EQ(code_of(open_reading(spool)), boost::system::errc::no_such_file_or_directory);
}

TEST_F(SpoolTest, NothingArrivesAfterTheOwnerIsGoneAndNoFileStays) {
  bool called = false;
  for (int i = 0; i < 5; ++i) {
    // Released at once: a write already running finishes and its file is removed
    // on the worker; one not yet started is skipped.
    auto file = segment("doomed" + std::to_string(i));
    file->append_data(chunk("data"), [&](const auto&) { called = true; });
    file->sync([&](std::exception_ptr) { called = true; });
  }
  {
    bk_spool_t spool(fx.io(), queue, fx.spool_dir());
    append(spool, "data");
    spool.append(chunk("more"), [&](const auto&) { called = true; });
    spool.unlock([&](std::exception_ptr) { called = true; });
    spool.open_reading([&](const auto&) { called = true; });
  }
  EXPECT_TRUE(fx.drain());
  EXPECT_FALSE(called);
}
