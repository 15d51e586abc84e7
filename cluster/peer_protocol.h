// The fixed figures and message rules of the peer protocol (schema brel_brel_ipc)
// that both ends of a peer link enforce: the protocol version, the read-back chunk
// size, the largest data piece one DATA_CHUNK carries, the tag names that serve as
// error contexts and "Dropped" lines, and which fields each message must carry.
//
// Constants and stateless functions; safe on any thread, used on the event loop.
#pragma once

#include <cstdint>
#include <string>

#include "jobs/client_protocol.h"
#include "schemas/brel_brel_ipc.pb.h"

// The one protocol version both ends send and accept.
constexpr uint32_t kPeerProtocolVersion = 1;

// Data bytes one peer DATA_CHUNK carries at most: a client chunk larger than this
// (a client frame may hold up to 64 MiB) goes to a peer in several pieces, so that
// every frame stays well within the 10 MiB peer-link limit.
constexpr uint32_t kPeerMaxDataPiece = 8 * 1024 * 1024;

// Open jobs on one peer link, which both ends keep to: the tie-out opens no more
// (node choice passes a link at the bound over, and the job waits for a later
// placement), and the tie-in refuses a job beyond it with an ALARM (EC_NOT_READY)
// and the link goes on. A front node carries the jobs of all its clients over its
// one link to a peer, so the bound stands far above what one client connection
// may hold; it still keeps one link from taking every descriptor of the peer, and
// a spool file that cannot be opened fails only its own job.
constexpr uint32_t kPeerLinkJobLimit = 16 * kConnectionJobLimit;

// The schema name of a tag ("HELLO", "STATUS", ...), or its decimal value when the
// enumeration has no such value.
std::string peer_client_tag_name(bk::BrelClient2ServerMessage::BrelClientMessageTag tag);
std::string peer_server_tag_name(bk::BrelServer2ClientMessage::BrelServerMessageTag tag);

// Throws boost::system::system_error with EC_INVALID_ARGUMENT and the tag's name as
// context when a field the message's tag requires is absent: HELLO
// `protocol_version`; every other tag `job_id`; DATA_CHUNK also `data`;
// SCAN_REQUEST also `scan_options`. Presence is what counts (an empty `data`
// passes). The version's value is not checked here.
void check_peer_client_fields(const bk::BrelClient2ServerMessage& message);
// The same for the peer server's messages: STATUS `server_status`; every other tag
// `job_id`; DATA_CHUNK also `data`; SCAN_RESPONSE also `scan_report`;
// GET_DATA_RESPONSE and DATA_CHUNK_APPENDED also `data_size`; ALARM also `error`
// and `soft`.
void check_peer_server_fields(const bk::BrelServer2ClientMessage& message);

// Throws boost::system::system_error with EC_INVALID_ARGUMENT and the context
// "Peer protocol versions mismatch" unless `version` is kPeerProtocolVersion.
void check_peer_protocol_version(uint32_t version);
