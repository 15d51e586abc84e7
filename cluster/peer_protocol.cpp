#include "cluster/peer_protocol.h"

#include "framework/error.h"

namespace {

using client_message_t = bk::BrelClient2ServerMessage;
using server_message_t = bk::BrelServer2ClientMessage;

}  // namespace

std::string peer_client_tag_name(client_message_t::BrelClientMessageTag tag) {
  if (!client_message_t::BrelClientMessageTag_IsValid(tag)) return std::to_string(tag);
  return client_message_t::BrelClientMessageTag_Name(tag);
}

std::string peer_server_tag_name(server_message_t::BrelServerMessageTag tag) {
  if (!server_message_t::BrelServerMessageTag_IsValid(tag)) return std::to_string(tag);
  return server_message_t::BrelServerMessageTag_Name(tag);
}

void check_peer_client_fields(const client_message_t& message) {
  bool present = message.has_job_id();
  switch (message.tag()) {
    case client_message_t::HELLO:
      present = message.has_protocol_version();
      break;
    case client_message_t::DATA_CHUNK:
      present = present && message.has_data();
      break;
    case client_message_t::SCAN_REQUEST:
      present = present && message.has_scan_options();
      break;
    default:
      break;
  }
  if (!present) throw_error(vl::EC_INVALID_ARGUMENT, peer_client_tag_name(message.tag()));
}

void check_peer_server_fields(const server_message_t& message) {
  bool present = message.has_job_id();
  switch (message.tag()) {
    case server_message_t::STATUS:
      present = message.has_server_status();
      break;
    case server_message_t::DATA_CHUNK:
      present = present && message.has_data();
      break;
    case server_message_t::SCAN_RESPONSE:
      present = present && message.has_scan_report();
      break;
    case server_message_t::GET_DATA_RESPONSE:
    case server_message_t::DATA_CHUNK_APPENDED:
      present = present && message.has_data_size();
      break;
    case server_message_t::ALARM:
      present = present && message.has_error() && message.has_soft();
      break;
    default:
      break;
  }
  if (!present) throw_error(vl::EC_INVALID_ARGUMENT, peer_server_tag_name(message.tag()));
}

void check_peer_protocol_version(uint32_t version) {
  if (version != kPeerProtocolVersion) {
    throw_error(vl::EC_INVALID_ARGUMENT, "Peer protocol versions mismatch");
  }
}
