// The peer client's end of a link and its remote jobs, against a scripted peer
// server over loopback TCP: a real plain peer connection, a real tie-out registered
// in the cluster of a real central object, remote jobs driven directly (their
// callbacks recorded) or by a real master job.
#include <deque>
#include <functional>
#include <memory>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cluster/cluster.h"
#include "cluster/peer_protocol.h"
#include "cluster/peer_socket.h"
#include "cluster/peer_tie_out.h"
#include "cluster/remote_job.h"
#include "framework/exception.h"
#include "jobs/master_job.h"
#include "tests/support/fake_job.h"
#include "tests/support/frame.h"
#include "tests/support/inventory_fixture.h"
#include "tests/support/peer_server_end.h"
#include "tests/support/proto_text.h"
#include "tests/support/recording_log.h"
#include "tests/support/run_until.h"
#include "wiring/master_job_services.h"

namespace {

using kind_t = bk_recording_delegate_t::kind_t;
using strings_t = std::vector<std::string>;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

std::string chunk_text(uint32_t serial, const std::string& data) {
  return "tag: DATA_CHUNK job_id: " + std::to_string(serial) + " data: \"" + data + "\"";
}

class PeerTieOutTest : public ::testing::Test {
 protected:
  peer_link_t& open() {
    links.push_back(open_peer_link(fixture.inventory()));
    return links.back();
  }
  // A link whose peer said it has engine processes.
  peer_link_t& ready() {
    peer_link_t& link = open();
    link.server->status(4, 0, 0);
    EXPECT_TRUE(run([&] { return cluster().nodes().find_ready(*link.tie) != nullptr; }));
    return link;
  }
  std::shared_ptr<bk_remote_job_t> create(peer_link_t& link, uint32_t job_id) {
    auto job = std::dynamic_pointer_cast<bk_remote_job_t>(link.tie->create_job(job_id));
    job->set_delegate(&client);
    return job;
  }
  static void send(bk_job_t& job, const std::string& data) {
    job.append_data(std::make_shared<const std::string>(data));
  }
  bool run(const std::function<bool()>& done) { return fixture.run_until(done); }
  bool received(peer_link_t& link, std::size_t count) {
    return run([&] { return link.server->messages.size() == count; });
  }
  bk_cluster_t& cluster() { return *fixture.inventory().cluster; }
  // "max_forks job_count bytes_in_queue" as the cluster reads them.
  static std::string figures(const bk_peer_tie_out_t& tie) {
    return std::to_string(tie.max_forks()) + " " + std::to_string(tie.job_count()) + " " +
           std::to_string(tie.bytes_in_queue());
  }
  // Each answer the jobs got, in short; resumes and redirects are checked on their own.
  strings_t callbacks() const {
    strings_t result;
    for (const auto& e : client.events) {
      const std::string id = " " + std::to_string(e.job_id) + " ";
      if (e.kind == kind_t::kAppended) result.push_back("appended" + id + std::to_string(e.size));
      if (e.kind == kind_t::kScanResponse)
        result.push_back("report" + id + e.report.object() + " sha1=" + e.hashes.sha1);
      if (e.kind == kind_t::kGetDataResponse)
        result.push_back("read-back" + id + std::to_string(e.size));
      if (e.kind == kind_t::kDataChunk) result.push_back("chunk" + id + e.data);
      if (e.kind == kind_t::kDataResetResponse) result.push_back("data reset" + id);
      if (e.kind == kind_t::kAlarm)
        result.push_back("alarm" + id + std::to_string(e.code()) + " " + e.text() +
                         (e.soft ? " soft" : " hard"));
    }
    return result;
  }
  static std::string disconnected(const peer_link_t& link) {
    std::ostringstream text;
    text << "6 Load balance server " << link.endpoint << ": Link disconnected hard";
    return text.str();
  }

  log_capture_t log;
  bk_inventory_fixture_t fixture;
  bk_recording_delegate_t client;
  std::deque<peer_link_t> links;
};

TEST_F(PeerTieOutTest, EstimatesLoadBetweenStatusMessages) {
  peer_link_t& link = open();
  link.server->status(4, 3, 100);
  ASSERT_TRUE(run([&] { return link.tie->job_count() == 3; }));

  auto job = create(link, 1);
  EXPECT_EQ(figures(*link.tie), "4 4 100");
  send(*job, std::string(10, 'x'));
  job->scan(bk::ScanOptions());
  EXPECT_EQ(figures(*link.tie), "4 4 110");
  // A second open request weighs like another job of the same size.
  job->scan(bk::ScanOptions());
  EXPECT_EQ(figures(*link.tie), "4 5 120");
  const std::string answer = "tag: SCAN_RESPONSE job_id: 1 scan_report { object: \"\" }";
  link.server->send(answer);
  link.server->send(answer);
  ASSERT_TRUE(run([&] { return client.count(kind_t::kScanResponse) == 2; }));
  EXPECT_EQ(figures(*link.tie), "4 4 110");

  job->reset();
  job->reset();
  EXPECT_EQ(figures(*link.tie), "4 3 100");
  // A later job's chunk shows everything sent before it: one RESET_REQUEST.
  auto later = create(link, 2);
  send(*later, "z");
  ASSERT_TRUE(received(link, 6));
  EXPECT_EQ(link.server->texts()[4], "tag: RESET_REQUEST job_id: 1");

  // The next STATUS replaces the estimate.
  link.server->status(2, 1, 5);
  ASSERT_TRUE(run([&] { return link.tie->max_forks() == 2; }));
  EXPECT_EQ(figures(*link.tie), "2 1 5");
}

TEST_F(PeerTieOutTest, ProtocolErrorsEndTheLink) {
  using message_t = bk::BrelServer2ClientMessage;
  const std::pair<std::string, std::string> rows[] = {
      {from_text<message_t>("tag: STATUS job_id: 0 server_status { max_forks: 1 job_count: 0 "
                            "bytes_in_queue: 0 }")
           .SerializePartialAsString(),
       "IPC: Peer protocol versions mismatch: Invalid argument"},
      // Tag 9 is outside the enumeration: the required tag counts as missing.
      {std::string("\x08\x09", 2), "IPC: Invalid IPC message format"},
  };
  for (const auto& [body, error] : rows) {
    SCOPED_TRACE(error);
    peer_link_t& link = open();
    link.server->send_raw(frame_of(body));
    ASSERT_TRUE(
        run([&] { return link.server->ended && !cluster().is_peer_out_connected(link.endpoint); }));
    EXPECT_TRUE(log.lines->has_line("Error: " + link.tie->name() + ": " + error));
    link.tie.reset();
  }
}

TEST_F(PeerTieOutTest, ResetOnAClosedLinkSendsNothingAndKeepsTheJob) {
  peer_link_t& link = open();
  auto job = create(link, 5);
  send(*job, "abc");
  ASSERT_TRUE(received(link, 2));
  link.connection->close();
  job->reset();
  EXPECT_EQ(figures(*link.tie), "0 1 3");
  ASSERT_TRUE(run([&] { return link.server->ended; }));
  EXPECT_EQ(link.server->messages.size(), 2u);

  // Still listed: the tie-out's end fails it.
  cluster().on_peer_out_disconnected(link.tie);
  link.tie.reset();
  ASSERT_TRUE(run([&] { return client.count(kind_t::kAlarm) == 1; }));
  EXPECT_EQ(callbacks(), strings_t{"alarm 5 " + disconnected(link)});
}

TEST_F(PeerTieOutTest, JobsOfAGoneTieOutFailAtOnceOrAfterwards) {
  peer_link_t& link = open();
  std::vector<std::shared_ptr<bk_remote_job_t>> jobs;
  for (uint32_t id = 0; id < 5; ++id) jobs.push_back(create(link, id));
  // As a client tie drops a job on a hard alarm, inside the call.
  client.after_alarm = [&](const bk_recording_delegate_t::event_t& alarm) {
    jobs.at(alarm.job_id).reset();
  };
  cluster().on_peer_out_disconnected(link.tie);
  link.tie.reset();
  EXPECT_EQ(client.count(kind_t::kAlarm), 0u);

  send(*jobs[0], "abc");
  jobs[1]->scan(bk::ScanOptions());
  jobs[2]->get_data(65536);
  jobs[3]->data_reset();
  // The tie-out's own alarms reach only the job nobody called.
  ASSERT_TRUE(run([&] { return client.count(kind_t::kAlarm) == 5; }));
  ASSERT_TRUE(run_posted(fixture.io()));
  const std::string gone = "6 Peer has disconnected hard";
  EXPECT_EQ(callbacks(), (strings_t{"alarm 0 " + gone, "alarm 1 " + gone, "alarm 2 " + gone,
                                    "alarm 3 " + gone, "alarm 4 " + disconnected(link)}));
}

TEST_F(PeerTieOutTest, SaysHelloFirstAndNumbersJobsFromOne) {
  peer_link_t& link = open();
  auto first = create(link, 11);
  auto second = create(link, 12);
  send(*first, "a");
  send(*second, "b");
  send(*first, "c");
  ASSERT_TRUE(received(link, 4));
  EXPECT_EQ(link.server->texts(), (strings_t{"tag: HELLO protocol_version: 1", chunk_text(1, "a"),
                                             chunk_text(2, "b"), chunk_text(1, "c")}));
  EXPECT_THAT(link.tie->name(), MatchesRegex("PeerOut 0x[0-9a-f]+"));
  EXPECT_THAT(first->name(), MatchesRegex("Remote job 0x[0-9a-f]+"));
  const std::string peer = endpoint_text(link.endpoint);
  EXPECT_TRUE(log.lines->has_line("Debug: " + link.tie->name() + ": Created with " + peer));
  EXPECT_TRUE(log.lines->has_line("Debug: " + second->name() + ": peer " + peer + ", remote_id 2"));
}

TEST_F(PeerTieOutTest, AlarmWithoutSoftEndsTheLink) {
  peer_link_t& link = open();
  link.server->send("tag: ALARM job_id: 1 error { code: EC_NOT_READY }");
  ASSERT_TRUE(
      run([&] { return link.server->ended && !cluster().is_peer_out_connected(link.endpoint); }));
  EXPECT_TRUE(log.lines->has_line("Error: " + link.tie->name() + ": IPC: ALARM: Invalid argument"));
}

TEST_F(PeerTieOutTest, ResumesChunksOnceTheWriteCarryingThemIsDone) {
  // HELLO is still being written: the chunks wait for the next write.
  peer_link_t& link = open();
  auto first = create(link, 1);
  auto second = create(link, 2);
  auto third = create(link, 3);
  send(*first, "1");
  send(*second, "22");
  send(*third, "333");
  EXPECT_EQ(client.count(kind_t::kResume), 0u);
  // A job gone meanwhile is resumed no more.
  second.reset();
  ASSERT_TRUE(run([&] { return client.count(kind_t::kResume) == 2; }));
  EXPECT_EQ(client.sizes(kind_t::kResume), (std::vector<uint64_t>{1, 3}));
}

TEST_F(PeerTieOutTest, MasterJobMovesOffAPeerWhoseLinkDrops) {
  peer_link_t& first = ready();
  peer_link_t& second = ready();
  auto master = std::make_shared<bk_master_job_t>(fixture.inventory(), 7,
                                                  master_job_services(fixture.inventory()));
  master->set_delegate(&client);
  send(*master, "abc");
  ASSERT_TRUE(received(first, 2));
  EXPECT_EQ(first.server->texts()[1], chunk_text(1, "abc"));

  // Only the cluster holds the tie-out now, as in service.
  first.tie.reset();
  first.server->close();
  ASSERT_TRUE(received(second, 2));
  EXPECT_EQ(second.server->texts()[1], chunk_text(1, "abc"));
  EXPECT_THAT(master->describe(), HasSubstr("peer " + endpoint_text(second.endpoint)));
  // The failure counts against the peer, not this host.
  ASSERT_NE(cluster().nodes().find_rating(first.endpoint), nullptr);
  EXPECT_EQ(cluster().nodes().find_rating(first.endpoint)->failures, 1.0);
  EXPECT_EQ(cluster().nodes().local.rating.failures, 0.0);
  EXPECT_EQ(client.count(kind_t::kAlarm), 0u);
  master->reset();
}

TEST_F(PeerTieOutTest, RoutesEachAnswerToItsJob) {
  peer_link_t& link = open();
  auto job = create(link, 31);
  for (const char* text : {
           "tag: DATA_CHUNK_APPENDED job_id: 1 data_size: 3",
           // Above 32 bits: acknowledged in parts, never cut.
           "tag: DATA_CHUNK_APPENDED job_id: 1 data_size: 4294967298",
           "tag: SCAN_RESPONSE job_id: 1 scan_report { object: \"f\" } sha1: \"AB\"",
           "tag: GET_DATA_RESPONSE job_id: 1 data_size: 4294967301",
           "tag: DATA_CHUNK job_id: 1 data: \"xyz\"",
           "tag: DATA_RESET_RESPONSE job_id: 1",
           // Success in an alarm is still a failure.
           "tag: ALARM job_id: 1 error { code: EC_OK } soft: true",
           "tag: ALARM job_id: 1 error { code: EC_NOT_READY what: \"busy\" } soft: false",
           "tag: SCAN_RESPONSE job_id: 3 scan_report { object: \"\" }",
       }) {
    link.server->send(text);
  }
  ASSERT_TRUE(run([&] {
    return log.lines->has_line("Debug: " + link.tie->name() + ": Dropped SCAN_RESPONSE 3");
  }));
  EXPECT_EQ(callbacks(), (strings_t{"appended 31 3", "appended 31 4294967295", "appended 31 3",
                                    "report 31 f sha1=AB", "read-back 31 4294967301",
                                    "chunk 31 xyz", "data reset 31 ",
                                    "alarm 31 125 Unexpected error soft", "alarm 31 9 busy hard"}));
}

TEST_F(PeerTieOutTest, UsedUpSerialsRetireTheLinkAfterItsLastJob) {
  peer_link_t& link = ready();
  link.tie->set_next_serial(4294967295u);
  std::shared_ptr<bk_job_t> job = cluster().choose_node(1, {}, true);
  job->set_delegate(&client);
  EXPECT_THAT(job->describe(), HasSubstr("remote_id 4294967295"));
  EXPECT_EQ(link.tie->max_forks(), 0u);
  // Retiring, the link takes no job even before the cluster hears of it; with no
  // node left, the usual refusal, not the link's overflow.
  EXPECT_THROW(cluster().choose_node(2, {}, true), cf_proto_exception_t);
  ASSERT_TRUE(run([&] { return cluster().nodes().find_ready(*link.tie) == nullptr; }));

  send(*job, "x");
  job.reset();
  ASSERT_TRUE(
      run([&] { return link.server->ended && !cluster().is_peer_out_connected(link.endpoint); }));
  EXPECT_EQ(link.server->texts().back(), "tag: RESET_REQUEST job_id: 4294967295");
  EXPECT_EQ(link.server->texts().size(), 3u);
  EXPECT_EQ(client.count(kind_t::kAlarm), 0u);
}

TEST_F(PeerTieOutTest, AFullLinkTakesNoJobUntilOneEndsAndThePeerKeepsItsHealth) {
  peer_link_t& link = ready();
  std::vector<std::shared_ptr<bk_job_t>> jobs;
  for (uint32_t id = 1; id <= kPeerLinkJobLimit; ++id) {
    jobs.push_back(cluster().choose_node(id, {}, true));
  }
  // The only peer was attempted long ago, yet the job waits for room rather than
  // fail, and the peer is not blamed for it.
  try {
    cluster().choose_node(0, {}, true);
    ADD_FAILURE() << "placed on a full link";
  } catch (const cf_proto_exception_t& e) {
    EXPECT_EQ(e.code(), vl::EC_NOT_READY);
    EXPECT_STREQ(e.what(), "No peer is ready to process the job");
  }
  try {
    link.tie->create_job(0);
    ADD_FAILURE() << "a job beyond the bound";
  } catch (const cf_proto_exception_t& e) {
    EXPECT_EQ(e.code(), vl::EC_NOT_READY);
    EXPECT_STREQ(e.what(), "Too many open jobs on this peer link (16384)");
  }
  const bk_node_rating_t& rating = *cluster().nodes().find_rating(link.endpoint);
  EXPECT_EQ(rating.state, bk_node_rating_t::healthy);
  EXPECT_EQ(rating.failures, 0.0);

  // A job that ends makes room, once its RESET_REQUEST is on its way.
  jobs.front().reset();
  const std::shared_ptr<bk_job_t> next = cluster().choose_node(0, {}, true);
  EXPECT_THAT(next->describe(), HasSubstr("remote_id " + std::to_string(kPeerLinkJobLimit + 1)));
  ASSERT_TRUE(received(link, 2));
  EXPECT_EQ(link.server->texts()[1], "tag: RESET_REQUEST job_id: 1");
}

TEST_F(PeerTieOutTest, RemoteJobSplitsChunksAboveThePeerLimit) {
  peer_link_t& link = open();
  auto job = create(link, 1);
  std::string data(20 * 1024 * 1024, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 % 251);
  send(*job, data);
  const auto resumed = [&] {
    const std::vector<uint64_t> sizes = client.sizes(kind_t::kResume);
    return std::accumulate(sizes.begin(), sizes.end(), uint64_t{0});
  };
  ASSERT_TRUE(run([&] { return resumed() == data.size() && link.server->messages.size() == 4; }));
  std::string joined;
  for (size_t i = 1; i < link.server->messages.size(); ++i) {
    EXPECT_LE(link.server->messages[i].data().size(), kPeerMaxDataPiece);
    joined += link.server->messages[i].data();
  }
  EXPECT_TRUE(joined == data);
  EXPECT_EQ(link.tie->bytes_in_queue(), data.size());
  EXPECT_EQ(client.count(kind_t::kAlarm), 0u);
}

TEST_F(PeerTieOutTest, RemoteJobRefusedByTheLinkFailsAloneAndLeavesTheEstimate) {
  peer_link_t& link = open();
  auto job = create(link, 1);
  auto other = create(link, 2);
  send(*job, "abc");
  // Over 10 MiB of options, which a client may send.
  bk::ScanOptions huge;
  for (int i = 0; i < 4'000'000; ++i) huge.add_threat_hash(bk::SHA1);
  job->scan(huge);
  EXPECT_EQ(callbacks(), strings_t{"alarm 1 7 async_send_message: Invalid IPC message size hard"});
  EXPECT_EQ(job->scan_request_count(), 0u);
  EXPECT_EQ(figures(*link.tie), "0 2 3");
  send(*other, "d");
  ASSERT_TRUE(received(link, 3));
  EXPECT_EQ(link.server->texts()[2], chunk_text(2, "d"));
}

}  // namespace
