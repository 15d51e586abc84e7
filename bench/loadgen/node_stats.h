// node_stats_t: how many jobs a daemon ran, read from the output of the stand-in
// configuration daemon it runs under. The daemon reports every second what it did
// in that second (client, "to peer" and "from peer" figures); stand-marrod prints
// each report that differs from the one before as a "statistics:" line. The jobs
// a node ran are its clients' files, less those sent to a peer, plus those a peer
// sent it.
//
// A plain value bound to one file; reads it on the calling thread. Counting a run
// needs the reports of the seconds before and after it to hold none of its
// neighbours' work: the caller leaves more than one second between runs.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

struct node_jobs_t {
  // Files answered to this node's own clients, wherever they ran.
  std::uint64_t client_files = 0;
  // Files this node had scanned on a peer.
  std::uint64_t to_peer_files = 0;
  // Files a peer had scanned on this node.
  std::uint64_t from_peer_files = 0;

  std::uint64_t ran_here() const { return client_files - to_peer_files + from_peer_files; }
};

class node_stats_t {
 public:
  explicit node_stats_t(std::string path) : path_(std::move(path)) {}

  // Remembers where the file ends now.
  void mark();
  // The sum of the statistics lines written after the mark.
  node_jobs_t since_mark() const;

 private:
  std::string path_;
  std::uint64_t mark_ = 0;
};

// Adds the figures of one "statistics:" line (the text after that word) to `jobs`.
void add_statistics_line(const std::string& text, node_jobs_t& jobs);
