#include "jobs/client_acceptor_set.h"

#include <utility>

#include "schemas/brel_config.pb.h"

bk_client_acceptor_set_t::bk_client_acceptor_set_t(bk_core_inventory_t& inventory,
                                                   bk_client_job_factory_t job_factory)
    : inventory_(inventory), job_factory_(std::move(job_factory)) {}

bk_client_acceptor_set_t::~bk_client_acceptor_set_t() = default;

void bk_client_acceptor_set_t::start(const vl::BrelConfig& config) {
  apply(config);
}

void bk_client_acceptor_set_t::apply(const vl::BrelConfig& config) {
  configure_kind(config, bk_client_acceptor_t::kUnix);
  configure_kind(config, bk_client_acceptor_t::kTcp);
}

void bk_client_acceptor_set_t::configure_kind(const vl::BrelConfig& config, int kind) {
  const bool wanted = kind == bk_client_acceptor_t::kUnix
                          ? config.has_local_socket()
                          : config.has_ip_socket() && !config.internal_only();
  const auto found = acceptors_.find(kind);
  if (found != acceptors_.end()) {
    if (wanted && !found->second->needs_restart(config)) return;
    // The old listener closes (and a UNIX one removes its path) before a new one binds.
    acceptors_.erase(found);
  }
  if (!wanted) return;
  auto acceptor = bk_client_acceptor_t::create(inventory_, kind, job_factory_);
  acceptor->set_accept_retry_delay(accept_retry_delay_);
  if (first_accept_error_) acceptor->fail_next_accept(*first_accept_error_);
  acceptors_[kind] = acceptor;
  acceptor->start(config);
}
