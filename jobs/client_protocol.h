// The fixed figures and message rules of the client protocol (schema
// brel_client_ipc) that the client tie enforces and the jobs rely on: the
// flow-control window, the read-back chunk sizes, the frame limit, and which fields
// each client message must carry.
//
// Constants and stateless functions; safe on any thread, used on the event loop.
#pragma once

#include <cstdint>
#include <string>

#include "schemas/brel_client_ipc.pb.h"

// Largest client frame body; a longer (or empty) frame is EC_BAD_MESSAGE_SIZE.
constexpr uint32_t kClientMessageMaxSize = 67108864;

// Data bytes a client with flow control may send at once after HELLO (48 MiB).
constexpr uint32_t kClientInitialWindow = 50331648;
// Stored bytes are granted back only once more than this many wait (24 MiB), so that
// a busy connection gets few, large ADJUST_WINDOW messages.
constexpr uint32_t kClientGrantThreshold = 25165824;

// Read-back chunk size a client tie and a job backup ask of a job running here.
constexpr uint32_t kLocalReadChunk = 65535;
// Read-back chunk size a peer tie-in asks of its local job; such chunks reach the
// client unchanged, so a client accepts DATA_CHUNK data of up to this many bytes.
constexpr uint32_t kPeerReadChunk = 65536;

// The tag's schema name ("HELLO", "SCAN_REQUEST", ...), the context text of a
// message's protocol errors; the decimal number for a value outside the enumeration.
std::string client_tag_name(bk::ClientMessage::ClientMessageTag tag);

// Throws boost::system::system_error with EC_INVALID_ARGUMENT and the tag's name as
// context when a field `message`'s tag requires is absent: HELLO `origin` and
// `origin_pid`; every other tag `job_id`; DATA_CHUNK also `data`; SCAN_REQUEST also
// `scan_options`. Presence is what counts: an empty `data` or `scan_options` passes.
// An `origin` outside vl::Application never parses as present. A tag outside the
// enumeration throws EC_UNEXPECTED_MESSAGE with its number as context.
void check_required_fields(const bk::ClientMessage& message);
