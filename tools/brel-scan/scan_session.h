// brel_scan_session_t: one client conversation with the daemon, scanning a list of
// inputs one after another over a single connection. It says HELLO (with the
// flow-control window unless switched off), opens one job per input, streams the
// input within the window, asks for the scan, optionally reads the (cured) data
// back into an output file, and resets the job.
//
// Owned by main; main thread only. It talks to the connection only through the
// `send` and `close` callables it is given, and is fed by the connection's listener
// calls, so it can be driven by any transport.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "schemas/brel_client_ipc.pb.h"
#include "tools/brel-scan/client_link.h"
#include "tools/brel-scan/progress.h"
#include "tools/brel-scan/report_printer.h"

struct brel_scan_settings_t {
  // Only the options the user gave are set; the daemon applies the defaults.
  bk::ScanOptions options;
  // Where the returned data goes; empty: not read back.
  std::string output_path;
  bool flow_control = true;
  // Data bytes per DATA_CHUNK message.
  uint32_t chunk_size = 1024 * 1024;
  vl::Application origin = vl::APP_CONSOLE_SCANNER;
};

// One thing to scan: a file, or standard input when `path` is empty.
struct brel_scan_input_t {
  std::string display_name;
  std::string path;
};

class brel_scan_session_t : public brel_scan_link_listener_t {
 public:
  using send_fn_t = std::function<void(const bk::ClientMessage&)>;
  using close_fn_t = std::function<void()>;

  // REQUIRES: `printer` and `progress` outlive the session.
  brel_scan_session_t(brel_scan_settings_t settings, std::vector<brel_scan_input_t> inputs,
                      brel_scan_printer_t& printer, brel_scan_progress_t& progress, send_fn_t send,
                      close_fn_t close);
  ~brel_scan_session_t() override;

  // Says HELLO and opens the first job (at once without flow control, else when the
  // first window arrives).
  void start();

  void on_server_message(const bk::ServerMessage& message) override;
  void on_link_lost(const std::string& why) override;
  void on_link_idle() override;

 private:
  enum class phase_t { idle, streaming, scanning, reading_back };

  void start_next_job();
  void pump();
  void start_scan();
  void on_adjust_window(const bk::ServerMessage& message);
  void on_alarm(const bk::ServerMessage& message);
  void on_scan_response(const bk::ServerMessage& message);
  void on_get_data_response(const bk::ServerMessage& message);
  void on_data_chunk(const bk::ServerMessage& message);
  void finish_job(bool send_reset);
  // Ends the conversation: the daemon broke the protocol, or the link is gone.
  void abandon(const std::string& why);
  void close_input();
  void discard_output();
  void send(const bk::ClientMessage& message);

  // Constant after construction.
  const brel_scan_settings_t settings_;
  const std::vector<brel_scan_input_t> inputs_;
  brel_scan_printer_t& printer_;
  brel_scan_progress_t& progress_;
  const send_fn_t send_;
  const close_fn_t close_;

  // The conversation.
  bool finished_ = false;
  bool window_known_ = false;
  // Data bytes the client may still send; may go negative if the daemon shrinks it.
  int64_t window_ = 0;
  // Nothing queued on the connection: the next chunk may be read and sent.
  bool link_idle_ = true;
  std::size_t next_input_ = 0;
  uint32_t next_job_id_ = 1;

  // The job under way.
  phase_t phase_ = phase_t::idle;
  uint32_t job_id_ = 0;
  brel_scan_result_t result_;
  int input_fd_ = -1;
  int64_t input_size_ = -1;
  uint64_t sent_ = 0;
  // Read-back into a temporary file beside the output, renamed when complete.
  int output_fd_ = -1;
  std::string output_temp_;
  uint64_t expected_ = 0;
  uint64_t received_ = 0;
};
