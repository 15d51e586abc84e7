// Two threads of its own that compute the SHA-1 and SHA-256 of spooled files.
//
// Owned by bk_inventory_t; its threads run from construction to destruction, which
// abandons tasks not yet started (their callbacks never run). hash_file is called
// on the main thread; the callback runs later on the event loop, exactly once for
// every task that starts, and may be dropped when the loop is gone. Completions of
// two requests may arrive in either order.
#pragma once

#include <exception>
#include <functional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>

#include "core/hash_values.h"

class bk_core_inventory_t;

class bk_digest_pool_t {
 public:
  // On failure the exception is set and both texts are empty.
  using callback_t = std::function<void(std::exception_ptr, const bk_hash_values_t&)>;

  explicit bk_digest_pool_t(bk_core_inventory_t& inventory);
  // REQUIRES: `io` outlives the pool.
  explicit bk_digest_pool_t(boost::asio::io_context& io);
  ~bk_digest_pool_t();
  bk_digest_pool_t(const bk_digest_pool_t&) = delete;
  bk_digest_pool_t& operator=(const bk_digest_pool_t&) = delete;

  // Reads the file once, feeding each requested digest. Returns at once.
  void hash_file(bool sha1, bool sha256, const std::string& path, callback_t callback);

 private:
  static bk_hash_values_t hash_task(bool sha1, bool sha256, const std::string& path);

  // Constant after construction.
  boost::asio::io_context& io_;
  boost::asio::thread_pool threads_;
};
