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

// Back-pressure on every client and peer connection, whatever the client does with
// its window: the daemon reads no further frame from a connection while it holds
// more than kConnectionUnstoredLimit DATA_CHUNK bytes taken from it and not yet
// stored, or while more than kConnectionSendQueueLimit bytes of answers wait to be
// written to it, and reads on once both are back within their bounds.
// The initial window: a client that keeps to its window never has more unstored.
constexpr uint32_t kConnectionUnstoredLimit = kClientInitialWindow;
// 16 MiB: over a hundred thousand scan answers or 256 read-back chunks, so a client
// that reads its answers, or one that sends many requests before it reads, seldom
// meets it; small beside the unstored bytes, which bound the connection's memory.
constexpr uint32_t kConnectionSendQueueLimit = 16 * 1024 * 1024;
// Open jobs one client connection may hold: each holds a spool file's descriptor
// while it lives, so one connection must not take the descriptors every other one
// needs. A client's INIT beyond it is answered by an ALARM (EC_NOT_READY) and the
// connection goes on. A peer link, which carries the jobs of many clients, has its
// own, larger bound (kPeerLinkJobLimit).
constexpr uint32_t kConnectionJobLimit = 1024;

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
