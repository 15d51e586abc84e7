#include "jobs/client_protocol.h"

#include "framework/error.h"

std::string client_tag_name(bk::ClientMessage::ClientMessageTag tag) {
  if (!bk::ClientMessage::ClientMessageTag_IsValid(tag)) return std::to_string(tag);
  return bk::ClientMessage::ClientMessageTag_Name(tag);
}

void check_required_fields(const bk::ClientMessage& message) {
  bool present = false;
  switch (message.tag()) {
    case bk::ClientMessage::HELLO:
      present = message.has_origin() && message.has_origin_pid();
      break;
    case bk::ClientMessage::INIT:
    case bk::ClientMessage::GET_DATA_REQUEST:
    case bk::ClientMessage::RESET:
      present = message.has_job_id();
      break;
    case bk::ClientMessage::DATA_CHUNK:
      present = message.has_job_id() && message.has_data();
      break;
    case bk::ClientMessage::SCAN_REQUEST:
      present = message.has_job_id() && message.has_scan_options();
      break;
    default:
      throw_error(vl::EC_UNEXPECTED_MESSAGE, client_tag_name(message.tag()));
  }
  if (!present) throw_error(vl::EC_INVALID_ARGUMENT, client_tag_name(message.tag()));
}
