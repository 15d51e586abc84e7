// Fuzzes the cloud link's replies: the input is what the cloud-lookup daemon sends
// on the socket the real cloud-lookup manager connects to. Three checks are waiting
// for the link when it comes up (serials 0, 1 and 2 on it); the first answer asks
// once more, with a deadline of a millisecond, on that link or on a new one that
// the stand-in daemon hangs up at once. Whatever the daemon sends, the daemon does
// not end, and every check is answered exactly once (at the latest when the
// manager goes).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include "core/lumend.h"
#include "fuzz/support/fuzz_peer.h"
#include "schemas/brel_config.pb.h"

namespace {

namespace asio = boost::asio;

constexpr char kSha1[] = "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  asio::io_context io;
  fuzz_peer_t peer(io);
  fuzz_listener_t listener(io, peer, data, size);
  const boost::filesystem::path path = listener.path();

  std::vector<int> answers(4, 0);
  {
    bk_lumend_timing_t timing;
    timing.release = std::chrono::milliseconds(1);
    timing.recovery = std::chrono::milliseconds(1);
    bk_lumend_t manager(
        io,
        [&](bk_lumend_t::path_callback_t reply) {
          asio::post(io, [reply, path] { reply(nullptr, path); });
        },
        timing);
    vl::BrelConfig config;
    config.set_use_cloud(true);
    manager.configure(config);

    std::function<bk_lumend_t::callback_t(std::size_t)> answer = [&](std::size_t index) {
      return [&, index](const boost::system::error_code& result,
                        const std::optional<vl::Virus>& virus) {
        ++answers[index];
        result.message();
        if (virus) virus->ByteSizeLong();
        if (answers[3] == 0 && index != 3 && answers[0] + answers[1] + answers[2] == 1) {
          manager.check(kSha1, 1, answer(3), 1);
        }
      };
    };
    for (std::size_t i = 0; i < 3; ++i) manager.check(kSha1, i, answer(i), 60000);
    // The manager's deadline timer may still wait for checks answered long ago.
    fuzz_run_until(
        io,
        [&] {
          return peer.read_ended && !manager.linked() && manager.pending_count() == 0 &&
                 manager.waiting_count() == 0;
        },
        never_ends);
  }
  // The manager answered what was left when it went.
  for (const int count : answers) {
    if (count > 1) {
      std::fprintf(stderr, "A cloud check was answered %d times\n", count);
      std::abort();
    }
  }
  if (answers[0] + answers[1] + answers[2] != 3) {
    std::fprintf(stderr, "A cloud check was never answered\n");
    std::abort();
  }
  return 0;
}
