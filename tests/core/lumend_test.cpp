#include "core/lumend.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <vector>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>

#include "framework/error.h"
#include "schemas/brel_config.pb.h"
#include "schemas/lumend_client_ipc.pb.h"
#include "tests/support/frame.h"
#include "tests/support/full_backlog.h"
#include "tests/support/link_end.h"
#include "tests/support/proto_text.h"
#include "tests/support/run_until.h"
#include "tests/support/temp_dir.h"

namespace {

using std::chrono::milliseconds;
using stream_protocol = boost::asio::local::stream_protocol;

const std::string kBad = "3395856CE81F2B7382DEE72602F798B642F14140";
const std::string kClean = "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709";

// The cloud-lookup daemon's side of the socket, on the test's event loop. It
// answers or stays silent on each request, and can forge any bytes or hang up.
class fake_cloud_t {
 public:
  enum class mode_t { answer, silent };
  using end_t = link_end_t<cf_local_ipc_link_t, cl::ClientMessage>;

  fake_cloud_t(boost::asio::io_context& io, const std::string& path)
      : io(io), acceptor(io, stream_protocol::endpoint(path)) {
    start_accept();
  }
  // A held one takes no connection, with room for none waiting, until released.
  struct held_t {};
  fake_cloud_t(boost::asio::io_context& io, const std::string& path, held_t)
      : io(io), acceptor(io, stream_protocol::endpoint(path)) {
    acceptor.listen(0);
  }
  void release() { start_accept(); }

  void answer(std::uint32_t serial, vl::ErrorCode code, bool threat = false) {
    send_bytes(
        frame_of(from_text<cl::ServerMessage>(
                     "tag: CHECK_FILE_RESPONSE serial: " + std::to_string(serial) +
                     " file_result { result: " + vl::ErrorCode_Name(code) +
                     (threat ? " virus { type: SE_KNOWN_VIRUS name: 'Cloud.Test' }" : "") + " }")
                     .SerializeAsString()));
  }
  // Small writes never fill a UNIX socket's buffer.
  void send_bytes(const std::string& bytes) {
    ASSERT_TRUE(current);
    current->send_raw(bytes);
  }
  void drop() {
    if (current) current->close();
    current.reset();
  }

  mode_t mode = mode_t::answer;
  vl::ErrorCode result = vl::EC_OK;
  std::vector<cl::ClientMessage> requests;
  int connections = 0;
  // Connections the daemon closed.
  int hang_ups = 0;

 private:
  void start_accept() {
    auto socket = std::make_shared<cf_local_socket_t>(io);
    acceptor.async_accept(*socket, [this, socket](boost::system::error_code e) {
      if (e) return;
      ++connections;
      auto end = end_t::open(socket);
      end->on_each = [this](const cl::ClientMessage& request) {
        requests.push_back(request);
        if (mode == mode_t::answer)
          answer(request.serial(), result, result == vl::EC_OK && request.file().sha1() == kBad);
      };
      end->on_end = [this, weak = std::weak_ptr<end_t>(end)](boost::system::error_code e) {
        if (e == boost::asio::error::eof) ++hang_ups;
        if (current == weak.lock()) current.reset();
      };
      current = end;
      start_accept();
    });
  }

  boost::asio::io_context& io;
  stream_protocol::acceptor acceptor;
  std::shared_ptr<end_t> current;
};

struct answer_t {
  boost::system::error_code result;
  std::optional<vl::Virus> virus;
};

class LumendTest : public ::testing::Test {
 protected:
  ~LumendTest() override { lumend.reset(); }

  void make_lumend(bk_lumend_timing_t timing = bk_lumend_timing_t(), bool use_cloud = true) {
    lumend = std::make_unique<bk_lumend_t>(
        io,
        [this](bk_lumend_t::path_callback_t callback) {
          ++path_requests;
          // The configuration daemon answers later, never inside the request.
          boost::asio::post(io, [this, callback] {
            callback(path_error, path_error ? boost::filesystem::path() : served_path);
          });
        },
        timing);
    configure(use_cloud);
  }

  void configure(bool use_cloud) {
    vl::BrelConfig config;
    config.set_use_cloud(use_cloud);
    lumend->configure(config);
  }

  // Starts a check whose answer lands in answers[id]; a second answer fails the test.
  void check(int id, const std::string& sha1 = kClean, std::uint64_t size = 100,
             std::uint64_t timeout_ms = 3000) {
    lumend->check(sha1, size, recorder(id), timeout_ms);
  }

  bk_lumend_t::callback_t recorder(int id) {
    return
        [this, id](const boost::system::error_code& result, const std::optional<vl::Virus>& virus) {
          EXPECT_EQ(answers.count(id), 0u) << "check " << id << " answered twice";
          answers[id] = answer_t{result, virus};
        };
  }

  bool wait_answer(int id) {
    return run_until(io, [&] { return answers.count(id) > 0; });
  }

  boost::system::error_code result_of(int id) {
    EXPECT_TRUE(wait_answer(id)) << "check " << id << " not answered";
    return answers[id].result;
  }

  // Runs one check to its answer and returns the result.
  boost::system::error_code check_and_wait(int id) {
    cloud->mode = fake_cloud_t::mode_t::answer;
    check(id);
    return result_of(id);
  }

  // Starts a check the cloud daemon receives and leaves unanswered.
  void check_unanswered(int id, std::uint64_t timeout_ms = 3000) {
    cloud->mode = fake_cloud_t::mode_t::silent;
    const std::size_t sent = cloud->requests.size();
    check(id, kClean, 100, timeout_ms);
    ASSERT_TRUE(run_until(io, [&] { return cloud->requests.size() > sent; }));
  }

  temp_dir_t dir;
  boost::asio::io_context io;
  const std::string socket_path = dir / "lumend.sock";
  boost::filesystem::path served_path = socket_path;
  std::exception_ptr path_error;
  std::unique_ptr<fake_cloud_t> cloud = std::make_unique<fake_cloud_t>(io, socket_path);
  int path_requests = 0;
  std::map<int, answer_t> answers;
  std::unique_ptr<bk_lumend_t> lumend;
};

const boost::system::error_code kOk = make_error_code(vl::EC_OK);
const boost::system::error_code kNoLumend = make_error_code(vl::EC_NO_LUMEND);
const boost::system::error_code kNetTimeout = make_error_code(vl::EC_NETWORK_TIMEDOUT);
const boost::system::error_code kDisconnected = make_error_code(vl::EC_LINK_DISCONNECTED);

TEST_F(LumendTest, QueuedChecksShareOneAcquisitionAndGoOutInOrder) {
  make_lumend();
  check(0, kClean);
  check(1, kBad);
  check(2, kClean, 5ull << 30);
  // Too long for the clock's nanoseconds, and too long for any count at all: such
  // timeouts never expire early.
  check(3, kClean, 100, std::uint64_t{1} << 50);
  check(4, kClean, 100, std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(lumend->waiting_count(), 5u);
  ASSERT_TRUE(wait_answer(4));
  EXPECT_EQ(path_requests, 1);

  ASSERT_EQ(cloud->requests.size(), 5u);
  EXPECT_EQ(
      cloud->requests[0].ShortDebugString(),
      "tag: CHECK_FILE_REQUEST serial: 0 file { sha1: \"" + kClean + "\" path: \"\" size: 100 }");
  EXPECT_EQ(
      cloud->requests[1].ShortDebugString(),
      "tag: CHECK_FILE_REQUEST serial: 1 file { sha1: \"" + kBad + "\" path: \"\" size: 100 }");
  // Only the low 32 bits of the size travel.
  EXPECT_EQ(cloud->requests[2].file().size(), 1u << 30);
  for (int id = 0; id < 5; ++id) EXPECT_EQ(answers[id].result, kOk) << id;
  EXPECT_FALSE(answers[0].virus);
  EXPECT_EQ(answers[1].virus.value_or(vl::Virus()).ShortDebugString(),
            "type: SE_KNOWN_VIRUS name: \"Cloud.Test\"");
}

TEST_F(LumendTest, ChecksWaitOutAConnectHeldByAFullBacklogThenGoOutInOrder) {
  bk_lumend_timing_t timing;
  // Armed by the first link, the release ends while the next connect is held: the
  // connect goes on.
  timing.release = milliseconds(20);
  make_lumend(timing);
  check_unanswered(0);
  served_path = dir / "held.sock";
  fake_cloud_t held(io, served_path.string(), fake_cloud_t::held_t());
  full_backlog_t backlog(served_path.string());
  cloud->drop();
  EXPECT_EQ(result_of(0), kDisconnected);

  check(1);
  check(2);
  // The loop goes on, past the release time, while the cloud daemon takes no
  // connection.
  ASSERT_TRUE(run_past(io, milliseconds(60)));
  EXPECT_EQ(answers.size(), 1u);
  check(3);
  EXPECT_EQ(lumend->waiting_count(), 3u);
  EXPECT_FALSE(lumend->linked());
  EXPECT_EQ(path_requests, 2);

  held.release();
  for (int id = 1; id <= 3; ++id) EXPECT_EQ(result_of(id), kOk);
  ASSERT_EQ(held.requests.size(), 3u);
  for (std::uint32_t serial = 0; serial < 3; ++serial)
    EXPECT_EQ(held.requests[serial].serial(), serial);
  EXPECT_EQ(held.connections, static_cast<int>(backlog.size()) + 1);
}

TEST_F(LumendTest, RefusalsAndFailedAcquisitionsAnswerWithNoLumendButNeverInsideCheck) {
  make_lumend(bk_lumend_timing_t(), false);
  check(0);
  EXPECT_TRUE(answers.empty());
  EXPECT_EQ(result_of(0), kNoLumend);
  EXPECT_EQ(path_requests, 0);

  configure(true);
  path_error = std::make_exception_ptr(cf_proto_exception_t(vl::EC_NO_LUMEND, "not installed"));
  check(1);
  check(2);
  EXPECT_EQ(result_of(1), kNoLumend);
  EXPECT_EQ(result_of(2), kNoLumend);
  EXPECT_EQ(path_requests, 1);
  // A path nobody listens on, or one too long for a UNIX socket, fails the same way.
  path_error = nullptr;
  served_path = dir / "nobody.sock";
  EXPECT_EQ(check_and_wait(3), kNoLumend);
  served_path = "/" + std::string(200, 'x');
  EXPECT_EQ(check_and_wait(4), kNoLumend);

  // Switching the cloud off fails what is pending at once.
  served_path = socket_path;
  check_unanswered(5);
  configure(false);
  ASSERT_EQ(answers.count(5), 1u);
  EXPECT_EQ(answers[5].result, kNoLumend);
  EXPECT_FALSE(lumend->linked());
}

TEST_F(LumendTest, CheckTimesOutLateAnswerIsDroppedAndIdleLinkIsReleased) {
  bk_lumend_timing_t timing;
  // Expires while the check is pending, so only the timeout can arm it again.
  timing.release = milliseconds(60);
  make_lumend(timing);
  const auto started = std::chrono::steady_clock::now();
  check_unanswered(0, 150);
  EXPECT_EQ(result_of(0), boost::system::error_code(ETIMEDOUT, boost::system::system_category()));
  EXPECT_GE(std::chrono::steady_clock::now() - started, milliseconds(150)) << "timed out early";
  // A second answer would fail the recorder.
  cloud->answer(0, vl::EC_OK);

  // The timeout emptied the pending list: the idle link still goes after its time.
  ASSERT_TRUE(run_until(io, [&] { return cloud->hang_ups == 1; }));
  EXPECT_FALSE(lumend->linked());
  EXPECT_EQ(check_and_wait(1), kOk);
  EXPECT_EQ(path_requests, 2);
  EXPECT_EQ(cloud->connections, 2);
}

TEST_F(LumendTest, ElevenCloudTimeoutsSuspendUntilRecoveryThenThreeMoreSuspendAgain) {
  bk_lumend_timing_t timing;
  timing.recovery = milliseconds(50);
  make_lumend(timing);
  cloud->result = vl::EC_NETWORK_TIMEDOUT;
  int id = 0;
  for (; id < 10; ++id) ASSERT_EQ(check_and_wait(id), kNetTimeout);
  EXPECT_FALSE(lumend->suspended());
  EXPECT_EQ(check_and_wait(id++), kNetTimeout);
  EXPECT_TRUE(lumend->suspended());
  EXPECT_FALSE(lumend->linked());
  const std::size_t requests_before = cloud->requests.size();
  EXPECT_EQ(check_and_wait(id++), kNoLumend);
  EXPECT_EQ(cloud->requests.size(), requests_before);

  ASSERT_TRUE(run_until(io, [&] { return !lumend->suspended(); }));
  EXPECT_EQ(check_and_wait(id++), kNetTimeout);
  EXPECT_EQ(check_and_wait(id++), kNetTimeout);
  EXPECT_FALSE(lumend->suspended());
  EXPECT_EQ(check_and_wait(id++), kNetTimeout);
  EXPECT_TRUE(lumend->suspended());

  // One clean answer after recovery resets the count.
  ASSERT_TRUE(run_until(io, [&] { return !lumend->suspended(); }));
  cloud->result = vl::EC_OK;
  EXPECT_EQ(check_and_wait(id++), kOk);
  cloud->result = vl::EC_NETWORK_TIMEDOUT;
  for (int i = 0; i < 10; ++i) ASSERT_EQ(check_and_wait(id++), kNetTimeout);
  EXPECT_FALSE(lumend->suspended());
}

TEST_F(LumendTest, HangUpsAndMalformedRepliesFailTheCheckAndTheLinkIsReacquired) {
  make_lumend();
  auto message = [&](const std::string& text) {
    return frame_of(from_text<cl::ServerMessage>(text).SerializePartialAsString());
  };
  const struct {
    const char* what;
    std::string bytes;  // none: the cloud daemon hangs up
    vl::ErrorCode expected;
  } cases[] = {
      {"hang-up", "", vl::EC_LINK_DISCONNECTED},
      {"garbage body", frame_of("\xff\xff\xff"), vl::EC_BAD_MESSAGE_FORMAT},
      {"url response", message("tag: CHECK_URL_RESPONSE serial: 0"), vl::EC_UNEXPECTED_MESSAGE},
      {"no file result", message("tag: CHECK_FILE_RESPONSE serial: 0"), vl::EC_PROTOCOL_VIOLATION},
      {"no serial", message("tag: CHECK_FILE_RESPONSE file_result { result: EC_OK }"),
       vl::EC_PROTOCOL_VIOLATION},
      {"zero length", length_prefix(0), vl::EC_BAD_MESSAGE_SIZE},
      {"length over limit", length_prefix(kIpcLinkLimit + 1), vl::EC_BAD_MESSAGE_SIZE},
  };
  int id = 0;
  for (const auto& forged : cases) {
    SCOPED_TRACE(forged.what);
    check_unanswered(id);
    forged.bytes.empty() ? cloud->drop() : cloud->send_bytes(forged.bytes);
    EXPECT_EQ(result_of(id++), make_error_code(forged.expected));
    EXPECT_FALSE(lumend->linked());
    EXPECT_EQ(check_and_wait(id++), kOk);
    // Serials restart with each new link.
    EXPECT_EQ(cloud->requests.back().serial(), 0u);
  }
  EXPECT_EQ(path_requests, static_cast<int>(std::size(cases)) + 1);
}

TEST_F(LumendTest, ACallbackThatChecksAgainDuringAFailureGoesOutOnTheNextLink) {
  make_lumend();
  cloud->mode = fake_cloud_t::mode_t::silent;
  int calls = 0;
  lumend->check(kClean, 1,
                [&](const boost::system::error_code& result, const std::optional<vl::Virus>&) {
                  ++calls;
                  EXPECT_EQ(result, kDisconnected);
                  // Goes out on the next link, not failed with this one.
                  check(10);
                });
  check(1);
  ASSERT_TRUE(run_until(io, [&] { return cloud->requests.size() == 2; }));
  cloud->mode = fake_cloud_t::mode_t::answer;
  cloud->drop();
  EXPECT_EQ(result_of(1), kDisconnected);
  EXPECT_EQ(result_of(10), kOk);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(path_requests, 2);
}

TEST_F(LumendTest, StaleDeadlineNeverTimesOutALaterCheckWithTheSameSerial) {
  bk_lumend_timing_t timing;
  timing.release = milliseconds(10);
  make_lumend(timing);
  // Serial 0 again, on a new link, with a long deadline: well past the old one,
  // nothing may be answered yet.
  auto reused_serial_waits = [&](int id) {
    check_unanswered(id, 5000);
    EXPECT_EQ(cloud->requests.back().serial(), 0u);
    ASSERT_TRUE(run_past(io, milliseconds(120)));
    EXPECT_EQ(answers.count(id), 0u);
    cloud->answer(0, vl::EC_OK);
    EXPECT_EQ(result_of(id), kOk);
  };
  // Answered, then the idle link released.
  check(0, kClean, 100, 40);
  ASSERT_TRUE(wait_answer(0));
  ASSERT_TRUE(run_until(io, [&] { return cloud->hang_ups == 1; }));
  reused_serial_waits(1);
  // Failed with its link.
  ASSERT_TRUE(run_until(io, [&] { return cloud->hang_ups == 2; }));
  check_unanswered(2, 40);
  cloud->drop();
  EXPECT_EQ(result_of(2), kDisconnected);
  reused_serial_waits(3);
}

TEST_F(LumendTest, ACallbackThatChecksAgainWhenTheCloudIsSwitchedOffIsRefusedAfterTheSwitch) {
  make_lumend();
  int calls = 0;
  cloud->mode = fake_cloud_t::mode_t::silent;
  lumend->check(kClean, 1, [&](const boost::system::error_code&, const std::optional<vl::Virus>&) {
    ++calls;
    check(20);
  });
  ASSERT_TRUE(run_until(io, [&] { return cloud->requests.size() == 1; }));
  configure(false);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(answers.count(20), 0u);
  EXPECT_EQ(result_of(20), kNoLumend);
}

TEST_F(LumendTest, DestructionAnswersPendingAndQueuedChecksAndRefusesNewOnes) {
  make_lumend();
  cloud->mode = fake_cloud_t::mode_t::silent;
  bk_lumend_t* dying = lumend.get();
  lumend->check(kClean, 1, [&](const boost::system::error_code& result, const auto&) {
    answers[0] = answer_t{result, {}};
    // Refused, and not from inside the destructor.
    dying->check(kClean, 1, recorder(1), 3000);
  });
  ASSERT_TRUE(run_until(io, [&] { return cloud->requests.size() == 1; }));
  lumend.reset();
  EXPECT_EQ(answers[0].result, make_error_code(vl::EC_APP_TERMINATED));
  EXPECT_EQ(answers.count(1), 0u);
  EXPECT_EQ(result_of(1), kNoLumend);

  // A check still waiting for the path; the path reply after destruction is dropped.
  make_lumend();
  check(2);
  lumend.reset();
  ASSERT_EQ(answers.count(2), 1u);
  EXPECT_EQ(answers[2].result, make_error_code(vl::EC_APP_TERMINATED));
  io.poll();
}

TEST_F(LumendTest, AReusedSerialNamesOnlyItsOwnCheck) {
  make_lumend();
  check_unanswered(0);
  // As if 2^32 - 1 checks had gone out since: the counter comes round to serial 0,
  // which the first check still holds.
  constexpr std::uint32_t kLast = std::numeric_limits<std::uint32_t>::max();
  lumend->set_next_serial(kLast);
  check_unanswered(1);
  check_unanswered(2);
  ASSERT_EQ(cloud->requests.size(), 3u);
  EXPECT_EQ(cloud->requests[1].serial(), kLast);
  EXPECT_EQ(cloud->requests[2].serial(), 1u);
  cloud->answer(1, vl::EC_OK, true);
  cloud->answer(kLast, vl::EC_NETWORK_TIMEDOUT);
  cloud->answer(0, vl::EC_OK);
  EXPECT_EQ(result_of(2), kOk);
  EXPECT_TRUE(answers[2].virus);
  EXPECT_EQ(result_of(1), kNetTimeout);
  EXPECT_EQ(result_of(0), kOk);
  EXPECT_FALSE(answers[0].virus);
  EXPECT_EQ(lumend->pending_count(), 0u);

  // Serials restart with a new link: the deadline of a check failed with the old one
  // does not time out the check that has its serial now.
  lumend->set_next_serial(0);
  check_unanswered(3, 100);
  EXPECT_EQ(cloud->requests.back().serial(), 0u);
  cloud->drop();
  EXPECT_EQ(result_of(3), kDisconnected);
  check_unanswered(4);
  EXPECT_EQ(cloud->requests.back().serial(), 0u);
  ASSERT_TRUE(run_past(io, milliseconds(200)));
  EXPECT_EQ(answers.count(4), 0u);
  cloud->answer(0, vl::EC_OK);
  EXPECT_EQ(result_of(4), kOk);
}

}  // namespace
